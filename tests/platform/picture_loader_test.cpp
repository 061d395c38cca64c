// The window's picture loader: the test photos, bitmap flavours written by
// Qt and by hand (palettes, RLE, 16 and 32 bits, top-down), JPEG variants
// written with libjpeg (grey, progressive, CMYK, YCCK, EXIF orientations),
// and damaged or unsupported files.
#include "Exceptions.h"
#include "PictureLoader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include <jpeglib.h>

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

using Bytes = std::vector<uint8_t>;

void write_bytes(const QString& path, const Bytes& data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()));
}


QString message_of(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return QString();
}

// Pixel (x, y) of a BGR888 bitmap as 0xRRGGBB.
uint32_t rgb_at(const QImage& img, int x, int y)
{
    const uchar* p = img.constScanLine(y) + 3 * x;
    return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

bool near_rgb(uint32_t a, uint32_t b, int tol)
{
    for (int s = 0; s < 24; s += 8)
        if (std::abs(int((a >> s) & 255) - int((b >> s) & 255)) > tol)
            return false;
    return true;
}

// ---- hand-made Windows bitmaps ----------------------------------------------

void put16(Bytes& b, uint32_t v)
{
    b.push_back(v & 255);
    b.push_back((v >> 8) & 255);
}
void put32(Bytes& b, uint32_t v)
{
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

// A bitmap file: info header of 40 bytes, then masks (for BI_BITFIELDS),
// the palette (0xRRGGBB entries) and the pixel data as given.
Bytes make_bmp(int w, int h, int bpp, uint32_t compression, const std::vector<uint32_t>& palette,
               const Bytes& pixels, const std::vector<uint32_t>& masks = {})
{
    const uint32_t offset = 14 + 40 + 4 * uint32_t(masks.size()) + 4 * uint32_t(palette.size());
    Bytes b{'B', 'M'};
    put32(b, offset + uint32_t(pixels.size()));
    put32(b, 0);
    put32(b, offset);
    put32(b, 40);
    put32(b, static_cast<uint32_t>(w));
    put32(b, static_cast<uint32_t>(h));  // negative: top-down
    put16(b, 1);
    put16(b, static_cast<uint32_t>(bpp));
    put32(b, compression);
    put32(b, static_cast<uint32_t>(pixels.size()));
    put32(b, 2835);
    put32(b, 2835);
    put32(b, static_cast<uint32_t>(palette.size()));
    put32(b, 0);
    for (uint32_t m : masks)
        put32(b, m);
    for (uint32_t c : palette)
        put32(b, c);  // blue, green, red, 0 in the file
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

constexpr uint32_t RED = 0xff0000, GREEN = 0x00ff00, BLUE = 0x0000ff, WHITE = 0xffffff,
                   BLACK = 0, YELLOW = 0xffff00;

class PictureLoaderTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) { return dir.filePath(name); }
    QImage load_bytes(const QString& name, const Bytes& data)
    {
        write_bytes(path(name), data);
        return LoadPicture(path(name));
    }
};

TEST_F(PictureLoaderTest, EveryPhoto)
{
    const QString folder = JP2_TESTDATA "/photos";
    const QStringList photos = QDir(folder).entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(photos.isEmpty());
    for (const QString& name : photos) {
        const QImage img = LoadPicture(folder + "/" + name);
        EXPECT_FALSE(img.isNull()) << name.toStdString();
        EXPECT_EQ(img.format(), QImage::Format_BGR888) << name.toStdString();
        EXPECT_GE(img.width(), 64);
        EXPECT_GE(img.height(), 64);
    }
}

TEST_F(PictureLoaderTest, PaletteAndRleBitmaps)
{
    // 1 bit, 5 x 3, rows bottom-up padded to 4 bytes: bottom row 10101,
    // middle 01010, top 11111.
    QImage img = load_bytes("one.bmp", make_bmp(5, 3, 1, 0, {RED, BLUE},
                                                {0xa8, 0, 0, 0, 0x50, 0, 0, 0, 0xf8, 0, 0, 0}));
    ASSERT_EQ(img.size(), QSize(5, 3));
    EXPECT_EQ(rgb_at(img, 0, 2), BLUE);
    EXPECT_EQ(rgb_at(img, 1, 2), RED);
    EXPECT_EQ(rgb_at(img, 0, 1), RED);
    EXPECT_EQ(rgb_at(img, 1, 1), BLUE);
    EXPECT_EQ(rgb_at(img, 4, 0), BLUE);

    // 4 bits, 3 x 2: bottom row 0 1 2, top row 3 2 1.
    const std::vector<uint32_t> pal4{RED, GREEN, BLUE, WHITE};
    img = load_bytes("four.bmp", make_bmp(3, 2, 4, 0, pal4, {0x01, 0x20, 0, 0, 0x32, 0x10, 0, 0}));
    ASSERT_EQ(img.size(), QSize(3, 2));
    EXPECT_EQ(rgb_at(img, 0, 1), RED);
    EXPECT_EQ(rgb_at(img, 2, 1), BLUE);
    EXPECT_EQ(rgb_at(img, 0, 0), WHITE);
    EXPECT_EQ(rgb_at(img, 2, 0), GREEN);

    // 8 bits with a full palette, 2 x 2.
    std::vector<uint32_t> pal8(256);
    for (int i = 0; i < 256; ++i)
        pal8[i] = uint32_t(i) << 16 | uint32_t(255 - i);
    img = load_bytes("eight.bmp", make_bmp(2, 2, 8, 0, pal8, {7, 200, 0, 0, 255, 0, 0, 0}));
    EXPECT_EQ(rgb_at(img, 0, 1), pal8[7]);
    EXPECT_EQ(rgb_at(img, 1, 1), pal8[200]);
    EXPECT_EQ(rgb_at(img, 0, 0), pal8[255]);

    // RLE8, 4 x 2: bottom row a run of 4 x index 1, top row absolute 2 0 1 2
    // (absolute runs are padded to 16 bits), then end of bitmap.
    img = load_bytes("rle8.bmp",
                     make_bmp(4, 2, 8, 1, pal4, {4, 1, 0, 0, 0, 4, 2, 0, 1, 2, 0, 0, 0, 1}));
    ASSERT_EQ(img.size(), QSize(4, 2));
    EXPECT_EQ(rgb_at(img, 3, 1), GREEN);
    EXPECT_EQ(rgb_at(img, 0, 0), BLUE);
    EXPECT_EQ(rgb_at(img, 1, 0), RED);
    EXPECT_EQ(rgb_at(img, 3, 0), BLUE);

    // RLE4, 4 x 1: a run of 4 alternating 3 and 0.
    img = load_bytes("rle4.bmp", make_bmp(4, 1, 4, 2, pal4, {4, 0x30, 0, 0, 0, 1}));
    ASSERT_EQ(img.size(), QSize(4, 1));
    EXPECT_EQ(rgb_at(img, 0, 0), WHITE);
    EXPECT_EQ(rgb_at(img, 1, 0), RED);
    EXPECT_EQ(rgb_at(img, 2, 0), WHITE);
}

TEST_F(PictureLoaderTest, DirectColourBitmaps)
{
    // 16 bits 5-5-5: red, green / blue, white (bottom-up).
    Bytes px;
    for (uint32_t v : {0x001fu, 0x7fffu, 0x7c00u, 0x03e0u})
        put16(px, v);
    QImage img = load_bytes("rgb555.bmp", make_bmp(2, 2, 16, 0, {}, px));
    EXPECT_EQ(rgb_at(img, 0, 0), RED);
    EXPECT_EQ(rgb_at(img, 1, 0), GREEN);
    EXPECT_EQ(rgb_at(img, 0, 1), BLUE);
    EXPECT_EQ(rgb_at(img, 1, 1), WHITE);

    // 16 bits 5-6-5 through bit fields, one row.
    px.clear();
    for (uint32_t v : {0xf800u, 0x07e0u, 0x001fu})
        put16(px, v);
    px.push_back(0);
    px.push_back(0);
    img = load_bytes("rgb565.bmp", make_bmp(3, 1, 16, 3, {}, px, {0xf800, 0x07e0, 0x001f}));
    EXPECT_EQ(rgb_at(img, 0, 0), RED);
    EXPECT_EQ(rgb_at(img, 1, 0), GREEN);
    EXPECT_EQ(rgb_at(img, 2, 0), BLUE);

    // 24 bits top-down (negative height), odd width for the row padding.
    px = {0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0,   // top: red green blue
          255, 255, 255, 0, 0, 0, 0, 255, 255, 0, 0, 0};  // white black yellow
    img = load_bytes("topdown.bmp", make_bmp(3, -2, 24, 0, {}, px));
    ASSERT_EQ(img.size(), QSize(3, 2));
    EXPECT_EQ(rgb_at(img, 0, 0), RED);
    EXPECT_EQ(rgb_at(img, 2, 0), BLUE);
    EXPECT_EQ(rgb_at(img, 1, 1), BLACK);
    EXPECT_EQ(rgb_at(img, 2, 1), YELLOW);

    // 32 bits with the fourth byte 0, as Windows writes them: not transparent.
    px = {0, 0, 255, 0, 255, 0, 0, 0};
    img = load_bytes("x32.bmp", make_bmp(2, 1, 32, 0, {}, px));
    EXPECT_EQ(rgb_at(img, 0, 0), RED);
    EXPECT_EQ(rgb_at(img, 1, 0), BLUE);

    // The formats Qt's own writer produces.
    QImage colours(3, 2, QImage::Format_RGB32);
    colours.setPixel(0, 0, 0xffff0000);
    colours.setPixel(1, 0, 0xff00ff00);
    colours.setPixel(2, 0, 0xff0000ff);
    colours.setPixel(0, 1, 0xffffffff);
    colours.setPixel(1, 1, 0xff000000);
    colours.setPixel(2, 1, 0xffffff00);
    for (QImage::Format f : {QImage::Format_RGB888, QImage::Format_RGB32, QImage::Format_Indexed8,
                             QImage::Format_ARGB32}) {
        QImage source = colours.convertToFormat(f);
        const QString name = path(QString("qt%1.BMP").arg(int(f)));
        ASSERT_TRUE(source.save(name, "BMP"));
        img = LoadPicture(name);
        ASSERT_EQ(img.size(), QSize(3, 2));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(rgb_at(img, x, y), colours.pixel(x, y) & 0xffffff) << int(f);
    }
    QImage mono(9, 2, QImage::Format_Mono);
    mono.fill(0);
    mono.setPixel(3, 1, 1);
    ASSERT_TRUE(mono.save(path("mono.bmp"), "BMP"));
    img = LoadPicture(path("mono.bmp"));
    EXPECT_EQ(rgb_at(img, 3, 1), mono.color(1) & 0xffffff);
    EXPECT_EQ(rgb_at(img, 2, 1), mono.color(0) & 0xffffff);
}

// ---- JPEG files written with libjpeg ----------------------------------------

struct JpegSpec {
    int w = 16, h = 16;
    J_COLOR_SPACE in = JCS_RGB;   // colour space of the samples given
    J_COLOR_SPACE file = JCS_YCbCr;  // colour space stored in the file
    bool progressive = false;
    int orientation = 0;  // 0: no EXIF segment
};

// Quadrants of a 16 x 16 picture: top-left red, top-right green,
// bottom-left blue, bottom-right white.
uint32_t quadrant(int x, int y, int w, int h)
{
    const bool right = x >= w / 2, bottom = y >= h / 2;
    return bottom ? (right ? WHITE : BLUE) : (right ? GREEN : RED);
}

Bytes exif_orientation_segment(int o, bool little)
{
    Bytes b{'E', 'x', 'i', 'f', 0, 0};
    auto p16 = [&](uint32_t v) {
        if (little) { b.push_back(v & 255); b.push_back(v >> 8); }
        else { b.push_back(v >> 8); b.push_back(v & 255); }
    };
    auto p32 = [&](uint32_t v) {
        if (little) { p16(v & 0xffff); p16(v >> 16); }
        else { p16(v >> 16); p16(v & 0xffff); }
    };
    b.push_back(little ? 'I' : 'M');
    b.push_back(little ? 'I' : 'M');
    p16(42);
    p32(8);       // IFD0 right after the header
    p16(2);       // two entries: a resolution unit, then the orientation
    p16(0x0128); p16(3); p32(1); p16(2); p16(0);
    p16(0x0112); p16(3); p32(1); p16(static_cast<uint32_t>(o)); p16(0);
    p32(0);
    return b;
}

Bytes write_jpeg(const JpegSpec& s)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outsize = 0;
    jpeg_mem_dest(&cinfo, &out, &outsize);
    cinfo.image_width = static_cast<JDIMENSION>(s.w);
    cinfo.image_height = static_cast<JDIMENSION>(s.h);
    const int nc = s.in == JCS_GRAYSCALE ? 1 : s.in == JCS_CMYK ? 4 : 3;
    cinfo.input_components = nc;
    cinfo.in_color_space = s.in;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, s.file);
    jpeg_set_quality(&cinfo, 100, TRUE);
    for (int c = 0; c < cinfo.num_components; ++c)
        cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    if (s.progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    if (s.orientation) {
        Bytes seg = exif_orientation_segment(s.orientation, s.orientation % 2 == 0);
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, seg.data(), static_cast<unsigned>(seg.size()));
    }
    std::vector<JSAMPLE> row(size_t(s.w) * nc);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < s.w; ++x) {
            const uint32_t c = quadrant(x, y, s.w, s.h);
            const int r = (c >> 16) & 255, g = (c >> 8) & 255, b = c & 255;
            JSAMPLE* p = row.data() + size_t(x) * nc;
            if (nc == 1) {
                p[0] = static_cast<JSAMPLE>((r + g + b) / 3);
            } else if (nc == 3) {
                p[0] = static_cast<JSAMPLE>(r); p[1] = static_cast<JSAMPLE>(g); p[2] = static_cast<JSAMPLE>(b);
            } else {
                // Inverted inks, as Adobe writes them (libjpeg adds Adobe's marker).
                p[0] = static_cast<JSAMPLE>(r); p[1] = static_cast<JSAMPLE>(g);
                p[2] = static_cast<JSAMPLE>(b); p[3] = 255;
            }
        }
        JSAMPROW rp = row.data();
        jpeg_write_scanlines(&cinfo, &rp, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes data(out, out + outsize);
    std::free(out);
    return data;
}

