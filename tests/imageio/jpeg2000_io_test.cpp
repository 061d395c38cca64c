// The JPEG 2000 component's save and load paths: messages, progress,
// cancel, stream positions, the atomic file save, round trips against an
// independent decoder.
#include "Exceptions.h"
#include "Jpeg2000_io.h"
#include "PictureLoader.h"

#include "base/image.h"
#include "encoder/jpenc.h"
#include "base/stream.h"
#include "testutil.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Readable QStrings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

QImage test_picture(int w, int h)
{
    QImage picture(w, h, QImage::Format_BGR888);
    for (int y = 0; y < h; ++y) {
        uchar* line = picture.scanLine(y);
        for (int x = 0; x < w; ++x) {
            line[3 * x + 0] = static_cast<uchar>(x * 7 + y);
            line[3 * x + 1] = static_cast<uchar>(x * y);
            line[3 * x + 2] = static_cast<uchar>(255 - x - 3 * y);
        }
    }
    return picture;
}

bool same_pixels(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return false;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y), size_t(a.width()) * 3) != 0)
            return false;
    return true;
}

// The message of the Exception that f raises ("" when none).
QString message_of(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return QString();
}

// A code stream made by the codec directly from an image of n components
// of the given precision; fill gives sample (c, x, y).
QByteArray encode_image(const std::vector<image_cmptparm_t>& parms,
                        const std::function<int(int, int, int)>& fill, const char* options = "")
{
    const int n = static_cast<int>(parms.size());
    image_t* image = image_create(n, parms.data(), n == 3 ? IMAGE_CM_RGB : IMAGE_CM_GRAY);
    EXPECT_NE(image, nullptr);
    for (int c = 0; c < n; ++c) {
        const int w = parms[c].width, h = parms[c].height, cps = (parms[c].prec + 7) / 8;
        stream_t* s = image_cmpt_stream(image, c);
        stream_rewind(s);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int v = fill(c, x, y);
                for (int b = cps - 1; b >= 0; --b)
                    stream_putc(s, (v >> (8 * b)) & 0xff);
            }
    }
    stream_t* out = stream_memopen(nullptr, 0);
    EXPECT_EQ(jpenc_encode(image, out, options, nullptr), 0);
    image_destroy(image);
    QByteArray bytes(reinterpret_cast<const char*>(stream_memdata(out)),
                     static_cast<int>(stream_memlength(out)));
    stream_close(out);
    return bytes;
}

QByteArray encode_image(int n, int w, int h, int prec, const std::function<int(int, int, int)>& fill,
                        int sgnd = 0)
{
    return encode_image(std::vector<image_cmptparm_t>(n, image_cmptparm_t{w, h, prec, sgnd}), fill);
}

QStringList folder_entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

TEST(Jpeg2000Save, FailureMessages)
{
    TJPEG2000_IO jp2;
    std::vector<int> seen;
    jp2.SetOnProgress([&](TImage_IO*, int32_t p) { seen.push_back(p); });
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadWrite);
    QImage empty;
    QImage picture = test_picture(4, 4);
    EXPECT_EQ(message_of([&] { jp2.SaveToStreamFrom(nullptr, &buffer); }), "Bitmap is not existing");
    EXPECT_EQ(message_of([&] { jp2.SaveToStreamFrom(&empty, &buffer); }),
              "Bitmap Width = 0, I can't compress it");
    EXPECT_EQ(message_of([&] { jp2.SaveToStreamFrom(&picture, nullptr); }), "Invalid Output Stream");
    EXPECT_TRUE(message_of([&] { jp2.SaveToFile("/nonexistent-folder/x.jp2"); })
                    .startsWith("Cannot create file \"/nonexistent-folder/x.jp2\""));
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(data.isEmpty());

    // A host stream that refuses the code stream: the encoder fails.
    QBuffer readOnly(&data);
    readOnly.open(QIODevice::ReadOnly);
    EXPECT_EQ(message_of([&] { jp2.SaveToStreamFrom(&picture, &readOnly); }),
              "Internal Error , Can,t Export Image,\n Developers from Velmora ");
}

