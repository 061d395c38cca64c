// Tier-1 encoder: codes the quantized samples of every code block into an
// embedded byte stream with the three coding passes of T.800 Annex D, and
// records for every pass where it ends in the stream, how it is terminated
// and how much it lowers the weighted squared error.
//
// Samples carry JPC_NUMEXTRABITS fractional bits.  After coding, a code
// block holds numpasses pass records (jpenc_pass_t), numimsbs, numbps and
// its stream (positions 0 .. passes[numpasses - 1].end), all in the
// component's arena (made by the first coding of its blocks) until the
// tree is destroyed or rebuilt; it keeps no MQ encoder.
#ifndef JPEG2000_T1ENC_H
#define JPEG2000_T1ENC_H

#include <cstdint>

#include "encoder/jpenc_tree.h"
#include "tier1/t1est.h"

// Code block style bits (T.800 Table A.19), as in COD/COC.
constexpr int T1ENC_LAZY = 0x01;
constexpr int T1ENC_RESET = 0x02;
constexpr int T1ENC_TERMALL = 0x04;
constexpr int T1ENC_VSC = 0x08;
constexpr int T1ENC_SEGSYM = 0x20;
constexpr int T1ENC_HT = 0x40;  // HT code blocks (T.814)
// With T1ENC_HT: SigProp and MagRef passes as further truncation points
// near the estimated threshold.  grk_decompress 10 fails on, or decodes
// wrongly, many code streams with such passes (as the conformance stream
// ds0_ht_09_b11), which opj_decompress and ojph_expand read as we do.
constexpr int T1ENC_HTREF = 0x100;

// Codes every code block of every band of every level of every component,
// in that order.  Each band's Mb (numbps), absolute step size and synthesis
// weight and each component's MCT weight must be set.  Returns 0, or -1
// after a message when a code block has more bit planes than its band's Mb
// (its samples cannot be signalled).
//
// With a goal (the bytes that the tile's code blocks may take in all, or
// the weighted squared error they may leave), the passes that the rate
// allocation will not take are estimated first and left uncoded: each block
// is coded down to a bit plane chosen from the estimates, so a block may
// hold fewer passes than its bit planes give; its restdist is then the
// estimated error left when all its coded passes are in.
//
// With T1ENC_HT the code blocks become HT candidates, one per bit plane:
// without a goal only the complete one; with a goal only the few near the
// estimated threshold, the others left empty, and the one above the
// threshold with its SigProp and MagRef passes.
//
// progress (may be nullptr) is called on the calling thread as code blocks
// are estimated and coded, with the work done so far (it only grows) and
// the total; a nonzero result
// stops the coding: the blocks not yet started are skipped and the call
// returns -1 without a message.
typedef int (*t1enc_progress_t)(void* arg, int64_t done, int64_t total);
int t1enc_encodecomps(jpenc_comp_t* comps, int numcomps, int cblksty,
                      t1est_goal_t goal = {-1, -1}, t1enc_progress_t progress = nullptr,
                      void* progressarg = nullptr);

// After a rate allocation over blocks coded with a goal: codes again, in
// full, every block whose last coded pass was given a layer (the
// allocation might have taken more of it); an HT block gets one more
// candidate beside the first or last coded one that the allocation took
// (a block of at most 256 samples all of them).  Returns the number of
// blocks coded again (0: the allocation stands), or -1 after a message.
int t1enc_completecomps(jpenc_comp_t* comps, int numcomps, int cblksty);

// HT at a goal (a byte budget, or an error to reach): the scale of every
// step size at which the cleanup passes of all code blocks cut at one bit
// plane about reach it (a little beyond, which the rate allocation trims).
// HT has one truncation point per bit plane, steps a factor of two apart:
// between two of them the allocation can only mix blocks cut at the one
// and at the other, which loses up to a decibel against a step in between.
// The figures come from the byte and error model, its bytes corrected by
// coding a sample of the blocks, and from the magnitudes that the
// quantization recorded; the result does not depend on the thread count.
// 1 when the goal lies beyond every plane.
double t1enc_htscale(const jpenc_comp_t* comps, int numcomps, t1est_goal_t goal);

// Number of bit planes of a code block's samples: floor(log2(max |x|)) - 5
// when positive, else 0.
int t1enc_numbps(const matrix_t* data);

// Weight of one unit of normalized distortion at bit plane 0 of the band's
// samples: MCT weight, synthesis weight and step size, each squared.
long double t1enc_weight(const jpenc_comp_t* comp, const jpenc_band_t* band);

// Codes the first maxpasses passes (< 0: all) of one code block of band
// (cblk->numbps and numimsbs must be set, as t1enc_encodecomps does).  Any
// earlier coding result of the block is
// released first.  Returns 0, or -1 when the MQ encoder reported a write
// failure.
int t1enc_encodecblk(const jpenc_comp_t* comp, const jpenc_band_t* band,
                     jpenc_cblk_t* cblk, int cblksty, int maxpasses = -1);

// Codes one code block as HT candidates (see jpenc_cblk_t::ht): one HT
// cleanup pass for each of the candidates klo .. khi (candidate k ends at
// bit plane numbps - 1 - k), with its size and distortion decrease, and for
// those of reflo .. refhi before khi its SigProp and MagRef passes.  The
// candidates before klo stay empty (no size, no decrease), the block's
// passes end with candidate khi; khi < 0: up to the complete candidate.
// 0, or -1 when a candidate cannot be coded.
int t1enc_encodehtcblk(const jpenc_comp_t* comp, const jpenc_band_t* band, jpenc_cblk_t* cblk,
                       int klo = 0, int khi = -1, int reflo = 0, int refhi = 64);

#endif
