// Tier-1 encoder: codes the quantized samples of every code block into an
// embedded byte stream with the three coding passes of T.800 Annex D, and
// records for every pass where it ends in the stream, how it is terminated
// and how much it lowers the weighted squared error.
//
// Samples carry JPC_NUMEXTRABITS fractional bits.  After coding, a code
// block holds numpasses pass records (jpenc_pass_t), numimsbs, numbps and
// its stream (positions 0 .. passes[numpasses - 1].end); its MQ encoder
// stays with it until the tree is destroyed.
#ifndef JPEG2000_T1ENC_H
#define JPEG2000_T1ENC_H

#include <cstdint>

#include "encoder/jpenc_tree.h"

// Code block style bits (T.800 Table A.19), as in COD/COC.
constexpr int T1ENC_LAZY = 0x01;
constexpr int T1ENC_RESET = 0x02;
constexpr int T1ENC_TERMALL = 0x04;
constexpr int T1ENC_VSC = 0x08;
constexpr int T1ENC_SEGSYM = 0x20;
constexpr int T1ENC_HT = 0x40;  // HT code blocks (T.814)

// Codes every code block of every band of every level of every component,
// in that order.  Each band's Mb (numbps), absolute step size and synthesis
// weight and each component's MCT weight must be set.  Returns 0, or -1
// after a message when a code block has more bit planes than its band's Mb
// (its samples cannot be signalled).
// With T1ENC_HT the code blocks become HT candidates; htcomplete: only the
// complete one (no rate target).
int t1enc_encodecomps(jpenc_comp_t* comps, int numcomps, int cblksty, bool htcomplete = false);

// Number of bit planes of a code block's samples: floor(log2(max |x|)) - 5
// when positive, else 0.
int t1enc_numbps(const matrix_t* data);

// Codes one code block of band (cblk->numbps and numimsbs must be set, as
// t1enc_encodecomps does).  Any earlier coding result of the block is
// released first.  Returns 0, or -1 when the MQ encoder reported a write
// failure.
int t1enc_encodecblk(const jpenc_comp_t* comp, const jpenc_band_t* band,
                     jpenc_cblk_t* cblk, int cblksty);

// Codes one code block as HT candidates (see jpenc_cblk_t::ht): one HT
// cleanup pass for each bit plane from the top down to plane 0, with its
// size and distortion decrease (complete: only the candidate of plane 0,
// the others empty).  0, or -1 when a candidate cannot be coded.
int t1enc_encodehtcblk(const jpenc_comp_t* comp, const jpenc_band_t* band, jpenc_cblk_t* cblk,
                       bool complete);

#endif
