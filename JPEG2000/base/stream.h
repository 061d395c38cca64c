// Buffered byte streams.
//
// Every byte the codec reads or writes goes through a stream_t: a buffered
// byte stream over a pluggable device (a table of four operations).  The
// devices provided here are memory (fixed size or growable), operating-system
// files (temporary, named, or an open descriptor); other devices can be
// plugged in with stream_create().
//
// Single-byte get, put, peek and put-back are in-line fast paths; the buffer
// is refilled or flushed by out-of-line slow paths.  Positions, sizes,
// offsets and transfer counts are 64-bit.  Results are 0 / -1 (or nullptr
// from a failed open); a byte get returns 0..255 or -1.
//
// A stream is in one of three buffer states: empty, holding read-ahead data
// (STREAM_RDBUF), or holding unwritten data (STREAM_WRBUF).  Switching
// between reading and writing is done by a seek; the slow paths also make
// the switch themselves when a caller mixes the two without one.  Once a
// state flag (end of data, error, read/write limit) is set, every get and put
// fails until the flag is cleared with stream_clearerr() or the stream is
// closed; a seek does not clear it.
#ifndef JPEG2000_STREAM_H
#define JPEG2000_STREAM_H

#include <cstdint>
#include <cstdio>

// Open modes (openmode_).
constexpr int STREAM_READ = 0x01;
constexpr int STREAM_WRITE = 0x02;
constexpr int STREAM_APPEND = 0x04;
constexpr int STREAM_BINARY = 0x08;
constexpr int STREAM_CREATE = 0x10;

// Buffering (bufmode_): kind in the low four bits, plus buffer state bits.
constexpr int STREAM_UNBUF = 0x00;
constexpr int STREAM_LINEBUF = 0x01;
constexpr int STREAM_FULLBUF = 0x02;
constexpr int STREAM_BUFMODEMASK = 0x0f;
constexpr int STREAM_FREEBUF = 0x08;  // the stream owns bufbase_
constexpr int STREAM_RDBUF = 0x10;    // the buffer holds read-ahead data
constexpr int STREAM_WRBUF = 0x20;    // the buffer holds unwritten data
constexpr int STREAM_PUTBACK = 0x40;  // bytes were put back since the last refill

// State flags (flags_).
constexpr int STREAM_EOF = 0x01;
constexpr int STREAM_ERR = 0x02;
constexpr int STREAM_RWLIMIT = 0x04;
constexpr int STREAM_ERRMASK = STREAM_EOF | STREAM_ERR | STREAM_RWLIMIT;

// Bytes that can always be put back right after a refill.
constexpr int STREAM_MAXPUTBACK = 16;
// Data part of the buffer of a fully buffered stream.
constexpr int STREAM_BUFSIZE = 8192;
// Buffer size of memory streams.
constexpr int STREAM_MEMBUFSIZE = 512;

// Device operations.  read returns the bytes read (0 at the end, negative on
// error); write returns the bytes written (fewer than asked is an error);
// seek returns the new position or a negative value on error (origin 0 from
// the start, 1 from the current position, 2 from the end); close returns 0 on
// success.
struct stream_ops_t {
    int64_t (*read_)(void* obj, unsigned char* buf, int64_t cnt);
    int64_t (*write_)(void* obj, const unsigned char* buf, int64_t cnt);
    int64_t (*seek_)(void* obj, int64_t offset, int origin);
    int (*close_)(void* obj);
};

struct stream_t {
    int openmode_;               // STREAM_READ | STREAM_WRITE | ...
    int bufmode_;                // buffering kind and buffer state
    int flags_;                  // STREAM_EOF | STREAM_ERR | STREAM_RWLIMIT
    unsigned char* bufbase_;     // buffer including the put-back reserve
    unsigned char* bufstart_;    // bufbase_ + STREAM_MAXPUTBACK
    int bufsize_;                // size of the data part
    unsigned char* ptr_;         // next byte to get or put
    int cnt_;                    // bytes left to get / room left to put
    unsigned char tinybuf_[STREAM_MAXPUTBACK + 1];  // buffer of unbuffered streams
    const stream_ops_t* ops_;    // device operations (not owned)
    void* obj_;                  // device object
    int64_t rwcnt_;              // bytes got or put since creation / last set
    int64_t rwlimit_;            // limit on rwcnt_, -1 for none
};

