// The option-string parser: the item parser and number lists of the codec,
// the encoder's option parsing (and an encoding of a small picture with the
// options it accepts, decoded again), and the decoder's options.
#include "fuzz_util.h"
#include "base/image.h"
#include "codestream/jpc.h"
#include "decoder/jpdec.h"
#include "encoder/jpenc.h"
#include "encoder/jpenc_int.h"
#include "base/util.h"

#include <cstdlib>
#include <string>

namespace {

image_t* small_image(int numcmpts)
{
    image_cmptparm_t parms[3];
    for (auto& p : parms)
        p = image_cmptparm_t{13, 11, 8, 0};
    image_t* image = image_create(numcmpts, parms, numcmpts == 3 ? IMAGE_CM_RGB : IMAGE_CM_GRAY);
    if (!image)
        return nullptr;
    unsigned v = 12345;
    for (int k = 0; k < numcmpts; ++k) {
        stream_t* s = image_cmpt_stream(image, k);
        stream_rewind(s);
        for (int i = 0; i < 13 * 11; ++i) {
            v = v * 1103515245u + 12345u;
            stream_putc(s, int(v >> 24));
        }
        stream_flush(s);
    }
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();  // up to the first zero byte, as a C caller passes it

    optparser_t* parser = optparser_create(text.c_str());
    if (parser) {
        while (optparser_next(parser) == 0) {
            const char* value = optparser_value(parser);
            int count = 0;
            double* values = nullptr;
            if (util_splitnums(value, &count, &values) == 0)
                std::free(values);
            (void)util_atof(value);
        }
        optparser_destroy(parser);
    }

    jpenc_opts_t opts{};
    (void)jpenc_parseopts(text.c_str(), &opts);

    // The encoder with these options on a small picture; what it writes is
    // decoded with the same text as decoder options.
    if (size > 0 && data[0] & 1) {
        image_t* image = small_image(data[0] & 2 ? 3 : 1);
        stream_t* out = stream_memopen(nullptr, 0);
        if (image && out && jpenc_encode(image, out, text.c_str(), nullptr) == 0 &&
            stream_rewind(out) == 0) {
            int status = 0;
            image_destroy(jpdec_decode_status(out, text.c_str(), nullptr, &status));
        }
        image_destroy(image);
        if (out)
            stream_close(out);
    }
    // The debug option is codec-wide: back to quiet for the next input.
    util_setdbglevel(0);
    jpc_setdbglevel(0);
    return 0;
}
