// jp2c encode against the independent decoders: code streams of every
// option must decode with opj_decompress and grk_decompress, the reversible
// ones to exactly the input samples.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

using testutil::Picture;

namespace {

struct Peer {
    const char* name;
    const char* path;
    const char* tool;
};

const Peer kPeers[] = {{"opj", OPJ_DECOMPRESS, "opj_decompress"},
                       {"grk", GRK_DECOMPRESS, "grk_decompress"}};

class EncodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.ok());
        for (const Peer& p : kPeers)
            REQUIRE_PEER(p.path, p.tool);
    }

    // Writes pic as NAME (.pgm/.ppm/.pgx set) and encodes it; returns the code
    // stream's path, or "" after a test failure.
    std::string encode(const Picture& pic, const std::string& name, const std::string& options,
                       std::string* messages = nullptr)
    {
        std::string in = dir_.file(name);
        bool ok;
        if (in.size() > 4 && in.compare(in.size() - 4, 4, ".pgx") == 0) {
            ok = true;
            for (int c = 0; c < pic.numcomps(); ++c)
                ok = ok && testutil::write_pgx(in.substr(0, in.size() - 4) + "_" +
                                                   std::to_string(c) + ".pgx",
                                               pic, c);
        } else {
            ok = testutil::write_pnm(in, pic);
        }
        EXPECT_TRUE(ok);
        std::string out = dir_.file(name + "." + std::to_string(++count_) + ".j2k");
        std::string text;
        int rc = testutil::run_command(std::string(JP2C_PATH) + " encode " +
                                           testutil::shell_quote(in) + " " +
                                           testutil::shell_quote(out) + " --options " +
                                           testutil::shell_quote(options),
                                       &text);
        if (messages)
            *messages = text;
        EXPECT_EQ(rc, 0) << "options \"" << options << "\": " << text;
        return rc == 0 ? out : "";
    }

    // Decodes stream with the peer into a picture of the form of pic
    // (PNM for 1 or 3 unsigned components of up to 16 bits, else PGX).
    bool decode(const Peer& peer, const std::string& stream, const Picture& like, Picture* out,
                const std::string& extra = "")
    {
        bool pnm = !like.sgnd && (like.numcomps() == 1 || like.numcomps() == 3);
        std::string ext = pnm ? (like.numcomps() == 1 ? ".pgm" : ".ppm") : ".pgx";
        std::string dec = stream + "." + peer.name + std::to_string(++count_) + ext;
        std::string text;
        int rc = testutil::run_command(std::string(peer.path) + " -i " +
                                           testutil::shell_quote(stream) + " -o " +
                                           testutil::shell_quote(dec) + " " + extra,
                                       &text);
        EXPECT_EQ(rc, 0) << peer.name << " failed on " << stream << ":\n" << text;
        if (rc != 0)
            return false;
        bool ok = testutil::read_picture(dec, out);
        EXPECT_TRUE(ok) << peer.name << " output unreadable";
        return ok;
    }

    // Both peers decode stream exactly to pic.
    void expect_lossless(const std::string& stream, const Picture& pic, const std::string& what)
    {
        ASSERT_FALSE(stream.empty()) << what;
        for (const Peer& peer : kPeers) {
            Picture dec;
            if (!decode(peer, stream, pic, &dec))
                continue;
            EXPECT_EQ(testutil::first_difference(pic, dec), "") << what << " via " << peer.name;
        }
    }

    // Both peers decode stream without error; returns the smaller PSNR.
    double peer_psnr(const std::string& stream, const Picture& pic, const std::string& what,
                     const std::string& extra = "")
    {
        double worst = INFINITY;
        EXPECT_FALSE(stream.empty()) << what;
        if (stream.empty())
            return -1.0;
        for (const Peer& peer : kPeers) {
            Picture dec;
            if (!decode(peer, stream, pic, &dec, extra))
                return -1.0;
            double p = testutil::psnr(pic, dec);
            EXPECT_GT(p, 0.0) << what << " via " << peer.name << " has the wrong shape";
            worst = std::min(worst, p);
        }
        return worst;
    }

    testutil::TempDir dir_;
    int count_ = 0;
};

