// The encoder's coding tree of one tile: tile-components with their
// resolution levels, bands, code blocks and coding pass records.
//
// The encoder driver creates the tile-component records, sets their sample
// matrix and sizes, and builds the levels, bands and code blocks under each
// with jpenc_buildcomp().  Tier-1 coding (t1enc) fills the code blocks'
// streams and pass records, rate allocation sets the passes' layers, and
// tier-2 coding writes the packets.  jpenc_destroycomp() releases what the
// component owns; the record itself belongs to its creator.
//
// Fixed-point values have 14 fractional bits (fixed14, 1.0 = 16384).
#ifndef JPEG2000_JPENC_TREE_H
#define JPEG2000_JPENC_TREE_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct matrix_t;
struct mqenc_t;
struct stream_t;
struct tagtree_t;
struct tsfb_t;

// One coding pass of a code block.
struct jpenc_pass_t {
    int32_t start;  // stream position when the pass begins
    int32_t end;    // bytes needed to decode through this pass
    int32_t type;   // SEG_MQ or SEG_RAW
    int32_t term;   // the pass ends a codeword segment
    // MQ encoder state taken after the pass: A, C, CT, last byte (-1 none).
    int32_t mqencA;
    int32_t mqencC;
    int32_t mqencCT;
    int32_t mqenclastbyte;
    int32_t mqencrunlen;  // bytes of a held-back 0xFF/0x7F run after end
    int32_t mqencB;       // the held byte B, -1 before the first
    int32_t lyrno;        // layer carrying the pass, -1 for none
    double rdslope;       // rate-distortion slope (rate allocation)
    double wmsedec;       // weighted distortion decrease of the pass
    double cumwmsedec;    // of this pass and all before it
    int32_t nmsedec;      // sum of the distortion table values (fixed14)
    int32_t htpasses;     // HT: passes of the candidate's HT set sent when the block ends here
};

struct jpenc_cblk_t {
    int32_t numpasses;
    jpenc_pass_t* passes;      // numpasses records, owned unless in the component's arena
    int32_t arenapasses;       // the passes live in the component's arena
    jpenc_pass_t* curpass;     // first pass not yet placed in a packet, or none
    int32_t numencpasses;      // passes already placed in packets
    int32_t numimsbs;          // missing most significant bit planes
    int32_t numlenbits;        // Lblock
    stream_t* stream;          // coded bytes (owned; its memory may be the arena's)
    mqenc_t* mqenc;            // owned, or none
    matrix_t* data;            // view of the band (owned view)
    matrix_t* flags;           // tier-1 state while the block is coded (owned)
    int32_t numbps;            // bit planes of the code block
    double residual;           // weighted error left after every bit plane (estimate)
    double restdist;           // weighted error left when every coded pass is in
    // HT code block: pass 3k is candidate k, one HT cleanup pass of the bit
    // planes numbps - 1 - k and below (sent with numimsbs + k zero bit
    // planes), its bytes at passes[3k].start in the stream, passes[3k].end
    // long.  Passes 3k + 1 and 3k + 2, when coded, add the SigProp and then
    // the MagRef pass at the plane below: the refinement segment follows
    // the cleanup bytes, end counts both.  A refinement pass that the next
    // candidate's cleanup pass beats (as few bytes or fewer, never a smaller
    // decrease) is a copy of the pass before it with no decrease, as are
    // those not coded.  One HT set (htpasses of the last pass taken) is
    // sent, whole, in the block's first layer.
    int32_t ht;
    // The largest magnitude of the samples of each row, as the
    // quantization leaves them (empty: not known).
    std::vector<uint32_t> rowmag;
    // Not 0: the samples still wait for requantization by this ratio
    // (requant_cblk), which rowmag already shows.
    float ratio;
    // Tier-2 state saved during rate allocation.
    jpenc_pass_t* savedcurpass;
    int32_t savednumencpasses;
    int32_t savednumlenbits;
};

struct jpenc_lvl_t;

