// The samples of a tile up to tier-1: read from the picture, level shifted,
// through the colour transform, the wavelet transform and the quantization
// (with the step sizes and guard bits that the code stream will carry).
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <vector>

#include "base/fatal.h"
#include "base/image.h"
#include "base/seq.h"
#include "base/simd.h"
#include "base/threadpool.h"
#include "codestream/jpc.h"
#include "encoder/jpenc_int.h"
#include "tier1/jpcod.h"
#include "tier1/requant.h"
#include "tier1/t1enc.h"
#include "transform/mct.h"
#include "transform/qmfb.h"
#include "transform/tsfb.h"

namespace {

// floor(log2(v)) of v > 0 as a 64-bit value.
int floorlog2_64(int64_t v)
{
    int n = -1;
    while (v > 0) {
        v >>= 1;
        ++n;
    }
    return n;
}

// Real samples x become quantization indices trunc(x scale) in place (held
// within 32 bits); returns the largest magnitude.
[[gnu::always_inline]] inline int64_t quantizerow(seqent_t* q, int32_t n, float scale)
{
    int32_t maxmag = 0;
    for (int32_t c = 0; c < n; ++c) {
        const float v = std::bit_cast<float>(q[c]);
        float a = std::fabs(v) * scale;
        a = a < REQUANT_LIMIT ? a : REQUANT_LIMIT;  // also a NaN, which cannot arise here
        const int32_t m = static_cast<int32_t>(a);
        maxmag = std::max(maxmag, m);
        q[c] = v < 0 ? -m : m;
    }
    return maxmag;
}

// Calls fn(c0, n, m) for the n samples from column c0 of row r of the band
// that each of its code blocks holds, m the block's rowmag entry of the row.
template <typename F>
[[gnu::always_inline]] inline void forblockrow(jpenc_band_t* band, int32_t r, int32_t cols, F fn)
{
    const int32_t v = r / band->cblkheight, rr = r % band->cblkheight;
    for (int32_t h = 0; h < band->numhcblks; ++h) {
        const int32_t c0 = h * band->cblkwidth;
        jpenc_cblk_t& cblk = band->cblks[size_t(v) * band->numhcblks + h];
        fn(c0, std::min(band->cblkwidth, cols - c0), cblk.rowmag[rr]);
    }
}

// The step size of one band, scale times its nominal one (the irreversible
// path's from the band's synthesis weight), into the band and the
// component's parameters.  Returns the step as the decoder sees it: the
// 12 significant bits that the code stream carries (fixed14).
int64_t setbandstep(jpenc_comp_t* comp, jpenc_band_t* band, int bandno, double scale)
{
    int gain = band->analgain;
    int64_t absstep;
    if (comp->qmfbid == JPC_COX_RFT)
        absstep = 16384;
    else if (scale == 1.0)
        absstep = ((int64_t(1) << (gain + 1)) * 16384 * 16384) / band->synweight;
    else
        absstep = static_cast<int64_t>(std::min(
            std::ldexp(scale, gain + 29) / band->synweight, double(INT32_MAX)));
    if (absstep < 1)
        absstep = 1;
    if (absstep > INT32_MAX)
        absstep = INT32_MAX;
    int b = floorlog2_64(absstep);
    int e = b - 14;
    int mant = b <= 10 ? static_cast<int>((absstep % (int64_t(1) << b)) << (11 - b))
                       : static_cast<int>((absstep >> (b - 11)) % 2048);
    int mb = comp->prec + gain + 1 - e;
    band->numbps = mb;
    band->absstepsize = static_cast<int32_t>(absstep);
    band->stepsize = (((mb - 1) & 31) << 11) | mant;
    comp->compcparms.stepsizes[bandno] = static_cast<uint16_t>(band->stepsize);
    return b > 11 ? (absstep >> (b - 11)) << (b - 11) : absstep;
}

// Quantization of rows r0 .. r1 - 1 of one band: in real arithmetic the
// division of its samples by the step size (scale: 2^JPC_NUMEXTRABITS over
// the step as the decoder sees it), the fractional bits kept and truncated
// toward zero; in integer arithmetic the move of the samples above their
// fractional bits.  The blocks' rowmag entries of the rows follow.
// Returns the largest magnitude (in integer arithmetic, without the
// fractional bits).
WIDE_CLONES int64_t quantizerows(jpenc_band_t* band, int32_t r0, int32_t r1, bool realmode,
                                float scale)
{
    matrix_t* m = band->data;
    const int32_t cols = matrix_numcols(m);
    int64_t maxmag = 0;
    for (int32_t r = r0; r < r1; ++r) {
        seqent_t* row = matrix_row(m, r);
        forblockrow(band, r, cols, [&](int32_t c0, int32_t n, uint32_t& om) {
            int64_t rowmax = 0;
            if (realmode) {
                rowmax = quantizerow(row + c0, n, scale);
                om = uint32_t(rowmax);
            } else {
                for (int32_t c = c0; c < c0 + n; ++c) {
                    const int64_t x = row[c];
                    rowmax = std::max(rowmax, x < 0 ? -x : x);
                    row[c] = static_cast<seqent_t>(x * (1 << JPC_NUMEXTRABITS));
                }
                om = uint32_t(rowmax) << JPC_NUMEXTRABITS;
            }
            maxmag = std::max(maxmag, rowmax);
        });
    }
    return maxmag;
}

// Requantization of one band's indices, with their fractional bits, at
// scale times its nominal step: each magnitude times the ratio of the
// steps that the decoder sees, truncated (requant_mag).  The samples are
// requantized when tier-1 first reads their code block; the rows' largest
// magnitudes follow now.  maxmag: the band's largest magnitude; returns
// it requantized.
int64_t rescaleband(jpenc_comp_t* comp, jpenc_band_t* band, int bandno, double scale,
                    int64_t maxmag)
{
    const double was = double(setbandstep(comp, band, bandno, 1.0));
    const float ratio = float(was / double(setbandstep(comp, band, bandno, scale)));
    for (jpenc_cblk_t& cblk : band->cblks) {
        cblk.ratio = ratio;
        for (uint32_t& m : cblk.rowmag)
            m = requant_mag(m, ratio);
    }
    return requant_mag(uint32_t(maxmag), ratio);
}

// Guard bits component comp needs: 2, or more when a band holds samples with
// more bit planes than its Mb allows with 2 (coefficients that the
// transforms pushed beyond the nominal range).  The bands' Mb grow with
// them.  maxmags: the largest magnitude of each band, in band order.
int guardbits(jpenc_comp_t* comp, const std::vector<int64_t>& maxmags)
{
    int extra = 0;
    for (int r = 0; r < comp->numrlvls; ++r) {
        jpenc_lvl_t* lvl = &comp->lvls[r];
        for (int b = 0; b < lvl->numbands; ++b) {
            int64_t m = maxmags[jpenc_bandno(r, b)];
            int numbps = m > 0 ? floorlog2_64(m) - (JPC_NUMEXTRABITS - 1) : 0;
            if (numbps < 0)
                numbps = 0;
            int need = numbps - lvl->bands[b].numbps;
            if (need > extra)
                extra = need;
        }
    }
    if (extra > 0)
        for (int r = 0; r < comp->numrlvls; ++r)
            for (int b = 0; b < comp->lvls[r].numbands; ++b)
                comp->lvls[r].bands[b].numbps += extra;
    return 2 + extra;
}

// One run over the components, on the thread pool, whose reports climb
// from `from` to `to` with the work done (samples, by every thread),
// reported on the calling thread between its pieces, while it waits, and
// from inside its own pieces (worker 0), so that no report waits for a
// whole component.
struct comprun_t {
    jpenc_t* enc;
    void* arg;
    int64_t total;
    int32_t from, to;
    std::atomic<int64_t> work{0};
    std::atomic<bool> cancelled{false};  // enc->stopped, for every thread

