// HT block encoder (T.814 clause 7, encoder side): quads of 2x2 samples,
// two at a time, as in htdec; the MEL bytes follow the MagSgn bytes, the VLC
// bytes are written from the end of the segment backward, the last MEL byte
// and the last VLC byte are merged when their bits fit in one, and the last
// 12 bits of the segment give the length of the MEL and VLC part (Scup).
#include "tier1/htenc.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/simd.h"
#include "tier1/htref.h"
#include "tier1/httab.h"

namespace {

// Codeword choice by table, context, rho, u_off and the pattern of samples
// whose top bit at the exponent bound is 1: codeword (bits 0-6), length
// (bits 7-9) and the EMB mask e_k (bits 10-13); 0 when none fits.  Of the
// codewords that fit, the one with the fewest bits in VLC and MagSgn
// together.
struct enctab_t {
    uint32_t e[2][8 * 16 * 2 * 16];
    enctab_t() : e{}
    {
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < ht_vlcnumrows[t]; ++i) {
                const ht_vlcrow_t& r = ht_vlcrows[t][i];
                for (int emb = 0; emb < 16; ++emb) {
                    if ((emb & ~r.rho) || (emb & r.e_k) != r.e_1)
                        continue;
                    uint32_t& x = e[t][((r.c_q * 16 + r.rho) * 2 + r.u_off) * 16 + emb];
                    const int cost = r.cwd_len - std::popcount(unsigned(r.e_k));
                    const int old = x ? int((x >> 7) & 7) - std::popcount(unsigned(x >> 10)) : 99;
                    if (cost < old)
                        x = uint32_t((r.cwd & ((1 << r.cwd_len) - 1)) | (r.cwd_len << 7) |
                                     (r.e_k << 10));
                }
            }
    }
};

const enctab_t& enctab()
{
    static const enctab_t t;
    return t;
}

// MagSgn: forward, least significant bit first; a byte after 0xFF holds 7
// bits under a 0 top bit.
struct msout_t {
    std::vector<uint8_t>& out;
    uint64_t tmp = 0;  // bits not yet written, the next byte's lowest
    int bits = 0;
    int max = 8;       // bits of the next byte

    // n <= 56.
    void put(uint64_t v, int n)
    {
        tmp |= (v & ((uint64_t{1} << n) - 1)) << bits;
        bits += n;
        while (bits >= max) {
            const uint32_t b = uint32_t(tmp) & ((1u << max) - 1);
            out.push_back(uint8_t(b));
            tmp >>= max;
            bits -= max;
            max = b == 0xff ? 7 : 8;
        }
    }
};

// VLC: backward (bytes in the order written here go to decreasing
// positions), least significant bit first; a byte after one above 0x8F
// whose 7 low bits would all be 1 holds only those 7.  The first byte
// starts with 4 placeholder bits for the low nibble of Scup.
struct vlcout_t {
    std::vector<uint8_t>& out;
    uint64_t tmp = 0x0f;  // bits not yet written, the next byte's lowest
    int bits = 4;
    uint32_t last = 0xff;

    void put(uint32_t v, int n)
    {
        tmp |= uint64_t(v & ((uint64_t{1} << n) - 1)) << bits;
        bits += n;
        for (;;) {
            if (bits >= 7 && last > 0x8f && (tmp & 0x7f) == 0x7f) {
                out.push_back(0x7f);
                last = 0x7f;
                tmp >>= 7;
                bits -= 7;
            } else if (bits >= 8) {
                last = uint32_t(tmp & 0xff);
                out.push_back(uint8_t(last));
                tmp >>= 8;
                bits -= 8;
            } else {
                break;
            }
        }
    }
    void bit(uint32_t b) { put(b, 1); }
};

// The cleanup pass writes its three streams into buffers each thread keeps,
// large enough for any block: MagSgn at most 32 bits per sample, VLC at
// most 19 bits and MEL at most 9 bits per quad (at most 1282 quads), all
// with their stuffing.
constexpr size_t MSBYTES = 4096 * 32 / 7 + 64;
constexpr size_t VLCBYTES = 8192;
constexpr size_t MELBYTES = 8192;

// Whether one of the 4 bytes of w is 0xFF.
inline bool hasff(uint32_t w)
{
    const uint32_t x = ~w;
    return ((x - 0x01010101u) & ~x & 0x80808080u) != 0;
}

inline void store4(uint8_t* p, uint32_t w)
{
    p[0] = uint8_t(w);
    p[1] = uint8_t(w >> 8);
    p[2] = uint8_t(w >> 16);
    p[3] = uint8_t(w >> 24);
}

// MagSgn writer of the cleanup pass: the bits of msout_t, 4 bytes at once
// while none of them is 0xFF.
struct mswriter_t {
    uint8_t* p;
    uint64_t tmp = 0;
    int bits = 0;  // below 32 between puts
    int max = 8;

    void drain()
    {
        while (bits >= max) {
            const uint32_t b = uint32_t(tmp) & ((1u << max) - 1);
            *p++ = uint8_t(b);
            tmp >>= max;
            bits -= max;
            max = b == 0xff ? 7 : 8;
        }
    }
    // v < 2^n, n <= 32.
    void put(uint32_t v, int n)
    {
        tmp |= uint64_t(v) << bits;
        bits += n;
        if (bits >= 32) {
            const uint32_t w = uint32_t(tmp);
            if (max == 8 && !hasff(w)) {
                store4(p, w);
                p += 4;
                tmp >>= 32;
                bits -= 32;
            } else {
                drain();
            }
        }
    }
};

// VLC writer of the cleanup pass: the bits of vlcout_t, 4 bytes at once
// while none of them has its 7 low bits set.
struct vlcwriter_t {
    uint8_t* p;
    uint8_t* begin;
    uint64_t tmp = 0x0f;
    int bits = 4;  // below 32 between puts
    uint32_t last = 0xff;

    void drain()
    {
        for (;;) {
            if (bits >= 7 && last > 0x8f && (tmp & 0x7f) == 0x7f) {
                *p++ = 0x7f;
                last = 0x7f;
                tmp >>= 7;
                bits -= 7;
            } else if (bits >= 8) {
                last = uint32_t(tmp & 0xff);
                *p++ = uint8_t(last);
                tmp >>= 8;
                bits -= 8;
            } else {
                break;
            }
        }
    }
    // v < 2^n, n <= 32.
    void put(uint32_t v, int n)
    {
        tmp |= uint64_t(v) << bits;
        bits += n;
        if (bits >= 32) {
            const uint32_t w = uint32_t(tmp);
            if (!hasff(w | 0x80808080u)) {
                store4(p, w);
                p += 4;
                last = w >> 24;
                tmp >>= 32;
                bits -= 32;
            } else {
                drain();
            }
        }
    }
};