struct jpenc_band_t {
    matrix_t* data;            // view of the component matrix (owned view)
    int orient;                // TSFB_LL, TSFB_LH, TSFB_HL, TSFB_HH
    std::vector<jpenc_cblk_t> cblks;  // numcblks records in raster order
    int32_t numcblks;
    int32_t numhcblks;         // code blocks across
    int32_t numvcblks;         // code blocks down
    int32_t cblkwidth;         // nominal code block size
    int32_t cblkheight;
    tagtree_t* incltree;       // inclusion, one leaf per code block (owned)
    tagtree_t* nlibtree;       // zero bit planes (owned)
    tagtree_t* savedincltree;  // saved copies for rate allocation (owned)
    tagtree_t* savednlibtree;
    int32_t numbps;            // Mb
    int32_t absstepsize;       // fixed14
    int32_t stepsize;          // encoded: exponent << 11 | mantissa
    int32_t synweight;         // synthesis weight, fixed14
    int32_t analgain;          // log2 of the nominal gain
    int32_t xoff;              // first column in the component matrix
    int32_t yoff;              // first row
    jpenc_lvl_t* lvl;
};

struct jpenc_comp_t;

struct jpenc_lvl_t {
    int32_t numbands;          // 1 at level 0, else 3 (HL, LH, HH)
    std::vector<jpenc_band_t> bands;
    jpenc_comp_t* comp;
};

// Memory of a component's coding results (code blocks' bytes and pass
// records) that lives until the component is destroyed: one allocation per
// chunk instead of several per code block, and only the bytes written are
// touched.  Thread-safe.
struct jpenc_arena_t;

struct jpenc_compcparms_t {
    std::vector<uint16_t> stepsizes;  // encoded step sizes in band order
};

struct jpenc_comp_t {
    int32_t numrlvls;
    std::vector<jpenc_lvl_t> lvls;  // numrlvls records, index 0 the lowest resolution
    matrix_t* data;            // tile-component samples (owned)
    int32_t hsamp;
    int32_t vsamp;
    int32_t width;             // tile-component width
    int32_t height;            // tile-component height
    int32_t prec;
    int32_t sgnd;
    int32_t cblkwidth;
    int32_t cblkheight;
    int32_t qmfbid;
    int32_t numstepsizes;      // 3 (numrlvls - 1) + 1
    jpenc_compcparms_t compcparms;
    tsfb_t* tsfb;              // owned
    int32_t mctweight;         // fixed14
    jpenc_arena_t* arena;      // owned, made by tier-1 coding (none before)
};

struct jpenc_tile_t {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
    int64_t area;
    int32_t realmode;          // real (float) arithmetic while encoded
};

// Encoder settings the tree is built from.
struct jpenc_treeparams_t {
    int32_t maxrlvls;          // resolution levels (>= 1)
    int32_t cblkwidth;         // nominal code block size
    int32_t cblkheight;
    int32_t qmfbid;            // JPC_COX_RFT (1) or JPC_COX_INS (0)
};

// Builds the levels, bands and code blocks of comp over its sample matrix
// comp->data (rows = tile-component height, columns = width; the matrix
// must be set and sized).  Sets numrlvls, cblkwidth, cblkheight, qmfbid,
// width, height, numstepsizes, the step size array, tsfb and lvls; every
// other field of comp is left as the caller set it.  Band fields that the
// driver computes later (Mb, step sizes) start at 0, the absolute step
// size at 16384.  Returns 0, or -1 after a message for parameters the tree
// cannot hold (everything built so far is released again).
int jpenc_buildcomp(jpenc_comp_t* comp, const jpenc_treeparams_t* params);

// Releases the step sizes, the matrix, tsfb and the levels with their bands
// and code blocks; the record itself stays (fields are cleared).
void jpenc_destroycomp(jpenc_comp_t* comp);

// Releases what tier-1 coding made for a code block (passes, MQ encoder,
// coded bytes, flags); its view of the band stays.  What lives in the
// component's arena goes only with the arena.
void jpenc_releasecblk(jpenc_cblk_t* cblk);

// A new, empty arena; nullptr when out of memory.
jpenc_arena_t* jpenc_arenacreate();
// size bytes (aligned for any record, contents undefined) from the arena,
// or nullptr when out of memory.  May be called from any thread.
void* jpenc_arenaalloc(jpenc_arena_t* arena, size_t size);

// The resolution level of a band and the band's index in the component's
// band list (0 for LL, 3 lvlno + i - 2 for band i of level lvlno).
int jpenc_bandno(int lvlno, int bandindex);

#endif
