#include "Jpeg2000_io.h"

#include "Exceptions.h"
#include "HostStream.h"
#include "Tag_stream.h"

#include "base/image.h"
#include "codestream/jp2box.h"
#include "decoder/jpdec.h"
#include "encoder/jpenc_psnr.h"
#include "base/stream.h"

#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <memory>
#include <vector>

// ---- progress sink ----------------------------------------------------------

void J2000EncoderProgressMessager::report(int32_t percent)
{
    if (FPending)
        return;
    try {
        FOwner->DoProgressNoCancel(percent);
    } catch (...) {
        FPending = std::current_exception();
    }
}

bool J2000EncoderProgressMessager::cancelled()
{
    return FPending || FOwner->Stopped();
}

void J2000EncoderProgressMessager::RethrowPending()
{
    if (FPending) {
        std::exception_ptr e = FPending;
        FPending = nullptr;
        std::rethrow_exception(e);
    }
}

// ---- component --------------------------------------------------------------

namespace {

// The adapter of one save or load: released on the way out.  A failing save
// closes it through the codec stream instead (flush, device close, free).
class AdapterHolder {
public:
    AdapterHolder(stream_t* s, bool closeOnFailure) : FStream(s), FCloseOnFailure(closeOnFailure) {}
    ~AdapterHolder()
    {
        if (!FStream)
            return;
        if (FCloseOnFailure)
            stream_close(FStream);
        else
            TagStreamRelease(FStream);
    }
    AdapterHolder(const AdapterHolder&) = delete;
    AdapterHolder& operator=(const AdapterHolder&) = delete;
    stream_t* get() const { return FStream; }
    void Release()
    {
        TagStreamRelease(FStream);
        FStream = nullptr;
    }

private:
    stream_t* FStream;
    bool FCloseOnFailure;
};

struct ImageDeleter {
    void operator()(image_t* image) const { image_destroy(image); }
};
using ImageHolder = std::unique_ptr<image_t, ImageDeleter>;

QImage new_bitmap(int width, int height)
{
    QImage bitmap(width, height, QImage::Format_BGR888);
    if (bitmap.isNull())
        throw Exception(QStringLiteral("Not enough memory for a picture of %1 x %2 pixels")
                            .arg(width).arg(height));
    bitmap.fill(0);
    return bitmap;
}

} // namespace

void J2000CopyComponent(image_t* image, int i, int channel, QImage* B,
                        const std::function<void(int32_t cy)>& everyRows)
{
    stream_t* s = image_cmpt_stream(image, i);
    const int32_t cw = image_cmpt_width(image, i);
    const int32_t ch = image_cmpt_height(image, i);
    const int32_t prec = image_cmpt_prec(image, i);
    const bool sgnd = image_cmpt_sgnd(image, i) != 0;
    const int32_t cps = image_cmpt_cps(image, i);
    const int32_t hs = image_cmpt_hsubsamp(image, i);
    const int32_t vs = image_cmpt_vsubsamp(image, i);
    const int w = B->width(), h = B->height();
    const int off = 2 - channel;
    const size_t rowbytes = size_t(cw) * size_t(cps);
    std::vector<unsigned char> raw(rowbytes);
    std::vector<unsigned char> row(static_cast<size_t>(cw));

    const bool plain = prec == 8 && !sgnd;
    const uint32_t maxv = prec >= 32 ? 0xffffffffu : (uint32_t(1) << prec) - 1;
    // Plain samples held in memory are taken from there, whole rows.
    const unsigned char* mem = plain && cps == 1 ? image_cmpt_memory(image, i) : nullptr;
    for (int32_t cy = 0; cy < ch; ++cy) {
        if (everyRows && cy % 64 == 0)
            everyRows(cy);
        const unsigned char* src = row.data();
        if (mem) {
            src = mem + size_t(cy) * rowbytes;
        } else {
            const int64_t got = s ? stream_read(s, raw.data(), static_cast<int64_t>(rowbytes)) : 0;
            const size_t whole = got > 0 ? static_cast<size_t>(got) / size_t(cps) : 0;
            if (plain) {
                std::copy(raw.begin(), raw.begin() + static_cast<long>(whole), row.begin());
            } else {
                for (size_t x = 0; x < whole; ++x) {
                    uint32_t v = 0;
                    const unsigned char* q = raw.data() + x * size_t(cps);
                    for (int32_t b = 0; b < cps; ++b)
                        v = (v << 8) | q[b];
                    v &= maxv;
                    if (sgnd && prec < 32)
                        v ^= uint32_t(1) << (prec - 1);  // two's complement to offset binary
                    else if (sgnd)
                        v ^= 0x80000000u;
                    uint32_t out;
                    if (prec > 8)
                        out = v >> (prec - 8);
                    else
                        out = static_cast<uint32_t>((uint64_t(v) * 255 + maxv / 2) / maxv);
                    row[x] = static_cast<unsigned char>(out);
                }
            }
            for (size_t x = whole; x < size_t(cw); ++x)
                row[x] = 255;
        }

        const int y0 = static_cast<int>(int64_t(cy) * vs);
        const int y1 = static_cast<int>(std::min<int64_t>(int64_t(cy + 1) * vs, h));
        for (int y = y0; y < y1; ++y) {
            uchar* line = B->scanLine(y) + off;
            if (hs == 1) {
                const int n = std::min(cw, w);
                for (int x = 0; x < n; ++x)
                    line[3 * x] = src[x];
            } else {
                for (int x = 0; x < w; ++x) {
                    const int cx = x / hs;
                    if (cx < cw)
                        line[3 * x] = src[cx];
                }
            }
        }
    }
}


