// Bit streams over byte streams, with 0xFF bit stuffing.
#include "tier2/bitstream.h"

#include <cstring>
#include <new>

#include "base/fatal.h"

namespace {

constexpr long ones(int n) { return (1L << n) - 1; }

}  // namespace

bitstream_t* bitstream_open(stream_t* stream, const char* mode)
{
    FATAL_CHECK(stream);
    FATAL_CHECK(!strcmp(mode, "r") || !strcmp(mode, "w") || !strcmp(mode, "r+") ||
                !strcmp(mode, "w+"));
    bitstream_t* bitstream = new (std::nothrow) bitstream_t;
    if (!bitstream)
        return nullptr;
    bitstream->flags_ = BITSTREAM_NOCLOSE;
    bitstream->buf_ = 0;
    bitstream->lastbyte_ = 0;
    bitstream->stream_ = stream;
    if (mode[0] == 'w') {
        bitstream->openmode_ = BITSTREAM_WRITE;
        bitstream->cnt_ = 8;
    } else {
        bitstream->openmode_ = BITSTREAM_READ;
        bitstream->cnt_ = 0;
    }
    return bitstream;
}

int bitstream_close(bitstream_t* bitstream)
{
    int ret = 0;
    if (bitstream->openmode_ & BITSTREAM_READ) {
        if (bitstream_inalign(bitstream, 0, 0) < 0)
            ret = -1;
    } else if (bitstream->openmode_ & BITSTREAM_WRITE) {
        if (bitstream_outalign(bitstream, 0) < 0)
            ret = -1;
    }
    if (!(bitstream->flags_ & BITSTREAM_NOCLOSE) && stream_close(bitstream->stream_) < 0)
        ret = -1;
    delete bitstream;
    return ret;
}

// cnt_ has just run below 0: take the next byte.  After a byte 0xFF only the
// seven low bits of the next byte are data (its top bit is the stuffed 0).
int bitstream_fillbuf(bitstream_t* bitstream)
{
    FATAL_CHECK(bitstream->openmode_ & BITSTREAM_READ);
    const int c = stream_getc(bitstream->stream_);
    bitstream->lastbyte_ = c;
    if (c < 0) {
        // Stay at the byte boundary so that every later get fails as well.
        bitstream->cnt_ = 0;
        return -1;
    }
    const unsigned prev = bitstream->buf_ & 0xffu;
    bitstream->cnt_ = prev == 0xff ? 6 : 7;
    bitstream->buf_ = static_cast<uint16_t>((prev << 8) | (c & ones(bitstream->cnt_ + 1)));
    return (bitstream->buf_ >> bitstream->cnt_) & 1;
}

// cnt_ has just run below 0: the byte in the low half is complete.  It
// moves to the high half and is written; after 0xFF the new byte gets only
// seven data bits.
int bitstream_flushbuf(bitstream_t* bitstream, int bit)
{
    FATAL_CHECK(bitstream->openmode_ & BITSTREAM_WRITE);
    bitstream->buf_ = static_cast<uint16_t>(bitstream->buf_ << 8);
    bitstream->cnt_ = bitstream->buf_ == 0xff00 ? 6 : 7;
    bitstream->buf_ = static_cast<uint16_t>(bitstream->buf_ | ((bit & 1) << bitstream->cnt_));
    if (stream_putc(bitstream->stream_, bitstream->buf_ >> 8) < 0)
        return -1;
    return bit & 1;
}

long bitstream_getbits(bitstream_t* bitstream, int n)
{
    FATAL_CHECK(n >= 0 && n < 32);
    long v = 0;
    while (--n >= 0) {
        const int bit = bitstream_getbit(bitstream);
        if (bit < 0)
            return -1;
        v = (v << 1) | bit;
    }
    return v;
}

int bitstream_putbits(bitstream_t* bitstream, int n, long v)
{
    FATAL_CHECK(n >= 0 && n < 32);
    FATAL_CHECK(!(v & (~ones(n))));
    // As many bits at once as the current byte has free positions; a full
    // byte is written by the bit after it, as with single bits.
    while (n > 0) {
        if (bitstream->cnt_ <= 0) {
            --n;
            if (bitstream_putbit(bitstream, static_cast<int>((v >> n) & 1)) < 0)
                return -1;
            continue;
        }
        const int k = n < bitstream->cnt_ ? n : bitstream->cnt_;
        n -= k;
        bitstream->cnt_ -= k;
        const unsigned bits = static_cast<unsigned>((v >> n) & ones(k));
        bitstream->buf_ = static_cast<uint16_t>(
            (bitstream->buf_ & ~(static_cast<unsigned>(ones(k)) << bitstream->cnt_)) |
            (bits << bitstream->cnt_));
    }
    return 0;
}

int bitstream_needalign(bitstream_t* bitstream)
{
    if (bitstream->openmode_ & BITSTREAM_READ) {
        // Bits left in the current byte, or the stuffed byte after a 0xFF.
        return bitstream->cnt_ > 0 || (bitstream->buf_ & 0xff) == 0xff;
    }
    if (bitstream->openmode_ & BITSTREAM_WRITE)
        return bitstream->cnt_ >= 0 && bitstream->cnt_ < 8;
    return -1;
}

int bitstream_pending(bitstream_t* bitstream)
{
    if (bitstream->openmode_ & BITSTREAM_WRITE)
        return bitstream->cnt_ <= 7;
    return -1;
}

int bitstream_inalign(bitstream_t* bitstream, int fillmask, int filldata)
{
    FATAL_CHECK(!(fillmask & ~0x7f) && (!(filldata & ~0x7f)));
    FATAL_CHECK(bitstream->openmode_ & BITSTREAM_READ);
    // The fill bits are the cnt_ bits left in the current byte; they line up
    // with the top of the 7-bit pattern.
    const int numbits = bitstream->cnt_ > 0 ? bitstream->cnt_ : 0;
    const bool stuffed = (bitstream->buf_ & 0xff) == 0xff;
    const long v = bitstream_getbits(bitstream, numbits);
    if (v < 0)
        return -1;
    // A byte 0xFF is followed by a stuffed byte (written as 0x00); its seven
    // data bits are consumed but are no fill bits.
    if (stuffed && bitstream_getbits(bitstream, 7) < 0)
        return -1;
    const int window = static_cast<int>(ones(numbits) << (7 - numbits));
    const int fill = static_cast<int>(v << (7 - numbits));
    return ((fill ^ filldata) & fillmask & window) ? 1 : 0;
}

int bitstream_outalign(bitstream_t* bitstream, int filldata)
{
    FATAL_CHECK(!(filldata & (~0x3f)));
    FATAL_CHECK(bitstream->openmode_ & BITSTREAM_WRITE);
    if (bitstream->cnt_ >= 8)
        return 0;
    const int n = bitstream->cnt_;
    if (bitstream_putbits(bitstream, n, filldata >> (7 - n)) < 0)
        return -1;
    // The byte is complete (cnt_ is 0): write it.
    if (stream_putc(bitstream->stream_, bitstream->buf_ & 0xff) < 0)
        return -1;
    bitstream->cnt_ = 8;
    bitstream->buf_ = static_cast<uint16_t>(bitstream->buf_ << 8);
    if (bitstream->buf_ >= 0xff00) {
        if (stream_putc(bitstream->stream_, 0) < 0)
            return -1;
        // The stuffed byte is the last byte now: the next byte has 8 data bits.
        bitstream->buf_ = 0;
    }
    return 0;
}