// ---------------------------------------------------------------------------
// Opening and closing.

// Memory stream, read + write.  size > 0: fixed size (not growable) of that
// many bytes; size <= 0: growable, initially 1024 bytes.  With buf (only
// together with size > 0; nullptr otherwise) the memory uses the caller's
// buffer of size bytes and never frees it; without, it allocates its own.
// Length and position start at 0: write, then seek back to read.
stream_t* stream_memopen(unsigned char* buf, int64_t size);
// Fixed-size memory stream of size (> 0) zero bytes whose memory, when
// large, is mapped on huge pages: fewer page faults for data written whole
// at once (a picture read from a file), more resident memory for data
// filled slowly while other memory is given back.
stream_t* stream_memopenbig(int64_t size);
// Growable memory stream whose first buffer holds initsize (>= 1) bytes:
// for data of a known size, such as a code-block segment, which then takes
// no more memory than it needs.
stream_t* stream_memcreate(int64_t initsize);
// Memory stream over len (>= 0) bytes of the caller's memory, already
// written (length len, position 0), unbuffered and of fixed size; the
// memory is never freed and must outlive the stream.  For finished data
// that is only read, as a code block's coded bytes.
stream_t* stream_memview(unsigned char* buf, int64_t len);
// Anonymous temporary file (its name is removed at once), read + write.
stream_t* stream_tmpfile();
// Named file; mode letters "r" read, "w" write + create/truncate, "a" append,
// "b" binary, "+" read + write.
stream_t* stream_fopen(const char* filename, const char* mode);
// Already open descriptor (closed with the stream); mode as for stream_fopen.
stream_t* stream_fdopen(int fd, const char* mode);
// Stream over a caller-supplied device.  ops must outlive the stream; obj is
// passed to the operations.  bufmode is STREAM_UNBUF (the 1-byte tiny buffer,
// one device call per byte) or STREAM_FULLBUF; a buffered device's read must
// return the bytes it has when fewer than asked remain (0 only at the end).
stream_t* stream_create(const stream_ops_t* ops, void* obj, int openmode,
                        int bufmode = STREAM_UNBUF);
// Flushes, closes the device, frees the stream.  0, or -1 when the final
// flush or the device close failed (the stream is freed either way).
int stream_close(stream_t* stream);
// Frees the stream (and its own buffer) without flushing and without calling
// the device's close.  nullptr is ignored.
void stream_destroy(stream_t* stream);

// ---------------------------------------------------------------------------
// Slow paths of the in-line operations.

// Refills the buffer; getflag 1 consumes and returns the first byte, 0 only
// returns it (peek).  -1 at end of data or on error.
int stream_fillbuf(stream_t* stream, int getflag);
// Flushes the buffer and puts c.  c & 0xff, or -1.
int stream_flushbuf(stream_t* stream, int c);

// ---------------------------------------------------------------------------
// In-line byte operations.

// Next byte (0..255), or -1 at end of data, on error, or at the limit.
inline int stream_getc(stream_t* stream)
{
    if (stream->flags_ & STREAM_ERRMASK)
        return -1;
    if (stream->rwlimit_ >= 0 && stream->rwcnt_ >= stream->rwlimit_) {
        stream->flags_ |= STREAM_RWLIMIT;
        return -1;
    }
    if (stream->cnt_ <= 0 || !(stream->bufmode_ & STREAM_RDBUF))
        return stream_fillbuf(stream, 1);
    --stream->cnt_;
    ++stream->rwcnt_;
    return *stream->ptr_++;
}

// Next byte without consuming it, or -1.
inline int stream_peekc(stream_t* stream)
{
    if (stream->flags_ & STREAM_ERRMASK)
        return -1;
    if (stream->rwlimit_ >= 0 && stream->rwcnt_ >= stream->rwlimit_) {
        stream->flags_ |= STREAM_RWLIMIT;
        return -1;
    }
    if (stream->cnt_ <= 0 || !(stream->bufmode_ & STREAM_RDBUF))
        return stream_fillbuf(stream, 0);
    return *stream->ptr_;
}

