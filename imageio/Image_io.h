// TImage_IO: the base of the picture I/O components, the non-visual
// components that convert between a working bitmap (QImage,
// Format_BGR888) and one compressed picture format.
//
// The base holds what every format shares: the format name, the quality
// and its twin the maximum bits per pixel, the rate allowance, an attached
// bitmap that LoadFromFile and SaveToFile use, the OnProgress event, and
// the stop flag with the two progress reporters.  Failures are Exception
// (platform/Exceptions.h); a cancel is EAbort, caught by the formats' load
// and save operations.
#ifndef IMAGEIO_IMAGE_IO_H
#define IMAGEIO_IMAGE_IO_H

#include <QImage>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

class TImage_IO;

// The progress event: Sender is the component, PercentDone 0..100.  May
// be unset (empty).
using TProgressEvent = std::function<void(TImage_IO* Sender, int32_t PercentDone)>;

class TImage_IO : public QObject {
    Q_OBJECT
    // Published in this order; a stored description applies them in it.
    Q_PROPERTY(double Quality READ Quality WRITE SetQuality)
    Q_PROPERTY(double MaxBitPerPixel READ MaxBitPerPixel WRITE SetMBPP)
    Q_PROPERTY(QString FormatName MEMBER FFormatName)
    Q_PROPERTY(TProgressEvent OnProgress READ OnProgress WRITE SetOnProgress)

public:
    explicit TImage_IO(QObject* Owner = nullptr);
    ~TImage_IO() override;

    double Quality() const { return FQuality; }
    // Quality 0..100 (clamped; NaN is 0).  Derives MaxBitPerPixel:
    // q >= 88: (q - 88) * 23 / 12 + 1 (88 gives 1, 100 gives 24);
    // below:   q * 0.00625 (75 gives 0.46875).
    void SetQuality(double q);
    double MaxBitPerPixel() const { return FMaxBitPerPixel; }
    // Bits per pixel 0..24 (clamped; NaN is 0).  Derives Quality:
    // m > 1: m + 76; otherwise m * 88.
    void SetMBPP(double m);

    QString FormatName() const { return FFormatName; }
    // Always raises "Property FormatName is read only".
    void SetFormatName(const QString& name);

    const TProgressEvent& OnProgress() const { return FOnProgress; }
    void SetOnProgress(TProgressEvent handler) { FOnProgress = std::move(handler); }

    // Takes a copy of B's content (size, format, pixels); nullptr is
    // ignored.
    void SetAttachedBitmap(const QImage* B);
    // The attached bitmap; the component keeps it.
    QImage* GetAttachedBitmap() { return &FBitmap; }

    // Clear the stop flag, then load into / save from the attached bitmap.
    // Results as the format's LoadFromFileInTo / SaveToFileFrom.
    qint64 LoadFromFile(const QString& FileName);
    qint64 SaveToFile(const QString& FileName);

    virtual qint64 LoadFromFileInTo(QImage* B, const QString& FileName) = 0;
    virtual qint64 SaveToFileFrom(QImage* B, const QString& FileName) = 0;
    // Sets the stop flag: the next cancellable report raises EAbort.
    virtual void CancelOperation();

    // Cancellable report: calls OnProgress, then raises EAbort ("Operation
    // Terminated Outside Decoder") when the stop flag is set.
    void DoOnProgress(int32_t PercentDone);
    // Report that never cancels: calls OnProgress when set.
    void DoProgressNoCancel(int32_t PercentDone);

    bool Stopped() const { return FStop; }
    int32_t RateAllowance() const { return FRateAllowance; }

protected:
    QString FFormatName;
    int32_t FRateAllowance;
    QImage FBitmap;
    double FQuality = 0;
    double FMaxBitPerPixel = 0;
    TProgressEvent FOnProgress;
    bool FStop;
};

#endif
