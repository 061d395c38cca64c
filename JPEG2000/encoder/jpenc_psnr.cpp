#include "encoder/jpenc_psnr.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "base/image.h"
#include "base/seq.h"
#include "base/stream.h"
#include "decoder/jpdec.h"
#include "encoder/jpenc_int.h"

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

// One code stream written for an error: its size and the PSNR it decodes to.
struct Trial {
    StreamPtr stream;
    int64_t size = 0;
    double psnr = NAN;
};

Trial attempt(jpenc_t* enc, image_t* image, double dist)
{
    Trial t;
    StreamPtr mem(stream_memopen(nullptr, 0));
    if (!mem) {
        std::fprintf(stderr, "not enough memory to encode to a target PSNR\n");
        return t;
    }
    if (jpenc_writedist(enc, mem.get(), dist) < 0)
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
        // for unsigned ones, so signed ones are extended first.
        const int64_t half = c->sgnd_ ? int64_t(1) << (c->prec_ - 1) : INT64_MAX;
        const int64_t span = int64_t(1) << c->prec_;
        for (int32_t y = 0; y < c->height_; ++y) {
            const int32_t* p = matrix_row(a.get(), y);
            const int32_t* q = matrix_row(b.get(), y);
            for (int32_t x = 0; x < c->width_; ++x) {
                int64_t u = uint32_t(p[x]), v = uint32_t(q[x]);
                if (u >= half)
                    u -= span;
                if (v >= half)
                    v -= span;
                sse += static_cast<long double>((u - v) * (u - v));
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

    // The aim is the PSNR that the allocation's figures predict; the first
    // try aims at the middle of the window, each next one corrects the aim
    // by what the measure showed: by the last miss, or between an aim that
    // falls short and one that reaches the goal by interpolation.
    const double want = psnr + 0.05;
    double aim = want;
    Trial best;
    double shortaim = 0, shortpsnr = 0, reachaim = 0, reachpsnr = 0;
    bool haveshort = false, havereach = false;
    int64_t lastsize = -1;
    double nudge = 0.05;  // the least move of the aim, growing while the size stays
    for (int tries = 0; tries < 4; ++tries) {
        Trial t = attempt(enc.get(), image, jpenc_distforpsnr(enc.get(), aim));
        if (!t.stream)
            return -1;
        const double got = t.psnr;
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
        const double measured = std::isinf(got) ? psnr + 10 : got;
        if (reaches)
            havereach = true, reachaim = aim, reachpsnr = measured;
        else
            haveshort = true, shortaim = aim, shortpsnr = measured;
        double next;
        if (haveshort && havereach && reachpsnr > shortpsnr)
            next = shortaim + (want - shortpsnr) / (reachpsnr - shortpsnr) * (reachaim - shortaim);
        else
            next = aim + (want - measured);
        // Move by at least the nudge, more while the size does not change
        // (the next pass of a block can take the aim a long way).
        nudge = same ? nudge * 4 : 0.05;
        if (std::fabs(next - aim) < nudge)
            next = aim + (reaches ? -nudge : nudge);
        if (!(next > 0 && next < 400))  // no sensible error to try
            break;
        aim = next;
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
