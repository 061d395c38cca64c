// jp2c as a new user meets it: usage and exit statuses, the checks of
// --options, input formats found from the content, info.
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace testutil;

namespace {

int jp2c(const std::string& args, std::string* out)
{
    return run_command(shell_quote(JP2C_PATH) + " " + args, out);
}

std::string photo(const char* name)
{
    return std::string(JP2_TESTDATA) + "/photos/" + name;
}

TEST(Jp2cUsage, HelpVersionAndMistakesHaveTheirExitStatus)
{
    std::string out;
    for (const char* help : {"help", "--help", "-h"}) {
        ASSERT_EQ(jp2c(help, &out), 0) << help;
        for (const char* part : {"jp2c encode INPUT OUTPUT [--quality Q | --ratio N | --psnr DB]",
                                 "jp2c decode INPUT OUTPUT [--options", "jp2c info INPUT",
                                 "jp2c compare A B", "lyrrates=", "maxsamples=", "exit status",
                                 "  3  decode", "examples:"})
            EXPECT_NE(out.find(part), std::string::npos) << help << " lacks " << part;
    }
    ASSERT_EQ(jp2c("--version", &out), 0);
    EXPECT_EQ(out.rfind("jp2c ", 0), 0u) << out;
    // Without a command the usage goes to stderr with status 1.
    EXPECT_EQ(jp2c("", &out), 1);
    EXPECT_NE(out.find("usage: jp2c"), std::string::npos);
    const char* mistakes[] = {"frobnicate", "encode in.pgm", "encode a b --bogus",
                              "encode a b --quality", "decode a b c", "info", "compare a"};
    for (const char* m : mistakes) {
        EXPECT_EQ(jp2c(m, &out), 1) << m;
        EXPECT_NE(out.find("jp2c"), std::string::npos) << m << ": " << out;
    }
}

// One refused argument set: the command's extra arguments, and a piece of
// the message that must name what is wrong.
struct BadOption {
    const char* name;
    const char* command;  // "encode" or "decode"
    const char* args;
    const char* message;
};

void PrintTo(const BadOption& b, std::ostream* os)
{
    *os << b.name;
}

const BadOption bad_options[] = {
    {"dash_before_name", "encode", "--options -rate=0.1", "malformed item \"-rate=0.1\""},
    {"colon", "encode", "--options rate:0.1", "malformed item \"rate:0.1\""},
    {"unknown_name", "encode", "--options ratee=0.1", "unknown encoder option \"ratee\""},
    {"not_a_number", "encode", "--options rate=abc", "bad value \"abc\" for rate"},
    {"empty_value", "encode", "--options rate=", "bad value \"\" for rate"},
    {"negative_rate", "encode", "--options rate=-0.5", "bad value \"-0.5\" for rate"},
    {"bad_layer_list", "encode", "--options lyrrates=0.1,x", "for lyrrates"},
    {"unknown_mode", "encode", "--options mode=fast", "bad value \"fast\" for mode"},
    {"unsupported_progression", "encode", "--options prg=cprl", "for prg (one of lrcp/rlcp)"},
    {"flag_with_value", "encode", "--options lazy=1", "\"lazy=1\" takes no value"},
    {"block_not_power_of_two", "encode", "--options cblkwidth=48", "for cblkwidth"},
    {"no_levels", "encode", "--options maxrlvls=0", "for maxrlvls"},
    {"rate_twice", "encode", "--ratio 10 --options rate=0.1", "exclude each other"},
    {"quality_and_ratio", "encode", "--ratio 10 --quality 20", "exclude each other"},
    {"psnr_and_ratio", "encode", "--psnr 40 --ratio 10", "exclude each other"},
    {"psnr_and_rate", "encode", "--psnr 40 --options rate=0.1", "exclude each other"},
    {"psnr_too_high", "encode", "--psnr 300", "--psnr needs a number from 1 to 200"},
    {"quality_too_high", "encode", "--quality 101", "--quality needs a number from 0 to 100"},
    {"ratio_below_one", "encode", "--ratio 0.5", "--ratio needs a number of at least 1"},
    {"decoder_unknown", "decode", "--options reduce=1", "unknown decoder option \"reduce\""},
    {"decoder_bad_number", "decode", "--options maxsamples=lots", "for maxsamples"},
};

class Jp2cBadOptions : public ::testing::TestWithParam<BadOption> {};

// Each mistake ends jp2c with status 1 and a message naming it, before any
// file is written.
TEST_P(Jp2cBadOptions, AreRefusedBeforeAnyFileIsWritten)
{
    const BadOption& b = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(write_pnm(dir.file("in.pgm"), make_picture(16, 12, 1, 8, true)));
    std::string out;
    ASSERT_EQ(jp2c("encode " + shell_quote(dir.file("in.pgm")) + " " +
                       shell_quote(dir.file("in.j2k")),
                   &out),
              0)
        << out;
    const bool encode = std::string(b.command) == "encode";
    const std::string input = dir.file(encode ? "in.pgm" : "in.j2k");
    const std::string output = dir.file(encode ? "out.j2k" : "out.pgm");
    EXPECT_EQ(jp2c(std::string(b.command) + " " + shell_quote(input) + " " +
                       shell_quote(output) + " " + b.args,
                   &out),
              1);
    EXPECT_NE(out.find(b.message), std::string::npos) << out;
    EXPECT_FALSE(file_exists(output));
}

INSTANTIATE_TEST_SUITE_P(Cases, Jp2cBadOptions, ::testing::ValuesIn(bad_options),
                         [](const ::testing::TestParamInfo<BadOption>& info) {
                             return std::string(info.param.name);
                         });

// Every option jp2c lets through is one the codec knows: none is dropped
// with the codec's warning.
TEST(Jp2cOptions, EveryAcceptedOptionReachesTheCodec)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(write_pnm(dir.file("in.ppm"), make_picture(40, 30, 3, 8, true)));
    std::string out;
    ASSERT_EQ(jp2c("encode " + shell_quote(dir.file("in.ppm")) + " " +
                       shell_quote(dir.file("in.j2k")) +
                       " --options 'rate=0.5 lyrrates=0.1,0.2 mode=real prg=rlcp maxrlvls=3 "
                       "cblkwidth=32 cblkheight=16 nomct lazy termall segsym vertcausal "
                       "resetprob debug=0'",
                   &out),
              0)
        << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;
    ASSERT_EQ(jp2c("decode " + shell_quote(dir.file("in.j2k")) + " " +
                       shell_quote(dir.file("out.ppm")) +
                       " --options 'maxlyrs=2 maxsamples=100000 debug=0'",
                   &out),
              0)
        << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;
}

