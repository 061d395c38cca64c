#include "Exceptions.h"

Exception::Exception(const QString& message) : FMessage(message), FUtf8(message.toStdString())
{
}

static QString file_error_text(const char* verb, const QString& fileName, const QString& reason)
{
    QString text = QStringLiteral("Cannot %1 file \"%2\".").arg(QLatin1String(verb), fileName);
    if (!reason.isEmpty())
        text += QLatin1Char(' ') + reason;
    return text;
}

EFCreateError::EFCreateError(const QString& fileName, const QString& reason)
    : EFileError(file_error_text("create", fileName, reason), fileName)
{
}

EFOpenError::EFOpenError(const QString& fileName, const QString& reason)
    : EFileError(file_error_text("open", fileName, reason), fileName)
{
}
