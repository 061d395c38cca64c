// Decoder records: coding parameters set by the marker segments and, per
// tile, the tree of tile-components, resolution levels, bands, precincts,
// code blocks and codeword segments that tier-2 decoding fills and tier-1
// decoding turns into coefficients.
#ifndef JPEG2000_JPDEC_TILE_H
#define JPEG2000_JPDEC_TILE_H

#include "codestream/jpc.h"
#include "encoder/jpenc.h"
#include "base/seq.h"
#include "tier2/t2cod.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

struct stream_t;
struct tagtree_t;
struct tsfb_t;
struct image_t;

constexpr int JPDEC_MAXRLVLS = 33;                    // numdlvls <= 32
constexpr int JPDEC_MAXSTEPSIZES = 3 * JPDEC_MAXRLVLS;  // 99
constexpr int JPDEC_MAXNUMIMSBS = 64;  // zero bit-planes decoded before giving up

// ---------------------------------------------------------------------------
// Coding parameters

// dec_ccp_t::flags
constexpr int JPDEC_CSET = 0x01;     // coding style set
constexpr int JPDEC_QSET = 0x02;     // quantization set
constexpr int JPDEC_COCSET = 0x04;   // coding style set by COC
constexpr int JPDEC_QCCSET = 0x08;   // quantization set by QCC

// dec_cp_t::flags
constexpr int JPDEC_CP_CSET = 0x01;  // COD seen
constexpr int JPDEC_CP_QSET = 0x02;  // QCD seen

// dec_cp_t::csty: packet coding style bits of Scod
constexpr int JPDEC_SOP = 0x02;
constexpr int JPDEC_EPH = 0x04;

// dec_cp_t::mctid
constexpr int JPDEC_MCT_NONE = 0;
constexpr int JPDEC_MCT_ICT = 1;
constexpr int JPDEC_MCT_RCT = 2;

// Code-block style bits (T.800 Table A.19)
constexpr int JPDEC_CBLK_BYPASS = 0x01;
constexpr int JPDEC_CBLK_RESET = 0x02;
constexpr int JPDEC_CBLK_TERMALL = 0x04;
constexpr int JPDEC_CBLK_VSC = 0x08;
constexpr int JPDEC_CBLK_PTERM = 0x10;
constexpr int JPDEC_CBLK_SEGSYM = 0x20;
constexpr int JPDEC_CBLK_T800 = 0x3f;  // all of the above
constexpr int JPDEC_CBLK_HT = 0x40;    // high-throughput code blocks (T.814)

// Component coding parameters.
struct dec_ccp_t {
    int flags = 0;
    int prcflag = 0;           // bit 0 of Scod/Scoc: precinct sizes given
    int numrlvls = 0;          // numdlvls + 1, at most JPDEC_MAXRLVLS
    int cblkwidthexpn = 0;
    int cblkheightexpn = 0;
    int qmfbid = 0;            // 0 9/7 irreversible, 1 5/3 reversible
    int qsty = 0;              // 0 none, 1 scalar derived, 2 scalar expounded
    int numstepsizes = 0;
    uint16_t stepsizes[JPDEC_MAXSTEPSIZES] = {};  // exponent << 11 | mantissa
    int numguardbits = 0;
    int roishift = 0;
    int cblksty = 0;
    uint8_t prcwidthexpns[JPDEC_MAXRLVLS] = {};
    uint8_t prcheightexpns[JPDEC_MAXRLVLS] = {};
};

struct dec_cp_t {
    int flags = 0;
    int prgord = 0;
    int numlyrs = 0;
    int mctid = JPDEC_MCT_NONE;
    int csty = 0;              // JPDEC_SOP | JPDEC_EPH
    int numcomps = 0;
    std::vector<dec_ccp_t> ccps;
    pchglist_t* pchglist = nullptr;  // owned
};

dec_cp_t* dec_cp_create(int numcomps);
dec_cp_t* dec_cp_copy(const dec_cp_t* cp);
void dec_cp_destroy(dec_cp_t* cp);

// ---------------------------------------------------------------------------
// Tile structures

// Codeword segment of a code block.
struct dec_seg_t {
    int passno = -1;           // first pass, counted like dec_cblk_t::firstpassno
    int numpasses = 0;         // passes received
    int maxpasses = 0;         // passes the segment can hold
    int type = 0;              // SEG_MQ, SEG_RAW, SEG_HTCLN or SEG_HTREF
    stream_t* stream = nullptr;  // collected bytes (owned), nullptr before the first
    int64_t cnt = 0;           // bytes still to take from the current packet body
    int lyrno = -1;            // layer that last contributed
};

// Code block.  Its coefficients are the rectangle width x height at data
// (row stride `stride`) inside the tile-component matrix: signed 32-bit
// quantization indices after tier-1 decoding, zero before.
struct dec_cblk_t {
    int numpasses = 0;         // passes received so far
    std::vector<dec_seg_t> segs;  // in pass order
    int curseg = 0;            // index of the first segment still open
    int numimsbs = 0;          // missing most significant bit-planes
    int numlenbits = 3;        // Lblock
    int firstpassno = -1;      // 3 * numimsbs once included, -1 before
    int32_t* data = nullptr;
    ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    int xstart = 0, ystart = 0;  // band coordinates of data[0]
};

void dec_seg_destroy(dec_seg_t* seg);  // closes the stream