TJPEG2000_IO::TJPEG2000_IO(QObject* Owner) : TImage_IO(Owner)
{
    FFormatName = QStringLiteral("JPEG2000");
    FRateAllowance = J2000RateAllowance;
}

std::string TJPEG2000_IO::EncoderOptions(int width, int height) const
{
    std::string options = J2000EncoderOptions(FMaxBitPerPixel, FRateAllowance, width, height);
    if (FTargetPsnr > 0) {
        // The budget comes from the goal: "rate=R " gives way to "psnr=DB".
        const size_t at = options.find("rate=");
        if (at != std::string::npos) options.erase(at, options.find(' ', at) + 1 - at);
        char goal[32];
        std::snprintf(goal, sizeof goal, " psnr=%.1f", FTargetPsnr);
        options += goal;
    }
    if (FHighThroughput) options = J2000HighThroughputOptions(options);
    return options;
}

qint64 TJPEG2000_IO::SaveToStreamFrom(QImage* B, QIODevice* S)
{
    FAborted = false;
    if (!B)
        throw Exception(QStringLiteral("Bitmap is not existing"));
    if (B->width() == 0)
        throw Exception(QStringLiteral("Bitmap Width = 0, I can't compress it"));
    if (B->height() == 0)
        throw Exception(QStringLiteral("Bitmap Height = 0, I can't compress it"));
    if (!S)
        throw Exception(QStringLiteral("Invalid Output Stream"));
    const qint64 p0 = S->pos();
    FStop = false;
    const std::string options = EncoderOptions(B->width(), B->height());
    J2000EncoderProgressMessager sink(this);
    try {
        DoOnProgress(0);
        AdapterHolder adapter(TagStreamCreate(S, STREAM_WRITE | STREAM_BINARY), true);
        if (!adapter.get())
            throw Exception(QStringLiteral("Can't Create Stream , Internal error by Kestreline"));
        B->convertTo(QImage::Format_BGR888);
        const int w = B->width(), h = B->height();

        image_cmptparm_t parms[3];
        for (auto& p : parms)
            p = image_cmptparm_t{w, h, 8, 0};
        ImageHolder image(image_create(3, parms, IMAGE_CM_RGB, true));
        if (!image || image_numcmpnts(image.get()) != 3 || B->format() != QImage::Format_BGR888)
            throw Exception(QStringLiteral("Internal Error , Can,t Create Such Image, Kill the Developers"));
        // The copy climbs from 0 to 9 as rows go; a Cancel during it ends
        // it at once (the next cancellable report raises).
        std::vector<unsigned char> row(static_cast<size_t>(w));
        const int64_t rows = 3 * int64_t(h);
        for (int i = 0; i < 3 && !FStop; ++i) {
            stream_t* cs = image_cmpt_stream(image.get(), i);
            stream_rewind(cs);
            // A component held in memory takes its rows in place.
            unsigned char* mem = image_cmpt_memory(image.get(), i);
            const int off = 2 - i;
            for (int y = 0; y < h && !FStop; ++y) {
                if (y % 64 == 0)
                    DoProgressNoCancel(static_cast<int32_t>(10 * (i * int64_t(h) + y) / rows));
                const uchar* line = B->constScanLine(y) + off;
                unsigned char* dst = mem ? mem + size_t(y) * size_t(w) : row.data();
                for (int x = 0; x < w; ++x)
                    dst[size_t(x)] = line[3 * x];
                if (!mem && stream_write(cs, row.data(), w) != w)
                    throw Exception(QStringLiteral("Not enough memory for a picture of %1 x %2 pixels")
                                        .arg(w).arg(h));
            }
        }
        DoOnProgress(10);

        int32_t rc;
        if (FTargetPsnr > 0) {
            // The search takes the goal apart from the other options.
            std::string rest = options;
            const size_t at = rest.find(" psnr=");
            rest.erase(at, rest.find(' ', at + 1) == std::string::npos ? std::string::npos
                                                                        : rest.find(' ', at + 1) - at);
            rc = jpenc_encodepsnr(image.get(), adapter.get(), rest.c_str(), FTargetPsnr, &sink, &FReachedPsnr);
        } else {
            rc = jpenc_encode(image.get(), adapter.get(), options.c_str(), &sink);
        }
        sink.RethrowPending();
        if (rc != 0 && Stopped())
            throw EAbort(QStringLiteral("Operation Terminated Inside Encoder"));
        if (rc != 0)
            throw Exception(QStringLiteral("Internal Error , Can,t Export Image,\n Developers from Velmora "));
        DoProgressNoCancel(95);
        image.reset();
        const qint64 result = S->pos() - p0;
        adapter.Release();
        DoProgressNoCancel(100);
        return result;
    } catch (const EAbort&) {
        FAborted = true;
        return 0;
    }
}

