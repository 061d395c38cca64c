// Code stream marker segments: the marker type table, the per-type parameter
// readers and writers, reading and writing of whole segments, the big-endian
// primitives and the signature test.  The dumps live in jpc_dump.cpp.
#include "codestream/jpc.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/util.h"

namespace {

// ---------------------------------------------------------------------------
// Parameter bytes.  A reader walks the segment's parameter bytes with a
// bounded cursor; any read past their end fails.  A writer appends to a
// byte vector.

struct rd_t {
    const uint8_t* p;
    const uint8_t* end;
};

using wr_t = std::vector<uint8_t>;

int get8(rd_t* rd, uint8_t* val)
{
    if (rd->end - rd->p < 1)
        return -1;
    *val = *rd->p++;
    return 0;
}

int get16(rd_t* rd, uint16_t* val)
{
    if (rd->end - rd->p < 2)
        return -1;
    *val = static_cast<uint16_t>((rd->p[0] << 8) | rd->p[1]);
    rd->p += 2;
    return 0;
}

int get32(rd_t* rd, uint32_t* val)
{
    if (rd->end - rd->p < 4)
        return -1;
    *val = (uint32_t{rd->p[0]} << 24) | (uint32_t{rd->p[1]} << 16) |
           (uint32_t{rd->p[2]} << 8) | uint32_t{rd->p[3]};
    rd->p += 4;
    return 0;
}

// Copies n bytes into a new block (nullptr for n 0).
int getbytes(rd_t* rd, uint32_t n, uint8_t** data)
{
    *data = nullptr;
    if (static_cast<uint64_t>(rd->end - rd->p) < n)
        return -1;
    if (n) {
        *data = static_cast<uint8_t*>(malloc(n));
        if (!*data)
            return -1;
        memcpy(*data, rd->p, n);
        rd->p += n;
    }
    return 0;
}

int64_t remaining(const rd_t* rd)
{
    return rd->end - rd->p;
}

void put8(wr_t* wr, uint32_t val)
{
    wr->push_back(static_cast<uint8_t>(val));
}

void put16(wr_t* wr, uint32_t val)
{
    wr->push_back(static_cast<uint8_t>(val >> 8));
    wr->push_back(static_cast<uint8_t>(val));
}

void put32(wr_t* wr, uint32_t val)
{
    put16(wr, val >> 16);
    put16(wr, val & 0xffff);
}

void putbytes(wr_t* wr, const uint8_t* data, uint32_t n)
{
    if (n)
        wr->insert(wr->end(), data, data + n);
}

// Component indices are one byte for up to 256 components, two above.
bool widecompno(const jpc_cstate_t* cstate)
{
    return cstate->numcomps > 256;
}

int getcompno(rd_t* rd, const jpc_cstate_t* cstate, uint16_t* compno)
{
    if (widecompno(cstate))
        return get16(rd, compno);
    uint8_t v;
    if (get8(rd, &v))
        return -1;
    *compno = v;
    return 0;
}

void putcompno(wr_t* wr, const jpc_cstate_t* cstate, uint32_t compno)
{
    if (widecompno(cstate))
        put16(wr, compno);
    else
        put8(wr, compno);
}

// A component index read before SIZ cannot be checked; afterwards it must
// name a component.
bool badcompno(const jpc_cstate_t* cstate, uint32_t compno)
{
    return cstate->numcomps > 0 && compno >= static_cast<uint32_t>(cstate->numcomps);
}

void nop_free(jpc_ms_t*) {}

int fail_put(jpc_ms_t*, jpc_cstate_t*, wr_t*)
{
    return -1;
}

// ---------------------------------------------------------------------------
// SOT.

int sot_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    jpc_sot_t* sot = &ms->parms.sot;
    if (get16(rd, &sot->tileno) || get32(rd, &sot->len) || get8(rd, &sot->partno) ||
        get8(rd, &sot->numparts))
        return -1;
    return 0;
}

int sot_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    const jpc_sot_t* sot = &ms->parms.sot;
    put16(wr, sot->tileno);
    put32(wr, sot->len);
    put8(wr, sot->partno);
    put8(wr, sot->numparts);
    return 0;
}

// ---------------------------------------------------------------------------
// SIZ.

