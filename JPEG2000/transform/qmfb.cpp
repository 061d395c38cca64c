// One-dimensional 5/3 and 9/7 filter banks by lifting (T.800 Annex F).
//
// A line of absolute coordinates start .. end - 1 has its low-pass samples
// at even and its high-pass samples at odd coordinates.  With s0 = start & 1
// the low-pass coefficient i sits at position 2i + s0 and the high-pass
// coefficient j at 2j + 1 - s0 of the interleaved line.  The neighbours of
// high-pass j are low-pass j - s0 and j - s0 + 1; those of low-pass i are
// high-pass i + s0 - 1 and i + s0.  A missing neighbour at an end is
// replaced by the other one (symmetric extension), which turns every
// two-neighbour formula into its one-neighbour form.
//
// On rows, the 9/7 splits a line first (low part, then high part) and
// lifts the contiguous halves; the 5/3 lifts straight from the interleaved
// samples and leaves them split.  Columns are handled in strips of whole
// row segments so that the inner loops run along rows, each strip in a
// single sweep down (analysis) or up (synthesis).
//
// The 5/3 works on integers; its sums are taken with wrap-around at 32 bits
// where they can overflow only for absurd coefficients (from a damaged code
// stream), so such input gives garbage but never undefined behaviour.  The
// 9/7 works on single-precision samples held in the same 32-bit cells
// (realent_t): float has the range for every sample precision and the
// precision of the peers' floating-point reconstruction.
#include "transform/qmfb.h"
#include "base/simd.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "base/fatal.h"
#include "base/threadpool.h"
#include "base/mathx.h"