// Colours at the centres of the four quadrants: TL, TR, BL, BR.
std::vector<uint32_t> quadrants_of(const QImage& img)
{
    const int w = img.width(), h = img.height();
    return {rgb_at(img, w / 4, h / 4), rgb_at(img, 3 * w / 4, h / 4), rgb_at(img, w / 4, 3 * h / 4),
            rgb_at(img, 3 * w / 4, 3 * h / 4)};
}

void expect_quadrants(const QImage& img, const std::vector<uint32_t>& want, const char* what)
{
    const std::vector<uint32_t> got = quadrants_of(img);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(near_rgb(got[i], want[i], 8))
            << what << " quadrant " << i << ": " << std::hex << got[i] << " want " << want[i];
}

TEST_F(PictureLoaderTest, JpegVariants)
{
    const std::vector<uint32_t> upright{RED, GREEN, BLUE, WHITE};
    JpegSpec s;
    expect_quadrants(load_bytes("rgb.jpg", write_jpeg(s)), upright, "baseline YCbCr");
    s.file = JCS_RGB;
    expect_quadrants(load_bytes("rgb.JPEG", write_jpeg(s)), upright, "RGB");
    s = JpegSpec();
    s.progressive = true;
    s.w = 40;
    s.h = 24;
    QImage img = load_bytes("prog.jpg", write_jpeg(s));
    EXPECT_EQ(img.size(), QSize(40, 24));
    expect_quadrants(img, upright, "progressive");

    s = JpegSpec();
    s.in = JCS_GRAYSCALE;
    s.file = JCS_GRAYSCALE;
    img = load_bytes("grey.jpg", write_jpeg(s));
    EXPECT_EQ(img.format(), QImage::Format_BGR888);
    expect_quadrants(img, {0x555555, 0x555555, 0x555555, WHITE}, "grey");

    s = JpegSpec();
    s.in = JCS_CMYK;
    s.file = JCS_CMYK;
    expect_quadrants(load_bytes("cmyk.jpg", write_jpeg(s)), upright, "CMYK");
    s.file = JCS_YCCK;
    expect_quadrants(load_bytes("ycck.jpg", write_jpeg(s)), upright, "YCCK");
}

