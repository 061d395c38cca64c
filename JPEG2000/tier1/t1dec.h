// Tier-1 decoder: turns the codeword segments that tier-2 decoding collected
// for each code block into the code block's coefficients (T.800 Annex D),
// with the MQ decoder for arithmetic-coded segments and a raw bit reader
// for bypass segments.  Every pass that has arrived is decoded, also from
// segments that are incomplete: a truncated code stream gives coefficients
// at the middle of their remaining uncertainty interval.
//
// Coefficients are signed quantization indices (sign and magnitude) in the
// code block's rectangle of the tile-component matrix; those of an
// irreversible (9/7) component carry one fractional bit, so that each one
// is the middle of its interval whether its last bit plane arrived or not.
#ifndef JPEG2000_T1DEC_H
#define JPEG2000_T1DEC_H

#include "decoder/jpdec_tile.h"

// Decodes every code block of every precinct of every band, level and
// component of the tile, reporting 15 to the decoder's progress sink once
// per precinct and once per code block.  Each block is then dequantized in
// place, as dequantblock in t1dec.cpp says: ROI scaling undone, irreversible
// indices turned into real samples.  Returns 0, or -1 when a code block
// fails (after a message).  The last level of the first numlazy
// components is left alone, for t1dec_decodeblock as its rows are needed.
int t1dec_decodetile(dec_t* dec, dec_tile_t* tile, int numlazy = 0);

// One code block of a tile as t1dec_decodetile decodes it, into the
// rectangle at cblk->data (cblk->stride apart), on any thread.  The
// rectangle must hold zeros before unless t1dec_writesall (an HT block
// with data, which writes every sample, decoded or not).  Returns 0, or -1
// after a message.
bool t1dec_writesall(const dec_ccp_t* ccp, const dec_cblk_t* cblk);
int t1dec_decodeblock(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk);

// Decodes the segments of one code block of band, coded with the component
// parameters ccp (cblksty, roishift).  Segments are decoded while they are
// complete (before curseg) or dopartial is set, and while maxlyrs < 0 or the
// segment's last layer is below maxlyrs; each decoded segment is destroyed
// and removed.  The tier-1 state (flags, MQ contexts) lives for this one
// call: the segments a code block has are decoded together.  A raw segment
// whose data ends early reads as 1 bits, as an MQ segment does.  Returns 0,
// or -1 after a message for a code block that cannot be decoded: a pass
// whose bit plane lies outside 0..30 (0..29 with the fractional bit).
int t1dec_decodecblk(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk,
                     int dopartial, int maxlyrs);

#endif