// The image and tile geometry of T.800 B.2: a nonempty image area, tiles
// that start at or before the image area and whose first tile overlaps it,
// and no more tiles than tile numbers.  Everything in 64 bits.
bool sizvalid(const jpc_siz_t* siz)
{
    if (!siz->width || !siz->height || !siz->tilewidth || !siz->tileheight)
        return false;
    if (!siz->numcomps || siz->numcomps > JPC_MAXCOMPS)
        return false;
    if (siz->xoff >= siz->width || siz->yoff >= siz->height)
        return false;
    if (siz->tilexoff > siz->xoff || siz->tileyoff > siz->yoff)
        return false;
    if (uint64_t{siz->tilexoff} + siz->tilewidth <= siz->xoff ||
        uint64_t{siz->tileyoff} + siz->tileheight <= siz->yoff)
        return false;
    const uint64_t across = (uint64_t{siz->width} - siz->tilexoff + siz->tilewidth - 1) / siz->tilewidth;
    const uint64_t down = (uint64_t{siz->height} - siz->tileyoff + siz->tileheight - 1) / siz->tileheight;
    return across * down <= JPC_MAXTILES;
}

bool sizcompvalid(const jpc_sizcomp_t* comp)
{
    return comp->prec >= 1 && comp->prec <= JPC_MAXPREC && comp->sgnd <= 1 && comp->hsamp &&
           comp->vsamp;
}

void siz_free(jpc_ms_t* ms)
{
    free(ms->parms.siz.comps);
    ms->parms.siz.comps = nullptr;
}

int siz_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    jpc_siz_t* siz = &ms->parms.siz;
    if (get16(rd, &siz->caps) || get32(rd, &siz->width) || get32(rd, &siz->height) ||
        get32(rd, &siz->xoff) || get32(rd, &siz->yoff) || get32(rd, &siz->tilewidth) ||
        get32(rd, &siz->tileheight) || get32(rd, &siz->tilexoff) || get32(rd, &siz->tileyoff) ||
        get16(rd, &siz->numcomps))
        return -1;
    if (!sizvalid(siz))
        return -1;
    if (remaining(rd) < 3 * int64_t{siz->numcomps})
        return -1;
    siz->comps = static_cast<jpc_sizcomp_t*>(calloc(siz->numcomps, sizeof(jpc_sizcomp_t)));
    if (!siz->comps)
        return -1;
    for (int i = 0; i < siz->numcomps; ++i) {
        jpc_sizcomp_t* comp = &siz->comps[i];
        uint8_t b;
        if (get8(rd, &b) || get8(rd, &comp->hsamp) || get8(rd, &comp->vsamp))
            return -1;
        comp->sgnd = (b >> 7) & 1;
        comp->prec = static_cast<uint8_t>((b & 0x7f) + 1);
        if (!sizcompvalid(comp))
            return -1;
    }
    return 0;
}