// MEL: adaptive run lengths of 0 symbols, most significant bit first; the
// bits of a 1 symbol in one put.
struct melwriter_t {
    uint8_t* p;
    uint8_t* begin;
    uint64_t tmp = 0;  // bits not yet written: the lowest cnt, the first highest
    int cnt = 0;
    int max = 8;       // bits of the next byte
    int k = 0;
    int run = 0;
    int thr = 1;       // 2^MEL_E[k]

    static constexpr uint8_t MEL_E[13] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 4, 5};

    // The nb bits of v (nb <= 32), the highest first.
    void put(uint32_t v, int nb)
    {
        tmp = (tmp << nb) | v;
        cnt += nb;
        while (cnt >= max) {
            cnt -= max;
            const uint32_t b = uint32_t(tmp >> cnt) & ((1u << max) - 1);
            *p++ = uint8_t(b);
            max = b == 0xff ? 7 : 8;
        }
    }
    // z 0 symbols.
    void zeros(int z)
    {
        while (z > 0) {
            const int take = std::min(z, thr - run);
            run += take;
            z -= take;
            if (run == thr) {
                put(1, 1);
                run = 0;
                k = std::min(12, k + 1);
                thr = 1 << MEL_E[k];
            }
        }
    }
    // A 1 symbol: a 0 bit, then the run so far in MEL_E[k] bits.
    void one()
    {
        put(uint32_t(run), MEL_E[k] + 1);
        run = 0;
        k = std::max(0, k - 1);
        thr = 1 << MEL_E[k];
    }
    void sym(int s)
    {
        if (!s) {
            if (++run == thr) {
                put(1, 1);
                run = 0;
                k = std::min(12, k + 1);
                thr = 1 << MEL_E[k];
            }
        } else {
            one();
        }
    }
    void finish()
    {
        if (run > 0)
            put(1, 1);
    }
};

// U-VLC pieces of a residual u (0: none): prefix and suffix, each as
// code | length << 8, and the codes of the residuals of a pair of quads
// (prefixes, then suffixes) as code | length << 16.  Exponent bounds are
// at most 32 and kappa at least 1, so u < 32 and the extension (u >= 33)
// never occurs.
struct utab_t {
    uint16_t pre[32], suf[32];
    uint32_t pair[32][32];
    utab_t() : pre{}, suf{}
    {
        for (int u = 1; u < 32; ++u) {
            pre[u] = u == 1 ? 1 | 1 << 8 : u == 2 ? 2 | 2 << 8 : u <= 4 ? 4 | 3 << 8 : 0 | 3 << 8;
            if (u >= 3 && u <= 4)
                suf[u] = uint16_t((u - 3) | 1 << 8);
            else if (u >= 5)
                suf[u] = uint16_t((u - 5) | 5 << 8);
        }
        for (int u0 = 0; u0 < 32; ++u0)
            for (int u1 = 0; u1 < 32; ++u1) {
                uint32_t code = 0, n = 0;
                for (uint16_t c : {pre[u0], pre[u1], suf[u0], suf[u1]}) {
                    code |= uint32_t(c & 0xff) << n;
                    n += c >> 8;
                }
                pair[u0][u1] = code | n << 16;
            }
    }
};

const utab_t& utab()
{
    static const utab_t t;
    return t;
}

// The VLC bits of a pair of quads, gathered for one put: two codewords of
// at most 7 bits and two U-VLC codes of at most 8.
struct vlcbits_t {
    uint32_t acc = 0;
    int n = 0;
    void add(uint32_t code, int len)
    {
        acc |= code << n;
        n += len;
    }
    void add(uint16_t c) { add(c & 0xffu, c >> 8); }
    void addpair(uint32_t c) { add(c & 0xffffu, int(c >> 16)); }
};

// One row of a line pair, its even (index 0) and odd (1) samples apart:
// MagSgn values v and exponents with significance bits es as from
// loadrow, with zeros after the row ends, and a 0 before each es row
// (es[i][0]; the row starts at es[i] + 1).
struct rowbuf_t {
    uint32_t v[2][512 + 4];
    uint32_t es[2][1 + 512 + 4];
    uint32_t near[2][512 + 4];  // 1 where an insignificant sample is near
                                // enough to plane p to be made significant
                                // (sigrow; loaded only for it)
    uint32_t vor;  // the OR of the v
};

// The row of a block's rows without a significant sample.
const rowbuf_t zerorow{};

// The OR of the magnitudes of the n samples at r.
HOT_CLONES uint32_t ormag(const int32_t* r, int n)
{
    uint32_t o = 0;
    for (int i = 0; i < n; ++i)
        o |= r[i] < 0 ? 0u - uint32_t(r[i]) : uint32_t(r[i]);
    return o;
}

// A sample s at plane p: its MagSgn value into v and into es its exponent
// (bits 0-7; exact while v is below 2^24), its bit sb in the significance
// pattern of its quad (bits 8-11) and the 8 bits of its magnitude below
// plane p (bits 16-23; fr, fl: the shifts that bring them there), all 0
// where the sample is insignificant.  dd gets the decrease of its squared
// error when rebuilt at (mu << p) | half, vo the OR of the v, mo that of
// the magnitudes of the significant samples.
template <bool Near>
inline void loadsample(int32_t s, int p, int fr, int fl, uint32_t half, uint32_t raise,
                       uint32_t sb, uint32_t& v, uint32_t& es, uint32_t& near, uint64_t& dd,
                       uint32_t& vo, uint32_t& mo)
{
    const uint32_t m = s < 0 ? 0u - uint32_t(s) : uint32_t(s);
    const uint32_t mu = m >> p;
    const uint32_t off = 0u - uint32_t(mu == 0);  // the sample stays insignificant
    const uint32_t vx = (2 * mu - 2 + (uint32_t(s) >> 31)) & ~off;
    v = vx;
    vo |= vx;
    // The exponent of a float holding v | 1.
    const uint32_t fb = std::bit_cast<uint32_t>(float(int32_t(vx | 1)));
    const uint32_t frac = ((m >> fr) << fl) & 0xff0000;
    es = (((fb >> 23) - 126) | sb << 8 | frac) & ~off;
    if constexpr (Near)
        near = uint32_t(m >= raise) & off;
    const uint32_t rec = ((mu << p) | half) & ~off;
    dd += uint64_t(rec) * uint64_t(2 * m - rec);
    mo |= m & ~off;
}