TEST(Jpeg2000Load, FailureMessages)
{
    TJPEG2000_IO jp2;
    QImage bitmap;
    QByteArray data("\xff\x4f");
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    EXPECT_EQ(message_of([&] { jp2.LoadFromStreamInTo(nullptr, &buffer); }), "Bitmap is not existing");
    EXPECT_EQ(message_of([&] { jp2.LoadFromStreamInTo(&bitmap, nullptr); }), "Invalid Input Stream");

    const QString notJ2k =
        "Stream format is not a jpeg2000 code stream (part1)\n compartible format by KORVAN (C)";
    for (const char* head : {"", "\xff", "\xff\x4e", "BM\x00\x00", "\x4f\xff"}) {
        QByteArray bytes(head);
        QBuffer b(&bytes);
        b.open(QIODevice::ReadOnly);
        EXPECT_EQ(message_of([&] { jp2.LoadFromStreamInTo(&bitmap, &b); }), notJ2k) << head;
    }
    // A marker and nothing decodable after it.
    QByteArray broken("\xff\x4f\xff\x51\x00\x02garbage", 13);
    QBuffer b2(&broken);
    b2.open(QIODevice::ReadOnly);
    EXPECT_EQ(message_of([&] { jp2.LoadFromStreamInTo(&bitmap, &b2); }),
              "Error Of Stream decoding , internal of Velmora");

    QByteArray grey = encode_image(1, 9, 7, 8, [](int, int x, int y) { return x * y; });
    QBuffer b3(&grey);
    b3.open(QIODevice::ReadOnly);
    // A grey code stream loads as a grey picture.
    EXPECT_EQ(message_of([&] { jp2.LoadFromStreamInTo(&bitmap, &b3); }), "");
    ASSERT_EQ(bitmap.size(), QSize(9, 7));
    EXPECT_EQ(bitmap.pixel(8, 6), qRgb(48, 48, 48));
    bitmap = QImage();

    QTemporaryDir dir;
    const QString missing = dir.filePath("missing.jp2");
    EXPECT_EQ(message_of([&] { jp2.LoadFromFile(missing); }), "File Dos not exist : " + missing);
    EXPECT_TRUE(bitmap.isNull());
}

TEST(Jpeg2000IO, ProgressSequencesOfOneSaveAndOneLoad)
{
    TJPEG2000_IO jp2;
    jp2.SetQuality(100);  // a budget above the raw size: lossless
    std::vector<int> seen;
    jp2.SetOnProgress([&](TImage_IO* sender, int32_t p) {
        EXPECT_EQ(sender, &jp2);
        seen.push_back(p);
    });
    QImage picture = test_picture(6, 5);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadWrite);
    ASSERT_GT(jp2.SaveToStreamFrom(&picture, &buffer), 0);

    // The copy climbs by component (every 64 rows), then the encoder's 10.
    const std::vector<int> head{0, 0, 3, 6, 10};
    ASSERT_GT(seen.size(), head.size() + 2);
    EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + static_cast<long>(head.size())), head);
    EXPECT_EQ(std::vector<int>(seen.end() - 2, seen.end()), (std::vector<int>{95, 100}));
    const size_t encoderReports = seen.size() - head.size() - 2;
    EXPECT_GT(encoderReports, 0u);

    seen.clear();
    buffer.seek(0);
    QImage bitmap;
    ASSERT_GT(jp2.LoadFromStreamInTo(&bitmap, &buffer), 0);
    ASSERT_GT(seen.size(), 5u);
    EXPECT_EQ(seen.front(), 0);
    EXPECT_EQ(std::vector<int>(seen.end() - 4, seen.end()), (std::vector<int>{90, 93, 96, 100}));
    EXPECT_TRUE(same_pixels(bitmap, picture));  // lossless at this size
}

// Cancel pressed inside the handler at the k-th report.
struct Canceller {
    TJPEG2000_IO& jp2;
    size_t at;
    std::vector<int> seen;
    void operator()(TImage_IO*, int32_t p)
    {
        seen.push_back(p);
        if (seen.size() == at)
            jp2.CancelOperation();
    }
};

