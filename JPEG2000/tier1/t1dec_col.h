// Tier-1 decoder state: one 32-bit word per stripe column, that is per
// column of a 4-row stripe of the code block.  Rows are numbered -1..4:
// rows 0..3 are the stripe's own samples, row -1 the last row of the stripe
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
#ifndef JPEG2000_T1DEC_COL_H
#define JPEG2000_T1DEC_COL_H

#include <cstdint>

// Significance of row r (-1..4) of the west, own and east columns.
constexpr uint32_t t1c_sigw(int row) { return 1u << (3 * (row + 1)); }
constexpr uint32_t t1c_sig(int row) { return 2u << (3 * (row + 1)); }
constexpr uint32_t t1c_sige(int row) { return 4u << (3 * (row + 1)); }
constexpr uint32_t t1c_sgn(int row) { return 1u << (19 + row); }
constexpr uint32_t t1c_visit(int row) { return 1u << (24 + row); }
constexpr uint32_t t1c_refine(int row) { return 1u << (28 + row); }
constexpr uint32_t T1C_SIGALL = 0x3ffff;       // anything significant in or around the column
constexpr uint32_t T1C_VISITALL = 0xfu << 24;

// Neighbourhood of row r (0..3): the significance of rows r-1..r+1 of the
// three columns, 9 bits, row above first, west to east.  Bit 4 is the
// sample itself; 0x1ef are its eight neighbours.
inline uint32_t t1c_zcidx(uint32_t w, int row) { return (w >> (3 * row)) & 0x1ff; }
constexpr uint32_t T1C_ZCSELF = 0x10;
constexpr uint32_t T1C_ZCNEIGHBOURS = 0x1ef;

// The sign neighbourhood of row r in the bit order of the sample flag word
// (jpcod's bits 4..11, the index of jpc_scctxnos and jpc_spb): significance
// of north, east, south, west in bits 0..3, their signs in bits 4..7.  wl
// and wr are the words of the columns west and east.
inline uint32_t t1c_scidx(uint32_t wl, uint32_t wc, uint32_t wr, int row)
{
    const uint32_t z = t1c_zcidx(wc, row);
    return ((z >> 1) & 1) | ((z >> 4) & 2) | ((z >> 5) & 4) | (z & 8) |
           (((wc >> (18 + row)) & 5) << 4) | (((wr >> (19 + row)) & 1) << 5) |
           (((wl >> (19 + row)) & 1) << 7);
}

#endif
