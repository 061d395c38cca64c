#include "base/image.h"
#include "base/seq.h"
#include "base/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct ImageDeleter {
    void operator()(image_t* i) const { image_destroy(i); }
};
using Image = std::unique_ptr<image_t, ImageDeleter>;
struct MatrixDeleter {
    void operator()(matrix_t* m) const { matrix_destroy(m); }
};
using Matrix = std::unique_ptr<matrix_t, MatrixDeleter>;

Image make(std::vector<image_cmptparm_t> parms, int cm = IMAGE_CM_UNKNOWN)
{
    return Image(image_create(static_cast<int>(parms.size()), parms.data(), cm));
}

// Bytes start .. start + n - 1 of component i's samples.
std::vector<int> sample_bytes(image_t* img, int i, int64_t start, int n)
{
    stream_t* s = image_cmpt_stream(img, i);
    std::vector<int> out;
    if (stream_seek(s, start, SEEK_SET) < 0)
        return out;
    for (int k = 0; k < n; ++k)
        out.push_back(stream_getc(s));
    return out;
}

}  // namespace

TEST(Image, ThreeEqualComponentsInMemoryAllZero)
{
    Image img = make({{640, 480, 8, 0}, {640, 480, 8, 0}, {640, 480, 8, 0}}, IMAGE_CM_RGB);
    ASSERT_TRUE(img);
    EXPECT_EQ(image_numcmpnts(img.get()), 3);
    EXPECT_EQ(image_width(img.get()), 640);
    EXPECT_EQ(image_height(img.get()), 480);
    EXPECT_EQ(image_colormodel(img.get()), IMAGE_CM_RGB);
    EXPECT_EQ(image_intmpfiles(img.get()), 0);
    EXPECT_EQ(image_samplebytes(img.get()), 3 * 640 * 480);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(image_cmpt_hsubsamp(img.get(), i), 1);
        EXPECT_EQ(image_cmpt_vsubsamp(img.get(), i), 1);
        EXPECT_EQ(image_cmpt_cps(img.get(), i), 1);
        stream_t* s = image_cmpt_stream(img.get(), i);
        ASSERT_TRUE(stream_ismem(s));
        EXPECT_EQ(stream_memlength(s), 640 * 480);
    }
    Matrix m(matrix_create(0, 0));
    ASSERT_EQ(image_readcmpt(img.get(), 2, 0, 0, 640, 480, m.get()), -1);  // cannot grow
    m.reset(matrix_create(480, 640));
    matrix_setall(m.get(), 7);
    ASSERT_EQ(image_readcmpt(img.get(), 2, 0, 0, 640, 480, m.get()), 0);
    for (int r = 0; r < 480; ++r)
        for (int c = 0; c < 640; ++c)
            ASSERT_EQ(matrix_get(m.get(), r, c), 0);
}

TEST(Image, SubsampledComponentsAndLcmGrid)
{
    Image img = make({{640, 480, 8, 0}, {320, 240, 8, 1}});
    ASSERT_TRUE(img);
    EXPECT_EQ(image_width(img.get()), 640);
    EXPECT_EQ(image_height(img.get()), 480);
    EXPECT_EQ(image_cmpt_hsubsamp(img.get(), 1), 2);
    EXPECT_EQ(image_cmpt_vsubsamp(img.get(), 1), 2);
    EXPECT_EQ(image_cmpt_sgnd(img.get(), 1), 1);
    EXPECT_EQ(image_cmpt_x(img.get(), 1, 639), 319);
    EXPECT_EQ(image_cmpt_y(img.get(), 1, 3), 1);

    // Sizes sharing a prime factor above 97.
    img = make({{101, 101, 8, 0}, {202, 202, 8, 0}});
    ASSERT_TRUE(img);
    EXPECT_EQ(image_width(img.get()), 202);
    EXPECT_EQ(image_cmpt_hsubsamp(img.get(), 0), 2);
    EXPECT_EQ(image_cmpt_hsubsamp(img.get(), 1), 1);

    // 3 and 2 wide: the grid is 6 wide.
    img = make({{3, 1, 8, 0}, {2, 1, 8, 0}});
    ASSERT_TRUE(img);
    EXPECT_EQ(image_width(img.get()), 6);
    EXPECT_EQ(image_cmpt_hsubsamp(img.get(), 0), 2);
    EXPECT_EQ(image_cmpt_hsubsamp(img.get(), 1), 3);
}

