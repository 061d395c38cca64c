#include "encoder/jpenc_psnr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "base/image.h"
#include "base/seq.h"
#include "base/stream.h"
#include "decoder/jpdec.h"
#include "encoder/jpenc_int.h"
#include "tier1/t1est.h"

namespace {

struct ImageFree {
    void operator()(image_t* i) const { image_destroy(i); }
};
struct StreamFree {
    void operator()(stream_t* s) const { stream_close(s); }
};
struct MatrixFree {
    void operator()(matrix_t* m) const { matrix_destroy(m); }
};
using ImagePtr = std::unique_ptr<image_t, ImageFree>;
using StreamPtr = std::unique_ptr<stream_t, StreamFree>;
using MatrixPtr = std::unique_ptr<matrix_t, MatrixFree>;

// A copy of image for one encoding (which consumes its samples).
ImagePtr copyimage(image_t* image)
{
    const int n = image_numcmpnts(image);
    std::unique_ptr<image_cmptparm_t[]> parms(new image_cmptparm_t[n]);
    for (int i = 0; i < n; ++i) {
        const image_cmpt_t* c = image_cmpt(image, i);
        parms[i] = {c->width_, c->height_, c->prec_, c->sgnd_};
    }
    ImagePtr copy(image_create(n, parms.get(), image_colormodel(image)));
    if (!copy)
        return nullptr;
    for (int i = 0; i < n; ++i) {
        const int32_t w = parms[i].width, h = parms[i].height;
        MatrixPtr m(matrix_create(h, w));
        if (!m || image_readcmpt(image, i, 0, 0, w, h, m.get()) < 0 ||
            image_writecmpt(copy.get(), i, 0, 0, w, h, m.get()) < 0)
            return nullptr;
    }
    return copy;
}

// One code stream written for a goal: its size and the PSNR it decodes to.
struct Trial {
    StreamPtr stream;
    int64_t size = 0;
    double psnr = NAN;
};

Trial attempt(jpenc_t* enc, image_t* image, t1est_goal_t goal)
{
    Trial t;
    StreamPtr mem(stream_memopen(nullptr, 0));
    if (!mem) {
        std::fprintf(stderr, "not enough memory to encode to a target PSNR\n");
        return t;
    }
    if (jpenc_write(enc, mem.get(), goal) < 0)
        return t;
    t.size = stream_tell(mem.get());
    if (stream_rewind(mem.get()) < 0)
        return t;
    int status = -1;
    ImagePtr decoded(jpdec_decode_status(mem.get(), "", nullptr, &status));
    if (!decoded || status < 0) {
        std::fprintf(stderr, "the encoded picture could not be measured\n");
        return t;
    }
    t.psnr = jpenc_psnr(image, decoded.get());
    t.stream = std::move(mem);
    return t;
}

struct EncFree {
    void operator()(jpenc_t* e) const { jpenc_destroy(e); }
};

} // namespace

double jpenc_psnr(image_t* original, image_t* decoded)
{
    const int n = image_numcmpnts(original);
    if (image_numcmpnts(decoded) != n)
        return NAN;
    long double sse = 0, peaks = 0;
    for (int i = 0; i < n; ++i) {
        const image_cmpt_t* c = image_cmpt(original, i);
        const image_cmpt_t* d = image_cmpt(decoded, i);
        MatrixPtr a(matrix_create(c->height_, c->width_)), b(matrix_create(c->height_, c->width_));
        if (!a || !b || d->width_ != c->width_ || d->height_ != c->height_ || d->prec_ != c->prec_ ||
            image_readcmpt(original, i, 0, 0, c->width_, c->height_, a.get()) < 0 ||
            image_readcmpt(decoded, i, 0, 0, c->width_, c->height_, b.get()) < 0)
            return NAN;
        // Samples come without sign extension; the difference of two
        // prec-bit patterns taken modulo 2^prec is the same either way only
        // for unsigned ones, so signed ones are extended first.  Up to 16
        // bits a row's sum stays exact in 64 bits.
        const int64_t sign = c->sgnd_ ? int64_t(1) << (c->prec_ - 1) : 0;
        const int64_t span = int64_t(1) << c->prec_;
        for (int32_t y = 0; y < c->height_; ++y) {
            const int32_t* p = matrix_row(a.get(), y);
            const int32_t* q = matrix_row(b.get(), y);
            if (c->prec_ <= 16) {
                uint64_t row = 0;
                for (int32_t x = 0; x < c->width_; ++x) {
                    const int64_t e = ((uint32_t(p[x]) ^ sign) - sign) - ((uint32_t(q[x]) ^ sign) - sign);
                    row += uint64_t(e * e);
                }
                sse += static_cast<long double>(row);
                continue;
            }
            for (int32_t x = 0; x < c->width_; ++x) {
                const int64_t e = ((uint32_t(p[x]) ^ sign) - sign) - ((uint32_t(q[x]) ^ sign) - sign);
                sse += static_cast<long double>(e) * static_cast<long double>(e);
            }
        }
        const long double peak = static_cast<long double>(span - 1);
        peaks += peak * peak * c->width_ * c->height_;
    }
    if (sse == 0)
        return INFINITY;
    return static_cast<double>(10 * std::log10(peaks / sse));
}

