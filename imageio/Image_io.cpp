#include "Image_io.h"

#include "Exceptions.h"
#include "Jpeg2000_params.h"

TImage_IO::TImage_IO(QObject* Owner)
    : QObject(Owner), FFormatName(QStringLiteral("None")), FRateAllowance(128),
      FBitmap(0, 0, QImage::Format_BGR888), FStop(false)
{
    SetQuality(75);
}

TImage_IO::~TImage_IO() = default;

void TImage_IO::SetQuality(double q)
{
    if (q > 100)
        q = 100;
    if (!(q >= 0))
        q = 0;
    FQuality = q;
    FMaxBitPerPixel = J2000QualityMBPP(q);
}

void TImage_IO::SetMBPP(double m)
{
    if (m > 24)
        m = 24;
    if (!(m >= 0))
        m = 0;
    FMaxBitPerPixel = m;
    if (m > 1)
        FQuality = m + 76;
    else
        FQuality = static_cast<double>(static_cast<long double>(m) * 88);
}

void TImage_IO::SetFormatName(const QString&)
{
    throw Exception(QStringLiteral("Property FormatName is read only"));
}

void TImage_IO::SetAttachedBitmap(const QImage* B)
{
    if (B)
        FBitmap = B->copy();
}

qint64 TImage_IO::LoadFromFile(const QString& FileName)
{
    FStop = false;
    return LoadFromFileInTo(&FBitmap, FileName);
}

qint64 TImage_IO::SaveToFile(const QString& FileName)
{
    FStop = false;
    return SaveToFileFrom(&FBitmap, FileName);
}

void TImage_IO::CancelOperation()
{
    FStop = true;
}

void TImage_IO::DoOnProgress(int32_t PercentDone)
{
    if (FOnProgress)
        FOnProgress(this, PercentDone);
    if (FStop)
        throw EAbort(QStringLiteral("Operation Terminated Outside Decoder"));
}

void TImage_IO::DoProgressNoCancel(int32_t PercentDone)
{
    if (FOnProgress)
        FOnProgress(this, PercentDone);
}
