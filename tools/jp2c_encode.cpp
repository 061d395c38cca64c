#include "jp2c.h"

#include <cstdio>
#include <cstring>

#include "image.h"
#include "jpenc.h"
#include "picfile.h"
#include "stream.h"

// jp2c encode INPUT OUTPUT [--options "OPTION STRING"]
int jp2c_encode(int argc, char** argv)
{
    const char* input = nullptr;
    const char* output = nullptr;
    const char* options = "";
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--options") == 0) {
            if (i + 1 >= argc) {
                std::fputs("jp2c encode: --options needs a value\n", stderr);
                return 1;
            }
            options = argv[++i];
        } else if (!input) {
            input = argv[i];
        } else if (!output) {
            output = argv[i];
        } else {
            std::fprintf(stderr, "jp2c encode: unexpected argument \"%s\"\n", argv[i]);
            return 1;
        }
    }
    if (!input || !output) {
        std::fputs("usage: jp2c encode INPUT OUTPUT [--options \"OPTION STRING\"]\n", stderr);
        return 1;
    }
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