namespace {

// 9/7 lifting parameters (T.800 Table F.4) and scale factors.  Synthesis
// scales the high-pass band by 13318 / 8192, the value that the common
// decoders use in place of 2 / K (3.3e-5 smaller): with it, decodings of
// deep (16-bit) pictures agree with theirs.  Analysis uses the reciprocal,
// so that the pair is exact.
constexpr double K97 = 1.230174104914001;
constexpr float ALPHA = -1.586134342059924f;
constexpr float BETA = -0.052980118572961f;
constexpr float GAMMA = 0.882911075530934f;
constexpr float DELTA = 0.443506852043971f;
constexpr float INVK = static_cast<float>(1 / K97);
constexpr float HALFK = static_cast<float>(8192.0 / 13318);  // about K / 2
constexpr float K = static_cast<float>(K97);
constexpr float TWOINVK = static_cast<float>(13318.0 / 8192);  // about 2 / K

// Columns handled together by the vertical passes: a strip of 128 keeps
// the buffer of a 2160-row column at about 0.5 MiB per thread, within the
// second-level cache (wider strips were no faster and cost the decoder 2 MiB
// of peak memory per thread).
constexpr int32_t STRIPWIDTH = 128;
// The strip's high-pass rows wait in a buffer of about this many samples at
// most (narrower strips for very tall columns), and strips are at least 16
// columns wide.
constexpr int64_t STRIPBUFSAMPLES = int64_t{1} << 21;
// How many steps (row pairs) ahead the column analysis prefetches.
constexpr int32_t PREFETCHSTEPS = 8;

int32_t strip_width(int32_t maxwidth, int32_t numcols, int32_t nh)
{
    int64_t w = std::min<int64_t>(maxwidth, STRIPBUFSAMPLES / std::max(nh, 1));
    w = std::max<int64_t>(16, w & ~int64_t{15});
    return static_cast<int32_t>(std::min<int64_t>(w, numcols));
}

inline int32_t wadd(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wsub(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// 9/7 lifting step: t is the coefficient updated, a and b its neighbours.
struct Lift97 {  // t + c (a + b)
    float c;
    float operator()(float t, float a, float b) const { return t + c * (a + b); }
};
struct ScaleLift97 {  // t k + c (a + b), the product t k rounded first
    float k, c;
    float operator()(float t, float a, float b) const
    {
        const float u = t * k;
        return u + c * (a + b);
    }
};

struct ScaleLift97Scaled {  // t k + c (a s + b s), each product rounded first
    float k, c, s;
    float operator()(float t, float a, float b) const
    {
        const float u = t * k;
        return u + c * (a * s + b * s);
    }
};

// One lifting step on contiguous arrays: T[j] is updated from S[j - d] and
// S[j - d + 1] (d is 0 or 1).  The callers guarantee ns >= nt - d and
// ns >= 1, so only j = 0 (d = 1) and j = nt - 1 can lack a neighbour.
// The result goes to D, which is T or a place of its own.
template <class Op>
inline void lift_line(realent_t* D, const realent_t* T, int32_t nt, const realent_t* S,
                      int32_t ns, int d, Op op)
{
    int32_t j = 0;
    if (d == 1 && nt > 0) {
        D[0] = op(T[0], S[0], S[0]);
        j = 1;
    }
    const int32_t jend = std::min(nt, ns + d - 1);
    for (; j < jend; ++j)
        D[j] = op(T[j], S[j - d], S[j - d + 1]);
    for (; j < nt; ++j)
        D[j] = op(T[j], S[j - d], S[j - d]);
}
template <class Op>
inline void lift_line(realent_t* T, int32_t nt, const realent_t* S, int32_t ns, int d, Op op)
{
    lift_line(T, T, nt, S, ns, d, op);
}

// Number of low-pass samples of a line of n samples whose first sample has
// parity s0.
inline int32_t numlow(int32_t n, int s0)
{
    return s0 ? n / 2 : (n + 1) / 2;
}

// 9/7 lifting of the split halves L (nl) and H (nh) of one line.
struct Halves {
    realent_t* L;
    int32_t nl;
    realent_t* H;
    int32_t nh;
    int s0;

    template <class Op>
    void predict(Op op) const  // high from low
    {
        lift_line(H, nh, L, nl, s0, op);
    }
    template <class Op>
    void update(Op op) const  // low from high
    {
        lift_line(L, nl, H, nh, 1 - s0, op);
    }
};

// The lifting steps without the scaling.
[[gnu::always_inline]] inline void lift97_fwd(const Halves& h)
{
    h.predict(Lift97{ALPHA});
    h.update(Lift97{BETA});
    h.predict(Lift97{GAMMA});
    h.update(Lift97{DELTA});
}


// A line of one sample: unchanged at an even coordinate.  At an odd
// coordinate the sample is a high-pass coefficient on its own; T.800 makes
// it 2x in analysis and x/2 in synthesis, which for the 9/7 (whose
// high-pass band carries half the T.800 scale here) is the identity: only
// the 5/3 changes it.
inline int32_t single_fwd(int32_t x)
{
    return wadd(x, x);
}
inline int32_t single_inv(int32_t x)
{
    return x >> 1;
}

template <class T>
struct Buffer {
    T local[4096];
    std::unique_ptr<T[]> heap;
    T* get(size_t n)
    {
        if (n <= sizeof local / sizeof local[0])
            return local;
        heap.reset(new (std::nothrow) T[n]);
        FATAL_CHECK(heap != nullptr);
        return heap.get();
    }
};

// ---- rows ------------------------------------------------------------------

// The 5/3 on one row without a separate split: high-pass coefficients are
// predicted straight from the interleaved samples into hi, low-pass ones
// updated into the front of the row (position i is read before it is
// written, 2i + s0 >= i), then hi follows them.  p = x + 1 - s0 points at
// the first odd sample, whose even neighbours are p[2j - 1] and p[2j + 1].
void row53_fwd(int32_t* x, int32_t n, int s0, int32_t* hi)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    const int32_t* p = x + 1 - s0;
    int32_t j = 0;
    if (s0) {  // the first sample is high-pass: its only neighbour is p[1]
        hi[0] = wsub(p[0], p[1]);
        j = 1;
    }
    const int32_t jend = 2 * nh - s0 < n ? nh : nh - 1;  // both neighbours inside
    for (; j < jend; ++j)
        hi[j] = wsub(p[2 * j], wadd(p[2 * j - 1], p[2 * j + 1]) >> 1);
    for (; j < nh; ++j)
        hi[j] = wsub(p[2 * j], p[2 * j - 1]);
    const int32_t* q = x + s0;
    int32_t i = 0;
    if (!s0) {  // the first sample is low-pass: its only neighbour is hi[0]
        x[0] = wadd(q[0], wadd(wadd(hi[0], hi[0]), 2) >> 2);
        i = 1;
    }
    const int32_t iend = nl + s0 <= nh ? nl : nl - 1;
    for (; i < iend; ++i)
        x[i] = wadd(q[2 * i], wadd(wadd(hi[i + s0 - 1], hi[i + s0]), 2) >> 2);
    for (; i < nl; ++i)
        x[i] = wadd(q[2 * i], wadd(wadd(hi[i + s0 - 1], hi[i + s0 - 1]), 2) >> 2);
    std::memcpy(x + nl, hi, static_cast<size_t>(nh) * sizeof(int32_t));
}

// lo[i] = a[2i] for i < nl, hi[j] = b[2j] for j < nh.
template <class T>
inline void split_pairs(T* __restrict lo, T* __restrict hi, const T* __restrict a,
                        const T* __restrict b, int32_t nl, int32_t nh)
{
    for (int32_t i = 0; i < nl; ++i)
        lo[i] = a[2 * i];
    for (int32_t j = 0; j < nh; ++j)
        hi[j] = b[2 * j];
}

// d[i] = s[i] c for i < n.
inline void scale_into(realent_t* __restrict d, const realent_t* __restrict s, int32_t n, float c)
{
    for (int32_t i = 0; i < n; ++i)
        d[i] = s[i] * c;
}

// x[2i] = a[i], x[2i + 1] = b[i] for i < npairs.
template <class T>
inline void join_pairs(T* __restrict x, const T* __restrict a, const T* __restrict b,
                       int32_t npairs)
{
    for (int32_t i = 0; i < npairs; ++i) {
        x[2 * i] = a[i];
        x[2 * i + 1] = b[i];
    }
}

// The inverse: the even samples (from the low-pass half) into ev, then the
// odd ones (from the high-pass half and their even neighbours) into od,
// each in a contiguous sweep, then both joined into out (the row itself, or
// a row elsewhere).
[[gnu::always_inline]] inline void row53_inv(const int32_t* lo, const int32_t* hi, int32_t* out,
                                             int32_t n, int s0, int32_t* ev, int32_t* od)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    int32_t i = 0;
    if (!s0) {
        ev[0] = wsub(lo[0], wadd(wadd(hi[0], hi[0]), 2) >> 2);
        i = 1;
    }
    const int32_t iend = nl + s0 <= nh ? nl : nl - 1;
    for (; i < iend; ++i)
        ev[i] = wsub(lo[i], wadd(wadd(hi[i + s0 - 1], hi[i + s0]), 2) >> 2);
    for (; i < nl; ++i)
        ev[i] = wsub(lo[i], wadd(wadd(hi[i + s0 - 1], hi[i + s0 - 1]), 2) >> 2);
    // Odd sample j sits between even samples j - s0 and j + 1 - s0.
    int32_t j = 0;
    if (s0) {
        od[0] = wadd(hi[0], ev[0]);
        j = 1;
    }
    const int32_t jend = 2 * nh - s0 < n ? nh : nh - 1;
    for (; j < jend; ++j)
        od[j] = wadd(hi[j], wadd(ev[j - s0], ev[j + 1 - s0]) >> 1);
    for (; j < nh; ++j)
        od[j] = wadd(hi[j], ev[j - s0]);
    const int32_t* a = s0 ? od : ev;  // the sample at coordinate 0 first
    const int32_t* b = s0 ? ev : od;
    join_pairs(out, a, b, n / 2);
    if (n & 1)
        out[n - 1] = a[n / 2];
}

// The last 9/7 synthesis step (alpha, odd samples from their even
// neighbours) done while the halves L and H are joined into the row x.
inline void join97_last(realent_t* __restrict x, int32_t n, int s0, const realent_t* __restrict L,
                        const realent_t* __restrict H)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    const Lift97 op{-ALPHA};
    if (!s0) {  // pairs (low i, high i); high i lies between low i and i + 1
        const int32_t iend = std::min(nh, nl - 1);
        for (int32_t i = 0; i < iend; ++i) {
            x[2 * i] = L[i];
            x[2 * i + 1] = op(H[i], L[i], L[i + 1]);
        }
        for (int32_t i = iend; i < nh; ++i) {
            x[2 * i] = L[i];
            x[2 * i + 1] = op(H[i], L[i], L[i]);
        }
        if (n & 1)
            x[n - 1] = L[nl - 1];
    } else {  // pairs (high i, low i); high i lies between low i - 1 and i
        x[0] = op(H[0], L[0], L[0]);
        x[1] = L[0];
        for (int32_t i = 1; i < nl; ++i) {
            x[2 * i] = op(H[i], L[i - 1], L[i]);
            x[2 * i + 1] = L[i];
        }
        if (n & 1)
            x[n - 1] = op(H[nh - 1], L[nl - 1], L[nl - 1]);
    }
}

// The row passes hand each row, once transformed, to the hook (row:
// its index in the region plus first), while it is still in the cache.
struct RowHook {
    const qmfb_rowhook_t* hook;
    int32_t first;
    void operator()(int32_t r) const
    {
        if (hook)
            hook->done(hook->arg, first + r);
    }
};

HOT_CLONES void rows53_analyze(int32_t* data, int32_t numrows, int32_t n, ptrdiff_t rowstep, int s0,
                               RowHook hook)
{
    if (n < 2) {
        for (int32_t r = 0; r < numrows; ++r) {
            if (n == 1 && s0)
                data[r * rowstep] = single_fwd(data[r * rowstep]);
            hook(r);
        }
        return;
    }
    Buffer<int32_t> buf;
    int32_t* tmp = buf.get(static_cast<size_t>(n - numlow(n, s0)));
    for (int32_t r = 0; r < numrows; ++r) {
        row53_fwd(data + r * rowstep, n, s0, tmp);
        hook(r);
    }
}

