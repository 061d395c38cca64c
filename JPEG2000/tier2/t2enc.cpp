#include "tier2/t2enc.h"

#include "tier2/bitstream.h"
#include "base/fatal.h"
#include "codestream/jpc.h"
#include "base/mathx.h"
#include "base/stream.h"
#include "tier2/tagtree.h"

namespace {

// Number of passes from pass p on (up to end) whose layer is lyrno.
inline int runlength(const jpenc_pass_t* p, const jpenc_pass_t* end, int lyrno)
{
    int n = 0;
    while (p != end && p->lyrno == lyrno) {
        ++p;
        ++n;
    }
    return n;
}

// The candidate that an HT code block sends (see jpenc_cblk_t::ht), 0 for
// other code blocks and for an HT code block that layer 0 leaves out.  Its
// cleanup pass lies that many planes below the top: the zero bit-planes
// signalled grow by as many.
inline int htcandidate(const jpenc_cblk_t* cblk)
{
    if (!cblk->ht || !cblk->passes || cblk->curpass != cblk->passes)
        return 0;
    const int n = runlength(cblk->curpass, cblk->passes + cblk->numpasses, 0);
    return n > 0 ? (n - 1) / 3 : 0;
}

// The number of new passes with the code of T.800 Table B.4.
int putnumpasses(bitstream_t* out, int n)
{
    FATAL_CHECK(n >= 1 && n <= 164);
    if (n == 1)
        return bitstream_putbit(out, 0) < 0 ? -1 : 0;
    if (n == 2)
        return bitstream_putbits(out, 2, 2);
    if (n <= 5)
        return bitstream_putbits(out, 4, 0xc | (n - 3));
    if (n <= 36)
        return bitstream_putbits(out, 9, 0x1e0 | (n - 6));
    return bitstream_putbits(out, 16, 0xff80 | (n - 37));
}

// Lengths of the codeword segments that n passes from pass first add to a
// code block: a segment ends at every terminated pass and at the last of
// the n passes.  One Lblock increase is signalled for the code block, large
// enough for every segment (T.800 B.10.7), then each segment's length in
// Lblock + floor(log2(passes of the segment)) bits.
int putlengths(bitstream_t* out, jpenc_cblk_t* cblk, const jpenc_pass_t* first, int n)
{
    struct seg_t {
        int64_t len;
        int numpasses;
    };
    seg_t segs[164];
    int numsegs = 0;
    int64_t prev = first->start;
    int k = 0;
    if (cblk->ht) {
        // The HT set of the candidate that the last pass names: its cleanup
        // segment, then the refinement segment of its other passes.
        const jpenc_pass_t* last = first + n - 1;
        const int32_t cln = cblk->passes[(last - cblk->passes) / 3 * 3].end;
        segs[0] = {cln, 1};
        numsegs = 1;
        if (last->htpasses > 1)
            segs[numsegs++] = {last->end - cln, last->htpasses - 1};
        n = 0;
    }
    for (int i = 0; i < n; ++i) {
        const jpenc_pass_t* p = first + i;
        ++k;
        if (p->term || i == n - 1) {
            segs[numsegs].len = p->end - prev;
            segs[numsegs].numpasses = k;
            ++numsegs;
            prev = p->end;
            k = 0;
        }
    }
    int increase = 0;
    for (int s = 0; s < numsegs; ++s) {
        int need = mathx_floorlog2z(segs[s].len) - mathx_floorlog2z(segs[s].numpasses) + 1 -
                   cblk->numlenbits;
        if (need > increase)
            increase = need;
    }
    for (int i = 0; i < increase; ++i)
        if (bitstream_putbit(out, 1) < 0)
            return -1;
    if (bitstream_putbit(out, 0) < 0)
        return -1;
    cblk->numlenbits += increase;
    for (int s = 0; s < numsegs; ++s) {
        int nbits = cblk->numlenbits + mathx_floorlog2z(segs[s].numpasses);
        FATAL_CHECK(nbits < 32);
        if (bitstream_putbits(out, nbits, static_cast<long>(segs[s].len)) < 0)
            return -1;
    }
    return 0;
}

// Header of the packet of level lvl at layer lyrno.
int putheader(bitstream_t* out, jpenc_lvl_t* lvl, int lyrno)
{
    if (bitstream_putbit(out, 1) < 0)
        return -1;
    for (int b = 0; b < lvl->numbands; ++b) {
        jpenc_band_t* band = &lvl->bands[b];
        if (band->cblks.empty())
            continue;
        for (int c = 0; c < band->numcblks; ++c) {
            jpenc_cblk_t* cblk = &band->cblks[c];
            if (lyrno == 0)
                tagtree_setvalue(band->nlibtree, tagtree_getleaf(band->nlibtree, c),
                                 cblk->numimsbs + htcandidate(cblk));
            if (cblk->curpass && cblk->curpass->lyrno == lyrno && cblk->numencpasses == 0)
                tagtree_setvalue(band->incltree, tagtree_getleaf(band->incltree, c), lyrno);
        }
        for (int c = 0; c < band->numcblks; ++c) {
            jpenc_cblk_t* cblk = &band->cblks[c];
            bool included = cblk->curpass && cblk->curpass->lyrno == lyrno;
            if (cblk->numencpasses > 0) {
                if (bitstream_putbit(out, included ? 1 : 0) < 0)
                    return -1;
            } else if (tagtree_encode(band->incltree, tagtree_getleaf(band->incltree, c),
                                      lyrno + 1, out) < 0) {
                return -1;
            }
            if (!included)
                continue;
            if (cblk->numencpasses == 0) {
                // The whole value at once: a node sends its bits only once
                // its parent is known, so rising thresholds would send the
                // same bits in the same order.
                tagtreenode_t* leaf = tagtree_getleaf(band->nlibtree, c);
                const int ret = tagtree_encode(band->nlibtree, leaf, leaf->value_ + 1, out);
                if (ret < 0)
                    return -1;
                FATAL_CHECK(ret > 0 && leaf->known_);
            }
            const jpenc_pass_t* end = cblk->passes + cblk->numpasses;
            int n = runlength(cblk->curpass, end, lyrno);
            if (putnumpasses(out, cblk->ht ? cblk->curpass[n - 1].htpasses : n) < 0 ||
                putlengths(out, cblk, cblk->curpass, n) < 0)
                return -1;
        }
    }
    return 0;
}

} // namespace