TEST(Jpeg2000IO, CancelAtEachCancellableReport)
{
    QImage picture = test_picture(6, 5);
    const size_t at10 = 1 + 3 + 1;
    for (size_t at : {size_t(1), at10, at10 + 1}) {
        TJPEG2000_IO jp2;
        Canceller cancel{jp2, at, {}};
        jp2.SetOnProgress(std::ref(cancel));
        QByteArray data("prefix");
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadWrite);
        buffer.seek(6);
        const qint64 n = jp2.SaveToStreamFrom(&picture, &buffer);
        // Cancelled at 0, at 10 or at the encoder's first report: result 0,
        // nothing written, no report after.
        EXPECT_EQ(n, 0) << at;
        EXPECT_EQ(data, "prefix") << at;
        EXPECT_EQ(cancel.seen.size(), at);
    }

    TJPEG2000_IO encoder;
    encoder.SetQuality(100);
    QByteArray stream;
    QBuffer sb(&stream);
    sb.open(QIODevice::ReadWrite);
    ASSERT_GT(encoder.SaveToStreamFrom(&picture, &sb), 0);
    // Load: cancellable at 0, at the decoder's reports, at each 90 and at 100.
    std::vector<int> loadReports;
    {
        TJPEG2000_IO jp2;
        jp2.SetOnProgress([&](TImage_IO*, int32_t p) { loadReports.push_back(p); });
        QImage bitmap;
        sb.seek(0);
        jp2.LoadFromStreamInTo(&bitmap, &sb);
    }
    const size_t total = loadReports.size();
    for (size_t at : {size_t(1), size_t(2), total - 3, total - 2, total - 1, total}) {
        TJPEG2000_IO jp2;
        Canceller cancel{jp2, at, {}};
        jp2.SetOnProgress(std::ref(cancel));
        QImage bitmap = test_picture(2, 2);
        sb.seek(0);
        EXPECT_EQ(jp2.LoadFromStreamInTo(&bitmap, &sb), 0) << at;
        EXPECT_EQ(cancel.seen.size(), at);
        if (at <= 2) {
            EXPECT_TRUE(same_pixels(bitmap, test_picture(2, 2)));  // untouched
        }
        if (at == total) {
            EXPECT_TRUE(same_pixels(bitmap, picture));  // complete, yet 0
        }
    }
}

TEST(Jpeg2000IO, ResultIsTheGrowthOfThePosition)
{
    TJPEG2000_IO jp2;
    jp2.SetQuality(100);
    QImage picture = test_picture(33, 17);
    picture.convertTo(QImage::Format_RGB32);
    QByteArray data(100, 'x');
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadWrite);
    buffer.seek(100);
    const qint64 n = jp2.SaveToStreamFrom(&picture, &buffer);
    EXPECT_EQ(picture.format(), QImage::Format_BGR888);  // converted and stays so
    EXPECT_EQ(n, data.size() - 100);
    EXPECT_EQ(buffer.pos(), data.size());
    EXPECT_EQ(data.mid(100, 2), QByteArray("\xff\x4f"));
    EXPECT_EQ(data.right(2), QByteArray("\xff\xd9"));

    data.append("trailer");
    buffer.seek(100);
    QImage bitmap;
    EXPECT_EQ(jp2.LoadFromStreamInTo(&bitmap, &buffer), n);
    EXPECT_EQ(buffer.pos(), 100 + n);
    EXPECT_TRUE(same_pixels(bitmap, picture));
}

TEST(Jpeg2000IO, FileSaveReplacesOnlyOnSuccess)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("picture.jp2");
    QFile earlier(target);
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier content");
    earlier.close();

    TJPEG2000_IO jp2;
    jp2.SetQuality(100);
    QImage picture = test_picture(20, 10);
    jp2.SetAttachedBitmap(&picture);
    auto content = [&] {
        QFile f(target);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    };

    // Cancelled at 0 and at 10: result 0, the earlier file untouched,
    // nothing else left in the folder.
    for (int cancelAt : {0, 10}) {
        jp2.SetOnProgress([&](TImage_IO* s, int32_t p) {
            if (p == cancelAt)
                s->CancelOperation();
        });
        EXPECT_EQ(jp2.SaveToFile(target), 0);
        EXPECT_EQ(content(), "earlier content");
        EXPECT_EQ(folder_entries(dir.path()), QStringList{"picture.jp2"});
    }
    // A failure (an empty bitmap) leaves the same state.
    jp2.SetOnProgress(nullptr);
    QImage empty;
    EXPECT_THROW(jp2.SaveToFileFrom(&empty, target), Exception);
    EXPECT_EQ(content(), "earlier content");
    EXPECT_EQ(folder_entries(dir.path()), QStringList{"picture.jp2"});

    // A cancelled save to a new name leaves no file at all.
    jp2.SetOnProgress([](TImage_IO* s, int32_t) { s->CancelOperation(); });
    EXPECT_EQ(jp2.SaveToFile(dir.filePath("new.jp2")), 0);
    EXPECT_EQ(folder_entries(dir.path()), QStringList{"picture.jp2"});

    // A completed save replaces the file; the result is its size.
    jp2.SetOnProgress(nullptr);
    const qint64 n = jp2.SaveToFile(target);
    EXPECT_EQ(n, QFileInfo(target).size());
    EXPECT_EQ(content().left(2), QByteArray("\xff\x4f"));
    EXPECT_EQ(folder_entries(dir.path()), QStringList{"picture.jp2"});
    QImage back;
    EXPECT_EQ(jp2.LoadFromFileInTo(&back, target), n);
    EXPECT_TRUE(same_pixels(back, picture));
}