WIDE_CLONES void rows97_analyze(realent_t* data, int32_t numrows, int32_t n, ptrdiff_t rowstep, int s0,
                               RowHook hook)
{
    if (n < 2) {
        for (int32_t r = 0; r < numrows; ++r)
            hook(r);
        return;
    }
    const int32_t nl = numlow(n, s0), nh = n - nl;
    Buffer<float> buf;
    float* tmp = buf.get(static_cast<size_t>(n));
    for (int32_t r = 0; r < numrows; ++r) {
        realent_t* x = data + r * rowstep;
        // Split into the buffer (low-pass half, then high-pass half), lift
        // there, and scale back into the row.
        split_pairs(tmp, tmp + nl, x + s0, x + 1 - s0, nl, nh);
        lift97_fwd(Halves{tmp, nl, tmp + nl, nh, s0});
        scale_into(x, tmp, nl, INVK);
        scale_into(x + nl, tmp + nl, nh, HALFK);
        hook(r);
    }
}

HOT_CLONES void rows53_synthesize(int32_t* data, int32_t numrows, int32_t n, ptrdiff_t rowstep, int s0)
{
    if (n < 2) {
        if (n == 1 && s0)
            for (int32_t r = 0; r < numrows; ++r)
                data[r * rowstep] = single_inv(data[r * rowstep]);
        return;
    }
    const int32_t nl = numlow(n, s0);
    Buffer<int32_t> buf;
    int32_t* lo = buf.get(static_cast<size_t>(n));
    for (int32_t r = 0; r < numrows; ++r)
        row53_inv(data + r * rowstep, data + r * rowstep + nl, data + r * rowstep, n, s0, lo,
                  lo + nl);
}

// One row of n >= 2 samples, with a buffer of n samples.
[[gnu::always_inline]] inline void row97_inv(realent_t* x, int32_t n, int s0, float* tmp)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    // Lifted in a copy (the first two steps, which scale their inputs,
    // write it), then joined back into the row in one forward sweep of
    // sample pairs (which vectorises) that also does the last step.
    // The steps are those of lift97_fwd in reverse order with negated
    // parameters.
    lift_line(tmp, x, nl, x + nl, nh, 1 - s0, ScaleLift97Scaled{K, -DELTA, TWOINVK});
    lift_line(tmp + nl, x + nl, nh, tmp, nl, s0, ScaleLift97{TWOINVK, -GAMMA});
    const Halves h{tmp, nl, tmp + nl, nh, s0};
    h.update(Lift97{-BETA});
    join97_last(x, n, s0, tmp, tmp + nl);
}

WIDE_CLONES void rows97_synthesize(realent_t* data, int32_t numrows, int32_t n, ptrdiff_t rowstep, int s0)
{
    if (n < 2)
        return;
    Buffer<float> buf;
    float* tmp = buf.get(static_cast<size_t>(n));
    for (int32_t r = 0; r < numrows; ++r)
        row97_inv(data + r * rowstep, n, s0, tmp);
}

// ---- columns ---------------------------------------------------------------

// The 5/3 on columns in one sweep down a strip: each row segment is read
// once and the lifting steps run as soon as their inputs are ready.  Going
// down, high-pass j = i + s0 is predicted (into tmp) from the still
// untouched low-pass rows i and i + 1, then low-pass i is updated and
// written to row i: rows above 2i + s0 hold nothing that is still needed.
// The high-pass rows follow the low-pass ones at the end.
inline void pred53_seg(int32_t* d, const int32_t* h, const int32_t* a, const int32_t* b, int32_t w)
{
    for (int32_t c = 0; c < w; ++c)
        d[c] = wsub(h[c], wadd(a[c], b[c]) >> 1);
}
inline void unpred53_seg(int32_t* d, const int32_t* h, const int32_t* a, const int32_t* b, int32_t w)
{
    for (int32_t c = 0; c < w; ++c)
        d[c] = wadd(h[c], wadd(a[c], b[c]) >> 1);
}
inline void upd53_seg(int32_t* d, const int32_t* l, const int32_t* a, const int32_t* b, int32_t w)
{
    for (int32_t c = 0; c < w; ++c)
        d[c] = wadd(l[c], wadd(wadd(a[c], b[c]), 2) >> 2);
}
inline void unupd53_seg(int32_t* d, const int32_t* l, const int32_t* a, const int32_t* b, int32_t w)
{
    for (int32_t c = 0; c < w; ++c)
        d[c] = wsub(l[c], wadd(wadd(a[c], b[c]), 2) >> 2);
}

// The neighbour pair (first, first + 1) in a channel of n coefficients,
// a missing one replaced by the other (symmetric extension).
inline void neighbours(int32_t first, int32_t n, int32_t& a, int32_t& b)
{
    a = first;
    b = first + 1;
    if (a < 0)
        a = b;
    if (b >= n)
        b = a;
}

// The w samples of rows r and r + 1 (those below n) of a strip, on their
// way: the 9/7 column sweep down reaches them a few steps on.  Each row segment
// of a strip lies on a page of its own, where the hardware's own prefetch
// barely starts.
template <class T>
inline void prefetch_row(const T* x, int32_t n, int32_t w, ptrdiff_t rs, int32_t r)
{
    if (r >= 0 && r < n)
        for (int32_t c = 0; c < w; c += 16)
            __builtin_prefetch(x + r * rs + c);
}
template <class T>
inline void prefetch_rows(const T* x, int32_t n, int32_t w, ptrdiff_t rs, int32_t r)
{
    prefetch_row(x, n, w, rs, r);
    prefetch_row(x, n, w, rs, r + 1);
}

// The rows that the sweep up a strip (synthesis) reaches a few steps after
// step m: low-pass row m, read, and the rows 2m + s0 and 2m + s0 + 1 that
// it writes.
template <class T>
inline void prefetch_rows_inv(const T* x, int32_t n, int32_t w, ptrdiff_t rs, int32_t m, int s0)
{
    if (m < 0)
        return;
    prefetch_row(x, n, w, rs, m);
    prefetch_rows(x, n, w, rs, 2 * m + s0);
}

void cols53_fwd(int32_t* x, int32_t n, int32_t w, ptrdiff_t rs, int s0, int32_t* tmp)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    auto X = [&](int32_t p) { return x + p * rs; };
    auto T = [&](int32_t j) { return tmp + static_cast<ptrdiff_t>(j) * w; };
    auto L = [&](int32_t i) { return X(2 * i + s0); };  // original low-pass row i
    int32_t hnext = 0;
    for (int32_t i = 0; i < nl; ++i) {
        for (; hnext <= i + s0 && hnext < nh; ++hnext) {
            int32_t a, b;
            neighbours(hnext - s0, nl, a, b);
            pred53_seg(T(hnext), X(2 * hnext + 1 - s0), L(a), L(b), w);
        }
        int32_t a, b;
        neighbours(i + s0 - 1, nh, a, b);
        upd53_seg(X(i), L(i), T(a), T(b), w);
    }
    for (int32_t j = 0; j < nh; ++j)
        std::memcpy(X(nl + j), T(j), static_cast<size_t>(w) * sizeof(int32_t));
}

