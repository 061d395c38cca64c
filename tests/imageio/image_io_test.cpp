// The component base (quality twins, progress, properties) and the option
// string of the JPEG 2000 save path.
#include "Exceptions.h"
#include "Image_io.h"
#include "Jpeg2000_io.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

TEST(ImageIO, NewComponentState)
{
    TJPEG2000_IO jp2;
    EXPECT_DOUBLE_EQ(jp2.Quality(), 75);
    EXPECT_DOUBLE_EQ(jp2.MaxBitPerPixel(), 0.46875);
    EXPECT_EQ(jp2.FormatName(), "JPEG2000");
    EXPECT_EQ(jp2.property("FormatName").toString(), "JPEG2000");
    EXPECT_EQ(jp2.RateAllowance(), 164);
    EXPECT_EQ(jp2.GetAttachedBitmap()->width(), 0);
    EXPECT_EQ(jp2.GetAttachedBitmap()->height(), 0);
    EXPECT_FALSE(jp2.OnProgress());
}

TEST(ImageIO, QualityClampsAndDerivesBitsPerPixel)
{
    TJPEG2000_IO jp2;
    struct Case { double q, stored, mbpp; };
    const Case cases[] = {
        {150, 100, 24},  {-5, 0, 0},       {100, 100, 24},           {88, 88, 1},
        {75, 75, 0.46875}, {87.999, 87.999, 0.54999375}, {87.9, 87.9, 0.549375},
        {94, 94, 12.5},  {11, 11, 0.06875},
    };
    for (const Case& c : cases) {
        jp2.SetQuality(c.q);
        EXPECT_DOUBLE_EQ(jp2.Quality(), c.stored) << c.q;
        EXPECT_DOUBLE_EQ(jp2.MaxBitPerPixel(), c.mbpp) << c.q;
    }
    // Quality 88 gives exactly 1: the jump from about 0.55 happens there.
    jp2.SetQuality(88);
    EXPECT_EQ(jp2.MaxBitPerPixel(), 1.0);
    jp2.SetQuality(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(jp2.Quality(), 0);
    EXPECT_EQ(jp2.MaxBitPerPixel(), 0);
}

TEST(ImageIO, BitsPerPixelClampsAndDerivesQuality)
{
    TJPEG2000_IO jp2;
    struct Case { double m, stored, q; };
    const Case cases[] = {
        {30, 24, 100}, {24, 24, 100}, {1, 1, 88}, {1.5, 1.5, 77.5},
        {0.125, 0.125, 11}, {-1, 0, 0}, {0.46875, 0.46875, 41.25},
    };
    for (const Case& c : cases) {
        jp2.SetMBPP(c.m);
        EXPECT_DOUBLE_EQ(jp2.MaxBitPerPixel(), c.stored) << c.m;
        EXPECT_DOUBLE_EQ(jp2.Quality(), c.q) << c.m;
    }
    // The window's stored description applies Quality 11, then
    // MaxBitPerPixel 0.125, then FormatName, through the properties.
    ASSERT_TRUE(jp2.setProperty("Quality", 11.0));
    ASSERT_TRUE(jp2.setProperty("MaxBitPerPixel", 0.125));
    ASSERT_TRUE(jp2.setProperty("FormatName", QStringLiteral("JPEG2000")));
    EXPECT_DOUBLE_EQ(jp2.Quality(), 11);
    EXPECT_DOUBLE_EQ(jp2.MaxBitPerPixel(), 0.125);
}

TEST(ImageIO, ProgressReportsAndCancel)
{
    TJPEG2000_IO jp2;
    jp2.DoOnProgress(3);  // no handler, no stop: nothing happens
    jp2.DoProgressNoCancel(4);

    std::vector<int> seen;
    jp2.SetOnProgress([&](TImage_IO* sender, int32_t p) {
        EXPECT_EQ(sender, &jp2);
        seen.push_back(p);
    });
    jp2.DoOnProgress(7);
    jp2.CancelOperation();
    jp2.DoProgressNoCancel(8);  // never cancels
    try {
        jp2.DoOnProgress(9);
        FAIL() << "no abort";
    } catch (const EAbort& e) {
        EXPECT_EQ(e.Message(), "Operation Terminated Outside Decoder");
    }
    // The handler ran before the abort; the flag stays set.
    EXPECT_EQ(seen, (std::vector<int>{7, 8, 9}));
    EXPECT_THROW(jp2.DoOnProgress(10), EAbort);

    // With no handler the stop flag still raises.
    jp2.SetOnProgress(nullptr);
    EXPECT_THROW(jp2.DoOnProgress(11), EAbort);
}

TEST(ImageIO, FormatNameSetterAndAttachedBitmap)
{
    TJPEG2000_IO jp2;
    try {
        jp2.SetFormatName("x");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Property FormatName is read only");
    }
    QImage picture(5, 3, QImage::Format_BGR888);
    picture.fill(Qt::red);
    jp2.SetAttachedBitmap(&picture);
    picture.fill(Qt::blue);  // the component holds its own copy
    EXPECT_EQ(jp2.GetAttachedBitmap()->size(), QSize(5, 3));
    EXPECT_EQ(jp2.GetAttachedBitmap()->pixelColor(2, 1), QColor(Qt::red));
    jp2.SetAttachedBitmap(nullptr);
    EXPECT_EQ(jp2.GetAttachedBitmap()->size(), QSize(5, 3));
}

TEST(OptionString, RateTextAndLevels)
{
    struct Case { int w, h; double q; const char* text; int rlvls; };
    const Case cases[] = {
        {640, 480, 75, "0.156427951388889", 10},
        {100, 100, 100, "8.00546666666667", 8},
        {800, 600, 11, "0.0230305555555556", 11},
        {1, 1, 0, "54.6666666666667", 1},
        {2000, 2000, 0, "0.001", 12},
        {256, 256, 75, "0.157084147135417", 9},
        {257, 257, 75, "0.157077668347237", 10},
        {2, 2, 100, "21.6666666666667", 2},
    };
    for (const Case& c : cases) {
        TJPEG2000_IO jp2;
        jp2.SetQuality(c.q);
        EXPECT_EQ(J2000RateText(J2000Rate(jp2.MaxBitPerPixel(), 164, c.w, c.h)), c.text)
            << c.w << "x" << c.h << " q" << c.q;
        EXPECT_EQ(J2000MaxRlvls(c.w, c.h), c.rlvls) << c.w << "x" << c.h;
    }
    TJPEG2000_IO jp2;
    EXPECT_EQ(jp2.EncoderOptions(640, 480),
              "rate=0.156427951388889 maxrlvls=10 cblkwidth=64 cblkheight=64 mode=int prg=lrcp");
}

TEST(OptionString, LargePicturesAndFormatting)
{
    // 70000 x 70000 pixels overflow 32 bits: the rate must still be the
    // small positive number of the true pixel count.
    EXPECT_DOUBLE_EQ(J2000Rate(3, 164, 70000, 70000),
                     (3 + 164.0 / (70000.0 * 70000.0)) / 3);
    EXPECT_EQ(J2000MaxRlvls(70000, 70000), 18);
    EXPECT_EQ(J2000MaxRlvls(1 << 30, 1 << 30), 30);
    EXPECT_EQ(J2000RateText(62.5), "62.5");
    EXPECT_EQ(J2000RateText(8), "8");
    EXPECT_EQ(J2000RateText(0.1), "0.1");
    EXPECT_EQ(J2000RateText(9.9999999999999999), "10");
    EXPECT_EQ(J2000RateText(0.00123456789012345678), "0.00123456789012346");
}

TEST(OptionString, HighThroughputTakesTheIrreversiblePathOnlyWhenLossy)
{
    // A rate that leaves room for the whole picture (quality 100), no rate at
    // all, or a later explicit mode keep the reversible path: those streams
    // must decode exactly.
    TJPEG2000_IO jp2;
    jp2.SetHighThroughput(true);
    jp2.SetQuality(75);
    EXPECT_EQ(jp2.EncoderOptions(640, 480),
              "rate=0.156427951388889 maxrlvls=10 cblkwidth=64 cblkheight=64 mode=real prg=lrcp ht");
    jp2.SetQuality(100);
    EXPECT_EQ(jp2.EncoderOptions(100, 100),
              "rate=8.00546666666667 maxrlvls=8 cblkwidth=64 cblkheight=64 mode=int prg=lrcp ht");
    EXPECT_EQ(J2000HighThroughputOptions(""), "ht");
    EXPECT_EQ(J2000HighThroughputOptions("mode=int maxrlvls=3"), "mode=int maxrlvls=3 ht");
    EXPECT_EQ(J2000HighThroughputOptions("rate=0.05"), "rate=0.05 mode=real ht");
    EXPECT_EQ(J2000HighThroughputOptions("rate=0.05 mode=real mode=int"),
              "rate=0.05 mode=real mode=real ht");
    EXPECT_EQ(J2000HighThroughputOptions("lyrrates=0.5 mode=int"), "lyrrates=0.5 mode=int ht");
}

TEST(OptionString, DecimalCommaLocale)
{
    // Whatever separator the process uses for text shown to people, the
    // option string keeps ".", and the process keeps its separator.
    const QLocale before = QLocale();
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const char* c_locale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    if (!c_locale)
        c_locale = std::setlocale(LC_NUMERIC, "de_DE");
    if (!c_locale)
        std::fprintf(stderr, "note: no German C locale installed; Qt's default locale only\n");
    TJPEG2000_IO jp2;
    EXPECT_EQ(jp2.EncoderOptions(640, 480),
              "rate=0.156427951388889 maxrlvls=10 cblkwidth=64 cblkheight=64 mode=int prg=lrcp");
    EXPECT_EQ(QLocale().decimalPoint(), ",");
    if (c_locale) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%.1f", 1.5);
        EXPECT_STREQ(buf, "1,5");
    }
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(before);
}

} // namespace
