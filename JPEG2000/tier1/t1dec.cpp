// Tier-1 decoder (T.800 Annex D): the mirror of t1enc, with the same
// context tables and flag word layout (module jpcod).
#include "tier1/t1dec.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <vector>

#include "tier2/bitstream.h"
#include "base/fatal.h"
#include "tier1/htdec.h"
#include "tier1/jpcod.h"
#include "tier1/mqdec.h"
#include "base/stream.h"
#include "tier1/t1scan.h"
#include "base/threadpool.h"

namespace {

// Value of a sample that becomes significant at bit plane bpno, and the
// refinement steps for a 1 and a 0 bit.
struct recon_t {
    int32_t oneplushalf;
    int32_t up;
    int32_t down;
    explicit recon_t(int bpno)
    {
        const int32_t one = int32_t{1} << bpno;
        const int32_t half = one >> 1;
        oneplushalf = one + half;
        up = half;
        down = bpno > 0 ? half : 1;
    }
};

inline void refine(int32_t* dp, int bit, const recon_t& rc)
{
    const int32_t step = bit ? rc.up : -rc.down;
    *dp += *dp < 0 ? -step : step;
}

// ---- pass decoders ---------------------------------------------------------

__attribute__((noinline)) void sigpass_mq(const cblkctx_t& cb, mqdec_t* dec, int bpno)
{
    const recon_t rc(bpno);
    const ptrdiff_t fs = cb.fstride;
    const uint8_t* zctab = cb.zctab;
    const mqstate_t** ctxs = dec->ctxs;
    const bool vcausal = cb.vcausal;
    mqregs_t regs = mqdec_getregs(dec);
    scanif(cb, sigcand, [&](uint32_t* fp, int32_t* dp, bool firstrow) T1_INLINE {
        const uint32_t f = *fp;
        if (!(f & JPC_OTHSIGMSK) || (f & (JPC_SIG | JPC_VISIT)))
            return;
        if (mqdec_decode(dec, regs, ctxs + zctab[f & 0xff])) {
            const uint32_t sf = (f >> 4) & 0xff;
            const uint32_t neg = mqdec_decode(dec, regs, ctxs + jpc_scctxnos[sf]) ^ jpc_spb[sf];
            *dp = neg ? -rc.oneplushalf : rc.oneplushalf;
            setsig(fp, fs, neg, !(vcausal && firstrow));
        }
        *fp |= JPC_VISIT;
    });
    mqdec_setregs(dec, regs);
}

// Raw bits of a bypass segment.  Past the end of the segment's data the
// reader gives 1 bits, as the MQ decoder does: an encoder may drop the
// trailing bytes of a raw segment (a final 0xFF in particular).
struct rawin_t {
    bitstream_t* bs;
    bool exhausted;  // the data ended before the pass did
};

inline int rawbit(rawin_t& in)
{
    const int bit = bitstream_getbit(in.bs);
    if (bit >= 0)
        return bit;
    in.exhausted = true;
    return 1;
}

void sigpass_raw(const cblkctx_t& cb, rawin_t& in, int bpno)
{
    const recon_t rc(bpno);
    const ptrdiff_t fs = cb.fstride;
    const bool vcausal = cb.vcausal;
    scanif(cb, sigcand, [&](uint32_t* fp, int32_t* dp, bool firstrow) T1_INLINE {
        const uint32_t f = *fp;
        if (!(f & JPC_OTHSIGMSK) || (f & (JPC_SIG | JPC_VISIT)))
            return;
        if (rawbit(in)) {
            const int neg = rawbit(in);
            *dp = neg ? -rc.oneplushalf : rc.oneplushalf;
            setsig(fp, fs, neg, !(vcausal && firstrow));
        }
        *fp |= JPC_VISIT;
    });
}

__attribute__((noinline)) void refpass_mq(const cblkctx_t& cb, mqdec_t* dec, int bpno)
{
    const recon_t rc(bpno);
    const mqstate_t** ctxs = dec->ctxs;
    mqregs_t regs = mqdec_getregs(dec);
    scanif(cb, refcand, [&](uint32_t* fp, int32_t* dp, bool) T1_INLINE {
        const uint32_t f = *fp;
        if ((f & (JPC_SIG | JPC_VISIT)) != JPC_SIG)
            return;
        refine(dp, mqdec_decode(dec, regs, ctxs + jpc_getmagctxno(f)), rc);
        *fp = f | JPC_REFINE;
    });
    mqdec_setregs(dec, regs);
}

void refpass_raw(const cblkctx_t& cb, rawin_t& in, int bpno)
{
    const recon_t rc(bpno);
    scanif(cb, refcand, [&](uint32_t* fp, int32_t* dp, bool) T1_INLINE {
        const uint32_t f = *fp;
        if ((f & (JPC_SIG | JPC_VISIT)) != JPC_SIG)
            return;
        refine(dp, rawbit(in), rc);
        *fp = f | JPC_REFINE;
    });
}

__attribute__((noinline)) void clnpass(const cblkctx_t& cb, mqdec_t* dec, int bpno, bool segsym)
{
    const recon_t rc(bpno);
    const ptrdiff_t fs = cb.fstride;
    const ptrdiff_t ds = cb.dstride;
    const uint8_t* zctab = cb.zctab;
    const mqstate_t** ctxs = dec->ctxs;
    const bool vcausal = cb.vcausal;
    mqregs_t regs = mqdec_getregs(dec);

    auto signify = [&](uint32_t* fp, int32_t* dp, bool firstrow) T1_INLINE {
        const uint32_t sf = (*fp >> 4) & 0xff;
        const uint32_t neg = mqdec_decode(dec, regs, ctxs + jpc_scctxnos[sf]) ^ jpc_spb[sf];
        *dp = neg ? -rc.oneplushalf : rc.oneplushalf;
        setsig(fp, fs, neg, !(vcausal && firstrow));
    };
    auto decode = [&](uint32_t* fp, int32_t* dp, bool firstrow) T1_INLINE {
        const uint32_t f = *fp;
        if (!(f & (JPC_SIG | JPC_VISIT)) && mqdec_decode(dec, regs, ctxs + zctab[f & 0xff]))
            signify(fp, dp, firstrow);
        *fp &= ~JPC_VISIT;
    };

    const int32_t numrows = cb.numrows, numcols = cb.numcols;
    uint32_t* const flags = cb.flags;
    int32_t* const data = cb.data;
    for (int32_t s = 0; s < numrows; s += 4) {
        uint32_t* fp = flags + s * fs;
        int32_t* dp = data + s * ds;
        const int32_t h = std::min(4, numrows - s);
        for (int32_t c = 0; c < numcols; ++c, ++fp, ++dp) {
            int32_t k = 0;
            if (h == 4 && !((fp[0] | fp[fs] | fp[2 * fs] | fp[3 * fs]) & JPC_RLMSK)) {
                if (!mqdec_decode(dec, regs, ctxs + JPC_AGGCTXNO))
                    continue;
                k = mqdec_decode(dec, regs, ctxs + JPC_UCTXNO) << 1;
                k |= mqdec_decode(dec, regs, ctxs + JPC_UCTXNO);
                signify(fp + k * fs, dp + k * ds, k == 0);
                ++k;
            }
            if (h == 4 && k == 0) {
                decode(fp, dp, true);
                decode(fp + fs, dp + ds, false);
                decode(fp + 2 * fs, dp + 2 * ds, false);
                decode(fp + 3 * fs, dp + 3 * ds, false);
            } else {
                for (; k < h; ++k)
                    decode(fp + k * fs, dp + k * ds, k == 0);
            }
        }
    }

    if (segsym) {
        int v = mqdec_decode(dec, regs, ctxs + JPC_UCTXNO) << 3;
        v |= mqdec_decode(dec, regs, ctxs + JPC_UCTXNO) << 2;
        v |= mqdec_decode(dec, regs, ctxs + JPC_UCTXNO) << 1;
        v |= mqdec_decode(dec, regs, ctxs + JPC_UCTXNO);
        if (v != 0xa)
            fputs("warning: bad segmentation symbol\n", stderr);
    }
    mqdec_setregs(dec, regs);
}

// Releases the decoders of one code block on every path.
struct decoders_t {
    mqdec_t* mq = nullptr;
    bitstream_t* raw = nullptr;
    ~decoders_t()
    {
        if (raw)
            bitstream_close(raw);
        if (mq)
            mqdec_destroy(mq);
    }
};

// Removes the first numsegs segments of the code block.
void dropsegs(dec_cblk_t* cblk, int numsegs)
{
    for (int i = 0; i < numsegs; ++i)
        dec_seg_destroy(&cblk->segs[i]);
    cblk->segs.erase(cblk->segs.begin(), cblk->segs.begin() + numsegs);
    cblk->curseg = std::max(cblk->curseg - numsegs, 0);
}

// Bytes of a segment's stream, nullptr when it has none.
const uint8_t* segbytes(dec_seg_t* seg, int64_t* len)
{
    *len = 0;
    if (!seg->stream || stream_flush(seg->stream) != 0)
        return nullptr;
    *len = stream_memlength(seg->stream);
    return stream_memdata(seg->stream);
}

// An HT code block: its first cleanup segment, with the refinement
// segment after it when that arrived.  A cleanup segment whose passes did
// not all arrive leaves the block at zero.  Later HT sets are not decoded.
int decodehtcblk(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk, int maxlyrs,
                 htdec_scratch_t& scratch)
{
    const int numsegs = static_cast<int>(cblk->segs.size());
    int ret = 0;
    dec_seg_t* cln = &cblk->segs[0];
    int64_t lcup = 0;
    const uint8_t* clndata = segbytes(cln, &lcup);
    if (cln->type == SEG_HTCLN && clndata && cln->numpasses == cln->maxpasses &&
        (maxlyrs < 0 || cln->lyrno < maxlyrs) && lcup > 0) {
        htdec_cblk_t cb;
        const int rel = cln->passno + cln->numpasses - 1 - cblk->firstpassno;
        // Irreversible coefficients carry one fractional bit, as in
        // decodecblk: the planes sit one higher.
        const int frac = ccp->qmfbid == JPC_COX_INS ? 1 : 0;
        const int64_t p = int64_t{band->roishift} + band->numbps - 1 -
                          (int64_t{cblk->numimsbs} + rel / 3) + frac;
        if (rel < 0 || p < frac || p > 30 || lcup > (int64_t{1} << 30)) {
            fprintf(stderr, "code block bit plane %lld out of range\n", static_cast<long long>(p));
            ret = -1;
        } else {
            cb.cln = clndata;
            cb.lcup = static_cast<int>(lcup);
            cb.p = static_cast<int>(p);
            if (numsegs > 1) {
                dec_seg_t* ref = &cblk->segs[1];
                int64_t lref = 0;
                const uint8_t* refdata = segbytes(ref, &lref);
                if (ref->type == SEG_HTREF && refdata && (maxlyrs < 0 || ref->lyrno < maxlyrs) &&
                    lref <= (int64_t{1} << 30)) {
                    cb.ref = refdata;
                    cb.lref = static_cast<int>(lref);
                    cb.numrefpasses = ref->numpasses;
                }
            }
            cb.vcausal = (ccp->cblksty & JPDEC_CBLK_VSC) != 0;
            cb.width = cblk->width;
            cb.height = cblk->height;
            cb.data = cblk->data;
            cb.stride = cblk->stride;
            ret = htdec_decodecblk(cb, scratch);
        }
    }
    dropsegs(cblk, numsegs);
    return ret;
}

int decodecblk(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk, int dopartial,
               int maxlyrs, std::vector<uint32_t>& flagbuf, htdec_scratch_t& htscratch)
{
    if (cblk->segs.empty())
        return 0;
    if (cblk->width <= 0 || cblk->height <= 0 || !cblk->data) {
        dropsegs(cblk, static_cast<int>(cblk->segs.size()));
        return 0;
    }
    if (ccp->cblksty & JPDEC_CBLK_HT)
        return decodehtcblk(ccp, band, cblk, maxlyrs, htscratch);
    const int cblksty = ccp->cblksty;
    cblkctx_t cb;
    cb.fstride = cblk->width + 2;
    flagbuf.assign(static_cast<size_t>(cb.fstride) * (cblk->height + 2), 0);
    cb.flags = flagbuf.data() + cb.fstride + 1;
    cb.data = cblk->data;
    cb.dstride = cblk->stride;
    cb.numrows = cblk->height;
    cb.numcols = cblk->width;
    cb.zctab = jpc_zcctxnos[band->orient & 3];
    cb.vcausal = cblksty & JPDEC_CBLK_VSC;

    // Coefficients of an irreversible component carry one fractional bit
    // (twice the index): every one then ends in the middle of its interval,
    // decoded down to the last bit plane or not.
    const int frac = ccp->qmfbid == JPC_COX_INS ? 1 : 0;
    decoders_t dec;
    int segno = 0;
    const int numsegs = static_cast<int>(cblk->segs.size());
    int ret = 0;
    bool stop = false;
    for (; segno < numsegs && !stop; ++segno) {
        dec_seg_t* seg = &cblk->segs[segno];
        const bool complete = segno < cblk->curseg;
        if (!complete && !dopartial)
            break;
        if (maxlyrs >= 0 && seg->lyrno >= maxlyrs)
            break;
        if (!seg->stream || seg->numpasses <= 0)
            break;  // nothing arrived for this segment
        rawin_t raw{nullptr, false};
        if (seg->type == SEG_MQ) {
            if (!dec.mq) {
                dec.mq = mqdec_create(JPC_NUMCTXS, nullptr);
                FATAL_CHECK(dec.mq);
                mqdec_setctxs(dec.mq, JPC_NUMCTXS, jpc_ctxinits);
            }
            // The MQ decoder reads the segment's bytes in place.
            int64_t len = 0;
            const uint8_t* bytes = segbytes(seg, &len);
            mqdec_setbuf(dec.mq, bytes, len);
            mqdec_init(dec.mq);
        } else {
            stream_rewind(seg->stream);
            stream_setrwcount(seg->stream, 0);
            dec.raw = bitstream_open(seg->stream, "r");
            FATAL_CHECK(dec.raw);
            raw.bs = dec.raw;
        }

        for (int i = 0; i < seg->numpasses; ++i) {
            const int rel = seg->passno + i - cblk->firstpassno;
            const int64_t bpno = int64_t{band->roishift} + band->numbps - 1 -
                                 (int64_t{cblk->numimsbs} + (rel + 2) / 3);
            // Passes below the last bit plane (an encoder that counted a
            // plane too few missing) hold nothing a coefficient can take:
            // the block ends there, as the peers end it.
            if (rel >= 0 && bpno < 0) {
                stop = true;
                break;
            }
            // Coefficients are 32-bit: the top plane they can hold is 30.
            if (rel < 0 || bpno + frac > 30) {
                fprintf(stderr, "code block bit plane %lld out of range\n",
                        static_cast<long long>(bpno));
                ret = -1;
                stop = true;
                break;
            }
            const int passtype = jpc_passtype(rel);
            const int b = static_cast<int>(bpno) + frac;
            if (seg->type == SEG_MQ) {
                switch (passtype) {
                case JPC_SIGPASS:
                    sigpass_mq(cb, dec.mq, b);
                    break;
                case JPC_REFPASS:
                    refpass_mq(cb, dec.mq, b);
                    break;
                default:
                    clnpass(cb, dec.mq, b, cblksty & JPDEC_CBLK_SEGSYM);
                    break;
                }
            } else if (passtype == JPC_SIGPASS) {
                sigpass_raw(cb, raw, b);
            } else if (passtype == JPC_REFPASS) {
                refpass_raw(cb, raw, b);
            } else {
                // The pass rules never put a cleanup pass in a raw segment.
                fputs("damaged code block: a cleanup pass in a raw segment\n", stderr);
                ret = -1;
                stop = true;
                break;
            }
            if ((cblksty & JPDEC_CBLK_RESET) && dec.mq)
                mqdec_setctxs(dec.mq, JPC_NUMCTXS, jpc_ctxinits);
        }

        if (dec.raw) {
            // Fill bits follow the last pass of a raw segment; they are
            // checked when all of the segment's passes (and data) arrived.
            // A segment cut at a layer boundary goes on with further passes.
            if (!stop && !raw.exhausted && seg->numpasses >= seg->maxpasses &&
                bitstream_inalign(dec.raw, 0x7f, 0x2a) > 0)
                fputs("warning: bad fill pattern\n", stderr);
            bitstream_close(dec.raw);
            dec.raw = nullptr;
        }
    }
    // Decoded segments (and, after a stop, the rest of the code block's
    // data, which can no longer be used) are released.
    dropsegs(cblk, stop ? numsegs : segno);
    return ret;
}

}  // namespace

