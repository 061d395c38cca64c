// Tier-2 encoder: packs the coded bytes of the code blocks of one tile into
// packets (T.800 B.9, B.10), one per component, resolution level and layer.
// There are no precinct partitions: a packet covers every code block of
// every band of its resolution level.  No SOP or EPH markers are written.
//
// The tier-2 state of a tile is, per band, the inclusion and zero bit-plane
// tag trees, and per code block its current pass (the first pass not yet
// placed in a packet), the number of passes placed and Lblock.  It carries
// from packet to packet after a reset; rate allocation saves and restores
// it around trial codings.
#ifndef JPEG2000_T2ENC_H
#define JPEG2000_T2ENC_H

#include <cstdint>

#include "encoder/jpenc_tree.h"

struct stream_t;

// Codes the packet of (compno, lvlno, lyrno): the header goes to out and,
// when copybody is set, the body too; otherwise the body is only counted.
// Advances the code blocks' tier-2 state either way.  Returns the packet's
// length in bytes (header + body), or -1 when out refuses a byte.
int64_t t2enc_encodepkt(jpenc_comp_t* comps, stream_t* out, int compno, int lvlno,
                        int lyrno, int copybody);

// Resets the tier-2 state of the tile (tag trees, current passes, placed
// counts, Lblock, zero bit-plane leaves), and with clearlyrs every pass's
// layer to 0.
void t2enc_reset(jpenc_comp_t* comps, int numcomps, int clearlyrs);
// Saves and restores the tier-2 state.
void t2enc_save(jpenc_comp_t* comps, int numcomps);
void t2enc_restore(jpenc_comp_t* comps, int numcomps);
// The same for the code blocks of one resolution level (one packet's state).
void t2enc_savelvl(jpenc_lvl_t* lvl);
void t2enc_restorelvl(jpenc_lvl_t* lvl);

// Writes every packet of the tile to out in progression order prg
// (JPC_COD_LRCPPRG or JPC_COD_RLCPPRG) after a reset that keeps the
// passes' layers.  0, or -1 when out refuses a byte.
int t2enc_encodepkts(jpenc_comp_t* comps, int numcomps, int numlyrs, int prg, stream_t* out);

#endif
