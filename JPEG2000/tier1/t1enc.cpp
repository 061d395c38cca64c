// Tier-1 encoder (T.800 Annex D): significance propagation, magnitude
// refinement and cleanup passes over the stripes of a code block, coded by
// the MQ encoder or, in bypass segments, as raw bits.
#include "tier1/t1enc.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "tier2/bitstream.h"
#include "base/fatal.h"
#include "tier1/htenc.h"
#include "tier1/jpcod.h"
#include "tier1/mqenc.h"
#include "tier1/requant.h"
#include "tier1/t1col.h"
#include "base/seq.h"
#include "base/stream.h"
#include "tier1/t1est.h"
#include "base/simd.h"
#include "base/threadpool.h"

namespace {

// Without a branch on the sign, which is seldom predicted.
inline uint32_t magnitude(int32_t v)
{
    const uint32_t s = static_cast<uint32_t>(v >> 31);
    return (static_cast<uint32_t>(v) ^ s) - s;
}

// ---- pass coders -------------------------------------------------------------
// The state is one word per stripe column (t1col.h), as in the decoder:
// each pass walks the stripes with the column's word in a local, skips
// with one test the columns where it has nothing to code, and stores the
// word back once.  Besides the decisions a pass sums the decrease of the
// distortion it brings (jpc_getsignmsedec, jpc_getrefnmsedec).

// The samples of a code block are coded from a copy in stripe order
// (walk() in t1col.h).
inline void stripecopy(std::vector<int32_t>& buf, const matrix_t* data, int32_t numrows,
                       int32_t numcols)
{
    buf.assign(static_cast<size_t>((numrows + 3) / 4) * 4 * numcols, 0);
    for (int32_t r = 0; r < numrows; ++r) {
        const int32_t* src = matrix_row(data, r);
        int32_t* dst = buf.data() + ptrdiff_t{r >> 2} * 4 * numcols + (r & 3);
        for (int32_t c = 0; c < numcols; ++c)
            dst[4 * c] = src[c];
    }
}

// Decisions into an MQ segment; the registers stay in the caller's locals.
struct mqbits_t {
    mqenc_t* enc;
    mqslot_t* ctxs;
    mqregs_t regs;
    T1_INLINE void bit(int ctxno, int bit) { mqenc_encode(enc, regs, ctxs + ctxno, bit); }
    T1_INLINE void sign(uint32_t idx, uint32_t neg)
    {
        const uint32_t e = t1c_signtab.ctxspb[idx];
        bit(static_cast<int>(e >> 1), static_cast<int>((neg ^ e) & 1));
    }
};

// Raw bits of a bypass segment.
struct rawbits_t {
    bitstream_t* out;
    T1_INLINE void bit(int, int bit) { bitstream_putbit(out, bit); }
    T1_INLINE void sign(uint32_t, uint32_t neg) { bitstream_putbit(out, static_cast<int>(neg)); }
};

// Codes the sign of the sample of row row at dp (value v, magnitude mag)
// that has just become significant, and tells its neighbours.
template <bool VCausal, typename Bits>
T1_INLINE inline void signify(Bits& bits, const colblk_t& cb, uint32_t* cp, uint32_t& wc,
                              int row, int32_t v, uint32_t mag, int bitpos, int32_t& nmsedec)
{
    const uint32_t neg = v < 0;
    bits.sign(t1c_signidx(cp[-1], wc, cp[1], row), neg);
    nmsedec += jpc_getsignmsedec(static_cast<int32_t>(mag), bitpos);
    becomesig<VCausal>(cb, cp, wc, row, neg);
}

template <bool VCausal, typename Bits>
T1_INLINE inline int32_t sigpass(const colblk_t& cb, Bits& bits, int bitpos)
{
    const int shift = bitpos + JPC_NUMEXTRABITS;
    const uint8_t* sigtab = cb.sigtab;
    int32_t nmsedec = 0;
    auto sample = [&](uint32_t* cp, const int32_t* dp, uint32_t& wc, int row) T1_INLINE {
        const int ctxno = sigtab[t1c_zcidx(wc, row)];
        if (!ctxno)
            return;
        const int32_t v = dp[row];
        const uint32_t mag = magnitude(v);
        const int bit = (mag >> shift) & 1;
        bits.bit(ctxno, bit);
        if (bit)
            signify<VCausal>(bits, cb, cp, wc, row, v, mag, bitpos, nmsedec);
        wc |= t1c_visit(row);
    };
    walk(cb, [&](uint32_t* cp, const int32_t* dp, uint32_t wc, auto h) T1_INLINE {
        // Nothing significant in or around the column, or every row
        // significant already (late planes of fine blocks): nothing to code.
        if (!(wc & T1C_SIGALL) || (wc & T1C_SIGROWS) == T1C_SIGROWS)
            return;
        forrows(h, [&](int row) T1_INLINE { sample(cp, dp, wc, row); });
        *cp = wc;
    });
    return nmsedec;
}

template <typename Bits>
T1_INLINE inline int32_t refpass(const colblk_t& cb, Bits& bits, int bitpos)
{
    const int shift = bitpos + JPC_NUMEXTRABITS;
    int32_t nmsedec = 0;
    auto sample = [&](const int32_t* dp, uint32_t& wc, int row) T1_INLINE {
        if ((wc & (t1c_sig(row) | t1c_visit(row))) != t1c_sig(row))
            return;
        const uint32_t mag = magnitude(dp[row]);
        bits.bit(t1c_magctxno(wc, row), (mag >> shift) & 1);
        nmsedec += jpc_getrefnmsedec(static_cast<int32_t>(mag), bitpos);
        wc |= t1c_refine(row);
    };
    // Significant samples of the column not visited by this plane's
    // significance pass.
    walk(cb, [&](uint32_t* cp, const int32_t* dp, uint32_t wc, auto h) T1_INLINE {
        if (!(wc & T1C_SIGROWS))
            return;
        forrows(h, [&](int row) T1_INLINE { sample(dp, wc, row); });
        *cp = wc;
    });
    return nmsedec;
}

template <bool VCausal>
PASS_CLONES int32_t sigpass_mq(const colblk_t& cb, mqenc_t* enc, int bitpos)
{
    mqbits_t bits{enc, enc->ctxs, mqenc_getregs(enc)};
    const int32_t nmsedec = sigpass<VCausal>(cb, bits, bitpos);
    mqenc_setregs(enc, bits.regs);
    return nmsedec;
}

template <bool VCausal>
int32_t sigpass_raw(const colblk_t& cb, bitstream_t* out, int bitpos)
{
    rawbits_t bits{out};
    return sigpass<VCausal>(cb, bits, bitpos);
}

PASS_CLONES int32_t refpass_mq(const colblk_t& cb, mqenc_t* enc, int bitpos)
{
    mqbits_t bits{enc, enc->ctxs, mqenc_getregs(enc)};
    const int32_t nmsedec = refpass(cb, bits, bitpos);
    mqenc_setregs(enc, bits.regs);
    return nmsedec;
}

int32_t refpass_raw(const colblk_t& cb, bitstream_t* out, int bitpos)
{
    rawbits_t bits{out};
    return refpass(cb, bits, bitpos);
}

template <bool VCausal>
PASS_CLONES int32_t clnpass(const colblk_t& cb, mqenc_t* enc, int bitpos, bool segsym)
{
    const int shift = bitpos + JPC_NUMEXTRABITS;
    const uint8_t* zctab = cb.zctab;
    mqbits_t bits{enc, enc->ctxs, mqenc_getregs(enc)};
    int32_t nmsedec = 0;

    // Zero coding of one sample not yet significant nor visited.
    auto sample = [&](uint32_t* cp, const int32_t* dp, uint32_t& wc, int row) T1_INLINE {
        if (wc & (t1c_sig(row) | t1c_visit(row)))
            return;
        const int32_t v = dp[row];
        const uint32_t mag = magnitude(v);
        const int bit = (mag >> shift) & 1;
        bits.bit(zctab[t1c_zcidx(wc, row)], bit);
        if (bit)
            signify<VCausal>(bits, cb, cp, wc, row, v, mag, bitpos, nmsedec);
    };
    walk(cb, [&](uint32_t* cp, const int32_t* dp, uint32_t wc, auto h) T1_INLINE {
        // A full column with nothing significant in or around it and
        // nothing visited is coded by run length: the row of the first
        // sample that becomes significant, or a single 0 when none does.
        if (h == 4 && !(wc & (T1C_SIGALL | T1C_VISITALL))) {
            int row = 0;
            while (row < 4 && !((magnitude(dp[row]) >> shift) & 1))
                ++row;
            if (row == 4) {
                bits.bit(JPC_AGGCTXNO, 0);
                return;
            }
            bits.bit(JPC_AGGCTXNO, 1);
            bits.bit(JPC_UCTXNO, row >> 1);
            bits.bit(JPC_UCTXNO, row & 1);
            const int32_t v = dp[row];
            signify<VCausal>(bits, cb, cp, wc, row, v, magnitude(v), bitpos, nmsedec);
            for (++row; row < 4; ++row)
                sample(cp, dp, wc, row);
        } else {
            forrows(h, [&](int row) T1_INLINE { sample(cp, dp, wc, row); });
        }
        *cp = wc & ~T1C_VISITALL;
    });

    if (segsym) {
        bits.bit(JPC_UCTXNO, 1);
        bits.bit(JPC_UCTXNO, 0);
        bits.bit(JPC_UCTXNO, 1);
        bits.bit(JPC_UCTXNO, 0);
    }
    mqenc_setregs(enc, bits.regs);
    return nmsedec;
}

// Raises the pass ends that the coder could only estimate (passes inside a
// codeword segment) to a safe length: enough bytes for the decoder to
// reproduce the pass, never beyond the end of its segment.
void fixends(jpenc_pass_t* passes, int numpasses, const unsigned char* code)
{
    int32_t o = 0;
    for (int n = 0; n < numpasses; ++n) {
        jpenc_pass_t* pass = &passes[n];
        pass->start = std::max(pass->start, o);
        pass->end = std::max(pass->end, o);
        if (pass->type == SEG_MQ && !pass->term) {
            const jpenc_pass_t* termpass = pass + 1;
            while (!termpass->term)
                ++termpass;
            // The fewest bytes of the finished codeword that decode the
            // pass (the held-back byte and run sit after the stream
            // position).
            mqencstate_t state;
            state.areg = uint32_t(pass->mqencA);
            state.creg = uint32_t(pass->mqencC);
            state.ctreg = pass->mqencCT;
            state.lastbyte = pass->mqenclastbyte;
            state.runlen = pass->mqencrunlen;
            state.outbuf = pass->mqencB;
            pass->end = int32_t(mqenc_trunclen(&state, pass->end, code, termpass->end));
        }
        o = std::max(o, pass->end);
    }
}

// Bit planes of magnitudes (with JPC_NUMEXTRABITS fractional bits) whose
// OR is ormag: the OR has the top bit of the largest (and, unlike an
// unsigned maximum, vectorises with SSE2).
int orbps(uint32_t ormag)
{
    const int log2 = ormag ? 31 - __builtin_clz(ormag) : -1;
    return std::max(log2 - (JPC_NUMEXTRABITS - 1), 0);
}

}  // namespace