TEST(Jpeg2000IO, HandlerExceptionsInsideTheCodecComeOutAfterIt)
{
    TJPEG2000_IO jp2;
    int reports = 0;
    jp2.SetOnProgress([&](TImage_IO*, int32_t) {
        if (++reports == 1 + 3 * 4 + 2)  // the encoder's first report
            throw Exception("handler failed");
    });
    QImage picture = test_picture(8, 4);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadWrite);
    EXPECT_EQ(message_of([&] { jp2.SaveToStreamFrom(&picture, &buffer); }), "handler failed");
}

TEST(Jpeg2000Load, OtherSampleFormatsBecomeBytes)
{
    // 12-bit samples become their top 8 bits, not two bytes each.
    QByteArray bytes = encode_image(3, 10, 6, 12, [](int c, int x, int y) {
        return (c * 1000 + x * 311 + y * 97) & 0xfff;
    });
    QBuffer b(&bytes);
    b.open(QIODevice::ReadOnly);
    TJPEG2000_IO jp2;
    QImage bitmap;
    ASSERT_GT(jp2.LoadFromStreamInTo(&bitmap, &b), 0);
    ASSERT_EQ(bitmap.size(), QSize(10, 6));
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(bitmap.constScanLine(y)[3 * x + 2 - c],
                          ((c * 1000 + x * 311 + y * 97) & 0xfff) >> 4)
                    << x << "," << y << " c" << c;

    // Signed 8-bit samples are offset to 0..255: -128 is black.
    auto sample = [](int c, int x, int y) { return (c * 40 + x * 25 + y * 9) % 256 - 128; };
    bytes = encode_image(3, 10, 6, 8, sample, 1);
    QBuffer sb(&bytes);
    sb.open(QIODevice::ReadOnly);
    ASSERT_GT(jp2.LoadFromStreamInTo(&bitmap, &sb), 0);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(bitmap.constScanLine(y)[3 * x + 2 - c], sample(c, x, y) + 128)
                    << x << "," << y << " c" << c;

    // Components at half size in both directions cover 2 x 2 pixels each.
    auto sub = [](int c, int x, int y) { return c * 60 + x * 7 + y * 29; };
    bytes = encode_image({{8, 6, 8, 0}, {4, 3, 8, 0}, {4, 3, 8, 0}}, sub, "nomct");
    QBuffer hb(&bytes);
    hb.open(QIODevice::ReadOnly);
    ASSERT_GT(jp2.LoadFromStreamInTo(&bitmap, &hb), 0);
    ASSERT_EQ(bitmap.size(), QSize(8, 6));
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            ASSERT_EQ(bitmap.constScanLine(y)[3 * x + 2], sub(0, x, y));
            ASSERT_EQ(bitmap.constScanLine(y)[3 * x + 1], sub(1, x / 2, y / 2)) << x << "," << y;
            ASSERT_EQ(bitmap.constScanLine(y)[3 * x + 0], sub(2, x / 2, y / 2)) << x << "," << y;
        }
}

TEST(Jpeg2000IO, PhotosDecodeAsTheIndependentDecoderDoes)
{
    REQUIRE_PEER(OPJ_DECOMPRESS, "opj_decompress");
    QTemporaryDir dir;
    const QStringList photos = QDir(JP2_TESTDATA "/photos").entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(photos.isEmpty());
    for (const QString& name : photos) {
        SCOPED_TRACE(name.toStdString());
        const QImage photo = LoadPicture(JP2_TESTDATA "/photos/" + name);
        TJPEG2000_IO jp2;
        jp2.SetQuality(20);
        jp2.SetAttachedBitmap(&photo);
        const QString j2k = dir.filePath(name + ".j2k");
        const qint64 n = jp2.SaveToFile(j2k);
        ASSERT_GT(n, 0);
        ASSERT_EQ(jp2.LoadFromFile(j2k), n);
        const QImage ours = *jp2.GetAttachedBitmap();

        const QString ppm = dir.filePath(name + ".ppm");
        std::string out;
        ASSERT_EQ(testutil::run_command(std::string(OPJ_DECOMPRESS) + " -i " +
                                            testutil::shell_quote(j2k.toStdString()) + " -o " +
                                            testutil::shell_quote(ppm.toStdString()),
                                        &out),
                  0)
            << out;
        QImage theirs(ppm);
        ASSERT_FALSE(theirs.isNull());
        theirs.convertTo(QImage::Format_BGR888);
        EXPECT_EQ(ours.size(), photo.size());
        EXPECT_TRUE(same_pixels(ours, theirs));
    }
}

} // namespace
