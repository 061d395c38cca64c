// Buffered byte streams: buffer logic, memory and file devices.
#include "base/stream.h"

#include "base/bigmem.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Memory device.

struct stream_memobj_t {
    unsigned char* buf_;  // the data
    int64_t bufsize_;     // allocated size
    int64_t len_;         // length of valid data
    int64_t pos_;         // current position
    int64_t zeroend_;     // the bytes from len_ up to here are known to be zero
    int growable_;        // may be reallocated to a larger size
    int myalloc_;         // buf_ is owned (freed on close)
    bool mapped_;         // buf_ comes from bigmem_alloc (fixed size only)
    int64_t discarded_;   // the bytes below are not read again (stream_memdiscard)
};

// Largest memory size (1 TiB): a growable memory never doubles beyond it
// and a fixed one is never made larger, so the size arithmetic cannot
// overflow and allocations stay within what the allocator accepts; a write
// that would need more fails.
constexpr int64_t MEM_MAXBUFSIZE = int64_t(1) << 40;
constexpr int64_t MEM_INITBUFSIZE = 1024;

int64_t mem_read(void* obj, unsigned char* buf, int64_t cnt)
{
    auto* m = static_cast<stream_memobj_t*>(obj);
    if (cnt < 0)
        return -1;
    if (m->pos_ >= m->len_)
        return 0;
    int64_t n = std::min(cnt, m->len_ - m->pos_);
    std::memcpy(buf, m->buf_ + m->pos_, static_cast<size_t>(n));
    m->pos_ += n;
    return n;
}

int mem_grow(stream_memobj_t* m, int64_t need)
{
    int64_t size = std::max<int64_t>(m->bufsize_, 1);
    while (size < need) {
        if (size > MEM_MAXBUFSIZE / 2)
            return -1;
        size *= 2;
    }
    unsigned char* buf;
    if (m->myalloc_) {
        buf = static_cast<unsigned char*>(std::realloc(m->buf_, static_cast<size_t>(size)));
        if (!buf)
            return -1;
    } else {
        buf = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
        if (!buf)
            return -1;
        std::memcpy(buf, m->buf_, static_cast<size_t>(m->len_));
        m->myalloc_ = 1;
        m->zeroend_ = m->len_;
    }
    m->buf_ = buf;
    m->bufsize_ = size;
    return 0;
}

int64_t mem_write(void* obj, const unsigned char* buf, int64_t cnt)
{
    auto* m = static_cast<stream_memobj_t*>(obj);
    if (cnt < 0 || m->pos_ > INT64_MAX - cnt)
        return -1;
    int64_t end = m->pos_ + cnt;
    if (end > m->bufsize_ && m->growable_ && mem_grow(m, end) < 0)
        return -1;
    if (m->pos_ > m->len_) {
        // Zero the gap left by a seek beyond the end (within the buffer).
        int64_t gapend = std::min(m->pos_, m->bufsize_);
        if (gapend > m->len_) {
            // A fresh buffer is zero already: its pages stay untouched.
            const int64_t from = std::max(m->len_, std::min(m->zeroend_, gapend));
            std::memset(m->buf_ + from, 0, static_cast<size_t>(gapend - from));
            m->len_ = gapend;
        }
        if (m->pos_ > m->len_)
            return 0;
    }
    int64_t n = std::max<int64_t>(0, std::min(cnt, m->bufsize_ - m->pos_));
    std::memcpy(m->buf_ + m->pos_, buf, static_cast<size_t>(n));
    m->pos_ += n;
    m->len_ = std::max(m->len_, m->pos_);
    return n;
}

int64_t mem_seek(void* obj, int64_t offset, int origin)
{
    auto* m = static_cast<stream_memobj_t*>(obj);
    int64_t base;
    switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = m->pos_; break;
    case SEEK_END: base = m->len_; break;
    default: return -1;
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0)
        return -1;
    m->pos_ = base + offset;
    return m->pos_;
}

