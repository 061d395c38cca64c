// jp2c decode INPUT OUTPUT [--options "OPTION STRING"]: decodes a JPEG 2000
// code stream (bare, or in a JP2 file) into PGX (one file per component),
// PGM, PPM, BMP or PNG, chosen by the output name's extension.  Exit
// status: 0 complete, 3 incomplete stream (picture written as far as it
// arrived), 1 nothing decodable (nothing written).
#include "jp2c.h"
#include "jp2c_options.h"

#include "base/image.h"
#include "codestream/jp2box.h"
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
    if (jp2c_checkoptions("decode", JP2C_DECODER, options) != 0)
        return 1;
    // A picture of another known format is named as such; anything else
    // is left to the decoder, which says where the code stream goes wrong.
    const picfile_kind kind = picfile_sniff(input);
    if (kind != PICFILE_J2K && kind != PICFILE_JP2 && kind != PICFILE_NONE &&
        kind != PICFILE_UNKNOWN) {
        std::fprintf(stderr, "jp2c decode: \"%s\" is %s, not a JPEG 2000 code stream\n", input,
                     picfile_kindname(kind));
        return 1;
    }
    stream_t* in = stream_fopen(input, "rb");
    if (!in) {
        std::fprintf(stderr, "jp2c decode: cannot open \"%s\"\n", input);
        return 1;
    }
    int64_t boxlen;
    if (kind == PICFILE_JP2 && jp2_find_codestream(in, &boxlen) < 0) {
        stream_close(in);
        std::fprintf(stderr, "jp2c decode: cannot find the code stream in \"%s\"\n", input);
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
    if (ret == 0)
        std::printf("Picture: %d x %d\n", image_width(image), image_height(image));
    image_destroy(image);
    if (ret != 0)
        return 1;
    if (status == JPDEC_INCOMPLETE) {
        std::fprintf(stderr, "jp2c decode: \"%s\": incomplete stream, picture written\n",
                     input);
        return JP2C_INCOMPLETE;
    }
    return JP2C_OK;
}
