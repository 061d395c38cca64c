// The code blocks of a colour tile's last level decoded as the stream of
// that level's synthesis reaches their rows (decoder/jpdec.cpp's
// dec_outstreamed), a row of blocks at a time into buffers that are reused,
// so that the last level's bands are never held whole.  The levels below
// (the LL quadrant) live in a matrix of their own meanwhile: the
// tile-component matrices are not touched at all.
//
// The stream runs in pieces (bands of output rows) on the thread pool; a
// row of blocks is decoded once, by the first piece that needs it, and its
// buffer goes back when every piece whose rows reach it is done with it.
#ifndef JPEG2000_JPDEC_LAZY_H
#define JPEG2000_JPDEC_LAZY_H

#include <cstdint>

#include "decoder/jpdec_tile.h"
#include "transform/qmfb.h"

struct declazy_t;
struct declazy_cursor_t;

// A plan for the last level of the tile's first three components, or
// nullptr when its shape is not the simple one (code blocks at most 64
// rows high in rows that span the bands, the bands where the matrices'
// quadrants are): the caller decodes every block up front then.
declazy_t* declazy_create(dec_tile_t* tile);
void declazy_destroy(declazy_t* lz);

// The low-pass quadrant of component k's last level, apart from its
// matrix: the levels below are decoded and synthesized there
// (tsfb_synthesize_ll); the matrix itself is never touched.
matrix_t* declazy_ll(declazy_t* lz, int k);

// The pieces of output rows the stream runs in: numpieces of piecerows
// rows (the last one shorter) out of rows.  Once, before any cursor.
void declazy_setpieces(declazy_t* lz, int32_t rows, int32_t piecerows, int64_t numpieces);

// The row source of component k (0..2) for piece p; nullptr when memory
// fails.  Closing gives back the rows of blocks the piece reaches.
declazy_cursor_t* declazy_open(declazy_t* lz, int k, int64_t p);
qmfb_rowsrc_t declazy_rowsrc(declazy_cursor_t* c);
void declazy_close(declazy_cursor_t* c);

// A code block failed (after its message) or a row was asked for out of
// turn: the rows given since are zero.
bool declazy_failed(const declazy_t* lz);

#endif
