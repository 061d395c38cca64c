// Decoder driver: marker sequence errors, tile-part bookkeeping, refusals of
// values the decoder cannot hold, options, and damaged or cut-short code
// streams, which must end in an image or a failure, never in a crash.
#include "base/image.h"
#include "decoder/jpdec.h"
#include "encoder/jpenc.h"
#include "base/seq.h"
#include "base/stream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes conformance(const char* name)
{
    std::ifstream f(std::string(JP2_TESTDATA) + "/conformance/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

image_t* decode(const Bytes& data, int* status, const char* opts = "",
               OnProgressMessager* progress = nullptr)
{
    stream_t* in = stream_memopen(nullptr, 0);
    if (!data.empty())
        stream_write(in, data.data(), int64_t(data.size()));
    stream_rewind(in);
    image_t* image = jpdec_decode_status(in, opts, progress, status);
    stream_close(in);
    return image;
}

// Sample-by-sample equality of two images.
bool same_image(image_t* a, image_t* b)
{
    if (image_numcmpnts(a) != image_numcmpnts(b))
        return false;
    for (int k = 0; k < image_numcmpnts(a); ++k) {
        int w = image_cmpt_width(a, k), h = image_cmpt_height(a, k);
        if (w != image_cmpt_width(b, k) || h != image_cmpt_height(b, k))
            return false;
        matrix_t* ma = matrix_create(h, w);
        matrix_t* mb = matrix_create(h, w);
        bool same = image_readcmpt(a, k, 0, 0, w, h, ma) == 0 &&
                    image_readcmpt(b, k, 0, 0, w, h, mb) == 0 && matrix_cmp(ma, mb) == 0;
        matrix_destroy(ma);
        matrix_destroy(mb);
        if (!same)
            return false;
    }
    return true;
}

size_t find_marker(const Bytes& d, int code, size_t from = 0)
{
    for (size_t i = from; i + 1 < d.size(); ++i)
        if (d[i] == 0xff && d[i + 1] == (code & 0xff))
            return i;
    return std::string::npos;
}

// Silences the decoder's diagnostics while many damaged streams run.
class QuietStderr {
public:
    QuietStderr()
    {
        std::fflush(stderr);
        saved_ = dup(2);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        close(devnull);
    }
    ~QuietStderr()
    {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }

private:
    int saved_;
};

TEST(Decoder, MarkerSequenceErrors)
{
    int status;
    Bytes p = conformance("p0_01.j2k");
    ASSERT_FALSE(p.empty());

    // SIZ where SOC belongs: no image.
    Bytes nosoc(p.begin() + 2, p.end());
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode(nosoc, &status), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("unexpected marker segment type"),
              std::string::npos);

    // Not a marker at all.
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode(Bytes{0x12, 0x34, 0x56}, &status), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot get marker segment"),
              std::string::npos);

    // SOP between marker segments of the main header: refused, but the
    // image exists since SIZ was read.
    size_t cod = find_marker(p, 0xff52);
    ASSERT_NE(cod, std::string::npos);
    Bytes sop = p;
    const uint8_t seg[] = {0xff, 0x91, 0x00, 0x04, 0x00, 0x00};
    sop.insert(sop.begin() + cod, std::begin(seg), std::end(seg));
    testing::internal::CaptureStderr();
    image_t* image = decode(sop, &status);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(image, nullptr);
    EXPECT_EQ(status, -1);
    EXPECT_NE(err.find("unexpected marker segment type"), std::string::npos);
    image_destroy(image);
}

struct Recorder : OnProgressMessager {
    std::vector<int> seen;
    void report(int32_t percent) override { seen.push_back(percent); }
};

TEST(Decoder, ProgressAndDebugDumps)
{
    int status;
    Recorder rec;
    testing::internal::CaptureStderr();
    image_t* image = decode(conformance("p0_01.j2k"), &status, "debug=1", &rec);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(image, nullptr);
    image_destroy(image);
    EXPECT_NE(err.find("type = 0xff51 (SIZ)"), std::string::npos);
    EXPECT_NE(err.find("type = 0xffd9 (EOC)"), std::string::npos);
    ASSERT_GE(rec.seen.size(), 7u);
    EXPECT_EQ(std::vector<int>(rec.seen.begin(), rec.seen.begin() + 4),
              (std::vector<int>{5, 5, 10, 15}));
    EXPECT_EQ(std::vector<int>(rec.seen.end() - 2, rec.seen.end()), (std::vector<int>{75, 80}));
    // Between them the reports climb (tier-1 from 15 to 60) and never go back.
    EXPECT_TRUE(std::is_sorted(rec.seen.begin() + 3, rec.seen.end()));
    EXPECT_GT(std::count_if(rec.seen.begin(), rec.seen.end(), [](int p) { return p > 15 && p < 75; }), 0);

    // A cancel at the first report above 15 (in tier-1): no picture, and no
    // report after it.
    struct Canceller : Recorder {
        bool cancelled() override { return seen.back() > 15; }
    } stop;
    testing::internal::CaptureStderr();
    image = decode(conformance("p0_01.j2k"), &status, "", &stop);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "decoding cancelled\n");
    EXPECT_EQ(image, nullptr);
    EXPECT_GT(stop.seen.back(), 15);
    EXPECT_EQ(std::count_if(stop.seen.begin(), stop.seen.end(), [](int p) { return p > 15; }), 1);

    // Without the option nothing is dumped.
    testing::internal::CaptureStderr();
    image = decode(conformance("p0_01.j2k"), &status);
    err = testing::internal::GetCapturedStderr();
    image_destroy(image);
    EXPECT_EQ(err.find("marker segment:"), std::string::npos);
}