// The n samples of row r into rb (lo: the significance bit of its even
// samples, lo << 2 that of the odd ones); adds to mor the OR of the
// significant magnitudes.  Returns the decrease of the squared error of
// the row, exact while those magnitudes are below 2^20 and half below 2^p.
// Near: rb.near too, from magnitude raise up.
template <bool Near>
HOT_CLONES uint64_t loadrow(const int32_t* __restrict r, int n, int p, uint32_t half, uint32_t raise,
                            uint32_t lo, rowbuf_t& __restrict rb, uint32_t& mor)
{
    uint64_t dd = 0;
    uint32_t mo = 0, vo = 0;
    const int n2 = n / 2;
    const int fr = std::max(p - 8, 0), fl = std::max(8 - p, 0) + 16;
    for (int q = 0; q < n2; ++q) {
        loadsample<Near>(r[2 * q], p, fr, fl, half, raise, lo, rb.v[0][q], rb.es[0][q + 1],
                         rb.near[0][q], dd, vo, mo);
        loadsample<Near>(r[2 * q + 1], p, fr, fl, half, raise, lo << 2, rb.v[1][q],
                         rb.es[1][q + 1], rb.near[1][q], dd, vo, mo);
    }
    if (n & 1) {
        loadsample<Near>(r[n - 1], p, fr, fl, half, raise, lo, rb.v[0][n2], rb.es[0][n2 + 1],
                         rb.near[0][n2], dd, vo, mo);
        if constexpr (Near)
            rb.near[1][n2] = 0;
    }
    if (vo >> 24) {
        // Exponents from the bits.
        for (int i = 0; i < 2; ++i)
            for (int q = 0; q < (n + 1 - i) / 2; ++q) {
                uint32_t& es = rb.es[i][q + 1];
                es = (es & ~0xffu) | (std::bit_width(rb.v[i][q] | 1) & (0u - uint32_t(es != 0)));
            }
    }
    mor |= mo;
    rb.vor = vo;
    return dd;
}

// What the coding of a line pair's quads needs, per quad (quadrow).
struct quadrow_t {
    uint32_t key[512 + 2];  // context, rho, u_off, EMB pattern, as enctab_t
    uint32_t cwd[512 + 2];  // the codeword of the key (enctab_t, 0: none fits;
                            // 1 << 30: none needed)
    uint32_t Uu[512 + 2];   // exponent bound U | residual u << 8
    uint32_t msv[512 + 2];  // MagSgn bits, where U <= 8
    uint32_t msl[512 + 2];  // their number, 0xff where U > 8
};

// The key of a quad with context cx, significance rho, exponents e0..e3 of
// its samples (v0..v3), exponent bound U and residual u; its codeword and
// MagSgn bits (U bits of each significant sample, one less where the EMB
// mask of the codeword tells the decoder the top one) into qr at q.  1 when
// the quad needs a codeword and none fits.
inline uint32_t codequad(const uint32_t* tab, uint32_t cx, uint32_t rho, const uint32_t (&e)[4],
                         const uint32_t (&v)[4], uint32_t U, uint32_t u, quadrow_t& qr, int q)
{
    // The samples whose bit U - 1 is 1: exponent U, and not v = 0
    // (exponent 1).
    const uint32_t emb = (uint32_t(e[0] == U) & uint32_t(v[0] != 0)) |
                         (uint32_t(e[1] == U) & uint32_t(v[1] != 0)) << 1 |
                         (uint32_t(e[2] == U) & uint32_t(v[2] != 0)) << 2 |
                         (uint32_t(e[3] == U) & uint32_t(v[3] != 0)) << 3;
    const uint32_t key = ((cx * 16 + rho) * 2 + uint32_t(u != 0)) * 16 + emb;
    const uint32_t cwd = tab[key];
    const uint32_t ek = cwd >> 10;
    const uint32_t mask = 0xffffffffu >> (32 - U);
    uint32_t acc = 0, n = 0;
    for (int i = 0; i < 4; ++i) {
        const uint32_t k = (ek >> i) & 1;
        acc |= (v[i] & (mask >> k)) << (n & 31);
        n += (U - k) & (0u - ((rho >> i) & 1));
    }
    qr.key[q] = key;
    // A quad without a codeword (context and significance 0): no bits.
    const uint32_t need = (cx | rho) != 0;
    qr.cwd[q] = need ? cwd : 1u << 30;
    qr.Uu[q] = U | u << 8;
    qr.msv[q] = acc;
    qr.msl[q] = U <= 8 ? n : 0xffu;
    return need & uint32_t(cwd == 0);
}

// Lowering a quad's exponent bound: where a quad's bound U exceeds what
// its context implies (u > 0), the samples at exponent U can be cut to
// the largest magnitude of exponent U - 1, which saves one MagSgn bit for
// each significant sample of the quad.  It pays where their magnitudes lie
// just above a power of two, when the squared error added stays below an
// allowance per bit saved.  The line pair's state for it (trimrow) and for
// the choices of significance (sigrow):
struct trim_t {
    const int32_t* row[2];  // the line pair's sample rows, and their
    rowbuf_t* rb[2];        // buffers (nullptr: no significant sample)
    int p;                  // the coded plane
    uint32_t half;          // the reconstruction offset, 2^(p - 1)
    uint32_t fthr;          // 128 x the squared error allowed per bit saved
    double ddcut;           // the decrease of the squared error given up
    double ddsig;           // the decrease that sigrow adds (or takes away)
};

// Where the samples' significance pays (sigrow): an insignificant sample of
// a quad that has a significant one is made significant from kRaise / 256
// of 2^p up, and a quad's lone significant sample of magnitude below
// kDrop / 256 of 2^p is dropped where nothing is significant to its left
// or above.  On photos at 0.3 to 2.4 bits per pixel these gain 0.03 to
// 0.16 dB at equal size; 0.8 to 0.9 and 1.1 to 1.3 come within 0.03 dB.
constexpr uint64_t kRaise = 218, kDrop = 307;

// What sigrow does to a quad with es a (row 0, even column), b (row 1,
// even), c (row 0, odd) and d (row 1, odd): bit 0 to drop its lone sample,
// bits 4-7 the samples to make significant (bit i + 4 for bit i of its
// significance pattern), of those near plane p (near, by the same bits).
// quiet: nothing significant to its left or above; dropfrac: the fraction
// of 2^p (in 256ths) above 2^p under which a lone sample goes.
inline uint32_t sigact(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t near,
                       uint32_t quiet, uint32_t dropfrac)
{
    const uint32_t s = a | b | c | d;
    const uint32_t rho = (s >> 8) & 15;
    // A lone sample's es is s: its exponent is 1 when its magnitude at
    // plane p is 1, its bits below plane p the fraction.
    const uint32_t drop = uint32_t(rho != 0) & uint32_t((rho & (rho - 1)) == 0) &
                          uint32_t((s & 0xff) == 1) & uint32_t(((s >> 16) & 0xff) < dropfrac) &
                          quiet;
    const uint32_t keep = 0u - (uint32_t(rho != 0) & (drop ^ 1));
    return drop | ((near & keep) << 4);
}