TEST(Image, TwelveBitSamplesMostSignificantByteFirst)
{
    Image img = make({{4, 3, 12, 0}});
    ASSERT_TRUE(img);
    EXPECT_EQ(image_cmpt_cps(img.get(), 0), 2);
    Matrix m(matrix_create(1, 2));
    matrix_set(m.get(), 0, 0, 0xABC);
    matrix_set(m.get(), 0, 1, 0x123);
    ASSERT_EQ(image_writecmpt(img.get(), 0, 1, 2, 2, 1, m.get()), 0);
    // Sample (1, 2) starts at byte (2 * 4 + 1) * 2 = 18.
    EXPECT_EQ(sample_bytes(img.get(), 0, 16, 6), (std::vector<int>{0, 0, 0x0A, 0xBC, 0x01, 0x23}));

    Matrix back(matrix_create(3, 4));
    ASSERT_EQ(image_readcmpt(img.get(), 0, 0, 0, 4, 3, back.get()), 0);
    EXPECT_EQ(matrix_get(back.get(), 2, 1), 0xABC);
    EXPECT_EQ(matrix_get(back.get(), 2, 2), 0x123);
    EXPECT_EQ(matrix_get(back.get(), 1, 1), 0);
}

TEST(Image, SampleStreamFilledByteByByte)
{
    // Signed 16-bit: written as the low two bytes, read back without sign
    // extension.
    Image img = make({{3, 2, 16, 1}});
    ASSERT_TRUE(img);
    stream_t* s = image_cmpt_stream(img.get(), 0);
    ASSERT_EQ(stream_seek(s, 0, SEEK_SET), 0);
    for (int k = 0; k < 12; ++k)
        ASSERT_EQ(stream_putc(s, 0x10 + k), 0x10 + k);
    Matrix m(matrix_create(2, 2));
    ASSERT_EQ(image_readcmpt(img.get(), 0, 1, 0, 2, 2, m.get()), 0);
    EXPECT_EQ(matrix_get(m.get(), 0, 0), 0x1213);
    EXPECT_EQ(matrix_get(m.get(), 1, 1), 0x1a1b);

    matrix_set(m.get(), 0, 0, -2);
    ASSERT_EQ(image_writecmpt(img.get(), 0, 1, 0, 2, 2, m.get()), 0);
    EXPECT_EQ(sample_bytes(img.get(), 0, 2, 2), (std::vector<int>{0xff, 0xfe}));
    ASSERT_EQ(image_readcmpt(img.get(), 0, 1, 0, 2, 2, m.get()), 0);
    EXPECT_EQ(matrix_get(m.get(), 0, 0), 0xfffe);
}