// The reader follows the file's content, whatever its name and whichever
// options are given; decode writes the format of the output's extension.
TEST(Jp2cFormats, InputIsFoundFromTheContent)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string out;
    auto q = [&](const char* name) { return shell_quote(dir.file(name)); };

    // A JPEG named .ppm with --options, a bitmap named .pgm with --ratio.
    write_file(dir.file("jpeg.ppm"), read_file(photo("cevennes.jpg")));
    ASSERT_EQ(jp2c("encode " + q("jpeg.ppm") + " " + q("a.j2k") + " --options rate=0.02", &out),
              0)
        << out;
    EXPECT_NE(out.find("Picture: 640 x 480"), std::string::npos) << out;
    write_file(dir.file("bitmap.pgm"), read_file(photo("bretagne.bmp")));
    ASSERT_EQ(jp2c("encode " + q("bitmap.pgm") + " " + q("b.j2k") + " --ratio 40", &out), 0)
        << out;
    const size_t at = out.find("Picture: ");
    ASSERT_NE(at, std::string::npos) << out;
    int w = 0, h = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "Picture: %d x %d", &w, &h), 2);
    EXPECT_LE(file_size(dir.file("b.j2k")), (long long)w * h * 3 / 40 + 1) << out;

    // A PPM named .bmp goes round losslessly, through a PNG named .pgx too.
    const Picture pic = make_picture(37, 29, 3, 8, false, 5);
    ASSERT_TRUE(write_pnm(dir.file("rgb.bmp"), pic));
    ASSERT_EQ(jp2c("encode " + q("rgb.bmp") + " " + q("rgb.j2k"), &out), 0) << out;
    ASSERT_EQ(jp2c("decode " + q("rgb.j2k") + " " + q("rgb.png"), &out), 0) << out;
    std::rename(dir.file("rgb.png").c_str(), dir.file("png.pgx").c_str());
    ASSERT_EQ(jp2c("encode " + q("png.pgx") + " " + q("png.j2k") + " --options nomct", &out), 0)
        << out;
    ASSERT_EQ(jp2c("decode " + q("png.j2k") + " " + q("back.ppm"), &out), 0) << out;
    Picture back;
    ASSERT_TRUE(read_picture(dir.file("back.ppm"), &back));
    EXPECT_EQ(first_difference(pic, back), "");
    // The 24-bit bitmap of the same code stream.
    ASSERT_EQ(jp2c("decode " + q("png.j2k") + " " + q("back.bmp"), &out), 0) << out;
    EXPECT_EQ(read_file(dir.file("back.bmp")).size(), 54u + (37 * 3 + 1) * 29);

    // Each command names what it was given instead.
    EXPECT_EQ(jp2c("decode " + q("jpeg.ppm") + " " + q("x.ppm"), &out), 1);
    EXPECT_NE(out.find("is a JPEG picture, not a JPEG 2000 code stream"), std::string::npos)
        << out;
    EXPECT_EQ(jp2c("info " + q("bitmap.pgm"), &out), 1);
    EXPECT_NE(out.find("is a Windows bitmap"), std::string::npos) << out;
    EXPECT_EQ(jp2c("encode " + q("a.j2k") + " " + q("x.j2k"), &out), 1);
    EXPECT_NE(out.find("is a JPEG 2000 code stream"), std::string::npos) << out;
    EXPECT_FALSE(file_exists(dir.file("x.ppm")) || file_exists(dir.file("x.j2k")));
}