int siz_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    const jpc_siz_t* siz = &ms->parms.siz;
    if (!sizvalid(siz) || !siz->comps)
        return -1;
    put16(wr, siz->caps);
    put32(wr, siz->width);
    put32(wr, siz->height);
    put32(wr, siz->xoff);
    put32(wr, siz->yoff);
    put32(wr, siz->tilewidth);
    put32(wr, siz->tileheight);
    put32(wr, siz->tilexoff);
    put32(wr, siz->tileyoff);
    put16(wr, siz->numcomps);
    for (int i = 0; i < siz->numcomps; ++i) {
        const jpc_sizcomp_t* comp = &siz->comps[i];
        if (!sizcompvalid(comp))
            return -1;
        put8(wr, (uint32_t{comp->sgnd} << 7) | (comp->prec - 1u));
        put8(wr, comp->hsamp);
        put8(wr, comp->vsamp);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Coding style parameters (COD, COC).

// T.800 A.6.1: at most 32 decomposition levels, code-block exponents of 2 to
// 10 whose sum is at most 12, one of the two wavelet transforms.
bool coxvalid(const jpc_coxcp_t* cp)
{
    return cp->numdlvls <= JPC_MAXDLVLS && cp->cblkwidthval <= JPC_MAXCBLKVAL &&
           cp->cblkheightval <= JPC_MAXCBLKVAL &&
           cp->cblkwidthval + cp->cblkheightval <= JPC_MAXCBLKVAL && cp->qmfbid <= JPC_COX_RFT;
}

// Precinct exponents of 0 are allowed only at resolution level 0, where
// they still describe a precinct of one sample.
bool prcvalid(int rlvlno, const jpc_coxrlvl_t* rlvl)
{
    return rlvlno == 0 || (rlvl->prcwidth && rlvl->prcheight);
}

int cox_get(rd_t* rd, bool prt, jpc_coxcp_t* cp)
{
    if (get8(rd, &cp->numdlvls) || get8(rd, &cp->cblkwidthval) || get8(rd, &cp->cblkheightval) ||
        get8(rd, &cp->cblksty) || get8(rd, &cp->qmfbid))
        return -1;
    if (!coxvalid(cp))
        return -1;
    if (prt) {
        cp->numrlvls = cp->numdlvls + 1;
        for (int i = 0; i < cp->numrlvls; ++i) {
            uint8_t b;
            if (get8(rd, &b))
                return -1;
            cp->rlvls[i].prcwidth = b & 0x0f;
            cp->rlvls[i].prcheight = (b >> 4) & 0x0f;
            if (!prcvalid(i, &cp->rlvls[i]))
                return -1;
        }
        cp->csty |= JPC_COX_PRT;
    } else {
        cp->numrlvls = 0;
    }
    return 0;
}

int cox_put(wr_t* wr, bool prt, const jpc_coxcp_t* cp)
{
    if (!coxvalid(cp))
        return -1;
    put8(wr, cp->numdlvls);
    put8(wr, cp->cblkwidthval);
    put8(wr, cp->cblkheightval);
    put8(wr, cp->cblksty);
    put8(wr, cp->qmfbid);
    if (prt) {
        for (int i = 0; i <= cp->numdlvls; ++i) {
            const jpc_coxrlvl_t* rlvl = &cp->rlvls[i];
            if (rlvl->prcwidth > 15 || rlvl->prcheight > 15 || !prcvalid(i, rlvl))
                return -1;
            put8(wr, (uint32_t{rlvl->prcheight} << 4) | rlvl->prcwidth);
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// COD.

int cod_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    jpc_cod_t* cod = &ms->parms.cod;
    if (get8(rd, &cod->csty) || get8(rd, &cod->prg) || get16(rd, &cod->numlyrs) ||
        get8(rd, &cod->mctrans))
        return -1;
    if (cod->prg > JPC_COD_CPRLPRG || cod->numlyrs == 0)
        return -1;
    return cox_get(rd, (cod->csty & JPC_COX_PRT) != 0, &cod->compparms);
}

int cod_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    const jpc_cod_t* cod = &ms->parms.cod;
    if (cod->prg > JPC_COD_CPRLPRG || cod->numlyrs == 0)
        return -1;
    // Records built for writing carry Scod in compparms.csty, records read
    // carry it in csty: either way the union is the Scod byte, and the
    // precinct sizes follow exactly when it has the precinct bit.
    const uint8_t scod = cod->csty | cod->compparms.csty;
    put8(wr, scod);
    put8(wr, cod->prg);
    put16(wr, cod->numlyrs);
    put8(wr, cod->mctrans);
    return cox_put(wr, (scod & JPC_COX_PRT) != 0, &cod->compparms);
}

// ---------------------------------------------------------------------------
// COC.

int coc_get(jpc_ms_t* ms, jpc_cstate_t* cstate, rd_t* rd)
{
    jpc_coc_t* coc = &ms->parms.coc;
    if (getcompno(rd, cstate, &coc->compno) || badcompno(cstate, coc->compno))
        return -1;
    if (get8(rd, &coc->compparms.csty))
        return -1;
    return cox_get(rd, (coc->compparms.csty & JPC_COX_PRT) != 0, &coc->compparms);
}

int coc_put(jpc_ms_t* ms, jpc_cstate_t* cstate, wr_t* wr)
{
    const jpc_coc_t* coc = &ms->parms.coc;
    if (badcompno(cstate, coc->compno))
        return -1;
    putcompno(wr, cstate, coc->compno);
    put8(wr, coc->compparms.csty);
    return cox_put(wr, (coc->compparms.csty & JPC_COX_PRT) != 0, &coc->compparms);
}

// ---------------------------------------------------------------------------
// RGN.

int rgn_get(jpc_ms_t* ms, jpc_cstate_t* cstate, rd_t* rd)
{
    jpc_rgn_t* rgn = &ms->parms.rgn;
    if (getcompno(rd, cstate, &rgn->compno) || badcompno(cstate, rgn->compno))
        return -1;
    if (get8(rd, &rgn->roisty) || get8(rd, &rgn->roishift))
        return -1;
    return 0;
}

int rgn_put(jpc_ms_t* ms, jpc_cstate_t* cstate, wr_t* wr)
{
    const jpc_rgn_t* rgn = &ms->parms.rgn;
    if (badcompno(cstate, rgn->compno))
        return -1;
    putcompno(wr, cstate, rgn->compno);
    put8(wr, rgn->roisty);
    put8(wr, rgn->roishift);
    return 0;
}

// ---------------------------------------------------------------------------
// Quantization parameters (QCD, QCC), given the n bytes available to them.

int qcx_get(rd_t* rd, int64_t n, jpc_qcxcp_t* cp)
{
    uint8_t sqcx;
    if (get8(rd, &sqcx))
        return -1;
    cp->qntsty = sqcx & 0x1f;
    cp->numguard = (sqcx >> 5) & 0x07;
    int64_t numstepsizes;
    switch (cp->qntsty) {
    case JPC_QCX_NOQNT:
        numstepsizes = n - 1;
        break;
    case JPC_QCX_SIQNT:
        numstepsizes = 1;
        break;
    case JPC_QCX_SEQNT:
        numstepsizes = (n - 1) / 2;
        break;
    default:
        numstepsizes = 0;
        break;
    }
    if (numstepsizes < 0 || numstepsizes > JPC_MAXSTEPSIZES)
        return -1;
    cp->numstepsizes = static_cast<int>(numstepsizes);
    for (int i = 0; i < cp->numstepsizes; ++i) {
        if (cp->qntsty == JPC_QCX_NOQNT) {
            uint8_t b;
            if (get8(rd, &b))
                return -1;
            cp->stepsizes[i] = static_cast<uint16_t>(JPC_QCX_EXPN(b >> 3));
        } else if (get16(rd, &cp->stepsizes[i])) {
            return -1;
        }
    }
    return 0;
}

int qcx_put(wr_t* wr, const jpc_qcxcp_t* cp)
{
    if (cp->numstepsizes < 0 || cp->numstepsizes > JPC_MAXSTEPSIZES || cp->qntsty > 0x1f ||
        cp->numguard > 7)
        return -1;
    put8(wr, (uint32_t{cp->numguard} << 5) | cp->qntsty);
    for (int i = 0; i < cp->numstepsizes; ++i) {
        if (cp->qntsty == JPC_QCX_NOQNT)
            put8(wr, (cp->stepsizes[i] >> 11) << 3);
        else
            put16(wr, cp->stepsizes[i]);
    }
    return 0;
}

int qcd_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    return qcx_get(rd, ms->len, &ms->parms.qcd.compparms);
}

int qcd_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    return qcx_put(wr, &ms->parms.qcd.compparms);
}