int t1enc_numbps(const matrix_t* data)
{
    uint32_t ormag = 0;
    const int32_t numcols = matrix_numcols(data);
    for (int32_t r = 0; r < matrix_numrows(data); ++r) {
        const int32_t* row = matrix_row(data, r);
        for (int32_t c = 0; c < numcols; ++c)
            ormag |= magnitude(row[c]);
    }
    return orbps(ormag);
}

namespace {

// Zeroed pass records of a block, from the component's arena when it has
// one (as tier-1 coding of all blocks gives it), else its own.
jpenc_pass_t* newpasses(const jpenc_comp_t* comp, jpenc_cblk_t* cblk, int numpasses)
{
    const size_t size = sizeof(jpenc_pass_t) * size_t(numpasses);
    void* p = comp->arena ? jpenc_arenaalloc(comp->arena, size) : std::malloc(size);
    FATAL_CHECK(p);
    std::memset(p, 0, size);
    cblk->arenapasses = comp->arena != nullptr;
    return static_cast<jpenc_pass_t*>(p);
}

// Keeps a block's coded bytes (written into the coding thread's scratch
// memory) as its stream until tier-2 coding: a copy in the component's
// arena, else in memory of its own.  0, or -1 when out of memory.
int keepbytes(const jpenc_comp_t* comp, jpenc_cblk_t* cblk, const unsigned char* bytes,
              size_t len)
{
    if (!comp->arena) {
        cblk->stream = stream_memopen(nullptr, 0);
        return cblk->stream && stream_write(cblk->stream, bytes, int64_t(len)) == int64_t(len)
                   ? 0
                   : -1;
    }
    static unsigned char none[1];
    unsigned char* p = none;
    if (len > 0) {
        p = static_cast<unsigned char*>(jpenc_arenaalloc(comp->arena, len));
        if (!p)
            return -1;
        std::memcpy(p, bytes, len);
    }
    cblk->stream = stream_memview(p, int64_t(len));
    return cblk->stream ? 0 : -1;
}

// The coding thread's memory stream and MQ encoder, reused for every block.
struct scratchenc_t {
    stream_t* stream = nullptr;
    mqenc_t* mqenc = nullptr;
    ~scratchenc_t()
    {
        mqenc_destroy(mqenc);
        if (stream)
            stream_close(stream);
    }
};

}  // namespace