// Significance chosen for its cost (see kRaise) in the quads of a line pair
// after its rows r0 and r1 are loaded with their near flags and before
// trimrow; rp: the second row of the line pair above (zerorow for the
// first), n: the samples of a row.  A sample made significant at the
// bottom of plane p costs its sign and, where its quad's pattern changes, a
// few bits of the codeword, and brings its reconstruction from 0 to within
// a half step; a lone sample in a quiet context costs a MEL symbol and a
// codeword of context 0 besides, more than the error it saves when its
// magnitude is near 2^p.
HOT_CLONES void sigrow(trim_t& tr, const rowbuf_t& r0, const rowbuf_t& r1, const rowbuf_t& rp,
                       int n)
{
    const uint32_t dropfrac = uint32_t(kDrop - 256);
    const uint32_t *ee0 = r0.es[0] + 1, *eo0 = r0.es[1] + 1;
    const uint32_t *ee1 = r1.es[0] + 1, *eo1 = r1.es[1] + 1;
    const uint32_t *epe = rp.es[0] + 1, *epo = rp.es[1] + 1;
    const uint32_t *ne0 = r0.near[0], *no0 = r0.near[1], *ne1 = r1.near[0], *no1 = r1.near[1];
    // What changes in each quad (sigact), in whole words of 8.
    alignas(8) uint8_t act[512 + 8];
    uint32_t any = 0;
    const int nq = (n + 1) / 2;
    for (int q = 0; q < nq; ++q) {
        const uint32_t quiet = (ee0[q - 1] | ee1[q - 1] | eo0[q - 1] | eo1[q - 1] | epo[q - 1] |
                                epe[q] | epo[q] | epe[q + 1]) == 0;
        const uint32_t near = ne0[q] | ne1[q] << 1 | no0[q] << 2 | no1[q] << 3;
        const uint32_t x = sigact(ee0[q], ee1[q], eo0[q], eo1[q], near, quiet, dropfrac);
        act[q] = uint8_t(x);
        any |= x;
    }
    if (!any)
        return;
    std::fill_n(act + nq, 8, uint8_t{0});
    const uint32_t P = uint32_t{1} << tr.p;
    const double rec = double(P | tr.half);
    auto mag = [](int32_t v) { return v < 0 ? 0u - uint32_t(v) : uint32_t(v); };
    for (int q8 = 0; q8 < nq; q8 += 8) {
        uint64_t w;
        std::memcpy(&w, act + q8, 8);
        while (w) {
            const int at = std::countr_zero(w) / 8;
            w &= ~(uint64_t{0xff} << (8 * at));
            const int q = q8 + at;
            const uint32_t x = act[q];
            for (int i = 0; i < 4; ++i) {
                // Sample i: row i & 1, column 2q + (i >> 1) (rows that
                // are not loaded have neither near nor significant ones).
                rowbuf_t* const b = tr.rb[i & 1];
                if (!b)
                    continue;
                uint32_t& es = b->es[i >> 1][q + 1];
                if ((x & 1) && es) {
                    const double m = double(mag(tr.row[i & 1][2 * q + (i >> 1)]));
                    b->v[i >> 1][q] = 0;
                    es = 0;
                    tr.ddsig -= rec * (2 * m - rec);
                } else if (x >> (4 + i) & 1) {
                    const int32_t sv = tr.row[i & 1][2 * q + (i >> 1)];
                    const double m = double(mag(sv));
                    b->v[i >> 1][q] = uint32_t(sv) >> 31;
                    es = 1 | 1u << (8 + i);
                    tr.ddsig += rec * (2 * m - rec);
                }
            }
        }
    }
}

// Trims the quads of a line pair before quadrow or quadrow0 codes them;
// rp: the second row of the line pair above (zerorow for the first line
// pair, whose kappa is 1).  A quad qualifies when its bound U exceeds kappa
// and its samples at the bound are all of magnitude 2^(U - 2) + 1 (larger
// cuts never pay).  Cut to 2^(U - 2), each moves its reconstruction (the
// middle of the interval) down a step, which adds twice its fraction f
// below plane p in squared steps: the quad is cut when the sum of the f
// stays under tr.fthr / 256 per bit saved.  The cut goes into the rows,
// which quadrow and the line pair below read.
HOT_CLONES void trimrow(trim_t& tr, const rowbuf_t& r0, const rowbuf_t& r1, const rowbuf_t& rp,
                        int nq)
{
    const uint32_t *ee0 = r0.es[0] + 1, *eo0 = r0.es[1] + 1;
    const uint32_t *ee1 = r1.es[0] + 1, *eo1 = r1.es[1] + 1;
    const uint32_t *epe = rp.es[0] + 1, *epo = rp.es[1] + 1;
    const uint32_t *ve0 = r0.v[0], *vo0 = r0.v[1], *ve1 = r1.v[0], *vo1 = r1.v[1];
    // 1 where the quad is cut, in whole words of 8.
    alignas(8) uint8_t cut[512 + 8];
    uint32_t any = 0;
    // Branch-free, so that the loop vectorizes.
    for (int q = 0; q < nq; ++q) {
        const uint32_t a = ee0[q], b = ee1[q], c = eo0[q], d = eo1[q];
        const uint32_t rho = ((a | b | c | d) >> 8) & 15;
        const uint32_t e0 = a & 0xff, e1 = b & 0xff, e2 = c & 0xff, e3 = d & 0xff;
        const uint32_t emax = std::max(std::max(e0, e1), std::max(e2, e3));
        const uint32_t nmax = std::max(std::max(epo[q - 1] & 0xff, epe[q] & 0xff),
                                       std::max(epo[q] & 0xff, epe[q + 1] & 0xff));
        const uint32_t pair = 0u - uint32_t((rho & (rho - 1)) != 0);
        const uint32_t kappa = 1 + ((std::max(nmax, 2u) - 2) & pair);
        const uint32_t top = (1u << emax) >> 1;
        const uint32_t t0 = 0u - uint32_t(e0 == emax), t1 = 0u - uint32_t(e1 == emax);
        const uint32_t t2 = 0u - uint32_t(e2 == emax), t3 = 0u - uint32_t(e3 == emax);
        const uint32_t fits = uint32_t(((ve0[q] & ~1u) == top) | !t0) &
                              uint32_t(((ve1[q] & ~1u) == top) | !t1) &
                              uint32_t(((vo0[q] & ~1u) == top) | !t2) &
                              uint32_t(((vo1[q] & ~1u) == top) | !t3);
        const uint32_t fsum = ((a >> 16) & t0) + ((b >> 16) & t1) + ((c >> 16) & t2) +
                              ((d >> 16) & t3);
        const uint32_t bits = (rho & 1) + ((rho >> 1) & 1) + ((rho >> 2) & 1) + (rho >> 3);
        const uint32_t c1 = fits & uint32_t(emax >= 2) & uint32_t(emax > kappa) &
                            uint32_t(fsum < tr.fthr * bits);
        cut[q] = uint8_t(c1);
        any |= c1;
    }
    if (!any)
        return;
    std::fill_n(cut + nq, 8, uint8_t{0});
    const double step = double(uint64_t{1} << tr.p);
    for (int q8 = 0; q8 < nq; q8 += 8) {
        uint64_t w;
        std::memcpy(&w, cut + q8, 8);
        for (; w; w &= w - 1) {
            const int q = q8 + std::countr_zero(w) / 8;
            const uint32_t es[4] = {ee0[q], ee1[q], eo0[q], eo1[q]};
            const uint32_t U = std::max(std::max(es[0] & 0xff, es[1] & 0xff),
                                        std::max(es[2] & 0xff, es[3] & 0xff));
            const double lo = double((uint64_t{1} << (U - 2) << tr.p) | tr.half);
            for (int i = 0; i < 4; ++i)
                if ((es[i] & 0xff) == U) {
                    const int32_t sv = tr.row[i & 1][2 * q + (i >> 1)];
                    const double m = sv < 0 ? -double(sv) : double(sv);
                    tr.ddcut += step * (2 * (m - lo) - step);
                    rowbuf_t& rb = *tr.rb[i & 1];
                    rb.v[i >> 1][q] -= 2;
                    rb.es[i >> 1][q + 1] = (es[i] & ~0xffu) | (U - 1);
                }
        }
    }
}