// The inverse sweep goes up: even sample i is restored from low-pass row i
// into row 2i + s0, then every odd sample whose two even neighbours are
// restored; no write reaches a low-pass row that is still to be read.
[[gnu::always_inline]] inline void cols53_inv(int32_t* x, int32_t n, int32_t w, ptrdiff_t rs, int s0,
                                              int32_t* tmp)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    auto X = [&](int32_t p) { return x + p * rs; };
    auto T = [&](int32_t j) { return tmp + static_cast<ptrdiff_t>(j) * w; };
    auto E = [&](int32_t i) { return X(2 * i + s0); };  // restored even sample i
    for (int32_t j = 0; j < nh; ++j) {
        prefetch_row(x, n, w, rs, nl + j + PREFETCHSTEPS);
        std::memcpy(T(j), X(nl + j), static_cast<size_t>(w) * sizeof(int32_t));
    }
    int32_t hnext = nh - 1;
    for (int32_t i = nl - 1; i >= 0; --i) {
        prefetch_rows_inv(x, n, w, rs, i - PREFETCHSTEPS, s0);
        int32_t a, b;
        neighbours(i + s0 - 1, nh, a, b);
        unupd53_seg(E(i), X(i), T(a), T(b), w);
        for (; hnext >= 0; --hnext) {
            neighbours(hnext - s0, nl, a, b);
            if (std::min(a, b) < i)
                break;
            unpred53_seg(X(2 * hnext + 1 - s0), T(hnext), E(a), E(b), w);
        }
    }
}

// The 9/7 on columns in one sweep per strip, with the same reasoning as the
// 5/3: down the strip, step m predicts the high-pass rows it needs (alpha,
// into tmp) and updates low-pass m (beta, into row m), then finishes
// low-pass m - 1 (gamma on the high-pass rows it needs, delta, scaling).
inline void lift97_seg(realent_t* d, const realent_t* t, const realent_t* a, const realent_t* b,
                       int32_t w, float c)
{
    for (int32_t i = 0; i < w; ++i)
        d[i] = t[i] + c * (a[i] + b[i]);
}
// d = d k + c (a + b), each product rounded as in two steps.
inline void scalelift97_seg(realent_t* d, const realent_t* a, const realent_t* b, int32_t w,
                            float k, float c)
{
    for (int32_t i = 0; i < w; ++i) {
        const float t = d[i] * k;
        d[i] = t + c * (a[i] + b[i]);
    }
}
inline void scale_seg(realent_t* d, const realent_t* x, int32_t w, float c)
{
    for (int32_t i = 0; i < w; ++i)
        d[i] = x[i] * c;
}

[[gnu::always_inline]] inline void cols97_fwd(realent_t* x, int32_t n, int32_t w, ptrdiff_t rs, int s0,
                                              realent_t* tmp)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    auto X = [&](int32_t p) { return x + p * rs; };
    auto T = [&](int32_t j) { return tmp + static_cast<ptrdiff_t>(j) * w; };
    auto L0 = [&](int32_t i) { return X(2 * i + s0); };  // original low-pass row i
    int32_t h1 = 0, h2 = 0, a, b;
    for (int32_t m = 0; m <= nl; ++m) {
        prefetch_rows(x, n, w, rs, 2 * (m + PREFETCHSTEPS));
        if (m < nl) {
            for (; h1 <= m + s0 && h1 < nh; ++h1) {
                neighbours(h1 - s0, nl, a, b);
                lift97_seg(T(h1), X(2 * h1 + 1 - s0), L0(a), L0(b), w, ALPHA);
            }
            neighbours(m + s0 - 1, nh, a, b);
            lift97_seg(X(m), L0(m), T(a), T(b), w, BETA);
        }
        if (m >= 1) {
            const int32_t k = m - 1;
            for (; h2 <= k + s0 && h2 < nh; ++h2) {
                neighbours(h2 - s0, nl, a, b);
                lift97_seg(T(h2), T(h2), X(a), X(b), w, GAMMA);
            }
            neighbours(k + s0 - 1, nh, a, b);
            lift97_seg(X(k), X(k), T(a), T(b), w, DELTA);
            scale_seg(X(k), X(k), w, INVK);
        }
    }
    for (int32_t j = 0; j < nh; ++j)
        scale_seg(X(nl + j), T(j), w, HALFK);
}

// Up the strip: step m restores low-pass m to its state after beta (scale,
// delta) and the high-pass rows whose neighbours are ready (gamma), then
// low-pass m + 1 to its sample (beta, into row 2(m + 1) + s0) and the odd
// samples whose even neighbours are restored (alpha).
[[gnu::always_inline]] inline void cols97_inv(realent_t* x, int32_t n, int32_t w, ptrdiff_t rs, int s0,
                                              realent_t* tmp)
{
    const int32_t nl = numlow(n, s0), nh = n - nl;
    auto X = [&](int32_t p) { return x + p * rs; };
    auto T = [&](int32_t j) { return tmp + static_cast<ptrdiff_t>(j) * w; };
    auto E = [&](int32_t i) { return X(2 * i + s0); };  // restored even sample i
    for (int32_t j = 0; j < nh; ++j) {
        prefetch_row(x, n, w, rs, nl + j + PREFETCHSTEPS);
        scale_seg(T(j), X(nl + j), w, TWOINVK);
    }
    int32_t h1 = nh - 1, hx = nh - 1, a, b;
    for (int32_t m = nl - 1; m >= -1; --m) {
        prefetch_rows_inv(x, n, w, rs, m - PREFETCHSTEPS, s0);
        if (m >= 0) {
            neighbours(m + s0 - 1, nh, a, b);
            scalelift97_seg(X(m), T(a), T(b), w, K, -DELTA);
            for (; h1 >= 0; --h1) {
                neighbours(h1 - s0, nl, a, b);
                if (std::min(a, b) < m)
                    break;
                lift97_seg(T(h1), T(h1), X(a), X(b), w, -GAMMA);
            }
        }
        const int32_t k = m + 1;
        if (k < nl) {
            neighbours(k + s0 - 1, nh, a, b);
            lift97_seg(E(k), X(k), T(a), T(b), w, -BETA);
        }
        for (; hx >= 0; --hx) {
            neighbours(hx - s0, nl, a, b);
            if (std::min(a, b) < k)
                break;
            lift97_seg(X(2 * hx + 1 - s0), T(hx), E(a), E(b), w, -ALPHA);
        }
    }
}

HOT_CLONES void cols53_analyze(int32_t* data, int32_t n, int32_t numcols, ptrdiff_t rowstep, int s0)
{
    if (n < 2) {
        if (n == 1 && s0)
            for (int32_t c = 0; c < numcols; ++c)
                data[c] = single_fwd(data[c]);
        return;
    }
    const int32_t nh = n - numlow(n, s0);
    const int32_t sw = strip_width(STRIPWIDTH, numcols, nh);
    Buffer<int32_t> buf;
    int32_t* tmp = buf.get(static_cast<size_t>(nh) * static_cast<size_t>(sw));
    for (int32_t c0 = 0; c0 < numcols; c0 += sw)
        cols53_fwd(data + c0, n, std::min(sw, numcols - c0), rowstep, s0, tmp);
}