long double t1enc_weight(const jpenc_comp_t* comp, const jpenc_band_t* band)
{
    const long double mctw = comp->mctweight / 16384.0L;
    const long double synw = band->synweight / 16384.0L;
    const long double step = (comp->qmfbid == 1 ? 16384 : band->absstepsize) / 16384.0L;
    return mctw * mctw * synw * synw * step * step;
}

int t1enc_encodecblk(const jpenc_comp_t* comp, const jpenc_band_t* band, jpenc_cblk_t* cblk,
                     int cblksty, int maxpasses)
{
    jpenc_releasecblk(cblk);
    const bool lazy = cblksty & T1ENC_LAZY;
    const bool termall = cblksty & T1ENC_TERMALL;
    const int numbps = cblk->numbps;
    int numpasses = numbps > 0 ? 3 * numbps - 2 : 0;
    if (maxpasses >= 0 && maxpasses < numpasses)
        numpasses = maxpasses;

    if (numpasses == 0)
        return keepbytes(comp, cblk, nullptr, 0);
    // A block without passes never reads its samples.
    requant_cblk(cblk);

    thread_local scratchenc_t scratch;
    if (!scratch.stream) {
        scratch.stream = stream_memopen(nullptr, 0);
        FATAL_CHECK(scratch.stream);
        scratch.mqenc = mqenc_create(JPC_NUMCTXS, scratch.stream);
        FATAL_CHECK(scratch.mqenc);
    }
    if (stream_seek(scratch.stream, 0, 0) != 0)
        return -1;
    mqenc_init(scratch.mqenc);
    mqenc_setctxs(scratch.mqenc, JPC_NUMCTXS, jpc_ctxinits);

    cblk->passes = newpasses(comp, cblk, numpasses);
    cblk->numpasses = numpasses;
    for (int n = 0; n < numpasses; ++n) {
        jpenc_pass_t* pass = &cblk->passes[n];
        pass->type = jpc_segtype(n, lazy);
        pass->term = jpc_isterminated(n, numpasses, lazy, termall);
        pass->mqenclastbyte = -1;
        pass->mqencrunlen = 0;
        pass->lyrno = -1;
    }
    FATAL_CHECK(cblk->passes[numpasses - 1].term == 1);

    const int32_t numrows = matrix_numrows(cblk->data);
    const int32_t numcols = matrix_numcols(cblk->data);
    // The column words live in scratch memory of the coding thread,
    // cleared for each code block.
    thread_local std::vector<uint32_t> flagbuf;
    thread_local std::vector<int32_t> samplebuf;
    stripecopy(samplebuf, cblk->data, numrows, numcols);
    const colblk_t cb = colblk_make(flagbuf, samplebuf.data(), numrows, numcols, band->orient);
    const bool vcausal = cblksty & T1ENC_VSC;

    const long double weight = t1enc_weight(comp, band);

    mqenc_t* enc = scratch.mqenc;
    stream_t* stream = scratch.stream;
    bitstream_t* bout = nullptr;
    int ret = 0;
    int bitpos = numbps - 1;
    for (int n = 0; n < numpasses; ++n) {
        jpenc_pass_t* pass = &cblk->passes[n];
        FATAL_CHECK(bitpos >= 0);
        const int passtype = jpc_passtype(n);
        if (pass->type == SEG_RAW) {
            if (!bout) {
                bout = bitstream_open(stream, "w");
                FATAL_CHECK(bout);
            }
        } else {
            FATAL_CHECK(pass->type == SEG_MQ);
        }
        pass->start = static_cast<int32_t>(stream_tell(stream));

        int32_t nmsedec;
        switch (passtype) {
        case JPC_SIGPASS:
            if (pass->type == SEG_MQ)
                nmsedec = vcausal ? sigpass_mq<true>(cb, enc, bitpos)
                                  : sigpass_mq<false>(cb, enc, bitpos);
            else
                nmsedec = vcausal ? sigpass_raw<true>(cb, bout, bitpos)
                                  : sigpass_raw<false>(cb, bout, bitpos);
            break;
        case JPC_REFPASS:
            nmsedec = pass->type == SEG_MQ ? refpass_mq(cb, enc, bitpos)
                                           : refpass_raw(cb, bout, bitpos);
            break;
        default:
            FATAL_CHECK(pass->type == SEG_MQ);
            nmsedec = (vcausal ? clnpass<true> : clnpass<false>)(cb, enc, bitpos,
                                                                  cblksty & T1ENC_SEGSYM);
            break;
        }
        pass->nmsedec = nmsedec;

        if (pass->type == SEG_MQ) {
            if (pass->term) {
                if (mqenc_flush(enc))
                    ret = -1;
                mqenc_init(enc);
            } else if (mqenc_error(enc)) {
                ret = -1;
            }
            mqencstate_t state;
            mqenc_getstate(enc, &state);
            pass->mqencA = static_cast<int32_t>(state.areg);
            pass->mqencC = static_cast<int32_t>(state.creg);
            pass->mqencCT = state.ctreg;
            pass->mqenclastbyte = state.lastbyte;
            pass->mqencrunlen = state.runlen;
            pass->mqencB = state.outbuf;
            pass->end = static_cast<int32_t>(stream_tell(stream));
            if (cblksty & T1ENC_RESET)
                mqenc_setctxs(enc, JPC_NUMCTXS, jpc_ctxinits);
        } else if (pass->term) {
            if (bitstream_pending(bout) > 0 && bitstream_outalign(bout, 0x2a))
                ret = -1;
            pass->end = static_cast<int32_t>(stream_tell(stream));
            bitstream_close(bout);
            bout = nullptr;
        } else {
            pass->end = static_cast<int32_t>(stream_tell(stream)) +
                        (bitstream_pending(bout) > 0 ? 1 : 0);
        }

        pass->wmsedec = static_cast<double>(static_cast<long double>(1ULL << (2 * bitpos)) *
                                            weight * (nmsedec / 16384.0L));
        pass->cumwmsedec = pass->wmsedec + (n > 0 ? cblk->passes[n - 1].cumwmsedec : 0.0);

        if (passtype == JPC_CLNPASS)
            --bitpos;
    }
    FATAL_CHECK(!bout);

    const unsigned char* code = stream_memdata(stream);
    fixends(cblk->passes, numpasses, code);
    if (keepbytes(comp, cblk, code, size_t(stream_tell(stream))) != 0)
        ret = -1;
    return ret;
}

