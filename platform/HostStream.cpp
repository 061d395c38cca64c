#include "HostStream.h"

#include "Exceptions.h"

void HostReadBuffer(QIODevice* stream, void* buf, qint64 count)
{
    if (count <= 0)
        return;
    char* p = static_cast<char*>(buf);
    qint64 done = 0;
    // A device may deliver in pieces (pipes, sockets); loop until it has
    // nothing more.
    while (done < count) {
        qint64 n = stream->read(p + done, count - done);
        if (n <= 0)
            throw EReadError();
        done += n;
    }
}

void HostWriteBuffer(QIODevice* stream, const void* buf, qint64 count)
{
    if (count <= 0)
        return;
    const char* p = static_cast<const char*>(buf);
    qint64 done = 0;
    while (done < count) {
        qint64 n = stream->write(p + done, count - done);
        if (n <= 0)
            throw EWriteError();
        done += n;
    }
}

qint64 HostSeek(QIODevice* stream, qint64 offset, int origin)
{
    if (stream->isSequential())
        return -1;
    qint64 base;
    switch (origin) {
    case 0: base = 0; break;
    case 1: base = stream->pos(); break;
    case 2: base = stream->size(); break;
    default: return -1;
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0)
        return -1;
    qint64 target = base + offset;
    if (!stream->seek(target))
        return -1;
    return stream->pos();
}

std::unique_ptr<QFile> HostOpenFile(const QString& fileName)
{
    auto file = std::make_unique<QFile>(fileName);
    if (!file->open(QIODevice::ReadOnly))
        throw EFOpenError(fileName, file->errorString());
    return file;
}

std::unique_ptr<QFile> HostCreateFile(const QString& fileName)
{
    auto file = std::make_unique<QFile>(fileName);
    if (!file->open(QIODevice::ReadWrite | QIODevice::Truncate))
        throw EFCreateError(fileName, file->errorString());
    return file;
}
