// Tier-1 decoder (T.800 Annex D): the mirror of t1enc, with the same
// context numbers (module jpcod) and a state of one word per stripe column
// (t1col.h).
#include "tier1/t1dec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <vector>

#include "tier2/bitstream.h"
#include "base/fatal.h"
#include "base/simd.h"
#include "tier1/htdec.h"
#include "tier1/jpcod.h"
#include "tier1/mqdec.h"
#include "base/stream.h"
#include "tier1/t1col.h"
#include "base/threadpool.h"

namespace {

// The decoder keeps magnitudes (the signs are in the column words) in
// stripe order (walk() in t1col.h).  A sample that becomes significant at
// bit plane b takes 1.5 x 2^b, the middle of its interval; each refinement
// at a plane b below keeps bit b for a 1 and clears it for a 0, and sets
// bit b - 1, the middle of the new interval.  Bit b was set (the middle of
// the interval before) and the bits under it clear, so that the magnitude
// is that of a rounding reconstruction at every plane.
struct recon_t {
    uint32_t oneplushalf;
    uint32_t half;
    int b;
    explicit recon_t(int bpno) : oneplushalf(3u << bpno >> 1), half(1u << bpno >> 1), b(bpno) {}
};

T1_INLINE inline void refine(int32_t* dp, int bit, const recon_t& rc)
{
    const uint32_t m = static_cast<uint32_t>(*dp);
    *dp = static_cast<int32_t>((m ^ (static_cast<uint32_t>(bit ^ 1) << rc.b)) | rc.half);
}


// ---- pass decoders ---------------------------------------------------------
// The state is one word per stripe column (t1col.h).  Each pass walks
// the stripes with the column's word in a local, skips with one test the
// columns where it has nothing to do, and stores the word back once.

// Decisions of an MQ segment; the registers stay in the caller's locals.
// Decisions do not branch on their outcome (mqdec_decodeflat): in all
// three passes of a lossless stream, the cleanup pass's zero coding
// included, that measures faster than a branch on the MPS.
struct mqbits_t {
    mqdec_t* dec;
    mqslot_t* ctxs;
    mqdregs_t regs;
    T1_INLINE int bit(int ctxno) { return mqdec_decodeflat(dec, regs, ctxs + ctxno); }
    // A decision in a context that is mostly well predicted (the run
    // length one): the MPS without renormalization is a branch.
    T1_INLINE int predicted(int ctxno) { return mqdec_decode(dec, regs, ctxs + ctxno); }
    // A sign: its context and prediction from one table.
    T1_INLINE uint32_t sign(uint32_t idx)
    {
        const uint32_t e = t1c_signtab.ctxspb[idx];
        return static_cast<uint32_t>(mqdec_decodeflat(dec, regs, ctxs + (e >> 1))) ^ (e & 1);
    }
};

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

struct rawbits_t {
    rawin_t* in;
    T1_INLINE int bit(int) { return rawbit(*in); }
    T1_INLINE uint32_t sign(uint32_t) { return static_cast<uint32_t>(rawbit(*in)); }
};

// The sign of a sample that became significant, its magnitude and its
// flags.
template <bool VCausal, typename Bits>
T1_INLINE inline void signify(Bits& bits, const colblk_t& cb, uint32_t* cp, int32_t* dp,
                              uint32_t& wc, int row, uint32_t value)
{
    const uint32_t neg = bits.sign(t1c_signidx(cp[-1], wc, cp[1], row));
    dp[row] = static_cast<int32_t>(value);
    becomesig<VCausal>(cb, cp, wc, row, neg);
}

template <bool VCausal, typename Bits>
T1_INLINE inline void sigpass(const colblk_t& cb, Bits& bits, int bpno)
{
    const uint32_t value = recon_t(bpno).oneplushalf;
    const uint8_t* sigtab = cb.sigtab;
    auto sample = [&](uint32_t* cp, int32_t* dp, uint32_t& wc, int row) T1_INLINE {
        const int ctxno = sigtab[t1c_zcidx(wc, row)];
        if (!ctxno)
            return;
        if (bits.bit(ctxno))
            signify<VCausal>(bits, cb, cp, dp, wc, row, value);
        wc |= t1c_visit(row);
    };
    walk(cb, [&](uint32_t* cp, int32_t* dp, uint32_t wc, auto h) T1_INLINE {
        // Nothing significant in or around the column, or every row
        // significant already: nothing to code.
        if (!(wc & T1C_SIGALL) || (wc & T1C_SIGROWS) == T1C_SIGROWS)
            return;
        forrows(h, [&](int row) T1_INLINE { sample(cp, dp, wc, row); });
        *cp = wc;
    });
}

template <typename Bits>
T1_INLINE inline void refpass(const colblk_t& cb, Bits& bits, int bpno)
{
    const recon_t rc(bpno);
    auto sample = [&](int32_t* dp, uint32_t& wc, int row) T1_INLINE {
        if ((wc & (t1c_sig(row) | t1c_visit(row))) != t1c_sig(row))
            return;
        refine(dp + row, bits.bit(t1c_magctxno(wc, row)), rc);
        wc |= t1c_refine(row);
    };
    // Significant samples of the column not visited by this plane's
    // significance pass.
    walk(cb, [&](uint32_t* cp, int32_t* dp, uint32_t wc, auto h) T1_INLINE {
        if (!(wc & T1C_SIGROWS))
            return;
        forrows(h, [&](int row) T1_INLINE { sample(dp, wc, row); });
        *cp = wc;
    });
}

template <bool VCausal>
PASS_CLONES void sigpass_mq(const colblk_t& cb, mqdec_t* dec, int bpno)
{
    mqbits_t bits{dec, dec->ctxs, mqdec_getregs(dec)};
    sigpass<VCausal>(cb, bits, bpno);
    mqdec_setregs(dec, bits.regs);
}

template <bool VCausal>
void sigpass_raw(const colblk_t& cb, rawin_t& in, int bpno)
{
    rawbits_t bits{&in};
    sigpass<VCausal>(cb, bits, bpno);
}

PASS_CLONES void refpass_mq(const colblk_t& cb, mqdec_t* dec, int bpno)
{
    mqbits_t bits{dec, dec->ctxs, mqdec_getregs(dec)};
    refpass(cb, bits, bpno);
    mqdec_setregs(dec, bits.regs);
}

void refpass_raw(const colblk_t& cb, rawin_t& in, int bpno)
{
    rawbits_t bits{&in};
    refpass(cb, bits, bpno);
}

template <bool VCausal>
PASS_CLONES void clnpass(const colblk_t& cb, mqdec_t* dec, int bpno, bool segsym)
{
    const uint32_t value = recon_t(bpno).oneplushalf;
    const uint8_t* zctab = cb.zctab;
    mqbits_t bits{dec, dec->ctxs, mqdec_getregs(dec)};

    auto sample = [&](uint32_t* cp, int32_t* dp, uint32_t& wc, int row) T1_INLINE {
        if (!(wc & (t1c_sig(row) | t1c_visit(row))) && bits.bit(zctab[t1c_zcidx(wc, row)]))
            signify<VCausal>(bits, cb, cp, dp, wc, row, value);
    };
    walk(cb, [&](uint32_t* cp, int32_t* dp, uint32_t wc, auto h) T1_INLINE {
        // A full column with nothing significant in or around it and
        // nothing visited is coded by run length.
        if (h == 4 && !(wc & (T1C_SIGALL | T1C_VISITALL))) {
            if (!bits.predicted(JPC_AGGCTXNO))
                return;
            int row = bits.bit(JPC_UCTXNO) << 1;
            row |= bits.bit(JPC_UCTXNO);
            signify<VCausal>(bits, cb, cp, dp, wc, row, value);
            for (++row; row < 4; ++row)
                sample(cp, dp, wc, row);
        } else {
            forrows(h, [&](int row) T1_INLINE { sample(cp, dp, wc, row); });
        }
        *cp = wc & ~T1C_VISITALL;
    });

    if (segsym) {
        int v = bits.bit(JPC_UCTXNO) << 3;
        v |= bits.bit(JPC_UCTXNO) << 2;
        v |= bits.bit(JPC_UCTXNO) << 1;
        v |= bits.bit(JPC_UCTXNO);
        if (v != 0xa)
            fputs("warning: bad segmentation symbol\n", stderr);
    }
    mqdec_setregs(dec, bits.regs);
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

// Half the step size of an irreversible band, 2^(stepshift - 1) x stepmant
// / 2^14: exact in a float (an exponent out of its range gives 0 or
// infinity, only for a damaged stream).
float halfstep(const dec_band_t* band)
{
    return static_cast<float>(std::ldexp(double(band->stepmant), band->stepshift - 15));
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
// In a tile's decoding (intile) the block is dequantized as it is written
// when its component is irreversible without ROI scaling, and zeroed when
// nothing is decoded.
int decodehtcblk(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk, int maxlyrs,
                 htdec_scratch_t& scratch, bool intile)
{
    bool written = false;
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
            if (intile && frac && band->roishift <= 0)
                cb.scale = halfstep(band);
            ret = htdec_decodecblk(cb, scratch);
            written = true;
        }
    }
    if (intile && !written)
        for (int r = 0; r < cblk->height; ++r)
            std::memset(cblk->data + r * cblk->stride, 0,
                        sizeof(int32_t) * static_cast<size_t>(cblk->width));
    dropsegs(cblk, numsegs);
    return ret;
}

// Scratch memory of a decoding thread, kept from block to block.
struct scratch_t {
    std::vector<uint32_t> flags;  // the column words
    std::vector<int32_t> mags;    // the magnitudes in stripe order
    htdec_scratch_t ht;
};

// The decoded block into its rectangle of coefficients (rows stride apart),
// each magnitude with the sign of its column word; samples never
// significant (their magnitudes never written: the buffer is not cleared)
// give 0.
void writeback(const colblk_t& cb, int32_t* data, ptrdiff_t stride)
{
    const int32_t numrows = cb.numrows, numcols = cb.numcols;
    for (int32_t s = 0; s < numrows; s += 4) {
        const uint32_t* cp = cb.cols + (s >> 2) * cb.cs;
        const int32_t* mp = cb.data + ptrdiff_t{s} * numcols;
        const int32_t h = std::min(4, numrows - s);
        for (int32_t row = 0; row < h; ++row) {
            int32_t* dst = data + (s + row) * stride;
            for (int32_t c = 0; c < numcols; ++c) {
                const uint32_t w = cp[c];
                const int32_t sig = -static_cast<int32_t>((w >> (3 * row + 4)) & 1);
                const int32_t neg = -static_cast<int32_t>((w >> (19 + row)) & 1);
                dst[c] = ((mp[4 * c + row] & sig) ^ neg) - neg;
            }
        }
    }
}

int decodecblk(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk, int dopartial,
               int maxlyrs, scratch_t& scratch, bool intile)
{
    if (cblk->segs.empty())
        return 0;
    if (cblk->width <= 0 || cblk->height <= 0 || !cblk->data) {
        dropsegs(cblk, static_cast<int>(cblk->segs.size()));
        return 0;
    }
    if (ccp->cblksty & JPDEC_CBLK_HT)
        return decodehtcblk(ccp, band, cblk, maxlyrs, scratch.ht, intile);
    const int cblksty = ccp->cblksty;
    scratch.mags.resize(static_cast<size_t>((cblk->height + 3) / 4) * 4 * cblk->width);
    const colblk_t cb = colblk_make(scratch.flags, scratch.mags.data(), cblk->height, cblk->width,
                                    band->orient);
    bool decoded = false;  // a pass was decoded: the block is written back
    const bool vcausal = cblksty & JPDEC_CBLK_VSC;

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
            decoded = true;
            const int b = static_cast<int>(bpno) + frac;
            if (seg->type == SEG_MQ) {
                switch (passtype) {
                case JPC_SIGPASS:
                    (vcausal ? sigpass_mq<true> : sigpass_mq<false>)(cb, dec.mq, b);
                    break;
                case JPC_REFPASS:
                    refpass_mq(cb, dec.mq, b);
                    break;
                default:
                    (vcausal ? clnpass<true> : clnpass<false>)(cb, dec.mq, b,
                                                               cblksty & JPDEC_CBLK_SEGSYM);
                    break;
                }
            } else if (passtype == JPC_SIGPASS) {
                (vcausal ? sigpass_raw<true> : sigpass_raw<false>)(cb, raw, b);
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
    if (decoded)
        writeback(cb, cblk->data, cblk->stride);
    // Decoded segments (and, after a stop, the rest of the code block's
    // data, which can no longer be used) are released.
    dropsegs(cblk, stop ? numsegs : segno);
    return ret;
}

}  // namespace

int t1dec_decodecblk(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk,
                     int dopartial, int maxlyrs)
{
    scratch_t scratch;
    return decodecblk(ccp, band, cblk, dopartial, maxlyrs, scratch, false);
}

namespace {

struct cblkjob_t {
    const dec_ccp_t* ccp;
    const dec_band_t* band;
    dec_cblk_t* cblk;
    bool pretouch;  // the tile-component is on small pages
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

// Undoes the ROI scaling of a decoded block's indices in place and, for an
// irreversible component, dequantizes them into real samples (float bits),
// while the block is still in the cache.  Its indices carry one fractional
// bit and lie in the middle of their intervals already, so the sample is
// the index times half the step size.
HOT_CLONES void dequantblock(const dec_band_t* band, bool realmode, int32_t* data,
                             ptrdiff_t stride, int width, int height)
{
    const int frac = realmode ? 1 : 0;
    const int roishift = band->roishift;
    if (roishift > 0 && roishift + frac < 31) {
        const int32_t roithresh = int32_t(1) << (roishift + frac);
        for (int r = 0; r < height; ++r) {
            int32_t* p = data + r * stride;
            for (int c = 0; c < width; ++c) {
                const int32_t x = p[c];
                const int32_t mag = x < 0 ? -x : x;
                if (mag >= roithresh)
                    p[c] = x < 0 ? -(mag >> roishift) : (mag >> roishift);
            }
        }
    }
    if (!realmode)
        return;  // integer indices are the coefficients themselves
    const float hs = halfstep(band);
    for (int r = 0; r < height; ++r) {
        int32_t* p = data + r * stride;
        for (int c = 0; c < width; ++c)
            p[c] = std::bit_cast<int32_t>(static_cast<float>(p[c]) * hs);
    }
}

// Flag words and magnitudes in scratch memory of the decoding thread.
thread_local scratch_t tscratch;

// A block of a tile decoded and dequantized into its rectangle; 0 or -1.
int decodeblock(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cb)
{
    const bool empty = cb->segs.empty();
    const bool realmode = ccp->qmfbid == JPC_COX_INS;
    // The HT decoder dequantizes as it writes the block when there is no
    // ROI scaling to undo first.
    const bool fused = (ccp->cblksty & JPDEC_CBLK_HT) && !empty && realmode && band->roishift <= 0;
    if (decodecblk(ccp, band, cb, 1, -1, tscratch, true))
        return -1;
    if (!fused && !empty && cb->data && cb->width > 0 && cb->height > 0)
        dequantblock(band, realmode, cb->data, cb->stride, cb->width, cb->height);
    return 0;
}

void decodeone(void* arg, int64_t i, int)
{
    decjob_t* job = static_cast<decjob_t*>(arg);
    if (job->failed.load(std::memory_order_relaxed) ||
        job->dec->stopped.load(std::memory_order_relaxed))
        return;
    const cblkjob_t& cj = job->cblks[i];
    // On small pages, the code block's rectangle of the tile-component
    // (fresh memory, all zero) is touched by a write at both ends of each
    // row before decoding: the matrix's fresh pages are then first touched
    // by a write, on this thread, and not faulted in twice (read, then
    // copied on write) by the inverse transform later.  Tiny code blocks (a
    // stream of millions of them costs more than it could save) are left
    // alone.  An HT block writes its whole rectangle itself, decoded or not.
    // A matrix on huge pages takes a few dozen faults whatever touches it
    // first: the touches would only cost a cache miss per row end (8 ms of
    // a 4K HT decode, whose empty blocks are many).
    dec_cblk_t* cb = cj.cblk;
    const bool empty = cb->segs.empty();  // stays zero
    const bool ht = (cj.ccp->cblksty & JPDEC_CBLK_HT) && !empty;
    if (cj.pretouch && !ht && cb->data && cb->width > 0 && cb->width * cb->height >= 256)
        for (int r = 0; r < cb->height; ++r) {
            int32_t* row = cb->data + r * cb->stride;
            row[0] = 0;
            row[cb->width - 1] = 0;
        }
    if (decodeblock(cj.ccp, cj.band, cb)) {
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

bool t1dec_writesall(const dec_ccp_t* ccp, const dec_cblk_t* cblk)
{
    return (ccp->cblksty & JPDEC_CBLK_HT) && !cblk->segs.empty();
}

int t1dec_decodeblock(const dec_ccp_t* ccp, const dec_band_t* band, dec_cblk_t* cblk)
{
    return decodeblock(ccp, band, cblk);
}

int t1dec_decodetile(dec_t* dec, dec_tile_t* tile, int numlazy)
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
            const bool pretouch = !tcomp.data || !matrix_ismapped(tcomp.data);
            if (static_cast<int>(compno) < numlazy && r + 1 == tcomp.rlvls.size())
                continue;
            for (dec_band_t& band : tcomp.rlvls[r].bands)
                for (dec_prc_t& prc : band.prcs) {
                    ++job.numreports;
                    for (dec_cblk_t& cblk : prc.cblks) {
                        ++job.numreports;
                        job.cblks.push_back(cblkjob_t{ccp, &band, &cblk, pretouch});
                    }
                }
        }
    job.result.assign(job.cblks.size(), 0);
    threadpool_for(static_cast<int64_t>(job.cblks.size()), decodeone, decodetick, &job);
    decodetick(&job, static_cast<int64_t>(job.cblks.size()));
    return job.failed.load() || dec->stopped.load() ? -1 : 0;
}
