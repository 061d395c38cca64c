// jp2c decode INPUT OUTPUT [--options "OPTION STRING"]: decodes a bare
// JPEG 2000 code stream into PGX (one file per component), PGM or PPM.
// Exit status: 0 complete, 3 incomplete stream (picture written as far as
// it arrived), 1 nothing decodable (nothing written).
#include "jp2c.h"

#include "base/image.h"
#include "decoder/jpdec.h"
#include "picfile.h"
#include "base/stream.h"

#include <cstdio>

int jp2c_decode(int argc, char** argv)
{
    const char* input;
    const char* output;
    const char* options;
    if (!jp2c_codec_args("decode", argc, argv, &input, &output, &options))
        return 1;
    stream_t* in = stream_fopen(input, "rb");
    if (!in) {
        std::fprintf(stderr, "jp2c decode: cannot open \"%s\"\n", input);
        return 1;
    }
    int status = -1;
    image_t* image = jpdec_decode_status(in, options, nullptr, &status);
    stream_close(in);
    if (!image) {
        std::fprintf(stderr, "jp2c decode: cannot decode \"%s\"\n", input);
        return 1;
    }
    if (status == JPDEC_FAILED) {
        std::fprintf(stderr, "jp2c decode: \"%s\" was not decoded completely\n", input);
        image_destroy(image);
        return 1;
    }
    int ret = picfile_write(image, output);
    image_destroy(image);
    if (ret != 0)
        return 1;
    if (status == JPDEC_INCOMPLETE) {
        std::fprintf(stderr, "jp2c decode: \"%s\": incomplete stream, picture written\n",
                     input);
        return 3;
    }
    return 0;
}
