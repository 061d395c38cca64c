// jp2c decode INPUT OUTPUT [--options "OPTION STRING"]: decodes a bare
// JPEG 2000 code stream into PGX (one file per component), PGM or PPM.
#include "jp2c.h"

#include "image.h"
#include "jpdec.h"
#include "picfile.h"
#include "stream.h"

#include <cstdio>
#include <cstring>

int jp2c_decode(int argc, char** argv)
{
    const char* input = nullptr;
    const char* output = nullptr;
    const char* options = "";
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--options") == 0) {
            if (i + 1 >= argc) {
                std::fputs("jp2c decode: --options needs a value\n", stderr);
                return 1;
            }
            options = argv[++i];
        } else if (!input) {
            input = argv[i];
        } else if (!output) {
            output = argv[i];
        } else {
            std::fprintf(stderr, "jp2c decode: unexpected argument \"%s\"\n", argv[i]);
            return 1;
        }
    }
    if (!input || !output) {
        std::fputs("usage: jp2c decode INPUT OUTPUT [--options \"OPTION STRING\"]\n", stderr);
        return 1;
    }
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
    if (status != 0) {
        std::fprintf(stderr, "jp2c decode: \"%s\" was not decoded completely\n", input);
        image_destroy(image);
        return 1;
    }
    int ret = picfile_write(image, output);
    image_destroy(image);
    return ret == 0 ? 0 : 1;
}