HOT_CLONES void cols53_synthesize(int32_t* data, int32_t n, int32_t numcols, ptrdiff_t rowstep, int s0)
{
    if (n < 2) {
        if (n == 1 && s0)
            for (int32_t c = 0; c < numcols; ++c)
                data[c] = single_inv(data[c]);
        return;
    }
    const int32_t nh = n - numlow(n, s0);
    const int32_t sw = strip_width(STRIPWIDTH, numcols, nh);
    Buffer<int32_t> buf;
    int32_t* tmp = buf.get(static_cast<size_t>(nh) * static_cast<size_t>(sw));
    for (int32_t c0 = 0; c0 < numcols; c0 += sw)
        cols53_inv(data + c0, n, std::min(sw, numcols - c0), rowstep, s0, tmp);
}

HOT_CLONES void cols97_analyze(realent_t* data, int32_t n, int32_t numcols, ptrdiff_t rowstep, int s0)
{
    if (n < 2)
        return;
    const int32_t nh = n - numlow(n, s0);
    const int32_t sw = strip_width(STRIPWIDTH, numcols, nh);
    Buffer<float> buf;
    float* tmp = buf.get(static_cast<size_t>(nh) * static_cast<size_t>(sw));
    for (int32_t c0 = 0; c0 < numcols; c0 += sw)
        cols97_fwd(data + c0, n, std::min(sw, numcols - c0), rowstep, s0, tmp);
}

WIDE_CLONES void cols97_synthesize(realent_t* data, int32_t n, int32_t numcols, ptrdiff_t rowstep, int s0)
{
    if (n < 2)
        return;
    const int32_t nh = n - numlow(n, s0);
    const int32_t sw = strip_width(STRIPWIDTH, numcols, nh);
    Buffer<float> buf;
    float* tmp = buf.get(static_cast<size_t>(nh) * static_cast<size_t>(sw));
    for (int32_t c0 = 0; c0 < numcols; c0 += sw)
        cols97_inv(data + c0, n, std::min(sw, numcols - c0), rowstep, s0, tmp);
}

// ---- streaming column analysis ---------------------------------------------

// The steps of cols97_fwd over whole rows that come one by one from outside
// (the matrix is only written): step m lifts the high-pass rows up to
// m + s0 (alpha, each as it is read), low-pass m (beta), then the
// high-pass rows up to m + s0 - 1 (gamma) and low-pass m - 1 (delta), with
// the same operations on each sample.  A row of the result is written, with
// its scale, as soon as no step changes it any more.  The low-pass rows
// are read into L and lifted there (a row after beta takes the place of
// its sample, which no later step reads), the high-pass ones into T; the
// live rows of either are three at most.
struct astream97_t {
    realent_t* out;
    ptrdiff_t outstep;
    int32_t w, s0, nl, nh;
    int32_t m;      // next step
    int32_t emit;   // first step whose rows are written
    int32_t lnext;  // next low-pass row to read
    int32_t hnext;  // next high-pass row to read
    int32_t h1;     // next high-pass row for alpha
    int32_t h2;     // next high-pass row for gamma
    std::unique_ptr<float[]> mem;
    float* L[4];  // low-pass rows i at i % 4
    float* T[4];  // high-pass rows j at j % 4
};

// The input row that step m still needs next (rows go in order), and
// whether it is low-pass; -1 when the step needs no more.
int32_t astream_need(const astream97_t& s, bool* low)
{
    if (s.m >= s.nl)
        return -1;
    const int32_t lmax = std::min(s.m + 1, s.nl - 1), hmax = std::min(s.m + s.s0, s.nh - 1);
    const int32_t lrow = s.lnext <= lmax ? 2 * s.lnext + s.s0 : INT32_MAX;
    const int32_t hrow = s.hnext <= hmax ? 2 * s.hnext + 1 - s.s0 : INT32_MAX;
    *low = lrow < hrow;
    const int32_t r = std::min(lrow, hrow);
    return r == INT32_MAX ? -1 : r;
}

// One step; done(arg, row) after each row of the result written from step
// emit on.  The step runs through the rows in pieces of ASTREAM_CHUNK
// columns, each while its rows are in the first-level cache.
constexpr int32_t ASTREAM_CHUNK = 512;

WIDE_CLONES void astream_step(astream97_t& s, void (*done)(void*, int32_t), void* arg)
{
    const int32_t m = s.m, s0 = s.s0, nl = s.nl, nh = s.nh;
    const bool emit = m >= s.emit;
    auto L = [&](int32_t i) { return s.L[i & 3]; };
    auto T = [&](int32_t j) { return s.T[j & 3]; };
    // The high-pass rows of alpha and gamma in this step.
    const int32_t h1 = s.h1, h1end = m < nl ? std::max(h1, std::min(m + s0 + 1, nh)) : h1;
    const int32_t h2 = s.h2, h2end = m >= 1 ? std::max(h2, std::min(m + s0, nh)) : h2;
    for (int32_t c = 0; c < s.w; c += ASTREAM_CHUNK) {
        const int32_t w = std::min(ASTREAM_CHUNK, s.w - c);
        int32_t a, b;
        if (m < nl) {
            for (int32_t h = h1; h < h1end; ++h) {
                neighbours(h - s0, nl, a, b);
                lift97_seg(T(h) + c, T(h) + c, L(a) + c, L(b) + c, w, ALPHA);
            }
            neighbours(m + s0 - 1, nh, a, b);
            lift97_seg(L(m) + c, L(m) + c, T(a) + c, T(b) + c, w, BETA);
        }
        if (m >= 1) {
            const int32_t k = m - 1;
            for (int32_t h = h2; h < h2end; ++h) {
                neighbours(h - s0, nl, a, b);
                lift97_seg(T(h) + c, T(h) + c, L(a) + c, L(b) + c, w, GAMMA);
                if (emit)
                    scale_seg(s.out + (nl + h) * s.outstep + c, T(h) + c, w, HALFK);
            }
            neighbours(k + s0 - 1, nh, a, b);
            lift97_seg(L(k) + c, L(k) + c, T(a) + c, T(b) + c, w, DELTA);
            if (emit)
                scale_seg(s.out + k * s.outstep + c, L(k) + c, w, INVK);
        }
    }
    s.h1 = h1end;
    s.h2 = h2end;
    if (emit && m >= 1) {
        for (int32_t h = h2; h < h2end; ++h)
            done(arg, nl + h);
        done(arg, m - 1);
    }
    ++s.m;
}

// ---- streaming synthesis ---------------------------------------------------

// The rows and columns of a region with the column steps taken top-down
// over whole rows.  An input row is read out of the matrix through its row
// synthesis when a step first needs it; the matrix is only read.
struct streambase_t {
    const int32_t* x;
    qmfb_rowsrc_t src;  // or the rows from src.get
    int32_t n, w;
    int32_t wl;  // low-pass samples of a row
    ptrdiff_t rs;
    int hs0, s0;  // parity of the first column and of the first row
    int32_t nl, nh;
    int32_t i = 0;      // next step
    int32_t tnext = 0;  // next high-pass row to read
};

