// PSNR, SSIM and the difference heat map against values worked out by hand.
#include "PictureCompare.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

QImage filled(int w, int h, int b, int g, int r)
{
    QImage image(w, h, QImage::Format_BGR888);
    for (int y = 0; y < h; ++y) {
        uchar* p = image.scanLine(y);
        for (int x = 0; x < w; ++x)
            p[3 * x] = uchar(b), p[3 * x + 1] = uchar(g), p[3 * x + 2] = uchar(r);
    }
    return image;
}

TEST(PictureCompare, FiguresMatchHandComputedValues)
{
    PictureDifference d;
    // Equal pictures, also smaller than one SSIM window.
    for (int size : {3, 40}) {
        const QImage a = filled(size, size + 5, 10, 120, 250);
        ASSERT_TRUE(ComparePictures(a, a, &d));
        EXPECT_TRUE(std::isinf(d.psnr));
        EXPECT_EQ(d.peak, 0);
        EXPECT_DOUBLE_EQ(d.ssim, 1.0);
    }
    // Every sample 10 apart: MSE 100; flat luma 100 against 110, so SSIM is
    // the luminance term (2*100*110 + C1) / (100^2 + 110^2 + C1).
    const QImage a = filled(33, 20, 100, 100, 100);
    const QImage b = filled(33, 20, 110, 110, 110);
    ASSERT_TRUE(ComparePictures(a, b, &d));
    EXPECT_NEAR(d.psnr, 10 * std::log10(255.0 * 255.0 / 100), 1e-9);
    EXPECT_NEAR(d.psnrRed, d.psnr, 1e-9);
    EXPECT_EQ(d.peak, 10);
    const double c1 = 2.55 * 2.55;
    EXPECT_NEAR(d.ssim, (22000 + c1) / (22100 + c1), 1e-9);
    // Only the red channel differs: the blue and green figures stay infinite.
    ASSERT_TRUE(ComparePictures(a, filled(33, 20, 100, 100, 104), &d));
    EXPECT_TRUE(std::isinf(d.psnrBlue) && std::isinf(d.psnrGreen));
    EXPECT_NEAR(d.psnrRed, 10 * std::log10(255.0 * 255.0 / 16), 1e-9);
    // A structural change (a checkerboard against flat grey of the same
    // mean) keeps the mean but drops SSIM far below 1.
    QImage chess = filled(16, 16, 0, 0, 0);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            if ((x + y) % 2)
                std::fill_n(chess.scanLine(y) + 3 * x, 3, uchar(200));
    ASSERT_TRUE(ComparePictures(chess, filled(16, 16, 100, 100, 100), &d));
    EXPECT_LT(d.ssim, 0.01);
    EXPECT_FALSE(ComparePictures(a, filled(32, 20, 0, 0, 0), &d));
}

TEST(PictureCompare, HeatMapShowsTheLargestChannelErrorAmplified)
{
    const QImage a = filled(2, 1, 50, 50, 50);
    QImage b = a.copy();
    b.scanLine(0)[3 + 1] = 53;  // second pixel: green off by 3
    const QImage map = DifferenceHeatMap(a, b, 8);
    ASSERT_EQ(map.size(), a.size());
    EXPECT_EQ(map.pixel(0, 0), HeatColour(0));
    EXPECT_EQ(map.pixel(1, 0), HeatColour(24));
    EXPECT_EQ(HeatColour(0), qRgb(0, 0, 0));
    EXPECT_EQ(HeatColour(255), qRgb(255, 255, 252));
    EXPECT_EQ(DifferenceHeatMap(a, b, 200).pixel(1, 0), HeatColour(255));
}

} // namespace