TEST_F(PictureLoaderTest, JpegExifOrientation)
{
    // The picture as stored is R G / B W; each orientation says how to turn
    // it upright.
    const std::vector<std::vector<uint32_t>> want = {
        {},
        {RED, GREEN, BLUE, WHITE},  // 1 as stored
        {GREEN, RED, WHITE, BLUE},  // 2 mirrored left-right
        {WHITE, BLUE, GREEN, RED},  // 3 half turn
        {BLUE, WHITE, RED, GREEN},  // 4 mirrored top-bottom
        {RED, BLUE, GREEN, WHITE},  // 5 transposed
        {BLUE, RED, WHITE, GREEN},  // 6 quarter turn clockwise
        {WHITE, GREEN, BLUE, RED},  // 7 transversed
        {GREEN, WHITE, RED, BLUE},  // 8 quarter turn anticlockwise
    };
    for (int o = 1; o <= 8; ++o) {
        JpegSpec s;
        s.w = 32;
        s.h = 16;
        s.orientation = o;
        const QImage img = load_bytes(QString("o%1.jpg").arg(o), write_jpeg(s));
        EXPECT_EQ(img.size(), o >= 5 ? QSize(16, 32) : QSize(32, 16)) << o;
        expect_quadrants(img, want[o], ("orientation " + std::to_string(o)).c_str());
    }
}