int qcc_get(jpc_ms_t* ms, jpc_cstate_t* cstate, rd_t* rd)
{
    jpc_qcc_t* qcc = &ms->parms.qcc;
    if (getcompno(rd, cstate, &qcc->compno) || badcompno(cstate, qcc->compno))
        return -1;
    return qcx_get(rd, ms->len - (widecompno(cstate) ? 2 : 1), &qcc->compparms);
}

int qcc_put(jpc_ms_t* ms, jpc_cstate_t* cstate, wr_t* wr)
{
    const jpc_qcc_t* qcc = &ms->parms.qcc;
    if (badcompno(cstate, qcc->compno))
        return -1;
    putcompno(wr, cstate, qcc->compno);
    return qcx_put(wr, &qcc->compparms);
}

// ---------------------------------------------------------------------------
// POC.

void poc_free(jpc_ms_t* ms)
{
    free(ms->parms.poc.pchgs);
    ms->parms.poc.pchgs = nullptr;
}

int poc_get(jpc_ms_t* ms, jpc_cstate_t* cstate, rd_t* rd)
{
    jpc_poc_t* poc = &ms->parms.poc;
    const bool wide = widecompno(cstate);
    poc->numpchgs = ms->len / (wide ? 9 : 7);
    if (!poc->numpchgs)
        return 0;
    poc->pchgs = static_cast<jpc_pocpchg_t*>(calloc(poc->numpchgs, sizeof(jpc_pocpchg_t)));
    if (!poc->pchgs)
        return -1;
    for (int i = 0; i < poc->numpchgs; ++i) {
        jpc_pocpchg_t* pchg = &poc->pchgs[i];
        if (get8(rd, &pchg->rlvlnostart) || getcompno(rd, cstate, &pchg->compnostart) ||
            get16(rd, &pchg->lyrnoend) || get8(rd, &pchg->rlvlnoend) ||
            getcompno(rd, cstate, &pchg->compnoend) || get8(rd, &pchg->prgord))
            return -1;
        // With one-byte indices, a CEpoc of 0 stands for 256 (T.800 A.6.6).
        if (!wide && pchg->compnoend == 0)
            pchg->compnoend = 256;
        if (pchg->rlvlnoend < pchg->rlvlnostart || pchg->compnoend < pchg->compnostart)
            return -1;
        if (pchg->prgord > JPC_COD_CPRLPRG || badcompno(cstate, pchg->compnostart))
            return -1;
        // A component end beyond the last component means the last one.
        if (cstate->numcomps > 0 && pchg->compnoend > cstate->numcomps)
            pchg->compnoend = static_cast<uint16_t>(cstate->numcomps);
    }
    return 0;
}

