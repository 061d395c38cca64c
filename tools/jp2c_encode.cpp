#include "jp2c.h"

#include <cstdio>

#include "base/image.h"
#include "encoder/jpenc.h"
#include "picfile.h"
#include "base/stream.h"

// jp2c encode INPUT OUTPUT [--options "OPTION STRING"]
int jp2c_encode(int argc, char** argv)
{
    const char* input;
    const char* output;
    const char* options;
    if (!jp2c_codec_args("encode", argc, argv, &input, &output, &options))
        return 1;
    image_t* image = picfile_read(input);
    if (!image)
        return 1;
    stream_t* out = stream_fopen(output, "w+b");
    if (!out) {
        std::fprintf(stderr, "jp2c encode: cannot create %s\n", output);
        image_destroy(image);
        return 1;
    }
    int ret = jpenc_encode(image, out, options, nullptr);
    image_destroy(image);
    if (stream_close(out) != 0 && ret == 0) {
        std::fprintf(stderr, "jp2c encode: cannot write %s\n", output);
        ret = -1;
    }
    if (ret != 0) {
        std::remove(output);  // no partial code stream is left behind
        std::fprintf(stderr, "jp2c encode: encoding %s failed\n", input);
        return 1;
    }
    return 0;
}