TEST(Image, RectangleArgumentsChecked)
{
    Image img = make({{8, 4, 8, 0}, {4, 2, 8, 0}});
    ASSERT_TRUE(img);
    Matrix m(matrix_create(4, 8));
    EXPECT_EQ(image_readcmpt(img.get(), 0, 0, 0, 8, 4, m.get()), 0);
    EXPECT_EQ(image_readcmpt(img.get(), 0, 1, 0, 8, 4, m.get()), -1);  // one column past
    EXPECT_EQ(image_readcmpt(img.get(), 0, 0, 1, 8, 4, m.get()), -1);  // one row past
    EXPECT_EQ(image_readcmpt(img.get(), 1, 0, 0, 8, 4, m.get()), -1);  // smaller component
    EXPECT_EQ(image_readcmpt(img.get(), 2, 0, 0, 1, 1, m.get()), -1);
    EXPECT_EQ(image_readcmpt(img.get(), -1, 0, 0, 1, 1, m.get()), -1);
    EXPECT_EQ(image_readcmpt(img.get(), 0, -1, 0, 1, 1, m.get()), -1);
    EXPECT_EQ(image_readcmpt(img.get(), 0, 8, 0, 0, 1, m.get()), -1);
    EXPECT_EQ(image_readcmpt(img.get(), 0, 0, 0, -1, 1, m.get()), -1);
    EXPECT_EQ(image_readcmpt(img.get(), 0, 0, 0, INT32_MAX, 1, m.get()), -1);

    // Reading resizes the matrix within its capacity; writing never does.
    ASSERT_EQ(image_readcmpt(img.get(), 1, 1, 1, 3, 1, m.get()), 0);
    EXPECT_EQ(matrix_numrows(m.get()), 1);
    EXPECT_EQ(matrix_numcols(m.get()), 3);
    EXPECT_EQ(image_writecmpt(img.get(), 1, 1, 1, 2, 1, m.get()), -1);
    EXPECT_EQ(image_writecmpt(img.get(), 1, 1, 1, 3, 1, m.get()), 0);
    EXPECT_EQ(image_writecmpt(img.get(), 1, 2, 1, 3, 1, m.get()), -1);

    // A view into a larger matrix works as a transfer target.
    Matrix big(matrix_create(10, 10));
    Matrix view(matrix_create(0, 0));
    ASSERT_EQ(matrix_bindsub(view.get(), big.get(), 2, 3, 5, 10 - 1), 0);  // 4 x 7
    EXPECT_EQ(image_readcmpt(img.get(), 0, 1, 0, 7, 4, view.get()), 0);

    // Released samples: transfers fail.
    image_cmpt_releasestream(img.get(), 0);
    EXPECT_EQ(image_cmpt_stream(img.get(), 0), nullptr);
    EXPECT_EQ(image_readcmpt(img.get(), 0, 0, 0, 1, 1, m.get()), -1);
}

TEST(Image, CreationRefusesBadParameters)
{
    EXPECT_FALSE(make({}));
    EXPECT_FALSE(make({{0, 4, 8, 0}}));
    EXPECT_FALSE(make({{4, -1, 8, 0}}));
    EXPECT_FALSE(make({{4, 4, 0, 0}}));
    EXPECT_FALSE(make({{4, 4, 33, 0}}));
    EXPECT_FALSE(make({{8, 8, 8, 0}, {0, 8, 8, 0}}));
    EXPECT_EQ(image_create(1, nullptr, 0), nullptr);
    // A grid wider than 32 bits: lcm of two large coprime widths.
    EXPECT_FALSE(make({{65537, 1, 8, 0}, {65539, 1, 8, 0}}));
}

TEST(Image, ManyComponents)
{
    // A code stream may declare up to 16384 components.
    std::vector<image_cmptparm_t> parms(300, image_cmptparm_t{2, 2, 8, 0});
    Image img = make(parms);
    ASSERT_TRUE(img);
    EXPECT_EQ(image_numcmpnts(img.get()), 300);
    Matrix m(matrix_create(2, 2));
    matrix_set(m.get(), 1, 1, 200);
    ASSERT_EQ(image_writecmpt(img.get(), 299, 0, 0, 2, 2, m.get()), 0);
    matrix_setall(m.get(), 0);
    ASSERT_EQ(image_readcmpt(img.get(), 299, 0, 0, 2, 2, m.get()), 0);
    EXPECT_EQ(matrix_get(m.get(), 1, 1), 200);
    parms.resize(IMAGE_MAXCMPTS + 1, image_cmptparm_t{2, 2, 8, 0});
    EXPECT_FALSE(make(parms));
}

