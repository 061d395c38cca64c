// The window's picture loader over one file; built twice, as a bitmap
// (FUZZ_LOADER_EXT "bmp") and as a JPEG (FUZZ_LOADER_EXT "jpg") target.
// The loader reads files by name, so each input is written to a file of
// the fuzzing process first (removed at exit).
#include "Exceptions.h"
#include "PictureLoader.h"
#include "fuzz_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

std::string fuzz_path;

void remove_fuzz_file()
{
    if (!fuzz_path.empty())
        std::remove(fuzz_path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (fuzz_path.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        fuzz_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-loader-" +
                    std::to_string(getpid()) + "." FUZZ_LOADER_EXT;
        std::atexit(remove_fuzz_file);
    }
    FILE* f = std::fopen(fuzz_path.c_str(), "wb");
    if (!f)
        return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written)
        return 0;
    try {
        QImage image = LoadPicture(QString::fromStdString(fuzz_path));
        // A picture that loads is a 24-bit bitmap whose rows can be read.
        if (image.format() != QImage::Format_BGR888 || image.isNull())
            std::abort();
        volatile unsigned sum = 0;
        for (int y = 0; y < image.height(); y += 1 + image.height() / 16)
            sum = sum + image.constScanLine(y)[3 * (image.width() - 1)];
    } catch (const Exception&) {
        // A damaged picture is refused with a message: the expected outcome.
    }
    return 0;
}
