#include "jp2c_photo.h"
#include "jp2c.h"

#include "Exceptions.h"
#include "HostStream.h"
#include "Jpeg2000_io.h"
#include "PictureCompare.h"
#include "PictureLoader.h"

#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/image.h"
#include "base/threadpool.h"
#include "base/stream.h"
#include "codestream/jp2box.h"
#include "decoder/jpdec.h"
#include "encoder/jpenc_psnr.h"

namespace {

struct ImageDeleter {
    void operator()(image_t* image) const { image_destroy(image); }
};
using image_ptr = std::unique_ptr<image_t, ImageDeleter>;

void print_error(const char* command, const std::exception& e)
{
    std::fprintf(stderr, "jp2c %s: %s\n", command, e.what());
}

// Writes bitmap (Format_BGR888) as a 24-bit bottom-up Windows bitmap.
void write_bmp24(const QImage& bitmap, const QString& path)
{
    const int w = bitmap.width(), h = bitmap.height();
    const int64_t stride = (int64_t(w) * 3 + 3) & ~int64_t(3);
    const int64_t image_bytes = stride * h;
    if (54 + image_bytes > 0xffffffffLL)
        throw Exception(QStringLiteral("The picture is too large for a bitmap file"));
    unsigned char head[54] = {0};
    auto put32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            head[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    head[0] = 'B';
    head[1] = 'M';
    put32(2, static_cast<uint32_t>(54 + image_bytes));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    head[26] = 1;   // planes
    head[28] = 24;  // bits per pixel
    put32(34, static_cast<uint32_t>(image_bytes));
    put32(38, 2835);  // 72 dpi
    put32(42, 2835);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError(path, file.errorString());
    HostWriteBuffer(&file, head, sizeof head);
    std::string row(static_cast<size_t>(stride), '\0');
    for (int y = h - 1; y >= 0; --y) {
        std::memcpy(row.data(), bitmap.constScanLine(y), size_t(w) * 3);
        HostWriteBuffer(&file, row.data(), stride);
    }
    if (!file.commit())
        throw EFCreateError(path, file.errorString());
}

// The image as a 24-bit bitmap, as the window's load path makes it: three
// components as red, green and blue, or one as grey.
QImage bitmap_of(image_t* image)
{
    const int n = image_numcmpnts(image);
    if (n != 1 && n != 3)
        throw Exception(QStringLiteral("A picture of %1 components cannot be shown as RGB "
                                       "(use .pgx)").arg(n));
    QImage bitmap(image_width(image), image_height(image), QImage::Format_BGR888);
    if (bitmap.isNull())
        throw Exception(QStringLiteral("Not enough memory for a picture of %1 x %2 pixels")
                            .arg(image_width(image)).arg(image_height(image)));
    bitmap.fill(0);
    for (int channel = 0; channel < 3; ++channel) {
        const int i = n == 3 ? channel : 0;
        if (stream_t* s = image_cmpt_stream(image, i))
            stream_rewind(s);
        J2000CopyComponent(image, i, channel, &bitmap);
    }
    return bitmap;
}

// The bitmap (Format_BGR888) as an 8-bit RGB image, or nullptr.
image_t* image_of(const QImage& bitmap)
{
    const int w = bitmap.width(), h = bitmap.height();
    image_cmptparm_t parms[3];
    for (auto& p : parms)
        p = image_cmptparm_t{w, h, 8, 0};
    image_ptr image(image_create(3, parms, IMAGE_CM_RGB));
    if (!image)
        return nullptr;
    std::vector<unsigned char> row(static_cast<size_t>(w));
    for (int i = 0; i < 3; ++i) {
        stream_t* cs = image_cmpt_stream(image.get(), i);
        if (!cs || stream_rewind(cs) != 0)
            return nullptr;
        for (int y = 0; y < h; ++y) {
            const uchar* line = bitmap.constScanLine(y) + (2 - i);
            for (int x = 0; x < w; ++x)
                row[x] = line[3 * x];
            if (stream_write(cs, row.data(), w) != w)
                return nullptr;
        }
        if (stream_flush(cs) != 0)
            return nullptr;
    }
    return image.release();
}

QImage read_png(const QString& path)
{
    QImageReader reader(path, "png");
    reader.setAutoTransform(false);
    QImage image;
    if (!reader.read(&image))
        throw Exception(QStringLiteral("Cannot read the PNG picture \"%1\": %2")
                            .arg(path, reader.errorString()));
    image.convertTo(QImage::Format_BGR888);
    if (image.isNull())
        throw Exception(QStringLiteral("Not enough memory for the PNG picture \"%1\"").arg(path));
    return image;
}

QImage read_photo(const QString& path, picfile_kind kind)
{
    switch (kind) {
    case PICFILE_BMP: return LoadBitmapPicture(path);
    case PICFILE_JPEG: return LoadJpegPicture(path);
    case PICFILE_PNG: return read_png(path);
    default: break;
    }
    throw Exception(QStringLiteral("\"%1\" is not a photo").arg(path));
}

image_t* photo_read(const char* path, picfile_kind kind)
{
    try {
        const QImage bitmap = read_photo(QString::fromLocal8Bit(path), kind);
        image_t* image = image_of(bitmap);
        if (!image)
            std::fprintf(stderr, "%s: not enough memory for the picture\n", path);
        return image;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return nullptr;
    }
}

int photo_write(image_t* image, const char* path, picfile_kind kind)
{
    try {
        const QImage bitmap = bitmap_of(image);
        const QString name = QString::fromLocal8Bit(path);
        if (kind == PICFILE_BMP) {
            write_bmp24(bitmap, name);
            return 0;
        }
        QSaveFile file(name);
        if (!file.open(QIODevice::WriteOnly))
            throw EFCreateError(name, file.errorString());
        QImageWriter writer(&file, "png");
        if (!writer.write(bitmap) || !file.commit())
            throw EFCreateError(name, writer.error() != QImageWriter::UnknownError
                                          ? writer.errorString()
                                          : file.errorString());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return -1;
    }
}

// Any picture compare reads, as Format_BGR888.
QImage read_any(const char* path)
{
    const QString name = QString::fromLocal8Bit(path);
    const picfile_kind kind = picfile_sniff(path);
    switch (kind) {
    case PICFILE_BMP:
    case PICFILE_JPEG:
    case PICFILE_PNG:
        return read_photo(name, kind);
    case PICFILE_J2K:
    case PICFILE_JP2: {
        TJPEG2000_IO jp2;
        QImage bitmap;
        jp2.LoadFromFileInTo(&bitmap, name);
        return bitmap;
    }
    case PICFILE_PNM:
    case PICFILE_PGX: {
        image_ptr image(picfile_read(path));
        if (!image)
            throw Exception(QStringLiteral("Cannot read \"%1\"").arg(name));
        return bitmap_of(image.get());
    }
    case PICFILE_NONE:
        throw EFOpenError(name, QStringLiteral("No such file or not readable"));
    default:
        throw Exception(QStringLiteral("\"%1\" is %2").arg(name, picfile_kindname(kind)));
    }
}

// The picture at its own precision, for pictures deeper than the 8-bit
// view: PGM/PPM, PGX and JPEG 2000; nullptr for other kinds or on failure.
image_ptr read_samples(const char* path)
{
    const picfile_kind kind = picfile_sniff(path);
    if (kind == PICFILE_PNM || kind == PICFILE_PGX)
        return image_ptr(picfile_read(path));
    if (kind != PICFILE_J2K && kind != PICFILE_JP2)
        return nullptr;
    stream_t* in = stream_fopen(path, "rb");
    if (!in)
        return nullptr;
    int64_t boxlen;
    image_t* image = nullptr;
    if (kind == PICFILE_J2K || jp2_find_codestream(in, &boxlen) == 0)
        image = jpdec_decode(in, "", nullptr);
    stream_close(in);
    return image_ptr(image);
}

int deepest_prec(const image_t* image)
{
    int prec = 0;
    for (int i = 0; i < image_numcmpnts(image); ++i)
        prec = std::max(prec, int(image_cmpt_prec(image, i)));
    return prec;
}

void print_psnr(const char* label, double value)
{
    if (std::isinf(value))
        std::printf("%s: inf dB\n", label);
    else
        std::printf("%s: %.3f dB\n", label, value);
}

} // namespace

const picfile_photo_t* jp2c_photo()
{
    static const picfile_photo_t photo = {photo_read, photo_write};
    return &photo;
}

extern "C" __attribute__((visibility("default"))) const jp2c_photomodule_t*
jp2c_photo_module(int numthreads)
{
    threadpool_setnumthreads(numthreads);
    static const jp2c_photomodule_t module = {jp2c_photo(), jp2c_compare};
    return &module;
}

int jp2c_compare(int argc, char** argv)
{
    static const char* const allowed[] = {nullptr};
    jp2c_args_t args;
    if (!jp2c_parse("compare", argc, argv, allowed, 2, &args))
        return JP2C_FAILED;
    try {
        const QImage a = read_any(args.files[0]);
        const QImage b = read_any(args.files[1]);
        std::printf("Size A: %d x %d\n", a.width(), a.height());
        std::printf("Size B: %d x %d\n", b.width(), b.height());
        if (a.size() != b.size()) {
            std::fputs("jp2c compare: the pictures differ in size\n", stderr);
            return 1;
        }
        PictureDifference d;
        ComparePictures(a, b, &d);
        print_psnr("PSNR", d.psnr);
        print_psnr("PSNR red", d.psnrRed);
        print_psnr("PSNR green", d.psnrGreen);
        print_psnr("PSNR blue", d.psnrBlue);
        std::printf("SSIM: %.5f\n", d.ssim);
        std::printf("Peak error: %d\n", d.peak);
        // The figures above measure the 8-bit view; a deeper picture is
        // also measured at its own precision.
        if (image_ptr sa = read_samples(args.files[0])) {
            image_ptr sb = read_samples(args.files[1]);
            const int prec = sb ? std::max(deepest_prec(sa.get()), deepest_prec(sb.get())) : 0;
            if (prec > 8) {
                const double full = jpenc_psnr(sa.get(), sb.get());
                if (!std::isnan(full)) {
                    char label[32];
                    std::snprintf(label, sizeof label, "PSNR at %d bits", prec);
                    print_psnr(label, full);
                }
            }
        }
        return 0;
    } catch (const std::exception& e) {
        print_error("compare", e);
        return 1;
    }
}