TEST_F(EncodeTest, LosslessPicturesOfEverySizeAndDepth)
{
    struct Case {
        int w, h, nc, prec;
        bool smooth;
    };
    const Case cases[] = {
        {1, 1, 1, 8, false},    {1, 37, 1, 8, false},  {17, 3, 3, 8, false},
        {257, 129, 3, 8, true}, {64, 48, 1, 12, false}, {61, 45, 1, 16, true},
        {37, 1, 3, 8, false},   {2, 2, 3, 8, false},
    };
    for (const Case& c : cases) {
        Picture pic = testutil::make_picture(c.w, c.h, c.nc, c.prec, c.smooth, c.w * 31 + c.h);
        std::string what = std::to_string(c.w) + "x" + std::to_string(c.h) + "x" +
                           std::to_string(c.nc) + " " + std::to_string(c.prec) + "-bit";
        expect_lossless(encode(pic, "p.p" + std::string(c.nc == 1 ? "gm" : "pm"), ""), pic, what);
    }
}

TEST_F(EncodeTest, SignedAndMulticomponentPgx)
{
    // Signed samples must reach the code stream sign-extended.
    Picture s = testutil::make_picture(33, 21, 1, 12, false, 5, true);
    expect_lossless(encode(s, "s.pgx", ""), s, "signed 12-bit");
    Picture s8 = testutil::make_picture(16, 16, 2, 8, true, 6, true);
    expect_lossless(encode(s8, "t.pgx", "lazy"), s8, "two signed 8-bit components");
    Picture four = testutil::make_picture(20, 10, 4, 8, false, 7);
    expect_lossless(encode(four, "f.pgx", "prg=rlcp"), four, "four components");
}

TEST_F(EncodeTest, SubsampledComponents)
{
    // Components of 64 x 48, 32 x 24 and 32 x 48 samples: sampling factors
    // 1 x 1, 2 x 2 and 2 x 1 on the 64 x 48 grid.
    const int sizes[3][2] = {{64, 48}, {32, 24}, {32, 48}};
    std::vector<Picture> comps;
    for (int i = 0; i < 3; ++i) {
        comps.push_back(testutil::make_picture(sizes[i][0], sizes[i][1], 1, 8, i == 1, 40 + i));
        ASSERT_TRUE(testutil::write_pgx(dir_.file("sub_" + std::to_string(i) + ".pgx"),
                                        comps.back(), 0));
    }
    std::string stream = dir_.file("sub.j2k");
    std::string text;
    ASSERT_EQ(testutil::run_command(std::string(JP2C_PATH) + " encode " +
                                        testutil::shell_quote(dir_.file("sub.pgx")) + " " +
                                        testutil::shell_quote(stream),
                                    &text),
              0)
        << text;
    for (const Peer& peer : kPeers) {
        std::string dec = dir_.file(std::string("sub-") + peer.name + ".pgx");
        ASSERT_EQ(testutil::run_command(std::string(peer.path) + " -i " +
                                            testutil::shell_quote(stream) + " -o " +
                                            testutil::shell_quote(dec),
                                        &text),
                  0)
            << text;
        for (int i = 0; i < 3; ++i) {
            Picture got;
            got.comps.resize(1);
            ASSERT_TRUE(testutil::read_pgx(dec.substr(0, dec.size() - 4) + "_" +
                                               std::to_string(i) + ".pgx",
                                           &got, &got.comps[0]));
            EXPECT_EQ(testutil::first_difference(comps[i], got), "")
                << "component " << i << " via " << peer.name;
        }
    }
}

TEST_F(EncodeTest, EveryReversibleOptionDecodesExactly)
{
    Picture rgb = testutil::make_picture(67, 53, 3, 8, true, 11);
    Picture grey = testutil::make_picture(45, 70, 1, 8, false, 12);
    const char* options[] = {
        "lazy",
        "termall",
        "segsym",
        "vertcausal",
        "resetprob",
        "nomct",
        "prg=rlcp",
        "lazy termall segsym vertcausal resetprob",
        "lazy termall",
        "lazy segsym prg=rlcp",
        "cblkwidth=4 cblkheight=4",
        "cblkwidth=8 cblkheight=16 termall",
        "cblkwidth=32 cblkheight=32 lazy",
        "cblkwidth=64 cblkheight=64",
        "cblkwidth=1024 cblkheight=4 maxrlvls=1",
        "cblkwidth=4 cblkheight=1024 maxrlvls=3",
        "maxrlvls=1",
        "maxrlvls=2 lazy resetprob",
        "maxrlvls=7",
        "lyrrates=0.5,0.6,0.7",
        "prg=rlcp lyrrates=0.2",
    };
    for (const char* o : options) {
        expect_lossless(encode(rgb, "rgb.ppm", o), rgb, std::string("RGB, ") + o);
        expect_lossless(encode(grey, "grey.pgm", o), grey, std::string("grey, ") + o);
    }
}