TEST(Jp2cFormats, BadInputsFailWithAMessage)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string text;
    auto run = [&](const std::string& args) { return jp2c("encode " + args, &text); };
    const std::string out = shell_quote(dir.file("o.j2k"));
    EXPECT_EQ(run(shell_quote(dir.file("missing.pgm")) + " " + out), 1);
    EXPECT_NE(text.find("cannot open"), std::string::npos) << text;
    std::vector<uint8_t> junk = {'P', '6', '\n', '9', '9', ' ', '9', '\n', '2', '5', '5', '\n', 1};
    write_file(dir.file("short.ppm"), junk);
    EXPECT_EQ(run(shell_quote(dir.file("short.ppm")) + " " + out), 1);
    EXPECT_NE(text.find("ends before"), std::string::npos) << text;
    // Options that pass the checks but that the encoder refuses: no partial
    // code stream is left.
    write_pnm(dir.file("ok.pgm"), make_picture(8, 8, 1, 8, false));
    EXPECT_EQ(run(shell_quote(dir.file("ok.pgm")) + " " + out +
                  " --options 'cblkwidth=1024 cblkheight=1024'"),
              1);
    EXPECT_NE(text.find("code block size too large"), std::string::npos) << text;
    EXPECT_FALSE(file_exists(dir.file("o.j2k")));
    // A jp2c without its photo module beside it still codes PGM/PPM, and
    // says what is missing for a photo.
    const std::string bare = shell_quote(dir.file("jp2c"));
    ASSERT_EQ(run_command("cp " + shell_quote(JP2C_PATH) + " " + bare, &text), 0);
    EXPECT_EQ(run_command(bare + " encode " + shell_quote(dir.file("ok.pgm")) + " " + out, &text), 0);
    EXPECT_EQ(run_command(bare + " encode " + shell_quote(photo("forest.jpg")) + " " + out, &text), 1);
    EXPECT_NE(text.find("need jp2c_photo.so beside jp2c"), std::string::npos) << text;
}

// The main header of a conformance stream in words, and the codec's dump.
TEST(Jp2cInfo, ShowsTheMainHeaderOfAConformanceStream)
{
    const std::string stream = std::string(JP2_TESTDATA) + "/conformance/p0_03.j2k";
    std::string out;
    ASSERT_EQ(jp2c("info " + shell_quote(stream), &out), 0) << out;
    for (const char* line :
         {"Image: 256 x 256, at (0, 0)", "Tiles: 128 x 128, at (0, 0): 2 across, 2 down, 4 in all",
          "Components: 1\n  0: 4 bits signed, sampling 1 x 1 (256 x 256 samples)",
          "SOP markers allowed", "Progression: PCRL", "Layers: 8", "Colour transform: no",
          "Decomposition levels: 1 (2 resolutions)", "Wavelet: 5/3 reversible",
          "Code blocks: 64 x 64, style: plain",
          "Component 0 quantization: none (reversible), 2 guard bits, 4 step sizes",
          "Comment: Creator: AV-J2K", "Main header: 298 bytes"})
        EXPECT_NE(out.find(line), std::string::npos) << "no \"" << line << "\" in\n" << out;
    ASSERT_EQ(jp2c("info " + shell_quote(stream) + " --markers", &out), 0) << out;
    EXPECT_NE(out.find("type = 0xff51 (SIZ); len = 39 (41);\ncaps = 0x01;"), std::string::npos)
        << out;
    // A code stream cut inside its main header.
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::vector<uint8_t> head = read_file(stream);
    head.resize(60);
    write_file(dir.file("cut.j2k"), head);
    EXPECT_EQ(jp2c("info " + shell_quote(dir.file("cut.j2k")), &out), 1);
    EXPECT_NE(out.find("damaged or cut short"), std::string::npos) << out;
}

} // namespace