namespace {

// The squared error (in squared steps of the coded plane) that an HT
// cleanup pass may add per bit it saves by trimming a quad's exponent
// bound.  Between 0.1 and 0.2 it gains up to 0.14 dB at equal size on
// photos at 0.5 to 2.4 bits per pixel (0.06 dB on a 4K frame at 1 bit).
constexpr double kHtTrim = 0.15;

}  // namespace

int t1enc_encodehtcblk(const jpenc_comp_t* comp, const jpenc_band_t* band, jpenc_cblk_t* cblk,
                       int klo, int khi, int reflo, int refhi)
{
    jpenc_releasecblk(cblk);
    cblk->ht = 1;
    const int numbps = cblk->numbps;
    if (khi < 0 || khi > numbps - 1)
        khi = numbps - 1;
    klo = std::clamp(klo, 0, std::max(khi, 0));
    const int numpasses = numbps > 0 ? 3 * khi + 1 : 0;
    if (numpasses == 0)
        return keepbytes(comp, cblk, nullptr, 0);
    requant_cblk(cblk);  // a block without passes never reads its samples
    cblk->passes = newpasses(comp, cblk, numpasses);
    cblk->numpasses = numpasses;

    const int32_t numrows = matrix_numrows(cblk->data);
    const int32_t numcols = matrix_numcols(cblk->data);
    const int32_t* data = matrix_row(cblk->data, 0);
    const ptrdiff_t stride = numrows > 1 ? matrix_row(cblk->data, 1) - data : 0;
    const long double mctw = comp->mctweight / 16384.0L;
    const long double synw = band->synweight / 16384.0L;
    const long double step = (comp->qmfbid == 1 ? 16384 : band->absstepsize) / 16384.0L;
    // Weight of a squared error in sample units (JPC_NUMEXTRABITS fractional bits).
    const long double weight = mctw * mctw * synw * synw * step * step /
                               static_cast<long double>(1 << (2 * JPC_NUMEXTRABITS));
    const bool realmode = comp->qmfbid != 1;
    const uint32_t* rowmag =
        cblk->rowmag.size() == size_t(numrows) ? cblk->rowmag.data() : nullptr;

    thread_local std::vector<uint8_t> seg, sp, spmr, code;
    code.clear();
    int ret = 0;
    // The passes of the candidates before klo stay empty (no size, no
    // distortion decrease): the allocation never takes them.
    for (int i = 0; i < 3 * klo; ++i) {
        cblk->passes[i].type = SEG_HTCLN;
        cblk->passes[i].lyrno = -1;
        cblk->passes[i].htpasses = 1;
    }
    for (int k = klo; k <= khi; ++k) {
        const int p = numbps - 1 - k + JPC_NUMEXTRABITS;
        // Distortion decrease of the candidate, with the decoder's
        // reconstruction (the middle of the last plane, except for
        // reversible coefficients coded to plane 0).
        const uint32_t half = (k < numbps - 1 || realmode) ? uint32_t{1} << (p - 1) : 0;
        double dd = 0;
        // Real coefficients have quads' bounds trimmed (htenc_encodecln),
        // except where refinement passes follow, whose bits would continue
        // the uncut magnitudes, and at the last plane, which the allocation
        // takes whole when the budget does not bind: there trimming would
        // only lose.
        const double trim = realmode && (k < reflo || k > refhi) && k < numbps - 1 ? kHtTrim : 0;
        if (htenc_encodecln(data, stride, numcols, numrows, p, seg, half, &dd, rowmag, trim) != 0) {
            ret = -1;
            break;
        }
        jpenc_pass_t* pass = &cblk->passes[3 * k];
        pass->start = static_cast<int32_t>(code.size());
        pass->end = static_cast<int32_t>(seg.size());
        pass->type = SEG_HTCLN;
        pass->term = 0;
        pass->lyrno = -1;
        pass->htpasses = 1;
        pass->cumwmsedec = static_cast<double>(dd * weight);
        pass->wmsedec = pass->cumwmsedec;
        code.insert(code.end(), seg.begin(), seg.end());
        if (k == khi)
            break;
        if (k < reflo || k > refhi) {
            for (int i = 1; i < 3; ++i)
                cblk->passes[3 * k + i] = *pass;
            continue;
        }
        // Candidates before the last: the SigProp and MagRef passes at the
        // plane below (plane 0 of reversible coefficients rebuilt without a
        // half), as further truncation points of the same HT set.
        const uint32_t halfq = (realmode || p - 1 > JPC_NUMEXTRABITS) ? uint32_t{1} << (p - 2) : 0;
        double ddref[2];
        htenc_encoderef(data, stride, numcols, numrows, p, false, sp, spmr, halfq, ddref);
        code.insert(code.end(), spmr.begin(), spmr.end());
        const size_t reflen[2] = {sp.size(), spmr.size()};
        for (int i = 1; i < 3; ++i) {
            jpenc_pass_t* ref = &cblk->passes[3 * k + i];
            *ref = *pass;
            ref->type = SEG_HTREF;
            ref->htpasses = 1 + i;
            ref->end = static_cast<int32_t>(seg.size() + reflen[i - 1]);
            dd += ddref[i - 1];
            ref->cumwmsedec = static_cast<double>(dd * weight);
        }
    }
    // A refinement pass no smaller than the next candidate (which brings at
    // least its decrease) is no truncation point: a copy of the pass before.
    for (int k = klo; ret == 0 && k < khi; ++k)
        for (int i = 1; i < 3; ++i) {
            jpenc_pass_t* ref = &cblk->passes[3 * k + i];
            if (ref->end >= cblk->passes[3 * k + 3].end)
                *ref = ref[-1];
        }
    for (int i = 3 * klo + 1; ret == 0 && i < numpasses; ++i)
        cblk->passes[i].wmsedec = cblk->passes[i].cumwmsedec - cblk->passes[i - 1].cumwmsedec;
    if (keepbytes(comp, cblk, code.data(), code.size()) != 0)
        ret = -1;
    return ret;
}

