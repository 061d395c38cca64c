// The encoder driver and its rate allocation, run in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/image.h"
#include "codestream/jpc.h"
#include "encoder/jpenc.h"
#include "encoder/jpenc_psnr.h"
#include "decoder/jpdec.h"
#include "encoder/jpenc_int.h"
#include "base/stream.h"
#include "testutil.h"

namespace {

struct Recorder : OnProgressMessager {
    std::vector<int32_t> seen;
    void report(int32_t percent) override { seen.push_back(percent); }
};

// An image of the given components filled from pic.
image_t* makeimage(const testutil::Picture& pic, int colormodel)
{
    std::vector<image_cmptparm_t> parms(pic.numcomps(),
                                        image_cmptparm_t{pic.width, pic.height, pic.prec,
                                                         pic.sgnd ? 1 : 0});
    image_t* im = image_create(pic.numcomps(), parms.data(), colormodel);
    if (!im)
        return nullptr;
    int cps = (pic.prec + 7) / 8;
    for (int c = 0; c < pic.numcomps(); ++c) {
        stream_t* s = image_cmpt_stream(im, c);
        stream_seek(s, 0, SEEK_SET);
        for (int32_t v : pic.comps[c])
            for (int b = cps - 1; b >= 0; --b)
                stream_putc(s, (v >> (8 * b)) & 0xff);
        stream_flush(s);
    }
    return im;
}

struct Result {
    int ret;
    std::vector<uint8_t> bytes;
    std::string messages;
    std::vector<int32_t> progress;
};

Result encode(const testutil::Picture& pic, const char* options, int colormodel = IMAGE_CM_RGB)
{
    Result r;
    image_t* im = makeimage(pic, colormodel);
    EXPECT_NE(im, nullptr);
    stream_t* out = stream_memopen(nullptr, 0);
    Recorder rec;
    testing::internal::CaptureStderr();
    r.ret = jpenc_encode(im, out, options, &rec);
    r.messages = testing::internal::GetCapturedStderr();
    r.progress = rec.seen;
    unsigned char* data = stream_memdata(out);
    int64_t len = stream_memlength(out);
    r.bytes.assign(data, data + len);
    stream_close(out);
    image_destroy(im);
    return r;
}

// Offsets of the marker segments of a code stream up to the first SOD, then
// the SOT's Psot and the EOC offset.
struct Layout {
    std::vector<std::pair<int, size_t>> markers;  // code, offset
    size_t sot = 0;
    uint32_t psot = 0;
    size_t sod = 0;
};

Layout parse(const std::vector<uint8_t>& b)
{
    Layout l;
    size_t p = 0;
    while (p + 2 <= b.size()) {
        int code = b[p] << 8 | b[p + 1];
        l.markers.push_back({code, p});
        if (code == JPC_MS_SOC) {
            p += 2;
            continue;
        }
        if (code == JPC_MS_SOD) {
            l.sod = p;
            break;
        }
        int len = b[p + 2] << 8 | b[p + 3];
        if (code == JPC_MS_SOT) {
            l.sot = p;
            l.psot = uint32_t(b[p + 6]) << 24 | b[p + 7] << 16 | b[p + 8] << 8 | b[p + 9];
        }
        p += 2 + len;
    }
    return l;
}

int countmarker(const Layout& l, int code)
{
    int n = 0;
    for (auto& m : l.markers)
        n += m.first == code;
    return n;
}

const testutil::Picture& rgb()
{
    static testutil::Picture pic = testutil::make_picture(40, 24, 3, 8, true, 3);
    return pic;
}

// The first head reports (start, main header, tile set-up per component)
// and those from 80 on; those between (reading by bands of rows and the
// transform by the samples done, climbing to 38, tier-1's as code blocks
// complete, climbing to 70, and the rate allocation's; their number depends
// on the threads) never go back; that is checked here.
std::vector<int32_t> fixed(std::vector<int32_t> seen, size_t head)
{
    auto t1 = seen.begin() + static_cast<long>(std::min(head, seen.size()));
    auto end = std::find(t1, seen.end(), 80);
    EXPECT_TRUE(t1 != end && std::is_sorted(t1, end) && end[-1] >= 70);
    seen.erase(t1, end);
    return seen;
}

TEST(JpencTest, ProgressReportsComeInTheirOrder)
{
    testutil::Picture grey = testutil::make_picture(9, 7, 1, 8, false, 1);
    Result r = encode(grey, "maxrlvls=2", IMAGE_CM_GRAY);
    ASSERT_EQ(r.ret, 0) << r.messages;
    // Start, main header, tile set-up (and one report per component), then
    // the end.
    std::vector<int32_t> expected = {10, 10, 10, 10, 80, 81, 82, 90};
    EXPECT_EQ(fixed(r.progress, 4), expected);

    // Three components, real mode, two layers.
    r = encode(rgb(), "mode=real rate=0.5 lyrrates=0.1 maxrlvls=1");
    ASSERT_EQ(r.ret, 0) << r.messages;
    expected = {10, 10, 10, 10, 10, 10, 80, 81, 82, 90};
    EXPECT_EQ(fixed(r.progress, 6), expected);
}

// A sink that cancels at its first report of at least Limit.
struct Canceller : Recorder {
    int32_t limit;
    explicit Canceller(int32_t l) : limit(l) {}
    bool cancelled() override { return !seen.empty() && seen.back() >= limit; }
};

TEST(JpencTest, CancelStopsAtTheNextReport)
{
    // Many code blocks: the reports climb to 70 as code blocks complete.
    testutil::Picture pic = testutil::make_picture(256, 128, 3, 8, true, 5);
    Result whole = encode(pic, "cblkwidth=16 cblkheight=16 rate=0.2");
    ASSERT_EQ(whole.ret, 0) << whole.messages;
    auto t1 = std::find_if(whole.progress.begin(), whole.progress.end(), [](int32_t p) { return p > 30; });
    EXPECT_TRUE(std::is_sorted(t1, whole.progress.end()));
    EXPECT_GT(std::count_if(whole.progress.begin(), whole.progress.end(),
                            [](int32_t p) { return p > 30 && p < 70; }), 10);

    // A cancel in tier-1, in the level shift, inside the wavelet transform
    // and quantization, in the rate allocation and at the last report: the
    // run ends at that report with -1 (the sanitizer
    // build checks that nothing leaks).
    for (int32_t limit : {50, 25, 32, 36, 72, 82}) {
        image_t* im = makeimage(pic, IMAGE_CM_RGB);
        stream_t* out = stream_memopen(nullptr, 0);
        Canceller c(limit);
        testing::internal::CaptureStderr();
        EXPECT_EQ(jpenc_encode(im, out, "cblkwidth=16 cblkheight=16 rate=0.2", &c), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "encoding cancelled\n");
        ASSERT_FALSE(c.seen.empty());
        EXPECT_GE(c.seen.back(), limit);
        EXPECT_EQ(std::count_if(c.seen.begin(), c.seen.end(), [&](int32_t p) { return p >= limit; }), 1)
            << "limit " << limit;
        stream_close(out);
        image_destroy(im);
    }
}

TEST(JpencTest, OptionValidation)
{
    struct Case {
        const char* options;
        int ret;
        const char* message;
    };
    const Case cases[] = {
        {"mode=real", -1, "cannot use real mode for lossless coding\n"},
        {"mode=real rate=0", -1, "cannot use real mode for lossless coding\n"},
        {"cblkwidth=48", -1, "invalid code block width 48\n"},
        {"cblkheight=3", -1, "invalid code block height 3\n"},
        {"cblkwidth=4096 cblkheight=1", -1, "invalid code block width 4096\n"},
        {"cblkwidth=2", -1, "invalid code block width 2\n"},
        {"cblkwidth=128 cblkheight=64", -1, "code block size too large\n"},
        {"maxrlvls=0", -1, "must be at least one resolution level\n"},
        {"maxrlvls=-3", -1, "must be at least one resolution level\n"},
        {"maxrlvls=34", -1, "cannot write COD marker\n"},
        {"maxrlvls=257", -1, "cannot write COD marker\n"},
        {"prg=cprl", 0, "ignoring invalid progression order cprl\n"},
        {"mode=fast", 0, "ignoring invalid mode fast\n"},
        {"foo=1 nomct", 0, "warning: ignoring invalid option foo\n"},
        {"lyrrates=0.1,0.2", 0, "warning: empty layer generated\nwarning: empty layer generated\n"},
        {"rate=0.5 lyrrates=-1", 0, "warning: empty layer generated\n"},
        {"cblkwidth=1024 cblkheight=4 rate=1e300 lyrrates=1e300,1e300", 0, ""},
    };
    for (const Case& c : cases) {
        Result r = encode(rgb(), c.options);
        EXPECT_EQ(r.ret, c.ret) << c.options;
        EXPECT_EQ(r.messages, c.message) << c.options;
    }
}

TEST(JpencTest, OptionParsingRules)
{
    // A malformed item ends option processing silently: "-rate" keeps the
    // stream lossless, so it equals the stream without options.
    Result plain = encode(rgb(), "");
    ASSERT_EQ(plain.ret, 0);
    // Defaults: LRCP, one layer, RCT, 5 decomposition levels, 64 x 64 code
    // blocks, no coding switches, the 5/3 filter bank.
    Layout d = parse(plain.bytes);
    ASSERT_GE(d.markers.size(), 3u);
    ASSERT_EQ(d.markers[2].first, JPC_MS_COD);
    const std::vector<uint8_t> defaults = {0, 0, 0, 1, 1, 5, 4, 4, 0, 1};
    EXPECT_EQ(std::vector<uint8_t>(plain.bytes.begin() + d.markers[2].second + 4,
                                   plain.bytes.begin() + d.markers[2].second + 14),
              defaults);
    Result minus = encode(rgb(), "-rate=0.1 mode=real");
    EXPECT_EQ(minus.ret, 0);
    EXPECT_EQ(minus.messages, "");
    EXPECT_EQ(minus.bytes, plain.bytes);
    // Later occurrences win; flags ignore their value; an unknown progression
    // keeps the previous one.
    Result a = encode(rgb(), "prg=rlcp prg=cprl maxrlvls=2 maxrlvls=3 nomct=0");
    Result b = encode(rgb(), "prg=rlcp maxrlvls=3 nomct");
    EXPECT_EQ(a.ret, 0);
    EXPECT_EQ(a.bytes, b.bytes);
    Layout l = parse(b.bytes);
    ASSERT_GE(l.markers.size(), 3u);
    size_t cod = l.markers[2].second;
    ASSERT_EQ(l.markers[2].first, JPC_MS_COD);
    EXPECT_EQ(b.bytes[cod + 5], 1);  // RLCP
    EXPECT_EQ(b.bytes[cod + 8], 0);  // no colour transform
    EXPECT_EQ(b.bytes[cod + 9], 2);  // decomposition levels
    EXPECT_EQ(b.bytes[cod + 10], 4); // 64-sample code blocks
}

TEST(JpencTest, CodeStreamLayout)
{
    for (const char* o : {"", "lazy termall", "rate=0.3 lyrrates=0.05,0.1 prg=rlcp",
                          "mode=real rate=0.2"}) {
        Result r = encode(rgb(), o);
        ASSERT_EQ(r.ret, 0) << o << r.messages;
        Layout l = parse(r.bytes);
        ASSERT_GE(r.bytes.size(), 4u);
        EXPECT_EQ(r.bytes[0], 0xff);
        EXPECT_EQ(r.bytes[1], 0x4f);
        EXPECT_EQ(r.bytes[r.bytes.size() - 2], 0xff);
        EXPECT_EQ(r.bytes[r.bytes.size() - 1], 0xd9);
        // The tile-part runs from its SOT to the end of its last packet.
        EXPECT_EQ(l.sot + l.psot, r.bytes.size() - 2) << o;
        EXPECT_EQ(countmarker(l, JPC_MS_SOT), 1);
        EXPECT_EQ(countmarker(l, JPC_MS_QCD), 2);
        EXPECT_EQ(countmarker(l, JPC_MS_QCC), 0);
    }
}

TEST(JpencTest, ComponentsOfOtherPrecisionGetTheirOwnQuantization)
{
    testutil::Picture pic = testutil::make_picture(16, 16, 2, 8, true, 9);
    std::vector<image_cmptparm_t> parms = {{16, 16, 8, 0}, {16, 16, 12, 0}};
    image_t* im = image_create(2, parms.data(), IMAGE_CM_UNKNOWN);
    ASSERT_NE(im, nullptr);
    stream_t* out = stream_memopen(nullptr, 0);
    ASSERT_EQ(jpenc_encode(im, out, "", nullptr), 0);
    std::vector<uint8_t> bytes(stream_memdata(out), stream_memdata(out) + stream_memlength(out));
    stream_close(out);
    image_destroy(im);
    EXPECT_EQ(countmarker(parse(bytes), JPC_MS_QCC), 1);
}

TEST(JpencTest, PrecisionsBeyondThe32BitArithmeticAreRefused)
{
    testutil::Picture deep = testutil::make_picture(16, 16, 1, 31, false, 5);
    Result r = encode(deep, "", IMAGE_CM_GRAY);
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(r.messages, "cannot encode 31-bit samples in int mode\n");
    testutil::Picture p17 = testutil::make_picture(16, 16, 1, 17, false, 5);
    r = encode(p17, "mode=real rate=1", IMAGE_CM_GRAY);
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(r.messages, "cannot encode 17-bit samples in real mode\n");
    // 24-bit extremes whose low-pass coefficients leave no room for the
    // fractional bits fail instead of wrapping around.
    const int s[8] = {-1, 1, 1, 1, -1, -1, -1, -1};
    testutil::Picture k = testutil::make_picture(64, 64, 1, 24, false);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            k.comps[0][y * 64 + x] = s[x % 8] * s[y % 8] > 0 ? (1 << 24) - 1 : 0;
    r = encode(k, "", IMAGE_CM_GRAY);
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(r.messages, "samples of component 0 out of range\n");
    testutil::Picture ok = testutil::make_picture(16, 16, 1, 23, false, 6);
    EXPECT_EQ(encode(ok, "", IMAGE_CM_GRAY).ret, 0);
}

TEST(JpencTest, RateKeepsTheBudget)
{
    testutil::Picture pic = testutil::make_picture(64, 64, 3, 8, false, 4);
    const double raw = 64 * 64 * 3;
    size_t last = 0;
    for (double rate : {0.02, 0.05, 0.1, 0.2, 0.4}) {
        std::string o = "rate=" + std::to_string(rate);
        Result r = encode(pic, o.c_str());
        ASSERT_EQ(r.ret, 0) << r.messages;
        EXPECT_LE(r.bytes.size(), std::ceil(raw * rate)) << o;
        EXPECT_GT(r.bytes.size(), last) << o;
        last = r.bytes.size();
    }
    // On a photo the budget is used to the last few bytes: the room that
    // the allocation's threshold leaves is filled (block by block, each
    // trial measuring the layer, also below a first layer and for HT).
    testutil::Picture photo;
    ASSERT_TRUE(testutil::read_bmp_crop(std::string(JP2_TESTDATA) + "/photos/bretagne.bmp", 0, 0,
                                        256, 256, false, &photo));
    for (const char* mode : {"mode=int", "mode=real", "mode=real lyrrates=0.002", "mode=real ht"})
        for (double rate : {0.005, 0.01}) {
            const std::string o = std::string(mode) + " rate=" + std::to_string(rate);
            Result r = encode(photo, o.c_str());
            const double budget = std::ceil(256 * 256 * 3 * rate);
            EXPECT_LE(r.bytes.size(), budget) << o;
            EXPECT_GE(r.bytes.size(), 0.98 * budget) << o;
        }
    // Below the size of the headers every layer is empty, and the stream is
    // as small as a stream can be.
    Result tiny = encode(pic, "rate=0.0001");
    EXPECT_EQ(tiny.ret, 0);
    EXPECT_EQ(tiny.messages, "warning: empty layer generated\n");
    EXPECT_LT(tiny.bytes.size(), 200u);
    // Enough room for everything gives the stream without a rate, apart from
    // nothing: the same packets.
    Result all = encode(pic, "rate=4");
    Result lossless = encode(pic, "");
    EXPECT_EQ(all.bytes, lossless.bytes);
}

TEST(JpencTest, HullSlopesDecreaseAndDropPassesBelowTheHull)
{
    // Passes: ends and cumulative distortion decreases.  Pass 2 brings
    // nothing; pass 4 lies below the line from pass 3 to pass 5.
    const int32_t ends[] = {10, 20, 20, 40, 50, 90, 95};
    const double cum[] = {100, 150, 150, 170, 172, 200, 200.5};
    jpenc_pass_t passes[7] = {};
    for (int i = 0; i < 7; ++i) {
        passes[i].end = ends[i];
        passes[i].cumwmsedec = cum[i];
    }
    jpenc_cblk_t cblk = {};
    cblk.numpasses = 7;
    cblk.passes = passes;
    jpenc_cblkslopes(&cblk);
    EXPECT_DOUBLE_EQ(passes[0].rdslope, 10.0);
    EXPECT_DOUBLE_EQ(passes[1].rdslope, 5.0);
    EXPECT_DOUBLE_EQ(passes[2].rdslope, -1.0);
    EXPECT_DOUBLE_EQ(passes[3].rdslope, 1.0);
    EXPECT_DOUBLE_EQ(passes[4].rdslope, 0.0);
    EXPECT_DOUBLE_EQ(passes[5].rdslope, 30.0 / 50.0);
    EXPECT_DOUBLE_EQ(passes[6].rdslope, 0.1);
    double prev = 1e300;
    for (auto& p : passes)
        if (p.rdslope > 0) {
            EXPECT_LT(p.rdslope, prev);
            prev = p.rdslope;
        }
}

} // namespace