TEST(Decoder, TilePartEndsAndTrailingBytes)
{
    int status;
    Bytes p = conformance("p0_01.j2k");
    image_t* full = decode(p, &status);
    ASSERT_NE(full, nullptr);
    ASSERT_EQ(status, 0);

    // Without EOC the tile data already read is still decoded.
    Bytes noeoc(p.begin(), p.end() - 2);
    testing::internal::CaptureStderr();
    image_t* image = decode(noeoc, &status);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(same_image(full, image));
    image_destroy(image);

    // A tile-part announced 5 bytes longer than its packets: the bytes are
    // skipped with a warning.
    size_t sot = find_marker(p, 0xff90);
    ASSERT_NE(sot, std::string::npos);
    Bytes padded = p;
    uint32_t psot = uint32_t(p[sot + 6]) << 24 | uint32_t(p[sot + 7]) << 16 |
                    uint32_t(p[sot + 8]) << 8 | p[sot + 9];
    ASSERT_EQ(sot + psot, p.size() - 2);
    psot += 5;
    for (int i = 0; i < 4; ++i)
        padded[sot + 6 + i] = uint8_t(psot >> (24 - 8 * i));
    padded.insert(padded.end() - 2, 5, 0);
    testing::internal::CaptureStderr();
    image = decode(padded, &status);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_NE(err.find("warning: ignoring trailing garbage (5 bytes)"), std::string::npos);
    EXPECT_TRUE(same_image(full, image));
    image_destroy(image);

    // Options: maxlyrs changes nothing; unknown names are warned about.
    testing::internal::CaptureStderr();
    image = decode(p, &status, "maxlyrs=1 bogus=3");
    err = testing::internal::GetCapturedStderr();
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(same_image(full, image));
    EXPECT_NE(err.find("warning: ignoring invalid option bogus"), std::string::npos);
    image_destroy(image);
    image_destroy(full);
}

// The marker of the first packet is removed and the tile-part length fixed
// up.
Bytes without_first(const Bytes& p, int code, size_t len)
{
    size_t sot = find_marker(p, 0xff90);
    size_t at = find_marker(p, code, find_marker(p, 0xff93, sot));
    if (at == std::string::npos)
        return {};
    Bytes d = p;
    d.erase(d.begin() + at, d.begin() + at + len);
    uint32_t psot = uint32_t(d[sot + 6]) << 24 | uint32_t(d[sot + 7]) << 16 |
                    uint32_t(d[sot + 8]) << 8 | d[sot + 9];
    psot -= uint32_t(len);
    for (int i = 0; i < 4; ++i)
        d[sot + 6 + i] = uint8_t(psot >> (24 - 8 * i));
    return d;
}

TEST(Decoder, PacketsWithoutTheirSopOrEph)
{
    int status;
    // SOP may be left out of a packet (as the peer decoders accept): a
    // warning, and the same image.
    Bytes p = conformance("p0_12.j2k");
    image_t* full = decode(p, &status);
    ASSERT_NE(full, nullptr);
    Bytes d = without_first(p, 0xff91, 6);
    ASSERT_FALSE(d.empty());
    testing::internal::CaptureStderr();
    image_t* image = decode(d, &status);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_NE(err.find("warning: missing SOP marker segment"), std::string::npos);
    EXPECT_TRUE(same_image(full, image));
    image_destroy(image);
    image_destroy(full);

    // EPH is required once announced.
    d = without_first(conformance("p0_11.j2k"), 0xff92, 2);
    ASSERT_FALSE(d.empty());
    testing::internal::CaptureStderr();
    image = decode(d, &status);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, -1);
    EXPECT_NE(err.find("(EPH) marker segment"), std::string::npos) << err;
    EXPECT_NE(err.find("cannot read the packets of a tile-part"), std::string::npos);
    image_destroy(image);
}