int64_t t2enc_encodepkt(jpenc_comp_t* comps, stream_t* out, int compno, int lvlno, int lyrno,
                        int copybody)
{
    jpenc_comp_t* comp = &comps[compno];
    jpenc_lvl_t* lvl = &comp->lvls[lvlno];

    int64_t startpos = stream_tell(out);
    if (startpos < 0)
        return -1;
    bitstream_t* bout = bitstream_open(out, "w+");
    FATAL_CHECK(bout);
    FATAL_CHECK(bout->openmode_ & BITSTREAM_WRITE);
    int ret = putheader(bout, lvl, lyrno);
    if (bitstream_outalign(bout, 0) < 0)
        ret = -1;
    if (bitstream_close(bout) < 0)
        ret = -1;
    if (ret < 0)
        return -1;
    int64_t endpos = stream_tell(out);
    if (endpos < 0)
        return -1;
    int64_t len = endpos - startpos;

    for (int b = 0; b < lvl->numbands; ++b) {
        jpenc_band_t* band = &lvl->bands[b];
        if (band->cblks.empty())
            continue;
        for (int c = 0; c < band->numcblks; ++c) {
            jpenc_cblk_t* cblk = &band->cblks[c];
            jpenc_pass_t* pass = cblk->curpass;
            if (!pass)
                continue;
            if (pass->lyrno != lyrno) {
                FATAL_CHECK(pass->lyrno < 0 || pass->lyrno > lyrno);
                continue;
            }
            jpenc_pass_t* end = cblk->passes + cblk->numpasses;
            int n = runlength(pass, end, lyrno);
            jpenc_pass_t* last = pass + n - 1;
            int64_t nbytes = last->end - pass->start;
            // An HT code block sends the HT set its last pass names.
            int64_t from = pass->start;
            if (cblk->ht) {
                from = last->start;
                nbytes = last->end;
            }
            if (copybody && nbytes > 0) {
                unsigned char* data = stream_memdata(cblk->stream);
                FATAL_CHECK(data && stream_memlength(cblk->stream) >= from + nbytes);
                if (stream_write(out, data + from, nbytes) != nbytes)
                    return -1;
            }
            len += nbytes;
            cblk->curpass = (last + 1 == end) ? nullptr : last + 1;
            cblk->numencpasses += n;
        }
    }
    return len;
}

