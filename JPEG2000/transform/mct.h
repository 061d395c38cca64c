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

#include "base/seq.h"

int mct_fwdrct(matrix_t* c0, matrix_t* c1, matrix_t* c2);
int mct_invrct(matrix_t* c0, matrix_t* c1, matrix_t* c2);
int mct_fwdict(matrix_t* c0, matrix_t* c1, matrix_t* c2);
int mct_invict(matrix_t* c0, matrix_t* c1, matrix_t* c2);
// The ICT of integer samples, shift[i] added (wrapping) to those of
// component i and the sums made floats, exactly as those steps one after
// another and mct_fwdict.
int mct_fwdictint(matrix_t* c0, matrix_t* c1, matrix_t* c2, const int32_t shift[3]);

// The inverse transforms on one row of n samples of each component, for a
// caller that walks the rows itself (the decoder, in bands of rows on
// several threads).
void mct_invrct_row(int32_t* c0, int32_t* c1, int32_t* c2, int32_t n);
void mct_invict_row(realent_t* c0, realent_t* c1, realent_t* c2, int32_t n);

#endif