    // On the calling thread only.
    void report()
    {
        const int64_t w = std::min(work.load(std::memory_order_relaxed), total);
        enc->minpercent = from + static_cast<int32_t>((to - from) * w / std::max<int64_t>(total, 1));
        jpenc_report(enc, enc->minpercent);
        if (enc->stopped)
            cancelled.store(true, std::memory_order_relaxed);
    }
    // amount more samples done by worker; true when the run was cancelled.
    bool add(int64_t amount, int worker)
    {
        work.fetch_add(amount, std::memory_order_relaxed);
        if (worker == 0)
            report();
        return cancelled.load(std::memory_order_relaxed);
    }
};

// The DC level shift of one row (signed samples are read without sign
// extension and get it here), and the move to reals (float bits) in real
// arithmetic.
HOT_CLONES void shiftrow(seqent_t* row, int32_t n, int prec, bool sgnd, bool real)
{
    if (!sgnd) {
        const uint32_t d = uint32_t(1) << (prec - 1);
        for (int32_t c = 0; c < n; ++c)
            row[c] = static_cast<seqent_t>(static_cast<uint32_t>(row[c]) - d);
    } else if (prec < 32) {
        const uint32_t mask = (uint32_t(1) << prec) - 1;
        const uint32_t sign = uint32_t(1) << (prec - 1);
        for (int32_t c = 0; c < n; ++c) {
            const uint32_t v = static_cast<uint32_t>(row[c]) & mask;
            row[c] = static_cast<seqent_t>(static_cast<int32_t>(v ^ sign) - static_cast<int32_t>(sign));
        }
    }
    if (real)
        for (int32_t c = 0; c < n; ++c)
            row[c] = std::bit_cast<seqent_t>(static_cast<float>(row[c]));
}

// Three rows of 8-bit unsigned samples (p0, p1, p2) level shifted by d0,
// d1, d2 and through the ICT into the rows q0, q1, q2, in one pass: the
// operations of shiftrow and the MCT's row function.
HOT_CLONES void loadict8_row(const uint8_t* __restrict p0, const uint8_t* __restrict p1,
                             const uint8_t* __restrict p2, realent_t* __restrict q0,
                             realent_t* __restrict q1, realent_t* __restrict q2, int32_t n,
                             int32_t d0, int32_t d1, int32_t d2)
{
    for (int32_t c = 0; c < n; ++c) {
        const float r = float(int32_t(p0[c]) - d0), g = float(int32_t(p1[c]) - d1),
                    b = float(int32_t(p2[c]) - d2);
        mct_fwdict_sample(r, g, b, q0[c], q1[c], q2[c]);
    }
}
// The same with the RCT, in integers.
HOT_CLONES void loadrct8_row(const uint8_t* __restrict p0, const uint8_t* __restrict p1,
                             const uint8_t* __restrict p2, int32_t* __restrict q0,
                             int32_t* __restrict q1, int32_t* __restrict q2, int32_t n,
                             int32_t d0, int32_t d1, int32_t d2)
{
    for (int32_t c = 0; c < n; ++c)
        mct_fwdrct_sample(int32_t(p0[c]) - d0, int32_t(p1[c]) - d1, int32_t(p2[c]) - d2, q0[c],
                          q1[c], q2[c]);
}

// The samples of the tile's components: read from the image, level shifted,
// moved to reals in real mode and put through the multi-component transform
// in bands of a few rows, each band while it is in the cache.  The bands
// spread over the thread pool when every component is held in memory; the
// reports climb from 10 to 30.
int loadsamples(jpenc_t* enc, const jpenc_tile_t* tile)
{
    constexpr int32_t kBand = 16;
    const int n = enc->numcomps;
    const bool mct = enc->mctkind != JPENC_MCT_NONE;
    if (mct) {
        FATAL_CHECK(n == 3);
        for (int i = 1; i < n; ++i)
            if (matrix_numrows(enc->comps[i].data) != matrix_numrows(enc->comps[0].data) ||
                matrix_numcols(enc->comps[i].data) != matrix_numcols(enc->comps[0].data)) {
                std::fprintf(stderr, "components of unequal size cannot be transformed\n");
                return -1;
            }
    }
    struct loadjob_t {
        const jpenc_tile_t* tile;
        bool mct;
        int32_t bands;                          // bands of each component
        std::vector<const unsigned char*> mem;  // samples in memory, by component
        std::atomic<bool> failed{false};
        bool mct8 = false;  // three 8-bit unsigned components in memory, one MCT
    } job{tile, mct, 0, std::vector<const unsigned char*>(n), {}};
    bool inmem = true;
    for (int i = 0; i < n; ++i) {
        job.bands = std::max(job.bands, (matrix_numrows(enc->comps[i].data) + kBand - 1) / kBand);
        job.mem[i] = image_cmpt_memory(enc->image, i);
        inmem = inmem && job.mem[i];
    }
    job.mct8 = mct && inmem;
    for (int i = 0; i < n && job.mct8; ++i)
        job.mct8 = image_cmpt_cps(enc->image, i) == 1 && !enc->comps[i].sgnd &&
                   (enc->mctkind == JPENC_MCT_ICT) == (tile->realmode != 0);
    const int64_t count = mct ? job.bands : int64_t(n) * job.bands;
    // A run that set a floor for the reports (a PSNR search) keeps it.
    comprun_t run{enc, &job, count, std::max(10, enc->minpercent), 30};
    auto body = [](void* a, int64_t k, int worker) {
        comprun_t* r = static_cast<comprun_t*>(a);
        loadjob_t* j = static_cast<loadjob_t*>(r->arg);
        jpenc_t* e = r->enc;
        if (r->cancelled.load(std::memory_order_relaxed) || j->failed.load(std::memory_order_relaxed))
            return;
        const int first = j->mct ? 0 : static_cast<int>(k / j->bands);
        const int last = j->mct ? e->numcomps : first + 1;
        const int32_t r0 = static_cast<int32_t>(k % j->bands) * kBand;
        if (j->mct8) {
            // 8-bit samples in memory: one pass from the image to the tile.
            const int32_t rows = matrix_numrows(e->comps[0].data);
            const int32_t cols = matrix_numcols(e->comps[0].data);
            const uint8_t* p[3];
            seqent_t* q[3];
            int32_t d[3];
            for (int32_t row = r0; row < std::min(rows, r0 + kBand); ++row) {
                for (int i = 0; i < 3; ++i) {
                    const jpenc_comp_t* comp = &e->comps[i];
                    const int64_t y = j->tile->y / comp->vsamp + row, x = j->tile->x / comp->hsamp;
                    p[i] = j->mem[i] + y * image_cmpt_width(e->image, i) + x;
                    q[i] = matrix_row(comp->data, row);
                    d[i] = int32_t(1) << (comp->prec - 1);
                }
                if (e->mctkind == JPENC_MCT_ICT)
                    loadict8_row(p[0], p[1], p[2], matrix_rowf(e->comps[0].data, row),
                                 matrix_rowf(e->comps[1].data, row),
                                 matrix_rowf(e->comps[2].data, row), cols, d[0], d[1], d[2]);
                else
                    loadrct8_row(p[0], p[1], p[2], q[0], q[1], q[2], cols, d[0], d[1], d[2]);
            }
            r->add(1, worker);
            return;
        }
        matrix_t* views[3] = {};
        for (int i = first; i < last; ++i) {
            jpenc_comp_t* comp = &e->comps[i];
            const int32_t rows = matrix_numrows(comp->data), cols = matrix_numcols(comp->data);
            if (r0 >= rows || cols <= 0)
                continue;
            const int32_t r1 = std::min(rows, r0 + kBand);
            const int32_t x = j->tile->x / comp->hsamp, y = j->tile->y / comp->vsamp + r0;
            const int cps = image_cmpt_cps(e->image, i);
            if (j->mem[i]) {
                const int64_t width = image_cmpt_width(e->image, i);
                for (int32_t row = r0; row < r1; ++row)
                    image_unpackrow(j->mem[i] + ((y + row - r0) * width + x) * cps,
                                    matrix_row(comp->data, row), cols, cps);
            } else {
                matrix_t* view = matrix_create(0, 0);
                const bool ok = view && matrix_bindsub(view, comp->data, r0, 0, r1 - 1, cols - 1) == 0 &&
                                image_readcmpt(e->image, i, x, y, cols, r1 - r0, view) == 0;
                matrix_destroy(view);
                if (!ok) {
                    j->failed.store(true);
                    return;
                }
            }
            for (int32_t row = r0; row < r1; ++row)
                shiftrow(matrix_row(comp->data, row), cols, comp->prec, comp->sgnd,
                         j->tile->realmode != 0);
            if (j->mct) {
                views[i] = matrix_create(0, 0);
                FATAL_CHECK(views[i] && matrix_bindsub(views[i], comp->data, r0, 0, r1 - 1, cols - 1) == 0);
            }
        }
        if (j->mct && views[0]) {
            if (e->mctkind == JPENC_MCT_RCT)
                mct_fwdrct(views[0], views[1], views[2]);
            else
                mct_fwdict(views[0], views[1], views[2]);
        }
        for (matrix_t* v : views)
            matrix_destroy(v);
        r->add(1, worker);
    };
    if (inmem) {
        auto tick = [](void* a, int64_t) { static_cast<comprun_t*>(a)->report(); };
        threadpool_for(count, body, enc->progress ? +tick : nullptr, &run);
    } else {
        // Samples in temporary files are read by one thread, in order.
        for (int64_t k = 0; k < count; ++k)
            body(&run, k, 0);
    }
    if (job.failed.load()) {
        std::fprintf(stderr, "read component failed\n");
        return -1;
    }
    for (int i = 0; i < n; ++i)
        image_cmpt_releasestream(enc->image, i);
    enc->minpercent = 30;
    jpenc_report(enc, 30);
    return enc->stopped ? -1 : 0;
}

// The quantization of one band as the wavelet transform finishes its rows:
// the scale of its nominal step and the largest magnitude of each row.
struct bandquant_t {
    jpenc_band_t* band;
    int compno, bandno;
    float scale;
    std::vector<int64_t> rowmax;
};

// The nominal steps of every band (real samples are divided by the step as
// the decoder will see it), with room for the rows' figures, in band order
// by component.
std::vector<bandquant_t> prepquant(jpenc_t* enc)
{
    std::vector<bandquant_t> bq;
    for (int i = 0; i < enc->numcomps; ++i) {
        jpenc_comp_t* comp = &enc->comps[i];
        for (int r = 0; r < comp->numrlvls; ++r)
            for (int b = 0; b < comp->lvls[r].numbands; ++b) {
                const int bandno = jpenc_bandno(r, b);
                jpenc_band_t* band = &comp->lvls[r].bands[b];
                const int64_t sent = setbandstep(comp, band, bandno, 1.0);
                const float scale =
                    static_cast<float>(std::ldexp(16384.0 / double(sent), JPC_NUMEXTRABITS));
                for (jpenc_cblk_t& cblk : band->cblks)
                    cblk.rowmag.assign(size_t(matrix_numrows(cblk.data)), 0);
                const int32_t rows = band->data ? matrix_numrows(band->data) : 0;
                bq.push_back(bandquant_t{band, i, bandno, scale, std::vector<int64_t>(size_t(rows), 0)});
            }
    }
    return bq;
}

// The bands of one component that each level of its wavelet transform
// finishes, and the quantization of their rows as they come (any thread).
struct compquant_t {
    bool realmode;
    std::vector<std::vector<bandquant_t*>> bylvl;  // by node depth, 0 the finest

