// jp2c encode INPUT OUTPUT [--quality Q | --ratio N] [--options "OPTIONS"]
#include "jp2c.h"
#include "jp2c_options.h"
#include "picfile.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "Jpeg2000_params.h"
#include "base/image.h"
#include "base/stream.h"
#include "encoder/jpenc.h"
#include "encoder/jpenc_psnr.h"

namespace {

// The quality photos get when no option is given: the window's start value.
constexpr double kPhotoQuality = 20;

// A number from 0 to 100 (quality) or of at least 1 (ratio); false after a
// message.
bool number_arg(const char* name, const char* text, double lo, double hi, double* value)
{
    const char* end = text + std::strlen(text);
    auto r = std::from_chars(text, end, *value);
    if (r.ec != std::errc() || r.ptr != end || !std::isfinite(*value) || *value < lo ||
        *value > hi) {
        if (hi > 1e300)
            std::fprintf(stderr, "jp2c encode: %s needs a number of at least %g, not \"%s\"\n",
                         name, lo, text);
        else
            std::fprintf(stderr, "jp2c encode: %s needs a number from %g to %g, not \"%s\"\n",
                         name, lo, hi, text);
        return false;
    }
    return true;
}

// Uncompressed size: the samples of every component at their precision.
int64_t raw_size(const image_t* image)
{
    int64_t bytes = 0;
    for (int i = 0; i < image_numcmpnts(image); ++i)
        bytes += int64_t(image_cmpt_width(image, i)) * image_cmpt_height(image, i) *
                 image_cmpt_prec(image, i) / 8;
    return bytes;
}

} // namespace

int jp2c_encode(int argc, char** argv)
{
    static const char* const allowed[] = {"--options", "--quality", "--ratio", "--psnr",
                                          "--ht", nullptr};
    jp2c_args_t args;
    if (!jp2c_parse("encode", argc, argv, allowed, 2, &args))
        return JP2C_FAILED;
    const char* input = args.files[0];
    const char* output = args.files[1];
    double quality = -1, ratio = -1, psnr = -1;
    if ((args.quality != nullptr) + (args.ratio != nullptr) + (args.psnr != nullptr) > 1) {
        std::fputs("jp2c encode: --quality, --ratio and --psnr exclude each other (each sets "
                   "the size)\n",
                   stderr);
        return JP2C_FAILED;
    }
    if (args.quality && !number_arg("--quality", args.quality, 0, 100, &quality))
        return JP2C_FAILED;
    if (args.ratio && !number_arg("--ratio", args.ratio, 1, HUGE_VAL, &ratio))
        return JP2C_FAILED;
    if (args.psnr && !number_arg("--psnr", args.psnr, 1, 200, &psnr))
        return JP2C_FAILED;
    if (args.options && jp2c_checkoptions("encode", JP2C_ENCODER, args.options) != 0)
        return JP2C_FAILED;
    // Options that set the size too: rate and psnr against --quality and
    // --ratio, and also lyrrates against --psnr.
    const char* sizing = args.quality ? "--quality" : args.ratio ? "--ratio" : "--psnr";
    for (const char* opt : {"rate", "psnr", "lyrrates"}) {
        const bool clash = args.psnr || ((args.quality || args.ratio) && opt[0] != 'l');
        if (clash && jp2c_hasoption(args.options, opt)) {
            std::fprintf(stderr, "jp2c encode: --options %s and %s exclude each other (both set "
                                 "the size)\n",
                         opt, sizing);
            return JP2C_FAILED;
        }
    }

    const picfile_kind kind = picfile_sniff(input);
    const bool photo = kind == PICFILE_BMP || kind == PICFILE_JPEG || kind == PICFILE_PNG;
    if (kind == PICFILE_NONE) {
        std::fprintf(stderr, "jp2c encode: cannot open \"%s\"\n", input);
        return JP2C_FAILED;
    }
    if (!photo && kind != PICFILE_PNM && kind != PICFILE_PGX) {
        std::fprintf(stderr,
                     "jp2c encode: \"%s\" is %s; encode reads PGM/PPM, PGX, BMP, JPEG and PNG "
                     "pictures\n",
                     input, picfile_kindname(kind));
        return JP2C_FAILED;
    }
    if (photo && !args.quality && !args.ratio && !args.psnr && !args.options)
        quality = kPhotoQuality;
    image_t* image = picfile_read(input);
    if (!image)
        return JP2C_FAILED;
    const int w = image_width(image), h = image_height(image);
    std::string options;
    if (quality >= 0)
        options = J2000EncoderOptions(J2000QualityMBPP(quality), J2000RateAllowance, w, h);
    else if (ratio > 0)
        options = "rate=" + J2000RateText(1.0 / ratio);
    if (args.ht)
        options = J2000HighThroughputOptions(options);
    if (args.options && *args.options) {
        if (!options.empty())
            options += ' ';
        options += args.options;
    }
    const int64_t raw = raw_size(image);

    stream_t* out = stream_fopen(output, "w+b");
    if (!out) {
        std::fprintf(stderr, "jp2c encode: cannot create \"%s\"\n", output);
        image_destroy(image);
        return JP2C_FAILED;
    }
    double reached = 0;
    int ret = psnr > 0 ? jpenc_encodepsnr(image, out, options.c_str(), psnr, nullptr, &reached)
                       : jpenc_encode(image, out, options.c_str(), nullptr);
    image_destroy(image);
    const int64_t bytes = ret == 0 ? stream_tell(out) : -1;
    if (stream_close(out) != 0 && ret == 0) {
        std::fprintf(stderr, "jp2c encode: cannot write \"%s\"\n", output);
        ret = -1;
    }
    if (ret != 0) {
        std::remove(output);  // no partial code stream is left behind
        std::fprintf(stderr, "jp2c encode: \"%s\" could not be encoded\n", input);
        return JP2C_FAILED;
    }
    std::printf("Picture: %d x %d\n", w, h);
    std::printf("Options: %s\n", options.c_str());
    std::printf("Bytes written: %lld\n", static_cast<long long>(bytes));
    if (bytes > 0) {
        std::printf("Size: %s\n", J2000SizeText(bytes).c_str());
        std::printf("%s\n", J2000RatioText(raw, bytes).c_str());
    }
    if (psnr > 0) {
        if (std::isinf(reached))
            std::printf("PSNR: inf dB (lossless)\n");
        else
            std::printf("PSNR: %.3f dB\n", reached);
    }
    return JP2C_OK;
}