struct dec_prc_t {
    int xstart = 0, ystart = 0, xend = 0, yend = 0;  // band coordinates
    int numhcblks = 0;
    int numvcblks = 0;
    int numcblks = 0;          // 0 when the precinct does not meet its band
    tagtree_t* incltree = nullptr;   // inclusion, owned
    tagtree_t* nlibtree = nullptr;   // zero bit-planes, owned
    std::vector<dec_cblk_t> cblks;   // raster order
};

struct dec_band_t {
    matrix_t* data = nullptr;  // view of the tile-component matrix, origin at
                               // the band's own coordinates (owned view)
    int xstart = 0, ystart = 0, xend = 0, yend = 0;  // band coordinates
    int orient = 0;            // 0 LL, 1 LH, 2 HL, 3 HH
    int stepsize = 0;          // exponent << 11 | mantissa
    int32_t absstepsize = 0;   // Q14 (rounded; see stepmant/stepshift)
    int32_t stepmant = 0;      // Q14 of 1 + mantissa / 2^11
    int stepshift = 0;         // absolute step size = stepmant x 2^stepshift
    int numbps = 0;            // magnitude bit-planes
    int analgain = 0;          // nominal gain (log2)
    int roishift = 0;
    std::vector<dec_prc_t> prcs;  // one per precinct of the level
};

struct dec_rlvl_t {
    int xstart = 0, ystart = 0, xend = 0, yend = 0;
    int prcwidthexpn = 15, prcheightexpn = 15;
    int numhprcs = 0, numvprcs = 0, numprcs = 0;
    int cbgwidthexpn = 0, cbgheightexpn = 0;
    int cblkwidthexpn = 0, cblkheightexpn = 0;
    std::vector<dec_band_t> bands;  // 1 at level 0, 3 above (HL, LH, HH)
};

struct dec_tcomp_t {
    int xstart = 0, ystart = 0, xend = 0, yend = 0;
    int numrlvls = 0;
    int hsamp = 1, vsamp = 1;
    bool realmode = false;     // samples are floats (irreversible path)
    matrix_t* data = nullptr;  // owned, origin (xstart, ystart)
    tsfb_t* tsfb = nullptr;    // owned
    std::vector<dec_rlvl_t> rlvls;
};

constexpr int JPDEC_TILE_INIT = 0;
constexpr int JPDEC_TILE_ACTIVE = 1;
constexpr int JPDEC_TILE_DONE = 2;

struct dec_tile_t {
    int state = JPDEC_TILE_INIT;
    int64_t xstart = 0, ystart = 0, xend = 0, yend = 0;  // reference grid
    stream_t* pkthdrstream = nullptr;  // packed packet headers (PPM/PPT), owned
    int pptzexp = 0;           // Zppt expected next
    dec_cp_t* cp = nullptr;    // owned
    std::vector<dec_tcomp_t> tcomps;
    int numparts = 0;          // tile-parts read so far
    int numpartsexp = 0;       // TNsot, 0 unknown
    bool realmode = false;     // irreversible transform somewhere
    pi_t* pi = nullptr;        // owned
};

// Builds tile-components, levels, bands, precincts, code blocks and the
// packet iterator from the tile's cp.  hsamps/vsamps: per component
// sampling factors; precs: per component precision.  0, or -1 after a
// message when the parameters cannot be met.
int dec_tile_init(dec_tile_t* tile, const int* hsamps, const int* vsamps, const int* precs);
// Frees everything dec_tile_init built and the tile's cp, headers and
// iterator; the tile becomes done.
void dec_tile_release(dec_tile_t* tile);

// ---------------------------------------------------------------------------
// Decoder

struct dec_t {
    image_t* image = nullptr;
    int64_t xstart = 0, ystart = 0, xend = 0, yend = 0;
    int64_t tilewidth = 0, tileheight = 0, tilexoff = 0, tileyoff = 0;
    int numhtiles = 0, numvtiles = 0, numtiles = 0;
    std::vector<dec_tile_t> tiles;
    dec_tile_t* curtile = nullptr;
    int numcomps = 0;
    stream_t* in = nullptr;
    dec_cp_t* cp = nullptr;
    int maxlyrs = -1;
    int64_t maxsamples = int64_t(1) << 30;  // largest image accepted (option maxsamples)
    int ppmzexp = 0;
    int state = 0;
    std::vector<int> hsamps, vsamps, precs, sgnds;
    std::vector<int64_t> widths, heights;
    std::vector<stream_t*> pkthdrstreams;  // from PPM, owned
    int64_t curtileendoff = 0;  // end of the current tile-part, 0 unknown
    jpc_cstate_t* cstate = nullptr;  // code stream state (owned)
    OnProgressMessager* progress = nullptr;
    int numtilesdecoded = 0;   // tiles reconstructed into the image
    bool incomplete = false;   // a tile or tile-part announced did not arrive
    bool mctignored = false;   // the warning about the MCT flag was given
    int lastpercent = 0;               // the reports never go back
    std::atomic<bool> stopped{false};  // the sink cancelled: no more reports
};

// One progress report to the decoder's sink (cheap: called per row).  A
// cancel of the sink sets dec->stopped; the stages then end with -1.
inline void dec_progress(dec_t* dec, int percent)
{
    if (!dec->progress || dec->stopped.load(std::memory_order_relaxed))
        return;
    if (percent > dec->lastpercent)
        dec->lastpercent = percent;
    dec->progress->report(dec->lastpercent);
    if (dec->progress->cancelled())
        dec->stopped.store(true, std::memory_order_relaxed);
}

#endif