int poc_put(jpc_ms_t* ms, jpc_cstate_t* cstate, wr_t* wr)
{
    const jpc_poc_t* poc = &ms->parms.poc;
    if (poc->numpchgs < 0 || (poc->numpchgs && !poc->pchgs))
        return -1;
    for (int i = 0; i < poc->numpchgs; ++i) {
        const jpc_pocpchg_t* pchg = &poc->pchgs[i];
        if (pchg->rlvlnoend < pchg->rlvlnostart || pchg->compnoend < pchg->compnostart ||
            pchg->prgord > JPC_COD_CPRLPRG || badcompno(cstate, pchg->compnostart) ||
            (cstate->numcomps > 0 && pchg->compnoend > cstate->numcomps))
            return -1;
        put8(wr, pchg->rlvlnostart);
        putcompno(wr, cstate, pchg->compnostart);
        put16(wr, pchg->lyrnoend);
        put8(wr, pchg->rlvlnoend);
        putcompno(wr, cstate, pchg->compnoend);
        put8(wr, pchg->prgord);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// PPM.

void ppm_free(jpc_ms_t* ms)
{
    jpc_ppm_t* ppm = &ms->parms.ppm;
    if (ppm->parts)
        for (int i = 0; i < ppm->numparts; ++i)
            free(ppm->parts[i].data);
    free(ppm->parts);
    ppm->parts = nullptr;
    ppm->numparts = 0;
}

// Packed packet headers: each tile-part's headers are preceded by their
// length Nppm, and may run on into the following PPM segments; the state
// keeps the bytes still missing and the Zppm expected next.
int ppm_get(jpc_ms_t* ms, jpc_cstate_t* cstate, rd_t* rd)
{
    jpc_ppm_t* ppm = &ms->parms.ppm;
    if (get8(rd, &ppm->ind))
        return -1;
    if (cstate->ppmmissing && ppm->ind != cstate->ppmnextind)
        return -1;

    // Walk the segment once to count the parts and check every length.
    const rd_t start = *rd;
    uint32_t pending = cstate->ppmmissing;
    int numparts = 0;
    while (remaining(rd) > 0) {
        if (!pending && get32(rd, &pending))
            return -1;
        const uint32_t chunk =
            static_cast<uint32_t>(std::min<int64_t>(remaining(rd), pending));
        rd->p += chunk;
        pending -= chunk;
        ++numparts;
    }

    // Walk it again, storing the parts.
    *rd = start;
    if (numparts) {
        ppm->parts = static_cast<jpc_ppmpart_t*>(calloc(numparts, sizeof(jpc_ppmpart_t)));
        if (!ppm->parts)
            return -1;
    }
    ppm->numparts = numparts;
    pending = cstate->ppmmissing;
    uint32_t nppm = 0;
    for (int i = 0; i < numparts; ++i) {
        if (!pending) {
            get32(rd, &pending);
            nppm = pending;
        }
        const uint32_t chunk =
            static_cast<uint32_t>(std::min<int64_t>(remaining(rd), pending));
        ppm->parts[i].len = chunk;
        if (getbytes(rd, chunk, &ppm->parts[i].data))
            return -1;
        pending -= chunk;
    }

    // A segment without parts (only Zppm) continues nothing: no part of it
    // can be appended anywhere, and the header stays pending.
    ppm->firstcont = numparts > 0 && cstate->ppmmissing != 0;
    ppm->lastcont = numparts > 0 && pending != 0;
    ppm->lastfulllen = ppm->lastcont ? nppm : 0;
    cstate->ppmmissing = pending;
    if (pending)
        cstate->ppmnextind = ppm->ind + 1;
    return 0;
}

int ppm_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    const jpc_ppm_t* ppm = &ms->parms.ppm;
    if (ppm->numparts < 0 || (ppm->numparts && !ppm->parts))
        return -1;
    put8(wr, ppm->ind);
    for (int i = 0; i < ppm->numparts; ++i) {
        const jpc_ppmpart_t* part = &ppm->parts[i];
        if (part->len && !part->data)
            return -1;
        if (!(i == 0 && ppm->firstcont)) {
            const bool last = i == ppm->numparts - 1;
            put32(wr, last && ppm->lastcont ? ppm->lastfulllen : part->len);
        }
        putbytes(wr, part->data, part->len);
        if (wr->size() > 0xffff)
            return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// PPT.

void ppt_free(jpc_ms_t* ms)
{
    free(ms->parms.ppt.data);
    ms->parms.ppt.data = nullptr;
}

int ppt_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    jpc_ppt_t* ppt = &ms->parms.ppt;
    if (ms->len <= 1 || get8(rd, &ppt->ind))
        return -1;
    ppt->len = ms->len - 1u;
    return getbytes(rd, ppt->len, &ppt->data);
}

int ppt_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    const jpc_ppt_t* ppt = &ms->parms.ppt;
    if ((ppt->len && !ppt->data) || ppt->len > 0xffff)
        return -1;
    put8(wr, ppt->ind);
    putbytes(wr, ppt->data, ppt->len);
    return 0;
}

// ---------------------------------------------------------------------------
// SOP.

int sop_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    return get16(rd, &ms->parms.sop.seqno);
}