    void row(int lvl, int32_t y)
    {
        for (bandquant_t* q : bylvl[size_t(lvl)]) {
            const int32_t br = y - q->band->yoff;
            if (br >= 0 && br < int32_t(q->rowmax.size()))
                q->rowmax[size_t(br)] = quantizerows(q->band, br, br + 1, realmode, q->scale);
        }
    }
};

compquant_t compquant(const jpenc_t* enc, const jpenc_tile_t* tile, std::vector<bandquant_t>& bq,
                      int compno)
{
    const int numrlvls = enc->comps[compno].numrlvls;
    compquant_t cq{tile->realmode != 0,
                   std::vector<std::vector<bandquant_t*>>(size_t(std::max(numrlvls - 1, 1)))};
    for (bandquant_t& q : bq) {
        if (q.compno != compno || q.rowmax.empty())
            continue;
        // Level r's bands end with the row pass of node depth numrlvls - 1 - r;
        // level 0 (LL) with the deepest node's.
        const int r = q.bandno == 0 ? 0 : (q.bandno + 2) / 3;
        const int lvl = r == 0 ? numrlvls - 2 : numrlvls - 1 - r;
        cq.bylvl[size_t(std::max(lvl, 0))].push_back(&q);
    }
    return cq;
}

// Whether the first level of the wavelet transform can take the samples
// straight from the picture (firstlevel): three 8-bit unsigned components
// of one shape in memory, through the ICT, and the 9/7 both ways at the
// first level.
bool fusedfirst(jpenc_t* enc, const jpenc_tile_t* tile)
{
    if (enc->mctkind != JPENC_MCT_ICT || !tile->realmode || enc->numcomps != 3)
        return false;
    for (int i = 0; i < 3; ++i) {
        const jpenc_comp_t* comp = &enc->comps[i];
        if (!image_cmpt_memory(enc->image, i) || image_cmpt_cps(enc->image, i) != 1 ||
            comp->sgnd || tsfb_rootkind(comp->tsfb, comp->data) != QMFB_97 ||
            matrix_numrows(comp->data) != matrix_numrows(enc->comps[0].data) ||
            matrix_numcols(comp->data) != matrix_numcols(enc->comps[0].data) ||
            comp->data->ystart_ != enc->comps[0].data->ystart_)
            return false;
    }
    return true;
}

// The samples of the tile and the first level of the wavelet transform in
// one sweep down the tile: the picture's rows go through the level shift
// and the ICT (loadict8_row) into the column streams of the three
// components, whose rows come out into the tile, each then through the row
// pass and the quantization of its bands while it is in the cache; the
// tile is written once.  Pieces of the sweep (a few steps each) spread
// over the thread pool; the reports climb from 10 to 30.
int firstlevel(jpenc_t* enc, const jpenc_tile_t* tile, std::vector<bandquant_t>& bq)
{
    struct rowsink_t {
        jpenc_comp_t* comp;
        compquant_t* cq;
        int32_t y;  // the row in the row pass
    };
    struct firstjob_t {
        jpenc_t* enc;
        const jpenc_tile_t* tile;
        std::vector<compquant_t> cqs;
        const uint8_t* mem[3];  // first sample of the tile, by component
        int64_t width[3];       // of the picture's components
        int32_t d[3];           // level shifts
        int32_t rows, cols, steps, piece;
        std::atomic<bool> failed{false};
        // The picture's rows above those that the pieces still at work
        // read go back to the system as the sweep goes down, when the tile
        // is as wide as the picture: the pieces before the first unfinished
        // one are done, and the later ones read below its end.
        bool discard;
        std::mutex lock;
        std::vector<char> finished;     // by piece
        std::atomic<int64_t> unfinished{0};  // the first unfinished piece
    } job{enc, tile, {}, {}, {}, {}, 0, 0, 0, 0, {}, false, {}, {}, {}};
    for (int i = 0; i < 3; ++i) {
        jpenc_comp_t* comp = &enc->comps[i];
        job.cqs.push_back(compquant(enc, tile, bq, i));
        job.width[i] = image_cmpt_width(enc->image, i);
        job.mem[i] = image_cmpt_memory(enc->image, i) +
                     int64_t(tile->y / comp->vsamp) * job.width[i] + tile->x / comp->hsamp;
        job.d[i] = int32_t(1) << (comp->prec - 1);
    }
    job.rows = matrix_numrows(enc->comps[0].data);
    job.cols = matrix_numcols(enc->comps[0].data);
    job.steps = qmfb97_colstream_steps(job.rows, enc->comps[0].data->ystart_);
    // One piece on one thread; else about four a thread, each at least 32
    // steps (every piece lifts a few more rows before its own).
    const int nthreads = threadpool_numthreads();
    job.piece = nthreads <= 1 ? job.steps
                              : std::max<int32_t>(32, (job.steps + 4 * nthreads - 1) / (4 * nthreads));
    const int64_t count = (job.steps + job.piece - 1) / job.piece;
    job.discard = enc->numhtiles == 1;
    job.finished.assign(size_t(count), 0);
    comprun_t run{enc, &job, count, std::max(10, enc->minpercent), 30};
    auto body = [](void* a, int64_t k, int worker) {
        comprun_t* r = static_cast<comprun_t*>(a);
        firstjob_t* j = static_cast<firstjob_t*>(r->arg);
        if (r->cancelled.load(std::memory_order_relaxed) || j->failed.load(std::memory_order_relaxed))
            return;
        const int32_t m0 = int32_t(k) * j->piece, m1 = std::min(j->steps, m0 + j->piece);
        qmfb97_colstream_t* s[3] = {};
        rowsink_t sinks[3];
        bool ok = true;
        for (int i = 0; i < 3; ++i) {
            jpenc_comp_t* comp = &j->enc->comps[i];
            sinks[i] = rowsink_t{comp, &j->cqs[size_t(i)], 0};
            s[i] = qmfb97_colstream_create(j->rows, j->cols, comp->data->ystart_,
                                           matrix_row(comp->data, 0), matrix_rowstep(comp->data), m0);
            ok = ok && s[i];
        }
        // A row of the tile out of its column stream: the row pass, whose
        // hook quantizes the bands that end there.
        auto done = [](void* a, int32_t y) {
            rowsink_t* sink = static_cast<rowsink_t*>(a);
            matrix_t* x = sink->comp->data;
            sink->y = y;
            const qmfb_rowhook_t hook{[](void* h, int32_t) {
                                          const rowsink_t* sk = static_cast<const rowsink_t*>(h);
                                          sk->cq->row(0, sk->y);
                                      },
                                      sink};
            qmfb1d_analyze_region(QMFB_97, 0, matrix_row(x, y), 1, matrix_numcols(x),
                                  matrix_rowstep(x), x->xstart_, &hook);
        };
        for (int32_t m = ok ? qmfb97_colstream_at(s[0]) : m1; m < m1; ++m) {
            float* dst[3];
            for (int32_t y; (y = qmfb97_colstream_next(s[0], &dst[0])) >= 0;) {
                FATAL_CHECK(qmfb97_colstream_next(s[1], &dst[1]) == y &&
                            qmfb97_colstream_next(s[2], &dst[2]) == y);
                loadict8_row(j->mem[0] + y * j->width[0], j->mem[1] + y * j->width[1],
                             j->mem[2] + y * j->width[2], dst[0], dst[1], dst[2], j->cols, j->d[0],
                             j->d[1], j->d[2]);
            }
            for (int i = 0; i < 3; ++i)
                qmfb97_colstream_step(s[i], done, &sinks[i]);
            // Step m reads rows from 2 m - 2 on; the next piece from
            // 2 (m1 - 4) - 2 on (qmfb97_colstream_create).
            if (j->discard && m % 16 == 0 && j->unfinished.load() == k)
                for (int i = 0; i < 3; ++i)
                    image_cmpt_discardrows(j->enc->image, i,
                                           j->tile->y / j->enc->comps[i].vsamp +
                                               2 * std::min(m, m1 - 8) - 8);
        }
        for (qmfb97_colstream_t* x : s)
            qmfb97_colstream_destroy(x);
        if (!ok)
            j->failed.store(true);
        {
            std::lock_guard<std::mutex> g(j->lock);
            j->finished[size_t(k)] = 1;
            int64_t u = j->unfinished.load();
            while (u < int64_t(j->finished.size()) && j->finished[size_t(u)])
                ++u;
            j->unfinished.store(u);
        }
        r->add(1, worker);
    };
    auto tick = [](void* a, int64_t) { static_cast<comprun_t*>(a)->report(); };
    threadpool_for(count, body, enc->progress ? +tick : nullptr, &run);
    if (job.failed.load()) {
        std::fprintf(stderr, "not enough memory for the wavelet transform\n");
        return -1;
    }
    for (int i = 0; i < 3; ++i)
        image_cmpt_releasestream(enc->image, i);
    enc->minpercent = 30;
    jpenc_report(enc, 30);
    return enc->stopped ? -1 : 0;
}

// The wavelet transform of every component, one after another, each
// spreading its one-dimensional passes over the thread pool (three
// components as three pieces would leave a thread of two idle for a third
// of the time), and the quantization of every band, row by row as the
// transform's last pass over the row leaves it in the cache; the reports
// climb from 30 to 38 with each pass.  A cancel ends the transform at its
// next pass.
int wavelet(jpenc_t* enc, const jpenc_tile_t* tile, std::vector<bandquant_t>& bq, bool belowroot)
{
    int64_t total = 0;  // the passes of a level cover about 8/3 of its area
    for (int i = 0; i < enc->numcomps; ++i)
        total += 8 * int64_t(matrix_numrows(enc->comps[i].data)) * matrix_numcols(enc->comps[i].data) / 3;
    comprun_t run{enc, nullptr, total, 30, 38};
    for (int i = 0; i < enc->numcomps && !run.cancelled.load(); ++i) {
        jpenc_comp_t* comp = &enc->comps[i];
        compquant_t cq = compquant(enc, tile, bq, i);
        if (comp->numrlvls <= 1) {
            // No transform: the one band, in pieces of 64 rows on the pool.
            auto piece = [](void* a, int64_t k, int) {
                compquant_t* c = static_cast<compquant_t*>(a);
                for (bandquant_t* q : c->bylvl[0]) {
                    const int32_t rows = int32_t(q->rowmax.size());
                    for (int32_t y = int32_t(k) * 64; y < std::min(rows, int32_t(k + 1) * 64); ++y)
                        c->row(0, y + q->band->yoff);
                }
            };
            threadpool_for((matrix_numrows(comp->data) + 63) / 64, piece, nullptr, &cq);
            continue;
        }
        auto pass = [](void* a, int64_t samples) {
            return static_cast<comprun_t*>(a)->add(samples, 0) ? 1 : 0;
        };
        const tsfb_rowhook_t hook{
            [](void* a, int lvl, int32_t y) { static_cast<compquant_t*>(a)->row(lvl, y); }, &cq};
        (belowroot ? tsfb_analyze_below : tsfb_analyze)(
            comp->tsfb, comp->qmfbid == JPC_COX_RFT ? QMFB_REV : 0, comp->data,
            enc->progress ? +pass : nullptr, &run, &hook);
    }
    enc->minpercent = run.to;
    return enc->stopped ? -1 : 0;
}

// HT in real arithmetic at a byte budget or a PSNR to reach: the scale of
// every step size that puts the goal on a bit plane (t1enc_htscale); 1
// otherwise.
double htstepscale(jpenc_t* enc, const jpenc_tile_t* tile)
{
    if (!(enc->t1sty & T1ENC_HT) || !tile->realmode)
        return 1.0;
    if (enc->psnr > 0)
        return t1enc_htscale(enc->comps.data(), enc->numcomps,
                             t1est_goal_t{-1, jpenc_distforpsnr(enc, enc->psnr)});
    if (enc->rate < 0)
        return 1.0;
    const double budget = double(jpenc_tilebytes(enc, int(tile - enc->tiles.data()), 0));
    return t1enc_htscale(enc->comps.data(), enc->numcomps, t1est_goal_t{budget, -1});
}

// The band maxima of the quantization that the wavelet transform did, the
// step scale of HT coding at a goal, then the guard bits of each component
// (numguard, by component).
int quantize(jpenc_t* enc, const jpenc_tile_t* tile, const std::vector<bandquant_t>& bq,
             std::vector<int>& numguard)
{
    const int n = enc->numcomps;
    struct quantjob_t {
        jpenc_t* enc;
        bool realmode;
        std::vector<std::vector<int64_t>> maxmags;  // by component and band number
        std::vector<char> bad;                     // a band out of range
        double scale = 1.0;                        // of the steps, after the first pass
    } job{enc, tile->realmode != 0, std::vector<std::vector<int64_t>>(n), std::vector<char>(n, 0)};
    for (int i = 0; i < n; ++i)
        job.maxmags[i].assign(enc->comps[i].numstepsizes, 0);
    for (const bandquant_t& q : bq) {
        int64_t& m = job.maxmags[q.compno][q.bandno];
        for (int64_t v : q.rowmax)
            m = std::max(m, v);
    }
    if (!job.realmode)
        // Integer samples need room for the fractional bits.
        for (int i = 0; i < n; ++i)
            for (int64_t& m : job.maxmags[i]) {
                if (m > (INT32_MAX >> JPC_NUMEXTRABITS))
                    job.bad[i] = 1;
                m <<= JPC_NUMEXTRABITS;
            }
    const double scale = htstepscale(enc, tile);
    if (scale != 1.0) {
        job.scale = scale;
        auto rescale = [](void* arg, int64_t i, int) {
            quantjob_t* j = static_cast<quantjob_t*>(arg);
            jpenc_comp_t* comp = &j->enc->comps[i];
            for (int r0 = 0; r0 < comp->numrlvls; ++r0)
                for (int b = 0; b < comp->lvls[r0].numbands; ++b) {
                    const int bandno = jpenc_bandno(r0, b);
                    if (!j->bad[i])
                        j->maxmags[i][bandno] = rescaleband(comp, &comp->lvls[r0].bands[b], bandno,
                                                            j->scale, j->maxmags[i][bandno]);
                }
        };
        threadpool_for(n, rescale, nullptr, &job);
    }

    numguard.assign(n, 0);
    for (int i = 0; i < n; ++i) {
        if (!job.bad[i])
            numguard[i] = guardbits(&enc->comps[i], job.maxmags[i]);
        if (job.bad[i] || numguard[i] > 7) {
            std::fprintf(stderr, "samples of component %d out of range\n", i);
            return -1;
        }
    }
    return enc->stopped ? -1 : 0;
}

}  // namespace

int jpenc_transform(jpenc_t* enc, const jpenc_tile_t* tile, std::vector<int>& numguard)
{
    std::vector<bandquant_t> bq = prepquant(enc);
    const bool fused = fusedfirst(enc, tile);
    if ((fused ? firstlevel(enc, tile, bq) : loadsamples(enc, tile)) < 0)
        return -1;
    return wavelet(enc, tile, bq, fused) < 0 || quantize(enc, tile, bq, numguard) < 0 ? -1 : 0;
}
