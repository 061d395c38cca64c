#include "PictureLoader.h"

#include "Exceptions.h"
#include "HostStream.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFileInfo>
#include <QImageReader>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace {

enum class PictureKind { None, Jpeg, Bitmap, Png, Tiff, CodeStream };

CodeStreamDecoder code_stream_decoder = nullptr;

PictureKind kind_of(const QString& fileName)
{
    const QString ext = QFileInfo(fileName).suffix().toLower();
    if (ext == QLatin1String("jpg") || ext == QLatin1String("jpeg"))
        return PictureKind::Jpeg;
    if (ext == QLatin1String("bmp"))
        return PictureKind::Bitmap;
    if (ext == QLatin1String("png"))
        return PictureKind::Png;
    if (ext == QLatin1String("tif") || ext == QLatin1String("tiff"))
        return PictureKind::Tiff;
    if (code_stream_decoder && (ext == QLatin1String("j2k") || ext == QLatin1String("j2c") ||
                                ext == QLatin1String("jpc") || ext == QLatin1String("jp2")))
        return PictureKind::CodeStream;
    return PictureKind::None;
}

QByteArray read_whole_file(const QString& fileName)
{
    std::unique_ptr<QFile> file = HostOpenFile(fileName);
    QByteArray data = file->readAll();
    if (file->error() != QFileDevice::NoError)
        throw EFOpenError(fileName, file->errorString());
    return data;
}

// Largest picture loaded, in samples (three per pixel): 1 GiB of bitmap.
constexpr uint64_t kMaxPictureSamples = uint64_t(1) << 30;

// ---- JPEG through libjpeg ---------------------------------------------------
//
// libjpeg reports errors through error_exit, which must not return.  It
// longjmps back to decode_jpeg(); everything that lives across that jump
// is in the JpegJob on the heap, and decode_jpeg() has no local objects
// with destructors, so the jump skips no clean-up.

struct JpegErrorMgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

struct JpegJob {
    jpeg_decompress_struct cinfo;
    JpegErrorMgr err;
    bool created = false;
    QImage image;               // the picture as decoded (before orientation)
    std::vector<JSAMPLE> row;   // one CMYK row
    int orientation = 1;        // EXIF orientation 1..8
    char failure[JMSG_LENGTH_MAX + 64] = {0};
};

[[noreturn]] void jpeg_fail(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// Warnings are tolerated (as viewers do), except the end of the data before
// the end of the picture: libjpeg would fill the rest with grey.
void jpeg_message(j_common_ptr cinfo, int msg_level)
{
    if (msg_level < 0) {
        if (cinfo->err->msg_code == JWRN_JPEG_EOF)
            jpeg_fail(cinfo);
        ++cinfo->err->num_warnings;
    }
}

uint32_t exif_get(const uint8_t* p, int n, bool little)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= static_cast<uint32_t>(p[little ? i : n - 1 - i]) << (8 * i);
    return v;
}

// The orientation tag (0x0112) of IFD0 in an APP1 "Exif" segment, or 1.
int exif_orientation(const uint8_t* data, size_t len)
{
    if (len < 6 + 8 || std::memcmp(data, "Exif\0\0", 6) != 0)
        return 1;
    const uint8_t* tiff = data + 6;
    const size_t n = len - 6;
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        little = false;
    else
        return 1;
    if (exif_get(tiff + 2, 2, little) != 42)
        return 1;
    const uint64_t ifd = exif_get(tiff + 4, 4, little);
    if (ifd + 2 > n)
        return 1;
    const uint32_t count = exif_get(tiff + ifd, 2, little);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = ifd + 2 + uint64_t(12) * i;
        if (entry + 12 > n)
            return 1;
        if (exif_get(tiff + entry, 2, little) != 0x0112)
            continue;
        // SHORT, count 1: the value sits in the first two bytes of the field.
        if (exif_get(tiff + entry + 2, 2, little) != 3)
            return 1;
        const uint32_t v = exif_get(tiff + entry + 8, 2, little);
        return v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
    }
    return 1;
}