namespace {

// HT candidates with refinement passes (T1ENC_HTREF) when coded with a
// goal, from the one above the candidate that ends at the estimated
// threshold's plane down: the allocation takes nearly always the cleanup
// pass of that candidate or the refinement passes of the one above.
constexpr int kHtRefs = 1;

struct cblkjob_t {
    const jpenc_comp_t* comp;
    const jpenc_band_t* band;
    jpenc_cblk_t* cblk;
};

struct encjob_t {
    std::vector<cblkjob_t> cblks;
    std::vector<signed char> result;  // 0 coded, -1 failed, 1 too many bit planes
    std::vector<int> maxpasses;       // passes to code, -1 all (empty: all)
    // Estimates: numbps planes per block at estat[i], packed in block order.
    std::unique_ptr<t1est_plane_t[]> est;
    std::vector<int64_t> estat;
    bool residuals = false;           // keep each block's residual and rest
    int cblksty = 0;
    std::vector<int> htlo, hthi;      // HT: the candidates to code (empty: all)
    std::vector<int> htref;           // HT: the first of those with refinement passes
    bool knownbps = false;            // the blocks' bit planes are set
    t1enc_progress_t progress = nullptr;
    void* progressarg = nullptr;
    std::atomic<bool> stopped{false};
    bool estimating = false;          // the run in progress estimates
    std::vector<int64_t> cumwork;     // reports: the work of blocks 0 .. i - 1
};

// Bit planes of a block: from the magnitudes the quantization recorded,
// else from its samples.
int blockbps(const jpenc_cblk_t* cblk)
{
    if (cblk->rowmag.size() != size_t(matrix_numrows(cblk->data)))
        return t1enc_numbps(cblk->data);
    uint32_t ormag = 0;
    for (uint32_t m : cblk->rowmag)
        ormag |= m;
    return orbps(ormag);
}

// Bit planes and missing bit planes of a block; false when the band's Mb
// cannot hold them.
bool numbitplanes(const cblkjob_t& cj)
{
    jpenc_cblk_t* cblk = cj.cblk;
    cblk->numbps = blockbps(cblk);
    cblk->numimsbs = cj.band->numbps - cblk->numbps;
    return cblk->numimsbs >= 0;
}

void encodeone(void* arg, int64_t i, int)
{
    encjob_t* job = static_cast<encjob_t*>(arg);
    if (job->stopped.load(std::memory_order_relaxed))
        return;
    const cblkjob_t& cj = job->cblks[i];
    if (!job->knownbps && !numbitplanes(cj)) {
        job->result[i] = 1;
        return;
    }
    jpenc_cblk_t* cblk = cj.cblk;
    if (job->cblksty & T1ENC_HT) {
        const bool all = job->htlo.empty();
        const bool allref = job->htref.empty();
        const int refs = (job->cblksty & T1ENC_HTREF) ? kHtRefs : 0;
        const int reflo = allref ? 0 : job->htref[i];
        job->result[i] = static_cast<signed char>(
            t1enc_encodehtcblk(cj.comp, cj.band, cblk, all ? 0 : job->htlo[i],
                               all ? -1 : job->hthi[i], reflo,
                               allref && refs > 0 ? 64 : reflo + refs - 1));
    } else {
        const int maxpasses = job->maxpasses.empty() ? -1 : job->maxpasses[i];
        job->result[i] = static_cast<signed char>(
            t1enc_encodecblk(cj.comp, cj.band, cblk, job->cblksty, maxpasses));
    }
    // What the passes left uncoded would have taken away.
    cblk->restdist = cblk->residual;
    if (job->residuals)
        for (int p = cblk->numbps - 1 - (cblk->numpasses + 2) / 3; p >= 0; --p)
            cblk->restdist += job->est[job->estat[i] + p].dist;
}

void numbpsone(void* arg, int64_t i, int)
{
    encjob_t* job = static_cast<encjob_t*>(arg);
    job->result[i] = numbitplanes(job->cblks[i]) ? 0 : 1;
}

// With the blocks' bit planes set (numbpsone) and est sized.
void estimateone(void* arg, int64_t i, int)
{
    encjob_t* job = static_cast<encjob_t*>(arg);
    if (job->stopped.load(std::memory_order_relaxed))
        return;
    const cblkjob_t& cj = job->cblks[i];
    const double weight = double(t1enc_weight(cj.comp, cj.band));
    t1est_plane_t* est = &job->est[job->estat[i]];
    // HT candidates only need to be bracketed: every fourth pair of rows
    // will do.
    cj.cblk->residual = (job->cblksty & T1ENC_HT)
                            ? t1est_htplanes(cj.cblk, cj.cblk->numbps, weight, est, 4)
                            : t1est_planes(cj.cblk, cj.cblk->numbps, weight, est);
}

// The reports follow the work of the blocks done (the pool takes them about
// in order): with passes left uncoded, a block weighs by the passes it
// codes.  With estimates the reports climb through them first, as a fifth
// of the way: they take about a fifth of the time of the coding that follows.
void encodetick(void* arg, int64_t done)
{
    encjob_t* job = static_cast<encjob_t*>(arg);
    const int64_t work = job->cumwork.back();
    int64_t at = job->cumwork[static_cast<size_t>(done)], total = work;
    if (job->est) {
        total = 5 * work;
        at = job->estimating ? at : work + 4 * at;
    }
    if (!job->stopped.load(std::memory_order_relaxed) && job->progress(job->progressarg, at, total))
        job->stopped.store(true, std::memory_order_relaxed);
}

// Runs body over the blocks of job on the thread pool (reporting progress
// when body codes); -1 after a message, or without one after a cancel.
int runjob(encjob_t* job, threadpool_body_t body)
{
    const bool ticks = job->progress && (body == encodeone || body == estimateone);
    job->estimating = body == estimateone;
    if (ticks) {
        job->cumwork.assign(job->cblks.size() + 1, 0);
        for (size_t i = 0; i < job->cblks.size(); ++i)
            job->cumwork[i + 1] = job->cumwork[i] + 1 +
                                  (job->estimating || job->maxpasses.empty() ? 0 : job->maxpasses[i]);
    }
    threadpool_for(static_cast<int64_t>(job->cblks.size()), body, ticks ? encodetick : nullptr,
                   job);
    if (job->stopped.load())
        return -1;
    for (size_t i = 0; i < job->cblks.size(); ++i) {
        if (job->result[i] == 1) {
            fprintf(stderr, "code block has %d bit planes, more than its band's %d\n",
                    job->cblks[i].cblk->numbps, job->cblks[i].band->numbps);
            return -1;
        }
        if (job->result[i] < 0)
            return -1;
    }
    return 0;
}

void gather(jpenc_comp_t* comps, int numcomps, encjob_t* job)
{
    for (int compno = 0; compno < numcomps; ++compno) {
        jpenc_comp_t* comp = &comps[compno];
        if (!comp->arena)  // without one (out of memory) each block has its own
            comp->arena = jpenc_arenacreate();
        for (int32_t lvlno = 0; lvlno < comp->numrlvls; ++lvlno) {
            jpenc_lvl_t* lvl = &comp->lvls[lvlno];
            for (int bandno = 0; bandno < lvl->numbands; ++bandno) {
                jpenc_band_t* band = &lvl->bands[bandno];
                for (int32_t k = 0; k < band->numcblks; ++k)
                    job->cblks.push_back(cblkjob_t{comp, band, &band->cblks[k]});
            }
        }
    }
    job->result.assign(job->cblks.size(), 0);
}

// How far below the estimated threshold of the rate allocation planes are
// still coded: the byte model is rough per block, and a plane left uncoded
// that the allocation would have taken costs a second coding of its block.
constexpr double kMargin = 4.0;
// The same for HT candidates, on both sides: a candidate left out above
// or below the one the allocation takes costs a second coding of the
// block's candidates with one more.  Since the step scaling puts the goal
// on a plane, 2.5 codes 4 % fewer instructions than 4 on a 4K frame and
// moves the PSNR by at most 0.002 dB.
constexpr double kHtMargin = 2.5;

}  // namespace

