// Tier-1 decoder state: one 32-bit word per stripe column, that is per
// column of a 4-row stripe of the code block.  Rows are numbered -1..4:
// rows 0..3 are the stripe's own samples, row -1 the last row of the stripe
// above and row 4 the first row of the stripe below, kept so that the
// contexts of a sample come from its column's word and the words of the
// columns left and right of it alone.
//
//   bits  0..5   significance of rows -1..4 (row r at bit r + 1)
//   bits  6..11  sign (1 negative) of rows -1..4 (row r at bit r + 7)
//   bits 12..15  rows 0..3 visited in the current bit plane
//   bits 16..19  rows 0..3 refined at least once
//
// A sample that becomes significant sets its row in its own word, and row 4
// of the word above (unless the vertically causal switch keeps the stripe
// above from seeing it) or row -1 of the word below when it lies in the
// first or last row of its stripe.  The words of a code block sit in a
// matrix with one word of border on every side.
#ifndef JPEG2000_T1DEC_COL_H
#define JPEG2000_T1DEC_COL_H

#include <cstdint>

constexpr uint32_t T1C_SIG0 = 1u << 1;        // significance of row 0; row r: << r
constexpr uint32_t T1C_SGN0 = 1u << 7;        // sign of row 0
constexpr uint32_t T1C_VISIT0 = 1u << 12;     // row 0 visited
constexpr uint32_t T1C_REFINE0 = 1u << 16;    // row 0 refined
constexpr uint32_t T1C_SIGNORTH = 1u << 0;    // row -1 significant
constexpr uint32_t T1C_SGNNORTH = 1u << 6;    // row -1 negative
constexpr uint32_t T1C_SIGSOUTH = 1u << 5;    // row 4 significant
constexpr uint32_t T1C_SGNSOUTH = 1u << 11;   // row 4 negative
constexpr uint32_t T1C_SIGALL = 0x3f;         // any of rows -1..4 significant
constexpr uint32_t T1C_VISITALL = 0xfu << 12;

// Neighbourhood of row r (0..3) of column word c between words l and r:
// the significance of rows r-1..r+1 of the three columns, 9 bits.  Bit 4 is
// the sample itself; 0x1ef are its eight neighbours.
inline uint32_t t1c_zcidx(uint32_t wl, uint32_t wc, uint32_t wr, int row)
{
    return ((wl >> row) & 7) | (((wc >> row) & 7) << 3) | (((wr >> row) & 7) << 6);
}
constexpr uint32_t T1C_ZCNEIGHBOURS = 0x1ef;

// The sign neighbourhood of row r in the bit order of the sample flag word
// (jpcod's bits 4..11, the index of jpc_scctxnos and jpc_spb): significance
// of north, east, south, west in bits 0..3, their signs in bits 4..7.
inline uint32_t t1c_scidx(uint32_t wl, uint32_t wc, uint32_t wr, int row)
{
    return ((wc >> row) & 5) | (((wc >> (row + 6)) & 5) << 4) |
           (((wr >> (row + 1)) & 1) << 1) | (((wr >> (row + 7)) & 1) << 5) |
           (((wl >> (row + 1)) & 1) << 3) | (((wl >> (row + 7)) & 1) << 7);
}

#endif
