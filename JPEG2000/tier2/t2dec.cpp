// Tier-2 decoder: packet headers and bodies.
#include "tier2/t2dec.h"

#include "tier2/bitstream.h"
#include "codestream/jpc.h"
#include "tier1/jpcod.h"
#include "base/mathx.h"
#include "base/stream.h"
#include "tier2/tagtree.h"

#include <algorithm>
#include <cstdio>

// Owns a bit reader for the length of one packet header.
struct bitreader_guard {
    bitstream_t* bs;
    ~bitreader_guard()
    {
        if (bs)
            bitstream_close(bs);
    }
};

int dec_peekmarker(stream_t* in)
{
    int c0 = stream_getc(in);
    if (c0 < 0)
        return -1;
    int c1 = stream_getc(in);
    if (c1 < 0) {
        stream_ungetc(in, c0);
        return -1;
    }
    stream_ungetc(in, c1);
    stream_ungetc(in, c0);
    int code = (c0 << 8) | c1;
    return code >= 0xff80 ? code : 0;
}

// Reads a marker segment of the type wanted from in; anything else fails
// with the message given.
static int dec_getmarker(dec_t* dec, stream_t* in, int type, const char* missing,
                         const char* unreadable)
{
    jpc_ms_t* ms = jpc_getms(in, dec->cstate);
    if (!ms) {
        if (unreadable)
            std::fputs(unreadable, stderr);
        return -1;
    }
    int ok = jpc_ms_gettype(ms) == type;
    jpc_ms_destroy(ms);
    if (!ok) {
        std::fputs(missing, stderr);
        return -1;
    }
    return 0;
}

// Number of new coding passes (T.800 Table B.4), or -1.
static int dec_getnumnewpasses(bitstream_t* in)
{
    int b = bitstream_getbit(in);
    if (b <= 0)
        return b < 0 ? -1 : 1;
    if ((b = bitstream_getbit(in)) <= 0)
        return b < 0 ? -1 : 2;
    long v = bitstream_getbits(in, 2);
    if (v < 0)
        return -1;
    if (v < 3)
        return int(3 + v);
    if ((v = bitstream_getbits(in, 5)) < 0)
        return -1;
    if (v < 31)
        return int(6 + v);
    if ((v = bitstream_getbits(in, 7)) < 0)
        return -1;
    return int(37 + v);
}

// Reads the part of a packet header about code block i of the precinct at
// layer lyrno and spreads its new passes over codeword segments.  -1 on a
// failure.
static int dec_decodecblkhdr(bitstream_t* in, dec_prc_t* prc, int i, int lyrno, int lazy,
                             int termall, int ht)
{
    dec_cblk_t* cblk = &prc->cblks[i];
    int included;
    if (cblk->firstpassno >= 0) {
        included = bitstream_getbit(in);
    } else {
        included = tagtree_decode(prc->incltree, tagtree_getleaf(prc->incltree, i), lyrno + 1, in);
    }
    if (included < 0)
        return -1;
    if (!included)
        return 0;
    if (cblk->firstpassno < 0) {
        tagtreenode_t* leaf = tagtree_getleaf(prc->nlibtree, i);
        int t = 1;
        for (;; ++t) {
            int ret = tagtree_decode(prc->nlibtree, leaf, t, in);
            if (ret < 0)
                return -1;
            if (ret)
                break;
            if (t >= JPDEC_MAXNUMIMSBS)
                return -1;
        }
        cblk->numimsbs = t - 1;
        cblk->firstpassno = 3 * cblk->numimsbs;
    }
    int numnewpasses = dec_getnumnewpasses(in);
    if (numnewpasses < 0)
        return -1;
    if (cblk->numpasses + numnewpasses > 3 * 64)
        return -1;
    // Length indicator increment (comma code), once per code block and
    // packet (T.800 B.10.7.1).
    for (;;) {
        int b = bitstream_getbit(in);
        if (b < 0)
            return -1;
        if (!b)
            break;
        if (++cblk->numlenbits > 32)
            return -1;
    }
    // Spread the passes over codeword segments, one length each.
    int segi = cblk->curseg;
    int k = 0;
    while (k < numnewpasses) {
        if (segi >= int(cblk->segs.size()))
            cblk->segs.emplace_back();
        dec_seg_t* seg = &cblk->segs[segi];
        if (seg->passno < 0) {
            int rel = k + cblk->numpasses;  // from the first coded pass
            seg->passno = cblk->firstpassno + rel;
            if (ht) {
                // HT (T.814): a cleanup segment holds one cleanup pass, the
                // first one also the placeholder passes (whole empty HT sets)
                // that come before it in the code block's first
                // contribution; a refinement segment holds SigProp and
                // MagRef.
                if (rel % 3 == 0) {
                    seg->type = SEG_HTCLN;
                    seg->maxpasses = rel == 0 ? 3 * ((numnewpasses - k - 1) / 3) + 1 : 1;
                } else {
                    seg->type = SEG_HTREF;
                    seg->maxpasses = 3 - rel % 3;
                }
            } else {
                seg->type = jpc_segtype(rel, lazy);
                seg->maxpasses = jpc_segpasscnt(rel, 10000, lazy, termall);
            }
        }
        int l = std::min(seg->maxpasses - seg->numpasses, numnewpasses - k);
        if (l <= 0) {
            ++segi;
            continue;
        }
        seg->numpasses += l;
        seg->lyrno = lyrno;
        int nbits = cblk->numlenbits + mathx_floorlog2(l);
        if (nbits >= 32)
            return -1;
        long len = bitstream_getbits(in, nbits);
        if (len < 0)
            return -1;
        seg->cnt += len;
        k += l;
        ++segi;
    }
    cblk->numpasses += numnewpasses;
    return 0;
}