// The quads of a line pair after the first, from its rows r0, r1 and the
// second row rp of the line pair above, the quads q < nq; tab: the table
// of enctab_t.  1 when a quad lacks a codeword that fits.
HOT_CLONES uint32_t quadrow(const rowbuf_t& r0, const rowbuf_t& r1, const rowbuf_t& rp, int nq,
                            const uint32_t* tab, quadrow_t& __restrict qr)
{
    const uint32_t *ve0 = r0.v[0], *vo0 = r0.v[1], *ve1 = r1.v[0], *vo1 = r1.v[1];
    const uint32_t *ee0 = r0.es[0] + 1, *eo0 = r0.es[1] + 1;
    const uint32_t *ee1 = r1.es[0] + 1, *eo1 = r1.es[1] + 1;
    const uint32_t *epe = rp.es[0] + 1, *epo = rp.es[1] + 1;
    uint32_t miss = 0;
    for (int q = 0; q < nq; ++q) {
        const uint32_t a = ee0[q], b = ee1[q], c = eo0[q], d = eo1[q];
        const uint32_t rho = ((a | b | c | d) >> 8) & 15;
        const uint32_t e[4] = {a & 0xff, b & 0xff, c & 0xff, d & 0xff};
        const uint32_t v[4] = {ve0[q], ve1[q], vo0[q], vo1[q]};
        const uint32_t emax = std::max(std::max(e[0], e[1]), std::max(e[2], e[3]));
        // Context: the quad's neighbours above and the right column of the
        // quad on its left.
        const uint32_t n0 = epo[q - 1], n1 = epe[q], n2 = epo[q], n3 = epe[q + 1];
        const uint32_t cx = uint32_t((n0 | n1) != 0) | uint32_t((eo0[q - 1] | eo1[q - 1]) != 0) << 1 |
                            uint32_t((n2 | n3) != 0) << 2;
        const uint32_t nmax =
            std::max(std::max(n0 & 0xff, n1 & 0xff), std::max(n2 & 0xff, n3 & 0xff));
        const uint32_t kappa = (rho & (rho - 1)) != 0 ? std::max(nmax, 2u) - 1 : 1u;
        const uint32_t U = std::max(kappa, emax);
        miss |= codequad(tab, cx, rho, e, v, U, U - kappa, qr, q);
    }
    return miss;
}

// The same for the first line pair: the context of a quad is that of the
// significance of the quad before it, kappa is 1.
uint32_t quadrow0(const rowbuf_t& r0, const rowbuf_t& r1, int nq, const uint32_t* tab,
                  quadrow_t& qr)
{
    uint32_t cx = 0, miss = 0;
    for (int q = 0; q < nq; ++q) {
        const uint32_t a = r0.es[0][q + 1], b = r1.es[0][q + 1];
        const uint32_t c = r0.es[1][q + 1], d = r1.es[1][q + 1];
        const uint32_t rho = ((a | b | c | d) >> 8) & 15;
        const uint32_t e[4] = {a & 0xff, b & 0xff, c & 0xff, d & 0xff};
        const uint32_t v[4] = {r0.v[0][q], r1.v[0][q], r0.v[1][q], r1.v[1][q]};
        const uint32_t U = std::max(std::max(std::max(e[0], e[1]), std::max(e[2], e[3])), 1u);
        miss |= codequad(tab, cx, rho, e, v, U, U - 1, qr, q);
        cx = (rho >> 1) | (rho & 1);
    }
    return miss;
}

// The MagSgn bits of quad q where U > 8 (as codequad).
void magsgn(mswriter_t& ms, const rowbuf_t& r0, const rowbuf_t& r1, int q, int rho, int U, int ek)
{
    const uint32_t v[4] = {r0.v[0][q], r1.v[0][q], r0.v[1][q], r1.v[1][q]};
    const uint32_t mask = 0xffffffffu >> (32 - U);
    for (int i = 0; i < 4; ++i) {
        const int k = (ek >> i) & 1;
        ms.put(v[i] & (mask >> k), (U - k) & -((rho >> i) & 1));
    }
}

