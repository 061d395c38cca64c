// Tier-2 decoding: the packets of a tile-part (T.800 B.9, B.10) are read in
// the order of the tile's packet iterator; their headers say which code
// blocks contribute how many coding passes and bytes, and the bytes are
// collected into each code block's codeword segments for tier-1 decoding.
#ifndef JPEG2000_T2DEC_H
#define JPEG2000_T2DEC_H

#include "decoder/jpdec_tile.h"

struct stream_t;

// Reads the packets of the current tile-part of dec->curtile: headers from
// hdr (the tile's packed headers, or the input stream itself), bodies from
// in.  Stops at the end of the tile-part (a SOT or EOC marker, or the end
// given by Psot) or when the tile has no packets left.  0, or -1 after a
// failure (truncated data, a damaged header).
int dec_decodepkts(dec_t* dec, stream_t* hdr, stream_t* in);

// The next two bytes as a marker code when they are 0xff80 or above, 0 when
// they are not a marker, -1 when two bytes cannot be read.  Nothing is
// consumed.
int dec_peekmarker(stream_t* in);

#endif