int sop_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    put16(wr, ms->parms.sop.seqno);
    return 0;
}

// ---------------------------------------------------------------------------
// CRG.

void crg_free(jpc_ms_t* ms)
{
    free(ms->parms.crg.comps);
    ms->parms.crg.comps = nullptr;
}

int crg_get(jpc_ms_t* ms, jpc_cstate_t* cstate, rd_t* rd)
{
    jpc_crg_t* crg = &ms->parms.crg;
    if (remaining(rd) < 4 * int64_t{cstate->numcomps})
        return -1;
    if (cstate->numcomps > 0) {
        crg->comps = static_cast<jpc_crgcomp_t*>(calloc(cstate->numcomps, sizeof(jpc_crgcomp_t)));
        if (!crg->comps)
            return -1;
    }
    crg->numcomps = cstate->numcomps;
    for (int i = 0; i < crg->numcomps; ++i)
        if (get16(rd, &crg->comps[i].hoff) || get16(rd, &crg->comps[i].voff))
            return -1;
    return 0;
}

int crg_put(jpc_ms_t* ms, jpc_cstate_t* cstate, wr_t* wr)
{
    const jpc_crg_t* crg = &ms->parms.crg;
    // One entry per component of the code stream, all of them in the record.
    if (crg->numcomps < cstate->numcomps || (cstate->numcomps > 0 && !crg->comps))
        return -1;
    for (int i = 0; i < cstate->numcomps; ++i) {
        put16(wr, crg->comps[i].hoff);
        put16(wr, crg->comps[i].voff);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// CAP.

int cap_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    jpc_cap_t* cap = &ms->parms.cap;
    if (get32(rd, &cap->pcap))
        return -1;
    cap->numccaps = std::popcount(cap->pcap);
    for (int i = 0; i < cap->numccaps; ++i)
        if (get16(rd, &cap->ccaps[i]))
            return -1;
    return 0;
}

int cap_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    const jpc_cap_t* cap = &ms->parms.cap;
    if (cap->numccaps != std::popcount(cap->pcap))
        return -1;
    put32(wr, cap->pcap);
    for (int i = 0; i < cap->numccaps; ++i)
        put16(wr, cap->ccaps[i]);
    return 0;
}

// ---------------------------------------------------------------------------
// Raw bytes (TLM, PLM, COM and unknown types).

void unk_free(jpc_ms_t* ms)
{
    free(ms->parms.unk.data);
    ms->parms.unk.data = nullptr;
}

int unk_get(jpc_ms_t* ms, jpc_cstate_t*, rd_t* rd)
{
    jpc_unk_t* unk = &ms->parms.unk;
    unk->len = ms->len;
    return getbytes(rd, unk->len, &unk->data);
}

int unk_put(jpc_ms_t* ms, jpc_cstate_t*, wr_t* wr)
{
    const jpc_unk_t* unk = &ms->parms.unk;
    if ((unk->len && !unk->data) || unk->len > 0xffff)
        return -1;
    putbytes(wr, unk->data, unk->len);
    return 0;
}

}  // namespace

// Operations of a marker type.  A type without getparms has no parameters; a
// type without putparms is written as the bare marker.
struct jpc_msops_t {
    void (*freeparms)(jpc_ms_t* ms);
    int (*getparms)(jpc_ms_t* ms, jpc_cstate_t* cstate, rd_t* rd);
    int (*putparms)(jpc_ms_t* ms, jpc_cstate_t* cstate, wr_t* wr);
};