// The decrease of the squared error as the cleanup pass sums it, in
// floating point, for the blocks whose integer sum could be inexact.
double ddecslow(const int32_t* data, ptrdiff_t stride, int width, int height, int p,
                uint32_t half)
{
    auto one = [&](int32_t s) {
        const uint32_t m = s < 0 ? 0u - uint32_t(s) : uint32_t(s);
        const uint32_t mu = m >> p;
        const double rec = double(((mu << p) | half) & (0u - uint32_t(mu != 0)));
        return rec * (2.0 * m - rec);
    };
    double dd = 0;
    for (int y = 0; y < height; y += 2)
        for (int x = 0; x < width; x += 2) {
            const int32_t* d = data + y * stride + x;
            if (x + 1 < width && y + 1 < height) {
                const double d0 = one(d[0]), d1 = one(d[stride]);
                const double d2 = one(d[1]), d3 = one(d[stride + 1]);
                dd += (d0 + d1) + (d2 + d3);
                continue;
            }
            for (int n = 0; n < 4; ++n) {
                const int xx = n >> 1, yy = n & 1;
                dd += one(x + xx < width && y + yy < height ? d[yy * stride + xx] : 0);
            }
        }
    return dd;
}

}  // namespace

int htenc_encodecln(const int32_t* data, ptrdiff_t stride, int width, int height, int p,
                    std::vector<uint8_t>& out, uint32_t half, double* ddec,
                    const uint32_t* rowmag, double trim)
{
    out.clear();
    if (width <= 0 || height <= 0 || width > 1024 || height > 1024 || width * height > 4096 ||
        p < 0 || p > 31)
        return -1;
    const enctab_t& et = enctab();
    const utab_t& ut = utab();
    thread_local std::vector<uint8_t> msbuf(MSBYTES), melbuf(MELBYTES), vlcbuf(VLCBYTES);
    mswriter_t ms{msbuf.data()};
    melwriter_t mel{melbuf.data(), melbuf.data()};
    vlcwriter_t vlc{vlcbuf.data(), vlcbuf.data()};
    const int QW = (width + 1) / 2, QH = (height + 1) / 2;
    bool ok = true;
    // The decrease of the squared error, summed exactly while every
    // significant magnitude is below 2^20 (then the floating point sum of
    // the same terms is exact too).
    uint64_t dd = 0;
    uint32_t mor = 0;

    // The rows of a line pair and the second row of the line pair above
    // (rows without a significant sample: zerorow), and what the coding of
    // the quads needs.  The second rows go to rows[0] and rows[1] in turn.
    rowbuf_t rows[3];
    for (rowbuf_t& r : rows)
        r.es[0][0] = r.es[1][0] = 0;
    const rowbuf_t* above = &zerorow;
    int turn = 0;
    quadrow_t qr;
    trim_t tr{};
    tr.p = p;
    tr.half = half;
    tr.fthr = uint32_t(std::clamp(trim * 128, 0.0, 65536.0) + 0.5);
    trim_t* const trp = tr.fthr > 0 && p > 0 && half == uint32_t{1} << (p - 1) ? &tr : nullptr;
    // Not in small blocks, whose distortion could then rise from one
    // candidate to the next, which the allocation does not look past.
    const bool sig = trp && width * height > 256;
    const uint32_t raise = uint32_t(((uint64_t{1} << p) * kRaise) >> 8);
    for (int j = 0; j < QH && ok; ++j) {
        const uint32_t* tab = et.e[j ? 1 : 0];
        const int32_t* r0 = data + 2 * j * stride;
        const rowbuf_t* rb[2] = {&zerorow, &zerorow};
        tr.rb[0] = tr.rb[1] = nullptr;
        for (int k = 0; k < 2; ++k) {
            const int y = 2 * j + k;
            if (y >= height ||
                ((rowmag ? rowmag[y] : ormag(r0 + k * stride, width)) >> p) == 0)
                continue;
            rowbuf_t& b = k ? rows[turn] : rows[2];
            dd += sig ? loadrow<true>(r0 + k * stride, width, p, half, raise, 1u << k, b, mor)
                      : loadrow<false>(r0 + k * stride, width, p, half, 0, 1u << k, b, mor);
            // Zeros after the row (up to QW + 3 or one more: 4 at most).
            for (int i = 0; i < 2; ++i) {
                const int from = (width + 1 - i) / 2;
                std::fill_n(b.v[i] + from, 4, 0u);
                std::fill_n(b.es[i] + 1 + from, 4, 0u);
            }
            rb[k] = tr.rb[k] = &b;
            tr.row[k] = r0 + k * stride;
        }
        if (rb[1] != &zerorow)
            turn ^= 1;
        if (rb[0] == &zerorow && rb[1] == &zerorow && above == &zerorow) {
            // No significant sample in the line pair or the row above: a
            // MEL 0 for each quad.
            mel.zeros(QW);
            continue;
        }
        if (sig && (tr.rb[0] || tr.rb[1]))
            sigrow(tr, *rb[0], *rb[1], j == 0 ? zerorow : *above, width);
        // Quads with a bound of 2 or more only where a v is 2 or more.
        if (trp && (rb[0]->vor | rb[1]->vor) >= 2)
            trimrow(*trp, *rb[0], *rb[1], j == 0 ? zerorow : *above, QW);
        if (j == 0 ? quadrow0(*rb[0], *rb[1], QW, tab, qr)
                   : quadrow(*rb[0], *rb[1], *above, QW, tab, qr)) {
            ok = false;
            break;
        }
        above = rb[1];
        // After the last quad, one that brings no bits and no MEL symbol
        // (and a key after it that stops a run of empty pairs too).
        qr.key[QW] = qr.key[QW + 1] = 512;
        qr.cwd[QW] = 1u << 30;
        qr.Uu[QW] = 1;
        qr.msv[QW] = qr.msl[QW] = 0;
        // The pairs of quads of the line pair (First: the first line pair).
        auto pairs = [&]<bool First>() {
            for (int q = 0; q < QW; q += 2) {
                if (!(qr.key[q] | qr.key[q + 1])) {
                    // Pairs of quads without a significant sample in a
                    // context without one: two MEL zeros each (the quad
                    // after the last stops the run).
                    const int q0 = q;
                    while (!(qr.key[q + 2] | qr.key[q + 3]))
                        q += 2;
                    mel.zeros(q + 2 - q0);
                    continue;
                }
                const uint32_t k0 = qr.key[q], k1 = qr.key[q + 1];
                // Context 0: a MEL symbol tells whether the quad has a
                // significant sample; without one it has no codeword.
                if (k0 < 512)
                    mel.sym(((k0 >> 5) & 15) != 0);
                if (k1 < 512)
                    mel.sym(((k1 >> 5) & 15) != 0);
                const uint32_t c0 = qr.cwd[q], c1 = qr.cwd[q + 1];
                vlcbits_t vb;
                vb.add(c0 & 0x7fu, (c0 >> 7) & 7);
                vb.add(c1 & 0x7fu, (c1 >> 7) & 7);
                const int u0 = int(qr.Uu[q] >> 8), u1 = int(qr.Uu[q + 1] >> 8);
                if (First && u0 && u1) {
                    // First line pair, both residuals: a MEL symbol tells
                    // whether both exceed 2.
                    const int both = u0 > 2 && u1 > 2;
                    mel.sym(both);
                    if (both) {
                        vb.addpair(ut.pair[u0 - 2][u1 - 2]);
                    } else if (u0 > 2) {
                        vb.add(ut.pre[u0]);
                        vb.add(uint32_t(u1 - 1), 1);
                        vb.add(ut.suf[u0]);
                    } else {
                        vb.addpair(ut.pair[u0][u1]);
                    }
                } else {
                    vb.addpair(ut.pair[u0][u1]);
                }
                vlc.put(vb.acc, vb.n);
                const uint32_t l0 = qr.msl[q], l1 = qr.msl[q + 1];
                if (l0 + l1 <= 32) {
                    // Both quads' MagSgn bits in one put.
                    ms.put(uint32_t(qr.msv[q] | uint64_t(qr.msv[q + 1]) << l0), int(l0 + l1));
                    continue;
                }
                for (int qq = q; qq < q + 2; ++qq) {
                    if (qr.msl[qq] != 0xff)
                        ms.put(qr.msv[qq], int(qr.msl[qq]));
                    else
                        magsgn(ms, *rb[0], *rb[1], qq, int(qr.key[qq] >> 5) & 15,
                               int(qr.Uu[qq] & 0xff), int(qr.cwd[qq] >> 10));
                }
            }
        };
        if (j == 0)
            pairs.template operator()<true>();
        else
            pairs.template operator()<false>();
    }
    if (!ok) {
        std::fputs("HT encoder: no codeword for a quad\n", stderr);
        return -1;
    }
    // MagSgn: padded with 1 bits, which a decoder also reads past the end:
    // a last 0xFF byte is therefore left out.
    ms.drain();
    if (ms.bits > 0)
        *ms.p++ = uint8_t(ms.tmp | (((1u << ms.max) - 1) & ~((1u << ms.bits) - 1)));
    if (ms.p > msbuf.data() && ms.p[-1] == 0xff)
        --ms.p;
    mel.finish();
    // The partial last byte: its bits at the top, melrem bits free below.
    const int melrem = mel.max - mel.cnt;
    const uint32_t meltail = uint32_t(mel.tmp << melrem) & ((1u << mel.max) - 1);
    vlc.drain();
    const size_t pcup = size_t(ms.p - msbuf.data());
    out.assign(msbuf.data(), ms.p);

    // MEL bytes, then the merged or separate last bytes of MEL and VLC, then
    // the VLC bytes backward, then the high byte of Scup.
    out.insert(out.end(), mel.begin, mel.p);
    // Decoders read the bytes after the MEL stream as MEL bytes too (a
    // byte after 0xFF must have a 0 top bit): a last MEL byte 0xFF gets a
    // byte after it, padding is 0, and a merged byte is never 0xFF.
    const bool melff = mel.p > mel.begin && mel.p[-1] == 0xff;
    const bool melpart = mel.cnt > 0 || melff;
    const bool vlcpart = vlc.bits > 0;
    if (melpart && vlcpart && vlc.p > vlc.begin && vlc.bits <= melrem &&
        (meltail | vlc.tmp) != 0xff) {
        out.push_back(uint8_t(meltail | vlc.tmp));
    } else {
        if (melpart)
            out.push_back(uint8_t(meltail));
        if (vlcpart)
            out.push_back(uint8_t(vlc.tmp));
    }
    out.insert(out.end(), std::make_reverse_iterator(vlc.p), std::make_reverse_iterator(vlc.begin));
    const size_t scup = out.size() - pcup + 1;
    if (scup > 4079) {
        std::fputs("HT encoder: MEL and VLC streams too long\n", stderr);
        out.clear();
        return -1;
    }
    out.back() = uint8_t((out.back() & 0xf0) | (scup & 15));
    out.push_back(uint8_t(scup >> 4));
    if (ddec)
        *ddec = (mor < (1u << 20) && half < (uint32_t{1} << p)
                     ? double(dd)
                     : ddecslow(data, stride, width, height, p, half)) -
                tr.ddcut + tr.ddsig;
    return 0;
}

