// Decoder coding parameters and tile structures: building the tree of
// tile-components, resolution levels, bands, precincts and code blocks of a
// tile (T.800 B.5 to B.7) and its packet iterator, and releasing it.
#include "decoder/jpdec_tile.h"

#include "base/fatal.h"
#include "tier1/jpcod.h"
#include "base/mathx.h"
#include "base/stream.h"
#include "tier2/tagtree.h"
#include "transform/tsfb.h"

#include <algorithm>
#include <cstdio>
#include <new>

// Limits that keep a malformed code stream from making the decoder build
// billions of empty records.
static constexpr int64_t JPDEC_MAXPRCS = int64_t(1) << 20;   // per tile
static constexpr int64_t JPDEC_MAXCBLKS = int64_t(1) << 21;  // per tile

dec_cp_t* dec_cp_create(int numcomps)
{
    dec_cp_t* cp = new (std::nothrow) dec_cp_t;
    if (!cp)
        return nullptr;
    cp->numcomps = numcomps;
    cp->ccps.resize(numcomps);
    cp->pchglist = pchglist_create();
    if (!cp->pchglist) {
        delete cp;
        return nullptr;
    }
    return cp;
}

dec_cp_t* dec_cp_copy(const dec_cp_t* cp)
{
    // Every field as it is but the change list, which gets a copy of its own.
    dec_cp_t* copy = new (std::nothrow) dec_cp_t(*cp);
    if (!copy)
        return nullptr;
    copy->pchglist = pchglist_copy(cp->pchglist);
    if (!copy->pchglist) {
        delete copy;
        return nullptr;
    }
    return copy;
}

void dec_cp_destroy(dec_cp_t* cp)
{
    if (!cp)
        return;
    pchglist_destroy(cp->pchglist);
    delete cp;
}

void dec_seg_destroy(dec_seg_t* seg)
{
    if (seg->stream) {
        stream_close(seg->stream);
        seg->stream = nullptr;
    }
}

// Precincts of one band: the code-block group cells of the level met with
// the band, each with its code-block grid and tag trees.
static int dec_band_initprcs(dec_tcomp_t* tcomp, dec_rlvl_t* rlvl, dec_band_t* band,
                             int64_t cbgxstart, int64_t cbgystart, int64_t* numcblks)
{
    band->prcs.resize(rlvl->numprcs);
    int cbw = rlvl->cbgwidthexpn, cbh = rlvl->cbgheightexpn;
    int cw = rlvl->cblkwidthexpn, ch = rlvl->cblkheightexpn;
    int32_t* base = band->data && matrix_numrows(band->data) > 0 ? matrix_row(band->data, 0)
                                                                  : nullptr;
    ptrdiff_t stride = band->data ? matrix_rowstep(band->data) : 0;
    for (int prcno = 0; prcno < rlvl->numprcs; ++prcno) {
        dec_prc_t* prc = &band->prcs[prcno];
        int64_t cx0 = cbgxstart + (int64_t(prcno % rlvl->numhprcs) << cbw);
        int64_t cy0 = cbgystart + (int64_t(prcno / rlvl->numhprcs) << cbh);
        int64_t x0 = std::max<int64_t>(cx0, band->xstart);
        int64_t y0 = std::max<int64_t>(cy0, band->ystart);
        int64_t x1 = std::min<int64_t>(cx0 + (int64_t(1) << cbw), band->xend);
        int64_t y1 = std::min<int64_t>(cy0 + (int64_t(1) << cbh), band->yend);
        if (x0 >= x1 || y0 >= y1) {
            prc->xstart = prc->xend = int(x0);
            prc->ystart = prc->yend = int(y0);
            continue;
        }
        prc->xstart = int(x0);
        prc->ystart = int(y0);
        prc->xend = int(x1);
        prc->yend = int(y1);
        int64_t gx0 = (x0 >> cw) << cw, gy0 = (y0 >> ch) << ch;
        int64_t gx1 = ((x1 + (int64_t(1) << cw) - 1) >> cw) << cw;
        int64_t gy1 = ((y1 + (int64_t(1) << ch) - 1) >> ch) << ch;
        prc->numhcblks = int((gx1 - gx0) >> cw);
        prc->numvcblks = int((gy1 - gy0) >> ch);
        prc->numcblks = prc->numhcblks * prc->numvcblks;
        *numcblks += prc->numcblks;
        if (*numcblks > JPDEC_MAXCBLKS) {
            std::fputs("too many code blocks in tile\n", stderr);
            return -1;
        }
        prc->incltree = tagtree_create(prc->numhcblks, prc->numvcblks);
        prc->nlibtree = tagtree_create(prc->numhcblks, prc->numvcblks);
        if (!prc->incltree || !prc->nlibtree)
            return -1;
        prc->cblks.resize(prc->numcblks);
        for (int i = 0; i < prc->numcblks; ++i) {
            dec_cblk_t* cblk = &prc->cblks[i];
            int64_t bx0 = gx0 + (int64_t(i % prc->numhcblks) << cw);
            int64_t by0 = gy0 + (int64_t(i / prc->numhcblks) << ch);
            int64_t bx1 = std::min(bx0 + (int64_t(1) << cw), x1);
            int64_t by1 = std::min(by0 + (int64_t(1) << ch), y1);
            bx0 = std::max(bx0, x0);
            by0 = std::max(by0, y0);
            cblk->xstart = int(bx0);
            cblk->ystart = int(by0);
            cblk->width = int(bx1 - bx0);
            cblk->height = int(by1 - by0);
            cblk->stride = stride;
            cblk->data = base + (by0 - band->ystart) * stride + (bx0 - band->xstart);
        }
    }
    (void)tcomp;
    return 0;
}

