// Resource bounds of the decoder: the declared image size limit (option
// maxsamples, 2^30 samples by default) and small code streams that declare
// vast numbers of packets, precincts or tiles, which must end quickly.
#include "base/image.h"
#include "decoder/jpdec.h"
#include "base/stream.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

#if defined(__SANITIZE_ADDRESS__)
constexpr double kSlack = 6;
#else
constexpr double kSlack = 1;
#endif

struct Params {
    uint32_t width = 64, height = 64, tilewidth = 0, tileheight = 0;
    int numcomps = 1;
    int numlyrs = 1;
    int numdlvls = 5;
    int prc = -1;          // precinct size byte of every level, -1 for none
    Bytes data;            // packet data of the one tile-part
};

void put16(Bytes& v, uint32_t x)
{
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}

void put32(Bytes& v, uint32_t x)
{
    put16(v, x >> 16);
    put16(v, x & 0xffff);
}

Bytes stream(const Params& p)
{
    Bytes v;
    put16(v, 0xff4f);
    put16(v, 0xff51);
    put16(v, 38 + 3 * p.numcomps);
    put16(v, 0);
    for (uint32_t x : {p.width, p.height, 0u, 0u, p.tilewidth ? p.tilewidth : p.width,
                       p.tileheight ? p.tileheight : p.height, 0u, 0u})
        put32(v, x);
    put16(v, p.numcomps);
    for (int k = 0; k < p.numcomps; ++k)
        v.insert(v.end(), {7, 1, 1});
    put16(v, 0xff52);
    put16(v, 12 + (p.prc >= 0 ? p.numdlvls + 1 : 0));
    v.push_back(p.prc >= 0 ? 1 : 0);
    v.push_back(0);
    put16(v, p.numlyrs);
    v.insert(v.end(), {0, uint8_t(p.numdlvls), 4, 4, 0, 1});
    for (int r = 0; p.prc >= 0 && r <= p.numdlvls; ++r)
        v.push_back(uint8_t(p.prc));
    put16(v, 0xff5c);
    put16(v, 3 + 3 * p.numdlvls + 1);
    v.push_back(2 << 5);
    for (int i = 0; i < 3 * p.numdlvls + 1; ++i)
        v.push_back(10 << 3);
    put16(v, 0xff90);
    put16(v, 10);
    put16(v, 0);
    put32(v, 0);
    v.insert(v.end(), {0, 1});
    put16(v, 0xff93);
    v.insert(v.end(), p.data.begin(), p.data.end());
    put16(v, 0xffd9);
    return v;
}

struct Result {
    image_t* image = nullptr;
    int status = 0;
    std::string messages;
    double seconds = 0;
};

Result decode(const Bytes& data, const char* opts = "")
{
    Result r;
    stream_t* in = stream_memopen(nullptr, 0);
    stream_write(in, data.data(), int64_t(data.size()));
    stream_rewind(in);
    testing::internal::CaptureStderr();
    // Processor time, not wall time: a busy machine must not fail the
    // guard against hangs.
    const std::clock_t t0 = std::clock();
    r.image = jpdec_decode_status(in, opts, nullptr, &r.status);
    r.seconds = double(std::clock() - t0) / CLOCKS_PER_SEC;
    r.messages = testing::internal::GetCapturedStderr();
    stream_close(in);
    return r;
}

TEST(DecoderLimits, DeclaredSizeAboveTheLimitIsRefusedWithAMessage)
{
    // 3 x 40000 x 30000 samples declared in 70 bytes: refused at once.
    Params p;
    p.width = 40000;
    p.height = 30000;
    p.numcomps = 3;
    Result r = decode(stream(p));
    EXPECT_EQ(r.image, nullptr);
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(r.messages.find("exceeds the limit of 1073741824 samples"), std::string::npos)
        << r.messages;
    EXPECT_LT(r.seconds, 1.0 * kSlack);

    // The limit is an option: exactly the declared size passes, one less
    // refuses; a value that is no positive number keeps the default.
    p = Params{};
    p.width = 100;
    p.height = 30;
    p.numcomps = 3;
    r = decode(stream(p), "maxsamples=9000");
    ASSERT_NE(r.image, nullptr) << r.messages;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(image_width(r.image), 100);
    image_destroy(r.image);
    r = decode(stream(p), "maxsamples=8999");
    EXPECT_EQ(r.image, nullptr);
    EXPECT_NE(r.messages.find("exceeds the limit of 8999 samples"), std::string::npos);
    for (const char* bad : {"maxsamples=0", "maxsamples=-5", "maxsamples=12x", "maxsamples"}) {
        r = decode(stream(p), bad);
        EXPECT_NE(r.image, nullptr) << bad;
        EXPECT_NE(r.messages.find("warning: ignoring invalid value of maxsamples"),
                  std::string::npos)
            << bad;
        image_destroy(r.image);
    }
}

// Packets, precincts and tiles are walked only as far as the bytes go.
TEST(DecoderLimits, VastStructuresOverFewBytesEndQuickly)
{
    struct Case {
        const char* what;
        Params p;
    };
    std::vector<Case> cases;
    Params p;
    p.width = p.height = 256;
    p.numlyrs = 65535;
    p.numdlvls = 32;
    p.data = Bytes(2000, 0);  // 2000 empty packets of the 65535 x 33 declared
    cases.push_back({"65535 layers, 32 levels", p});
    p = Params{};
    p.width = p.height = 1024;
    p.numlyrs = 65535;
    p.numdlvls = 10;
    p.prc = 0x11;
    p.data = Bytes(5000, 0x80);
    cases.push_back({"65535 layers, 2 x 2 precincts", p});
    p = Params{};
    p.width = p.height = 16384;
    p.prc = 0;
    cases.push_back({"1 x 1 precincts of a 2^28-sample tile", p});
    p = Params{};
    p.width = p.height = 65535;
    p.tilewidth = p.tileheight = 256;
    cases.push_back({"65535 tiles of 2^32 samples", p});
    for (const Case& c : cases) {
        Result r = decode(stream(c.p));
        EXPECT_LT(r.seconds, 3.0 * kSlack) << c.what;
        image_destroy(r.image);
    }
}

}  // namespace
