// Decoder driver: the marker state machine over the code stream, tiles and
// tile-parts, and the reconstruction of each tile (dequantization, inverse
// wavelet and component transforms, level shift, clipping) into the image.
#include "decoder/jpdec.h"

#include "base/image.h"
#include "codestream/jpc.h"
#include "tier1/jpcod.h"
#include "decoder/jpdec_tile.h"
#include "base/mathx.h"
#include "transform/mct.h"
#include "base/stream.h"
#include "tier2/t2dec.h"
#include "base/threadpool.h"
#include "transform/qmfb.h"
#include "transform/tsfb.h"
#include "base/util.h"
#include "base/simd.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "tier1/t1dec.h"
#include "decoder/jpdec_lazy.h"

namespace {

// Decoder states (bits, so that a marker can allow several).
constexpr int DS_MHSOC = 0x01;   // expecting SOC
constexpr int DS_MHSIZ = 0x02;   // expecting SIZ
constexpr int DS_MH = 0x04;      // main header
constexpr int DS_TPHSOT = 0x08;  // expecting SOT
constexpr int DS_TPH = 0x10;     // tile-part header
constexpr int DS_MT = 0x20;      // end

// Limits on declared sizes: beyond these a code stream is refused rather
// than making the decoder allocate without bound.
constexpr int MAXPREC = 24;
constexpr int MAXNUMBPS = 30;

enum { OPT_MAXLYRS, OPT_DEBUG, OPT_MAXSAMPLES };
const optentry_t decopts[] = {
    {OPT_MAXLYRS, "maxlyrs"},
    {OPT_DEBUG, "debug"},
    {OPT_MAXSAMPLES, "maxsamples"},
    {-1, nullptr},
};

struct dec_mstabent_t {
    int id;      // marker code, -1 for every other code
    int validstates;
    int (*action)(dec_t* dec, jpc_ms_t* ms);
};

int dec_soc(dec_t* dec, jpc_ms_t*);
int dec_siz(dec_t* dec, jpc_ms_t* ms);
int dec_cod(dec_t* dec, jpc_ms_t* ms);
int dec_coc(dec_t* dec, jpc_ms_t* ms);
int dec_rgn(dec_t* dec, jpc_ms_t* ms);
int dec_qcd(dec_t* dec, jpc_ms_t* ms);
int dec_qcc(dec_t* dec, jpc_ms_t* ms);
int dec_poc(dec_t* dec, jpc_ms_t* ms);
int dec_ppm(dec_t* dec, jpc_ms_t* ms);
int dec_ppt(dec_t* dec, jpc_ms_t* ms);
int dec_sot(dec_t* dec, jpc_ms_t* ms);
int dec_sod(dec_t* dec, jpc_ms_t* ms);
int dec_eoc(dec_t* dec, jpc_ms_t* ms);
int dec_crg(dec_t*, jpc_ms_t*);
int dec_cap(dec_t*, jpc_ms_t* ms);
int dec_com(dec_t*, jpc_ms_t* ms);
int dec_unk(dec_t*, jpc_ms_t* ms);
int dec_none(dec_t*, jpc_ms_t*) { return 0; }

const dec_mstabent_t dec_mstab[] = {
    {JPC_MS_SOC, DS_MHSOC, dec_soc},
    {JPC_MS_SOT, DS_MH | DS_TPHSOT, dec_sot},
    {JPC_MS_SOD, DS_TPH, dec_sod},
    {JPC_MS_EOC, DS_TPHSOT, dec_eoc},
    {JPC_MS_SIZ, DS_MHSIZ, dec_siz},
    {JPC_MS_COD, DS_MH | DS_TPH, dec_cod},
    {JPC_MS_COC, DS_MH | DS_TPH, dec_coc},
    {JPC_MS_RGN, DS_MH | DS_TPH, dec_rgn},
    {JPC_MS_QCD, DS_MH | DS_TPH, dec_qcd},
    {JPC_MS_QCC, DS_MH | DS_TPH, dec_qcc},
    {JPC_MS_POC, DS_MH | DS_TPH, dec_poc},
    {JPC_MS_TLM, DS_MH, dec_none},
    {JPC_MS_PLM, DS_MH, dec_none},
    {JPC_MS_PLT, DS_TPH, dec_none},
    {JPC_MS_PPM, DS_MH, dec_ppm},
    {JPC_MS_PPT, DS_TPH, dec_ppt},
    {JPC_MS_SOP, 0, dec_none},
    {JPC_MS_CRG, DS_MH, dec_crg},
    {JPC_MS_CAP, DS_MH, dec_cap},
    {JPC_MS_CPF, DS_MH, dec_none},
    {JPC_MS_COM, DS_MH | DS_TPH, dec_com},
    {-1, DS_MH | DS_TPH, dec_unk},
};

const dec_mstabent_t* dec_mstab_lookup(int id)
{
    const dec_mstabent_t* ent = dec_mstab;
    while (ent->id >= 0 && ent->id != id)
        ++ent;
    return ent;
}

// ---------------------------------------------------------------------------
// Coding parameters

// The parameters that the segment applies to: the main header's, or those
// of the current tile at its first tile-part.
dec_cp_t* dec_curcp(dec_t* dec)
{
    if (dec->state == DS_MH)
        return dec->cp;
    dec_tile_t* tile = dec->curtile;
    if (!tile || tile->numparts != 0)
        return nullptr;
    return tile->cp;
}

void dec_applycox(dec_ccp_t* ccp, const jpc_coxcp_t* cox)
{
    ccp->numrlvls = cox->numdlvls + 1;
    ccp->cblkwidthexpn = cox->cblkwidthval + 2;
    ccp->cblkheightexpn = cox->cblkheightval + 2;
    ccp->qmfbid = cox->qmfbid;
    ccp->cblksty = cox->cblksty;
    ccp->prcflag = cox->csty & JPC_COX_PRT;
    if (ccp->prcflag) {
        for (int i = 0; i < cox->numrlvls && i < JPDEC_MAXRLVLS; ++i) {
            ccp->prcwidthexpns[i] = cox->rlvls[i].prcwidth;
            ccp->prcheightexpns[i] = cox->rlvls[i].prcheight;
        }
    }
    ccp->flags |= JPDEC_CSET;
}

void dec_applyqcx(dec_ccp_t* ccp, const jpc_qcxcp_t* qcx)
{
    ccp->qsty = qcx->qntsty;
    ccp->numstepsizes = std::min(qcx->numstepsizes, JPDEC_MAXSTEPSIZES);
    for (int i = 0; i < ccp->numstepsizes; ++i)
        ccp->stepsizes[i] = qcx->stepsizes[i];
    ccp->numguardbits = qcx->numguard;
    ccp->flags |= JPDEC_QSET;
}

// The code-block styles that tier-1 decoding implements: the six switches
// of T.800 Table A.19.  Every COD and COC passes here, so this is the one
// place where a code-block style is accepted or refused.
bool dec_checkcblksty(int cblksty)
{
    // HT code blocks go to the HT block decoder through tier-1; HT and
    // T.800 code blocks mixed in one tile-component are not decoded.
    if ((cblksty & JPDEC_CBLK_HT) && (cblksty & JPC_COX_HTMIXED)) {
        std::fputs("unsupported code-block style: HT and T.800 code blocks mixed\n", stderr);
        return false;
    }
    if (cblksty & ~(JPDEC_CBLK_T800 | JPDEC_CBLK_HT)) {
        std::fprintf(stderr, "unsupported code-block style 0x%02x\n", unsigned(cblksty));
        return false;
    }
    return true;
}

bool dec_checkcox(const jpc_coxcp_t* cox)
{
    if (cox->numdlvls > JPDEC_MAXRLVLS - 1 || cox->qmfbid > 1 ||
        cox->cblkwidthval > 8 || cox->cblkheightval > 8 ||
        cox->cblkwidthval + cox->cblkheightval > 8) {
        std::fputs("unsupported coding style parameters\n", stderr);
        return false;
    }
    return dec_checkcblksty(cox->cblksty);
}

int dec_cod(dec_t* dec, jpc_ms_t* ms)
{
    dec_cp_t* cp = dec_curcp(dec);
    if (!cp)
        return -1;
    const jpc_cod_t* cod = &ms->parms.cod;
    if (!dec_checkcox(&cod->compparms))
        return -1;
    if (cod->prg > JPC_PRG_CPRL || cod->numlyrs == 0) {
        std::fputs("unsupported coding style\n", stderr);
        return -1;
    }
    cp->flags |= JPDEC_CP_CSET;
    cp->prgord = cod->prg;
    cp->mctid = !cod->mctrans ? JPDEC_MCT_NONE
                              : (cod->compparms.qmfbid ? JPDEC_MCT_RCT : JPDEC_MCT_ICT);
    cp->numlyrs = cod->numlyrs;
    cp->csty = cod->csty & (JPDEC_SOP | JPDEC_EPH);
    for (dec_ccp_t& ccp : cp->ccps) {
        if (!(ccp.flags & JPDEC_COCSET))
            dec_applycox(&ccp, &cod->compparms);
    }
    return 0;
}

// The parameters of component compno that a COC, RGN or QCC segment
// (named by type) applies to; nullptr, after a message for a component
// beyond the image's, when there are none.
static dec_ccp_t* dec_curccp(dec_t* dec, int compno, const char* type)
{
    dec_cp_t* cp = dec_curcp(dec);
    if (!cp)
        return nullptr;
    if (compno >= dec->numcomps) {
        std::fprintf(stderr, "invalid component number in %s marker segment\n", type);
        return nullptr;
    }
    return &cp->ccps[compno];
}

int dec_coc(dec_t* dec, jpc_ms_t* ms)
{
    const jpc_coc_t* coc = &ms->parms.coc;
    dec_ccp_t* ccp = dec_curccp(dec, coc->compno, "COC");
    if (!ccp || !dec_checkcox(&coc->compparms))
        return -1;
    dec_applycox(ccp, &coc->compparms);
    ccp->flags |= JPDEC_COCSET;
    return 0;
}

int dec_rgn(dec_t* dec, jpc_ms_t* ms)
{
    const jpc_rgn_t* rgn = &ms->parms.rgn;
    dec_ccp_t* ccp = dec_curccp(dec, rgn->compno, "RGN");
    if (!ccp)
        return -1;
    ccp->roishift = rgn->roishift;
    return 0;
}

int dec_qcd(dec_t* dec, jpc_ms_t* ms)
{
    dec_cp_t* cp = dec_curcp(dec);
    if (!cp)
        return -1;
    for (dec_ccp_t& ccp : cp->ccps) {
        if (!(ccp.flags & JPDEC_QCCSET))
            dec_applyqcx(&ccp, &ms->parms.qcd.compparms);
    }
    cp->flags |= JPDEC_CP_QSET;
    return 0;
}

int dec_qcc(dec_t* dec, jpc_ms_t* ms)
{
    const jpc_qcc_t* qcc = &ms->parms.qcc;
    dec_ccp_t* ccp = dec_curccp(dec, qcc->compno, "QCC");
    if (!ccp)
        return -1;
    dec_applyqcx(ccp, &qcc->compparms);
    ccp->flags |= JPDEC_QCCSET;
    return 0;
}

int dec_poc(dec_t* dec, jpc_ms_t* ms)
{
    dec_cp_t* cp = dec_curcp(dec);
    if (!cp)
        return -1;
    pchglist_t* list = pchglist_create();
    if (!list)
        return -1;
    const jpc_poc_t* poc = &ms->parms.poc;
    for (int i = 0; i < poc->numpchgs; ++i) {
        const jpc_pocpchg_t* p = &poc->pchgs[i];
        pchg_t* pchg = new (std::nothrow) pchg_t;
        if (!pchg) {
            pchglist_destroy(list);
            return -1;
        }
        pchg->prgord = p->prgord;
        pchg->rlvlnostart = p->rlvlnostart;
        pchg->rlvlnoend = p->rlvlnoend;
        pchg->compnostart = p->compnostart;
        pchg->compnoend = std::min<int>(p->compnoend, dec->numcomps);
        pchg->lyrnoend = p->lyrnoend;
        pchglist_insert(list, -1, pchg);
    }
    pchglist_destroy(cp->pchglist);
    cp->pchglist = list;
    return 0;
}

// ---------------------------------------------------------------------------
// Main header

int dec_soc(dec_t* dec, jpc_ms_t*)
{
    dec->state = DS_MHSIZ;
    return 0;
}

int dec_siz(dec_t* dec, jpc_ms_t* ms)
{
    const jpc_siz_t* siz = &ms->parms.siz;
    dec->xstart = siz->xoff;
    dec->ystart = siz->yoff;
    dec->xend = siz->width;
    dec->yend = siz->height;
    dec->tilewidth = siz->tilewidth;
    dec->tileheight = siz->tileheight;
    dec->tilexoff = siz->tilexoff;
    dec->tileyoff = siz->tileyoff;
    dec->numcomps = siz->numcomps;
    // Geometry the decoder can hold: matrices use 32-bit coordinates.
    if (dec->numcomps < 1 || dec->xend > INT32_MAX || dec->yend > INT32_MAX ||
        dec->xstart >= dec->xend || dec->ystart >= dec->yend || dec->tilewidth < 1 ||
        dec->tileheight < 1 || dec->tilexoff > dec->xstart || dec->tileyoff > dec->ystart ||
        dec->tilexoff + dec->tilewidth <= dec->xstart ||
        dec->tileyoff + dec->tileheight <= dec->ystart) {
        std::fputs("unsupported image geometry in SIZ marker segment\n", stderr);
        return -1;
    }
    dec->cp = dec_cp_create(dec->numcomps);
    if (!dec->cp)
        return -1;
    std::vector<image_cmptparm_t> parms(dec->numcomps);
    dec->hsamps.resize(dec->numcomps);
    dec->vsamps.resize(dec->numcomps);
    dec->precs.resize(dec->numcomps);
    dec->sgnds.resize(dec->numcomps);
    int64_t total = 0;
    for (int k = 0; k < dec->numcomps; ++k) {
        const jpc_sizcomp_t* c = &siz->comps[k];
        if (c->hsamp == 0 || c->vsamp == 0) {
            std::fputs("invalid sampling factors in SIZ marker segment\n", stderr);
            return -1;
        }
        if (c->prec < 1 || c->prec > MAXPREC) {
            std::fputs("unsupported precision in SIZ marker segment\n", stderr);
            return -1;
        }
        int64_t w = mathx_ceildiv(dec->xend, c->hsamp) - mathx_ceildiv(dec->xstart, c->hsamp);
        int64_t h = mathx_ceildiv(dec->yend, c->vsamp) - mathx_ceildiv(dec->ystart, c->vsamp);
        total += w * h;
        if (w < 1 || h < 1) {
            std::fputs("unsupported image size in SIZ marker segment\n", stderr);
            return -1;
        }
        if (total > dec->maxsamples) {
            std::fprintf(stderr,
                         "image size in SIZ marker segment exceeds the limit of %" PRId64
                         " samples\n",
                         dec->maxsamples);
            return -1;
        }
        parms[k] = image_cmptparm_t{int32_t(w), int32_t(h), c->prec, c->sgnd};
        dec->hsamps[k] = c->hsamp;
        dec->vsamps[k] = c->vsamp;
        dec->precs[k] = c->prec;
        dec->sgnds[k] = c->sgnd;
    }
    int64_t across = mathx_ceildiv(dec->xend - dec->tilexoff, dec->tilewidth);
    int64_t down = mathx_ceildiv(dec->yend - dec->tileyoff, dec->tileheight);
    if (across * down > JPC_MAXTILES) {
        std::fputs("too many tiles in SIZ marker segment\n", stderr);
        return -1;
    }
    // On huge pages: a 4K frame's picture is then a dozen faults instead
    // of six thousand (the tile's own memory is small while the picture
    // fills when its last level is decoded as it is written out).
    dec->image = image_create(dec->numcomps, parms.data(), IMAGE_CM_UNKNOWN, true);
    if (!dec->image) {
        std::fputs("cannot create image\n", stderr);
        return -1;
    }
    dec->numhtiles = int(across);
    dec->numvtiles = int(down);
    dec->numtiles = int(across * down);
    dec->tiles.resize(dec->numtiles);
    for (int t = 0; t < dec->numtiles; ++t) {
        dec_tile_t* tile = &dec->tiles[t];
        int64_t c = t % dec->numhtiles, r = t / dec->numhtiles;
        tile->xstart = std::max(dec->tilexoff + c * dec->tilewidth, dec->xstart);
        tile->ystart = std::max(dec->tileyoff + r * dec->tileheight, dec->ystart);
        tile->xend = std::min(dec->tilexoff + (c + 1) * dec->tilewidth, dec->xend);
        tile->yend = std::min(dec->tileyoff + (r + 1) * dec->tileheight, dec->yend);
    }
    dec->state = DS_MH;
    return 0;
}

int dec_crg(dec_t*, jpc_ms_t*)
{
    std::fputs("warning: ignoring CRG marker segment\n", stderr);
    return 0;
}

// Capabilities: Part 15 (HT code blocks) is decoded, as the code-block
// styles announce it; other parts are not.
int dec_cap(dec_t*, jpc_ms_t* ms)
{
    if (ms->parms.cap.pcap & ~JPC_CAP_PART15)
        std::fputs("warning: code stream announces capabilities that are not decoded\n", stderr);
    return 0;
}

int dec_com(dec_t*, jpc_ms_t* ms)
{
    std::fputs("warning: ignoring CME marker segment\n", stderr);
    jpc_ms_dump(ms, stderr);
    return 0;
}

int dec_unk(dec_t*, jpc_ms_t* ms)
{
    std::fputs("warning: ignoring unknown marker segment\n", stderr);
    jpc_ms_dump(ms, stderr);
    return 0;
}

// Appends the bytes to the end of the stream, keeping its read position.
int dec_appendbytes(stream_t* s, const uint8_t* data, int64_t len)
{
    int64_t pos = stream_tell(s);
    if (pos < 0 || stream_seek(s, 0, SEEK_END) < 0)
        return -1;
    if (len > 0 && stream_write(s, data, len) != len)
        return -1;
    return stream_seek(s, pos, SEEK_SET) < 0 ? -1 : 0;
}

int dec_ppm(dec_t* dec, jpc_ms_t* ms)
{
    const jpc_ppm_t* ppm = &ms->parms.ppm;
    if (ppm->ind != dec->ppmzexp)
        return -1;
    for (int i = 0; i < ppm->numparts; ++i) {
        const jpc_ppmpart_t* part = &ppm->parts[i];
        if (i == 0 && ppm->firstcont) {
            if (dec->pkthdrstreams.empty()) {
                std::fputs("invalid PPM continuation\n", stderr);
                return -1;
            }
            if (dec_appendbytes(dec->pkthdrstreams.back(), part->data, part->len) != 0)
                return -1;
            continue;
        }
        stream_t* s = stream_memopen(nullptr, 0);
        if (!s)
            return -1;
        dec->pkthdrstreams.push_back(s);
        if (dec_appendbytes(s, part->data, part->len) != 0)
            return -1;
    }
    ++dec->ppmzexp;
    return 0;
}

// The tile's stream of packed packet headers, created when it has none yet;
// nullptr when that fails.
static stream_t* dec_tilehdrs(dec_tile_t* tile)
{
    if (!tile->pkthdrstream)
        tile->pkthdrstream = stream_memopen(nullptr, 0);
    return tile->pkthdrstream;
}

int dec_ppt(dec_t* dec, jpc_ms_t* ms)
{
    dec_tile_t* tile = dec->curtile;
    const jpc_ppt_t* ppt = &ms->parms.ppt;
    if (!tile || ppt->ind != tile->pptzexp)
        return -1;
    stream_t* hdrs = dec_tilehdrs(tile);
    if (!hdrs || dec_appendbytes(hdrs, ppt->data, ppt->len) != 0)
        return -1;
    ++tile->pptzexp;
    return 0;
}

// ---------------------------------------------------------------------------
// Tile-parts

int dec_sot(dec_t* dec, jpc_ms_t* ms)
{
    const jpc_sot_t* sot = &ms->parms.sot;
    dec->curtileendoff =
        sot->len > 0 ? dec->in->rwcnt_ - int64_t(ms->len) - 4 + int64_t(sot->len) : 0;
    if (sot->tileno >= dec->numtiles) {
        std::fputs("invalid tile number in SOT marker segment\n", stderr);
        return -1;
    }
    dec_tile_t* tile = &dec->tiles[sot->tileno];
    dec->curtile = tile;
    if (tile->state == JPDEC_TILE_DONE || sot->partno != tile->numparts ||
        (tile->numpartsexp != 0 && sot->partno >= tile->numpartsexp))
        return -1;
    if (tile->numpartsexp == 0 && sot->numparts != 0)
        tile->numpartsexp = sot->numparts;
    if (tile->numparts == 0) {
        tile->state = JPDEC_TILE_ACTIVE;
        tile->cp = dec_cp_copy(dec->cp);
        if (!tile->cp)
            return -1;
        for (dec_ccp_t& ccp : tile->cp->ccps)
            ccp.flags &= ~(JPDEC_COCSET | JPDEC_QCCSET);
    }
    dec->state = DS_TPH;
    return 0;
}

// Completes and checks the tile's coding parameters before its tile
// structures are built.  0, or -1.
int dec_completecp(dec_t* dec, dec_tile_t* tile)
{
    dec_cp_t* cp = tile->cp;
    if ((cp->flags & (JPDEC_CP_CSET | JPDEC_CP_QSET)) != (JPDEC_CP_CSET | JPDEC_CP_QSET))
        return -1;
    for (dec_ccp_t& ccp : cp->ccps) {
        if (ccp.qsty == JPC_QCX_SIQNT) {
            if (ccp.numstepsizes != 1)
                return -1;
        } else if (ccp.numstepsizes < 3 * ccp.numrlvls - 2) {
            return -1;
        }
        if (!ccp.prcflag) {
            std::fill(std::begin(ccp.prcwidthexpns), std::end(ccp.prcwidthexpns), 15);
            std::fill(std::begin(ccp.prcheightexpns), std::end(ccp.prcheightexpns), 15);
        }
        if (ccp.qsty == JPC_QCX_SIQNT) {
            // Derived quantization (T.800 E-5): band b of level r has the
            // exponent of the LL band less numdlvls, plus the number of
            // decompositions down to the band, that is expn0 - (r - 1)
            // above level 0.
            int expn0 = JPC_QCX_GETEXPN(ccp.stepsizes[0]);
            int mant0 = JPC_QCX_GETMANT(ccp.stepsizes[0]);
            for (int b = 0; b < 3 * ccp.numrlvls - 2; ++b) {
                int r = b == 0 ? 0 : (b + 2) / 3;
                int expn = b == 0 ? expn0 : expn0 - (r - 1);
                if (expn < 0) {
                    std::fputs("invalid derived quantization step size\n", stderr);
                    return -1;
                }
                ccp.stepsizes[b] = uint16_t(JPC_QCX_EXPN(expn) | JPC_QCX_MANT(mant0));
            }
            ccp.numstepsizes = 3 * ccp.numrlvls - 2;
        }
        // Bit-planes that tier-1 decoding can reach.
        for (int b = 0; b < 3 * ccp.numrlvls - 2; ++b) {
            int numbps = ccp.numguardbits + JPC_QCX_GETEXPN(ccp.stepsizes[b]) - 1;
            if (numbps + ccp.roishift > MAXNUMBPS) {
                std::fputs("unsupported number of bit-planes\n", stderr);
                return -1;
            }
        }
    }
    if (cp->mctid != JPDEC_MCT_NONE) {
        // The component transform runs on components 0, 1 and 2, which must
        // cover the same sample grid.  Without them the flag cannot apply
        // and the components are decoded as they are.
        if (dec->numcomps < 3 || dec->hsamps[1] != dec->hsamps[0] ||
            dec->hsamps[2] != dec->hsamps[0] || dec->vsamps[1] != dec->vsamps[0] ||
            dec->vsamps[2] != dec->vsamps[0]) {
            if (!dec->mctignored)
                std::fputs("warning: ignoring the multiple component transform "
                           "(it needs three components of equal size)\n",
                           stderr);
            dec->mctignored = true;
            cp->mctid = JPDEC_MCT_NONE;
        }
    }
    return 0;
}

int dec_tiledecode(dec_t* dec, dec_tile_t* tile);

int dec_sod(dec_t* dec, jpc_ms_t*)
{
    dec_tile_t* tile = dec->curtile;
    if (!tile)
        return -1;
    dec_progress(dec, 15);
    if (tile->numparts == 0) {
        if (dec_completecp(dec, tile) != 0)
            return -1;
        if (dec_tile_init(tile, dec->hsamps.data(), dec->vsamps.data(), dec->precs.data()) != 0)
            return -1;
    }
    if (!dec->pkthdrstreams.empty()) {
        stream_t* s = dec->pkthdrstreams.front();
        dec->pkthdrstreams.erase(dec->pkthdrstreams.begin());
        stream_t* hdrs = dec_tilehdrs(tile);
        int64_t pos = hdrs ? stream_tell(hdrs) : -1;
        int ok = pos >= 0 && stream_seek(hdrs, 0, SEEK_END) >= 0 && stream_rewind(s) == 0 &&
                 stream_copy(hdrs, s, -1) == 0 && stream_seek(hdrs, pos, SEEK_SET) >= 0;
        stream_close(s);
        if (!ok)
            return -1;
        dec_progress(dec, 15);
    }
    stream_t* hdr = tile->pkthdrstream ? tile->pkthdrstream : dec->in;
    if (dec_decodepkts(dec, hdr, dec->in) != 0) {
        std::fputs("cannot read the packets of a tile-part\n", stderr);
        return -1;
    }
    if (dec->curtileendoff > 0) {
        dec_progress(dec, 15);
        int64_t consumed = dec->in->rwcnt_;
        if (consumed < dec->curtileendoff) {
            int64_t n = dec->curtileendoff - consumed;
            std::fprintf(stderr, "warning: ignoring trailing garbage (%" PRId64 " bytes)\n", n);
            for (int64_t i = 0; i < n; ++i) {
                if (stream_getc(dec->in) < 0) {
                    std::fputs("read error\n", stderr);
                    return -1;
                }
            }
            dec_progress(dec, 15);
        } else if (consumed > dec->curtileendoff) {
            std::fprintf(stderr, "warning: not enough tile data (%" PRId64 " bytes)\n",
                         consumed - dec->curtileendoff);
        }
    }
    ++tile->numparts;
    dec->curtile = nullptr;
    dec->state = DS_TPHSOT;
    dec_progress(dec, 15);
    if (tile->numpartsexp != 0 && tile->numparts >= tile->numpartsexp) {
        int ret = dec_tiledecode(dec, tile);
        dec_tile_release(tile);
        if (ret != 0)
            return -1;
    }
    return 0;
}

// Reconstructs every tile still open from the data it received.  A tile
// that lacks announced tile-parts makes the picture incomplete.  0, or -1
// when a tile cannot be decoded.
int dec_finish(dec_t* dec)
{
    int ret = 0;
    for (dec_tile_t& tile : dec->tiles) {
        if (tile.state != JPDEC_TILE_ACTIVE)
            continue;
        if (tile.numpartsexp != 0 && tile.numparts < tile.numpartsexp)
            dec->incomplete = true;
        if (ret == 0 && tile.pi && dec_tiledecode(dec, &tile) != 0)
            ret = -1;
        dec_tile_release(&tile);
    }
    return ret;
}

int dec_eoc(dec_t* dec, jpc_ms_t*)
{
    int ret = dec_finish(dec);
    dec->state = DS_MT;
    return ret < 0 ? -1 : 1;
}

// ---------------------------------------------------------------------------
// Tile reconstruction

// Integer samples of a matrix become real samples (float bits) in place.
void dec_toreal(matrix_t* m)
{
    const int rows = matrix_numrows(m), cols = matrix_numcols(m);
    for (int r = 0; r < rows; ++r) {
        int32_t* p = matrix_row(m, r);
        for (int c = 0; c < cols; ++c)
            p[c] = std::bit_cast<int32_t>(static_cast<float>(p[c]));
    }
}

// A row of real samples becomes integers in place: clamped to [lo, hi]
// (a NaN from a damaged stream to lo), rounded half away from zero, then
// shifted by the DC level.  The precision is at most 24 bits, so the
// bounds are exact in a float.
HOT_CLONES void dec_roundrow(int32_t* p, int cols, int32_t lo, int32_t hi, int32_t shift)
{
    const float flo = static_cast<float>(lo), fhi = static_cast<float>(hi);
    for (int c = 0; c < cols; ++c) {
        float v = std::bit_cast<float>(p[c]);
        v = v > flo ? v : flo;
        v = v < fhi ? v : fhi;
        p[c] = static_cast<int32_t>(v + std::copysign(0.5f, v)) + shift;
    }
}

// Gives the memory of rows r0 .. r1 - 1 of an owned matrix back to the
// system (the whole pages inside them; the rows read as zero afterwards),
// so that a tile-component being written out row band by row band shrinks
// while the picture grows.
void dec_releaserows(matrix_t* m, int r0, int r1)
{
#ifdef __linux__
    if (r1 <= r0 || !m->data_ || matrix_rowstep(m) != matrix_numcols(m))
        return;
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    if (page == 0 || (page & (page - 1)) != 0)
        return;
    const uintptr_t b = reinterpret_cast<uintptr_t>(matrix_row(m, r0));
    const uintptr_t e = reinterpret_cast<uintptr_t>(matrix_row(m, r1 - 1) + matrix_numcols(m));
    const uintptr_t pb = (b + page - 1) & ~(page - 1), pe = e & ~(page - 1);
    if (pe > pb)
        madvise(reinterpret_cast<void*>(pb), pe - pb, MADV_DONTNEED);
#else
    (void)m, (void)r0, (void)r1;
#endif
}

// Clamping, DC level shift and rounding of a component (T.800 G.1), given by
// its precision and signedness.
struct dec_range_t {
    int32_t lo, hi, shift;  // clamp bounds before the shift
    explicit dec_range_t(int prec, bool sgnd)
    {
        shift = sgnd ? 0 : int32_t(1) << (prec - 1);
        const int32_t l = sgnd ? -(int32_t(1) << (prec - 1)) : 0;
        const int32_t h = sgnd ? (int32_t(1) << (prec - 1)) - 1
                               : int32_t((int64_t(1) << prec) - 1);
        // Clamped before the shift is added, so nothing can overflow.
        lo = l - shift;
        hi = h - shift;
    }
};

// A row of integer samples clamped to [lo, hi], then shifted.
HOT_CLONES void dec_clamprow(int32_t* p, int cols, int32_t lo, int32_t hi, int32_t shift)
{
    for (int c = 0; c < cols; ++c)
        p[c] = std::clamp(p[c], lo, hi) + shift;
}

// dec_finishrow and the packing of the samples into bytes in one sweep,
// for samples of at most 8 bits (the low byte of each result).
// One real sample as dec_roundrow makes it, packed into a byte.
inline unsigned char dec_round8(float v, float flo, float fhi, int32_t shift)
{
    v = v > flo ? v : flo;
    v = v < fhi ? v : fhi;
    return static_cast<unsigned char>(static_cast<int32_t>(v + std::copysign(0.5f, v)) + shift);
}

HOT_CLONES void dec_roundpack8(const int32_t* p, unsigned char* __restrict dst, int cols,
                               int32_t lo, int32_t hi, int32_t shift)
{
    const float flo = static_cast<float>(lo), fhi = static_cast<float>(hi);
    for (int c = 0; c < cols; ++c)
        dst[c] = dec_round8(std::bit_cast<float>(p[c]), flo, fhi, shift);
}

// The inverse ICT of a row of the three components and dec_roundpack8 of
// each in one sweep: the transformed samples never go back to memory.
HOT_CLONES void dec_ictpack8(const realent_t* p0, const realent_t* p1, const realent_t* p2,
                             unsigned char* __restrict d0, unsigned char* __restrict d1,
                             unsigned char* __restrict d2, int cols, const dec_range_t* rg)
{
    const float lo0 = static_cast<float>(rg[0].lo), hi0 = static_cast<float>(rg[0].hi);
    const float lo1 = static_cast<float>(rg[1].lo), hi1 = static_cast<float>(rg[1].hi);
    const float lo2 = static_cast<float>(rg[2].lo), hi2 = static_cast<float>(rg[2].hi);
    const int32_t s0 = rg[0].shift, s1 = rg[1].shift, s2 = rg[2].shift;
    for (int c = 0; c < cols; ++c) {
        float a, b, e;
        mct_invict_sample(p0[c], p1[c], p2[c], a, b, e);
        d0[c] = dec_round8(a, lo0, hi0, s0);
        d1[c] = dec_round8(b, lo1, hi1, s1);
        d2[c] = dec_round8(e, lo2, hi2, s2);
    }
}

HOT_CLONES void dec_clamppack8(const int32_t* p, unsigned char* __restrict dst, int cols,
                               int32_t lo, int32_t hi, int32_t shift)
{
    for (int c = 0; c < cols; ++c)
        dst[c] = static_cast<unsigned char>(std::clamp(p[c], lo, hi) + shift);
}

// The same for the inverse RCT of integer samples and dec_clamppack8.
HOT_CLONES void dec_rctpack8(const int32_t* p0, const int32_t* p1, const int32_t* p2,
                             unsigned char* __restrict d0, unsigned char* __restrict d1,
                             unsigned char* __restrict d2, int cols, const dec_range_t* rg)
{
    const int32_t lo0 = rg[0].lo, hi0 = rg[0].hi, s0 = rg[0].shift;
    const int32_t lo1 = rg[1].lo, hi1 = rg[1].hi, s1 = rg[1].shift;
    const int32_t lo2 = rg[2].lo, hi2 = rg[2].hi, s2 = rg[2].shift;
    for (int c = 0; c < cols; ++c) {
        int32_t a, b, e;
        mct_invrct_sample(p0[c], p1[c], p2[c], a, b, e);
        d0[c] = static_cast<unsigned char>(std::clamp(a, lo0, hi0) + s0);
        d1[c] = static_cast<unsigned char>(std::clamp(b, lo1, hi1) + s1);
        d2[c] = static_cast<unsigned char>(std::clamp(e, lo2, hi2) + s2);
    }
}

void dec_finishrow(int32_t* p, int cols, bool realmode, const dec_range_t& rg)
{
    if (realmode)
        dec_roundrow(p, cols, rg.lo, rg.hi, rg.shift);
    else
        dec_clamprow(p, cols, rg.lo, rg.hi, rg.shift);
}

// The last stage of a tile whose components share one shape and whose
// picture is in memory: inverse colour transform, clamping, level shift and
// packing into the picture, in bands of rows on the thread pool.  The rows
// packed so far are released a megabyte at a time: one release per
// band would split the huge pages of the tile-components into small ones
// and cost more system time than the decoding of a band.
struct outjob_t {
    dec_t* dec;
    dec_tile_t* tile;
    int rows, cols;
    int bandrows;
    std::vector<unsigned char*> dst;  // first byte of the tile in each component
    std::vector<int64_t> dststride;   // bytes per picture row
    std::vector<int> cps;
    std::vector<dec_range_t> ranges;
    int64_t numbands;
    int64_t reported;
    std::mutex relmu;          // guards the three below
    std::vector<char> packed;  // per band: rows packed
    int64_t prefix = 0;        // bands 0 .. prefix - 1 are packed
    int released = 0;          // rows 0 .. released - 1 are given back
    int relrows = 1;           // rows worth a release
    bool streamed = false;     // the last level is synthesized as rows go out
    declazy_t* lz = nullptr;   // and its blocks decoded as they go (jpdec_lazy.h)
};

// The picture's rows 0 .. upto - 1 are written (relmu held): gives back the
// rows of the tile-components that no later row reads, once they make a
// release step (or the end).  When the last level is streamed, its input
// rows are the low-pass rows in the top part of each tile-component and
// the high-pass rows below them, about half an output row each; those
// more than 16 rows above the next output row's are no longer read (a
// band's streams start 8 output rows above it).
void dec_releaseupto(outjob_t* j, int upto)
{
    if (!j->streamed) {
        if (upto - j->released < j->relrows && upto < j->rows)
            return;
        for (dec_tcomp_t& tcomp : j->tile->tcomps)
            dec_releaserows(tcomp.data, j->released, upto);
        j->released = upto;
        return;
    }
    const int done = upto < j->rows ? std::max(0, upto / 2 - 16) : j->rows;
    if (2 * (done - j->released) < j->relrows && upto < j->rows)
        return;
    for (size_t k = 0; k < j->tile->tcomps.size(); ++k) {
        matrix_t* m = j->tile->tcomps[k].data;
        const int64_t y0 = m->ystart_;
        const int numlow = static_cast<int>(mathx_ceildiv(y0 + j->rows, 2) - mathx_ceildiv(y0, 2));
        if (j->lz) {
            // Only the low-pass quadrant is in memory.
            dec_releaserows(declazy_ll(j->lz, static_cast<int>(k)), j->released,
                            std::min(done, numlow));
            continue;
        }
        dec_releaserows(m, j->released, std::min(done, numlow));
        dec_releaserows(m, numlow + j->released, std::min(numlow + done, j->rows));
    }
    j->released = done;
}

// Band i is packed: gives back what the packed bands before it no longer
// need.
void dec_outrelease(outjob_t* j, int64_t i)
{
    std::lock_guard<std::mutex> lock(j->relmu);
    j->packed[static_cast<size_t>(i)] = 1;
    while (j->prefix < j->numbands && j->packed[static_cast<size_t>(j->prefix)])
        ++j->prefix;
    dec_releaseupto(j, static_cast<int>(std::min<int64_t>(j->rows, j->prefix * j->bandrows)));
}

void dec_outband(void* arg, int64_t i, int)
{
    outjob_t* j = static_cast<outjob_t*>(arg);
    dec_tile_t* tile = j->tile;
    const int numcomps = static_cast<int>(tile->tcomps.size());
    const int r0 = static_cast<int>(i) * j->bandrows;
    const int r1 = std::min(j->rows, r0 + j->bandrows);
    const int mctid = tile->cp->mctid;
    // The usual colour picture: real components of at most 8 bits after an
    // ICT go to their bytes in one sweep per row.
    const bool ictpack = mctid == JPDEC_MCT_ICT && j->cps[0] == 1 && j->cps[1] == 1 &&
                         j->cps[2] == 1 && tile->tcomps[0].realmode &&
                         tile->tcomps[1].realmode && tile->tcomps[2].realmode;
    for (int r = r0; r < r1; ++r) {
        if (ictpack) {
            dec_ictpack8(matrix_rowf(tile->tcomps[0].data, r), matrix_rowf(tile->tcomps[1].data, r),
                         matrix_rowf(tile->tcomps[2].data, r), j->dst[0] + r * j->dststride[0],
                         j->dst[1] + r * j->dststride[1], j->dst[2] + r * j->dststride[2],
                         j->cols, j->ranges.data());
        } else if (mctid == JPDEC_MCT_RCT) {
            mct_invrct_row(matrix_row(tile->tcomps[0].data, r), matrix_row(tile->tcomps[1].data, r),
                           matrix_row(tile->tcomps[2].data, r), j->cols);
        } else if (mctid == JPDEC_MCT_ICT) {
            // The ICT works on real samples: a reversible component among
            // the three (a stream that mixes filter banks) becomes real first.
            for (int k = 0; k < 3; ++k)
                if (!tile->tcomps[k].realmode) {
                    int32_t* p = matrix_row(tile->tcomps[k].data, r);
                    for (int c = 0; c < j->cols; ++c)
                        p[c] = std::bit_cast<int32_t>(static_cast<float>(p[c]));
                }
            mct_invict_row(matrix_rowf(tile->tcomps[0].data, r),
                           matrix_rowf(tile->tcomps[1].data, r),
                           matrix_rowf(tile->tcomps[2].data, r), j->cols);
        }
        for (int k = ictpack ? 3 : 0; k < numcomps; ++k) {
            const dec_tcomp_t& tcomp = tile->tcomps[k];
            const bool real = tcomp.realmode || (mctid == JPDEC_MCT_ICT && k < 3);
            int32_t* p = matrix_row(tcomp.data, r);
            unsigned char* dst = j->dst[k] + r * j->dststride[k];
            const dec_range_t& rg = j->ranges[k];
            if (j->cps[k] == 1 && real) {
                dec_roundpack8(p, dst, j->cols, rg.lo, rg.hi, rg.shift);
            } else if (j->cps[k] == 1) {
                dec_clamppack8(p, dst, j->cols, rg.lo, rg.hi, rg.shift);
            } else {
                dec_finishrow(p, j->cols, real, rg);
                image_packrow(p, dst, j->cols, j->cps[k]);
            }
        }
    }
    dec_outrelease(j, i);
}

// Progress from 65 to 75 as the bands are written.
void dec_outtick(void* arg, int64_t done)
{
    outjob_t* j = static_cast<outjob_t*>(arg);
    for (; j->reported < done; ++j->reported)
        dec_progress(j->dec, 65 + static_cast<int>(10 * (j->reported + 1) / j->numbands));
}

// The picture memory for the tile's components when the fused last stage
// applies (same shape for all, every component in memory, the rectangle
// inside it); false otherwise.
bool dec_prepareout(dec_t* dec, dec_tile_t* tile, outjob_t* job)
{
    const int numcomps = static_cast<int>(tile->tcomps.size());
    const dec_tcomp_t& t0 = tile->tcomps[0];
    job->rows = t0.yend - t0.ystart;
    job->cols = t0.xend - t0.xstart;
    if (job->rows <= 0 || job->cols <= 0)
        return false;
    for (int k = 0; k < numcomps; ++k) {
        const dec_tcomp_t& tc = tile->tcomps[k];
        if (!tc.data || matrix_numrows(tc.data) != job->rows ||
            matrix_numcols(tc.data) != job->cols)
            return false;
        const int64_t x = tc.xstart - mathx_ceildiv(dec->xstart, dec->hsamps[k]);
        const int64_t y = tc.ystart - mathx_ceildiv(dec->ystart, dec->vsamps[k]);
        const int64_t w = image_cmpt_width(dec->image, k), h = image_cmpt_height(dec->image, k);
        if (x < 0 || y < 0 || x + job->cols > w || y + job->rows > h)
            return false;
        unsigned char* mem = image_cmpt_memory(dec->image, k);
        if (!mem)
            return false;
        const int cps = image_cmpt_cps(dec->image, k);
        job->cps.push_back(cps);
        job->dststride.push_back(w * cps);
        job->dst.push_back(mem + (y * w + x) * cps);
        job->ranges.emplace_back(dec->precs[k], dec->sgnds[k] != 0);
    }
    return true;
}

// The last stage of a colour tile when the last level of its three
// components is the 9/7 (after an ICT) or the 5/3 (after an RCT): that
// level's synthesis of the three runs down the rows together, and each
// output row goes through the colour transform to its bytes at once.  The
// tile-components' last level is then only read, once, instead of being
// written and read back by a row pass, a column pass, the colour transform
// and the packing.  Bands of rows go to the thread pool, each with streams
// of its own that start a few rows above it.
struct streamjob_t {
    outjob_t* out;
    int kind;  // QMFB_97 or QMFB_53
    declazy_t* lz;  // the last level's blocks decoded as rows go, or nullptr
    int32_t bandrows;
    int64_t numbands;
    int64_t reported = 0;
    std::atomic<bool> failed{false};
};

void dec_streamband(void* arg, int64_t band, int)
{
    streamjob_t* sj = static_cast<streamjob_t*>(arg);
    outjob_t* j = sj->out;
    if (sj->failed.load(std::memory_order_relaxed) ||
        j->dec->stopped.load(std::memory_order_relaxed))
        return;
    dec_tile_t* tile = j->tile;
    const int32_t y0 = static_cast<int32_t>(band) * sj->bandrows;
    const int32_t y1 = std::min(j->rows, y0 + sj->bandrows);
    qmfb_stream_t* st[3] = {};
    declazy_cursor_t* cur[3] = {};
    bool ok = true;
    for (int k = 0; k < 3 && ok; ++k) {
        const matrix_t* m = tile->tcomps[k].data;
        qmfb_rowsrc_t src{};
        if (sj->lz) {
            cur[k] = declazy_open(sj->lz, k, band);
            if (!cur[k]) {
                ok = false;
                break;
            }
            src = declazy_rowsrc(cur[k]);
        }
        st[k] = qmfb_stream_create(sj->kind, matrix_row(m, 0), matrix_numrows(m),
                                   matrix_numcols(m), matrix_rowstep(m), m->xstart_, m->ystart_,
                                   y0, sj->lz ? &src : nullptr);
        ok = st[k] != nullptr;
    }
    for (int32_t next = 0; ok && next < y1;) {
        const int32_t* rows[3][3];
        int count = 0;
        int32_t first = 0;
        for (int k = 0; k < 3; ++k)
            count = qmfb_stream_step(st[k], rows[k], &first);
        if (count < 0)
            break;
        for (int e = 0; e < count; ++e) {
            const int32_t y = first + e;
            if (y < y0 || y >= y1)
                continue;
            unsigned char* d0 = j->dst[0] + y * j->dststride[0];
            unsigned char* d1 = j->dst[1] + y * j->dststride[1];
            unsigned char* d2 = j->dst[2] + y * j->dststride[2];
            if (sj->kind == QMFB_53)
                dec_rctpack8(rows[0][e], rows[1][e], rows[2][e], d0, d1, d2, j->cols,
                             j->ranges.data());
            else
                dec_ictpack8(reinterpret_cast<const realent_t*>(rows[0][e]),
                             reinterpret_cast<const realent_t*>(rows[1][e]),
                             reinterpret_cast<const realent_t*>(rows[2][e]), d0, d1, d2, j->cols,
                             j->ranges.data());
        }
        next = first + count;
        if (sj->numbands == 1) {
            // On the calling thread alone: progress and releases as the
            // rows go.
            dec_progress(j->dec, 65 + static_cast<int>(10 * int64_t(std::max(next, 0)) / y1));
            std::lock_guard<std::mutex> lock(j->relmu);
            dec_releaseupto(j, std::clamp(next, 0, j->rows));
        }
        if (j->dec->stopped.load(std::memory_order_relaxed) || (sj->lz && declazy_failed(sj->lz)))
            break;
    }
    for (qmfb_stream_t* s : st)
        qmfb_stream_destroy(s);
    for (declazy_cursor_t* c : cur)
        declazy_close(c);
    if (!ok)
        sj->failed.store(true, std::memory_order_relaxed);
    else if (sj->numbands > 1)
        dec_outrelease(j, band);
}

// Progress from 65 to 75 as the bands are written.
void dec_streamtick(void* arg, int64_t done)
{
    streamjob_t* sj = static_cast<streamjob_t*>(arg);
    for (; sj->reported < done; ++sj->reported)
        dec_progress(sj->out->dec, 65 + static_cast<int>(10 * (sj->reported + 1) / sj->numbands));
}

int dec_outstreamed(outjob_t* j, int kind, declazy_t* lz)
{
    streamjob_t sj;
    sj.out = j;
    sj.kind = kind;
    sj.lz = lz;
    // For the 9/7 about four bands per thread, each of at least 64 rows
    // (every band reads eight rows above it again); the 5/3 reads only two
    // again, and bands of 64 rows keep the picture rows written ahead of
    // the releases few.  One band on one thread.
    const int nthreads = threadpool_numthreads();
    sj.bandrows = nthreads <= 1 ? j->rows
                  : kind == QMFB_53
                      ? 64
                      : std::max(64, (j->rows + 4 * nthreads - 1) / (4 * nthreads));
    sj.numbands = (j->rows + sj.bandrows - 1) / sj.bandrows;
    j->streamed = true;
    j->bandrows = sj.bandrows;
    j->numbands = sj.numbands;
    j->packed.assign(static_cast<size_t>(sj.numbands), 0);
    j->relrows = std::max(1, (1 << 20) / (j->cols * 4));
    if (lz)
        declazy_setpieces(lz, j->rows, sj.bandrows, sj.numbands);
    j->lz = lz;
    threadpool_for(sj.numbands, dec_streamband, dec_streamtick, &sj);
    return sj.failed.load() || j->dec->stopped.load() || (lz && declazy_failed(lz)) ? -1 : 0;
}

int dec_tiledecode(dec_t* dec, dec_tile_t* tile)
{
    dec_cp_t* cp = tile->cp;
    outjob_t job{};
    job.dec = dec;
    job.tile = tile;
    const bool prepared =
        (cp->mctid == JPDEC_MCT_NONE || cp->numcomps >= 3) && dec_prepareout(dec, tile, &job);
    // The ICT goes with real samples from the 9/7, the RCT with integers
    // from the 5/3.
    const bool ict = cp->mctid == JPDEC_MCT_ICT;
    const int kind = ict ? QMFB_97 : QMFB_53;
    bool streamed = prepared && (ict || cp->mctid == JPDEC_MCT_RCT) && cp->numcomps == 3;
    for (int k = 0; k < 3 && streamed; ++k)
        streamed = tile->tcomps[k].realmode == ict && job.cps[k] == 1 &&
                   tsfb_rootkind(tile->tcomps[k].tsfb, tile->tcomps[k].data) == kind;
    // A streamed last level of the only tile has its code blocks decoded
    // as the stream reaches their rows (jpdec_lazy.h).
    std::unique_ptr<declazy_t, void (*)(declazy_t*)> lz(
        streamed && dec->tiles.size() == 1 ? declazy_create(tile) : nullptr, declazy_destroy);
    if (t1dec_decodetile(dec, tile, lz ? 3 : 0) != 0) {
        if (!dec->stopped)
            std::fputs("cannot decode the code blocks of a tile\n", stderr);
        return -1;
    }
    // Tier-1 left dequantized coefficients.  The inverse wavelet transform
    // of each component in turn spreads its rows and columns over the pool
    // itself.  Progress climbs from 60 to 65 after tier-1's 15 to 60,
    // reported on this thread after each one-dimensional pass of the
    // transforms (by the samples done so far), which end at their next
    // pass after a cancel.  A colour tile whose last level is the 9/7 after
    // an ICT or the 5/3 after an RCT has that level synthesized as it is
    // written out (dec_outstreamed).
    dec_progress(dec, 61);
    struct synjob_t {
        dec_t* dec;
        int64_t total;
        int64_t done;
    } syn{dec, 0, 0};
    auto pass = [](void* arg, int64_t samples) {
        synjob_t* s = static_cast<synjob_t*>(arg);
        s->done += samples;
        dec_progress(s->dec, 61 + static_cast<int>(3 * std::min(s->done, s->total) /
                                                    std::max<int64_t>(s->total, 1)));
        return s->dec->stopped ? 1 : 0;
    };
    // The passes cover about 8/3 of the area they transform: with the last
    // level streamed, that of the levels below it (a quarter).
    for (const dec_tcomp_t& tcomp : tile->tcomps) {
        const int64_t rows = matrix_numrows(tcomp.data), cols = matrix_numcols(tcomp.data);
        syn.total += 8 * (streamed ? ((rows + 1) / 2) * ((cols + 1) / 2) : rows * cols) / 3;
    }
    for (int k = 0; k < cp->numcomps && !dec->stopped; ++k) {
        dec_tcomp_t* tcomp = &tile->tcomps[k];
        const int flags = cp->ccps[k].qmfbid == JPC_COX_RFT ? QMFB_REV : 0;
        if (lz && k < 3) {
            if (tsfb_synthesize_ll(tcomp->tsfb, flags, tcomp->data, declazy_ll(lz.get(), k),
                                   dec->progress ? +pass : nullptr, &syn) != 0 &&
                !dec->stopped) {
                std::fputs("cannot reconstruct the samples of a tile\n", stderr);
                return -1;
            }
        } else if (streamed)
            tsfb_synthesize_below(tcomp->tsfb, flags, tcomp->data, dec->progress ? +pass : nullptr,
                                  &syn);
        else if (matrix_numrows(tcomp->data) > 0 && matrix_numcols(tcomp->data) > 0)
            tsfb_synthesize(tcomp->tsfb, flags, tcomp->data, dec->progress ? +pass : nullptr,
                            &syn);
    }
    dec_progress(dec, 65);
    if (dec->stopped)
        return -1;

    if (streamed) {
        const int ret = dec_outstreamed(&job, kind, lz.get());
        for (dec_tcomp_t& tcomp : tile->tcomps) {
            matrix_destroy(tcomp.data);
            tcomp.data = nullptr;
        }
        if (ret != 0 && !dec->stopped && lz && declazy_failed(lz.get())) {
            // As when the blocks are decoded up front: the tile stays
            // unwritten.
            for (int k = 0; k < 3; ++k)
                for (int y = 0; y < job.rows; ++y)
                    std::memset(job.dst[k] + y * job.dststride[k], 0,
                                static_cast<size_t>(job.cols * job.cps[k]));
            std::fputs("cannot decode the code blocks of a tile\n", stderr);
            return -1;
        }
        if (ret != 0) {
            if (!dec->stopped)
                std::fputs("cannot reconstruct the samples of a tile\n", stderr);
            return -1;
        }
        ++dec->numtilesdecoded;
        return 0;
    }
    if (prepared) {
        // Bands of about 64 KiB of samples per component.
        job.bandrows = std::max(1, (1 << 14) / job.cols);
        job.numbands = (job.rows + job.bandrows - 1) / job.bandrows;
        job.reported = 0;
        job.packed.assign(static_cast<size_t>(job.numbands), 0);
        job.relrows = std::max(1, (1 << 20) / (job.cols * 4));
        threadpool_for(job.numbands, dec_outband, dec_outtick, &job);
        for (dec_tcomp_t& tcomp : tile->tcomps) {
            matrix_destroy(tcomp.data);
            tcomp.data = nullptr;
        }
        if (dec->stopped)
            return -1;
        ++dec->numtilesdecoded;
        return 0;
    }

    if (cp->mctid == JPDEC_MCT_RCT) {
        if (mct_invrct(tile->tcomps[0].data, tile->tcomps[1].data, tile->tcomps[2].data) != 0)
            return -1;
    } else if (cp->mctid == JPDEC_MCT_ICT) {
        for (int k = 0; k < 3; ++k)
            if (!tile->tcomps[k].realmode) {
                dec_toreal(tile->tcomps[k].data);
                tile->tcomps[k].realmode = true;
            }
        if (mct_invict(tile->tcomps[0].data, tile->tcomps[1].data, tile->tcomps[2].data) != 0)
            return -1;
    }
    for (int k = 0; k < cp->numcomps; ++k) {
        dec_tcomp_t* tcomp = &tile->tcomps[k];
        matrix_t* m = tcomp->data;
        int rows = matrix_numrows(m), cols = matrix_numcols(m);
        const dec_range_t rg(dec->precs[k], dec->sgnds[k] != 0);
        for (int r = 0; r < rows; ++r) {
            dec_finishrow(matrix_row(m, r), cols, tcomp->realmode, rg);
            dec_progress(dec, 65 + (7 * k + 7 * r / std::max(rows, 1)) / cp->numcomps);
        }
    }
    for (int k = 0; k < cp->numcomps; ++k) {
        dec_progress(dec, 72 + 3 * k / cp->numcomps);
        if (dec->stopped)
            return -1;
        dec_tcomp_t* tcomp = &tile->tcomps[k];
        int w = tcomp->xend - tcomp->xstart, h = tcomp->yend - tcomp->ystart;
        if (w <= 0 || h <= 0)
            continue;
        int64_t x = tcomp->xstart - mathx_ceildiv(dec->xstart, dec->hsamps[k]);
        int64_t y = tcomp->ystart - mathx_ceildiv(dec->ystart, dec->vsamps[k]);
        if (image_writecmpt(dec->image, k, int32_t(x), int32_t(y), w, h, tcomp->data) != 0) {
            std::fputs("cannot store the decoded samples of a component\n", stderr);
            return -4;
        }
        // The samples are in the image now: the tile-component's matrix
        // goes at once, so that the decoded picture and all of the tile's
        // matrices are never held together.  The band views into it are
        // only destroyed with the tile, which always follows.
        matrix_destroy(tcomp->data);
        tcomp->data = nullptr;
    }
    ++dec->numtilesdecoded;
    return 0;
}

// ---------------------------------------------------------------------------
// Decoder

dec_t* dec_create(stream_t* in, int maxlyrs)
{
    dec_t* dec = new (std::nothrow) dec_t;
    if (!dec)
        return nullptr;
    dec->in = in;
    dec->maxlyrs = maxlyrs;
    return dec;
}

void dec_destroy(dec_t* dec)
{
    for (dec_tile_t& tile : dec->tiles) {
        if (tile.state == JPDEC_TILE_ACTIVE || tile.cp || tile.pkthdrstream)
            dec_tile_release(&tile);
    }
    for (stream_t* s : dec->pkthdrstreams)
        stream_close(s);
    if (dec->cstate)
        jpc_cstate_destroy(dec->cstate);
    dec_cp_destroy(dec->cp);
    image_destroy(dec->image);
    delete dec;
}

// The marker loop.  0 when the code stream ended (at EOC, or where no
// further tile-part begins), -1 on a failure.
int dec_decode(dec_t* dec)
{
    dec->cstate = jpc_cstate_create();
    if (!dec->cstate)
        return -1;
    dec_progress(dec, 15);
    dec->state = DS_MHSOC;
    for (;;) {
        dec_progress(dec, 15);
        jpc_ms_t* ms = jpc_getms(dec->in, dec->cstate);
        if (!ms && dec->state == DS_TPHSOT) {
            // No EOC where the next tile-part would begin: the code stream
            // ends here, with the tiles that arrived.
            std::fputs("warning: no EOC marker after the last tile-part\n", stderr);
            int ret = dec_finish(dec);
            dec->state = DS_MT;
            return ret;
        }
        if (!ms) {
            std::fputs("cannot get marker segment\n", stderr);
            return -1;
        }
        const dec_mstabent_t* ent = dec_mstab_lookup(jpc_ms_gettype(ms));
        if (!(ent->validstates & dec->state)) {
            std::fputs("unexpected marker segment type\n", stderr);
            jpc_ms_destroy(ms);
            return -1;
        }
        int ret = ent->action(dec, ms);
        jpc_ms_destroy(ms);
        if (ret < 0 || dec->stopped)
            return -1;
        if (ret > 0)
            return 0;
    }
}

}  // namespace

