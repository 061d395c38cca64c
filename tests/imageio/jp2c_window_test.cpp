// jp2c's photo path run as a program: encode at the window's quality,
// decode to a bitmap, compare; and the arguments it refuses.
#include "testutil.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

int jp2c(const std::string& args, std::string* out)
{
    return testutil::run_command(testutil::shell_quote(JP2C_PATH) + " " + args, out);
}

std::string q(const QString& s)
{
    return testutil::shell_quote(s.toStdString());
}

// The number after "label" in text, or -1.
double number_after(const std::string& text, const std::string& label)
{
    const size_t at = text.find(label);
    if (at == std::string::npos)
        return -1;
    return std::atof(text.c_str() + at + label.size());
}

TEST(Jp2cWindow, EncodeDecodeCompare)
{
    QTemporaryDir dir;
    QImage picture(50, 40, QImage::Format_RGB888);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 50; ++x)
            picture.setPixel(x, y, qRgb(x * 5, y * 6, (x * y) & 255));
    const QString bmp = dir.filePath("in.bmp");
    ASSERT_TRUE(picture.save(bmp, "BMP"));
    const QString j2k = dir.filePath("out.j2k");
    std::string out;
    ASSERT_EQ(jp2c("encode " + q(bmp) + " " + q(j2k), &out), 0) << out;
    // Quality 20 is the default: 0.125 bits per pixel plus the allowance.
    EXPECT_NE(out.find("Options: rate=0.069 "), std::string::npos) << out;
    const double bytes = number_after(out, "Bytes written: ");
    EXPECT_EQ(bytes, QFileInfo(j2k).size()) << out;
    // The ratio truncates 50 * 40 * 3 / bytes; the size has one decimal.
    EXPECT_NE(out.find("Ratio: 1/" + std::to_string(6000 / static_cast<long>(bytes)) + "\n"),
              std::string::npos) << out;
    char size[32];
    std::snprintf(size, sizeof size, "Size: %2.1f Kb\n", bytes / 1024);
    EXPECT_NE(out.find(size), std::string::npos) << out;

    const QString back = dir.filePath("back.bmp");
    ASSERT_EQ(jp2c("decode " + q(j2k) + " " + q(back), &out), 0) << out;
    QFile f(back);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray head = f.read(30);
    ASSERT_EQ(head.size(), 30);
    EXPECT_EQ(head.left(2), "BM");
    EXPECT_EQ(static_cast<uint8_t>(head[28]), 24);  // 24 bits per pixel

    ASSERT_EQ(jp2c("compare " + q(bmp) + " " + q(back), &out), 0) << out;
    EXPECT_NE(out.find("Size A: 50 x 40"), std::string::npos) << out;
    EXPECT_NE(out.find("PSNR red: "), std::string::npos) << out;
    const double psnr = number_after(out, "PSNR: ");
    EXPECT_GT(psnr, 15) << out;
    EXPECT_GT(number_after(out, "Peak error: "), 0) << out;
    // The code stream itself compares like its decoded bitmap.
    std::string direct;
    ASSERT_EQ(jp2c("compare " + q(bmp) + " " + q(j2k), &direct), 0) << direct;
    EXPECT_EQ(direct.substr(direct.find("PSNR")), out.substr(out.find("PSNR")));
    ASSERT_EQ(jp2c("compare " + q(back) + " " + q(back), &out), 0) << out;
    EXPECT_NE(out.find("PSNR: inf dB"), std::string::npos) << out;
    EXPECT_NE(out.find("Peak error: 0"), std::string::npos) << out;

    // Higher quality, more bytes.
    ASSERT_EQ(jp2c("encode " + q(bmp) + " " + q(j2k) + " --quality 75", &out), 0) << out;
    EXPECT_GT(number_after(out, "Bytes written: "), bytes) << out;
}

TEST(Jp2cWindow, RefusedArguments)
{
    QTemporaryDir dir;
    std::string out;
    const QString bmp = dir.filePath("in.bmp");
    QImage picture(4, 4, QImage::Format_RGB888);
    picture.fill(Qt::gray);
    ASSERT_TRUE(picture.save(bmp, "BMP"));
    EXPECT_EQ(jp2c("encode " + q(bmp) + " x.j2k --quality 20 --options rate=0.1", &out), 1);
    EXPECT_NE(out.find("--options rate and --quality exclude each other"), std::string::npos)
        << out;
    EXPECT_EQ(jp2c("encode " + q(bmp) + " x.j2k --quality abc", &out), 1);
    EXPECT_EQ(jp2c("encode " + q(dir.filePath("in.jpe")) + " x.j2k --quality 20", &out), 1);
    EXPECT_NE(out.find("cannot open"), std::string::npos) << out;
    EXPECT_EQ(jp2c("decode " + q(bmp) + " " + q(dir.filePath("out.bmp")), &out), 1);
    EXPECT_NE(out.find("is a Windows bitmap, not a JPEG 2000 code stream"), std::string::npos)
        << out;
    EXPECT_EQ(jp2c("compare " + q(bmp), &out), 1);
}

} // namespace