TEST_F(PictureLoaderTest, RefusesDamagedAndUnsupportedFiles)
{
    JpegSpec s;
    s.w = 64;
    s.h = 64;
    const Bytes jpeg = write_jpeg(s);
    const Bytes bmp = make_bmp(2, 2, 24, 0, {}, Bytes(16, 0x40));

    struct Bad { const char* name; Bytes data; const char* prefix; };
    const std::vector<Bad> bad = {
        {"empty.jpg", {}, "JPEG error: "},
        {"text.jpg", Bytes{'h', 'e', 'l', 'l', 'o'}, "JPEG error: "},
        {"bitmap.jpg", bmp, "JPEG error: "},
        {"half.jpg", Bytes(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2)), "JPEG error: "},
        {"header.jpg", Bytes(jpeg.begin(), jpeg.begin() + 20), "JPEG error: "},
        {"empty.bmp", {}, "Bitmap image is not valid"},
        {"head.bmp", Bytes(bmp.begin(), bmp.begin() + 30), "Bitmap image is not valid"},
        {"jpeg.bmp", jpeg, "Bitmap image is not valid"},
        {"huge.bmp", make_bmp(1000000, 1000000, 24, 0, {}, Bytes(16, 0)), "Bitmap image is not valid"},
        {"picture.jpe", jpeg, "Unknown picture file extension (.jpe)"},
        {"picture.png", jpeg, "PNG image is not valid"},
        {"picture.tif", bmp, "TIFF image is not valid"},
        {"picture.gif", jpeg, "Unknown picture file extension (.gif)"},
        {"picture", jpeg, "Unknown picture file extension (.)"},
    };
    for (const Bad& b : bad) {
        write_bytes(path(b.name), b.data);
        const QString msg = message_of([&] { LoadPicture(path(b.name)); });
        EXPECT_TRUE(msg.startsWith(b.prefix)) << b.name << ": " << msg.toStdString();
    }
    // Damaged in the middle of the entropy-coded data: the loader may decode
    // it (libjpeg resynchronises) or refuse it, but must not fail otherwise.
    Bytes flipped = jpeg;
    for (size_t i = flipped.size() / 2; i < flipped.size() - 2; i += 7)
        flipped[i] ^= 0x5a;
    write_bytes(path("flipped.jpg"), flipped);
    try {
        LoadPicture(path("flipped.jpg"));
    } catch (const Exception&) {
    }

    const QString missing = path("missing.jpg");
    EXPECT_TRUE(message_of([&] { LoadPicture(missing); }).startsWith("Cannot open file \"" + missing + "\""));
    EXPECT_TRUE(PictureExtensionSupported("a.JpG"));
    EXPECT_FALSE(PictureExtensionSupported("a.jpe"));
}

} // namespace