// Decodes into job->image (Format_BGR888).  false with job->failure set.
bool decode_jpeg(JpegJob* job, const unsigned char* data, unsigned long size)
{
    jpeg_decompress_struct* cinfo = &job->cinfo;
    cinfo->err = jpeg_std_error(&job->err.pub);
    job->err.pub.error_exit = jpeg_fail;
    job->err.pub.emit_message = jpeg_message;
    if (setjmp(job->err.jump)) {
        std::snprintf(job->failure, sizeof job->failure, "JPEG error: %s", job->err.message);
        return false;
    }
    jpeg_create_decompress(cinfo);
    job->created = true;
    jpeg_mem_src(cinfo, data, size);
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xffff);
    jpeg_read_header(cinfo, TRUE);

    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 1) {
            job->orientation = exif_orientation(m->data, m->data_length);
            if (job->orientation != 1)
                break;
        }
    }

    // The header alone must not make the loader ask for a bitmap of any size
    // it names: a few hundred bytes can declare 65535 x 65535 pixels.
    if (uint64_t(cinfo->image_width) * cinfo->image_height * 3 > kMaxPictureSamples) {
        std::snprintf(job->failure, sizeof job->failure,
                      "Picture of %u x %u pixels is too large", cinfo->image_width,
                      cinfo->image_height);
        return false;
    }
    const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_start_decompress(cinfo);
    const JDIMENSION w = cinfo->output_width;
    const JDIMENSION h = cinfo->output_height;
    job->image = QImage(static_cast<int>(w), static_cast<int>(h), QImage::Format_BGR888);
    if (job->image.isNull()) {
        std::snprintf(job->failure, sizeof job->failure,
                      "Not enough memory for a picture of %u x %u pixels", w, h);
        return false;
    }
    if (cmyk)
        job->row.resize(size_t(w) * 4);
    // Adobe's CMYK JPEG files store inverted inks (255 = no ink).
    const bool inverted = cinfo->saw_Adobe_marker;
    while (cinfo->output_scanline < h) {
        uchar* line = job->image.scanLine(static_cast<int>(cinfo->output_scanline));
        JSAMPROW target = cmyk ? job->row.data() : line;
        if (jpeg_read_scanlines(cinfo, &target, 1) != 1) {
            std::snprintf(job->failure, sizeof job->failure, "JPEG error: %s",
                          "Premature end of JPEG file");
            return false;
        }
        if (cmyk) {
            const JSAMPLE* s = job->row.data();
            for (JDIMENSION x = 0; x < w; ++x, s += 4, line += 3) {
                unsigned c = s[0], m = s[1], y = s[2], k = s[3];
                if (!inverted) {
                    c = 255 - c; m = 255 - m; y = 255 - y; k = 255 - k;
                }
                line[0] = static_cast<uchar>((y * k + 127) / 255);
                line[1] = static_cast<uchar>((m * k + 127) / 255);
                line[2] = static_cast<uchar>((c * k + 127) / 255);
            }
        }
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

// The picture turned upright by EXIF orientation o (2..8).
QImage apply_orientation(const QImage& src, int o)
{
    const int w = src.width(), h = src.height();
    const bool swap = o >= 5;
    QImage out(swap ? h : w, swap ? w : h, QImage::Format_BGR888);
    if (out.isNull())
        throw Exception(QStringLiteral("Not enough memory for a picture of %1 x %2 pixels")
                            .arg(w).arg(h));
    const int ow = out.width(), oh = out.height();
    for (int oy = 0; oy < oh; ++oy) {
        uchar* d = out.scanLine(oy);
        for (int ox = 0; ox < ow; ++ox, d += 3) {
            int sx, sy;
            switch (o) {
            case 2: sx = w - 1 - ox; sy = oy; break;          // mirrored left-right
            case 3: sx = w - 1 - ox; sy = h - 1 - oy; break;  // turned half-way
            case 4: sx = ox; sy = h - 1 - oy; break;          // mirrored top-bottom
            case 5: sx = oy; sy = ox; break;                  // transposed
            case 6: sx = oy; sy = h - 1 - ox; break;          // needs a clockwise quarter turn
            case 7: sx = w - 1 - oy; sy = h - 1 - ox; break;  // transversed
            default: sx = w - 1 - oy; sy = ox; break;         // 8: anticlockwise quarter turn
            }
            const uchar* s = src.constScanLine(sy) + 3 * sx;
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    }
    return out;
}

QImage load_jpeg(const QString& fileName)
{
    const QByteArray data = read_whole_file(fileName);
    auto job = std::make_unique<JpegJob>();
    const bool ok = decode_jpeg(job.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                                static_cast<unsigned long>(data.size()));
    if (job->created)
        jpeg_destroy_decompress(&job->cinfo);
    if (!ok)
        throw Exception(QString::fromLocal8Bit(job->failure));
    if (job->orientation != 1)
        return apply_orientation(job->image, job->orientation);
    return std::move(job->image);
}

// ---- Windows bitmaps through Qt ---------------------------------------------

uint32_t le32(const QByteArray& d, int at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(d[at + i]);
    return v;
}

int mask_bits(uint32_t mask)
{
    int n = 0;
    for (; mask; mask &= mask - 1)
        ++n;
    return n;
}

// Qt widens the channels of 16-bit bitmaps by a plain shift, so that 5-bit
// white (31) becomes 248.  Repeat the channel's bits into the low bits
// instead, as a full-scale conversion does (31 becomes 255).
void widen_16bit_channels(const QByteArray& data, QImage* image)
{
    if (data.size() < 54 || le32(data, 14) < 40 || static_cast<uint8_t>(data[28]) != 16)
        return;
    const uint32_t compression = le32(data, 30);
    uint32_t masks[3] = {0x7c00, 0x03e0, 0x001f};
    if (compression == 3) {  // bit fields: after a 40-byte header, or inside a longer one
        if (data.size() < 14 + 40 + 12)
            return;
        for (int i = 0; i < 3; ++i)
            masks[i] = le32(data, 14 + 40 + 4 * i);
    } else if (compression != 0) {
        return;
    }
    int bits[3];
    for (int i = 0; i < 3; ++i) {
        bits[i] = mask_bits(masks[i]);
        if (bits[i] == 0 || bits[i] >= 8)
            bits[i] = 8;
    }
    if (bits[0] == 8 && bits[1] == 8 && bits[2] == 8)
        return;
    uint8_t table[3][256];
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) {
            int out = v;
            for (int shift = bits[c]; shift < 8; shift += bits[c])
                out |= v >> shift;
            table[c][v] = static_cast<uint8_t>(out);
        }
    for (int y = 0; y < image->height(); ++y) {
        uchar* p = image->scanLine(y);
        for (int x = 0; x < image->width(); ++x, p += 3) {
            p[2] = table[0][p[2]];  // red
            p[1] = table[1][p[1]];
            p[0] = table[2][p[0]];
        }
    }
}

QImage load_bitmap(const QString& fileName)
{
    QByteArray data = read_whole_file(fileName);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "bmp");
    reader.setAutoTransform(false);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        throw Exception(QStringLiteral("Bitmap image is not valid"));
    image.convertTo(QImage::Format_BGR888);
    if (image.format() != QImage::Format_BGR888 || image.isNull())
        throw Exception(QStringLiteral("Bitmap image is not valid"));
    widen_16bit_channels(data, &image);
    return image;
}