int t1enc_encodecomps(jpenc_comp_t* comps, int numcomps, int cblksty, t1est_goal_t goal,
                      t1enc_progress_t progress, void* progressarg)
{
    // Code blocks are independent: they are coded on the thread pool, each
    // into its thread's scratch memory and then kept in the component's
    // arena, exactly as one after another.
    encjob_t job;
    job.cblksty = cblksty;
    job.progress = progress;
    job.progressarg = progressarg;
    gather(comps, numcomps, &job);
    const size_t n = job.cblks.size();
    const bool ht = cblksty & T1ENC_HT;
    if (goal.bytes < 0 && goal.dist < 0) {
        // HT code blocks: only the complete candidate.
        if (ht) {
            job.htlo.assign(n, 32);
            job.hthi.assign(n, -1);
        }
        for (const cblkjob_t& cj : job.cblks)
            cj.cblk->residual = 0;
        return runjob(&job, encodeone);
    }

    // With a goal, the planes that cannot make it into the stream are
    // found from estimates first and left uncoded.
    // Each block's planes, in block order, as t1est_choose takes them.
    if (runjob(&job, numbpsone) < 0)
        return -1;
    std::vector<int> numbps(n), keep(n);
    job.estat.resize(n);
    int64_t numplanes = 0;
    for (size_t i = 0; i < n; ++i) {
        numbps[i] = job.cblks[i].cblk->numbps;
        job.estat[i] = numplanes;
        numplanes += numbps[i];
    }
    job.est.reset(new (std::nothrow) t1est_plane_t[std::max<int64_t>(numplanes, 1)]);
    FATAL_CHECK(job.est);
    if (runjob(&job, estimateone) < 0)
        return -1;
    const t1est_plane_t* planes = job.est.get();
    double residual = 0;
    for (size_t i = 0; i < n; ++i)
        residual += job.cblks[i].cblk->residual;
    job.residuals = true;
    job.knownbps = true;
    if (ht) {
        // HT: the candidates whose estimated hull slopes lie within
        // kHtMargin of the estimated threshold, and the one above them.
        // Refinement passes from the candidate above the one that ends at
        // the plane of the estimated threshold (kHtRefs, mid).
        std::vector<int> fewest(n), mid(n);
        const double margins[3] = {kHtMargin, 1 / kHtMargin, 1.0};
        int* const keeps[3] = {keep.data(), fewest.data(), mid.data()};
        t1est_choose(planes, numbps.data(), int64_t(n), residual, goal, margins, 3, keeps);
        job.htlo.resize(n);
        job.hthi.resize(n);
        job.htref.resize(n);
        for (size_t i = 0; i < n; ++i) {
            job.hthi[i] = std::max(keep[i] - 1, 0);
            job.htlo[i] = std::min(std::max(fewest[i] - 2, 0), job.hthi[i]);
            job.htref[i] = mid[i] - 2;
        }
        return runjob(&job, encodeone);
    }
    t1est_choose(planes, numbps.data(), int64_t(n), residual, goal, kMargin, keep.data());
    job.maxpasses.resize(n);
    for (size_t i = 0; i < n; ++i)  // at least the first cleanup pass
        job.maxpasses[i] = keep[i] > 0 ? 3 * keep[i] - 2 : std::min(numbps[i], 1);
    return runjob(&job, encodeone);
}