int t1dec_decodecblk(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk,
                     int dopartial, int maxlyrs)
{
    std::vector<uint32_t> flagbuf;
    htdec_scratch_t htscratch;
    return decodecblk(ccp, band, cblk, dopartial, maxlyrs, flagbuf, htscratch);
}

namespace {

struct cblkjob_t {
    const dec_ccp_t* ccp;
    const dec_band_t* band;
    dec_cblk_t* cblk;
};

struct decjob_t {
    dec_t* dec;
    std::vector<cblkjob_t> cblks;
    std::vector<signed char> result;
    std::atomic<bool> failed{false};
    int64_t numreports;  // one per precinct and one per code block
    int64_t reported = 0;
    int64_t trimmed = 0;  // sixteenths of the blocks after which memory was trimmed
};

void decodeone(void* arg, int64_t i, int)
{
    decjob_t* job = static_cast<decjob_t*>(arg);
    if (job->failed.load(std::memory_order_relaxed) ||
        job->dec->stopped.load(std::memory_order_relaxed))
        return;
    // Flag words in scratch memory of the decoding thread.
    thread_local std::vector<uint32_t> flagbuf;
    thread_local htdec_scratch_t htscratch;
    const cblkjob_t& cj = job->cblks[i];
    // The code block's rectangle of the tile-component is written whole
    // (zeros where nothing is significant) before decoding: the matrix's
    // fresh pages are then first touched by a write, on this thread, and
    // not faulted in twice (read, then copied on write) by the inverse
    // transform later.  Tiny code blocks (a stream of millions of them
    // costs more in calls than it could save) are left alone.
    if (dec_cblk_t* cb = cj.cblk; cb->data && cb->width > 0 && cb->width * cb->height >= 256)
        for (int r = 0; r < cb->height; ++r)
            std::memset(cb->data + r * cb->stride, 0, sizeof(int32_t) * static_cast<size_t>(cb->width));
    if (decodecblk(cj.ccp, cj.band, cj.cblk, 1, -1, flagbuf, htscratch)) {
        job->result[i] = -1;
        job->failed.store(true, std::memory_order_relaxed);
    }
}

// Progress on the calling thread, in proportion to the code blocks done:
// from 15 up to 60.
void decodetick(void* arg, int64_t done)
{
    decjob_t* job = static_cast<decjob_t*>(arg);
    const int64_t n = static_cast<int64_t>(job->cblks.size());
    const int64_t target = n > 0 ? job->numreports * done / n : job->numreports;
    for (; job->reported < target; ++job->reported)
        dec_progress(job->dec, 15 + static_cast<int>(45 * job->reported / job->numreports));
#ifdef __GLIBC__
    // The segments of the blocks decoded so far are freed; their pages go
    // back to the system every sixteenth of the blocks, so that the tile's
    // compressed data shrinks while its coefficients grow.
    const int64_t part = n * job->trimmed / 16;
    if (done >= part + n / 16 && n >= 256) {
        malloc_trim(0);
        ++job->trimmed;
    }
#endif
}

}  // namespace

