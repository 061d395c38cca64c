// The argument parsing that every jp2c command shares (also used by the
// photo module's compare).
#include "jp2c.h"

#include <cstdio>
#include <cstring>

namespace {

bool allowed_option(const char* const* allowed, const char* arg)
{
    for (; *allowed; ++allowed)
        if (std::strcmp(*allowed, arg) == 0)
            return true;
    return false;
}

} // namespace

bool jp2c_parse(const char* cmd, int argc, char** argv, const char* const* allowed, int nfiles,
                jp2c_args_t* args)
{
    *args = jp2c_args_t{};
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] != '-' || a[1] == '\0') {
            args->files.push_back(a);
            continue;
        }
        if (!allowed_option(allowed, a)) {
            std::fprintf(stderr, "jp2c %s: unknown option \"%s\" (see jp2c --help)\n", cmd, a);
            return false;
        }
        if (std::strcmp(a, "--markers") == 0 || std::strcmp(a, "--ht") == 0) {
            (a[2] == 'm' ? args->markers : args->ht) = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "jp2c %s: %s needs a value\n", cmd, a);
            return false;
        }
        const char* v = argv[++i];
        if (std::strcmp(a, "--options") == 0)
            args->options = v;
        else if (std::strcmp(a, "--quality") == 0)
            args->quality = v;
        else if (std::strcmp(a, "--ratio") == 0)
            args->ratio = v;
        else if (std::strcmp(a, "--psnr") == 0)
            args->psnr = v;
    }
    if (static_cast<int>(args->files.size()) != nfiles) {
        if (static_cast<int>(args->files.size()) < nfiles)
            std::fprintf(stderr, "jp2c %s: needs %s (see jp2c --help)\n", cmd,
                         nfiles == 1 ? "an INPUT file"
                         : std::strcmp(cmd, "compare") == 0 ? "two pictures A and B"
                                                            : "an INPUT and an OUTPUT file");
        else
            std::fprintf(stderr, "jp2c %s: unexpected argument \"%s\"\n", cmd,
                         args->files[nfiles]);
        return false;
    }
    return true;
}

bool jp2c_codec_args(const char* cmd, int argc, char** argv, const char** input,
                     const char** output, const char** options)
{
    static const char* const allowed[] = {"--options", nullptr};
    jp2c_args_t args;
    if (!jp2c_parse(cmd, argc, argv, allowed, 2, &args))
        return false;
    *input = args.files[0];
    *output = args.files[1];
    *options = args.options ? args.options : "";
    return true;
}
