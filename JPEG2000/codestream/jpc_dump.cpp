// Readable dumps of marker segment records.
//
// The line end that follows a segment's length and the precinct size lines
// of COD always go to the diagnostic output; every other line goes to the
// output given.  With the debug level above 0 both are the diagnostic output.
#include "codestream/jpc.h"

namespace {

void dump_stepsizes(const jpc_qcxcp_t* cp, FILE* out)
{
    for (int i = 0; i < cp->numstepsizes; ++i)
        fprintf(out, "expn[%d] = 0x%04x; mant[%d] = 0x%04x;\n", i,
                JPC_QCX_GETEXPN(cp->stepsizes[i]), i, JPC_QCX_GETMANT(cp->stepsizes[i]));
}

void dump_sot(const jpc_sot_t* sot, FILE* out)
{
    fprintf(out, "tileno = %d; len = %u; partno = %d; numparts = %d\n", sot->tileno, sot->len,
            sot->partno, sot->numparts);
}

void dump_siz(const jpc_siz_t* siz, FILE* out)
{
    fprintf(out, "caps = 0x%02x;\n", siz->caps);
    fprintf(out, "width = %u; height = %u; xoff = %u; yoff = %u;\n", siz->width, siz->height,
            siz->xoff, siz->yoff);
    fprintf(out, "tilewidth = %u; tileheight = %u; tilexoff = %u; tileyoff = %u;\n",
            siz->tilewidth, siz->tileheight, siz->tilexoff, siz->tileyoff);
    if (!siz->comps)
        return;
    for (int i = 0; i < siz->numcomps; ++i) {
        const jpc_sizcomp_t* comp = &siz->comps[i];
        fprintf(out, "prec[%d] = %d; sgnd[%d] = %d; hsamp[%d] = %d; vsamp[%d] = %d\n", i,
                comp->prec, i, comp->sgnd, i, comp->hsamp, i, comp->vsamp);
    }
}

void dump_cod(const jpc_cod_t* cod, FILE* out)
{
    const jpc_coxcp_t* cp = &cod->compparms;
    fprintf(out, "csty = 0x%02x;\n", cp->csty);
    fprintf(out, "numdlvls = %d; qmfbid = %d; mctrans = %d\n", cp->numdlvls, cp->qmfbid,
            cod->mctrans);
    fprintf(out, "prg = %d; numlyrs = %d;\n", cod->prg, cod->numlyrs);
    fprintf(out, "cblkwidthval = %d; cblkheightval = %d; cblksty = 0x%02x;\n", cp->cblkwidthval,
            cp->cblkheightval, cp->cblksty);
    const int numrlvls = cp->numrlvls < 0 ? 0 : cp->numrlvls > JPC_MAXRLVLS ? JPC_MAXRLVLS
                                                                            : cp->numrlvls;
    for (int i = 0; i < numrlvls; ++i)
        fprintf(stderr, "prcwidth[%d] = %d, prcheight[%d] = %d\n", i, cp->rlvls[i].prcwidth, i,
                cp->rlvls[i].prcheight);
}

void dump_coc(const jpc_coc_t* coc, FILE* out)
{
    const jpc_coxcp_t* cp = &coc->compparms;
    fprintf(out, "compno = %d; csty = 0x%02x; numdlvls = %d;\n", coc->compno, cp->csty,
            cp->numdlvls);
    fprintf(out, "cblkwidthval = %d; cblkheightval = %d; cblksty = 0x%02x; qmfbid = %d;\n",
            cp->cblkwidthval, cp->cblkheightval, cp->cblksty, cp->qmfbid);
}

void dump_poc(const jpc_poc_t* poc, FILE* out)
{
    if (!poc->pchgs)
        return;
    for (int i = 0; i < poc->numpchgs; ++i) {
        const jpc_pocpchg_t* pchg = &poc->pchgs[i];
        fprintf(out, "po[%d] = %d; ", i, pchg->prgord);
        fprintf(out, "cs[%d] = %d; ce[%d] = %d; ", i, pchg->compnostart, i, pchg->compnoend);
        fprintf(out, "rs[%d] = %d; re[%d] = %d; ", i, pchg->rlvlnostart, i, pchg->rlvlnoend);
        fprintf(out, "le[%d] = %d\n", i, pchg->lyrnoend);
    }
}

void dump_crg(const jpc_crg_t* crg, FILE* out)
{
    if (!crg->comps)
        return;
    for (int i = 0; i < crg->numcomps; ++i)
        fprintf(out, "hoff[%d] = %d; voff[%d] = %d\n", i, crg->comps[i].hoff, i,
                crg->comps[i].voff);
}

void dump_unk(const jpc_unk_t* unk, FILE* out)
{
    if (!unk->data)
        return;
    for (uint32_t i = 0; i < unk->len; ++i)
        fprintf(out, "%02x ", unk->data[i]);
}

}  // namespace

int jpc_ms_dump(const jpc_ms_t* ms, FILE* out)
{
    fprintf(out, "----\n");
    fprintf(out, "marker segment:\n");
    fprintf(out, "type = 0x%04x (%s);", ms->type, jpc_ms_name(ms->type));
    if (!jpc_ms_hasparms(ms->type)) {
        fprintf(out, "\n");
        return 0;
    }
    fprintf(out, " len = %d (%d);", ms->len, ms->len + 2);
    fprintf(stderr, "\n");
    switch (ms->type) {
    case JPC_MS_SOT:
        dump_sot(&ms->parms.sot, out);
        break;
    case JPC_MS_SIZ:
        dump_siz(&ms->parms.siz, out);
        break;
    case JPC_MS_COD:
        dump_cod(&ms->parms.cod, out);
        break;
    case JPC_MS_COC:
        dump_coc(&ms->parms.coc, out);
        break;
    case JPC_MS_RGN:
        fprintf(out, "compno = %d; roisty = %d; roishift = %d\n", ms->parms.rgn.compno,
                ms->parms.rgn.roisty, ms->parms.rgn.roishift);
        break;
    case JPC_MS_QCD: {
        const jpc_qcxcp_t* cp = &ms->parms.qcd.compparms;
        fprintf(out, "qntsty = %d; numguard = %d; numstepsizes = %d\n", cp->qntsty,
                cp->numguard, cp->numstepsizes);
        dump_stepsizes(cp, out);
        break;
    }
    case JPC_MS_QCC: {
        const jpc_qcxcp_t* cp = &ms->parms.qcc.compparms;
        fprintf(out, "compno = %d; qntsty = %d; numguard = %d; numstepsizes = %d\n",
                ms->parms.qcc.compno, cp->qntsty, cp->numguard, cp->numstepsizes);
        dump_stepsizes(cp, out);
        break;
    }
    case JPC_MS_POC:
        dump_poc(&ms->parms.poc, out);
        break;
    case JPC_MS_SOP:
        fprintf(out, "seqno = %d;\n", ms->parms.sop.seqno);
        break;
    case JPC_MS_CRG:
        dump_crg(&ms->parms.crg, out);
        break;
    case JPC_MS_CAP:
        fprintf(out, "pcap = 0x%08x;", ms->parms.cap.pcap);
        for (int i = 0; i < ms->parms.cap.numccaps; ++i)
            fprintf(out, " ccap[%d] = 0x%04x;", i, ms->parms.cap.ccaps[i]);
        fprintf(out, "\n");
        break;
    default:
        // TLM, PLM, PPM, PPT and COM have no parameter dump; unknown types
        // show their bytes.
        if (!jpc_ms_isknown(ms->type))
            dump_unk(&ms->parms.unk, out);
        break;
    }
    return 0;
}