TEST(Image, LargeImageKeepsSamplesInTemporaryFiles)
{
    // 4096 x 4096 x 2 bytes x 2 components = 64 MiB exactly.
    Image img = make({{4096, 4096, 16, 0}, {4096, 4096, 9, 0}});
    ASSERT_TRUE(img);
    EXPECT_EQ(image_intmpfiles(img.get()), 1);
    EXPECT_EQ(image_samplebytes(img.get()), int64_t(64) << 20);
    EXPECT_FALSE(stream_ismem(image_cmpt_stream(img.get(), 1)));

    Matrix m(matrix_create(2, 3));
    matrix_set(m.get(), 0, 0, 0x1FF);
    matrix_set(m.get(), 1, 2, 0x155);
    ASSERT_EQ(image_writecmpt(img.get(), 1, 4093, 4094, 3, 2, m.get()), 0);
    Matrix back(matrix_create(2, 3));
    ASSERT_EQ(image_readcmpt(img.get(), 1, 4093, 4094, 3, 2, back.get()), 0);
    EXPECT_EQ(matrix_cmp(back.get(), m.get()), 0);
    // The last sample is the last two bytes of the file.
    const int64_t last = int64_t(4096) * 4096 * 2 - 2;
    EXPECT_EQ(sample_bytes(img.get(), 1, last, 3), (std::vector<int>{0x01, 0x55, -1}));
    // Untouched samples are 0.
    ASSERT_EQ(image_readcmpt(img.get(), 0, 0, 4095, 3, 1, back.get()), 0);
    EXPECT_EQ(matrix_get(back.get(), 0, 2), 0);

    // One byte less stays in memory.
    img = make({{4096, 4096, 16, 0}, {4096, 4095, 9, 0}});
    ASSERT_TRUE(img);
    EXPECT_EQ(image_intmpfiles(img.get()), 0);
}

TEST(Image, FormatRegistry)
{
    struct Fake {
        static int validate_a(stream_t*) { return -1; }
        static int validate_b(stream_t* in) { return stream_getc(in) == 'B' ? 0 : -1; }
        static image_t* decode_b(stream_t*, const char*)
        {
            image_cmptparm_t p{1, 1, 8, 0};
            return image_create(1, &p, IMAGE_CM_GRAY);
        }
        static int encode_b(image_t*, stream_t* out, const char*) { return stream_putc(out, 'B') < 0 ? -1 : 0; }
    };
    image_fmtops_t a{nullptr, nullptr, Fake::validate_a};
    image_fmtops_t b{Fake::decode_b, Fake::encode_b, Fake::validate_b};
    image_clearfmts();
    EXPECT_EQ(image_addfmt(-1, "x", "x", &a), -1);
    EXPECT_EQ(image_addfmt(1, nullptr, "x", &a), -1);
    EXPECT_EQ(image_addfmt(1, "x", "x", nullptr), -1);
    std::string name = "alpha";
    ASSERT_EQ(image_addfmt(1, name.c_str(), "al", &a), 0);
    name = "changed";  // the registry keeps its own copy
    ASSERT_EQ(image_addfmt(7, "beta", "bt", &b), 0);

    ASSERT_NE(image_lookupfmtbyname("alpha"), nullptr);
    EXPECT_EQ(image_lookupfmtbyname("alpha")->id_, 1);
    EXPECT_EQ(image_lookupfmtbyname("Alpha"), nullptr);
    ASSERT_NE(image_lookupfmtbyext("dir.x/pic.tar.bt"), nullptr);
    EXPECT_EQ(image_lookupfmtbyext("dir.x/pic.tar.bt")->id_, 7);
    EXPECT_EQ(image_lookupfmtbyext("pic"), nullptr);
    EXPECT_STREQ(image_lookupfmtbyid(7)->name_, "beta");
    EXPECT_EQ(image_lookupfmtbyid(3), nullptr);

    stream_t* s = stream_memopen(nullptr, 0);
    ASSERT_EQ(image_encode(nullptr, s, 7, ""), 0);
    EXPECT_EQ(image_encode(nullptr, s, 1, ""), -1);  // no encode operation
    stream_seek(s, 0, SEEK_SET);
    EXPECT_EQ(image_getfmt(s), 7);
    stream_seek(s, 0, SEEK_SET);
    Image dec(image_decode(s, -1, ""));
    EXPECT_TRUE(dec);
    stream_close(s);

    for (int i = 2; i < IMAGE_MAXFMTS; ++i)
        ASSERT_EQ(image_addfmt(100 + i, "f", "f", &a), 0);
    EXPECT_EQ(image_addfmt(200, "full", "f", &a), -1);
    image_clearfmts();
    EXPECT_EQ(image_lookupfmtbyid(7), nullptr);
}