namespace {

// For a nibble pair (v << 4 | mask): the bits of v at the set bits of mask,
// packed from bit 0 up (bits 0-3), and their number (bits 4-6).
struct gathertab_t {
    uint8_t t[256];
    constexpr gathertab_t() : t{}
    {
        for (int i = 0; i < 256; ++i) {
            int out = 0, n = 0;
            for (int y = 0; y < 4; ++y)
                if ((i >> y) & 1)
                    out |= ((i >> (4 + y)) & 1) << n++;
            t[i] = uint8_t(out | (n << 4));
        }
    }
};
constexpr gathertab_t gathertab;

// Puts the bits of v at the set bits of mask, rows in order.
template <typename Out>
inline void putgathered(Out& out, uint32_t v, uint32_t mask)
{
    const uint32_t e = gathertab.t[((v & 15) << 4) | mask];
    out.put(e & 15, int(e >> 4));
}

}  // namespace

void htenc_encoderef(const int32_t* data, ptrdiff_t stride, int width, int height, int p,
                     bool vcausal, std::vector<uint8_t>& sp, std::vector<uint8_t>& spmr,
                     uint32_t halfq, double* ddec)
{
    sp.clear();
    spmr.clear();
    if (ddec)
        ddec[0] = ddec[1] = 0;
    if (width <= 0 || height <= 0 || p < 1 || p > 31)
        return;
    // Per stripe of four rows and column (with an empty column on either
    // side), bit y for row y: significant after the cleanup pass (sig), bit
    // p - 1 of the magnitude (bit), negative (neg), significant in SigProp
    // (nsig).
    const int SW = width + 2;
    const int NS = (height + 3) / 4;
    const size_t planesz = size_t(SW) * NS;
    thread_local std::vector<uint8_t> state;
    state.assign(planesz * 4, 0);
    uint8_t* const sig = state.data();
    uint8_t* const bit = sig + planesz;
    uint8_t* const neg = bit + planesz;
    uint8_t* const nsig = neg + planesz;
    const uint32_t halfp = uint32_t{1} << (p - 1);
    const uint32_t below = (uint32_t{1} << p) - 1;
    const uint32_t off = halfp - 1;
    // Of the samples significant after the cleanup pass, by bit p - 1: the
    // sums of their bits below p and their numbers.
    uint64_t rest[2] = {0, 0}, num[2] = {0, 0};
    // Per stripe: any sample significant after the cleanup pass (bit 0),
    // any new in SigProp (bit 1).
    thread_local std::vector<uint8_t> any;
    any.assign(size_t(NS) + 1, 0);
    for (int k = 0; k < NS; ++k) {
        const int32_t* s = data + ptrdiff_t(4 * k) * stride;
        const size_t row = size_t(k) * SW + 1;
        uint8_t* c = sig + row;
        uint8_t* b = bit + row;
        uint8_t* g = neg + row;
        const int rows = std::min(4, height - 4 * k);
        uint64_t restsig = 0, rest1 = 0, numsig = 0, num1 = 0;
        auto stripe = [&](int nrows) {
            for (int x = 0; x < width; ++x) {
                // Columns of samples below 2^(p - 1) (most of them): x + off
                // (unsigned) is at most 2 off.
                uint32_t hi = 0;
                for (int y = 0; y < nrows; ++y)
                    hi = std::max(hi, uint32_t(s[y * stride + x]) + off);
                if (hi <= 2 * off) {
                    c[x] = b[x] = g[x] = 0;
                    continue;
                }
                uint32_t cs = 0, bs = 0, gs = 0;
                for (int y = 0; y < nrows; ++y) {
                    const int32_t v = s[y * stride + x];
                    const uint32_t m = v < 0 ? 0u - uint32_t(v) : uint32_t(v);
                    const uint32_t sg = (m >> p) != 0;
                    const uint32_t bt = (m >> (p - 1)) & 1;
                    cs |= sg << y;
                    bs |= bt << y;
                    gs |= (uint32_t(v) >> 31) << y;
                    const uint32_t r = (m & below) & (0u - sg);
                    restsig += r;
                    rest1 += r & (0u - bt);
                    numsig += sg;
                    num1 += sg & bt;
                }
                c[x] = uint8_t(cs);
                any[k] |= uint8_t(cs != 0);
                b[x] = uint8_t(bs);
                g[x] = uint8_t(gs);
            }
        };
        if (rows == 4)
            stripe(4);
        else
            stripe(rows);
        rest[0] += restsig - rest1;
        rest[1] += rest1;
        num[0] += numsig - num1;
        num[1] += num1;
    }
    // MagRef moves a significant sample from (mu << p) + halfp to the
    // middle of its half of that interval: the squared error falls by
    // (b - a) (2 r - a - b), r its bits below p, a = halfp, b its new low.
    double ddmr = 0;
    for (int bt = 0; bt < 2; ++bt) {
        const double a = halfp, b = (bt ? halfp : 0) + double(halfq);
        ddmr += (b - a) * (2.0 * double(rest[bt]) - double(num[bt]) * (a + b));
    }

    // SigProp: a sample not yet significant gets a bit when one of its
    // eight neighbours is significant, counting those that became
    // significant earlier in this pass; the signs of a 4x4 group's new
    // samples follow its significance bits, column by column.
    const uint32_t newmag = halfp | halfq;
    double ddsp = 0;
    msout_t out{sp};
    for (int k = 0; k < NS; ++k) {
        const unsigned rowmask = (1u << std::min(4, height - 4 * k)) - 1;
        const uint8_t* c = sig + size_t(k) * SW;
        const uint8_t* b = bit + size_t(k) * SW;
        const uint8_t* g = neg + size_t(k) * SW;
        uint8_t* n = nsig + size_t(k) * SW;
        const uint8_t* ca = k > 0 ? sig + size_t(k - 1) * SW : nullptr;
        const uint8_t* na = k > 0 ? nsig + size_t(k - 1) * SW : nullptr;
        const uint8_t* cbelow = k + 1 < NS && !vcausal ? sig + size_t(k + 1) * SW : nullptr;
        const int32_t* rows = data + ptrdiff_t(4 * k) * stride;
        // No significant sample in the stripe, the one above or below: no
        // sample to visit.
        if (!(any[k] | (k > 0 ? any[k - 1] : 0) | (cbelow ? any[k + 1] : 0)))
            continue;
        for (int x0 = 1; x0 <= width; x0 += 4) {
            const int x1 = std::min(x0 + 4, width + 1);
            for (int x = x0; x < x1; ++x) {
                const unsigned nb = ht_spneighbours(c, n, ca, na, cbelow, x);
                const unsigned cand = ~unsigned(c[x]) & rowmask;
                if (!(nb & cand))
                    continue;
                // Rows in order: a new sample makes the one below it
                // eligible.
                unsigned news = 0, bits = 0;
                int used = 0;
                for (int y = 0; y < 4; ++y) {
                    if (!((((nb | (news << 1)) & cand) >> y) & 1))
                        continue;
                    const unsigned bt = (b[x] >> y) & 1;
                    bits |= bt << used++;
                    news |= bt << y;
                }
                out.put(bits, used);
                n[x] = uint8_t(news);
                any[k] |= uint8_t(news != 0) << 1;
                for (int y = 0; y < 4; ++y)
                    if ((news >> y) & 1) {
                        const int32_t v = rows[y * stride + x - 1];
                        const double m = v < 0 ? -double(v) : double(v);
                        ddsp += double(newmag) * (2.0 * m - double(newmag));
                    }
            }
            for (int x = x0; x < x1; ++x)
                if (n[x])
                    putgathered(out, g[x], n[x]);
        }
    }
    if (out.bits > 0)
        sp.push_back(uint8_t(out.tmp));
    spmr = sp;

    // MagRef: backward, bit p - 1 of every sample significant after the
    // cleanup pass, stripe by stripe, column by column, rows in order.
    thread_local std::vector<uint8_t> mrbuf;
    mrbuf.clear();
    vlcout_t mr{mrbuf};
    mr.tmp = 0;
    mr.bits = 0;
    for (int k = 0; k < NS; ++k) {
        const uint8_t* c = sig + size_t(k) * SW;
        const uint8_t* b = bit + size_t(k) * SW;
        if (!(any[k] & 1))
            continue;
        for (int x = 1; x <= width; ++x)
            if (c[x])
                putgathered(mr, b[x], c[x]);
    }
    if (mr.bits > 0)
        mr.out.push_back(uint8_t(mr.tmp));
    spmr.insert(spmr.end(), mr.out.rbegin(), mr.out.rend());
    if (ddec) {
        ddec[0] = ddsp;
        ddec[1] = ddmr;
    }
}