namespace {

const jpc_msops_t sot_ops = {nop_free, sot_get, sot_put};
const jpc_msops_t siz_ops = {siz_free, siz_get, siz_put};
const jpc_msops_t cod_ops = {nop_free, cod_get, cod_put};
const jpc_msops_t coc_ops = {nop_free, coc_get, coc_put};
const jpc_msops_t rgn_ops = {nop_free, rgn_get, rgn_put};
const jpc_msops_t qcd_ops = {nop_free, qcd_get, qcd_put};
const jpc_msops_t qcc_ops = {nop_free, qcc_get, qcc_put};
const jpc_msops_t poc_ops = {poc_free, poc_get, poc_put};
const jpc_msops_t ppm_ops = {ppm_free, ppm_get, ppm_put};
const jpc_msops_t ppt_ops = {ppt_free, ppt_get, ppt_put};
const jpc_msops_t sop_ops = {nop_free, sop_get, sop_put};
const jpc_msops_t crg_ops = {crg_free, crg_get, crg_put};
const jpc_msops_t cap_ops = {nop_free, cap_get, cap_put};
// Raw bytes whose writing is refused (TLM, PLM, unknown types).
const jpc_msops_t raw_ops = {unk_free, unk_get, fail_put};
// Comments are written back as they are.
const jpc_msops_t com_ops = {unk_free, unk_get, unk_put};
// Markers without parameters.
const jpc_msops_t none_ops = {nop_free, nullptr, nullptr};

struct mstabent_t {
    int type;
    const char* name;
    const jpc_msops_t* ops;
};

const mstabent_t mstab[] = {
    {JPC_MS_SOC, "SOC", &none_ops},
    {JPC_MS_SOT, "SOT", &sot_ops},
    {JPC_MS_SOD, "SOD", &none_ops},
    {JPC_MS_EOC, "EOC", &none_ops},
    {JPC_MS_SIZ, "SIZ", &siz_ops},
    {JPC_MS_COD, "COD", &cod_ops},
    {JPC_MS_COC, "COC", &coc_ops},
    {JPC_MS_RGN, "RGN", &rgn_ops},
    {JPC_MS_QCD, "QCD", &qcd_ops},
    {JPC_MS_QCC, "QCC", &qcc_ops},
    {JPC_MS_POC, "POC", &poc_ops},
    {JPC_MS_TLM, "TLM", &raw_ops},
    {JPC_MS_PLM, "PLM", &raw_ops},
    {JPC_MS_PPM, "PPM", &ppm_ops},
    {JPC_MS_PPT, "PPT", &ppt_ops},
    {JPC_MS_SOP, "SOP", &sop_ops},
    {JPC_MS_EPH, "EPH", &none_ops},
    {JPC_MS_CRG, "CRG", &crg_ops},
    {JPC_MS_CAP, "CAP", &cap_ops},
    {JPC_MS_CPF, "CPF", &raw_ops},
    {JPC_MS_COM, "COM", &com_ops},
    {-1, "UNKNOWN", &raw_ops},
};

const mstabent_t* mstab_lookup(int type)
{
    const mstabent_t* ent = mstab;
    while (ent->type >= 0 && ent->type != type)
        ++ent;
    return ent;
}

}  // namespace

const char* jpc_ms_name(int type)
{
    return mstab_lookup(type)->name;
}

int jpc_ms_isknown(int type)
{
    return mstab_lookup(type)->type >= 0;
}

int jpc_ms_hasparms(int type)
{
    switch (type) {
    case JPC_MS_SOC:
    case JPC_MS_SOD:
    case JPC_MS_EOC:
    case JPC_MS_EPH:
        return 0;
    default:
        return !(type >= JPC_MS_INMIN && type <= JPC_MS_INMAX);
    }
}

// ---------------------------------------------------------------------------
// Code stream state.

jpc_cstate_t* jpc_cstate_create()
{
    return static_cast<jpc_cstate_t*>(calloc(1, sizeof(jpc_cstate_t)));
}

void jpc_cstate_destroy(jpc_cstate_t* cstate)
{
    free(cstate);
}

// ---------------------------------------------------------------------------
// Records.

jpc_ms_t* jpc_ms_create(int type)
{
    jpc_ms_t* ms = static_cast<jpc_ms_t*>(calloc(1, sizeof(jpc_ms_t)));
    if (!ms)
        return nullptr;
    ms->type = static_cast<uint16_t>(type);
    ms->len = 0;
    ms->ops = mstab_lookup(type)->ops;
    return ms;
}

void jpc_ms_destroy(jpc_ms_t* ms)
{
    if (!ms)
        return;
    const jpc_msops_t* ops = ms->ops ? ms->ops : mstab_lookup(ms->type)->ops;
    ops->freeparms(ms);
    free(ms);
}

// ---------------------------------------------------------------------------
// Reading and writing whole segments.

jpc_ms_t* jpc_getms(stream_t* in, jpc_cstate_t* cstate)
{
    uint16_t type;
    if (jpc_getuint16(in, &type) || type < JPC_MS_MIN)
        return nullptr;
    jpc_ms_t* ms = jpc_ms_create(type);
    if (!ms)
        return nullptr;

    if (!jpc_ms_hasparms(type)) {
        ms->len = 0;
        if (util_getdbglevel() > 0)
            jpc_ms_dump(ms, stderr);
        return ms;
    }

    uint16_t lenfield;
    if (jpc_getuint16(in, &lenfield) || lenfield < 3) {
        jpc_ms_destroy(ms);
        return nullptr;
    }
    ms->len = static_cast<uint16_t>(lenfield - 2);

    // The reader sees only this segment's parameter bytes, so it can never
    // consume bytes of the following segment.  Small segments (SOP between
    // packets) need no allocation.
    uint8_t small[64];
    std::vector<uint8_t> big;
    uint8_t* buf = small;
    if (ms->len > sizeof small) {
        big.resize(ms->len);
        buf = big.data();
    }
    if (stream_read(in, buf, ms->len) != ms->len) {
        jpc_ms_destroy(ms);
        return nullptr;
    }
    jpc_cstate_t nostate = {};
    if (!cstate)
        cstate = &nostate;
    rd_t rd = {buf, buf + ms->len};
    if (ms->ops->getparms(ms, cstate, &rd)) {
        jpc_ms_destroy(ms);
        return nullptr;
    }
    if (util_getdbglevel() > 0)
        jpc_ms_dump(ms, stderr);
    if (rd.p < rd.end)
        fprintf(stderr, "warning: trailing garbage in marker segment (%ld bytes)\n",
                static_cast<long>(rd.end - rd.p));
    if (type == JPC_MS_SIZ)
        cstate->numcomps = ms->parms.siz.numcomps;
    return ms;
}

