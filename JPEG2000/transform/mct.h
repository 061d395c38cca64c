// Multiple component transforms of T.800 Annex G, in place over three
// matrices holding components 0, 1 and 2 (red, green, blue).
//
// RCT (reversible, integers):
//   forward  c0' = floor((c0 + 2 c1 + c2) / 4), c1' = c2 - c1, c2' = c0 - c1
//   inverse  g = c0' - floor((c1' + c2') / 4); c0 = c2' + g, c1 = g, c2 = c1' + g
// ICT (irreversible): samples are single-precision floats held in the
// matrices' 32-bit cells (realent_t), coefficients those of T.800 G.3.
//
// The three matrices must have the same shape; a mismatch (possible for
// components of a code stream from elsewhere) leaves them unchanged and
// gives -1.
#ifndef JPEG2000_MCT_H
#define JPEG2000_MCT_H

#include <cstdint>

#include "base/seq.h"

int mct_fwdrct(matrix_t* c0, matrix_t* c1, matrix_t* c2);
int mct_invrct(matrix_t* c0, matrix_t* c1, matrix_t* c2);
int mct_fwdict(matrix_t* c0, matrix_t* c1, matrix_t* c2);
int mct_invict(matrix_t* c0, matrix_t* c1, matrix_t* c2);

// The inverse transforms on one row of n samples of each component, for a
// caller that walks the rows itself (the decoder, in bands of rows on
// several threads).
void mct_invrct_row(int32_t* c0, int32_t* c1, int32_t* c2, int32_t n);
void mct_invict_row(realent_t* c0, realent_t* c1, realent_t* c2, int32_t n);

// Sums of the RCT with wrap-around at 32 bits: samples decoded from a
// damaged code stream may be arbitrary, and must not lead to undefined
// behaviour.
inline int32_t mct_wadd(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t mct_wsub(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// The forward transforms of one sample, as the row functions compute them:
// for a caller that fuses them with the stage before (the encoder's load
// of the samples), with the same operations.
inline void mct_fwdict_sample(float r, float g, float b, float& c0, float& c1, float& c2)
{
    c0 = 0.299f * r + 0.587f * g + 0.114f * b;
    c1 = -0.16875f * r - 0.33126f * g + 0.5f * b;
    c2 = 0.5f * r - 0.41869f * g - 0.08131f * b;
}
inline void mct_fwdrct_sample(int32_t r, int32_t g, int32_t b, int32_t& c0, int32_t& c1,
                              int32_t& c2)
{
    c0 = mct_wadd(mct_wadd(r, mct_wadd(g, g)), b) >> 2;
    c1 = mct_wsub(b, g);
    c2 = mct_wsub(r, g);
}

// The inverse ICT of one sample, as the row function computes it: for a
// caller that fuses it with the next stage (the same roundings).
inline void mct_invict_sample(float y, float u, float v, float& c0, float& c1, float& c2)
{
    c0 = y + 1.402f * v;
    c1 = y - 0.34413f * u - 0.71414f * v;
    c2 = y + 1.772f * u;
}

// The inverse RCT of one sample, as the row function computes it.
inline void mct_invrct_sample(int32_t y, int32_t u, int32_t v, int32_t& c0, int32_t& c1,
                              int32_t& c2)
{
    const int32_t g = mct_wsub(y, mct_wadd(u, v) >> 2);
    c0 = mct_wadd(v, g);
    c1 = g;
    c2 = mct_wadd(u, g);
}

#endif