static int dec_tcomp_init(dec_tile_t* tile, dec_tcomp_t* tcomp, const dec_ccp_t* ccp,
                          int hsamp, int vsamp, int prec, int64_t* numprcs,
                          int64_t* numcblks)
{
    tcomp->hsamp = hsamp;
    tcomp->vsamp = vsamp;
    tcomp->xstart = int(mathx_ceildiv(tile->xstart, hsamp));
    tcomp->ystart = int(mathx_ceildiv(tile->ystart, vsamp));
    tcomp->xend = int(mathx_ceildiv(tile->xend, hsamp));
    tcomp->yend = int(mathx_ceildiv(tile->yend, vsamp));
    tcomp->numrlvls = ccp->numrlvls;
    if (ccp->numrlvls < 1 || ccp->numrlvls > JPDEC_MAXRLVLS) {
        std::fputs("unsupported number of resolution levels\n", stderr);
        return -1;
    }
    tcomp->data = matrix_create(tcomp->yend - tcomp->ystart, tcomp->xend - tcomp->xstart);
    if (!tcomp->data)
        return -1;
    matrix_setorigin(tcomp->data, tcomp->xstart, tcomp->ystart);
    tcomp->tsfb = tsfb_wavelet(ccp->qmfbid, ccp->numrlvls - 1);
    if (!tcomp->tsfb) {
        std::fputs("unsupported wavelet transform\n", stderr);
        return -1;
    }
    tsfb_band_t bandinfos[TSFB_MAXBANDS];
    if (tsfb_getbands(tcomp->tsfb, tcomp->xstart, tcomp->ystart, tcomp->xend, tcomp->yend,
                      bandinfos) < 0)
        return -1;

    tcomp->rlvls.resize(ccp->numrlvls);
    for (int r = 0; r < ccp->numrlvls; ++r) {
        dec_rlvl_t* rlvl = &tcomp->rlvls[r];
        int d = ccp->numrlvls - 1 - r;
        rlvl->xstart = int(mathx_ceildivpow2(tcomp->xstart, d));
        rlvl->ystart = int(mathx_ceildivpow2(tcomp->ystart, d));
        rlvl->xend = int(mathx_ceildivpow2(tcomp->xend, d));
        rlvl->yend = int(mathx_ceildivpow2(tcomp->yend, d));
        int pw = ccp->prcwidthexpns[r], ph = ccp->prcheightexpns[r];
        if (pw > 15 || ph > 15 || (r > 0 && (pw < 1 || ph < 1))) {
            std::fputs("invalid precinct size\n", stderr);
            return -1;
        }
        rlvl->prcwidthexpn = pw;
        rlvl->prcheightexpn = ph;
        int64_t tlprcx = (int64_t(rlvl->xstart) >> pw) << pw;
        int64_t tlprcy = (int64_t(rlvl->ystart) >> ph) << ph;
        int64_t brprcx = ((int64_t(rlvl->xend) + (int64_t(1) << pw) - 1) >> pw) << pw;
        int64_t brprcy = ((int64_t(rlvl->yend) + (int64_t(1) << ph) - 1) >> ph) << ph;
        if (rlvl->xend > rlvl->xstart && rlvl->yend > rlvl->ystart) {
            rlvl->numhprcs = int((brprcx - tlprcx) >> pw);
            rlvl->numvprcs = int((brprcy - tlprcy) >> ph);
        } else {
            // An empty level has no precincts and hence no packets.
            rlvl->numhprcs = rlvl->numvprcs = 0;
        }
        int64_t n = int64_t(rlvl->numhprcs) * rlvl->numvprcs;
        *numprcs += n;
        if (*numprcs > JPDEC_MAXPRCS) {
            std::fputs("too many precincts in tile\n", stderr);
            return -1;
        }
        rlvl->numprcs = int(n);
        int64_t cbgx, cbgy;
        if (r == 0) {
            cbgx = tlprcx;
            cbgy = tlprcy;
            rlvl->cbgwidthexpn = pw;
            rlvl->cbgheightexpn = ph;
        } else {
            cbgx = mathx_ceildivpow2(tlprcx, 1);
            cbgy = mathx_ceildivpow2(tlprcy, 1);
            rlvl->cbgwidthexpn = pw - 1;
            rlvl->cbgheightexpn = ph - 1;
        }
        rlvl->cblkwidthexpn = std::min(ccp->cblkwidthexpn, rlvl->cbgwidthexpn);
        rlvl->cblkheightexpn = std::min(ccp->cblkheightexpn, rlvl->cbgheightexpn);

        int numbands = r == 0 ? 1 : 3;
        rlvl->bands.resize(numbands);
        for (int k = 0; k < numbands; ++k) {
            dec_band_t* band = &rlvl->bands[k];
            int bandno = r == 0 ? 0 : 3 * (r - 1) + 1 + k;
            const tsfb_band_t& bi = bandinfos[bandno];
            band->xstart = bi.xstart;
            band->ystart = bi.ystart;
            band->xend = bi.xend;
            band->yend = bi.yend;
            band->orient = bi.orient;
            band->data = matrix_create(0, 0);
            if (!band->data)
                return -1;
            if (bi.locxend > bi.locxstart && bi.locyend > bi.locystart) {
                if (matrix_bindsub(band->data, tcomp->data, bi.locystart, bi.locxstart,
                                   bi.locyend - 1, bi.locxend - 1) != 0)
                    return -1;
            }
            matrix_setorigin(band->data, bi.xstart, bi.ystart);
            if (bandno >= ccp->numstepsizes)
                return -1;
            band->stepsize = ccp->stepsizes[bandno];
            band->analgain = jpc_noms_gain(ccp->qmfbid, ccp->numrlvls - 1, r, band->orient);
            band->roishift = ccp->roishift;
            int expn = JPC_QCX_GETEXPN(band->stepsize);
            int mant = JPC_QCX_GETMANT(band->stepsize);
            band->numbps = ccp->numguardbits + expn - 1;
            // Step size (T.800 E.1.1.1): 2^(R - expn) x (1 + mant / 2^11)
            // with R = precision + gain, in Q14.
            int shift = prec + band->analgain - expn;
            int64_t step = 0x4000 + 8 * int64_t(mant);
            if (shift >= 0)
                step = shift < 31 ? std::min<int64_t>(step << shift, INT32_MAX) : INT32_MAX;
            else
                step = shift > -40 ? step >> -shift : 0;
            band->absstepsize = int32_t(step);
            band->stepmant = int32_t(0x4000 + 8 * mant);
            band->stepshift = shift;
            if (dec_band_initprcs(tcomp, rlvl, band, cbgx, cbgy, numcblks) != 0)
                return -1;
        }
    }
    return 0;
}

