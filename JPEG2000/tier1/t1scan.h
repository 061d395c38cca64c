// What the tier-1 encoder uses beyond the tables of jpcod: the code block
// record of a coding run, the significance update of the neighbours, and
// the stripe scan order of T.800 D.1.  (The decoder keeps one word per
// stripe column instead, t1dec_col.h.)
#ifndef JPEG2000_T1SCAN_H
#define JPEG2000_T1SCAN_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "tier1/jpcod.h"

// Lambdas of the pass loops are expanded in place: no call per sample.
#define T1_INLINE __attribute__((always_inline))

// A code block while it is coded or decoded: flag words and samples reached
// through row strides.  flags points at the word of sample (0, 0) inside the
// one-word border.
struct cblkctx_t {
    uint32_t* flags;
    ptrdiff_t fstride;
    int32_t* data;
    ptrdiff_t dstride;
    int32_t numrows;
    int32_t numcols;
    const uint8_t* zctab;  // zero-coding contexts of the band's orientation
    bool vcausal;
};

// Tells the neighbours of a sample that it became significant.  With the
// vertically causal switch a sample in the first row of a stripe leaves the
// three neighbours above it (the previous stripe) untold.
inline void setsig(uint32_t* fp, ptrdiff_t fs, uint32_t neg, bool tellnorth)
{
    if (tellnorth) {
        fp[-fs - 1] |= JPC_SESIG;
        fp[-fs] |= JPC_SSIG | (neg * JPC_SSGN);
        fp[-fs + 1] |= JPC_SWSIG;
    }
    fp[-1] |= JPC_ESIG | (neg * JPC_ESGN);
    fp[1] |= JPC_WSIG | (neg * JPC_WSGN);
    fp[fs - 1] |= JPC_NESIG;
    fp[fs] |= JPC_NSIG | (neg * JPC_NSGN);
    fp[fs + 1] |= JPC_NWSIG;
    fp[0] |= JPC_SIG;
}

// Calls visit(flagword, sample, firstrow) for every sample in scan order:
// stripes of 4 rows from the top, columns left to right, each column top to
// bottom.  Full stripes are unrolled, and their columns where cand(f) is
// zero for all four flag words (no candidate for the pass) are skipped whole.
template <typename Cand, typename Visit>
inline void scanif(const cblkctx_t& cb, Cand&& cand, Visit&& visit)
{
    // The record's fields in locals: stores through the flag and sample
    // pointers could otherwise alias them and force a reload per sample.
    const ptrdiff_t fs = cb.fstride;
    const ptrdiff_t ds = cb.dstride;
    const int32_t numrows = cb.numrows, numcols = cb.numcols;
    uint32_t* const flags = cb.flags;
    int32_t* const data = cb.data;
    for (int32_t s = 0; s < numrows; s += 4) {
        uint32_t* fp = flags + s * fs;
        int32_t* dp = data + s * ds;
        const int32_t h = std::min(4, numrows - s);
        if (h == 4) {
            for (int32_t c = 0; c < numcols; ++c, ++fp, ++dp) {
                if (!(cand(fp[0]) | cand(fp[fs]) | cand(fp[2 * fs]) | cand(fp[3 * fs])))
                    continue;
                visit(fp, dp, true);
                visit(fp + fs, dp + ds, false);
                visit(fp + 2 * fs, dp + 2 * ds, false);
                visit(fp + 3 * fs, dp + 3 * ds, false);
            }
        } else {
            for (int32_t c = 0; c < numcols; ++c, ++fp, ++dp)
                for (int32_t k = 0; k < h; ++k)
                    visit(fp + k * fs, dp + k * ds, k == 0);
        }
    }
}

// The scan that skips columns whose four words have none of the bits of
// colmask.
template <typename Visit>
inline void scan(const cblkctx_t& cb, uint32_t colmask, Visit&& visit)
{
    scanif(cb, [colmask](uint32_t f) { return f & colmask; }, visit);
}

// With these tests the scan makes the column test exact: a
// full-stripe column is skipped unless the pass codes one of its four
// words.  Late in a lossless block most columns touch significant samples
// and are significant themselves; those cost four loads and no branch per
// sample.

// Candidates of the significance pass: a significant neighbour, not
// significant itself (nothing is visited yet when its column comes).
inline uint32_t sigcand(uint32_t f) { return (f & JPC_OTHSIGMSK) & (((f & JPC_SIG) >> 12) - 1); }
// Candidates of the refinement pass: significant and not visited.
inline uint32_t refcand(uint32_t f) { return f & JPC_SIG & ~(f >> 2); }
static_assert(JPC_SIG == 1u << 12 && JPC_VISIT == JPC_SIG << 2);

#endif