// Calls f(band) for every band with code blocks of every component.
template <typename F>
static void foreach_band(jpenc_comp_t* comps, int numcomps, F f)
{
    for (int k = 0; k < numcomps; ++k)
        for (int r = 0; r < comps[k].numrlvls; ++r) {
            jpenc_lvl_t* lvl = &comps[k].lvls[r];
            for (int b = 0; b < lvl->numbands; ++b)
                if (!lvl->bands[b].cblks.empty())
                    f(&lvl->bands[b]);
        }
}

void t2enc_reset(jpenc_comp_t* comps, int numcomps, int clearlyrs)
{
    foreach_band(comps, numcomps, [clearlyrs](jpenc_band_t* band) {
        tagtree_reset(band->incltree);
        tagtree_reset(band->nlibtree);
        for (int c = 0; c < band->numcblks; ++c) {
            jpenc_cblk_t* cblk = &band->cblks[c];
            cblk->curpass = cblk->numpasses > 0 ? cblk->passes : nullptr;
            cblk->numencpasses = 0;
            cblk->numlenbits = 3;
            cblk->numimsbs = band->numbps - cblk->numbps;
            FATAL_CHECK(cblk->numimsbs >= 0);
            // An HT code block's zero bit-planes depend on the candidate
            // that layer 0 sends: the packet header sets them.
            if (!cblk->ht)
                tagtree_setvalue(band->nlibtree, tagtree_getleaf(band->nlibtree, c),
                                 cblk->numimsbs);
            if (clearlyrs)
                for (int p = 0; p < cblk->numpasses; ++p)
                    cblk->passes[p].lyrno = 0;
        }
    });
}

void t2enc_savelvl(jpenc_lvl_t* lvl)
{
    for (int b = 0; b < lvl->numbands; ++b) {
        jpenc_band_t* band = &lvl->bands[b];
        if (band->cblks.empty())
            continue;
        tagtree_copy(band->savedincltree, band->incltree);
        tagtree_copy(band->savednlibtree, band->nlibtree);
        for (int c = 0; c < band->numcblks; ++c) {
            jpenc_cblk_t* cblk = &band->cblks[c];
            cblk->savedcurpass = cblk->curpass;
            cblk->savednumencpasses = cblk->numencpasses;
            cblk->savednumlenbits = cblk->numlenbits;
        }
    }
}

void t2enc_restorelvl(jpenc_lvl_t* lvl)
{
    for (int b = 0; b < lvl->numbands; ++b) {
        jpenc_band_t* band = &lvl->bands[b];
        if (band->cblks.empty())
            continue;
        tagtree_copy(band->incltree, band->savedincltree);
        tagtree_copy(band->nlibtree, band->savednlibtree);
        for (int c = 0; c < band->numcblks; ++c) {
            jpenc_cblk_t* cblk = &band->cblks[c];
            cblk->curpass = cblk->savedcurpass;
            cblk->numencpasses = cblk->savednumencpasses;
            cblk->numlenbits = cblk->savednumlenbits;
        }
    }
}

void t2enc_save(jpenc_comp_t* comps, int numcomps)
{
    for (int k = 0; k < numcomps; ++k)
        for (int r = 0; r < comps[k].numrlvls; ++r)
            t2enc_savelvl(&comps[k].lvls[r]);
}

void t2enc_restore(jpenc_comp_t* comps, int numcomps)
{
    for (int k = 0; k < numcomps; ++k)
        for (int r = 0; r < comps[k].numrlvls; ++r)
            t2enc_restorelvl(&comps[k].lvls[r]);
}

int t2enc_encodepkts(jpenc_comp_t* comps, int numcomps, int numlyrs, int prg, stream_t* out)
{
    t2enc_reset(comps, numcomps, 0);
    int maxrlvls = 0;
    for (int k = 0; k < numcomps; ++k)
        if (comps[k].numrlvls > maxrlvls)
            maxrlvls = comps[k].numrlvls;
    // LRCP runs the layers outside the levels, RLCP inside.
    FATAL_CHECK(prg == JPC_COD_LRCPPRG || prg == JPC_COD_RLCPPRG);
    const bool lrcp = prg == JPC_COD_LRCPPRG;
    const int nouter = lrcp ? numlyrs : maxrlvls;
    const int ninner = lrcp ? maxrlvls : numlyrs;
    for (int o = 0; o < nouter; ++o)
        for (int i = 0; i < ninner; ++i) {
            const int l = lrcp ? o : i, r = lrcp ? i : o;
            for (int k = 0; k < numcomps; ++k)
                if (r < comps[k].numrlvls && t2enc_encodepkt(comps, out, k, r, l, 1) < 0)
                    return -1;
        }
    return 0;
}