TEST_F(EncodeTest, LargestLevelCountThePictureAllows)
{
    // 2^(maxrlvls - 2) < both sides: 9 levels for 257 x 129.
    Picture pic = testutil::make_picture(257, 129, 1, 8, true, 13);
    for (int lv : {1, 5, 9})
        expect_lossless(encode(pic, "l.pgm", "maxrlvls=" + std::to_string(lv)), pic,
                        "maxrlvls=" + std::to_string(lv));
}

TEST_F(EncodeTest, ColourExtremesNeedMoreGuardBits)
{
    // Blue/green and yellow tiles whose chroma low-pass coefficients outgrow
    // the nominal bit planes: the encoder must widen the guard bits instead
    // of failing or producing a corrupt stream.
    const int s[8] = {-1, 1, 1, 1, -1, -1, -1, -1};
    Picture pic;
    pic.width = pic.height = 64;
    pic.comps.assign(3, std::vector<int32_t>(64 * 64));
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            bool blue = s[x % 8] * s[y % 8] > 0;
            pic.comps[0][y * 64 + x] = blue ? 0 : 255;
            pic.comps[1][y * 64 + x] = blue ? 0 : 255;
            pic.comps[2][y * 64 + x] = blue ? 255 : 0;
        }
    for (const char* o : {"maxrlvls=2", "", "maxrlvls=2 mode=real rate=2"}) {
        std::string stream = encode(pic, "x.ppm", o);
        if (std::string(o).find("real") == std::string::npos)
            expect_lossless(stream, pic, o);
        else
            EXPECT_GT(peer_psnr(stream, pic, o), 30.0);
    }
}

TEST_F(EncodeTest, RateBudgetIsKeptAndQualityRises)
{
    Picture pic = testutil::make_picture(128, 96, 3, 8, true, 21);
    const double raw = 128.0 * 96 * 3;
    for (const char* mode : {"", "mode=real "}) {
        double lastpsnr = 0.0;
        for (double rate : {0.01, 0.03, 0.1, 0.3}) {
            std::string o = std::string(mode) + "rate=" + std::to_string(rate);
            std::string stream = encode(pic, "r.ppm", o);
            long long size = testutil::file_size(stream);
            EXPECT_LE(size, static_cast<long long>(std::ceil(raw * rate))) << o;
            double p = peer_psnr(stream, pic, o);
            EXPECT_GT(p, lastpsnr) << o;
            lastpsnr = p;
        }
    }
    // A generous rate gives the lossless stream.
    expect_lossless(encode(pic, "r.ppm", "rate=1.5"), pic, "rate=1.5");
}

TEST_F(EncodeTest, LayersAreCumulative)
{
    Picture pic = testutil::make_picture(96, 64, 3, 8, true, 22);
    for (const char* o : {"rate=0.4 lyrrates=0.02,0.08", "rate=0.4 lyrrates=0.02,0.08 prg=rlcp",
                          "mode=real rate=0.4 lyrrates=0.02,0.08 lazy termall"}) {
        std::string stream = encode(pic, "y.ppm", o);
        double p1 = peer_psnr(stream, pic, o, "-l 1");
        double p2 = peer_psnr(stream, pic, o, "-l 2");
        double p3 = peer_psnr(stream, pic, o);
        EXPECT_LT(p1, p2) << o;
        EXPECT_LT(p2, p3) << o;
    }
}

TEST_F(EncodeTest, TinyRatesGiveEmptyLayersNotCrashes)
{
    Picture pic = testutil::make_picture(40, 30, 3, 8, false, 23);
    std::string text;
    std::string stream = encode(pic, "z.ppm", "rate=0.0001 lyrrates=0.00001", &text);
    EXPECT_NE(text.find("warning: empty layer generated"), std::string::npos) << text;
    peer_psnr(stream, pic, "rate=0.0001");
    stream = encode(pic, "z.ppm", "rate=0 lyrrates=0.1,0.2", &text);
    peer_psnr(stream, pic, "rate=0");
}

} // namespace
