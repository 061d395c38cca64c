// Replays the picture loader's fuzz regression corpora
// (fuzz/regression/loader_bmp, loader_jpg) through LoadPicture: each input
// either loads as a 24-bit bitmap or is refused with an Exception.
#include "Exceptions.h"
#include "PictureLoader.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

const fs::path kRegression = fs::path(JP2_FUZZDIR) / "regression";

int replay(const char* target, const char* ext)
{
    testutil::TempDir dir;
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kRegression / target, ec))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    const std::string copy = dir.file(std::string("picture.") + ext);
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.string());
        fs::copy_file(f, copy, fs::copy_options::overwrite_existing);
        try {
            QImage image = LoadPicture(QString::fromStdString(copy));
            EXPECT_EQ(image.format(), QImage::Format_BGR888);
            EXPECT_FALSE(image.isNull());
        } catch (const Exception&) {
        }
    }
    return int(files.size());
}

TEST(LoaderRegression, DamagedPicturesLoadOrAreRefused)
{
    int n = replay("loader_bmp", "bmp") + replay("loader_jpg", "jpg");
    std::printf("%d regression pictures replayed\n", n);
}

// A JPEG header that names 65000 x 65000 pixels over a few hundred bytes is
// refused before the bitmap is asked for.
TEST(LoaderRegression, HugeDeclaredJpegIsRefusedBeforeAllocation)
{
    testutil::TempDir dir;
    const std::string copy = dir.file("huge.jpg");
    fs::copy_file(kRegression / "loader_jpg" / "sof-65000x65000", copy);
    try {
        LoadPicture(QString::fromStdString(copy));
        ADD_FAILURE() << "loaded";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Picture of 65000 x 65000 pixels is too large"));
    }
}

}  // namespace
