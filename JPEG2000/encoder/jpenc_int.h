// Encoder state and the pieces of the encoder driver shared between its
// source files (options and driver in jpenc.cpp, the tile's samples up to
// tier-1 in jpenc_samples.cpp, rate allocation in jpenc_rate.cpp).
#ifndef JPEG2000_JPENC_INT_H
#define JPEG2000_JPENC_INT_H

#include <cstdint>
#include <vector>

#include "encoder/jpenc.h"
#include "encoder/jpenc_tree.h"
#include "tier1/t1est.h"

struct jpc_cstate_t;

// Wavelet modes.
constexpr int JPENC_MODE_INT = 0;
constexpr int JPENC_MODE_REAL = 1;

// Multi-component transforms.
constexpr int JPENC_MCT_NONE = 0;
constexpr int JPENC_MCT_ICT = 1;
constexpr int JPENC_MCT_RCT = 2;

// Options of one encoder call.
struct jpenc_opts_t {
    int32_t debug;
    int32_t tilewidth;     // <= 0: the image width (no option sets it)
    int32_t tileheight;
    int32_t maxrlvls;
    int32_t cblkwidth;
    int32_t cblkheight;
    int32_t prg;           // JPC_COD_LRCPPRG or JPC_COD_RLCPPRG
    std::vector<int32_t> lyrrates;  // fixed14
    int32_t rate;          // fixed14; negative: no target
    double psnr;           // target PSNR in dB; 0: none
    int32_t lazy;
    int32_t termall;
    int32_t segsym;
    int32_t vertcausal;
    int32_t resetprob;
    int32_t ht;            // HT code blocks (T.814)
    int32_t htrefine;      // with ht: SigProp and MagRef passes as truncation points
    int32_t mct;
    int32_t mode;          // JPENC_MODE_INT or JPENC_MODE_REAL
};

// Parses optstr into opts (defaults for everything not given), printing the
// warnings of unknown names and values.  0, or -1 when the item parser cannot
// be created.
int jpenc_parseopts(const char* optstr, jpenc_opts_t* opts);

struct jpenc_t {
    int numcomps;
    std::vector<jpenc_comp_t> comps;  // numcomps records
    int mctkind;               // JPENC_MCT_*
    int qmfbid;                // JPC_COX_RFT or JPC_COX_INS
    int32_t tilewidth;
    int32_t tileheight;
    int32_t numhtiles;
    int32_t numvtiles;
    int32_t numtiles;
    stream_t* out;
    image_t* image;
    stream_t* tmpstream;       // the tile-part being built (owned while open)
    int prg;
    int numlyrs;
    std::vector<int32_t> lyrrates;  // fixed14, numlyrs - 1 rates
    int32_t rate;              // fixed14
    double psnr;               // target PSNR in dB; 0: none
    int32_t cblkwidth;
    int32_t cblkheight;
    int numdlvls;
    int cblksty;
    int t1sty;             // cblksty and the T1ENC_ flags beyond it
    int mainqcdpending;        // the main header's QCD is written with tile 0
    jpc_cstate_t* cstate;
    uint64_t rawsize;
    int64_t maxlen;
    int64_t len;               // bytes written to out so far
    std::vector<jpenc_tile_t> tiles;  // numtiles records
    int32_t imgwidth;
    int32_t imgheight;
    OnProgressMessager* progress;
    int32_t minpercent;        // reports below it are raised to it
    bool stopped;              // the progress sink cancelled the run
    int alloctrials;           // tier-2 trials of the tile's rate allocation so far
    std::vector<int> numguard; // guard bits by component (jpenc_prepare)
};

// One progress report; a cancel of the sink sets enc->stopped.  From the
// wavelet transform on (enc->minpercent set) the reports only grow.
void jpenc_report(jpenc_t* enc, int32_t percent);

// The bytes the packets of tile tileno may take with a rate: its share by
// area of what the code stream has left, after its header of hdrlen bytes.
int64_t jpenc_tilebytes(const jpenc_t* enc, int tileno, int64_t hdrlen);

// The samples of a tile whose components readtile sized: read from the
// picture, level shifted, colour and wavelet transformed and quantized, the
// reports climbing from 10 to 38; numguard: the guard bits of each
// component.  0, or -1 after a message or when a report cancelled the run.
int jpenc_transform(jpenc_t* enc, const jpenc_tile_t* tile, std::vector<int>& numguard);

// Assigns every coding pass of the tile to a layer: numlyrs cumulative byte
// budgets (negative: no limit, top layer only).  Returns the number of
// layers left empty (their budget holds no pass), or -1 when the scratch
// stream cannot be had or a report cancelled the run.
int jpenc_ratealloc(jpenc_t* enc, int numlyrs, const int64_t* cumlens);

// The fewest bytes of the tile's packets (one layer) that leave a weighted
// squared error of at most dist, by the coders' own figures: the distortion
// of the passes left out plus what stays after a block's coded passes
// (restdist).  -1 when the scratch stream cannot be had.
int64_t jpenc_bytesfordist(jpenc_t* enc, double dist);

// The rate-distortion slopes of a code block's passes on the convex hull of
// its rate-distortion curve (rdslope > 0), -1.0 for passes without a
// distortion decrease and 0.0 for passes below the hull.
void jpenc_cblkslopes(jpenc_cblk_t* cblk);

// The squared error over the samples of all components of the tile that
// leaves psnr dB (each component against its own peak 2^prec - 1).
double jpenc_distforpsnr(const jpenc_t* enc, double psnr);

// A coding written more than once for different errors (the target-PSNR
// search), the picture being one tile of one layer.  jpenc_prepare runs
// the stages up to tier-1 once with the options of optstr and psnr as the
// target, tier-1 coding the passes that bestpsnr could need (with the
// margin of its own estimate; blocks found short later are coded again in
// full); the image's samples are consumed.  nullptr after a message.
jpenc_t* jpenc_prepare(image_t* image, const char* optstr, double psnr, double bestpsnr,
                       OnProgressMessager* progress);

// Writes a complete code stream to out (flushed, not closed) for goal: at
// most goal.bytes bytes in all, or the fewest bytes whose rate allocation
// leaves a weighted squared error of at most goal.dist by the coders'
// figures.  0, or -1 after a message.
int jpenc_write(jpenc_t* enc, stream_t* out, t1est_goal_t goal);

void jpenc_destroy(jpenc_t* enc);

#endif
