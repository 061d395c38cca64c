// Host streams: the framework byte streams (QIODevice: QFile, QBuffer) that
// the picture I/O components read and write, with the exact-transfer
// helpers they rely on.
//
// The read and write helpers move exactly the bytes asked for or raise
// (EReadError, EWriteError); a short read consumes what the device had.
// Opening a file raises EFCreateError / EFOpenError with the file's name.
#ifndef PLATFORM_HOSTSTREAM_H
#define PLATFORM_HOSTSTREAM_H

#include <QFile>
#include <QIODevice>
#include <QString>

#include <memory>

// Reads exactly count bytes into buf, or raises EReadError.
void HostReadBuffer(QIODevice* stream, void* buf, qint64 count);
// Writes exactly count bytes from buf, or raises EWriteError.
void HostWriteBuffer(QIODevice* stream, const void* buf, qint64 count);

inline qint64 HostPosition(const QIODevice* stream) { return stream->pos(); }
inline qint64 HostSize(const QIODevice* stream) { return stream->size(); }
// Moves to offset from origin (0 start, 1 current position, 2 end) and
// returns the new absolute position, or -1 when the device refuses (a
// negative target, a sequential device).  Never raises.
qint64 HostSeek(QIODevice* stream, qint64 offset, int origin);

// The file opened for reading; raises EFOpenError.
std::unique_ptr<QFile> HostOpenFile(const QString& fileName);
// The file created anew (truncated when it exists) for writing and
// reading; raises EFCreateError.
std::unique_ptr<QFile> HostCreateFile(const QString& fileName);

#endif
