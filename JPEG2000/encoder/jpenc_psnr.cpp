#include "encoder/jpenc_psnr.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "base/image.h"
#include "base/seq.h"
#include "base/stream.h"
#include "decoder/jpdec.h"

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

// One encoding aiming at goal dB: the stream and the PSNR it decodes to.
struct Trial {
    StreamPtr stream;
    int64_t size = 0;
    double psnr = NAN;
};

Trial attempt(image_t* image, const std::string& optstr, const char* aim,
              OnProgressMessager* progress)
{
    Trial t;
    ImagePtr copy = copyimage(image);
    StreamPtr mem(stream_memopen(nullptr, 0));
    if (!copy || !mem) {
        std::fprintf(stderr, "not enough memory to encode to a target PSNR\n");
        return t;
    }
    if (jpenc_encode(copy.get(), mem.get(), (optstr + aim).c_str(), progress) < 0)
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
    const std::string opts = optstr ? optstr : "";
    // The bytes the encoder's rate option counts against.
    long double rawsize = 0;
    for (int i = 0; i < image_numcmpnts(image); ++i) {
        const image_cmpt_t* c = image_cmpt(image, i);
        rawsize += static_cast<long double>(uint64_t(c->width_) * c->height_ * c->prec_ / 8);
    }
    // The first encoding aims by the encoder's own estimate; the others by
    // byte budgets: between one that falls short and one that reaches the
    // goal by interpolation, before that by a step of 5 dB per doubling.
    Trial best;
    char aim[64];
    std::snprintf(aim, sizeof aim, " psnr=%.4f", psnr);
    double shortbytes = 0, shortpsnr = 0, reachbytes = 0, reachpsnr = 0;
    long long units = -1;  // the last rate, in the option's 1/16384 steps
    long long bump = 1;    // the least move of the rate, growing while the size stays
    double lastbytes = -1;
    for (int tries = 0; tries < 4; ++tries) {
        Trial t = attempt(image, opts, aim, progress);
        if (!t.stream)
            return -1;
        const double got = t.psnr, bytes = double(t.size);
        const bool reaches = got >= psnr;
        const bool bestreaches = best.stream && best.psnr >= psnr;
        const bool same = bytes == lastbytes;
        lastbytes = bytes;
        // The fewest bytes that reach the goal; until one does, the closest.
        if (!best.stream || (reaches && (!bestreaches || t.size < best.size)) ||
            (!reaches && !bestreaches && got > best.psnr))
            best = std::move(t);
        if (best.psnr >= psnr && best.psnr <= psnr + 0.1)
            break;
        if (reaches)
            reachbytes = bytes, reachpsnr = std::isinf(got) ? psnr + 10 : got;
        else
            shortbytes = bytes, shortpsnr = got;
        const double want = psnr + 0.05;
        double next;
        if (shortbytes > 0 && reachbytes > 0) {
            const double f = (want - shortpsnr) / (reachpsnr - shortpsnr);
            next = std::exp(std::log(shortbytes) + f * (std::log(reachbytes) - std::log(shortbytes)));
        } else {
            next = bytes * std::exp2((want - (reaches ? reachpsnr : got)) / 5);
        }
        // The rate option has steps of 1/16384: round up, and move by at
        // least one step, more while the size does not change (the next
        // pass of a block can be larger than a step).
        bump = same ? bump * 4 : 1;
        const long double step = next / rawsize * 16384;
        if (!(step > 0 && step < 1e12))  // no sensible budget to try
            break;
        long long n = static_cast<long long>(std::ceil(step));
        if (std::llabs(n - units) < bump)
            n = units + (reaches ? -bump : bump);
        if (n < 1)
            break;
        units = n;
        std::snprintf(aim, sizeof aim, " rate=%.17g", static_cast<double>(n) / 16384);
    }
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