qint64 TJPEG2000_IO::SaveToFileFrom(QImage* B, const QString& FileName)
{
    // The code stream goes to a temporary file beside the target, which
    // takes the target's name only once the save has completed: a cancel
    // or failure never leaves a truncated file in place of an earlier one.
    QSaveFile file(FileName);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError(FileName, file.errorString());
    SaveToStreamFrom(B, &file);
    if (FAborted) {
        file.cancelWriting();
        return 0;
    }
    const qint64 size = file.size();
    if (!file.commit())
        throw EFCreateError(FileName, file.errorString());
    return size;
}

qint64 TJPEG2000_IO::LoadFromStreamInTo(QImage* B, QIODevice* S)
{
    FStop = false;
    if (!B)
        throw Exception(QStringLiteral("Bitmap is not existing"));
    if (!S)
        throw Exception(QStringLiteral("Invalid Input Stream"));
    const qint64 p0 = S->pos();
    J2000EncoderProgressMessager sink(this);
    try {
        DoOnProgress(0);
        AdapterHolder adapter(TagStreamCreate(S, STREAM_READ | STREAM_BINARY), false);
        if (!adapter.get())
            throw Exception(QStringLiteral("Internal BUG , try to find Kestreline"));

        // A JP2 file is read down to its code stream box.
        const QByteArray head = S->peek(12);
        int64_t boxlen;
        if (jp2_has_signature(reinterpret_cast<const unsigned char*>(head.constData()),
                              size_t(head.size())) &&
            jp2_find_codestream(adapter.get(), &boxlen) < 0)
            throw Exception(QStringLiteral(
                "Stream format is not a jpeg2000 code stream (part1)\n compartible format by KORVAN (C)"));

        // The start-of-code-stream marker, left in the stream for the decoder.
        const int c0 = stream_getc(adapter.get());
        const int c1 = c0 >= 0 ? stream_getc(adapter.get()) : -1;
        if (c1 >= 0)
            stream_ungetc(adapter.get(), c1);
        if (c0 >= 0)
            stream_ungetc(adapter.get(), c0);
        if (c0 != 0xff || c1 != 0x4f)
            throw Exception(QStringLiteral(
                "Stream format is not a jpeg2000 code stream (part1)\n compartible format by KORVAN (C)"));

        ImageHolder image(jpdec_decode(adapter.get(), "", &sink));
        sink.RethrowPending();
        if (!image && Stopped())
            throw EAbort(QStringLiteral("Operation Terminated Inside Decoder"));
        if (!image)
            throw Exception(QStringLiteral("Error Of Stream decoding , internal of Velmora"));
        // One component is a grey picture, shown in all three channels.
        const bool grey = image_numcmpnts(image.get()) == 1 &&
                          (image_colormodel(image.get()) == IMAGE_CM_GRAY ||
                           image_colormodel(image.get()) == IMAGE_CM_UNKNOWN);
        if (!grey && image_colormodel(image.get()) == IMAGE_CM_UNKNOWN)
            image_setcolormodel(image.get(), IMAGE_CM_RGB);
        if (!grey && (image_colormodel(image.get()) != IMAGE_CM_RGB || image_numcmpnts(image.get()) != 3))
            throw Exception(QStringLiteral("Color Model is not supporting "));

        *B = QImage();
        *B = new_bitmap(image_width(image.get()), image_height(image.get()));
        for (int i = 0; i < 3; ++i) {
            const int c = grey ? 0 : i;
            stream_t* cs = image_cmpt_stream(image.get(), c);
            if (cs)
                stream_rewind(cs);
            // From 90 to 99 as rows go, a Cancel heard within a few rows.
            const int64_t rows = 3 * int64_t(std::max(image_cmpt_height(image.get(), c), 1));
            J2000CopyComponent(image.get(), c, i, B, [&](int32_t cy) {
                DoOnProgress(90 + static_cast<int32_t>(9 * (i * rows / 3 + cy) / rows));
            });
        }
        image.reset();
        const qint64 result = S->pos() - p0;
        adapter.Release();
        DoOnProgress(100);
        return result;
    } catch (const EAbort&) {
        return 0;
    }
}

qint64 TJPEG2000_IO::LoadFromFileInTo(QImage* B, const QString& FileName)
{
    if (!QFileInfo::exists(FileName))
        throw Exception(QStringLiteral("File Dos not exist : ") + FileName);
    std::unique_ptr<QFile> file = HostOpenFile(FileName);
    LoadFromStreamInTo(B, file.get());
    const qint64 size = file->size();
    file->close();
    return size;
}

QImage J2000LoadPicture(const QString& FileName)
{
    TJPEG2000_IO io;
    QImage picture;
    io.LoadFromFileInTo(&picture, FileName);
    if (picture.isNull())
        throw Exception(QStringLiteral("Error Of Stream decoding , internal of Velmora"));
    return picture;
}
