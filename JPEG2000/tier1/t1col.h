// Tier-1 coder state, of the encoder and the decoder alike: one 32-bit word
// per stripe column, that is per column of a 4-row stripe of the code
// block.  Rows are numbered -1..4: rows 0..3 are the stripe's own samples, row -1 the last row of the stripe
// above and row 4 the first row of the stripe below.  The word holds the
// significance of its rows and of the same rows of the columns left and
// right of it, so that the contexts of a sample come from one word:
//
//   bits  0..17  significance, three bits per row r = -1..4 at bit 3 (r + 1):
//                the west column, the column itself, the east column
//   bits 18..23  sign (1 negative) of the column's rows -1..4 (row r at 19 + r)
//   bits 24..27  rows 0..3 visited in the current bit plane
//   bits 28..31  rows 0..3 refined at least once
//
// A sample that becomes significant sets its bits in its word and in the
// words left and right of it, and, in the first row of its stripe, row 4 of
// the three words above (unless the vertically causal switch keeps the
// stripe above from seeing it), in the last row row -1 of the three words
// below.  The words of a code block sit in a matrix with one word of border
// on every side.
#ifndef JPEG2000_T1COL_H
#define JPEG2000_T1COL_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "tier1/jpcod.h"

// Lambdas of the pass loops are expanded in place: no call per sample.
#define T1_INLINE __attribute__((always_inline))

// Significance of row r (-1..4) of the west, own and east columns.
constexpr uint32_t t1c_sigw(int row) { return 1u << (3 * (row + 1)); }
constexpr uint32_t t1c_sig(int row) { return 2u << (3 * (row + 1)); }
constexpr uint32_t t1c_sige(int row) { return 4u << (3 * (row + 1)); }
constexpr uint32_t t1c_sgn(int row) { return 1u << (19 + row); }
constexpr uint32_t t1c_visit(int row) { return 1u << (24 + row); }
constexpr uint32_t t1c_refine(int row) { return 1u << (28 + row); }
constexpr uint32_t T1C_SIGALL = 0x3ffff;       // anything significant in or around the column
constexpr uint32_t T1C_SIGROWS = t1c_sig(0) | t1c_sig(1) | t1c_sig(2) | t1c_sig(3);  // rows 0..3
constexpr uint32_t T1C_VISITALL = 0xfu << 24;

// Neighbourhood of row r (0..3): the significance of rows r-1..r+1 of the
// three columns, 9 bits, row above first, west to east.  Bit 4 is the
// sample itself; 0x1ef are its eight neighbours.
inline uint32_t t1c_zcidx(uint32_t w, int row) { return (w >> (3 * row)) & 0x1ff; }
constexpr uint32_t T1C_ZCSELF = 0x10;
constexpr uint32_t T1C_ZCNEIGHBOURS = 0x1ef;

// The sign neighbourhood of row r (0..3) of a column word, gathered in few
// steps: bits 1, 3, 5, 7 the significance of north, west, east, south as
// they lie in t1c_zcidx(); bits 0, 2 the signs of north and south; bits 4, 6
// those of west and east.  wl and wr are the words of the columns west and
// east.
inline uint32_t t1c_signidx(uint32_t wl, uint32_t wc, uint32_t wr, int row)
{
    return ((wc >> (3 * row)) & 0xaa) | ((wc >> (18 + row)) & 5) |
           ((wl >> (19 + row)) & 1) << 4 | ((wr >> (19 + row)) & 1) << 6;
}

// Sign context and sign prediction by t1c_signidx(): the context in bits
// 1..7, the prediction in bit 0 (from jpcod's tables by the sample flag
// word).
struct t1c_signtab_t {
    uint8_t ctxspb[256];
    t1c_signtab_t()
    {
        jpc_inittables();
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t sc = ((i >> 1) & 1) | ((i >> 5) & 1) << 1 | ((i >> 7) & 1) << 2 |
                                ((i >> 3) & 1) << 3 | (i & 1) << 4 | ((i >> 6) & 1) << 5 |
                                ((i >> 2) & 1) << 6 | ((i >> 4) & 1) << 7;
            ctxspb[i] = static_cast<uint8_t>(jpc_scctxnos[sc] << 1 | (jpc_spb[sc] & 1));
        }
    }
};
inline const t1c_signtab_t t1c_signtab;

// A code block while it is coded or decoded.  cols points at the word of
// stripe 0, column 0 inside the one-word border; data at the samples in
// stripe order (walk()).
struct colblk_t {
    uint32_t* cols;
    ptrdiff_t cs;          // words per row of stripes (numcols + 2)
    int32_t* data;
    int32_t numrows;
    int32_t numcols;
    const uint8_t* zctab;   // zero-coding contexts by t1c_zcidx, of the band's orientation
    const uint8_t* sigtab;  // the same, 0 where the significance pass codes nothing
};