namespace {

// A target PSNR is met within a tenth of a decibel, the reported figure is
// what the stream decodes to, and the picture given is left intact.  The
// picture is transformed and block-coded once whatever the number of
// tries: the progress never starts over.
TEST(JpencTest, TargetPsnrIsReachedWithinATenthOfADecibel)
{
    testutil::Picture pic;
    ASSERT_TRUE(testutil::read_bmp_crop(std::string(JP2_TESTDATA) + "/photos/bretagne.bmp", 0, 0,
                                        640, 480, false, &pic));
    for (const char* mode : {"mode=int", "mode=real"}) {
        for (double target : {30.0, 38.0, 46.0}) {
            image_t* im = makeimage(pic, IMAGE_CM_RGB);
            stream_t* out = stream_memopen(nullptr, 0);
            double reached = 0;
            Recorder rec;
            ASSERT_EQ(jpenc_encodepsnr(im, out, mode, target, &rec, &reached), 0);
            EXPECT_TRUE(std::is_sorted(rec.seen.begin(), rec.seen.end())) << mode << " " << target;
            stream_rewind(out);
            image_t* decoded = jpdec_decode(out, "", nullptr);
            ASSERT_NE(decoded, nullptr);
            EXPECT_DOUBLE_EQ(jpenc_psnr(im, decoded), reached) << mode << " " << target;
            EXPECT_GE(reached, target) << mode;
            EXPECT_LE(reached, target + 0.1) << mode;
            image_destroy(decoded);
            image_destroy(im);
            stream_close(out);
        }
    }
}

} // namespace