int jpc_putms(stream_t* out, jpc_cstate_t* cstate, jpc_ms_t* ms)
{
    // The parameters are formed first, so that nothing is written when they
    // cannot be.
    jpc_cstate_t nostate = {};
    if (!cstate)
        cstate = &nostate;
    std::vector<uint8_t> buf;
    const jpc_msops_t* ops = ms->ops ? ms->ops : mstab_lookup(ms->type)->ops;
    const bool hasparms = jpc_ms_hasparms(ms->type) && ops->putparms;
    if (hasparms) {
        if (ops->putparms(ms, cstate, &buf))
            return -1;
        // The length field covers itself and must fit in 16 bits.
        if (buf.size() + 2 > 0xffff)
            return -1;
    }
    if (jpc_putuint16(out, ms->type))
        return -1;
    if (hasparms) {
        ms->len = static_cast<uint16_t>(buf.size());
        if (jpc_putuint16(out, ms->len + 2u))
            return -1;
        if (stream_write(out, buf.data(), ms->len) != ms->len)
            return -1;
    }
    if (ms->type == JPC_MS_SIZ)
        cstate->numcomps = ms->parms.siz.numcomps;
    if (util_getdbglevel() > 0)
        jpc_ms_dump(ms, stderr);
    return 0;
}

// ---------------------------------------------------------------------------
// Big-endian integers on a stream.

int jpc_getuint8(stream_t* in, uint8_t* val)
{
    const int c = stream_getc(in);
    if (c < 0)
        return -1;
    if (val)
        *val = static_cast<uint8_t>(c);
    return 0;
}

int jpc_getuint16(stream_t* in, uint16_t* val)
{
    const int c0 = stream_getc(in);
    if (c0 < 0)
        return -1;
    const int c1 = stream_getc(in);
    if (c1 < 0)
        return -1;
    if (val)
        *val = static_cast<uint16_t>((c0 << 8) | c1);
    return 0;
}

int jpc_getuint32(stream_t* in, uint32_t* val)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = stream_getc(in);
        if (c < 0)
            return -1;
        v = (v << 8) | static_cast<uint32_t>(c);
    }
    if (val)
        *val = v;
    return 0;
}

int jpc_putuint8(stream_t* out, uint32_t val)
{
    return stream_putc(out, static_cast<int>(val & 0xff)) < 0 ? -1 : 0;
}

int jpc_putuint16(stream_t* out, uint32_t val)
{
    if (stream_putc(out, static_cast<int>((val >> 8) & 0xff)) < 0 ||
        stream_putc(out, static_cast<int>(val & 0xff)) < 0)
        return -1;
    return 0;
}

int jpc_putuint32(stream_t* out, uint32_t val)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        if (stream_putc(out, static_cast<int>((val >> shift) & 0xff)) < 0)
            return -1;
    return 0;
}

// ---------------------------------------------------------------------------
// Miscellaneous.

int jpc_validate(stream_t* in)
{
    // The bytes read are put back and the state flags restored, so the
    // stream is left exactly where it was, also when it is too short.
    const int flags = in->flags_;
    int result = -1;
    const int c0 = stream_getc(in);
    if (c0 >= 0) {
        const int c1 = stream_getc(in);
        if (c1 >= 0) {
            if (c0 == 0xff && c1 == (JPC_MS_SOC & 0xff))
                result = 0;
            if (stream_ungetc(in, c1))
                result = -1;
        }
        if (stream_ungetc(in, c0))
            result = -1;
    }
    in->flags_ = flags;
    return result;
}

int jpc_getdata(stream_t* in, stream_t* out, int64_t n)
{
    if (n < 0)
        return -1;
    return stream_copy(out, in, n);
}

int jpc_putdata(stream_t* out, stream_t* in, int64_t n)
{
    return jpc_getdata(in, out, n);
}

int jpc_setdbglevel(int dbglevel)
{
    return util_setdbglevel(dbglevel);
}
