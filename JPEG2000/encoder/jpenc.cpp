// The encoder driver: options, encoder state, main header, the tiles (their
// samples through jpenc_transform, then tier-1, rate allocation and tier-2)
// and the end of the code stream.
#include "encoder/jpenc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/fatal.h"
#include "base/image.h"
#include "codestream/jpc.h"
#include "tier1/jpcod.h"
#include "encoder/jpenc_int.h"
#include "base/mathx.h"
#include "base/stream.h"
#include "tier1/t1enc.h"
#include "tier2/t2enc.h"
#include "transform/tsfb.h"
#include "base/util.h"

namespace {

// ---------------------------------------------------------------------------
// Options.

enum {
    OPT_DEBUG,
    OPT_CBLKWIDTH,
    OPT_CBLKHEIGHT,
    OPT_MODE,
    OPT_PRG,
    OPT_NOMCT,
    OPT_MAXRLVLS,
    OPT_RATE,
    OPT_LYRRATES,
    OPT_PSNR,
    OPT_LAZY,
    OPT_TERMALL,
    OPT_SEGSYM,
    OPT_VERTCAUSAL,
    OPT_RESETPROB,
    OPT_HT,
    OPT_HTREFINE,
};

const optentry_t opttab[] = {
    {OPT_DEBUG, "debug"},
    {OPT_CBLKWIDTH, "cblkwidth"},
    {OPT_CBLKHEIGHT, "cblkheight"},
    {OPT_MODE, "mode"},
    {OPT_PRG, "prg"},
    {OPT_NOMCT, "nomct"},
    {OPT_MAXRLVLS, "maxrlvls"},
    {OPT_RATE, "rate"},
    {OPT_LYRRATES, "lyrrates"},
    {OPT_PSNR, "psnr"},
    {OPT_LAZY, "lazy"},
    {OPT_TERMALL, "termall"},
    {OPT_SEGSYM, "segsym"},
    {OPT_VERTCAUSAL, "vertcausal"},
    {OPT_RESETPROB, "resetprob"},
    {OPT_HT, "ht"},
    {OPT_HTREFINE, "htrefine"},
    {-1, nullptr},
};

const optentry_t modetab[] = {
    {JPENC_MODE_INT, "int"},
    {JPENC_MODE_REAL, "real"},
    {-1, nullptr},
};

const optentry_t prgtab[] = {
    {JPC_COD_LRCPPRG, "lrcp"},
    {JPC_COD_RLCPPRG, "rlcp"},
    {-1, nullptr},
};

// A leading decimal integer with an optional sign, 0 when there is none;
// values beyond 32 bits are held at the nearest limit.
int32_t optint(const char* s)
{
    long long v = std::strtoll(s, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// A real as fixed14, truncated toward zero and held within 32 bits.
int32_t fixreal(double v)
{
    if (std::isnan(v))
        return 0;
    double f = std::trunc(v * 16384.0);
    if (f > INT32_MAX)
        return INT32_MAX;
    if (f < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(f);
}

// ---------------------------------------------------------------------------
// Clean-up.

void destroyenc(jpenc_t* enc)
{
    if (!enc)
        return;
    for (jpenc_comp_t& comp : enc->comps)
        jpenc_destroycomp(&comp);
    if (enc->tmpstream)
        stream_close(enc->tmpstream);
    if (enc->cstate)
        jpc_cstate_destroy(enc->cstate);
    delete enc;
}

// Writes ms (and frees it).  0, or -1.
int putms(jpenc_t* enc, stream_t* out, jpc_ms_t* ms)
{
    FATAL_CHECK(ms);
    int ret = jpc_putms(out, enc->cstate, ms);
    jpc_ms_destroy(ms);
    return ret;
}

jpenc_t* createenc(image_t* image, stream_t* out, const char* optstr,
                   OnProgressMessager* progress)
{
    jpenc_opts_t opts;
    if (jpenc_parseopts(optstr, &opts) < 0) {
        std::fputs("invalid JP encoder options", stderr);
        return nullptr;
    }

    if (opts.psnr != 0 && (!(opts.psnr > 0 && opts.psnr <= 200) || opts.rate >= 0 ||
                           !opts.lyrrates.empty())) {
        std::fprintf(stderr, opts.psnr > 0 && opts.psnr <= 200
                                 ? "a target PSNR excludes rate and lyrrates\n"
                                 : "target PSNR must be above 0 and at most 200 dB\n");
        return nullptr;
    }
    if (opts.rate <= 0 && opts.psnr <= 0 && opts.mode == JPENC_MODE_REAL) {
        std::fprintf(stderr, "cannot use real mode for lossless coding\n");
        return nullptr;
    }
    // T.800 A.6.1 can signal code block sides of 4 to 1024 only.
    if (opts.cblkwidth < 4 || opts.cblkwidth > 1024 ||
        (1 << mathx_floorlog2z(opts.cblkwidth)) != opts.cblkwidth) {
        std::fprintf(stderr, "invalid code block width %d\n", opts.cblkwidth);
        return nullptr;
    }
    if (opts.cblkheight < 4 || opts.cblkheight > 1024 ||
        (1 << mathx_floorlog2z(opts.cblkheight)) != opts.cblkheight) {
        std::fprintf(stderr, "invalid code block height %d\n", opts.cblkheight);
        return nullptr;
    }
    if (opts.cblkwidth * opts.cblkheight > 4096) {
        std::fprintf(stderr, "code block size too large\n");
        return nullptr;
    }
    if (opts.maxrlvls < 1) {
        std::fprintf(stderr, "must be at least one resolution level\n");
        return nullptr;
    }

    jpenc_t* enc = new jpenc_t{};
    enc->image = image;
    enc->out = out;
    enc->progress = progress;
    enc->cstate = jpc_cstate_create();
    FATAL_CHECK(enc->cstate);
    enc->imgwidth = image_width(image);
    enc->imgheight = image_height(image);

    enc->tilewidth = opts.tilewidth > 0 ? opts.tilewidth : enc->imgwidth;
    enc->tileheight = opts.tileheight > 0 ? opts.tileheight : enc->imgheight;
    enc->numhtiles = static_cast<int32_t>(mathx_ceildiv(enc->imgwidth, enc->tilewidth));
    enc->numvtiles = static_cast<int32_t>(mathx_ceildiv(enc->imgheight, enc->tileheight));
    enc->numtiles = enc->numhtiles * enc->numvtiles;

    enc->cblksty = (opts.lazy ? JPC_COX_LAZY : 0) | (opts.resetprob ? JPC_COX_RESET : 0) |
                   (opts.termall ? JPC_COX_TERMALL : 0) | (opts.vertcausal ? JPC_COX_VSC : 0) |
                   (opts.segsym ? JPC_COX_SEGSYM : 0);
    // HT code blocks (T.814): the T.800 pass switches do not apply.
    if (opts.ht)
        enc->cblksty = JPC_COX_HT;
    enc->t1sty = enc->cblksty | (opts.ht && opts.htrefine ? T1ENC_HTREF : 0);
    enc->qmfbid = opts.mode == JPENC_MODE_REAL ? JPC_COX_INS : JPC_COX_RFT;
    enc->numcomps = image_numcmpnts(image);
    enc->mctkind = JPENC_MCT_NONE;
    if (opts.mct && enc->numcomps == 3 && image_colormodel(image) == IMAGE_CM_RGB)
        enc->mctkind = opts.mode == JPENC_MODE_REAL ? JPENC_MCT_ICT : JPENC_MCT_RCT;
    enc->prg = opts.prg;
    enc->cblkwidth = opts.cblkwidth;
    enc->cblkheight = opts.cblkheight;
    enc->numdlvls = opts.maxrlvls - 1;
    enc->rate = opts.rate;
    enc->psnr = opts.psnr;

    // MCT weights, trunc(sqrt(v) * 16384).
    static const int32_t ictweights[3] = {28377, 29574, 25778};
    static const int32_t rctweights[3] = {28377, 13584, 13584};

    enc->comps.assign(enc->numcomps, jpenc_comp_t{});
    enc->rawsize = 0;
    for (int i = 0; i < enc->numcomps; ++i) {
        jpenc_comp_t* comp = &enc->comps[i];
        comp->hsamp = image_cmpt_hsubsamp(image, i);
        comp->vsamp = image_cmpt_vsubsamp(image, i);
        comp->prec = image_cmpt_prec(image, i);
        comp->sgnd = image_cmpt_sgnd(image, i);
        comp->mctweight = enc->mctkind == JPENC_MCT_ICT   ? ictweights[i]
                          : enc->mctkind == JPENC_MCT_RCT ? rctweights[i]
                                                          : 16384;
        comp->width = enc->tilewidth / comp->hsamp;
        comp->height = enc->tileheight / comp->vsamp;
        comp->data = matrix_create(comp->height, comp->width);
        if (!comp->data) {
            std::fprintf(stderr, "cannot allocate the samples of component %d\n", i);
            destroyenc(enc);
            return nullptr;
        }
        // Samples are 32-bit cells: the transforms of the integer mode keep
        // up to 28 bits; the real mode is kept to 16, where its indices
        // with their fractional bits stay well inside 32 bits.
        const int maxprec = opts.mode == JPENC_MODE_REAL ? 16 : 28;
        if (comp->prec > maxprec) {
            std::fprintf(stderr, "cannot encode %d-bit samples in %s mode\n", comp->prec,
                         opts.mode == JPENC_MODE_REAL ? "real" : "int");
            destroyenc(enc);
            return nullptr;
        }
        uint64_t cw = static_cast<uint64_t>(image_cmpt_width(image, i));
        uint64_t ch = static_cast<uint64_t>(image_cmpt_height(image, i));
        enc->rawsize += cw * ch * static_cast<uint64_t>(comp->prec) / 8;
    }

    enc->tiles.assign(enc->numtiles, jpenc_tile_t{});
    for (int t = 0; t < enc->numtiles; ++t) {
        jpenc_tile_t* tile = &enc->tiles[t];
        tile->x = (t % enc->numhtiles) * enc->tilewidth;
        tile->y = (t / enc->numhtiles) * enc->tileheight;
        tile->width = std::min(enc->tilewidth, enc->imgwidth - tile->x);
        tile->height = std::min(enc->tileheight, enc->imgheight - tile->y);
        tile->area = static_cast<int64_t>(tile->width) * tile->height;
        tile->realmode = 0;
    }

    enc->lyrrates = std::move(opts.lyrrates);
    enc->numlyrs = static_cast<int>(enc->lyrrates.size()) + 1;

    // maxlen = ceil(raw size x rate), held within 63 bits.
    long double ml = std::ceil(static_cast<long double>(enc->rawsize) * enc->rate / 16384.0L);
    if (ml > static_cast<long double>(INT64_MAX / 2))
        ml = static_cast<long double>(INT64_MAX / 2);
    enc->maxlen = static_cast<int64_t>(ml);

    jpc_setdbglevel(opts.debug);
    util_setdbglevel(opts.debug);
    return enc;
}

// ---------------------------------------------------------------------------
// Headers.

void fillcod(const jpenc_t* enc, jpc_cod_t* cod)
{
    cod->csty = 0;
    cod->prg = static_cast<uint8_t>(enc->prg);
    cod->numlyrs = static_cast<uint16_t>(enc->numlyrs);
    cod->mctrans = enc->mctkind != JPENC_MCT_NONE ? 1 : 0;
    cod->compparms.csty = 0;
    cod->compparms.numdlvls = static_cast<uint8_t>(enc->numdlvls);
    cod->compparms.cblkwidthval = static_cast<uint8_t>(mathx_floorlog2(enc->cblkwidth) - 2);
    cod->compparms.cblkheightval = static_cast<uint8_t>(mathx_floorlog2(enc->cblkheight) - 2);
    cod->compparms.cblksty = static_cast<uint8_t>(enc->cblksty);
    cod->compparms.qmfbid = static_cast<uint8_t>(enc->qmfbid);
    cod->compparms.numrlvls = 0;
}

int putmainhdr(jpenc_t* enc)
{
    stream_t* out = enc->out;
    int64_t startcnt = stream_getrwcount(out);

    if (putms(enc, out, jpc_ms_create(JPC_MS_SOC)) < 0) {
        std::fprintf(stderr, "cannot write SOC marker\n");
        return -1;
    }

    jpc_ms_t* ms = jpc_ms_create(JPC_MS_SIZ);
    FATAL_CHECK(ms);
    jpc_siz_t* siz = &ms->parms.siz;
    // Rsiz bit 14: a CAP marker segment follows (HT code blocks).
    siz->caps = (enc->cblksty & JPC_COX_HT) ? 0x4000 : 0;
    siz->width = static_cast<uint32_t>(enc->imgwidth);
    siz->height = static_cast<uint32_t>(enc->imgheight);
    siz->xoff = siz->yoff = 0;
    siz->tilewidth = static_cast<uint32_t>(enc->tilewidth);
    siz->tileheight = static_cast<uint32_t>(enc->tileheight);
    siz->tilexoff = siz->tileyoff = 0;
    siz->numcomps = static_cast<uint16_t>(enc->numcomps);
    siz->comps = static_cast<jpc_sizcomp_t*>(std::calloc(enc->numcomps, sizeof(jpc_sizcomp_t)));
    FATAL_CHECK(siz->comps);
    for (int i = 0; i < enc->numcomps; ++i) {
        siz->comps[i].prec = static_cast<uint8_t>(enc->comps[i].prec);
        siz->comps[i].sgnd = static_cast<uint8_t>(enc->comps[i].sgnd ? 1 : 0);
        siz->comps[i].hsamp = static_cast<uint8_t>(enc->comps[i].hsamp);
        siz->comps[i].vsamp = static_cast<uint8_t>(enc->comps[i].vsamp);
    }
    if (putms(enc, out, ms) < 0) {
        std::fprintf(stderr, "cannot write SIZ marker\n");
        return -1;
    }

    if (enc->cblksty & JPC_COX_HT) {
        // CAP: Part 15, all code blocks HT, one HT set each; Ccap15 bit 5
        // for the irreversible path and in bits 0-4 a bound B of the
        // magnitude bit planes (B - 8 for B of 9 to 27): the precision plus
        // the largest transform gain and the guard bits.
        int maxprec = 0;
        for (int i = 0; i < enc->numcomps; ++i)
            maxprec = std::max(maxprec, static_cast<int>(enc->comps[i].prec));
        const int magb = std::clamp(maxprec + 5 - 8, 0, 19);
        ms = jpc_ms_create(JPC_MS_CAP);
        FATAL_CHECK(ms);
        ms->parms.cap.pcap = JPC_CAP_PART15;
        ms->parms.cap.numccaps = 1;
        ms->parms.cap.ccaps[0] = static_cast<uint16_t>((enc->qmfbid == JPC_COX_INS ? 0x20 : 0) | magb);
        if (putms(enc, out, ms) < 0) {
            std::fprintf(stderr, "cannot write CAP marker\n");
            return -1;
        }
    }

    // The decomposition levels travel in 8 bits and at most 32 are allowed:
    // more cannot be written.
    if (enc->numdlvls > JPC_MAXDLVLS) {
        std::fprintf(stderr, "cannot write COD marker\n");
        return -1;
    }
    ms = jpc_ms_create(JPC_MS_COD);
    FATAL_CHECK(ms);
    fillcod(enc, &ms->parms.cod);
    if (putms(enc, out, ms) < 0) {
        std::fprintf(stderr, "cannot write COD marker\n");
        return -1;
    }

    // A placeholder: the real quantization parameters travel in the
    // tile-part header.  HT code streams of one tile get the real ones in
    // the main header too, written with the tile (ojph_expand reads them
    // only there).
    if ((enc->cblksty & JPC_COX_HT) && enc->numtiles == 1) {
        enc->mainqcdpending = 1;
        enc->len += stream_getrwcount(out) - startcnt;
        return 0;
    }
    ms = jpc_ms_create(JPC_MS_QCD);
    FATAL_CHECK(ms);
    jpc_qcxcp_t* qcd = &ms->parms.qcd.compparms;
    qcd->qntsty = JPC_QCX_SIQNT;
    qcd->numguard = 2;
    qcd->numstepsizes = 1;
    qcd->stepsizes[0] = 0;
    if (putms(enc, out, ms) < 0)
        return -1;

    enc->len += stream_getrwcount(out) - startcnt;
    return 0;
}

// ---------------------------------------------------------------------------
// The tile.

// Fills the quantization parameters of comp.
void fillqcx(const jpenc_comp_t* comp, int numguard, jpc_qcxcp_t* qcx)
{
    qcx->qntsty = comp->qmfbid == JPC_COX_INS ? JPC_QCX_SEQNT : JPC_QCX_NOQNT;
    qcx->numguard = static_cast<uint8_t>(numguard);
    qcx->numstepsizes = comp->numstepsizes;
    for (int i = 0; i < comp->numstepsizes; ++i)
        qcx->stepsizes[i] = comp->compcparms.stepsizes[i];
}

bool sameqcx(const jpc_qcxcp_t& a, const jpc_qcxcp_t& b)
{
    if (a.qntsty != b.qntsty || a.numguard != b.numguard || a.numstepsizes != b.numstepsizes)
        return false;
    for (int i = 0; i < a.numstepsizes; ++i)
        if (a.stepsizes[i] != b.stepsizes[i])
            return false;
    return true;
}

// QCD of component 0, and QCC for the components whose quantization
// differs from it (another precision, more guard bits).
int putqcx(jpenc_t* enc, stream_t* out, const int* numguard)
{
    jpc_ms_t* ms = jpc_ms_create(JPC_MS_QCD);
    FATAL_CHECK(ms);
    fillqcx(&enc->comps[0], numguard[0], &ms->parms.qcd.compparms);
    jpc_qcxcp_t qcd0 = ms->parms.qcd.compparms;
    if (putms(enc, out, ms) < 0)
        return -1;
    for (int i = 1; i < enc->numcomps; ++i) {
        jpc_qcxcp_t qcc;
        fillqcx(&enc->comps[i], numguard[i], &qcc);
        if (sameqcx(qcc, qcd0))
            continue;
        ms = jpc_ms_create(JPC_MS_QCC);
        FATAL_CHECK(ms);
        ms->parms.qcc.compno = static_cast<uint16_t>(i);
        ms->parms.qcc.compparms = qcc;
        if (putms(enc, out, ms) < 0)
            return -1;
    }
    return 0;
}


// The stages of one tile, in the order encodetile runs them.  Each returns
// 0, or -1 after a message or when a report cancelled the run.


// Sizes the tile's components, builds their coding trees and reads their
// samples from the image.
int readtile(jpenc_t* enc, int tileno)
{
    jpenc_tile_t* tile = &enc->tiles[tileno];
    image_t* image = enc->image;
    const int n = enc->numcomps;

    jpenc_report(enc, 10);
    tile->realmode = enc->mctkind == JPENC_MCT_ICT ? 1 : 0;

    jpenc_treeparams_t params;
    params.maxrlvls = enc->numdlvls + 1;
    params.cblkwidth = enc->cblkwidth;
    params.cblkheight = enc->cblkheight;
    params.qmfbid = enc->qmfbid;
    const int32_t tv = tileno / enc->numhtiles;
    const int32_t th = tileno % enc->numhtiles;
    for (int i = 0; i < n; ++i) {
        jpenc_report(enc, 10);
        jpenc_comp_t* comp = &enc->comps[i];
        int32_t cw = image_cmpt_width(image, i);
        int32_t ch = image_cmpt_height(image, i);
        int32_t rows = std::min((tv + 1) * comp->height, ch) - tv * comp->height;
        int32_t cols = std::min((th + 1) * comp->width, cw) - th * comp->width;
        if (matrix_resize(comp->data, rows, cols) < 0) {
            std::fprintf(stderr, "cannot size the samples of component %d\n", i);
            return -1;
        }
        if (jpenc_buildcomp(comp, &params) < 0)
            return -1;
        if (comp->qmfbid == JPC_COX_INS)
            tile->realmode = 1;
    }

    return enc->stopped ? -1 : 0;
}


// Tier-1 coding of every code block; with a goal for the tile the passes
// that cannot be part of it are left uncoded.  The reports climb from 38 to
// JPENC_TIER1_END as code blocks complete, and later reports stay there.
constexpr int32_t JPENC_TIER1_END = 70;

int tier1(jpenc_t* enc, t1est_goal_t goal)
{
    auto tick = [](void* arg, int64_t done, int64_t total) {
        jpenc_t* e = static_cast<jpenc_t*>(arg);
        e->minpercent = 38 + static_cast<int32_t>((JPENC_TIER1_END - 38) * done /
                                                  std::max<int64_t>(total, 1));
        jpenc_report(e, e->minpercent);
        return e->stopped ? 1 : 0;
    };
    if (t1enc_encodecomps(enc->comps.data(), enc->numcomps, enc->t1sty, goal,
                          enc->progress ? +tick : nullptr, enc) < 0)
        return -1;
    enc->minpercent = JPENC_TIER1_END;
    jpenc_report(enc, 30);
    return enc->stopped ? -1 : 0;
}

// The tile-part header, from SOT to SOD, into a fresh tile-part buffer
// (enc->tmpstream); hdrlen: its length.
int puttilehdr(jpenc_t* enc, int tileno, const std::vector<int>& numguard, int64_t* hdrlen)
{
    enc->tmpstream = stream_memopen(nullptr, 0);
    if (!enc->tmpstream) {
        std::fprintf(stderr, "not enough memory for the tile-part\n");
        return -1;
    }
    stream_t* tmp = enc->tmpstream;

    if (enc->mainqcdpending) {
        // The end of the main header: this tile's quantization.
        const int64_t startcnt = stream_getrwcount(enc->out);
        if (putqcx(enc, enc->out, numguard.data()) < 0)
            return -1;
        enc->len += stream_getrwcount(enc->out) - startcnt;
        enc->mainqcdpending = 0;
    }

    jpc_ms_t* ms = jpc_ms_create(JPC_MS_SOT);
    FATAL_CHECK(ms);
    ms->parms.sot.tileno = static_cast<uint16_t>(tileno);
    ms->parms.sot.len = 0;
    ms->parms.sot.partno = 0;
    ms->parms.sot.numparts = 1;
    if (putms(enc, tmp, ms) < 0) {
        std::fprintf(stderr, "cannot write SOT marker\n");
        return -1;
    }
    ms = jpc_ms_create(JPC_MS_COD);
    FATAL_CHECK(ms);
    fillcod(enc, &ms->parms.cod);
    if (putms(enc, tmp, ms) < 0)
        return -1;
    if (putqcx(enc, tmp, numguard.data()) < 0)
        return -1;
    if (putms(enc, tmp, jpc_ms_create(JPC_MS_SOD)) < 0) {
        std::fprintf(stderr, "cannot write SOD marker\n");
        return -1;
    }
    *hdrlen = stream_tell(tmp);
    return *hdrlen < 0 ? -1 : 0;
}

// The layer budgets of the tile (cumulative bytes of its packets; -1 for a
// top layer without a limit).  A target too small for the headers leaves
// every layer empty; layers below the top never get a negative budget.
std::vector<int64_t> layerbudgets(jpenc_t* enc, int tileno, int64_t hdrlen)
{
    const int64_t tilebudget = enc->rate >= 0 ? jpenc_tilebytes(enc, tileno, hdrlen) : 0;
    FATAL_CHECK(enc->numlyrs == static_cast<int>(enc->lyrrates.size()) + 1);
    std::vector<int64_t> cumlens(enc->numlyrs);
    for (int j = 0; j < enc->numlyrs - 1; ++j) {
        jpenc_report(enc, 30);
        long double v = 0.0L;
        if (enc->rate > 0)
            v = std::trunc(static_cast<long double>(tilebudget) * enc->lyrrates[j] / enc->rate);
        if (!(v >= 0.0L))
            v = 0.0L;
        if (v > static_cast<long double>(INT64_MAX / 2))
            v = static_cast<long double>(INT64_MAX / 2);
        cumlens[j] = static_cast<int64_t>(v);
    }
    cumlens[enc->numlyrs - 1] = enc->rate < 0 ? -1 : tilebudget;
    return cumlens;
}

// Rate allocation: the assignment of the coding passes to layers.  With an
// error to reach (dist >= 0) the budget is the fewest bytes that reach it.
// Code blocks that tier-1 left short where the allocation reached their
// last coded pass are coded in full and the allocation made again.
int allocrate(jpenc_t* enc, std::vector<int64_t> cumlens, double dist)
{
    enc->alloctrials = 0;  // the reports climb on through every layer and round
    for (;;) {
        if (dist >= 0) {
            cumlens.back() = jpenc_bytesfordist(enc, dist);
            if (cumlens.back() < 0)
                FATAL_CHECK(!"rate allocation ran out of memory");
        }
        const int numempty = jpenc_ratealloc(enc, enc->numlyrs, cumlens.data());
        if (numempty < 0 && enc->stopped)
            return -1;
        if (numempty < 0)
            FATAL_CHECK(!"rate allocation ran out of memory");
        const int redone = t1enc_completecomps(enc->comps.data(), enc->numcomps, enc->t1sty);
        if (redone < 0)
            return -1;
        if (redone == 0) {
            for (int i = 0; i < numempty; ++i)
                std::fprintf(stderr, "warning: empty layer generated\n");
            return 0;
        }
    }
}

// Tier-2: the packets after the tile-part header, the tile-part length
// patched into SOT, and the tile-part copied to the output.
int tier2(jpenc_t* enc)
{
    stream_t* tmp = enc->tmpstream;
    if (t2enc_encodepkts(enc->comps.data(), enc->numcomps, enc->numlyrs, enc->prg, tmp) < 0) {
        std::fprintf(stderr, "cannot write the packets of the tile\n");
        return -1;
    }

    int64_t tilelen = stream_tell(tmp);
    if (tilelen < 0 || tilelen > UINT32_MAX || stream_seek(tmp, 6, SEEK_SET) != 6 ||
        jpc_putuint32(tmp, static_cast<uint32_t>(tilelen)) < 0 || stream_rewind(tmp) < 0) {
        std::fprintf(stderr, "cannot finish the tile-part\n");
        return -1;
    }
    if (stream_copy(enc->out, tmp, tilelen) < 0) {
        std::fprintf(stderr, "cannot write the tile-part\n");
        return -1;
    }
    enc->len += tilelen;
    stream_close(tmp);
    enc->tmpstream = nullptr;
    return 0;
}

// The stages of a tile before tier-1; numguard: the guard bits of each
// component.
int transformtile(jpenc_t* enc, int tileno, std::vector<int>& numguard)
{
    const jpenc_tile_t* tile = &enc->tiles[tileno];
    if (readtile(enc, tileno) < 0)
        return -1;
    return jpenc_transform(enc, tile, numguard);
}

int encodetile(jpenc_t* enc, int tileno)
{
    std::vector<int> numguard;
    int64_t hdrlen = 0;
    if (transformtile(enc, tileno, numguard) < 0 ||
        puttilehdr(enc, tileno, numguard, &hdrlen) < 0)
        return -1;
    // What the tile is to reach: its layers' budgets, or the error that a
    // target PSNR leaves.
    const std::vector<int64_t> cumlens = layerbudgets(enc, tileno, hdrlen);
    const double dist = enc->psnr > 0 ? jpenc_distforpsnr(enc, enc->psnr) : -1;
    const t1est_goal_t goal = dist >= 0 ? t1est_goal_t{-1, dist}
                                        : t1est_goal_t{double(cumlens.back()), -1};
    if (tier1(enc, goal) < 0 || allocrate(enc, cumlens, dist) < 0)
        return -1;
    return tier2(enc);
}

// The end of the code stream: EOC and the flush.
int putend(jpenc_t* enc)
{
    if (putms(enc, enc->out, jpc_ms_create(JPC_MS_EOC)) < 0) {
        std::fprintf(stderr, "cannot write the end of the code stream (EOC marker)\n");
        return -1;
    }
    enc->len += 2;
    jpenc_report(enc, 81);
    if (enc->stopped || stream_flush(enc->out) < 0)
        return -1;
    jpenc_report(enc, 82);
    return enc->stopped ? -1 : 0;
}

// The main header, the tiles and EOC.  0, or -1.
int encodeall(jpenc_t* enc)
{
    jpenc_report(enc, 10);
    if (enc->stopped || putmainhdr(enc) < 0)
        return -1;
    jpenc_report(enc, 10);
    for (int t = 0; t < enc->numtiles; ++t)
        if (encodetile(enc, t) < 0)
            return -1;
    jpenc_report(enc, 80);
    if (enc->stopped)
        return -1;
    return putend(enc);
}

} // namespace

void jpenc_report(jpenc_t* enc, int32_t percent)
{
    if (!enc->progress || enc->stopped)
        return;
    if (percent > enc->minpercent && enc->minpercent > 0)
        enc->minpercent = percent;
    enc->progress->report(std::max(percent, enc->minpercent));
    if (enc->progress->cancelled())
        enc->stopped = true;
}

int64_t jpenc_tilebytes(const jpenc_t* enc, int tileno, int64_t hdrlen)
{
    int64_t areas = 0;
    for (int t = tileno; t < enc->numtiles; ++t)
        areas += enc->tiles[t].area;
    int64_t avail = enc->maxlen - enc->len - hdrlen - 2;
    if (avail < 0)
        avail = 0;
    return static_cast<int64_t>(static_cast<long double>(avail) * enc->tiles[tileno].area / areas);
}

int jpenc_parseopts(const char* optstr, jpenc_opts_t* opts)
{
    opts->debug = 0;
    opts->tilewidth = -1;
    opts->tileheight = -1;
    opts->maxrlvls = 6;
    opts->cblkwidth = 64;
    opts->cblkheight = 64;
    opts->prg = JPC_COD_LRCPPRG;
    opts->lyrrates.clear();
    opts->rate = -1;
    opts->psnr = 0;
    opts->lazy = 0;
    opts->termall = 0;
    opts->segsym = 0;
    opts->vertcausal = 0;
    opts->resetprob = 0;
    opts->ht = 0;
    opts->htrefine = 0;
    opts->mct = 1;
    opts->mode = JPENC_MODE_INT;

    optparser_t* parser = optparser_create(optstr ? optstr : "");
    if (!parser)
        return -1;
    while (optparser_next(parser) == 0) {
        const char* name = optparser_name(parser);
        const char* value = optparser_value(parser);
        switch (optentry_id(optentry_lookup(opttab, name))) {
        case OPT_DEBUG:
            opts->debug = optint(value);
            break;
        case OPT_CBLKWIDTH:
            opts->cblkwidth = optint(value);
            break;
        case OPT_CBLKHEIGHT:
            opts->cblkheight = optint(value);
            break;
        case OPT_MODE: {
            const optentry_t* e = optentry_lookup(modetab, value);
            if (!e)
                std::fprintf(stderr, "ignoring invalid mode %s\n", value);
            else
                opts->mode = e->id;
            break;
        }
        case OPT_PRG: {
            const optentry_t* e = optentry_lookup(prgtab, value);
            if (!e)
                std::fprintf(stderr, "ignoring invalid progression order %s\n", value);
            else
                opts->prg = e->id;
            break;
        }
        case OPT_NOMCT:
            opts->mct = 0;
            break;
        case OPT_MAXRLVLS:
            opts->maxrlvls = optint(value);
            break;
        case OPT_RATE:
            opts->rate = fixreal(util_atof(value));
            break;
        case OPT_PSNR:
            opts->psnr = util_atof(value);
            break;
        case OPT_LYRRATES: {
            int count = 0;
            double* values = nullptr;
            if (util_splitnums(value, &count, &values) == 0) {
                opts->lyrrates.resize(count);
                for (int i = 0; i < count; ++i)
                    opts->lyrrates[i] = fixreal(values[i]);
            } else {
                std::fprintf(stderr, "warning: invalid lyrrates value ignored\n");
            }
            std::free(values);
            break;
        }
        case OPT_LAZY:
            opts->lazy = 1;
            break;
        case OPT_TERMALL:
            opts->termall = 1;
            break;
        case OPT_SEGSYM:
            opts->segsym = 1;
            break;
        case OPT_VERTCAUSAL:
            opts->vertcausal = 1;
            break;
        case OPT_RESETPROB:
            opts->resetprob = 1;
            break;
        case OPT_HT:
            opts->ht = 1;
            break;
        case OPT_HTREFINE:
            opts->htrefine = 1;
            break;
        default:
            std::fprintf(stderr, "warning: ignoring invalid option %s\n", name);
            break;
        }
    }
    optparser_destroy(parser);
    // HT code blocks are sent whole, with the zero bit-planes of the
    // candidate chosen: one layer.
    if (opts->ht && !opts->lyrrates.empty()) {
        std::fprintf(stderr, "warning: lyrrates ignored with ht (one layer)\n");
        opts->lyrrates.clear();
    }
    // Layers travel in 16 bits.
    if (static_cast<int64_t>(opts->lyrrates.size()) > JPC_MAXLYRS - 1) {
        std::fprintf(stderr, "warning: invalid lyrrates value ignored\n");
        opts->lyrrates.clear();
    }
    return 0;
}

int32_t jpenc_encode(image_t* image, stream_t* out, const char* optstr,
                     OnProgressMessager* progress)
{
    if (progress) {
        progress->report(10);
        if (progress->cancelled()) {
            std::fprintf(stderr, "encoding cancelled\n");
            return -1;
        }
    }
    jpc_inittables();
    if (!image || !out || image_numcmpnts(image) < 1) {
        std::fprintf(stderr, "no image to encode\n");
        return -1;
    }
    jpenc_t* enc = createenc(image, out, optstr, progress);
    if (!enc)
        return -1;
    const int ret = encodeall(enc);
    if (enc->stopped)
        std::fprintf(stderr, "encoding cancelled\n");
    destroyenc(enc);
    if (ret < 0)
        return -1;
    if (progress)
        progress->report(90);
    return 0;
}

double jpenc_distforpsnr(const jpenc_t* enc, double psnr)
{
    long double sum = 0;
    for (int i = 0; i < enc->numcomps; ++i) {
        const jpenc_comp_t* comp = &enc->comps[i];
        const long double peak = std::ldexp(1.0L, comp->prec) - 1;
        sum += static_cast<long double>(matrix_numrows(comp->data)) * matrix_numcols(comp->data) *
               peak * peak;
    }
    return static_cast<double>(sum * std::pow(10.0L, -psnr / 10));
}

jpenc_t* jpenc_prepare(image_t* image, const char* optstr, double psnr, double bestpsnr,
                       OnProgressMessager* progress)
{
    if (progress) {
        progress->report(10);
        if (progress->cancelled()) {
            std::fprintf(stderr, "encoding cancelled\n");
            return nullptr;
        }
    }
    jpc_inittables();
    if (!image || image_numcmpnts(image) < 1) {
        std::fprintf(stderr, "no image to encode\n");
        return nullptr;
    }
    char aim[48];
    std::snprintf(aim, sizeof aim, " psnr=%.4f", psnr);
    const std::string opts = std::string(optstr ? optstr : "") + aim;
    jpenc_t* enc = createenc(image, nullptr, opts.c_str(), progress);
    if (!enc)
        return nullptr;
    FATAL_CHECK(enc->numtiles == 1 && enc->numlyrs == 1);
    enc->minpercent = 15;
    if (transformtile(enc, 0, enc->numguard) < 0 ||
        tier1(enc, t1est_goal_t{-1, jpenc_distforpsnr(enc, bestpsnr)}) < 0) {
        if (enc->stopped)
            std::fprintf(stderr, "encoding cancelled\n");
        destroyenc(enc);
        return nullptr;
    }
    return enc;
}

int jpenc_write(jpenc_t* enc, stream_t* out, t1est_goal_t goal)
{
    enc->out = out;
    enc->len = 0;
    enc->mainqcdpending = 0;
    int64_t hdrlen = 0;
    int ret = putmainhdr(enc) < 0 || puttilehdr(enc, 0, enc->numguard, &hdrlen) < 0 ? -1 : 0;
    if (ret == 0) {
        // A byte budget leaves room for the headers and EOC, as layerbudgets.
        const double avail = goal.bytes - double(enc->len + hdrlen + 2);
        const int64_t budget = goal.bytes < 0 ? 0 : static_cast<int64_t>(std::max(avail, 0.0));
        ret = allocrate(enc, {budget}, goal.bytes < 0 ? goal.dist : -1) < 0 || tier2(enc) < 0 ||
                      putend(enc) < 0
                  ? -1
                  : 0;
    }
    if (ret < 0) {
        if (enc->tmpstream)
            stream_close(enc->tmpstream);
        enc->tmpstream = nullptr;
        if (enc->stopped)
            std::fprintf(stderr, "encoding cancelled\n");
    }
    return ret;
}

void jpenc_destroy(jpenc_t* enc)
{
    destroyenc(enc);
}