namespace {

// The cleanup pass of a block at bit plane q (JPC_NUMEXTRABITS above the
// samples' bit 0): its bytes, 0 when nothing is significant there.
double htcleanupbytes(const jpenc_cblk_t* cblk, int numbps, int q, std::vector<uint8_t>& seg)
{
    if (q >= numbps)
        return 0;
    const int32_t numrows = matrix_numrows(cblk->data), numcols = matrix_numcols(cblk->data);
    const int32_t* data = matrix_row(cblk->data, 0);
    const ptrdiff_t stride = numrows > 1 ? matrix_row(cblk->data, 1) - data : 0;
    if (htenc_encodecln(data, stride, numcols, numrows, q + JPC_NUMEXTRABITS, seg, 0, nullptr,
                        cblk->rowmag.data()) != 0)
        return 0;
    return double(seg.size());
}

// The plane where f[] crosses goal, with its fraction from plane p to
// p + 1 taken on the logarithms: bytes fall as the plane grows, the error
// left rises.  -1 when the goal lies beyond plane 0 or the top.
double crossing(const double* f, double goal, bool rising)
{
    for (int p = 0; p < 31 && (rising ? f[p] < goal : f[p] > goal); ++p)
        if (rising ? f[p + 1] >= goal : f[p + 1] <= goal)
            return f[p] <= 0 || f[p + 1] <= 0
                       ? -1
                       : p + std::log(goal / f[p]) / std::log(f[p + 1] / f[p]);
    return -1;
}

}  // namespace