int t1dec_decodetile(dec_t* dec, dec_tile_t* tile)
{
    // Code blocks are independent: they are decoded on the thread pool,
    // each into its own rectangle of coefficients.
    decjob_t job;
    job.dec = dec;
    job.numreports = 0;
    // Resolution by resolution, as the packets of the usual progressions
    // brought the segments in: their memory is then freed in about the
    // order it was taken.
    size_t numrlvls = 0;
    for (const dec_tcomp_t& tcomp : tile->tcomps)
        numrlvls = std::max(numrlvls, tcomp.rlvls.size());
    for (size_t r = 0; r < numrlvls; ++r)
        for (size_t compno = 0; compno < tile->tcomps.size(); ++compno) {
            dec_tcomp_t& tcomp = tile->tcomps[compno];
            if (r >= tcomp.rlvls.size())
                continue;
            const dec_ccp_t* ccp = &tile->cp->ccps[compno];
            for (dec_band_t& band : tcomp.rlvls[r].bands)
                for (dec_prc_t& prc : band.prcs) {
                    ++job.numreports;
                    for (dec_cblk_t& cblk : prc.cblks) {
                        ++job.numreports;
                        job.cblks.push_back(cblkjob_t{ccp, &band, &cblk});
                    }
                }
        }
    job.result.assign(job.cblks.size(), 0);
    threadpool_for(static_cast<int64_t>(job.cblks.size()), decodeone, decodetick, &job);
    decodetick(&job, static_cast<int64_t>(job.cblks.size()));
    return job.failed.load() || dec->stopped.load() ? -1 : 0;
}
