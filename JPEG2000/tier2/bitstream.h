// Bit streams: single bits, most significant first, over a byte stream.
//
// The bit-stuffing rule of JPEG 2000 packet headers and raw (bypass)
// code-block segments applies (T.800 B.10.1, D.6): after a byte 0xFF the next
// byte carries only seven data bits and its most significant bit is 0.
//
// buf_ holds two bytes: the low byte is the one being assembled (writing) or
// consumed (reading), the high byte the one before it.  cnt_ counts the bits
// still to be delivered (reading) or the free bit positions (writing; 8 means
// no partial byte).  The last byte of a write is emitted only by a later bit,
// by bitstream_outalign() or by bitstream_close().
//
// Results are 0 / -1 (or nullptr from a failed open); a bit get returns 0, 1
// or -1 at end of data.
#ifndef JPEG2000_BITSTREAM_H
#define JPEG2000_BITSTREAM_H

#include <cstdint>

#include "base/stream.h"

// flags_: closing the bit stream leaves the byte stream open.
constexpr int BITSTREAM_NOCLOSE = 0x01;

// openmode_.
constexpr int BITSTREAM_READ = 0x01;
constexpr int BITSTREAM_WRITE = 0x02;

struct bitstream_t {
    int flags_;          // BITSTREAM_NOCLOSE
    uint16_t buf_;       // previous byte (high), current byte (low)
    int lastbyte_;       // last byte got from the byte stream, -1 after a failed get
    int cnt_;            // bits left to deliver / free bit positions
    stream_t* stream_;   // the byte stream (not owned)
    int openmode_;       // BITSTREAM_READ or BITSTREAM_WRITE
};

// Opens a bit stream on stream.  mode is "r", "r+" (reading), "w" or "w+"
// (writing).  BITSTREAM_NOCLOSE is always set: the byte stream stays with its
// owner.  nullptr when memory runs out.
bitstream_t* bitstream_open(stream_t* stream, const char* mode);
// Aligns (reading: plain in-align; writing: out-align with zero fill), closes
// the byte stream only when BITSTREAM_NOCLOSE is clear, frees the bit stream.
// 0, or -1 when the alignment failed (the bit stream is freed either way).
int bitstream_close(bitstream_t* bitstream);

// Slow paths of the in-line bit operations (a new byte is needed).
int bitstream_fillbuf(bitstream_t* bitstream);
int bitstream_flushbuf(bitstream_t* bitstream, int bit);

// Next bit (0 or 1), or -1 at end of data or on error.
inline int bitstream_getbit(bitstream_t* bitstream)
{
    if (--bitstream->cnt_ >= 0)
        return (bitstream->buf_ >> bitstream->cnt_) & 1;
    return bitstream_fillbuf(bitstream);
}

// Puts the bit (0 or 1).  Returns the bit, or -1 when the byte stream
// refuses the byte that had to be written.
inline int bitstream_putbit(bitstream_t* bitstream, int bit)
{
    if (--bitstream->cnt_ >= 0) {
        bitstream->buf_ = static_cast<uint16_t>(
            (bitstream->buf_ & ~(1u << bitstream->cnt_)) | (static_cast<unsigned>(bit & 1) << bitstream->cnt_));
        return bit & 1;
    }
    return bitstream_flushbuf(bitstream, bit & 1);
}

// The next n bits (0 <= n < 32), most significant first, as a non-negative
// value; -1 at end of data.  n = 0 gives 0 without reading.
long bitstream_getbits(bitstream_t* bitstream, int n);
// Puts the n low bits of v (0 <= n < 32; v must fit in n bits), most
// significant first.  0, or -1.
int bitstream_putbits(bitstream_t* bitstream, int n, long v);

// 1 when aligning would consume (reading) or produce (writing) bits, else 0.
int bitstream_needalign(bitstream_t* bitstream);
// Writing stream: 1 when a partial byte is pending, else 0.  -1 for a
// reading stream.
int bitstream_pending(bitstream_t* bitstream);

// Skips to the next byte boundary of a reading stream, including the stuffed
// byte that follows a final 0xFF, and checks the skipped fill bits: the bits
// under fillmask (7 bits, aligned with the top of a 7-bit pattern) must
// equal those of filldata.  0 when they match, 1 when they differ, -1 when a
// byte cannot be read.
int bitstream_inalign(bitstream_t* bitstream, int fillmask, int filldata);
// Completes a pending partial byte of a writing stream with the top bits of
// the 7-bit pattern filldata (at most 6 significant bits), and writes a
// stuffed 0x00 after a final 0xFF.  Nothing when no bits are pending.  0, or
// -1 when the byte stream refuses a byte.
int bitstream_outalign(bitstream_t* bitstream, int filldata);

#endif