int dec_tile_init(dec_tile_t* tile, const int* hsamps, const int* vsamps, const int* precs)
{
    dec_cp_t* cp = tile->cp;
    tile->tcomps.resize(cp->numcomps);
    tile->realmode = cp->mctid == JPDEC_MCT_ICT;
    int64_t numprcs = 0, numcblks = 0;
    int maxrlvls = 0;
    for (int k = 0; k < cp->numcomps; ++k) {
        const dec_ccp_t* ccp = &cp->ccps[k];
        // Irreversible components are reconstructed in floats, reversible
        // ones in integers (until an ICT needs them as floats).
        tile->tcomps[k].realmode = ccp->qmfbid == JPC_COX_INS;
        if (tile->tcomps[k].realmode)
            tile->realmode = true;
        if (dec_tcomp_init(tile, &tile->tcomps[k], ccp, hsamps[k], vsamps[k], precs[k],
                           &numprcs, &numcblks) != 0)
            return -1;
        maxrlvls = std::max(maxrlvls, ccp->numrlvls);
    }

    pi_t* pi = pi_create();
    if (!pi)
        return -1;
    tile->pi = pi;
    pi->numcomps = cp->numcomps;
    pi->numlyrs = cp->numlyrs;
    pi->maxrlvls = maxrlvls;
    pi->xstart = tile->xstart;
    pi->ystart = tile->ystart;
    pi->xend = tile->xend;
    pi->yend = tile->yend;
    pi->picomps.resize(cp->numcomps);
    for (int k = 0; k < cp->numcomps; ++k) {
        picomp_t* pc = &pi->picomps[k];
        const dec_tcomp_t* tc = &tile->tcomps[k];
        pc->numrlvls = tc->numrlvls;
        pc->hsamp = hsamps[k];
        pc->vsamp = vsamps[k];
        pc->pirlvls.resize(tc->numrlvls);
        for (int r = 0; r < tc->numrlvls; ++r) {
            pirlvl_t* pr = &pc->pirlvls[r];
            const dec_rlvl_t* rl = &tc->rlvls[r];
            pr->numprcs = rl->numprcs;
            pr->prclyrnos.assign(rl->numprcs, 0);
            pr->prcwidthexpn = rl->prcwidthexpn;
            pr->prcheightexpn = rl->prcheightexpn;
            pr->numhprcs = rl->numhprcs;
        }
    }
    pi->defaultpchg.prgord = cp->prgord;
    pi->defaultpchg.rlvlnostart = 0;
    pi->defaultpchg.rlvlnoend = maxrlvls;
    pi->defaultpchg.compnostart = 0;
    pi->defaultpchg.compnoend = cp->numcomps;
    pi->defaultpchg.lyrnoend = cp->numlyrs;
    for (int i = 0; i < pchglist_numpchgs(cp->pchglist); ++i) {
        pchg_t pchg = *pchglist_get(cp->pchglist, i);
        // Component ranges beyond the image are limited to it.
        pchg.compnoend = std::min(pchg.compnoend, cp->numcomps);
        if (pi_addpchg(pi, &pchg) != 0)
            return -1;
    }
    pi_init(pi);
    return 0;
}

void dec_tile_release(dec_tile_t* tile)
{
    for (dec_tcomp_t& tcomp : tile->tcomps) {
        for (dec_rlvl_t& rlvl : tcomp.rlvls) {
            for (dec_band_t& band : rlvl.bands) {
                for (dec_prc_t& prc : band.prcs) {
                    for (dec_cblk_t& cblk : prc.cblks)
                        for (dec_seg_t& seg : cblk.segs)
                            dec_seg_destroy(&seg);
                    if (prc.incltree)
                        tagtree_destroy(prc.incltree);
                    if (prc.nlibtree)
                        tagtree_destroy(prc.nlibtree);
                }
                matrix_destroy(band.data);
            }
        }
        matrix_destroy(tcomp.data);
        if (tcomp.tsfb)
            tsfb_destroy(tcomp.tsfb);
    }
    std::vector<dec_tcomp_t>().swap(tile->tcomps);
    if (tile->pkthdrstream) {
        stream_close(tile->pkthdrstream);
        tile->pkthdrstream = nullptr;
    }
    dec_cp_destroy(tile->cp);
    tile->cp = nullptr;
    pi_destroy(tile->pi);
    tile->pi = nullptr;
    tile->state = JPDEC_TILE_DONE;
}
