// HT block decoder (T.814 clause 7): the cleanup pass decodes quads of 2x2
// samples, two at a time, from three streams of the cleanup segment: MEL
// (adaptive run lengths of the all-insignificant quads, read forward after
// the MagSgn bytes), VLC (significance patterns, EMB patterns and residual
// exponents, read backward from the end) and MagSgn (magnitude and sign
// bits, read forward from the start).  The refinement segment carries the
// SigProp bits forward and the MagRef bits backward.
#include "tier1/htdec.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "base/simd.h"
#include "tier1/htref.h"
#include "tier1/httab.h"

namespace {

// Bits of a nibble set, and the low bits of v spread over the set bits of
// a nibble (lowest first): deposit[mask][v].
constexpr int nibblebits(unsigned m) { return int((0x4332322132212110ull >> (4 * m)) & 15); }

struct deposit_t {
    uint8_t t[16][16];
    constexpr deposit_t() : t()
    {
        for (unsigned m = 0; m < 16; ++m)
            for (unsigned v = 0; v < 16; ++v) {
                unsigned out = 0, w = v;
                for (unsigned b = 1; b < 16; b <<= 1)
                    if (m & b) {
                        out |= (w & 1) ? b : 0;
                        w >>= 1;
                    }
                t[m][v] = uint8_t(out);
            }
    }
};
constexpr deposit_t deposit;

// A byte of ones for each set bit of a nibble: bytemask[m] byte n is 0xFF
// when bit n of m is set.
struct bytemask_t {
    uint32_t t[16];
    constexpr bytemask_t() : t()
    {
        for (unsigned m = 0; m < 16; ++m)
            for (unsigned n = 0; n < 4; ++n)
                t[m] |= (m >> n & 1) ? 0xffu << (8 * n) : 0;
    }
    constexpr uint32_t operator[](unsigned m) const { return t[m]; }
};
constexpr bytemask_t bytemask;

// The exponent of a significant sample (bit length of its magnitude bits
// and sign) is kept plus EBIAS, as in the exponent field of a float; 0
// stands for an insignificant one.
constexpr uint32_t EBIAS = 126;

using u32x4 = uint32_t __attribute__((vector_size(16)));
using i32x4 = int32_t __attribute__((vector_size(16)));
using f32x4 = float __attribute__((vector_size(16)));
using u32x8 = uint32_t __attribute__((vector_size(32)));
using u64x4 = uint64_t __attribute__((vector_size(32)));

// The bits of a nibble as four lanes of 0 or 1.
struct nibblelanes_t {
    alignas(16) uint32_t t[16][4];
    constexpr nibblelanes_t() : t()
    {
        for (unsigned m = 0; m < 16; ++m)
            for (unsigned n = 0; n < 4; ++n)
                t[m][n] = m >> n & 1;
    }
};
constexpr nibblelanes_t nibblelanetab;
inline u32x4 nibblelanes(uint32_t m)
{
    u32x4 v;
    std::memcpy(&v, nibblelanetab.t[m], sizeof v);
    return v;
}

// The top bit of each byte of v that is 0 (and maybe of bytes above one that
// is 0).
constexpr uint64_t zerobytes(uint64_t v)
{
    return (v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull;
}

// Bytes of a forward stream, least significant bit first; after a 0xFF
// byte the next byte's top bit is a stuffed 0.  Past the end the fill byte
// is read.
struct fwdin_t {
    const uint8_t* d;
    int pos, end;
    uint64_t acc = 0;
    int bits = 0;
    bool lastff = false;
    uint8_t fill;

    fwdin_t(const uint8_t* data, int len, uint8_t fillbyte) : d(data), pos(0), end(len), fill(fillbyte) {}

    [[gnu::noinline]] void refill()
    {
        // Whole bytes at once while none is 0xFF (refill runs with at most
        // 56 bits held, so one byte at least fits).
        if (std::endian::native == std::endian::little && !lastff && end - pos >= 8) {
            const int n = (64 - bits) >> 3;
            const uint64_t keep = n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
            uint64_t w;
            std::memcpy(&w, d + pos, 8);
            w &= keep;
            if (!(zerobytes(~w) & keep)) {
                acc |= w << bits;
                bits += 8 * n;
                pos += n;
                return;
            }
        }
        while (bits <= 56) {
            uint32_t b = fill;
            if (pos < end)
                b = d[pos++];
            if (lastff) {
                acc |= uint64_t(b & 0x7f) << bits;
                bits += 7;
            } else {
                acc |= uint64_t(b) << bits;
                bits += 8;
            }
            lastff = b == 0xff;
        }
    }
    // At least n <= 56 bits in acc.
    void need(int n)
    {
        if (bits < n)
            refill();
    }
    // n <= 32 bits known to be held.
    uint32_t take(int n)
    {
        const uint32_t v = uint32_t(acc & ((uint64_t{1} << n) - 1));
        acc >>= n;
        bits -= n;
        return v;
    }
    // n <= 32
    uint32_t get(int n)
    {
        if (bits < n)
            refill();
        const uint32_t v = uint32_t(acc & ((uint64_t{1} << n) - 1));
        acc >>= n;
        bits -= n;
        return v;
    }
};

// Bytes of a backward stream (VLC, MagRef), least significant bit first; a
// byte whose low 7 bits are all 1 after a byte above 0x8F has a stuffed top
// bit.  Below the first byte, 0 bytes are read.
struct revin_t {
    const uint8_t* d;
    int pos;    // next byte
    int start;  // lowest byte of the stream
    uint64_t acc = 0;
    int bits = 0;
    uint32_t last = 0xff;

    [[gnu::noinline]] void refill()
    {
        // Whole bytes at once while none has its low 7 bits all 1.
        if (std::endian::native == std::endian::little && pos - 7 >= start) {
            const int n = (64 - bits) >> 3;
            const uint64_t keep = n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
            uint64_t w;
            std::memcpy(&w, d + pos - 7, 8);
            w = __builtin_bswap64(w) & keep;  // d[pos] lowest
            if (!(zerobytes(~(w | 0x8080808080808080ull)) & keep)) {
                acc |= w << bits;
                bits += 8 * n;
                pos -= n;
                last = uint32_t(w >> (8 * (n - 1))) & 0xff;
                return;
            }
        }
        while (bits <= 56) {
            uint32_t b = 0;
            if (pos >= start)
                b = d[pos--];
            if (last > 0x8f && (b & 0x7f) == 0x7f) {
                acc |= uint64_t(b & 0x7f) << bits;
                bits += 7;
            } else {
                acc |= uint64_t(b) << bits;
                bits += 8;
            }
            last = b;
        }
    }
    uint32_t peek(int n)
    {
        if (bits < n)
            refill();
        return uint32_t(acc & ((uint64_t{1} << n) - 1));
    }
    void skip(int n)
    {
        acc >>= n;
        bits -= n;
    }
    uint32_t get(int n)
    {
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }
};

// MEL decoder: adaptive run-length symbols, bits read most significant
// first from the bytes after the MagSgn stream.  The last two bytes of the
// segment read with the segment trailer's bits set to 1.
struct melin_t {
    const uint8_t* d;
    int pos, lcup;
    uint64_t buf = 0;  // bits to read, the next one at the top
    int nbits = 0;
    bool lastff = false;
    int k = 0;
    int run = 0;
    bool one = false;

    // At least 57 bits in buf; after a 0xFF byte the next byte's top bit is
    // a stuffed 0.
    [[gnu::noinline]] void fill()
    {
        while (nbits <= 56) {
            uint32_t b = 0xff;
            if (pos < lcup - 2)
                b = d[pos];
            else if (pos == lcup - 2)
                b = d[pos] | 0x0f;
            ++pos;
            const int n = lastff ? 7 : 8;
            lastff = b == 0xff;
            buf |= uint64_t(b & ((1u << n) - 1)) << (64 - nbits - n);
            nbits += n;
        }
    }
    // The next run-length symbol: a run of 2^e zeros, or fewer zeros and a
    // one (a 0 bit, then the count in e bits).
    void symbol()
    {
        static constexpr uint8_t MEL_E[13] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 4, 5};
        if (nbits < 6)
            fill();
        const int e = MEL_E[k];
        if (buf >> 63) {
            buf <<= 1;
            nbits -= 1;
            run = 1 << e;
            k = std::min(12, k + 1);
        } else {
            run = int((buf >> (63 - e)) & ((1u << e) - 1));
            buf <<= 1 + e;
            nbits -= 1 + e;
            k = std::max(0, k - 1);
            one = true;
        }
    }
    int decode()
    {
        if (run > 0) {
            --run;
            return 0;
        }
        if (!one) {
            symbol();
            if (run > 0) {
                --run;
                return 0;
            }
        }
        one = false;
        return 1;
    }
};

// U-VLC parts of an unsigned residual.
inline int uprefix(revin_t& vlc)
{
    const uint32_t b = vlc.peek(3);
    if (b & 1) {
        vlc.skip(1);
        return 1;
    }
    if (b & 2) {
        vlc.skip(2);
        return 2;
    }
    vlc.skip(3);
    return (b & 4) ? 3 : 5;
}

inline int usuffix(revin_t& vlc, int pfx)
{
    if (pfx < 3)
        return 0;
    return int(vlc.get(pfx == 3 ? 1 : 5));
}

inline int uextension(revin_t& vlc, int sfx) { return sfx >= 28 ? int(vlc.get(4)) : 0; }

// The prefix of a residual by the next three bits of the stream: its
// length (bits 0-3), value (4-7) and the length of its suffix (8-11).
constexpr uint16_t UPFX[8] = {0x553, 0x011, 0x022, 0x011, 0x133, 0x011, 0x022, 0x011};

// Both prefixes of the residuals of a pair of quads at once, by which of
// them are present (uoff1 + 2 uoff2) and the next six bits of the stream:
// their total length (bits 0-3), the values (4-7, 8-11) and the lengths of
// the suffixes (12-15, 16-19); an absent quad has all of them 0.
struct upfx2_t {
    uint32_t t[4][64];
    constexpr upfx2_t() : t()
    {
        for (unsigned k = 0; k < 4; ++k)
            for (unsigned b = 0; b < 64; ++b) {
                const uint32_t t1 = (k & 1) ? UPFX[b & 7] : 0;
                const uint32_t t2 = (k & 2) ? UPFX[(b >> (t1 & 15)) & 7] : 0;
                t[k][b] = ((t1 & 15) + (t2 & 15)) | (t1 & 0xf0) | (t2 & 0xf0) << 4 |
                          (t1 & 0xf00) << 4 | (t2 & 0xf00) << 8;
            }
    }
};
constexpr upfx2_t upfx2;

// The residuals of a pair of quads (either may be absent: uoff 0), without
// branches (an absent one reads no bits): prefixes, suffixes, then the
// rare extensions, at most 24 bits.
template <bool Refill = true>
inline void upair(revin_t& vlc, int uoff1, int uoff2, int& u1, int& u2)
{
    if (Refill && vlc.bits < 24)
        vlc.refill();
    const uint32_t t = upfx2.t[uoff1 | uoff2 << 1][vlc.acc & 63];
    const uint32_t s1 = (t >> 12) & 15, s2 = t >> 16;
    const uint64_t x = vlc.acc >> (t & 15);
    const uint32_t sf1 = uint32_t(x) & ((1u << s1) - 1);
    const uint32_t sf2 = uint32_t(x >> s1) & ((1u << s2) - 1);
    vlc.skip(int((t & 15) + s1 + s2));
    u1 = int(((t >> 4) & 15) + sf1);
    u2 = int(((t >> 8) & 15) + sf2);
    if (sf1 >= 28 || sf2 >= 28) {  // extensions (rare)
        const uint32_t n1 = sf1 >= 28 ? 4 : 0, n2 = sf2 >= 28 ? 4 : 0;
        const uint32_t ex = uint32_t(vlc.acc);
        u1 += int(4 * (ex & ((1u << n1) - 1)));
        u2 += int(4 * ((ex >> n1) & ((1u << n2) - 1)));
        vlc.skip(int(n1 + n2));
    }
}

// Decoded codeword of a quad: its entry of the decoding lookup (0 for an
// insignificant quad that has none).
struct htquad_t {
    uint32_t e = 0;
    int uoff() const { return (e >> 3) & 1; }
    int rho() const { return (e >> 4) & 15; }
    int e1() const { return (e >> 8) & 15; }
    int ek() const { return (e >> 12) & 15; }
};

template <bool Refill = true>
[[gnu::always_inline]] inline bool decodequad(const uint16_t* tab, int c, melin_t& mel, revin_t& vlc, htquad_t& qd)
{
    if (c == 0 && !mel.decode()) {
        qd = htquad_t{};
        return true;
    }
    const uint32_t e = tab[c * 128 + (Refill ? vlc.peek(7) : uint32_t(vlc.acc) & 127)];
    const int len = e & 7;
    if (!len)
        return false;
    vlc.skip(len);
    qd.e = e;
    return true;
}

// Coefficients of the four samples of one quad at quad column q of the
// line pair whose rows are row0 and row1 (0 for the insignificant ones):
// magnitude at plane p plus half, and sign, from the MagSgn bits.  The
// exponents of its bottom samples go to ebot (indexed by column + 1, plus
// EBIAS).  Vec: the four samples side by side where U allows (vecquads).
// False when the bound U exceeds maxu.
template <bool Vec>
[[gnu::always_inline]] inline bool magsgn(fwdin_t& ms, const htquad_t& qd, int U, int maxu,
                                          int p, int32_t half, int32_t* row0, int32_t* row1,
                                          uint8_t* ebot, int q)
{
    // Sample n of the quad is in column n >> 1 of row n & 1.
    int32_t* const o = row0 + 2 * q;
    const ptrdiff_t d1 = row1 - row0;
    if (!qd.rho()) {
        o[0] = o[1] = o[d1] = o[d1 + 1] = 0;
        ebot[2 * q + 1] = 0;
        ebot[2 * q + 2] = 0;
        return true;
    }
    if (U > maxu)
        return false;
    const uint32_t rho = uint32_t(qd.rho()), ek = uint32_t(qd.ek()), e1 = uint32_t(qd.e1());
    // Sample n: m bits of magnitude below its EMB bit, then the sign; the
    // magnitude is ((v >> 1) + 1) << p, plus half.
    const uint32_t base = (uint32_t{1} << p) | uint32_t(half);
    auto value = [&](int n, uint32_t bits, int m) {
        const uint32_t v = bits | (((e1 >> n) & 1) << m);
        const uint32_t mag = ((v >> 1) << p) + base;
        const uint32_t neg = 0u - (v & 1);
        return std::pair{int32_t((mag ^ neg) - neg), uint8_t(EBIAS + 32 - std::countl_zero(v | 1))};
    };
    if (U <= 14 && !Vec) {
        // One refill check for the quad, whose bits fit in one, and the
        // four samples without branches: an insignificant one reads no
        // bits and is masked to 0.
        ms.need(4 * U);
        auto one = [&](int n, int32_t* dst) {
            const uint32_t sig = 0u - ((rho >> n) & 1);
            const int m = (U - int((ek >> n) & 1)) & int(sig);
            const auto [c, e] = value(n, ms.take(m), m);
            *dst = c & int32_t(sig);
            return uint8_t(e & sig);
        };
        one(0, o);
        ebot[2 * q + 1] = one(1, o + d1);
        one(2, o + 1);
        ebot[2 * q + 2] = one(3, o + d1 + 1);
        return true;
    }
    if (U <= 14) {
        // The same with the four samples side by side: the bit counts m_n
        // packed in the bytes of one word, whose running sums give each
        // sample's offset in the accumulator.
        ms.need(4 * U);
        const uint32_t m = (uint32_t(U) * 0x01010101u - (bytemask[ek] & 0x01010101u)) & bytemask[rho];
        const uint32_t off = m * 0x01010100u;
        const u64x4 lane = {0, 1, 2, 3};
        const u64x4 ol = (u64x4{} + off) >> (lane * 8) & 0xff;
        const u32x8 at = (u32x8)((u64x4{} + ms.acc) >> ol);
        const uint32_t used = (m * 0x01010101u) >> 24;
        ms.acc >>= used;
        ms.bits -= int(used);
        const u32x4 sig = 0 - nibblelanes(rho);
        const u32x4 ml = ((u32x4{} + uint32_t(U)) - nibblelanes(ek)) & sig;
        const u32x4 bits = __builtin_shufflevector(at, at, 0, 2, 4, 6) & (((u32x4{} + 1) << ml) - 1);
        const u32x4 v = bits | nibblelanes(e1) << ml;
        const u32x4 mag = ((v >> 1) << p) + base;
        const u32x4 neg = 0 - (v & 1);
        const u32x4 c = ((mag ^ neg) - neg) & sig;
        // Lanes 0 and 2 are the top row, 1 and 3 the bottom one.
        const u32x4 rows = __builtin_shufflevector(c, c, 0, 2, 1, 3);
        std::memcpy(o, &rows, 8);
        std::memcpy(o + d1, reinterpret_cast<const char*>(&rows) + 8, 8);
        // The exponents (bit lengths, v < 2^15) from those of v as floats,
        // kept biased.
        const u32x4 ex = ((u32x4)__builtin_convertvector((i32x4)(v | 1), f32x4) >> 23) & sig;
        ebot[2 * q + 1] = uint8_t(ex[1]);
        ebot[2 * q + 2] = uint8_t(ex[3]);
        return true;
    }
    // The significant samples in order (an insignificant one reads no bits
    // and stays 0).
    o[0] = o[1] = o[d1] = o[d1 + 1] = 0;
    const ptrdiff_t off[4] = {0, d1, 1, d1 + 1};
    uint8_t ex[4] = {};
    for (uint32_t r = rho; r; r &= r - 1) {
        const int n = std::countr_zero(r);
        const int m = U - int((ek >> n) & 1);
        const auto [c, e] = value(n, ms.get(m), m);
        o[off[n]] = c;
        ex[n] = e;
    }
    ebot[2 * q + 1] = ex[1];
    ebot[2 * q + 2] = ex[3];
    return true;
}

// Whether the four samples of a quad go side by side: where shifts by lane
// take one step (on x86-64 with AVX2, which the x86-64-v3 clone of the
// decoder has).
inline bool vecquads()
{
#if defined(__x86_64__) && !defined(__AVX2__)
#if defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && !defined(__SANITIZE_THREAD__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
#else
    return true;
#endif
}

// Two insignificant quads at quad columns q and q + 1 (the common case in
// sparse blocks).
inline void clearpair(int32_t* row0, int32_t* row1, uint8_t* ebot, int q)
{
    std::memset(row0 + 2 * q, 0, 4 * sizeof(int32_t));
    std::memset(row1 + 2 * q, 0, 4 * sizeof(int32_t));
    std::memset(ebot + 2 * q + 1, 0, 4);
}

// What the quads of a line pair need of the exponents e (plus EBIAS) of
// the bottom row above (by column + 1), by quad column q: bits 0 and 2 of
// its context (columns 2q-1, 2q and 2q+1, 2q+2 significant), and in the
// high byte the largest of those four exponents less 2, at least 0.  Reads
// e up to 2 QW + 33 and writes up to QW + 15.
inline void abovequads(const uint8_t* e, uint16_t* a, int QW)
{
    // Signed lanes (the values are below 256): SSE2 has their maxima; eight
    // at a time, which every x86-64 has in one register.
    using u16x8 = uint16_t __attribute__((vector_size(16)));
    using i16x8 = int16_t __attribute__((vector_size(16)));
    for (int q = 0; q < QW; q += 8) {
        u16x8 x, y;
        std::memcpy(&x, e + 2 * q, sizeof x);
        std::memcpy(&y, e + 2 * q + 2, sizeof y);
        // Largest of columns 2q-1, 2q and of 2q+1, 2q+2.
        const i16x8 x0 = (i16x8)(x & 0xff), x1 = (i16x8)(x >> 8);
        const i16x8 y0 = (i16x8)(y & 0xff), y1 = (i16x8)(y >> 8);
        const i16x8 px = x0 > x1 ? x0 : x1;
        const i16x8 py = y0 > y1 ? y0 : y1;
        const i16x8 m = px > py ? px : py;
        const i16x8 k = m > int16_t(EBIAS + 2) ? m - int16_t(EBIAS + 2) : i16x8{};
        const i16x8 c = ((px != 0) & 1) | ((py != 0) & 4);
        const i16x8 r = c | k << 8;
        std::memcpy(a + q, &r, sizeof r);
    }
}

// A row of coefficients as floats times scale (the dequantization).
HOT_CLONES void scalerow(const int32_t* src, int32_t* dst, int n, float scale)
{
    for (int x = 0; x < n; ++x)
        dst[x] = std::bit_cast<int32_t>(static_cast<float>(src[x]) * scale);
}

// A row of the block into the tile-component, times scale unless it is 0.
// Those rows are read back only after the whole tile's blocks are decoded,
// long out of the cache by then: on x86 whole groups of four are stored
// past the cache, which spares reading every destination line in before it
// is overwritten.  putdone orders those stores before the block is done.
inline void putrow(const int32_t* src, int32_t* dst, int n, float scale)
{
    int x = 0;
#ifdef __SSE2__
    if (reinterpret_cast<uintptr_t>(dst) % 16 == 0) {
        const __m128 k = _mm_set1_ps(scale);
        for (; x + 4 <= n; x += 4) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
            if (scale != 0)
                v = _mm_castps_si128(_mm_mul_ps(_mm_cvtepi32_ps(v), k));
            _mm_stream_si128(reinterpret_cast<__m128i*>(dst + x), v);
        }
    }
#endif
    if (scale != 0)
        scalerow(src + x, dst + x, n - x, scale);
    else
        std::copy(src + x, src + n, dst + x);
}