int32_t jpenc_encodepsnr(image_t* image, stream_t* out, const char* optstr, double psnr,
                         OnProgressMessager* progress, double* reached)
{
    // Tier-1 codes once, for an error well below the goal's (the
    // allocation's figures may miss the measured PSNR by some tenths of a
    // decibel); each try then only allocates, codes the packets and decodes.
    constexpr double kHeadroom = 1.0;  // dB beyond the goal tier-1 codes for
    ImagePtr copy = copyimage(image);
    if (!copy) {
        std::fprintf(stderr, "not enough memory to encode to a target PSNR\n");
        return -1;
    }
    std::unique_ptr<jpenc_t, EncFree> enc(
        jpenc_prepare(copy.get(), optstr, psnr, psnr + kHeadroom, progress));
    if (!enc)
        return -1;
    copy.reset();

    // The first try aims by the allocation's figures at the middle of the
    // window.  While every try falls on one side of the goal the next one
    // corrects the aim by the measured miss (the figures' error changes
    // slowly); once tries lie on both sides a byte budget is interpolated
    // between them, PSNR against the logarithm of the size (a lossless
    // one, whose PSNR says nothing of the distance, halves the gap).
    const double want = psnr + 0.05;
    double aim = want;
    t1est_goal_t goal{-1, jpenc_distforpsnr(enc.get(), aim)};
    Trial best;
    double shortbytes = 0, shortpsnr = 0, reachbytes = 0, reachpsnr = 0;
    bool haveshort = false, havereach = false;
    // The weight of each side's miss in the interpolation: halved while
    // the tries keep landing on the other side (a bent curve would
    // otherwise move the budget by little each time).
    double shortweight = 1, reachweight = 1;
    bool lastreaches = false;
    int64_t lastsize = -1;
    double descent = 0.5;  // the last step down after a lossless stream
    double bump = 0;  // the least move of a budget, growing while the size stays
    for (int tries = 0; tries < 4; ++tries) {
        Trial t = attempt(enc.get(), image, goal);
        if (!t.stream)
            return -1;
        const double got = t.psnr, bytes = double(t.size);
        const bool reaches = got >= psnr;
        const bool bestreaches = best.stream && best.psnr >= psnr;
        const bool same = t.size == lastsize;
        lastsize = t.size;
        // The fewest bytes that reach the goal; until one does, the closest.
        if (!best.stream || (reaches && (!bestreaches || t.size < best.size)) ||
            (!reaches && !bestreaches && got > best.psnr))
            best = std::move(t);
        if (best.psnr >= psnr && best.psnr <= psnr + 0.1)
            break;
        const bool bracketed = haveshort && havereach;
        if (bracketed && reaches == lastreaches)
            (reaches ? shortweight : reachweight) /= 2;
        (reaches ? reachweight : shortweight) = 1;
        lastreaches = reaches;
        if (reaches)
            havereach = true, reachbytes = bytes, reachpsnr = got;
        else
            haveshort = true, shortbytes = bytes, shortpsnr = got;
        if (!(haveshort && havereach)) {
            // A lossless stream: the aim comes down a step, twice as long
            // as the last one after another lossless stream; otherwise the
            // miss moves it, by at most 3 dB a try.
            descent = std::isinf(got) ? descent * 2 : 0.5;
            aim = std::isinf(got) ? aim - descent : aim + std::clamp(want - got, -3.0, 3.0);
            if (!(aim > 0 && aim < 400))  // no sensible error to aim at
                break;
            goal = {-1, jpenc_distforpsnr(enc.get(), aim)};
            continue;
        }
        const double below = (want - shortpsnr) * shortweight;
        const double f = std::isinf(reachpsnr) ? 0.5 : below / (below + (reachpsnr - want) * reachweight);
        double next = std::exp(std::log(shortbytes) + f * (std::log(reachbytes) - std::log(shortbytes)));
        // Move by at least a byte, more while the size does not change (the
        // next pass of a block can be larger than the move).
        bump = same ? std::max(bump * 4, 16.0) : 1;
        if (std::fabs(next - bytes) < bump)
            next = bytes + (reaches ? -bump : bump);
        if (!(next >= 1 && next < 1e15))  // no sensible budget to try
            break;
        goal = {std::ceil(next), -1};
    }
    if (progress)
        progress->report(90);
    const int64_t size = best.size;
    if (stream_rewind(best.stream.get()) < 0 || stream_copy(out, best.stream.get(), size) < 0 ||
        stream_flush(out) < 0) {
        std::fprintf(stderr, "cannot write the code stream\n");
        return -1;
    }
    if (reached)
        *reached = best.psnr;
    return 0;
}