// The 9/7: step i restores low-pass row i (delta), high-pass row
// i + s0 - 1 (gamma), even row i - 1 (beta) and odd row i + s0 - 2
// (alpha), each from the rows the steps before it left, with the
// operations of cols97_inv on each sample.
struct stream97_t : streambase_t {
    std::unique_ptr<float[]> mem;
    float* T[4];  // high-pass rows j (scaled, then after gamma) at j % 4
    float* D[2];  // low-pass rows after delta, i % 2
    float* E[2];  // even output rows, k % 2
    float* O[2];  // odd output rows of the step
    float* tmp;   // the row synthesis' buffer
};

// The low-pass and high-pass samples of input row row.
[[gnu::always_inline]] inline void stream_row(const streambase_t& s, int32_t row,
                                              const int32_t** lo, const int32_t** hi)
{
    if (s.src.get) {
        s.src.get(s.src.arg, row, lo, hi);
    } else {
        *lo = s.x + row * s.rs;
        *hi = *lo + s.wl;
    }
}

[[gnu::always_inline]] inline void stream_read(const stream97_t& s, float* d, int32_t row)
{
    const int32_t *lo, *hi;
    stream_row(s, row, &lo, &hi);
    std::memcpy(d, lo, static_cast<size_t>(s.wl) * sizeof(float));
    std::memcpy(d + s.wl, hi, static_cast<size_t>(s.w - s.wl) * sizeof(float));
    if (s.w >= 2)
        row97_inv(d, s.w, s.hs0, s.tmp);
}

WIDE_CLONES int stream97_step(stream97_t& s, const float* rows[3], int32_t* first)
{
    const int32_t i = s.i, nl = s.nl, nh = s.nh, w = s.w;
    const int s0 = s.s0;
    if (i > nl)
        return -1;
    ++s.i;
    int32_t a, b;
    if (i < nl) {
        for (; s.tnext <= std::min(i + s0, nh - 1); ++s.tnext) {
            float* t = s.T[s.tnext % 4];
            stream_read(s, t, nl + s.tnext);
            scale_seg(t, t, w, TWOINVK);
        }
        float* d = s.D[i % 2];
        stream_read(s, d, i);
        neighbours(i + s0 - 1, nh, a, b);
        scalelift97_seg(d, s.T[a % 4], s.T[b % 4], w, K, -DELTA);
    }
    const int32_t h = i + s0 - 1;
    if (h >= 0 && h < nh) {
        neighbours(h - s0, nl, a, b);
        lift97_seg(s.T[h % 4], s.T[h % 4], s.D[a % 2], s.D[b % 2], w, -GAMMA);
    }
    // Rows 2i + s0 - 3 (odd), 2i + s0 - 2 (even) and, after the last
    // step, 2nl + s0 - 1 (odd) when the region has them.
    int count = 0;
    const int32_t k = i - 1;
    if (k >= 0) {
        neighbours(k + s0 - 1, nh, a, b);
        lift97_seg(s.E[k % 2], s.D[k % 2], s.T[a % 4], s.T[b % 4], w, -BETA);
    }
    const int32_t hlast = i == nl ? nh - 1 : i + s0 - 2;
    for (int32_t hx = std::max(0, i + s0 - 2); hx <= hlast; ++hx) {
        neighbours(hx - s0, nl, a, b);
        float* o = s.O[hx % 2];
        lift97_seg(o, s.T[hx % 4], s.E[a % 2], s.E[b % 2], w, -ALPHA);
        if (hx > i + s0 - 2)
            rows[count++] = s.E[k % 2];
        rows[count++] = o;
    }
    if (k >= 0 && (count == 0 || (count == 1 && hlast == i + s0 - 2)))
        rows[count++] = s.E[k % 2];
    *first = i + s0 - 2 >= 0 ? 2 * i + s0 - 3 : 2 * i + s0 - 2;
    return count;
}

// The 5/3: step i restores even row i (low-pass row i less its update
// from high-pass rows i + s0 - 1 and i + s0), then odd row i + s0 - 1 in
// place of its high-pass row, whose even neighbours i - 1 and i are then
// both restored, as cols53_inv does.
struct stream53_t : streambase_t {
    std::unique_ptr<int32_t[]> mem;
    int32_t* T[4];  // high-pass rows j, then odd output rows, at j % 4
    int32_t* E[2];  // even output rows, i % 2
    int32_t* tmp;   // the row synthesis' buffer
};

[[gnu::always_inline]] inline void stream_read(const stream53_t& s, int32_t* d, int32_t row)
{
    const int32_t *lo, *hi;
    stream_row(s, row, &lo, &hi);
    if (s.w >= 2)
        row53_inv(lo, hi, d, s.w, s.hs0, s.tmp, s.tmp + s.wl);
    else
        d[0] = s.hs0 ? single_inv(hi[0]) : lo[0];
}

HOT_CLONES int stream53_step(stream53_t& s, const int32_t* rows[3], int32_t* first)
{
    const int32_t i = s.i, nl = s.nl, nh = s.nh, w = s.w;
    const int s0 = s.s0;
    if (i > nl)
        return -1;
    ++s.i;
    int32_t a, b;
    if (i < nl) {
        for (; s.tnext <= std::min(i + s0, nh - 1); ++s.tnext)
            stream_read(s, s.T[s.tnext % 4], nl + s.tnext);
        int32_t* e = s.E[i % 2];
        stream_read(s, e, i);
        neighbours(i + s0 - 1, nh, a, b);
        unupd53_seg(e, e, s.T[a % 4], s.T[b % 4], w);
    }
    // Rows 2i + s0 - 1 (odd) and 2i + s0 (even) when the region has them.
    int count = 0;
    const int32_t j = i + s0 - 1;
    if (j >= 0 && j < nh) {
        neighbours(j - s0, nl, a, b);
        int32_t* o = s.T[j % 4];
        unpred53_seg(o, o, s.E[a % 2], s.E[b % 2], w);
        rows[count++] = o;
    }
    if (i < nl)
        rows[count++] = s.E[i % 2];
    *first = j >= 0 ? 2 * i + s0 - 1 : 2 * i + s0;
    return count;
}

}  // namespace

struct qmfb_stream_t {
    int kind;
    stream97_t s97;
    stream53_t s53;
};