TEST(Decoder, RefusesWhatItCannotHold)
{
    int status;
    Bytes p = conformance("p0_01.j2k");
    size_t siz = find_marker(p, 0xff51);
    size_t cod = find_marker(p, 0xff52);
    ASSERT_NE(siz, std::string::npos);
    ASSERT_NE(cod, std::string::npos);

    // A multiple component transform on a one-component image: the flag
    // is ignored with a warning.
    Bytes mct = p;
    mct[cod + 8] = 1;
    testing::internal::CaptureStderr();
    image_t* image = decode(mct, &status);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    EXPECT_NE(err.find("warning: ignoring the multiple component transform"), std::string::npos);
    image_destroy(image);

    // A huge declared image, tiled into 1 x 1 tiles: refused at SIZ.
    Bytes huge = p;
    for (int f = 0; f < 2; ++f)  // Xsiz, Ysiz
        for (int i = 0; i < 4; ++i)
            huge[siz + 6 + 4 * f + i] = i == 0 ? 0x7f : 0xf0;
    for (int f = 4; f < 6; ++f)  // XTsiz, YTsiz
        for (int i = 0; i < 4; ++i)
            huge[siz + 6 + 4 * f + i] = i == 3 ? 1 : 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode(huge, &status), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, -1);

    // A zero sampling factor.
    Bytes zero = p;
    zero[siz + 41] = 0;  // XRsiz of component 0
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode(zero, &status), nullptr);
    testing::internal::GetCapturedStderr();

    // 32 decomposition levels on a small image, and precincts of 2^0.
    Bytes deep = p;
    deep[cod + 9] = 32;
    testing::internal::CaptureStderr();
    image = decode(deep, &status);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, -1);
    image_destroy(image);
}

// Deterministic pseudo-random numbers.
struct Lcg {
    uint64_t s;
    uint32_t next()
    {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return uint32_t(s >> 33);
    }
};

TEST(Decoder, CutShortAndDamagedStreamsEndCleanly)
{
    const char* small[] = {"p0_09.j2k", "p0_11.j2k", "p0_12.j2k", "p1_07.j2k", "p0_14.j2k"};
    const char* larger[] = {"p0_01.j2k", "p1_06.j2k", "p0_02.j2k", "p0_13.j2k"};
    QuietStderr quiet;
    auto run = [](const Bytes& d) {
        int status;
        image_t* image = decode(d, &status);
        image_destroy(image);
    };
    for (const char* name : small) {
        Bytes p = conformance(name);
        ASSERT_FALSE(p.empty()) << name;
        for (size_t n = 0; n <= p.size(); ++n)
            run(Bytes(p.begin(), p.begin() + n));
    }
    for (const char* name : larger) {
        Bytes p = conformance(name);
        ASSERT_FALSE(p.empty()) << name;
        for (size_t n = 0; n <= p.size(); n += 1 + n / 64)
            run(Bytes(p.begin(), p.begin() + n));
    }
    Lcg rng{12345};
    for (const char* name : {"p0_09.j2k", "p0_12.j2k", "p1_07.j2k", "p0_14.j2k", "p1_06.j2k",
                             "p0_02.j2k", "p0_13.j2k"}) {
        Bytes p = conformance(name);
        for (int copy = 0; copy < 150; ++copy) {
            Bytes d = p;
            int changes = 1 + int(rng.next() % 4);
            for (int i = 0; i < changes; ++i) {
                // Half of the damage falls into the headers.
                size_t span = (copy & 1) ? std::min<size_t>(d.size(), 160) : d.size();
                d[rng.next() % span] = uint8_t(rng.next());
            }
            run(d);
        }
    }
}

// A colour tile's last level is decoded as its rows are written out: a
// code block of it that fails then must leave the tile unwritten all the
// same, as when every block is decoded before any row is.
TEST(Decoder, FailingBlockOfTheLastLevelLeavesTheTileUnwritten)
{
    const int w = 256, h = 192;
    image_cmptparm_t parms[3];
    for (image_cmptparm_t& p : parms)
        p = image_cmptparm_t{w, h, 8, 0};
    image_t* im = image_create(3, parms, IMAGE_CM_RGB);
    ASSERT_NE(im, nullptr);
    Lcg rng{99};
    for (int k = 0; k < 3; ++k) {
        unsigned char* m = image_cmpt_memory(im, k);
        ASSERT_NE(m, nullptr);
        for (int i = 0; i < w * h; ++i)
            m[i] = uint8_t((i % w) + (i / w) * k + (rng.next() & 63));
    }
    stream_t* out = stream_memopen(nullptr, 0);
    ASSERT_EQ(jpenc_encode(im, out, "mode=real ht rate=0.5", nullptr), 0);
    image_destroy(im);
    const Bytes p(stream_memdata(out), stream_memdata(out) + stream_memlength(out));
    stream_close(out);
    // Damage in the last packets, those of the last level of the last
    // component, where rows of the picture are written before its blocks
    // are reached.
    int failures = 0;
    for (int copy = 0; copy < 40; ++copy) {
        Bytes d = p;
        for (int i = 0; i < 3; ++i)
            d[d.size() - 3 - rng.next() % (d.size() / 8)] = uint8_t(rng.next());
        int status;
        testing::internal::CaptureStderr();
        image_t* image = decode(d, &status, "");
        const std::string messages = testing::internal::GetCapturedStderr();
        if (image && messages.find("cannot decode the code blocks of a tile") != std::string::npos) {
            ++failures;
            for (int k = 0; k < 3; ++k) {
                const unsigned char* m = image_cmpt_memory(image, k);
                ASSERT_NE(m, nullptr);
                EXPECT_TRUE(std::all_of(m, m + w * h, [](unsigned char v) { return v == 0; }))
                    << "copy " << copy << " component " << k;
            }
        }
        image_destroy(image);
    }
    EXPECT_GT(failures, 0);
}

}  // namespace
