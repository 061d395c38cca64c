#include "Tag_stream.h"

#include "HostStream.h"

#include <QIODevice>

namespace {

int64_t tag_read(void* obj, unsigned char* buf, int64_t cnt)
{
    try {
        HostReadBuffer(static_cast<QIODevice*>(obj), buf, cnt);
        return cnt;
    } catch (...) {
        return 0;
    }
}

int64_t tag_write(void* obj, const unsigned char* buf, int64_t cnt)
{
    try {
        HostWriteBuffer(static_cast<QIODevice*>(obj), buf, cnt);
        return cnt;
    } catch (...) {
        return 0;
    }
}

int64_t tag_seek(void* obj, int64_t offset, int origin)
{
    try {
        return HostSeek(static_cast<QIODevice*>(obj), offset, origin);
    } catch (...) {
        return -1;
    }
}

int tag_close(void*)
{
    return 0;
}

} // namespace

const stream_ops_t TagStreamOps = {tag_read, tag_write, tag_seek, tag_close};

stream_t* TagStreamCreate(QIODevice* host, int openmode)
{
    if (!host)
        return nullptr;
    const int bufmode = (openmode & STREAM_WRITE) && !(openmode & STREAM_READ) ? STREAM_FULLBUF
                                                                                 : STREAM_UNBUF;
    return stream_create(&TagStreamOps, host, openmode, bufmode);
}

void TagStreamRelease(stream_t* stream)
{
    stream_destroy(stream);
}