qmfb_stream_t* qmfb_stream_create(int kind, const int32_t* data, int32_t numrows,
                                  int32_t numcols, ptrdiff_t rowstep, int64_t xstart,
                                  int64_t ystart, int32_t firstrow, const qmfb_rowsrc_t* src)
{
    if ((kind != QMFB_53 && kind != QMFB_97) || numrows < 2 || numcols < 1)
        return nullptr;
    auto* s = new (std::nothrow) qmfb_stream_t;
    if (!s)
        return nullptr;
    s->kind = kind;
    streambase_t& b = kind == QMFB_97 ? static_cast<streambase_t&>(s->s97) : s->s53;
    b.x = data;
    b.n = numrows;
    b.w = numcols;
    b.rs = rowstep;
    b.hs0 = static_cast<int>(xstart & 1);
    b.wl = numlow(numcols, b.hs0);
    b.src = src ? *src : qmfb_rowsrc_t{nullptr, nullptr};
    b.s0 = static_cast<int>(ystart & 1);
    b.nl = numlow(numrows, b.s0);
    b.nh = numrows - b.nl;
    // A 9/7 step finishes the rows whose inputs are two steps back at most
    // and gives row 2i + s0 - 3 first: starting four steps before the first
    // one wanted leaves time to fill the rows kept.  A 5/3 step needs the
    // even row of the step before and gives row 2i + s0 - 1 first.
    firstrow = std::min(firstrow, numrows);
    b.i = std::max(0, firstrow / 2 - (kind == QMFB_97 ? 4 : 1));
    b.tnext = std::max(0, b.i + b.s0 - 1);
    const size_t w = static_cast<size_t>(numcols);
    bool ok;
    if (kind == QMFB_97) {
        stream97_t& t = s->s97;
        t.mem.reset(new (std::nothrow) float[11 * w]());
        ok = t.mem != nullptr;
        if (ok) {
            float* p = t.mem.get();
            for (float** r : {&t.T[0], &t.T[1], &t.T[2], &t.T[3], &t.D[0], &t.D[1], &t.E[0],
                              &t.E[1], &t.O[0], &t.O[1]})
                *r = p, p += w;
            t.tmp = p;
        }
    } else {
        stream53_t& t = s->s53;
        t.mem.reset(new (std::nothrow) int32_t[7 * w]());
        ok = t.mem != nullptr;
        if (ok) {
            int32_t* p = t.mem.get();
            for (int32_t** r : {&t.T[0], &t.T[1], &t.T[2], &t.T[3], &t.E[0], &t.E[1]})
                *r = p, p += w;
            t.tmp = p;
        }
    }
    if (!ok) {
        delete s;
        return nullptr;
    }
    return s;
}

void qmfb_stream_destroy(qmfb_stream_t* s)
{
    delete s;
}

int qmfb_stream_step(qmfb_stream_t* s, const int32_t* rows[3], int32_t* first)
{
    if (s->kind == QMFB_53)
        return stream53_step(s->s53, rows, first);
    const float* f[3];
    const int count = stream97_step(s->s97, f, first);
    for (int e = 0; e < count; ++e)
        rows[e] = reinterpret_cast<const int32_t*>(f[e]);
    return count;
}

struct qmfb97_colstream_t : astream97_t {};

// Steps before the first whose rows are wanted: the first rows that a
// stream lifts lack the rows above them (alpha's low-pass neighbour), and
// the errors reach the rows of its first three steps through beta, gamma
// and delta; one more step is kept as margin.
constexpr int32_t ASTREAM_WARMUP = 4;

int32_t qmfb97_colstream_steps(int32_t numrows, int64_t ystart)
{
    return numlow(numrows, static_cast<int>(ystart & 1)) + 1;
}

qmfb97_colstream_t* qmfb97_colstream_create(int32_t numrows, int32_t numcols, int64_t ystart,
                                            int32_t* out, ptrdiff_t outstep, int32_t firststep)
{
    if (numrows < 2 || numcols < 1)
        return nullptr;
    auto* s = new (std::nothrow) qmfb97_colstream_t;
    if (!s)
        return nullptr;
    s->out = reinterpret_cast<realent_t*>(out);
    s->outstep = outstep;
    s->w = numcols;
    s->s0 = static_cast<int>(ystart & 1);
    s->nl = numlow(numrows, s->s0);
    s->nh = numrows - s->nl;
    s->emit = std::max(0, firststep);
    s->m = std::max(0, s->emit - ASTREAM_WARMUP);
    s->lnext = s->m;
    s->hnext = s->h1 = s->h2 = std::max(0, s->m + s->s0 - 1);
    const size_t w = static_cast<size_t>(numcols);
    s->mem.reset(new (std::nothrow) float[8 * w]());
    if (!s->mem) {
        delete s;
        return nullptr;
    }
    for (int i = 0; i < 4; ++i) {
        s->L[i] = s->mem.get() + i * w;
        s->T[i] = s->mem.get() + (4 + i) * w;
    }
    return s;
}

void qmfb97_colstream_destroy(qmfb97_colstream_t* s)
{
    delete s;
}

int32_t qmfb97_colstream_next(qmfb97_colstream_t* s, float** dst)
{
    bool low = false;
    const int32_t r = astream_need(*s, &low);
    if (r >= 0)
        *dst = low ? s->L[s->lnext++ & 3] : s->T[s->hnext++ & 3];
    return r;
}

void qmfb97_colstream_step(qmfb97_colstream_t* s, void (*done)(void* arg, int32_t row), void* arg)
{
    FATAL_CHECK(s->m <= s->nl);
    bool low;
    FATAL_CHECK(astream_need(*s, &low) < 0);
    astream_step(*s, done, arg);
}

int32_t qmfb97_colstream_at(const qmfb97_colstream_t* s)
{
    return s->m;
}

namespace {

void check_kind(int kind, int flags)
{
    FATAL_CHECK(kind == QMFB_53 || kind == QMFB_97);
    FATAL_CHECK(kind == QMFB_53 || !(flags & QMFB_REV));
}

// Synthesis impulse responses, fixed14, by coordinate.
const int32_t SYN53_LO[] = {8192, 16384, 8192};                                    // -1 .. 1
const int32_t SYN53_HI[] = {-2048, -4096, 12288, -4096, -2048};                    // -1 .. 3
const int32_t SYN97_LO[] = {-1495, -942, 9687, 18269, 9687, -942, -1495};          // -3 .. 3
const int32_t SYN97_HI[] = {-876, -552, 2563, 8744, -19757, 8744, 2563, -552, -876}; // -3 .. 5

seq_t* make_filter(const int32_t* taps, int32_t start, int32_t count)
{
    seq_t* s = seq_create(start, start + count);
    if (!s)
        return nullptr;
    for (int32_t i = 0; i < count; ++i)
        seq_set(s, start + i, taps[i]);
    return s;
}

}  // namespace

qmfb1d_t* qmfb1d_make(int kind)
{
    if (kind != QMFB_53 && kind != QMFB_97)
        return nullptr;
    qmfb1d_t* q = new (std::nothrow) qmfb1d_t;
    if (q)
        q->kind_ = kind;
    return q;
}

qmfb1d_t* qmfb1d_copy(const qmfb1d_t* qmfb)
{
    return qmfb1d_make(qmfb->kind_);
}

void qmfb1d_destroy(qmfb1d_t* qmfb)
{
    delete qmfb;
}

int qmfb1d_getnumchans(const qmfb1d_t*)
{
    return 2;
}

int qmfb1d_getanalfilters(const qmfb1d_t*, int, seq_t**)
{
    return -1;
}