// Zero-coding contexts by the 9-bit neighbourhood of t1c_zcidx for the four
// orientations, from jpcod's tables by the sample flag word; for the
// significance pass 0 (the run-length context, never a zero-coding one)
// where the sample is significant or has no significant neighbour.
struct zctabs_t {
    uint8_t zc[4][512];
    uint8_t sig[4][512];
    zctabs_t()
    {
        jpc_inittables();
        for (int o = 0; o < 4; ++o)
            for (uint32_t z = 0; z < 512; ++z) {
                const uint32_t f = ((z & 1) ? JPC_NWSIG : 0) | ((z & 2) ? JPC_NSIG : 0) |
                                   ((z & 4) ? JPC_NESIG : 0) | ((z & 8) ? JPC_WSIG : 0) |
                                   ((z & 32) ? JPC_ESIG : 0) | ((z & 64) ? JPC_SWSIG : 0) |
                                   ((z & 128) ? JPC_SSIG : 0) | ((z & 256) ? JPC_SESIG : 0);
                zc[o][z] = jpc_zcctxnos[o][f];
                sig[o][z] = (z & T1C_ZCSELF) || !f ? 0 : zc[o][z];
            }
    }
};
static_assert(JPC_AGGCTXNO == 0 && JPC_ZCCTXNO > 0);

// The state of a code block of numrows x numcols samples at data (in
// stripe order) in a band of orientation orient, its words cleared in buf.
inline colblk_t colblk_make(std::vector<uint32_t>& buf, int32_t* data, int32_t numrows,
                            int32_t numcols, int orient)
{
    static const zctabs_t zctabs;
    colblk_t cb;
    cb.cs = numcols + 2;
    buf.assign(static_cast<size_t>(cb.cs) * ((numrows + 3) / 4 + 2), 0);
    cb.cols = buf.data() + cb.cs + 1;
    cb.data = data;
    cb.numrows = numrows;
    cb.numcols = numcols;
    cb.zctab = zctabs.zc[orient & 3];
    cb.sigtab = zctabs.sig[orient & 3];
    return cb;
}

// Refinement context of row r: refined before, the third; else the first
// or the second by the significance of the neighbours.
inline int t1c_magctxno(uint32_t w, int row)
{
    const uint32_t refined = (w >> (28 + row)) & 1;
    const uint32_t around = (t1c_zcidx(w, row) & T1C_ZCNEIGHBOURS) != 0;
    return JPC_MAGCTXNO + static_cast<int>(refined * 2 + (around & ~refined));
}

// Row row of the column at cp became significant (neg: negative): its
// word, the words west and east of it, and the three words of the stripe
// above or below when the row borders on it.
template <bool VCausal>
T1_INLINE inline void becomesig(const colblk_t& cb, uint32_t* cp, uint32_t& wc, int row,
                                uint32_t neg)
{
    wc |= t1c_sig(row) | neg * t1c_sgn(row);
    cp[-1] |= t1c_sige(row);
    cp[1] |= t1c_sigw(row);
    if (row == 0 && !VCausal) {
        uint32_t* up = cp - cb.cs;
        up[-1] |= t1c_sige(4);
        up[0] |= t1c_sig(4) | neg * t1c_sgn(4);
        up[1] |= t1c_sigw(4);
    }
    if (row == 3) {
        uint32_t* dn = cp + cb.cs;
        dn[-1] |= t1c_sige(-1);
        dn[0] |= t1c_sig(-1) | neg * t1c_sgn(-1);
        dn[1] |= t1c_sigw(-1);
    }
}

// Calls f(row) for rows 0 .. h - 1 of a stripe column, unrolled for a full
// stripe.
template <typename F>
T1_INLINE inline void forrows(int32_t h, F&& f)
{
    if (h == 4) {
        f(0);
        f(1);
        f(2);
        f(3);
    } else {
        for (int row = 0; row < h; ++row)
            f(row);
    }
}

// Walks the stripe columns: col(cp, dp, wc, h) for each column of each
// stripe, wc its word (col stores it back when it changed), h the stripe's
// height, dp the column's samples.  The samples of a code block are coded
// and decoded in stripe order (cb.data): the four samples of a stripe
// column side by side, the columns of a stripe one after another.  A
// column's samples share a cache line, and rows of a band, a whole
// component width apart, no longer evict each other's lines over the
// passes.
template <typename Col>
T1_INLINE inline void walk(const colblk_t& cb, Col&& col)
{
    const int32_t numrows = cb.numrows, numcols = cb.numcols;
    for (int32_t s = 0; s < numrows; s += 4) {
        uint32_t* cp = cb.cols + (s >> 2) * cb.cs;
        int32_t* dp = cb.data + ptrdiff_t{s} * numcols;
        const int32_t h = std::min(4, numrows - s);
        // Full stripes with their height known to the compiler.
        if (h == 4) {
            for (int32_t c = 0; c < numcols; ++c, ++cp, dp += 4)
                col(cp, dp, *cp, std::integral_constant<int32_t, 4>{});
        } else {
            for (int32_t c = 0; c < numcols; ++c, ++cp, dp += 4)
                col(cp, dp, *cp, h);
        }
    }
}

#endif