double t1enc_htscale(const jpenc_comp_t* comps, int numcomps, t1est_goal_t goal)
{
    // Every 16th pair of rows of each block for the model; to correct its
    // bytes, every blockstep-th block coded at the two planes around a byte
    // budget: every 16th, but at least 256 blocks (with fewer a few blocks
    // would set the scale, and a wrong one costs nearly half a decibel).
    constexpr int kPairStep = 16;
    // The allocation takes a little less than the blocks cut at one plane:
    // the best results put that plane's bytes this much above the budget
    // (its error as much below an error to reach).
    constexpr double kAbove = 1.025, kBelow = 0.96;
    struct job_t {
        encjob_t blocks;
        std::vector<t1est_plane_t> est;  // 32 planes per block
        std::vector<double> residual;
        std::vector<int> numbps;
        int plane = 0;                   // the sampled blocks' planes: plane, plane + 1
        std::vector<double> coded;       // their bytes there, 2 per sampled block
        size_t blockstep = 1;
    } job;
    gather(const_cast<jpenc_comp_t*>(comps), numcomps, &job.blocks);
    const size_t n = job.blocks.cblks.size();
    const size_t blockstep = job.blockstep = std::clamp<size_t>(n / 256, 1, 16);
    job.est.assign(32 * n, t1est_plane_t{0, 0});
    job.residual.assign(n, 0);
    job.numbps.assign(n, 0);
    auto model = [](void* arg, int64_t i, int) {
        job_t* j = static_cast<job_t*>(arg);
        const cblkjob_t& cj = j->blocks.cblks[i];
        const int numbps = j->numbps[i] = blockbps(cj.cblk);
        if (numbps > 0)
            j->residual[i] = t1est_htplanes(cj.cblk, numbps, double(t1enc_weight(cj.comp, cj.band)),
                                            &j->est[32 * i], kPairStep);
    };
    threadpool_for(int64_t(n), model, nullptr, &job);
    // Block by block, so that the sums are the same for any thread count:
    // the bytes of every block cut at plane p, of the sampled ones, and the
    // error left.
    double bytes[32] = {}, sampled[32] = {}, left[32] = {};
    for (size_t i = 0; i < n; ++i) {
        double above = 0, below = job.residual[i];
        for (int p = 31; p >= 0; --p) {
            above += job.est[32 * i + p].bytes;
            bytes[p] += above;
            if (i % blockstep == 0)
                sampled[p] += above;
        }
        for (int p = 0; p < 32; ++p) {
            left[p] += below;
            below += job.est[32 * i + p].dist;
        }
    }
    double y;
    if (goal.dist >= 0) {
        y = crossing(left, goal.dist * kBelow, true);
    } else {
        const double x = crossing(bytes, goal.bytes, false);
        if (x < 0)
            return 1.0;
        job.plane = int(x);
        job.coded.assign(2 * ((n + blockstep - 1) / blockstep), 0);
        auto code = [](void* arg, int64_t k, int) {
            job_t* j = static_cast<job_t*>(arg);
            thread_local std::vector<uint8_t> seg;
            const size_t i = size_t(k) * j->blockstep;
            const jpenc_cblk_t* cblk = j->blocks.cblks[i].cblk;
            for (int h = 0; h < 2; ++h)
                j->coded[2 * k + h] = htcleanupbytes(cblk, j->numbps[i], j->plane + h, seg);
        };
        threadpool_for(int64_t(job.coded.size() / 2), code, nullptr, &job);
        double coded = 0;
        for (double c : job.coded)
            coded += c;
        const double modelled = sampled[job.plane] + sampled[job.plane + 1];
        const double correction = coded > 0 && modelled > 0 ? coded / modelled : 1.0;
        for (double& b : bytes)
            b *= correction;
        y = crossing(bytes, goal.bytes * kAbove, false);
    }
    if (y < 0)
        return 1.0;
    // The goal on a plane: from 1 to 2, or from 1/2 to 1 when it lies
    // between planes 0 and 1, so that a finer plane stays for the blocks
    // that pay.
    return std::exp2(y - std::floor(y) - (y < 1 ? 1 : 0));
}

int t1enc_completecomps(jpenc_comp_t* comps, int numcomps, int cblksty)
{
    encjob_t job;
    job.cblksty = cblksty;
    gather(comps, numcomps, &job);
    encjob_t redo;
    redo.cblksty = cblksty;
    for (const cblkjob_t& cj : job.cblks) {
        const jpenc_cblk_t* cblk = cj.cblk;
        if (cblk->numpasses <= 0)
            continue;
        if (cblk->ht) {
            // HT: when the allocation took the last coded candidate, the
            // one below it is coded too; when it took none or only the
            // cleanup pass of the first coded one (not the complete one),
            // the one above it.  The candidates are coded again from the
            // first to the last.
            int last = -1, first = 0;
            for (int i = 0; i < cblk->numpasses; ++i)
                if (cblk->passes[i].lyrno >= 0)
                    last = i;
            while (first < cblk->numpasses && cblk->passes[first].end == 0)
                first += 3;
            const int klo = first / 3, khi = (cblk->numpasses - 1) / 3;
            const int taken = last < 0 ? -1 : last / 3;
            int lo = last <= first && klo > 0 && taken < cblk->numbps - 1 ? klo - 1 : klo;
            int hi = taken == khi && khi < cblk->numbps - 1 ? khi + 1 : khi;
            // A small block's distortion need not fall from one candidate
            // to the next (a single sample may be rebuilt closer at a
            // coarser plane), so one more candidate might not show what
            // lies beyond it: such blocks are coded whole.
            if ((lo != klo || hi != khi) &&
                int64_t(matrix_numrows(cblk->data)) * matrix_numcols(cblk->data) <= 256)
                lo = 0, hi = cblk->numbps - 1;
            if (lo != klo || hi != khi) {
                redo.cblks.push_back(cj);
                redo.htlo.push_back(lo);
                redo.hthi.push_back(hi);
            }
            continue;
        }
        const int all = cblk->numbps > 0 ? 3 * cblk->numbps - 2 : 0;
        if (cblk->numpasses < all && cblk->passes[cblk->numpasses - 1].lyrno >= 0)
            redo.cblks.push_back(cj);
    }
    if (redo.cblks.empty())
        return 0;
    redo.result.assign(redo.cblks.size(), 0);
    if (!(cblksty & T1ENC_HT))
        redo.maxpasses.assign(redo.cblks.size(), -1);
    redo.knownbps = true;
    if (runjob(&redo, encodeone) < 0)
        return -1;
    return static_cast<int>(std::min<size_t>(redo.cblks.size(), INT32_MAX));
}