image_t* jpdec_decode_status(stream_t* in, const char* optstr, OnProgressMessager* progress,
                             int* status)
{
    *status = JPDEC_FAILED;
    int maxlyrs = -1, debug = 0;
    int64_t maxsamples = JPDEC_MAXSAMPLES;
    optparser_t* parser = optparser_create(optstr ? optstr : "");
    if (!parser)
        return nullptr;
    while (optparser_next(parser) == 0) {
        const char* name = optparser_name(parser);
        switch (optentry_id(optentry_lookup(decopts, name))) {
        case OPT_MAXLYRS: maxlyrs = std::atoi(optparser_value(parser)); break;
        case OPT_DEBUG: debug = std::atoi(optparser_value(parser)); break;
        case OPT_MAXSAMPLES: {
            char* end = nullptr;
            long long n = std::strtoll(optparser_value(parser), &end, 10);
            if (end == optparser_value(parser) || *end || n < 1)
                std::fprintf(stderr, "warning: ignoring invalid value of maxsamples\n");
            else
                maxsamples = n;
            break;
        }
        default: std::fprintf(stderr, "warning: ignoring invalid option %s\n", name); break;
        }
    }
    optparser_destroy(parser);

    // The first reports come before the decoder exists; a cancel stops here
    // too.  False after a cancel.
    auto early = [progress] {
        if (!progress)
            return true;
        progress->report(5);
        if (!progress->cancelled())
            return true;
        std::fputs("decoding cancelled\n", stderr);
        return false;
    };
    if (!early())
        return nullptr;
    jpc_inittables();
    if (!early())
        return nullptr;
    dec_t* dec = dec_create(in, maxlyrs);
    if (!dec)
        return nullptr;
    dec->maxsamples = maxsamples;
    dec->progress = progress;
    dec_progress(dec, 10);
    jpc_setdbglevel(debug);
    util_setdbglevel(debug);
    dec_progress(dec, 15);

    int ret = dec_decode(dec);
    if (dec->stopped) {
        std::fputs("decoding cancelled\n", stderr);
        dec_destroy(dec);
        return nullptr;
    }
    if (ret != 0 && dec->image) {
        // The code stream stopped early (cut short or damaged): the tiles
        // whose data was collected are still reconstructed from what arrived.
        dec_finish(dec);
    }
    for (const dec_tile_t& tile : dec->tiles) {
        if (tile.state == JPDEC_TILE_INIT)
            dec->incomplete = true;  // a tile that never arrived
    }
    if (ret == 0) {
        *status = !dec->incomplete ? JPDEC_COMPLETE
                  : dec->numtilesdecoded > 0 ? JPDEC_INCOMPLETE
                                             : JPDEC_FAILED;
    } else {
        // Input that ended early leaves a picture as far as it arrived; a
        // failure elsewhere (headers that contradict themselves, damaged
        // data) is a failure.
        *status = stream_eof(in) && dec->numtilesdecoded > 0 ? JPDEC_INCOMPLETE : JPDEC_FAILED;
    }
    if (*status == JPDEC_INCOMPLETE)
        std::fputs("warning: incomplete code stream: the picture holds the data that arrived\n",
                   stderr);

    dec_progress(dec, 75);
    image_t* image = dec->image;
    dec->image = nullptr;
    dec_destroy(dec);
    if (progress)
        progress->report(80);
    return image;
}

image_t* jpdec_decode(stream_t* in, const char* optstr, OnProgressMessager* progress)
{
    int status;
    return jpdec_decode_status(in, optstr, progress, &status);
}
