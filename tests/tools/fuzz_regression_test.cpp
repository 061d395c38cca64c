// Replays the fuzz regression corpora (fuzz/regression/TARGET/) through the
// fuzz targets' own harnesses, built here with the normal compiler (and
// under the sanitizers in the sanitizer build): every input that ever made
// a target fail must now run through.  The loader's inputs are replayed by
// tests/platform/loader_regression_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define LLVMFuzzerTestOneInput fuzz_decode_one
#include "../../fuzz/fuzz_decode.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzz_jpc_one
#include "../../fuzz/fuzz_jpc.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzz_t2_one
#include "../../fuzz/fuzz_t2.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput fuzz_options_one
#include "../../fuzz/fuzz_options.cpp"
#undef LLVMFuzzerTestOneInput

namespace {

namespace fs = std::filesystem;

const fs::path kRegression = fs::path(JP2_FUZZDIR) / "regression";

// Runs every file of the target's folder; returns how many ran.
int replay(const char* target, int (*one)(const uint8_t*, size_t))
{
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kRegression / target, ec))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        SCOPED_TRACE(f.string());
        one(data.data(), data.size());
    }
    return int(files.size());
}

TEST(FuzzRegression, EveryTargetRunsItsCorpus)
{
    EXPECT_TRUE(fs::is_directory(kRegression)) << kRegression;
    int n = replay("decode", fuzz_decode_one) + replay("jpc", fuzz_jpc_one) +
            replay("t2", fuzz_t2_one) + replay("options", fuzz_options_one);
    std::printf("%d regression inputs replayed\n", n);
}

}  // namespace