int qmfb1d_getsynfilters(const qmfb1d_t* qmfb, int len, seq_t** filters)
{
    if (len < 2)
        return -1;
    seq_t *lo, *hi;
    if (qmfb->kind_ == QMFB_53) {
        lo = make_filter(SYN53_LO, -1, 3);
        hi = make_filter(SYN53_HI, -1, 5);
    } else {
        lo = make_filter(SYN97_LO, -3, 7);
        hi = make_filter(SYN97_HI, -3, 9);
    }
    if (!lo || !hi) {
        matrix_destroy(lo);
        matrix_destroy(hi);
        return -1;
    }
    filters[0] = lo;
    filters[1] = hi;
    return 0;
}

int qmfb1d_getbands(const qmfb1d_t*, int64_t start, int64_t end, qmfb1dband_t bands[QMFB1D_MAXCHANS])
{
    const int64_t lstart = mathx_ceildiv(start, 2), lend = mathx_ceildiv(end, 2);
    const int64_t hstart = mathx_floordiv(start, 2), hend = mathx_floordiv(end, 2);
    bands[0].locstart = 0;
    bands[0].locend = static_cast<int32_t>(lend - lstart);
    bands[0].start = static_cast<int32_t>(lstart);
    bands[0].end = static_cast<int32_t>(lend);
    bands[1].locstart = bands[0].locend;
    bands[1].locend = static_cast<int32_t>(lend - lstart + hend - hstart);
    bands[1].start = static_cast<int32_t>(hstart);
    bands[1].end = static_cast<int32_t>(hend);
    FATAL_CHECK(bands[1].locend == end - start);
    return 2;
}

namespace {

void analyze_serial(int kind, bool vert, int32_t* data, int32_t numrows, int32_t numcols,
                    ptrdiff_t rowstep, int s0, RowHook hook)
{
    realent_t* f = reinterpret_cast<realent_t*>(data);
    if (kind == QMFB_53 && vert)
        cols53_analyze(data, numrows, numcols, rowstep, s0);
    else if (kind == QMFB_53)
        rows53_analyze(data, numrows, numcols, rowstep, s0, hook);
    else if (vert)
        cols97_analyze(f, numrows, numcols, rowstep, s0);
    else
        rows97_analyze(f, numrows, numcols, rowstep, s0, hook);
}

void synthesize_serial(int kind, bool vert, int32_t* data, int32_t numrows, int32_t numcols,
                       ptrdiff_t rowstep, int s0, RowHook)
{
    realent_t* f = reinterpret_cast<realent_t*>(data);
    if (kind == QMFB_53 && vert)
        cols53_synthesize(data, numrows, numcols, rowstep, s0);
    else if (kind == QMFB_53)
        rows53_synthesize(data, numrows, numcols, rowstep, s0);
    else if (vert)
        cols97_synthesize(f, numrows, numcols, rowstep, s0);
    else
        rows97_synthesize(f, numrows, numcols, rowstep, s0);
}

typedef void (*serial_t)(int kind, bool vert, int32_t* data, int32_t numrows, int32_t numcols,
                         ptrdiff_t rowstep, int s0, RowHook hook);

// A region split for the thread pool: bands of whole rows (horizontal) or
// strips of whole columns (vertical), each line in one piece, so that the
// result does not depend on the split.
struct regionjob_t {
    serial_t fn;  // analyze_serial or synthesize_serial
    int kind;
    bool vert;
    int32_t* data;
    int32_t numrows, numcols;
    ptrdiff_t rowstep;
    int s0;
    int32_t piece;  // rows or columns per piece
    const qmfb_rowhook_t* hook;
};

void region_piece(void* arg, int64_t i, int)
{
    const regionjob_t& j = *static_cast<const regionjob_t*>(arg);
    const int32_t first = static_cast<int32_t>(i) * j.piece;
    if (j.vert)
        j.fn(j.kind, true, j.data + first, j.numrows, std::min(j.piece, j.numcols - first),
             j.rowstep, j.s0, RowHook{nullptr, 0});
    else
        j.fn(j.kind, false, j.data + first * j.rowstep, std::min(j.piece, j.numrows - first),
             j.numcols, j.rowstep, j.s0, RowHook{j.hook, first});
}

// Regions below this many samples are not worth waking the pool for.
constexpr int64_t PARALLEL_SAMPLES = int64_t{1} << 15;

// fn over the region, split over the thread pool when it is large.
void run_region(serial_t fn, int kind, int flags, int32_t* data, int32_t numrows,
                int32_t numcols, ptrdiff_t rowstep, int64_t start,
                const qmfb_rowhook_t* hook = nullptr)
{
    check_kind(kind, flags);
    if (numrows <= 0 || numcols <= 0)
        return;
    const int s0 = static_cast<int>(start & 1);
    const bool vert = (flags & QMFB_VERT) != 0;
    const int nthreads = threadpool_numthreads();
    if (nthreads <= 1 || int64_t{numrows} * numcols < PARALLEL_SAMPLES) {
        fn(kind, vert, data, numrows, numcols, rowstep, s0, RowHook{vert ? nullptr : hook, 0});
        return;
    }
    // About four pieces per thread; strips at least 16 columns wide.
    const int32_t lines = vert ? numcols : numrows;
    int32_t piece = (lines + 4 * nthreads - 1) / (4 * nthreads);
    if (vert)
        piece = std::max<int32_t>(16, (piece + 15) & ~15);
    piece = std::max<int32_t>(piece, 1);
    regionjob_t job{fn, kind, vert, data, numrows, numcols, rowstep, s0, piece, hook};
    threadpool_for((lines + piece - 1) / piece, region_piece, nullptr, &job);
}

}  // namespace

void qmfb1d_analyze_region(int kind, int flags, int32_t* data, int32_t numrows, int32_t numcols,
                           ptrdiff_t rowstep, int64_t start, const qmfb_rowhook_t* hook)
{
    run_region(analyze_serial, kind, flags, data, numrows, numcols, rowstep, start, hook);
}

void qmfb1d_synthesize_region(int kind, int flags, int32_t* data, int32_t numrows, int32_t numcols,
                              ptrdiff_t rowstep, int64_t start)
{
    run_region(synthesize_serial, kind, flags, data, numrows, numcols, rowstep, start);
}

int qmfb1d_analyze(const qmfb1d_t* qmfb, int flags, matrix_t* x)
{
    if (matrix_numrows(x) <= 0 || matrix_numcols(x) <= 0)
        return 0;
    const int64_t start = (flags & QMFB_VERT) ? x->ystart_ : x->xstart_;
    qmfb1d_analyze_region(qmfb->kind_, flags, matrix_row(x, 0), matrix_numrows(x),
                          matrix_numcols(x), matrix_rowstep(x), start);
    return 0;
}

int qmfb1d_synthesize(const qmfb1d_t* qmfb, int flags, matrix_t* x)
{
    if (matrix_numrows(x) <= 0 || matrix_numcols(x) <= 0)
        return 0;
    const int64_t start = (flags & QMFB_VERT) ? x->ystart_ : x->xstart_;
    qmfb1d_synthesize_region(qmfb->kind_, flags, matrix_row(x, 0), matrix_numrows(x),
                             matrix_numcols(x), matrix_rowstep(x), start);
    return 0;
}
