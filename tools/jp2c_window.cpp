#include "jp2c_window.h"

#include "Exceptions.h"
#include "HostStream.h"
#include "Jpeg2000_io.h"
#include "PictureLoader.h"

#include <QFileInfo>
#include <QImageReader>
#include <QSaveFile>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

QString extension_of(const char* path)
{
    return QFileInfo(QString::fromLocal8Bit(path)).suffix().toLower();
}

bool has_arg(int argc, char** argv, const char* name)
{
    for (int i = 0; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

// The first argument that is neither an option nor an option's value.
const char* positional(int argc, char** argv, int which)
{
    int seen = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quality") == 0 || std::strcmp(argv[i], "--options") == 0) {
            ++i;
            continue;
        }
        if (seen++ == which)
            return argv[i];
    }
    return nullptr;
}

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

// Any picture compare can read, as Format_BGR888.
QImage read_any(const char* path)
{
    const QString name = QString::fromLocal8Bit(path);
    if (PictureExtensionSupported(name))
        return LoadPicture(name);
    const QString ext = extension_of(path);
    if (ext == QLatin1String("j2k") || ext == QLatin1String("j2c") || ext == QLatin1String("jpc") ||
        ext == QLatin1String("jp2")) {
        TJPEG2000_IO jp2;
        QImage bitmap;
        jp2.LoadFromFileInTo(&bitmap, name);
        return bitmap;
    }
    QImageReader reader(name);
    QImage image;
    if (!reader.read(&image))
        throw Exception(QStringLiteral("Cannot read \"%1\": %2").arg(name, reader.errorString()));
    image.convertTo(QImage::Format_BGR888);
    return image;
}

double psnr(double sum_sq, double count)
{
    if (sum_sq == 0)
        return INFINITY;
    return 10.0 * std::log10(255.0 * 255.0 * count / sum_sq);
}

void print_psnr(const char* label, double value)
{
    if (std::isinf(value))
        std::printf("%s: inf dB\n", label);
    else
        std::printf("%s: %.3f dB\n", label, value);
}

} // namespace

bool jp2c_window_takes(const char* command, int argc, char** argv)
{
    if (std::strcmp(command, "compare") == 0)
        return true;
    if (std::strcmp(command, "encode") == 0) {
        if (has_arg(argc, argv, "--quality"))
            return true;
        if (has_arg(argc, argv, "--options"))
            return false;
        const char* in = positional(argc, argv, 0);
        if (!in)
            return false;
        const QString ext = extension_of(in);
        return ext == QLatin1String("bmp") || ext == QLatin1String("jpg") || ext == QLatin1String("jpeg");
    }
    if (std::strcmp(command, "decode") == 0) {
        const char* out = positional(argc, argv, 1);
        return out && extension_of(out) == QLatin1String("bmp");
    }
    return false;
}

int jp2c_window_encode(int argc, char** argv)
{
    const char* input = nullptr;
    const char* output = nullptr;
    double quality = 20;
    bool have_quality = false, have_options = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quality") == 0) {
            if (i + 1 >= argc) {
                std::fputs("jp2c encode: --quality needs a value\n", stderr);
                return 1;
            }
            const char* v = argv[++i];
            const char* end = v + std::strlen(v);
            auto res = std::from_chars(v, end, quality);
            if (res.ec != std::errc() || res.ptr != end || !std::isfinite(quality)) {
                std::fprintf(stderr, "jp2c encode: bad quality \"%s\"\n", v);
                return 1;
            }
            have_quality = true;
        } else if (std::strcmp(argv[i], "--options") == 0) {
            have_options = true;
            ++i;
        } else if (!input) {
            input = argv[i];
        } else if (!output) {
            output = argv[i];
        } else {
            std::fprintf(stderr, "jp2c encode: unexpected argument \"%s\"\n", argv[i]);
            return 1;
        }
    }
    if (have_quality && have_options) {
        std::fputs("jp2c encode: --quality and --options exclude each other\n", stderr);
        return 1;
    }
    if (!input || !output) {
        std::fputs("usage: jp2c encode INPUT.(bmp|jpg|jpeg) OUTPUT [--quality Q]\n", stderr);
        return 1;
    }
    try {
        TJPEG2000_IO jp2;
        jp2.SetQuality(quality);
        const QImage picture = LoadPicture(QString::fromLocal8Bit(input));
        jp2.SetAttachedBitmap(&picture);
        const int w = jp2.GetAttachedBitmap()->width();
        const int h = jp2.GetAttachedBitmap()->height();
        std::printf("Picture: %d x %d\n", w, h);
        if (w > 0 && h > 0)
            std::printf("Options: %s\n", jp2.EncoderOptions(w, h).c_str());
        const qint64 n = jp2.SaveToFile(QString::fromLocal8Bit(output));
        std::printf("Bytes written: %lld\n", static_cast<long long>(n));
        if (n > 0) {
            // As the window shows them: the size in Kb with one decimal and
            // the ratio of the raw 24-bit size to the bytes, truncated.
            std::printf("Size: %2.1f Kb\n", static_cast<double>(n) * (1.0 / 1024));
            std::printf("Ratio: 1/%lld\n", static_cast<long long>(int64_t(w) * h * 3 / n));
        }
        return 0;
    } catch (const std::exception& e) {
        print_error("encode", e);
        return 1;
    }
}

int jp2c_window_decode(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: jp2c decode INPUT OUTPUT.bmp\n", stderr);
        return 1;
    }
    try {
        TJPEG2000_IO jp2;
        jp2.LoadFromFile(QString::fromLocal8Bit(argv[0]));
        const QImage* bitmap = jp2.GetAttachedBitmap();
        write_bmp24(*bitmap, QString::fromLocal8Bit(argv[1]));
        std::printf("Picture: %d x %d\n", bitmap->width(), bitmap->height());
        return 0;
    } catch (const std::exception& e) {
        print_error("decode", e);
        return 1;
    }
}

int jp2c_compare(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: jp2c compare A B\n", stderr);
        return 1;
    }
    try {
        const QImage a = read_any(argv[0]);
        const QImage b = read_any(argv[1]);
        std::printf("Size A: %d x %d\n", a.width(), a.height());
        std::printf("Size B: %d x %d\n", b.width(), b.height());
        if (a.size() != b.size()) {
            std::fputs("jp2c compare: the pictures differ in size\n", stderr);
            return 1;
        }
        double sq[3] = {0, 0, 0};
        int peak = 0;
        for (int y = 0; y < a.height(); ++y) {
            const uchar* p = a.constScanLine(y);
            const uchar* q = b.constScanLine(y);
            for (int x = 0; x < a.width() * 3; x += 3) {
                for (int c = 0; c < 3; ++c) {
                    const int d = int(p[x + c]) - int(q[x + c]);
                    sq[c] += double(d) * d;
                    peak = std::max(peak, std::abs(d));
                }
            }
        }
        const double n = double(a.width()) * a.height();
        print_psnr("PSNR", psnr(sq[0] + sq[1] + sq[2], 3 * n));
        // Bytes are blue, green, red.
        print_psnr("PSNR red", psnr(sq[2], n));
        print_psnr("PSNR green", psnr(sq[1], n));
        print_psnr("PSNR blue", psnr(sq[0], n));
        std::printf("Peak error: %d\n", peak);
        return 0;
    } catch (const std::exception& e) {
        print_error("compare", e);
        return 1;
    }
}
