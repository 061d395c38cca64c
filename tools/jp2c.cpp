#include "jp2c.h"
#include "jp2c_window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/threadpool.h"

static void usage()
{
    std::fputs("usage: jp2c encode INPUT OUTPUT --options \"OPTION STRING\"\n"
               "       jp2c decode INPUT OUTPUT [--options \"OPTION STRING\"]\n"
               "       jp2c encode INPUT.(bmp|jpg|jpeg) OUTPUT [--quality Q]\n"
               "       jp2c decode INPUT OUTPUT.bmp\n"
               "       jp2c compare A B\n"
               "pictures: .pgm/.ppm (P5/P6, up to 16 bits), .pgx (NAME.pgx, or NAME_0.pgx,\n"
               "  NAME_1.pgx, ... for several components)\n"
               "encoder options: rate=R lyrrates=R,R,... mode=int|real prg=lrcp|rlcp\n"
               "  maxrlvls=N cblkwidth=N cblkheight=N nomct lazy termall segsym vertcausal\n"
               "  resetprob debug=N\n"
               "every command: --threads N (coding threads; default: the machine's cores)\n"
               "decode exits 0 complete, 3 incomplete stream (picture written), 1 failed\n",
               stderr);
}

// Takes "--threads N" out of the arguments and sets the coding threads.
// false after a message when N is not a positive number.
static bool take_threads(int& argc, char** argv)
{
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") != 0)
            continue;
        char* end = nullptr;
        const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
        if (!end || *end || n < 1 || n > 256) {
            std::fputs("jp2c: --threads needs a number from 1 to 256\n", stderr);
            return false;
        }
        threadpool_setnumthreads(static_cast<int>(n));
        for (int j = i; j + 2 <= argc; ++j)
            argv[j] = argv[j + 2];
        argc -= 2;
        --i;
    }
    return true;
}

bool jp2c_codec_args(const char* cmd, int argc, char** argv, const char** input,
                     const char** output, const char** options)
{
    *input = *output = nullptr;
    *options = "";
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--options") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "jp2c %s: --options needs a value\n", cmd);
                return false;
            }
            *options = argv[++i];
        } else if (!*input) {
            *input = argv[i];
        } else if (!*output) {
            *output = argv[i];
        } else {
            std::fprintf(stderr, "jp2c %s: unexpected argument \"%s\"\n", cmd, argv[i]);
            return false;
        }
    }
    if (!*input || !*output) {
        std::fprintf(stderr, "usage: jp2c %s INPUT OUTPUT [--options \"OPTION STRING\"]\n", cmd);
        return false;
    }
    return true;
}

int main(int argc, char** argv)
{
    if (!take_threads(argc, argv))
        return 1;
    if (argc < 2) {
        usage();
        return 1;
    }
    if (jp2c_window_takes(argv[1], argc - 2, argv + 2)) {
        if (std::strcmp(argv[1], "encode") == 0)
            return jp2c_window_encode(argc - 2, argv + 2);
        if (std::strcmp(argv[1], "decode") == 0)
            return jp2c_window_decode(argc - 2, argv + 2);
        return jp2c_compare(argc - 2, argv + 2);
    }
    if (std::strcmp(argv[1], "encode") == 0)
        return jp2c_encode(argc - 2, argv + 2);
    if (std::strcmp(argv[1], "decode") == 0)
        return jp2c_decode(argc - 2, argv + 2);
    std::fprintf(stderr, "jp2c: unknown command \"%s\"\n", argv[1]);
    usage();
    return 1;
}