int mem_close(void* obj)
{
    auto* m = static_cast<stream_memobj_t*>(obj);
    if (m->myalloc_)
        bigmem_free(m->buf_, static_cast<size_t>(m->bufsize_), m->mapped_);
    delete m;
    return 0;
}

const stream_ops_t mem_ops = {mem_read, mem_write, mem_seek, mem_close};

// ---------------------------------------------------------------------------
// File device: an operating-system descriptor.

struct stream_fileobj_t {
    int fd_;
};

// Largest transfer handed to the system in one call.
constexpr int64_t FILE_MAXIO = int64_t(1) << 30;

int64_t file_read(void* obj, unsigned char* buf, int64_t cnt)
{
    auto* f = static_cast<stream_fileobj_t*>(obj);
    if (cnt < 0)
        return -1;
    for (;;) {
        ssize_t n = ::read(f->fd_, buf, static_cast<size_t>(std::min(cnt, FILE_MAXIO)));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return -1;
    }
}

int64_t file_write(void* obj, const unsigned char* buf, int64_t cnt)
{
    auto* f = static_cast<stream_fileobj_t*>(obj);
    if (cnt < 0)
        return -1;
    int64_t done = 0;
    while (done < cnt) {
        ssize_t n = ::write(f->fd_, buf + done, static_cast<size_t>(std::min(cnt - done, FILE_MAXIO)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done > 0 ? done : -1;
        done += n;
    }
    return done;
}

int64_t file_seek(void* obj, int64_t offset, int origin)
{
    auto* f = static_cast<stream_fileobj_t*>(obj);
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END)
        return -1;
    off_t pos = ::lseek(f->fd_, static_cast<off_t>(offset), origin);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int file_close(void* obj)
{
    auto* f = static_cast<stream_fileobj_t*>(obj);
    int r = ::close(f->fd_);
    delete f;
    return r < 0 ? -1 : 0;
}

const stream_ops_t file_ops = {file_read, file_write, file_seek, file_close};

// ---------------------------------------------------------------------------
// Stream object.

stream_t* stream_alloc(int openmode, int bufmode, int bufsize = STREAM_BUFSIZE)
{
    auto* s = new (std::nothrow) stream_t{};
    if (!s)
        return nullptr;
    s->openmode_ = openmode;
    s->rwlimit_ = -1;
    if ((bufmode & STREAM_BUFMODEMASK) == STREAM_UNBUF) {
        s->bufbase_ = s->tinybuf_;
        s->bufsize_ = 1;
        s->bufmode_ = STREAM_UNBUF;
    } else {
        // Line buffering has no meaning for binary code stream data: it is
        // buffered fully.
        s->bufbase_ = static_cast<unsigned char*>(std::malloc(bufsize + STREAM_MAXPUTBACK));
        if (!s->bufbase_) {
            delete s;
            return nullptr;
        }
        s->bufsize_ = bufsize;
        s->bufmode_ = (bufmode & STREAM_BUFMODEMASK & ~STREAM_FREEBUF) | STREAM_FREEBUF;
    }
    s->bufstart_ = s->bufbase_ + STREAM_MAXPUTBACK;
    s->ptr_ = s->bufstart_;
    s->cnt_ = 0;
    return s;
}

// Parses a mode string into open mode bits; 0 when it allows neither
// reading nor writing.
int stream_parsemode(const char* mode)
{
    int openmode = 0;
    for (const char* p = mode; p && *p; ++p) {
        switch (*p) {
        case 'r': openmode |= STREAM_READ; break;
        case 'w': openmode |= STREAM_WRITE | STREAM_CREATE; break;
        case 'a': openmode |= STREAM_WRITE | STREAM_APPEND; break;
        case 'b': openmode |= STREAM_BINARY; break;
        case '+': openmode |= STREAM_READ | STREAM_WRITE; break;
        default: break;
        }
    }
    return (openmode & (STREAM_READ | STREAM_WRITE)) ? openmode : 0;
}

int stream_oflags(int openmode)
{
    int oflags;
    if ((openmode & STREAM_READ) && (openmode & STREAM_WRITE))
        oflags = O_RDWR;
    else if (openmode & STREAM_WRITE)
        oflags = O_WRONLY;
    else
        oflags = O_RDONLY;
    if (openmode & STREAM_APPEND)
        oflags |= O_APPEND | O_CREAT;
    if (openmode & STREAM_CREATE)
        oflags |= O_CREAT | O_TRUNC;
    return oflags | O_CLOEXEC;
}

// Stream over a descriptor; the descriptor is left open on failure.
stream_t* stream_openfd(int fd, int openmode)
{
    auto* f = new (std::nothrow) stream_fileobj_t{fd};
    if (!f)
        return nullptr;
    stream_t* s = stream_alloc(openmode, STREAM_FULLBUF);
    if (!s) {
        delete f;
        return nullptr;
    }
    s->ops_ = &file_ops;
    s->obj_ = f;
    return s;
}

// Writes out the data part of the buffer and makes it an empty write
// buffer.  The buffer must not hold read-ahead data.
int stream_flushdata(stream_t* s)
{
    if (s->bufmode_ & STREAM_WRBUF) {
        int64_t n = s->ptr_ - s->bufstart_;
        if (n > 0 && s->ops_->write_(s->obj_, s->bufstart_, n) != n) {
            s->flags_ |= STREAM_ERR;
            return -1;
        }
    }
    s->cnt_ = s->bufsize_;
    s->ptr_ = s->bufstart_;
    s->bufmode_ |= STREAM_WRBUF;
    return 0;
}

// Drops the buffer contents (after a flush) and returns to the empty state.
void stream_resetbuf(stream_t* s)
{
    s->cnt_ = 0;
    s->ptr_ = s->bufstart_;
    s->bufmode_ &= ~(STREAM_RDBUF | STREAM_WRBUF | STREAM_PUTBACK);
}

// Seeks within the read-ahead data when the target lies in it, which spares
// refilling the buffer for short skips (row by row transfers of a
// rectangle).  The new position, or -1 when the target lies elsewhere.
int64_t stream_seekinbuf(stream_t* s, int64_t offset, int origin)
{
    if ((s->bufmode_ & (STREAM_RDBUF | STREAM_PUTBACK)) != STREAM_RDBUF ||
        (origin != SEEK_SET && origin != SEEK_CUR))
        return -1;
    int64_t devpos = s->ops_->seek_(s->obj_, 0, SEEK_CUR);
    if (devpos < 0)
        return -1;
    int64_t cur = devpos - s->cnt_;
    int64_t target;
    if (origin == SEEK_SET)
        target = offset;
    else if (__builtin_add_overflow(cur, offset, &target))
        return -1;
    unsigned char* end = s->ptr_ + s->cnt_;
    int64_t bufpos = devpos - (end - s->bufstart_);  // position of bufstart_
    if (target < bufpos || target > devpos)
        return -1;
    s->ptr_ = s->bufstart_ + (target - bufpos);
    s->cnt_ = static_cast<int>(devpos - target);
    return target;
}

// ---------------------------------------------------------------------------
// Opening and closing.

stream_t* memopen(unsigned char* buf, int64_t size, bool growable, int bufsize, bool big = false)
{
    auto* m = new (std::nothrow) stream_memobj_t{};
    if (!m)
        return nullptr;
    m->bufsize_ = size;
    m->growable_ = growable;
    if (buf) {
        m->buf_ = buf;
        m->myalloc_ = 0;
    } else {
        if (m->bufsize_ > MEM_MAXBUFSIZE)
            m->buf_ = nullptr;
        else if (big && !growable)
            m->buf_ = static_cast<unsigned char*>(
                bigmem_alloc(static_cast<size_t>(m->bufsize_), &m->mapped_));
        else
            m->buf_ = static_cast<unsigned char*>(std::calloc(static_cast<size_t>(m->bufsize_), 1));
        if (!m->buf_) {
            delete m;
            return nullptr;
        }
        m->myalloc_ = 1;
        m->zeroend_ = m->bufsize_;
    }
    stream_t* s = stream_alloc(STREAM_READ | STREAM_WRITE | STREAM_BINARY, STREAM_FULLBUF, bufsize);
    if (!s) {
        mem_close(m);
        return nullptr;
    }
    s->ops_ = &mem_ops;
    s->obj_ = m;
    return s;
}

}  // namespace

stream_t* stream_memopen(unsigned char* buf, int64_t size)
{
    if (buf && size <= 0)
        return nullptr;
    // A memory stream needs little buffer of its own: its data is in
    // memory already.  The encoder keeps one per code block.
    return size > 0 ? memopen(buf, size, false, STREAM_MEMBUFSIZE)
                    : memopen(nullptr, MEM_INITBUFSIZE, true, STREAM_MEMBUFSIZE);
}

stream_t* stream_memopenbig(int64_t size)
{
    return size > 0 ? memopen(nullptr, size, false, STREAM_MEMBUFSIZE, true) : nullptr;
}

stream_t* stream_memcreate(int64_t initsize)
{
    // The decoder keeps one per code-block segment, mostly written once.
    return initsize > 0 ? memopen(nullptr, initsize, true, 64) : nullptr;
}

stream_t* stream_memview(unsigned char* buf, int64_t len)
{
    if (!buf || len < 0 || len > MEM_MAXBUFSIZE)
        return nullptr;
    auto* m = new (std::nothrow) stream_memobj_t{};
    if (!m)
        return nullptr;
    m->buf_ = buf;
    m->bufsize_ = len;
    m->len_ = len;
    m->zeroend_ = len;
    stream_t* s = stream_alloc(STREAM_READ | STREAM_WRITE | STREAM_BINARY, STREAM_UNBUF);
    if (!s) {
        delete m;
        return nullptr;
    }
    s->ops_ = &mem_ops;
    s->obj_ = m;
    return s;
}

stream_t* stream_tmpfile()
{
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir)
        dir = "/tmp";
    std::string name = std::string(dir) + "/jp2tmpXXXXXX";
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    ::unlink(name.c_str());
    stream_t* s = stream_openfd(fd, STREAM_READ | STREAM_WRITE | STREAM_BINARY);
    if (!s)
        ::close(fd);
    return s;
}

