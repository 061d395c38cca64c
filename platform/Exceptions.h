// The exception classes of the window and the picture I/O components.
//
// Every failure outside the codec is an Exception carrying a message text.
// EAbort marks a cancelled operation: the picture I/O components raise it
// from their cancellable progress reports and catch it themselves.  File
// errors carry the file name in their message; stream errors mark a short
// read or write on a host stream.
#ifndef PLATFORM_EXCEPTIONS_H
#define PLATFORM_EXCEPTIONS_H

#include <QString>

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(const QString& message);
    ~Exception() override = default;

    const QString& Message() const { return FMessage; }
    // The message in UTF-8.
    const char* what() const noexcept override { return FUtf8.c_str(); }

private:
    QString FMessage;
    std::string FUtf8;
};

// A cancel; the abort of the cancellable progress reports carries the
// message "Operation Terminated Outside Decoder".
class EAbort : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be created or opened.
class EFileError : public Exception {
public:
    EFileError(const QString& message, const QString& fileName)
        : Exception(message), FFileName(fileName) {}
    const QString& FileName() const { return FFileName; }

private:
    QString FFileName;
};

// "Cannot create file "NAME". REASON"
class EFCreateError : public EFileError {
public:
    EFCreateError(const QString& fileName, const QString& reason);
};

// "Cannot open file "NAME". REASON"
class EFOpenError : public EFileError {
public:
    EFOpenError(const QString& fileName, const QString& reason);
};

// A host stream that delivered fewer bytes than asked: "Stream read error".
class EReadError : public Exception {
public:
    EReadError() : Exception(QStringLiteral("Stream read error")) {}
};

// A host stream that took fewer bytes than given: "Stream write error".
class EWriteError : public Exception {
public:
    EWriteError() : Exception(QStringLiteral("Stream write error")) {}
};

#endif
