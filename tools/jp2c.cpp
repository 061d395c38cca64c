#include "jp2c.h"
#include "jp2c_window.h"

#include <cstdio>
#include <cstring>

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
               "  resetprob debug=N\n",
               stderr);
}

int main(int argc, char** argv)
{
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