// A PNG or TIFF file through Qt's reader for the format.
QImage load_with_reader(const QString& fileName, const char* format, const QString& name)
{
    QByteArray data = read_whole_file(fileName);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoTransform(true);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        throw Exception(QStringLiteral("%1 image is not valid").arg(name));
    image.convertTo(QImage::Format_BGR888);
    if (image.format() != QImage::Format_BGR888 || image.isNull())
        throw Exception(QStringLiteral("%1 image is not valid").arg(name));
    // The samples as stored, like the other loaders' pictures: a colour
    // space of the file (gamma, chromaticities) is not carried along.
    image.setColorSpace(QColorSpace());
    return image;
}

} // namespace

void SetCodeStreamDecoder(CodeStreamDecoder decoder)
{
    code_stream_decoder = decoder;
}

bool PictureExtensionSupported(const QString& fileName)
{
    return kind_of(fileName) != PictureKind::None;
}

QImage LoadPicture(const QString& fileName)
{
    switch (kind_of(fileName)) {
    case PictureKind::Jpeg:
        return load_jpeg(fileName);
    case PictureKind::Bitmap:
        return load_bitmap(fileName);
    case PictureKind::Png:
        return load_with_reader(fileName, "png", QStringLiteral("PNG"));
    case PictureKind::Tiff:
        return load_with_reader(fileName, "tiff", QStringLiteral("TIFF"));
    case PictureKind::CodeStream:
        return code_stream_decoder(fileName);
    case PictureKind::None:
        break;
    }
    throw Exception(QStringLiteral("Unknown picture file extension (.%1)")
                        .arg(QFileInfo(fileName).suffix()));
}

QImage LoadJpegPicture(const QString& fileName)
{
    return load_jpeg(fileName);
}

QImage LoadBitmapPicture(const QString& fileName)
{
    return load_bitmap(fileName);
}
