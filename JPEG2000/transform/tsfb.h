// Tree-structured two-dimensional filter bank: the dyadic wavelet
// decomposition of T.800 Annex F built from the one-dimensional filter banks
// of module qmfb.
//
// The tree of L levels is a chain of L nodes, each the child of the
// previous one in slot 0 (the low-low channel pair).  Channel pair i of a
// node has horizontal channel i % 2 and vertical channel i / 2 (0 low,
// 1 high).  Analysis splits a matrix region in place with the low part
// first in each direction (columns first, then rows) and recurses into the
// low-low quarter; synthesis does the reverse.  The matrix's coordinates
// (xstart_, ystart_) give the absolute position of its first sample on the
// grid: their parity decides which samples are low-pass.
//
// Band list order: the LL band of the deepest node (the coarsest
// decomposition), then the HL, LH and HH bands of that node, then those of
// its parent, and so on up to the HL, LH and HH bands of the root (the
// finest decomposition).  For a tree of L levels, band 0 is resolution
// level 0 and bands 3r - 2 .. 3r are the HL, LH, HH bands of resolution
// level r (1 <= r <= L).
#ifndef JPEG2000_TSFB_H
#define JPEG2000_TSFB_H

#include <cstdint>

#include "transform/qmfb.h"
#include "base/seq.h"

// Band orientations, shared by encoder and decoder.
constexpr int TSFB_LL = 0;
constexpr int TSFB_LH = 1;
constexpr int TSFB_HL = 2;
constexpr int TSFB_HH = 3;

// Most decomposition levels a tree can have, and the most bands it lists.
constexpr int TSFB_MAXLVLS = 32;
constexpr int TSFB_MAXBANDS = 3 * TSFB_MAXLVLS + 1;

// Channel pairs of a node.
constexpr int TSFB_MAXCHANPAIRS = 4;

struct tsfbnode_t {
    int numhchans;                            // 2, or 1 without a horizontal bank
    int numvchans;                            // 2, or 1 without a vertical bank
    qmfb1d_t* hqmfb;                          // owned copy, or nullptr
    qmfb1d_t* vqmfb;                          // owned copy, or nullptr
    int maxchildren;                          // number of channel pairs (4)
    tsfbnode_t* children[TSFB_MAXCHANPAIRS];  // child per channel pair, or nullptr
    int numchildren;
    tsfbnode_t* parent;                       // nullptr for the root
};

struct tsfb_t {
    tsfbnode_t* root;  // nullptr when there are no decomposition levels
    int numlvls;
};

// One leaf subband of a tree applied to a region.
struct tsfb_band_t {
    // Place in the transformed matrix: rows locystart .. locyend - 1 and
    // columns locxstart .. locxend - 1, relative to the matrix's first sample.
    int32_t locxstart, locystart, locxend, locyend;
    int orient;  // TSFB_LL, TSFB_LH, TSFB_HL or TSFB_HH
    // Bounds in the subband's own sample grid (ends exclusive).
    int32_t xstart, ystart, xend, yend;
    int32_t synenergywt;  // synthesis weight, fixed14
};

// The wavelet tree of numlvls decomposition levels with the 5/3 (qmfbid 1,
// JPC_COX_RFT) or 9/7 (qmfbid 0) filter bank in both directions.  numlvls
// must be in 0 .. TSFB_MAXLVLS.  nullptr for a bad qmfbid or level count.
tsfb_t* tsfb_wavelet(int qmfbid, int numlvls);
void tsfb_destroy(tsfb_t* tsfb);

// Number of listed bands (3 * decomposition levels + 1).
int tsfb_numbands(const tsfb_t* tsfb);

// Called after each one-dimensional pass over a region with the number of
// samples it filtered (progress reports); nonzero stops the transform,
// leaving the matrix part-transformed.
typedef int (*tsfb_pass_t)(void* arg, int64_t samples);

// Called by the analysis for each row of a node's region as soon as the
// node's row pass (its last) has done it, while the row is in the cache:
// lvl is the node's depth (0 for the root), row the row of the matrix.
// The bands of the node that lie on the row hold their final coefficients
// there.  Rows come on any thread of the pool, each once per node.
struct tsfb_rowhook_t {
    void (*done)(void* arg, int lvl, int32_t row);
    void* arg;
};

// Forward and inverse transform of the matrix x in place.  flags: QMFB_REV
// for reversible integer arithmetic (5/3 only).  Nothing happens for a tree
// without nodes.  0, or -1 when pass stopped it.
int tsfb_analyze(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass = nullptr,
                 void* passarg = nullptr, const tsfb_rowhook_t* rowhook = nullptr);
int tsfb_synthesize(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass = nullptr,
                    void* passarg = nullptr);
// For a caller that runs the last level (the root's two passes) itself,
// with a qmfb_stream_t: tsfb_rootkind gives the filter bank (QMFB_53 or
// QMFB_97) of the root's two passes when they share one and a matrix of
// x's shape suits a stream (two rows at least), 0 otherwise, and
// tsfb_synthesize_below does every level below the root.
int tsfb_rootkind(const tsfb_t* tsfb, const matrix_t* x);
int tsfb_synthesize_below(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass = nullptr,
                          void* passarg = nullptr);
// The same with the root's low-pass quadrant of x held apart, in ll (of
// the quadrant's shape, at least one row and column), which is synthesized
// in place; x's samples are not touched.  -1 when ll does not fit the
// quadrant or a pass stopped it.
int tsfb_synthesize_ll(const tsfb_t* tsfb, int flags, const matrix_t* x, matrix_t* ll,
                       tsfb_pass_t pass = nullptr, void* passarg = nullptr);
// The same for a caller that has run the first level (the root's two
// passes) of the analysis itself: tsfb_analyze_below does every level
// below it (row hooks from depth 1 on).
int tsfb_analyze_below(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass = nullptr,
                       void* passarg = nullptr, const tsfb_rowhook_t* rowhook = nullptr);

// Geometry and synthesis weights of the bands of the tree applied to the
// region [xstart, xend) x [ystart, yend) (absolute coordinates, ends
// exclusive, starts >= 0), in band list order.  bands must have room for
// tsfb_numbands() entries (TSFB_MAXBANDS is always enough).  Returns the
// number of bands, or -1 for a bad region.  A tree without nodes gives one
// band, LL, covering the whole region, with weight 16384.
int tsfb_getbands(const tsfb_t* tsfb, int32_t xstart, int32_t ystart, int32_t xend,
                  int32_t yend, tsfb_band_t* bands);
// The same for the region that the matrix x covers.
int tsfb_getbands(const tsfb_t* tsfb, const matrix_t* x, tsfb_band_t* bands);

// Synthesis weight (fixed14) of band bandno of the band list; depends only
// on the tree, not on the region.  -1 for a band number out of range.
int32_t tsfb_synweight(const tsfb_t* tsfb, int bandno);

#endif