// Puts the byte c & 0xff.  Returns c & 0xff, or -1.
inline int stream_putc(stream_t* stream, int c)
{
    if (stream->flags_ & STREAM_ERRMASK)
        return -1;
    if (stream->rwlimit_ >= 0 && stream->rwcnt_ >= stream->rwlimit_) {
        stream->flags_ |= STREAM_RWLIMIT;
        return -1;
    }
    if (stream->cnt_ <= 0 || !(stream->bufmode_ & STREAM_WRBUF))
        return stream_flushbuf(stream, c);
    --stream->cnt_;
    ++stream->rwcnt_;
    *stream->ptr_++ = static_cast<unsigned char>(c);
    return c & 0xff;
}

// Puts back the byte c before the current position: the next get returns
// it.  At least STREAM_MAXPUTBACK bytes can be put back after any get.
// 0, or -1 when there is no room or the stream holds unwritten data.
inline int stream_ungetc(stream_t* stream, int c)
{
    if (!stream->ptr_ || stream->ptr_ == stream->bufbase_ ||
        (stream->bufmode_ & STREAM_WRBUF))
        return -1;
    stream->bufmode_ |= STREAM_RDBUF | STREAM_PUTBACK;
    --stream->rwcnt_;
    --stream->ptr_;
    ++stream->cnt_;
    *stream->ptr_ = static_cast<unsigned char>(c);
    return 0;
}

// ---------------------------------------------------------------------------
// Block transfer, positioning, state.

// Reads up to cnt bytes; returns the number read (fewer at end/error/limit).
int64_t stream_read(stream_t* stream, void* buf, int64_t cnt);
// Writes up to cnt bytes; returns the number written (fewer on error/limit).
int64_t stream_write(stream_t* stream, const void* buf, int64_t cnt);
// Puts the text s (without its terminating zero).  0, or -1.
int stream_puts(stream_t* stream, const char* s);
// Formatted print into the stream.  0, or -1 when the text cannot be put.
int stream_printf(stream_t* stream, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Seeks (origin SEEK_SET 0, SEEK_CUR 1, SEEK_END 2).  New position, or -1.
int64_t stream_seek(stream_t* stream, int64_t offset, int origin);
// Current position, or -1.
int64_t stream_tell(stream_t* stream);
// Seek to 0.  0, or -1.
int stream_rewind(stream_t* stream);
// Writes out buffered data.  0, or -1.
int stream_flush(stream_t* stream);

// Copies n bytes from in to out, or everything up to the end of in when
// n < 0.  0 when done (for n < 0: at a clean end of in); -1 when in failed,
// ended before n bytes, or out failed.
int stream_copy(stream_t* out, stream_t* in, int64_t n);

// Hex dump of the next n bytes of the stream to fp (see stream.cpp for the
// format).  0, or -1 when the data ends first.
int stream_display(stream_t* stream, FILE* fp, int64_t n);

inline int stream_eof(const stream_t* stream) { return (stream->flags_ & STREAM_EOF) != 0; }
inline int stream_error(const stream_t* stream) { return (stream->flags_ & STREAM_ERR) != 0; }
// Clears the state flags.
void stream_clearerr(stream_t* stream);

// Replaces the read/write count; returns the previous one.
int64_t stream_setrwcount(stream_t* stream, int64_t rwcnt);
inline int64_t stream_getrwcount(const stream_t* stream) { return stream->rwcnt_; }
// Replaces the read/write limit (-1: none); returns the previous one.
int64_t stream_setrwlimit(stream_t* stream, int64_t rwlimit);

// ---------------------------------------------------------------------------
// Memory streams.

// 1 when the stream is a memory stream.
int stream_ismem(const stream_t* stream);
// The memory's data after writing out buffered data (nullptr when the
// stream is no memory stream or the flush fails).  Valid until the next
// write to the stream or its close.
unsigned char* stream_memdata(stream_t* stream);
// For a memory stream read no more below byte len: the memory of whole
// huge pages there may go back to the system and read as zeros after.
void stream_memdiscard(stream_t* stream, int64_t len);
// The memory's length of valid data after writing out buffered data (-1
// when the stream is no memory stream or the flush fails).
int64_t stream_memlength(stream_t* stream);
// The memory's current buffer size (-1 for no memory stream).
int64_t stream_membufsize(const stream_t* stream);

#endif
