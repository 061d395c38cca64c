#include "jp2c.h"
#include "jp2c_options.h"
#include "jp2c_photo.h"
#include "picfile.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/threadpool.h"

#ifndef JP2C_VERSION
#define JP2C_VERSION "unknown"
#endif

namespace {

// The usage text; README shows the same examples.
std::string usage_text()
{
    return std::string(
               "usage: jp2c COMMAND ARGUMENTS [--threads N]\n"
               "\n"
               "  jp2c encode INPUT OUTPUT [--quality Q | --ratio N | --psnr DB]\n"
               "              [--ht] [--options \"OPTIONS\"]\n"
               "      codes a PGM/PPM, PGX, BMP, JPEG or PNG picture (the format is found\n"
               "      from the file's content) into a JPEG 2000 code stream, and prints the\n"
               "      size and the ratio as the window shows them\n"
               "      --quality Q  0 to 100, the window's quality slider: the window's\n"
               "                   options for the picture's size (BMP, JPEG and PNG\n"
               "                   pictures get quality 20 when no option is given;\n"
               "                   PGM/PPM/PGX ones are coded losslessly)\n"
               "      --ratio N    compression ratio N (1 or more): the code stream takes\n"
               "                   at most 1/N of the raw samples' size, as opj_compress -r\n"
               "      --psnr DB    the fewest bytes found whose decoding reaches DB dB\n"
               "                   against the picture (aiming within 0.1 dB; 1 to 200)\n"
               "      --ht         high-throughput (HTJ2K) code blocks: much faster coding,\n"
               "                   slightly larger files (the option ht below)\n"
               "      --options    encoder options (below), added to those of --quality\n"
               "                   or --ratio and overriding them\n"
               "  jp2c decode INPUT OUTPUT [--options \"OPTIONS\"]\n"
               "      decodes a JPEG 2000 code stream; OUTPUT's extension chooses the\n"
               "      format: .pgm, .ppm, .pgx, .bmp or .png\n"
               "      --options    decoder options (below)\n"
               "  jp2c info INPUT [--markers]\n"
               "      prints the main header of a JPEG 2000 code stream: image and tile\n"
               "      sizes, components, coding style, progression, levels, layers,\n"
               "      code blocks and quantization\n"
               "      --markers    also every marker segment of the main header as the\n"
               "                   codec's dump shows it\n"
               "  jp2c compare A B\n"
               "      PSNR, SSIM and peak error of two pictures of one size (any format\n"
               "      above, or JPEG 2000 code streams decoded as the window does); pictures\n"
               "      deeper than 8 bits also get the PSNR at their own precision\n"
               "  jp2c help | --help | -h    this text\n"
               "  jp2c --version             the version\n"
               "\n"
               "  --threads N   coding threads for every command (default: the machine's\n"
               "                cores)\n"
               "\n"
               "pictures:\n"
               "  PGM/PPM  binary P5/P6, 1 or 3 components, up to 16 bits\n"
               "  PGX      one file per component: NAME.pgx, or NAME_0.pgx, NAME_1.pgx, ...\n"
               "           (decode writes NAME_0.pgx, NAME_1.pgx, ...)\n"
               "  BMP, JPEG, PNG  8-bit RGB through the window's picture loader and Qt\n"
               "  JPEG 2000  bare code streams (.j2k, .j2c, .jpc; the window's .jp2)\n"
               "\n"
               "encoder options (--options \"rate=0.1 mode=real\"):\n") +
           jp2c_optionhelp(JP2C_ENCODER) +
           "decoder options:\n" + jp2c_optionhelp(JP2C_DECODER) +
           "\n"
           "exit status:\n"
           "  0  done\n"
           "  1  failed: a message on stderr says why\n"
           "  3  decode only: the code stream is incomplete or damaged; the picture\n"
           "     decoded so far was written\n"
           "\n"
           "examples:\n"
           "  jp2c encode photo.jpg photo.j2k --quality 30\n"
           "  jp2c encode scan.pgm scan.j2k --ratio 20 --options \"mode=real prg=rlcp\"\n"
           "  jp2c decode photo.j2k photo.png\n"
           "  jp2c info photo.j2k\n";
}

// Takes "--threads N" out of the arguments and sets the coding threads.
// false after a message when N is not a positive number.
bool take_threads(int& argc, char** argv)
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

// The photo module, loaded from jp2c's own folder when first needed;
// nullptr after a message when it cannot be.
const jp2c_photomodule_t* photo_module()
{
    static const jp2c_photomodule_t* module = [] () -> const jp2c_photomodule_t* {
        std::string path(4096, '\0');
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
        path.resize(n > 0 ? static_cast<size_t>(n) : 0);
        path = path.substr(0, path.rfind('/') + 1) + JP2C_PHOTO_MODULE;
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto entry = lib ? reinterpret_cast<decltype(&jp2c_photo_module)>(
                               dlsym(lib, JP2C_PHOTO_ENTRY))
                         : nullptr;
        if (!entry) {
            std::fprintf(stderr, "jp2c: BMP, JPEG and PNG pictures and compare need %s beside jp2c: %s\n",
                         JP2C_PHOTO_MODULE, dlerror());
            return nullptr;
        }
        return entry(threadpool_numthreads());
    }();
    return module;
}

image_t* lazy_read(const char* path, picfile_kind kind)
{
    const jp2c_photomodule_t* m = photo_module();
    return m ? m->photo->read(path, kind) : nullptr;
}

int lazy_write(image_t* image, const char* path, picfile_kind kind)
{
    const jp2c_photomodule_t* m = photo_module();
    return m ? m->photo->write(image, path, kind) : -1;
}

} // namespace

int main(int argc, char** argv)
{
    static const picfile_photo_t lazy_photo = {lazy_read, lazy_write};
    picfile_setphoto(&lazy_photo);
    if (!take_threads(argc, argv))
        return JP2C_FAILED;
    if (argc < 2) {
        std::fputs(usage_text().c_str(), stderr);
        return JP2C_FAILED;
    }
    const char* cmd = argv[1];
    if (std::strcmp(cmd, "help") == 0 || std::strcmp(cmd, "--help") == 0 ||
        std::strcmp(cmd, "-h") == 0) {
        std::fputs(usage_text().c_str(), stdout);
        return JP2C_OK;
    }
    if (std::strcmp(cmd, "--version") == 0) {
        std::printf("jp2c %s\n", JP2C_VERSION);
        return JP2C_OK;
    }
    if (std::strcmp(cmd, "encode") == 0)
        return jp2c_encode(argc - 2, argv + 2);
    if (std::strcmp(cmd, "decode") == 0)
        return jp2c_decode(argc - 2, argv + 2);
    if (std::strcmp(cmd, "info") == 0)
        return jp2c_info(argc - 2, argv + 2);
    if (std::strcmp(cmd, "compare") == 0) {
        const jp2c_photomodule_t* m = photo_module();
        return m ? m->compare(argc - 2, argv + 2) : JP2C_FAILED;
    }
    std::fprintf(stderr, "jp2c: unknown command \"%s\" (commands: encode, decode, info, compare, "
                         "help; see jp2c --help)\n",
                 cmd);
    return JP2C_FAILED;
}
