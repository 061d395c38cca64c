// HT block encoder (T.814 clause 7, encoder side): quads of 2x2 samples,
// two at a time, as in htdec; the MEL bytes follow the MagSgn bytes, the VLC
// bytes are written from the end of the segment backward, the last MEL byte
// and the last VLC byte are merged when their bits fit in one, and the last
// 12 bits of the segment give the length of the MEL and VLC part (Scup).
#include "tier1/htenc.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "tier1/httab.h"

namespace {

// Codeword choice by table, context, rho, u_off and the pattern of samples
// whose top bit at the exponent bound is 1: codeword (bits 0-6), length
// (bits 7-9) and the EMB mask e_k (bits 10-13); 0 when none fits.  Of the
// codewords that fit, the one with the fewest bits in VLC and MagSgn
// together.
struct enctab_t {
    uint16_t e[2][8 * 16 * 2 * 16];
    enctab_t() : e{}
    {
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < ht_vlcnumrows[t]; ++i) {
                const ht_vlcrow_t& r = ht_vlcrows[t][i];
                for (int emb = 0; emb < 16; ++emb) {
                    if ((emb & ~r.rho) || (emb & r.e_k) != r.e_1)
                        continue;
                    uint16_t& x = e[t][((r.c_q * 16 + r.rho) * 2 + r.u_off) * 16 + emb];
                    const int cost = r.cwd_len - std::popcount(unsigned(r.e_k));
                    const int old = x ? int((x >> 7) & 7) - std::popcount(unsigned(x >> 10)) : 99;
                    if (cost < old)
                        x = uint16_t(r.cwd | (r.cwd_len << 7) | (r.e_k << 10));
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
    // Pads with 1 bits, which a decoder also reads past the end: a last
    // 0xFF byte is therefore left out.
    void finish()
    {
        if (bits > 0)
            out.push_back(uint8_t(tmp | (((1u << max) - 1) & ~((1u << bits) - 1))));
        if (!out.empty() && out.back() == 0xff)
            out.pop_back();
    }
};

// MEL: adaptive run lengths of 0 symbols, most significant bit first.
struct melout_t {
    std::vector<uint8_t>& out;
    uint32_t tmp = 0;
    int rem = 8;  // free bits of the current byte
    int max = 8;
    int k = 0;
    int run = 0;

    void bit(int b)
    {
        tmp = (tmp << 1) | uint32_t(b);
        if (--rem == 0) {
            out.push_back(uint8_t(tmp));
            max = rem = tmp == 0xff ? 7 : 8;
            tmp = 0;
        }
    }
    void sym(int s)
    {
        static constexpr uint8_t MEL_E[13] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 4, 5};
        const int e = MEL_E[k];
        if (!s) {
            if (++run == (1 << e)) {
                bit(1);
                run = 0;
                k = std::min(12, k + 1);
            }
        } else {
            bit(0);
            for (int i = e - 1; i >= 0; --i)
                bit((run >> i) & 1);
            run = 0;
            k = std::max(0, k - 1);
        }
    }
    void finish()
    {
        if (run > 0)
            bit(1);
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

// U-VLC of u >= 1: prefix, then suffix and extension.
inline void uprefix(vlcout_t& vlc, int u)
{
    if (u == 1)
        vlc.put(1, 1);
    else if (u == 2)
        vlc.put(2, 2);
    else if (u <= 4)
        vlc.put(4, 3);
    else
        vlc.put(0, 3);
}

inline void usuffix(vlcout_t& vlc, int u)
{
    if (u >= 3 && u <= 4)
        vlc.put(uint32_t(u - 3), 1);
    else if (u >= 5)
        vlc.put(uint32_t(u < 33 ? u - 5 : 28 + (u - 33) % 4), 5);
}

inline void uextension(vlcout_t& vlc, int u)
{
    if (u >= 33)
        vlc.put(uint32_t((u - 33) / 4), 4);
}

// The residuals of a pair of quads (0: absent or no residual).
inline void upair(vlcout_t& vlc, int u1, int u2)
{
    if (u1)
        uprefix(vlc, u1);
    if (u2)
        uprefix(vlc, u2);
    if (u1)
        usuffix(vlc, u1);
    if (u2)
        usuffix(vlc, u2);
    if (u1)
        uextension(vlc, u1);
    if (u2)
        uextension(vlc, u2);
}

// One quad: MagSgn values v = 2 (mu - 1) + sign of its samples (0 where
// insignificant), significance pattern and largest exponent.
struct encquad_t {
    uint32_t v[4];
    int rho;
    int emax;
    int e[4];
};

// One sample of a quad at plane p; returns the decrease of its squared
// error when it is rebuilt at (mu << p) + half.
inline double loadsample(int32_t s, int p, uint32_t half, int n, encquad_t& qd)
{
    const uint32_t m = s < 0 ? 0u - uint32_t(s) : uint32_t(s);
    const uint32_t mu = m >> p;
    const uint32_t sig = mu != 0;
    const uint32_t v = (2 * mu - 2 + (uint32_t(s) >> 31)) & (0u - sig);
    qd.v[n] = v;
    qd.e[n] = (32 - std::countl_zero(v | 1)) & -int(sig);
    qd.rho |= int(sig) << n;
    qd.emax = std::max(qd.emax, qd.e[n]);
    const double rec = double(((mu << p) | half) & (0u - sig));
    return rec * (2.0 * m - rec);
}

inline void loadquad(const int32_t* data, ptrdiff_t stride, int width, int height, int p,
                     uint32_t half, int x, int y, encquad_t& qd, double& dd)
{
    qd.rho = 0;
    qd.emax = 0;
    const int32_t* d = data + y * stride + x;
    if (x + 1 < width && y + 1 < height) {
        const double d0 = loadsample(d[0], p, half, 0, qd);
        const double d1 = loadsample(d[stride], p, half, 1, qd);
        const double d2 = loadsample(d[1], p, half, 2, qd);
        const double d3 = loadsample(d[stride + 1], p, half, 3, qd);
        dd += (d0 + d1) + (d2 + d3);
        return;
    }
    for (int n = 0; n < 4; ++n) {
        const int xx = n >> 1, yy = n & 1;
        const bool in = x + xx < width && y + yy < height;
        dd += loadsample(in ? d[yy * stride + xx] : 0, p, half, n, qd);
    }
}

// Codeword of a quad with exponent bound U (u_off from uoff); returns the
// EMB mask it implies, or -1 when the tables have no codeword.
inline int codequad(const uint16_t* tab, int c, const encquad_t& qd, int U, int uoff,
                    melout_t& mel, vlcout_t& vlc)
{
    if (c == 0) {
        mel.sym(qd.rho != 0);
        if (!qd.rho)
            return 0;
    }
    // v is 0 for the samples that are not significant.
    const int emb = int(((qd.v[0] >> (U - 1)) & 1) | (((qd.v[1] >> (U - 1)) & 1) << 1) |
                        (((qd.v[2] >> (U - 1)) & 1) << 2) | (((qd.v[3] >> (U - 1)) & 1) << 3));
    const uint16_t e = tab[((c * 16 + qd.rho) * 2 + uoff) * 16 + emb];
    if (!e)
        return -1;
    vlc.put(e & 0x7f, (e >> 7) & 7);
    return e >> 10;
}

inline void magsgn(msout_t& ms, const encquad_t& qd, int U, int ek)
{
    if (U <= 14) {
        // The four together fit one put.
        uint64_t acc = 0;
        int n = 0;
        for (int i = 0; i < 4; ++i) {
            const int len = (U - ((ek >> i) & 1)) & -((qd.rho >> i) & 1);
            acc |= uint64_t(qd.v[i] & ((1u << len) - 1)) << n;
            n += len;
        }
        ms.put(acc, n);
        return;
    }
    for (int n = 0; n < 4; ++n)
        if ((qd.rho >> n) & 1)
            ms.put(qd.v[n], U - ((ek >> n) & 1));
}

}  // namespace

int htenc_encodecln(const int32_t* data, ptrdiff_t stride, int width, int height, int p,
                    std::vector<uint8_t>& out, uint32_t half, double* ddec)
{
    double dd = 0;
    const enctab_t& et = enctab();
    out.clear();
    if (width <= 0 || height <= 0 || width > 1024 || height > 1024 || width * height > 4096 ||
        p < 0 || p > 31)
        return -1;
    msout_t ms{out};
    // The MEL and VLC bytes, in buffers each thread keeps.
    thread_local std::vector<uint8_t> melbuf, vlcbuf;
    melbuf.clear();
    vlcbuf.clear();
    melout_t mel{melbuf};
    vlcout_t vlc{vlcbuf};
    const int QW = (width + 1) / 2, QH = (height + 1) / 2;
    uint8_t ebuf[2][1032] = {};
    uint8_t* eprev = ebuf[0];
    uint8_t* ecur = ebuf[1];
    bool ok = true;

    const uint32_t off = (uint32_t{1} << p) - 1;
    for (int j = 0; j < QH && ok; ++j) {
        std::swap(eprev, ecur);
        const uint16_t* tab = et.e[j ? 1 : 0];
        int c = 0;     // first line pair: context of the next quad
        int wsig = 0;  // other line pairs: west and south-west significant
        const int32_t* row = data + 2 * j * stride;
        const bool fullrows = 2 * j + 1 < height;
        for (int q = 0; q < QW; q += 2) {
            const int nq = q + 1 < QW ? 2 : 1;
            if (fullrows && 2 * q + 3 < width) {
                // Two quads without a significant sample in a context
                // without one: two MEL zeros.  |x| >> p is 0 where x + off
                // (unsigned) is at most 2 off.
                const int32_t* r0 = row + 2 * q;
                const int32_t* r1 = r0 + stride;
                uint32_t hi = 0;
                for (int k = 0; k < 4; ++k)
                    hi = std::max(hi, std::max(uint32_t(r0[k]) + off, uint32_t(r1[k]) + off));
                const uint8_t* e = eprev + 2 * q;
                const bool quiet = j == 0 ? c == 0
                                          : wsig == 0 && !(e[0] | e[1] | e[2] | e[3] | e[4] | e[5]);
                if (hi <= 2 * off && quiet) {
                    mel.sym(0);
                    mel.sym(0);
                    std::fill(ecur + 2 * q + 1, ecur + 2 * q + 5, uint8_t{0});
                    continue;
                }
            }
            encquad_t qd[2];
            int U[2] = {1, 1}, u[2] = {0, 0}, ek[2] = {0, 0};
            for (int i = 0; i < nq; ++i) {
                encquad_t& d = qd[i];
                loadquad(data, stride, width, height, p, half, 2 * (q + i), 2 * j, d, dd);
                int cx, kappa = 1;
                if (j == 0) {
                    cx = c;
                    c = (d.rho >> 1) | (d.rho & 1);
                } else {
                    const uint8_t* e = eprev + 2 * (q + i);
                    cx = ((e[0] | e[1]) ? 1 : 0) | (wsig << 1) | ((e[2] | e[3]) ? 4 : 0);
                    wsig = (d.rho >> 2) ? 1 : 0;
                    if (d.rho & (d.rho - 1))
                        kappa = std::max(1, std::max(std::max(e[0], e[1]), std::max(e[2], e[3])) - 1);
                }
                U[i] = std::max(kappa, d.emax);
                u[i] = U[i] - kappa;
                ek[i] = codequad(tab, cx, d, U[i], u[i] > 0, mel, vlc);
                if (ek[i] < 0)
                    ok = false;
                ecur[2 * (q + i) + 1] = uint8_t(d.e[1]);
                ecur[2 * (q + i) + 2] = uint8_t(d.e[3]);
            }
            if (!ok)
                break;
            if (j == 0 && u[0] && u[1]) {
                // First line pair, both residuals: a MEL symbol tells
                // whether both exceed 2.
                const int both = u[0] > 2 && u[1] > 2;
                mel.sym(both);
                if (both) {
                    upair(vlc, u[0] - 2, u[1] - 2);
                } else {
                    uprefix(vlc, u[0]);
                    if (u[0] > 2) {
                        vlc.put(uint32_t(u[1] - 1), 1);
                        usuffix(vlc, u[0]);
                        uextension(vlc, u[0]);
                    } else {
                        uprefix(vlc, u[1]);
                        usuffix(vlc, u[0]);
                        usuffix(vlc, u[1]);
                        uextension(vlc, u[0]);
                        uextension(vlc, u[1]);
                    }
                }
            } else {
                upair(vlc, u[0], u[1]);
            }
            for (int i = 0; i < nq; ++i)
                magsgn(ms, qd[i], U[i], ek[i]);
        }
    }
    if (!ok) {
        std::fputs("HT encoder: no codeword for a quad\n", stderr);
        return -1;
    }
    ms.finish();
    mel.finish();
    const size_t pcup = out.size();

    // MEL bytes, then the merged or separate last bytes of MEL and VLC, then
    // the VLC bytes backward, then the high byte of Scup.
    out.insert(out.end(), mel.out.begin(), mel.out.end());
    // Decoders read the bytes after the MEL stream as MEL bytes too (a
    // byte after 0xFF must have a 0 top bit): a last MEL byte 0xFF gets a
    // byte after it, padding is 0, and a merged byte is never 0xFF.
    const bool melff = !mel.out.empty() && mel.out.back() == 0xff;
    const bool melpart = mel.rem < mel.max || melff;
    const bool vlcpart = vlc.bits > 0;
    const uint32_t meltail = mel.tmp << mel.rem;
    if (melpart && vlcpart && !vlc.out.empty() && vlc.bits <= mel.rem &&
        (meltail | vlc.tmp) != 0xff) {
        out.push_back(uint8_t(meltail | vlc.tmp));
    } else {
        if (melpart)
            out.push_back(uint8_t(meltail));
        if (vlcpart)
            out.push_back(uint8_t(vlc.tmp));
    }
    out.insert(out.end(), vlc.out.rbegin(), vlc.out.rend());
    const size_t scup = out.size() - pcup + 1;
    if (scup > 4079) {
        std::fputs("HT encoder: MEL and VLC streams too long\n", stderr);
        out.clear();
        return -1;
    }
    out.back() = uint8_t((out.back() & 0xf0) | (scup & 15));
    out.push_back(uint8_t(scup >> 4));
    if (ddec)
        *ddec = dd;
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
                const unsigned side = c[x - 1] | n[x - 1] | c[x + 1];
                unsigned nb = side | (side << 1) | (side >> 1) | (c[x] << 1) | (c[x] >> 1);
                if (ca)
                    nb |= ((ca[x - 1] | na[x - 1] | ca[x] | na[x] | ca[x + 1] | na[x + 1]) >> 3) & 1;
                if (cbelow)
                    nb |= ((cbelow[x - 1] | cbelow[x] | cbelow[x + 1]) & 1) << 3;
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