inline void putdone()
{
#ifdef __SSE2__
    _mm_sfence();
#endif
}

// The decoder, with the quads' samples side by side (Vec) or not.
template <bool Vec>
[[gnu::always_inline]] inline int decodecblk(const htdec_cblk_t& cb, htdec_scratch_t& scratch)
{
    const int W = cb.width, H = cb.height;
    if (W <= 0 || H <= 0)
        return 0;
    if (W > 1024 || H > 1024 || W * H > 4096 || cb.p < 0 || cb.p > 30) {
        std::fputs("HT code block out of range\n", stderr);
        return -1;
    }
    const int lcup = cb.lcup;
    if (lcup < 2) {
        std::fputs("HT cleanup segment too short\n", stderr);
        return -1;
    }
    const uint8_t* d = cb.cln;
    const int scup = (d[lcup - 1] << 4) | (d[lcup - 2] & 15);
    if (scup < 2 || scup > lcup) {
        std::fputs("bad HT cleanup segment trailer\n", stderr);
        return -1;
    }
    const int pcup = lcup - scup;

    const int QW = (W + 1) / 2, QH = (H + 1) / 2;
    const int W2 = 2 * QW;
    // Every sample of every quad is written by the cleanup pass.
    if (scratch.buf.size() < size_t(W2) * 2 * QH)
        scratch.buf.resize(size_t(W2) * 2 * QH);
    int32_t* buf = scratch.buf.data();

    fwdin_t ms(d, pcup, 0xff);
    melin_t mel{d, pcup, lcup};
    revin_t vlc{d, lcup - 3, pcup};
    vlc.last = d[lcup - 2] | 0x0f;
    vlc.acc = vlc.last >> 4;
    vlc.bits = (vlc.acc & 7) == 7 ? 3 : 4;
    vlc.acc &= (1u << vlc.bits) - 1;

    // Exponents (plus EBIAS) of the bottom row of the line pair, by column
    // + 1, with a zero column on either side; columns past the block read
    // as 0 (up to 2 QW + 33, read by abovequads).  What the next line pair
    // needs of them goes to above, by quad column.
    uint8_t ecur[1024 + 40];
    std::memset(ecur, 0, size_t(2 * QW + 40));
    uint16_t above[512 + 16];
    const int p = cb.p;
    const int maxu = 31 - p;
    // Without refinement passes the reconstruction point is the middle of
    // plane p; the refinement passes below work from the magnitudes.
    const int32_t half = p > 0 && cb.numrefpasses <= 0 ? int32_t{1} << (p - 1) : 0;
    bool ok = true;
    // Integer samples without refinement go straight to the block's place
    // when its quads cover it exactly; a block that fails fails its tile,
    // whatever it left there.
    const bool direct = (cb.numrefpasses <= 0 || p == 0) && cb.scale == 0 && W % 2 == 0 && H % 2 == 0;
    int32_t* const out = direct ? cb.data : buf;
    const ptrdiff_t ostride = direct ? cb.stride : W2;

    // First line pair.
    {
        const uint16_t* tab = ht_vlcdec[0];
        int32_t* row0 = out;
        int32_t* row1 = out + ostride;
        int c = 0;
        for (int q = 0; q < QW && ok; q += 2) {
            htquad_t q1, q2;
            ok = decodequad(tab, c, mel, vlc, q1);
            c = (q1.rho() >> 1) | (q1.rho() & 1);
            const bool two = q + 1 < QW;
            if (two && ok) {
                ok = decodequad(tab, c, mel, vlc, q2);
                c = (q2.rho() >> 1) | (q2.rho() & 1);
            }
            if (!ok)
                break;
            if (two && !((q1.e | q2.e) & 0xf8)) {  // no rho, no u_off
                clearpair(row0, row1, ecur, q);
                continue;
            }
            int u1 = 0, u2 = 0;
            if (q1.uoff() && q2.uoff()) {
                if (mel.decode()) {
                    upair(vlc, 1, 1, u1, u2);
                    u1 += 2;
                    u2 += 2;
                } else {
                    const int pf1 = uprefix(vlc);
                    if (pf1 > 2) {
                        u2 = int(vlc.get(1)) + 1;
                        const int sf1 = usuffix(vlc, pf1);
                        u1 = pf1 + sf1 + 4 * uextension(vlc, sf1);
                    } else {
                        const int pf2 = uprefix(vlc);
                        const int sf1 = usuffix(vlc, pf1);
                        const int sf2 = usuffix(vlc, pf2);
                        const int ex1 = uextension(vlc, sf1);
                        const int ex2 = uextension(vlc, sf2);
                        u1 = pf1 + sf1 + 4 * ex1;
                        u2 = pf2 + sf2 + 4 * ex2;
                    }
                }
            } else {
                upair(vlc, q1.uoff(), q2.uoff(), u1, u2);
            }
            ok = magsgn<Vec>(ms, q1, 1 + u1, maxu, p, half, row0, row1, ecur, q) &&
                 (!two || magsgn<Vec>(ms, q2, 1 + u2, maxu, p, half, row0, row1, ecur, q + 1));
        }
    }

    // Other line pairs: contexts and exponent bounds from the row above.
    // A codeword that does not exist reads as an insignificant quad and
    // fails the block at the end of its pair.
    const uint16_t* tab = ht_vlcdec[1];
    for (int j = 1; j < QH && ok; ++j) {
        abovequads(ecur, above, QW);
        int32_t* row0 = out + 2 * j * ostride;
        int32_t* row1 = row0 + ostride;
        unsigned wsig = 0;  // west and south-west samples significant
        bool bad = false;
        for (int q = 0; q < QW; q += 2) {
            const unsigned a1 = above[q], a2 = above[q + 1];
            htquad_t q1, q2;
            bad |= !decodequad(tab, int((a1 & 5) | (wsig << 1)), mel, vlc, q1);
            wsig = unsigned(q1.rho()) >> 2 ? 1 : 0;
            const bool two = q + 1 < QW;
            if (two) {
                bad |= !decodequad(tab, int((a2 & 5) | (wsig << 1)), mel, vlc, q2);
                wsig = unsigned(q2.rho()) >> 2 ? 1 : 0;
            }
            if (two && !((q1.e | q2.e) & 0xf8)) {  // no rho, no u_off
                clearpair(row0, row1, ecur, q);
                if (bad) {
                    ok = false;
                    break;
                }
                continue;
            }
            // More than one significant sample: the bound from above.
            // Without branches (the pattern is the data's): max(1, emax - 1)
            // or 1.
            auto multi = [](int rho) { return -int((rho & (rho - 1)) != 0); };
            const int k1 = 1 + (int(a1 >> 8) & multi(q1.rho()));
            const int k2 = 1 + (int(a2 >> 8) & multi(q2.rho()));
            int u1 = 0, u2 = 0;
            upair(vlc, q1.uoff(), q2.uoff(), u1, u2);
            bad |= !magsgn<Vec>(ms, q1, k1 + u1, maxu, p, half, row0, row1, ecur, q);
            if (two)
                bad |= !magsgn<Vec>(ms, q2, k2 + u2, maxu, p, half, row0, row1, ecur, q + 1);
            if (bad) {
                ok = false;
                break;
            }
        }
    }
    if (!ok) {
        std::fputs("bad HT cleanup segment\n", stderr);
        return -1;
    }

    if (direct)
        return 0;
    if (cb.numrefpasses <= 0 || p == 0) {
        for (int r = 0; r < H; ++r)
            putrow(buf + size_t(r) * W2, cb.data + r * cb.stride, W, cb.scale);
        putdone();
        return 0;
    }

    // Refinement passes at plane p - 1, by stripes of four rows: per stripe
    // and column (with an empty column on either side) a nibble of the
    // samples significant after the cleanup pass (sig), of those that become
    // significant in SigProp (nsig), of the signs of these (nsgn) and of the
    // MagRef bits (mref), bit y for row y of the stripe.
    const int SW = W + 2;
    const int NS = (H + 3) / 4;
    const size_t planesz = size_t(SW) * NS;
    scratch.state.assign(planesz * 4, 0);
    uint8_t* const sig = scratch.state.data();
    uint8_t* const nsig = sig + planesz;
    uint8_t* const nsgn = nsig + planesz;
    uint8_t* const mref = nsgn + planesz;
    for (int r = 0; r < H; ++r) {
        const int32_t* s = buf + size_t(r) * W2;
        uint8_t* c = sig + size_t(r >> 2) * SW + 1;
        const int bit = r & 3;
        for (int x = 0; x < W; ++x)
            c[x] |= uint8_t((s[x] != 0) << bit);
    }

    // SigProp: a sample not yet significant reads a bit when one of its
    // eight neighbours is significant, counting those that became
    // significant earlier in this pass; the signs of a 4x4 group's new
    // samples follow its significance bits.
    fwdin_t sp(cb.ref, cb.lref, 0);
    for (int k = 0; k < NS; ++k) {
        const unsigned rowmask = (1u << std::min(4, H - 4 * k)) - 1;
        const uint8_t* c = sig + size_t(k) * SW;
        uint8_t* n = nsig + size_t(k) * SW;
        uint8_t* sg = nsgn + size_t(k) * SW;
        // The bottom row of the stripe above, final; the top row of the
        // stripe below, as the cleanup pass left it (none when stripe-causal).
        const uint8_t* ca = k > 0 ? sig + size_t(k - 1) * SW : nullptr;
        const uint8_t* na = k > 0 ? nsig + size_t(k - 1) * SW : nullptr;
        const uint8_t* cbelow = k + 1 < NS && !cb.vcausal ? sig + size_t(k + 1) * SW : nullptr;
        for (int x0 = 1; x0 <= W; x0 += 4) {
            const int x1 = std::min(x0 + 4, W + 1);
            for (int x = x0; x < x1; ++x) {
                const unsigned nb = ht_spneighbours(c, n, ca, na, cbelow, x);
                // Without an eligible sample no bit is read, and none can
                // become eligible.
                const unsigned cand = ~unsigned(c[x]) & rowmask;
                if (!(nb & cand))
                    continue;
                // Rows in order, without branches: a new sample makes the
                // one below it eligible.
                sp.need(4);
                uint64_t acc = sp.acc;
                unsigned news = 0;
                int used = 0;
                for (int y = 0; y < 4; ++y) {
                    const unsigned e = (((nb | (news << 1)) & cand) >> y) & 1;
                    news |= (unsigned(acc) & e) << y;
                    acc >>= e;
                    used += int(e);
                }
                sp.acc = acc;
                sp.bits -= used;
                n[x] = uint8_t(news);
            }
            for (int x = x0; x < x1; ++x)
                if (n[x])
                    sg[x] = deposit.t[n[x]][sp.get(nibblebits(n[x]))];
        }
    }

    // MagRef: a bit for each sample significant after the cleanup pass,
    // stripe by stripe, column by column, rows in order.
    const bool magref = cb.numrefpasses >= 2;
    if (magref) {
        revin_t mr{cb.ref, cb.lref - 1, 0};
        for (int k = 0; k < NS; ++k) {
            const uint8_t* c = sig + size_t(k) * SW;
            uint8_t* m = mref + size_t(k) * SW;
            for (int x = 1; x <= W; ++x)
                m[x] = deposit.t[c[x]][mr.get(nibblebits(c[x]))];
        }
    }

    // Samples significant after the cleanup pass end at plane p, or at
    // plane p - 1 with a MagRef bit; new ones at plane p - 1.
    const uint32_t halfp = uint32_t{1} << (p - 1);
    const uint32_t halfq = p > 1 ? uint32_t{1} << (p - 2) : 0;
    const uint32_t newmag = halfp | halfq;
    for (int r = 0; r < H; ++r) {
        const int32_t* s = buf + size_t(r) * W2;
        const size_t row = size_t(r >> 2) * SW + 1;
        const uint8_t* c = sig + row;
        const uint8_t* n = nsig + row;
        const uint8_t* sg = nsgn + row;
        const uint8_t* m = mref + row;
        const int bit = r & 3;
        int32_t* o = cb.data + r * cb.stride;
        for (int x = 0; x < W; ++x) {
            const int32_t v = s[x];
            const uint32_t isold = 0u - ((c[x] >> bit) & 1u);
            const uint32_t isnew = 0u - ((n[x] >> bit) & 1u);
            const uint32_t low =
                magref ? ((0u - ((m[x] >> bit) & 1u)) & halfp) | halfq : halfp;
            const uint32_t mag = (isold & (uint32_t(v < 0 ? -v : v) | low)) | (isnew & newmag);
            const uint32_t neg = 0u - ((uint32_t(v) >> 31) | (isnew & ((sg[x] >> bit) & 1u)));
            o[x] = int32_t((mag ^ neg) - neg);
        }
        if (cb.scale != 0)
            scalerow(o, o, W, cb.scale);
    }
    return 0;
}

}  // namespace

PASS_CLONES int htdec_decodecblk(const htdec_cblk_t& cb, htdec_scratch_t& scratch)
{
    return vecquads() ? decodecblk<true>(cb, scratch) : decodecblk<false>(cb, scratch);
}