// Decodes the header of one packet.  -1 failure, 0 done, 1 no header data.
static int dec_decodepkthdr(dec_t* dec, stream_t* hdr, stream_t* in, int compno,
                            int rlvlno, int prcno, int lyrno)
{
    dec_tile_t* tile = dec->curtile;
    dec_cp_t* cp = tile->cp;
    if (cp->csty & JPDEC_SOP) {
        // SOP precedes the packet in the body, also when headers are packed.
        // T.800 lets an encoder that announces SOP leave it out of packets,
        // so a packet without one is decoded all the same.
        if (dec_peekmarker(in) == JPC_MS_SOP) {
            if (dec_getmarker(dec, in, JPC_MS_SOP, "missing SOP marker segment\n", nullptr) != 0)
                return -1;
        } else {
            std::fputs("warning: missing SOP marker segment\n", stderr);
        }
    }
    bitreader_guard g{bitstream_open(hdr, "r")};
    if (!g.bs)
        return -1;
    int present = bitstream_getbit(g.bs);
    if (present < 0)
        return 1;
    if (present == 0) {
        std::fputs("warning: empty packet\n", stderr);
    } else {
        const dec_ccp_t* ccp = &cp->ccps[compno];
        int lazy = (ccp->cblksty & JPDEC_CBLK_BYPASS) != 0;
        int termall = (ccp->cblksty & JPDEC_CBLK_TERMALL) != 0;
        int ht = (ccp->cblksty & JPDEC_CBLK_HT) != 0;
        dec_rlvl_t* rlvl = &tile->tcomps[compno].rlvls[rlvlno];
        for (dec_band_t& band : rlvl->bands) {
            dec_prc_t* prc = &band.prcs[prcno];
            for (int i = 0; i < prc->numcblks; ++i)
                if (dec_decodecblkhdr(g.bs, prc, i, lyrno, lazy, termall, ht) < 0)
                    return -1;
        }
    }
    // The header ends at a byte boundary; the fill bits are not checked.
    if (bitstream_inalign(g.bs, 0, 0) < 0)
        return -1;
    bitstream_close(g.bs);
    g.bs = nullptr;
    if (cp->csty & JPDEC_EPH) {
        if (dec_getmarker(dec, hdr, JPC_MS_EPH, "missing EPH marker segment\n",
                          "cannot get (EPH) marker segment\n") != 0)
            return -1;
    }
    return 0;
}

// Moves the announced bytes of every code block of the precinct from the
// packet body into its segments.  A body cut short keeps the bytes that
// are there and fails.
static int dec_decodepktbody(dec_t* dec, stream_t* in, int compno, int rlvlno, int prcno)
{
    dec_tile_t* tile = dec->curtile;
    dec_rlvl_t* rlvl = &tile->tcomps[compno].rlvls[rlvlno];
    for (dec_band_t& band : rlvl->bands) {
        dec_prc_t* prc = &band.prcs[prcno];
        for (dec_cblk_t& cblk : prc->cblks) {
            for (int segi = cblk.curseg; segi < int(cblk.segs.size()); ++segi) {
                dec_seg_t* seg = &cblk.segs[segi];
                if (!seg->stream) {
                    // Most segments arrive whole in one packet; a length
                    // beyond any code block's is only believed as the
                    // bytes come.
                    seg->stream = stream_memcreate(std::clamp<int64_t>(seg->cnt, 64, 1 << 20));
                    if (!seg->stream)
                        return -1;
                }
                if (seg->cnt > 0) {
                    int64_t want = seg->cnt;
                    seg->cnt = 0;
                    if (jpc_getdata(in, seg->stream, want) != 0)
                        return -1;
                }
                if (seg->numpasses >= seg->maxpasses && segi == cblk.curseg)
                    ++cblk.curseg;
            }
        }
    }
    return 0;
}

int dec_decodepkts(dec_t* dec, stream_t* hdr, stream_t* in)
{
    dec_tile_t* tile = dec->curtile;
    pi_t* pi = tile->pi;
    while (!pi->done) {
        if (dec->curtileendoff > 0 && in->rwcnt_ >= dec->curtileendoff)
            return 0;
        int m = dec_peekmarker(in);
        if (m == JPC_MS_SOT || m == JPC_MS_EOC)
            return 0;
        if (m != 0 && m != JPC_MS_SOP && m != JPC_MS_EPH)
            return -1;
        int ret = dec_decodepkthdr(dec, hdr, in, pi->compno, pi->rlvlno, pi->prcno, pi->lyrno);
        if (ret < 0)
            return -1;
        if (ret == 0 && dec_decodepktbody(dec, in, pi->compno, pi->rlvlno, pi->prcno) != 0)
            return -1;
        pi_next(pi);
    }
    return 0;
}