stream_t* stream_fopen(const char* filename, const char* mode)
{
    if (!filename)
        return nullptr;
    int openmode = stream_parsemode(mode);
    if (!openmode)
        return nullptr;
    int fd;
    do
        fd = ::open(filename, stream_oflags(openmode), 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    stream_t* s = stream_openfd(fd, openmode);
    if (!s)
        ::close(fd);
    return s;
}

stream_t* stream_fdopen(int fd, const char* mode)
{
    int openmode = stream_parsemode(mode);
    if (fd < 0 || !openmode)
        return nullptr;
    return stream_openfd(fd, openmode);
}

stream_t* stream_create(const stream_ops_t* ops, void* obj, int openmode, int bufmode)
{
    if (!ops || !ops->read_ || !ops->write_ || !ops->seek_ || !ops->close_)
        return nullptr;
    stream_t* s = stream_alloc(openmode, bufmode);
    if (!s)
        return nullptr;
    s->ops_ = ops;
    s->obj_ = obj;
    return s;
}

void stream_destroy(stream_t* stream)
{
    if (!stream)
        return;
    if (stream->bufmode_ & STREAM_FREEBUF)
        std::free(stream->bufbase_);
    delete stream;
}

int stream_close(stream_t* stream)
{
    if (!stream)
        return -1;
    int result = stream_flush(stream);
    if (stream->ops_->close_(stream->obj_) != 0)
        result = -1;
    stream_destroy(stream);
    return result;
}

// ---------------------------------------------------------------------------
// Slow paths.

int stream_fillbuf(stream_t* stream, int getflag)
{
    if ((stream->flags_ & STREAM_ERRMASK) || !(stream->openmode_ & STREAM_READ))
        return -1;
    if (stream->bufmode_ & STREAM_WRBUF) {
        // Reading right after writing: write out first, so that the device
        // stands at the logical position.
        if (stream_flushdata(stream) < 0)
            return -1;
        stream_resetbuf(stream);
    }
    if (!(stream->bufmode_ & STREAM_RDBUF) || stream->cnt_ <= 0) {
        stream->bufmode_ = (stream->bufmode_ & ~STREAM_PUTBACK) | STREAM_RDBUF;
        stream->ptr_ = stream->bufstart_;
        int64_t n = stream->ops_->read_(stream->obj_, stream->bufstart_, stream->bufsize_);
        if (n <= 0 || n > stream->bufsize_) {
            stream->flags_ |= (n == 0) ? STREAM_EOF : STREAM_ERR;
            stream->cnt_ = 0;
            return -1;
        }
        stream->cnt_ = static_cast<int>(n);
    }
    if (!getflag)
        return *stream->ptr_;
    --stream->cnt_;
    ++stream->rwcnt_;
    return *stream->ptr_++;
}

int stream_flushbuf(stream_t* stream, int c)
{
    if ((stream->flags_ & STREAM_ERRMASK) ||
        !(stream->openmode_ & (STREAM_WRITE | STREAM_APPEND)))
        return -1;
    if (stream->bufmode_ & STREAM_RDBUF) {
        // Writing right after reading: bring the device back from its
        // read-ahead to the logical position.
        int64_t offset = -static_cast<int64_t>(stream->cnt_);
        stream_resetbuf(stream);
        if (stream->ops_->seek_(stream->obj_, offset, SEEK_CUR) < 0)
            return -1;
    }
    if (stream_flushdata(stream) < 0)
        return -1;
    --stream->cnt_;
    ++stream->rwcnt_;
    *stream->ptr_++ = static_cast<unsigned char>(c);
    return c & 0xff;
}

// ---------------------------------------------------------------------------
// Block transfer.

// How many of cnt bytes the read/write limit still allows; 0 (with
// STREAM_RWLIMIT set) when it is reached.
static int64_t limitedcount(stream_t* stream, int64_t cnt)
{
    if (stream->rwlimit_ < 0)
        return cnt;
    const int64_t room = stream->rwlimit_ - stream->rwcnt_;
    if (room <= 0) {
        stream->flags_ |= STREAM_RWLIMIT;
        return 0;
    }
    return std::min(cnt, room);
}

int64_t stream_read(stream_t* stream, void* buf, int64_t cnt)
{
    if (cnt < 0 || (!buf && cnt > 0))
        return -1;
    auto* dst = static_cast<unsigned char*>(buf);
    int64_t total = 0;
    while (total < cnt) {
        if (stream->flags_ & STREAM_ERRMASK)
            break;
        const int64_t want = limitedcount(stream, cnt - total);
        if (want <= 0)
            break;
        if (stream->cnt_ > 0 && (stream->bufmode_ & STREAM_RDBUF)) {
            int64_t n = std::min<int64_t>(want, stream->cnt_);
            std::memcpy(dst + total, stream->ptr_, static_cast<size_t>(n));
            stream->ptr_ += n;
            stream->cnt_ -= static_cast<int>(n);
            stream->rwcnt_ += n;
            total += n;
        } else if (want >= stream->bufsize_ && stream->ops_ != nullptr &&
                   (stream->bufmode_ & (STREAM_FREEBUF | STREAM_WRBUF)) == STREAM_FREEBUF &&
                   (stream->openmode_ & STREAM_READ)) {
            // Large reads from an empty buffer go straight to the caller.
            // The result is the same as through the buffer: put-back
            // stores the given bytes and needs no buffered data.
            int64_t n = stream->ops_->read_(stream->obj_, dst + total, want);
            stream->bufmode_ = (stream->bufmode_ & ~STREAM_PUTBACK) | STREAM_RDBUF;
            stream->ptr_ = stream->bufstart_;
            stream->cnt_ = 0;
            if (n <= 0 || n > want) {
                stream->flags_ |= (n == 0) ? STREAM_EOF : STREAM_ERR;
                break;
            }
            stream->rwcnt_ += n;
            total += n;
        } else {
            int c = stream_fillbuf(stream, 1);
            if (c < 0)
                break;
            dst[total++] = static_cast<unsigned char>(c);
        }
    }
    return total;
}

int64_t stream_write(stream_t* stream, const void* buf, int64_t cnt)
{
    if (cnt < 0 || (!buf && cnt > 0))
        return -1;
    auto* src = static_cast<const unsigned char*>(buf);
    int64_t total = 0;
    while (total < cnt) {
        if (stream->flags_ & STREAM_ERRMASK)
            break;
        const int64_t want = limitedcount(stream, cnt - total);
        if (want <= 0)
            break;
        if (stream->cnt_ > 0 && (stream->bufmode_ & STREAM_WRBUF)) {
            int64_t n = std::min<int64_t>(want, stream->cnt_);
            std::memcpy(stream->ptr_, src + total, static_cast<size_t>(n));
            stream->ptr_ += n;
            stream->cnt_ -= static_cast<int>(n);
            stream->rwcnt_ += n;
            total += n;
        } else {
            if (stream_flushbuf(stream, src[total]) < 0)
                break;
            ++total;
        }
    }
    return total;
}

int stream_puts(stream_t* stream, const char* s)
{
    if (!s)
        return -1;
    int64_t len = static_cast<int64_t>(std::strlen(s));
    return stream_write(stream, s, len) == len ? 0 : -1;
}

int stream_printf(stream_t* stream, const char* fmt, ...)
{
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int len = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    int result;
    if (len < 0) {
        result = -1;
    } else if (static_cast<size_t>(len) < sizeof buf) {
        result = stream_write(stream, buf, len) == len ? 0 : -1;
    } else {
        // Longer texts are formatted whole rather than cut.
        std::vector<char> big(static_cast<size_t>(len) + 1);
        std::vsnprintf(big.data(), big.size(), fmt, ap2);
        result = stream_write(stream, big.data(), len) == len ? 0 : -1;
    }
    va_end(ap2);
    return result;
}

// ---------------------------------------------------------------------------
// Positioning.

int64_t stream_seek(stream_t* stream, int64_t offset, int origin)
{
    int64_t pos = stream_seekinbuf(stream, offset, origin);
    if (pos >= 0)
        return pos;
    int64_t ahead = 0;  // how far the device is ahead of the reader
    if (stream->bufmode_ & STREAM_RDBUF) {
        ahead = stream->cnt_;
        if (origin == SEEK_CUR)
            offset -= ahead;
    } else if (stream->bufmode_ & STREAM_WRBUF) {
        if (stream_flush(stream) < 0)
            return -1;
    }
    stream_resetbuf(stream);
    pos = stream->ops_->seek_(stream->obj_, offset, origin);
    if (pos < 0) {
        // A failed seek leaves the position where it was: the device, which
        // did not move, is brought back from its read-ahead.
        if (ahead > 0)
            stream->ops_->seek_(stream->obj_, -ahead, SEEK_CUR);
        return -1;
    }
    return pos;
}

int64_t stream_tell(stream_t* stream)
{
    int64_t pos = stream->ops_->seek_(stream->obj_, 0, SEEK_CUR);
    if (pos < 0)
        return -1;
    if (stream->bufmode_ & STREAM_RDBUF)
        pos -= stream->cnt_;
    else if (stream->bufmode_ & STREAM_WRBUF)
        pos += stream->ptr_ - stream->bufstart_;
    return pos;
}

int stream_rewind(stream_t* stream)
{
    return stream_seek(stream, 0, SEEK_SET) < 0 ? -1 : 0;
}

int stream_flush(stream_t* stream)
{
    // Nothing to write while read-ahead data or nothing is buffered.
    if (!(stream->bufmode_ & STREAM_WRBUF) || stream->ptr_ == stream->bufstart_)
        return 0;
    // Data already put is written even after end of data or the limit was
    // reached; only a device error stops it.
    if (stream->flags_ & STREAM_ERR)
        return -1;
    return stream_flushdata(stream);
}

// ---------------------------------------------------------------------------
// Copy, dump, counters.

int stream_copy(stream_t* out, stream_t* in, int64_t n)
{
    unsigned char buf[STREAM_BUFSIZE];
    int64_t left = n;
    while (n < 0 || left > 0) {
        int64_t want = n < 0 ? int64_t(sizeof buf) : std::min<int64_t>(left, sizeof buf);
        int64_t got = stream_read(in, buf, want);
        if (got < 0)
            return -1;
        if (got > 0 && stream_write(out, buf, got) != got)
            return -1;
        left -= got;
        if (got < want) {
            // The input stopped: a clean end is success only when copying
            // everything; a copy of n bytes that falls short fails.
            if (stream_error(in) || n >= 0)
                return -1;
            return 0;
        }
    }
    return 0;
}

int stream_display(stream_t* stream, FILE* fp, int64_t n)
{
    if (!fp || n < 0)
        return -1;
    // Lines from the last multiple of 16 below n onward are printed, and
    // the first line; the bytes between are read but not printed.
    int64_t lastline = n > 0 ? ((n - 1) / 16) * 16 : 0;
    for (int64_t i = 0; i < n; i += 16) {
        int m = static_cast<int>(std::min<int64_t>(16, n - i));
        unsigned char line[16];
        for (int j = 0; j < m; ++j) {
            int c = stream_getc(stream);
            if (c < 0)
                return -1;
            line[j] = static_cast<unsigned char>(c);
        }
        if (i != 0 && i < lastline)
            continue;
        std::fprintf(fp, "%08llx:", static_cast<unsigned long long>(i));
        for (int j = 0; j < m; ++j)
            std::fprintf(fp, " %02x", line[j]);
        std::fputc(' ', fp);
        for (int j = m; j < 16; ++j)
            std::fputs("   ", fp);
        for (int j = 0; j < m; ++j)
            std::fputc(std::isprint(line[j]) ? line[j] : ' ', fp);
        std::fputc('\n', fp);
    }
    return 0;
}

void stream_clearerr(stream_t* stream)
{
    stream->flags_ &= ~STREAM_ERRMASK;
}

int64_t stream_setrwcount(stream_t* stream, int64_t rwcnt)
{
    int64_t old = stream->rwcnt_;
    stream->rwcnt_ = rwcnt;
    return old;
}

int64_t stream_setrwlimit(stream_t* stream, int64_t rwlimit)
{
    int64_t old = stream->rwlimit_;
    stream->rwlimit_ = rwlimit;
    return old;
}

// ---------------------------------------------------------------------------
// Memory streams.

int stream_ismem(const stream_t* stream)
{
    return stream && stream->ops_ == &mem_ops;
}

unsigned char* stream_memdata(stream_t* stream)
{
    if (!stream_ismem(stream) || stream_flush(stream) < 0)
        return nullptr;
    return static_cast<stream_memobj_t*>(stream->obj_)->buf_;
}

void stream_memdiscard(stream_t* stream, int64_t len)
{
    if (!stream_ismem(stream) || stream_flush(stream) < 0)
        return;
    auto* m = static_cast<stream_memobj_t*>(stream->obj_);
    len = std::min(len, m->len_);
    if (len > m->discarded_) {
        bigmem_discard(m->buf_, static_cast<size_t>(len), m->mapped_);
        m->discarded_ = len;
    }
}

int64_t stream_memlength(stream_t* stream)
{
    if (!stream_ismem(stream) || stream_flush(stream) < 0)
        return -1;
    return static_cast<stream_memobj_t*>(stream->obj_)->len_;
}

int64_t stream_membufsize(const stream_t* stream)
{
    if (!stream_ismem(stream))
        return -1;
    return static_cast<const stream_memobj_t*>(stream->obj_)->bufsize_;
}