namespace {

// --psnr reaches its goal within a tenth of a decibel, by compare's own
// measure; a JP2 file decodes as the code stream it carries.
TEST(Jp2cFormats, TargetPsnrAndJp2Files)
{
    REQUIRE_PEER(OPJ_COMPRESS, "opj_compress");
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string out;
    auto q = [&](const char* name) { return shell_quote(dir.file(name)); };
    ASSERT_EQ(jp2c("encode " + shell_quote(photo("bretagne.bmp")) + " " + q("p.j2k") +
                       " --psnr 36",
                   &out),
              0)
        << out;
    ASSERT_EQ(jp2c("decode " + q("p.j2k") + " " + q("p.ppm"), &out), 0) << out;
    ASSERT_EQ(jp2c("compare " + shell_quote(photo("bretagne.bmp")) + " " + q("p.ppm"), &out), 0);
    double psnr = 0, ssim = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + out.find("PSNR: "), "PSNR: %lf", &psnr), 1) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + out.find("SSIM: "), "SSIM: %lf", &ssim), 1) << out;
    EXPECT_GE(psnr, 36.0);
    EXPECT_LE(psnr, 36.1);
    EXPECT_GT(ssim, 0.9);
    EXPECT_LT(ssim, 1.0);

    ASSERT_EQ(run_command(std::string(OPJ_COMPRESS) + " -i " + q("p.ppm") + " -o " + q("o.jp2") +
                              " -r 30"),
              0);
    // The code stream inside: from its SOC and SIZ markers on.
    const std::vector<uint8_t> jp2 = read_file(dir.file("o.jp2"));
    const uint8_t soc[] = {0xFF, 0x4F, 0xFF, 0x51};
    const auto at = std::search(jp2.begin(), jp2.end(), soc, soc + 4);
    ASSERT_NE(at, jp2.end());
    ASSERT_TRUE(write_file(dir.file("o.j2k"), std::vector<uint8_t>(at, jp2.end())));
    ASSERT_EQ(jp2c("decode " + q("o.jp2") + " " + q("jp2.ppm"), &out), 0) << out;
    ASSERT_EQ(jp2c("decode " + q("o.j2k") + " " + q("j2k.ppm"), &out), 0) << out;
    EXPECT_EQ(read_file(dir.file("jp2.ppm")), read_file(dir.file("j2k.ppm")));
    ASSERT_EQ(jp2c("info " + q("o.jp2"), &out), 0) << out;
    EXPECT_NE(out.find("in a JP2 file"), std::string::npos) << out;
}

// Pictures deeper than 8 bits are also measured at their own precision:
// every other sample 3 off in 16 bits is an MSE of 4.5, 89.797 dB, which
// the 8-bit view cannot see.
TEST(Jp2cFormats, CompareMeasuresDeepPicturesAtTheirPrecision)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::vector<uint8_t> a = {'P', '5', '\n', '8', ' ', '4', '\n', '6', '5', '5', '3', '5', '\n'};
    std::vector<uint8_t> b = a;
    for (int i = 0; i < 32; ++i) {
        const int v = 1000 * i + 517;
        const int w = v + (i % 2 ? 3 : 0);
        a.insert(a.end(), {uint8_t(v >> 8), uint8_t(v)});
        b.insert(b.end(), {uint8_t(w >> 8), uint8_t(w)});
    }
    ASSERT_TRUE(write_file(dir.file("a.pgm"), a));
    ASSERT_TRUE(write_file(dir.file("b.pgm"), b));
    std::string out;
    ASSERT_EQ(jp2c("compare " + shell_quote(dir.file("a.pgm")) + " " +
                       shell_quote(dir.file("b.pgm")),
                   &out),
              0);
    EXPECT_NE(out.find("PSNR at 16 bits: 89.797 dB"), std::string::npos) << out;
}

} // namespace
