// Bit streams: stuffing after 0xFF, both alignments with fill patterns,
// round trips, end of data and refused bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tier2/bitstream.h"
#include "base/stream.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes stream_bytes(stream_t* s)
{
    const unsigned char* data = stream_memdata(s);
    return bytes(data, data + stream_memlength(s));
}

stream_t* input_stream(const bytes& data)
{
    stream_t* s = stream_memopen(nullptr, 0);
    EXPECT_EQ(stream_write(s, data.data(), static_cast<int64_t>(data.size())),
              static_cast<int64_t>(data.size()));
    EXPECT_EQ(stream_rewind(s), 0);
    return s;
}

// Writes with the given steps, closes, returns the bytes.
template <typename F>
bytes write_bits(F steps)
{
    stream_t* s = stream_memopen(nullptr, 0);
    bitstream_t* b = bitstream_open(s, "w");
    steps(b);
    EXPECT_EQ(bitstream_close(b), 0);
    bytes out = stream_bytes(s);
    stream_close(s);
    return out;
}

}  // namespace

TEST(Bitstream, StuffingAfterFF)
{
    // 0xFF then seven 1 bits: the second byte carries only 7 data bits.
    const bytes out = write_bits([](bitstream_t* b) {
        EXPECT_EQ(bitstream_putbits(b, 8, 0xff), 0);
        EXPECT_EQ(bitstream_putbits(b, 7, 0x7f), 0);
        EXPECT_EQ(bitstream_outalign(b, 0), 0);
    });
    EXPECT_EQ(out, (bytes{0xff, 0x7f}));

    stream_t* s = input_stream(out);
    bitstream_t* b = bitstream_open(s, "r");
    EXPECT_EQ(bitstream_getbits(b, 15), 0x7fff);
    EXPECT_EQ(bitstream_getbit(b), -1);
    EXPECT_EQ(bitstream_getbit(b), -1);  // stays at the end
    bitstream_close(b);
    stream_close(s);

    // A byte 0xFF ending the data is followed by a stuffed 0x00.
    EXPECT_EQ(write_bits([](bitstream_t* b) { bitstream_putbits(b, 8, 0xff); }),
              (bytes{0xff, 0x00}));
    // Nothing pending: alignment writes nothing.
    EXPECT_EQ(write_bits([](bitstream_t* b) {
                  bitstream_putbits(b, 16, 0x1234);
                  EXPECT_EQ(bitstream_outalign(b, 0), 0);
                  EXPECT_EQ(bitstream_needalign(b), 0);
                  EXPECT_EQ(bitstream_outalign(b, 0x2a), 0);
              }),
              (bytes{0x12, 0x34}));
}

TEST(Bitstream, FillPatterns)
{
    // Three bits, then the top five bits of 0x2A (0101010): 01010.
    EXPECT_EQ(write_bits([](bitstream_t* b) {
                  bitstream_putbits(b, 3, 0x7);
                  EXPECT_EQ(bitstream_pending(b), 1);
                  EXPECT_EQ(bitstream_needalign(b), 1);
                  bitstream_outalign(b, 0x2a);
                  EXPECT_EQ(bitstream_pending(b), 0);
              }),
              (bytes{0xea}));
    // After 0xFF the byte has 7 data bits: 2 written, 5 filled from the top
    // of the pattern.
    EXPECT_EQ(write_bits([](bitstream_t* b) {
                  bitstream_putbits(b, 10, 0x3ff);
                  bitstream_outalign(b, 0x2a);
              }),
              (bytes{0xff, 0x6a}));

    // The reader checks the fill bits under the mask.
    stream_t* s = input_stream({0xea, 0xe0});
    bitstream_t* b = bitstream_open(s, "r");
    EXPECT_EQ(bitstream_getbits(b, 3), 7);
    EXPECT_EQ(bitstream_inalign(b, 0x7f, 0x2a), 0);
    EXPECT_EQ(bitstream_getbits(b, 3), 7);
    EXPECT_EQ(bitstream_inalign(b, 0x7f, 0x2a), 1);  // 00000 is no 01010
    EXPECT_EQ(bitstream_inalign(b, 0x7f, 0x2a), 0);  // already aligned
    EXPECT_EQ(bitstream_pending(b), -1);
    bitstream_close(b);
    stream_close(s);

    // Data ending in 0xFF: no fill bits, and the stuffed 0x00 is consumed
    // without counting as a bad fill.
    s = input_stream({0xff, 0x00, 0x5a});
    b = bitstream_open(s, "r");
    EXPECT_EQ(bitstream_getbits(b, 8), 0xff);
    EXPECT_EQ(bitstream_needalign(b), 1);
    EXPECT_EQ(bitstream_inalign(b, 0x7f, 0x2a), 0);
    EXPECT_EQ(bitstream_getbits(b, 8), 0x5a);
    bitstream_close(b);
    stream_close(s);

    // A stuffed byte that is missing is a read failure.
    s = input_stream({0xff});
    b = bitstream_open(s, "r");
    EXPECT_EQ(bitstream_getbits(b, 8), 0xff);
    EXPECT_EQ(bitstream_inalign(b, 0x7f, 0), -1);
    bitstream_close(b);
    stream_close(s);
}

TEST(Bitstream, GetBitsZeroReadsNothing)
{
    stream_t* s = input_stream({});
    bitstream_t* b = bitstream_open(s, "r+");
    EXPECT_EQ(bitstream_getbits(b, 0), 0);
    EXPECT_EQ(bitstream_needalign(b), 0);
    EXPECT_EQ(bitstream_getbits(b, 1), -1);
    EXPECT_EQ(bitstream_close(b), 0);
    stream_close(s);
}

// Random fields with random alignments; the output never holds a byte
// above 0x7F after 0xFF, and the reader gets everything back.
TEST(Bitstream, RandomRoundTrips)
{
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 200; ++trial) {
        struct field {
            int n;
            long v;
            int align;  // 0 none, 1 fill 0, 2 fill 0x2A
        };
        std::vector<field> fields(1 + rng() % 300);
        for (auto& f : fields) {
            f.n = static_cast<int>(rng() % 32);
            // Many all-ones fields, to produce 0xFF bytes often.
            f.v = rng() % 3 ? static_cast<long>(rng() & ((1UL << f.n) - 1)) : (1L << f.n) - 1;
            f.align = rng() % 8 == 0 ? 1 + static_cast<int>(rng() % 2) : 0;
        }
        const bytes out = write_bits([&](bitstream_t* b) {
            for (const auto& f : fields) {
                ASSERT_EQ(bitstream_putbits(b, f.n, f.v), 0);
                if (f.align) {
                    ASSERT_EQ(bitstream_outalign(b, f.align == 1 ? 0 : 0x2a), 0);
                }
            }
        });
        for (size_t i = 0; i + 1 < out.size(); ++i) {
            if (out[i] == 0xff) {
                ASSERT_LT(out[i + 1], 0x80) << "trial " << trial;
            }
        }
        if (!out.empty()) {
            EXPECT_NE(out.back(), 0xff);
        }

        stream_t* s = input_stream(out);
        bitstream_t* b = bitstream_open(s, "r");
        for (const auto& f : fields) {
            ASSERT_EQ(bitstream_getbits(b, f.n), f.v) << "trial " << trial;
            if (f.align) {
                ASSERT_EQ(bitstream_inalign(b, 0x7f, f.align == 1 ? 0 : 0x2a), 0)
                    << "trial " << trial;
            }
        }
        EXPECT_EQ(bitstream_inalign(b, 0, 0), 0);
        EXPECT_EQ(bitstream_getbit(b), -1);  // everything consumed
        bitstream_close(b);
        stream_close(s);
    }
}

// A byte stream that refuses a byte makes the bit stream report -1.
TEST(Bitstream, RefusedByte)
{
    stream_t* s = stream_memopen(nullptr, 0);
    stream_setrwlimit(s, 1);
    bitstream_t* b = bitstream_open(s, "w+");
    EXPECT_EQ(bitstream_putbits(b, 16, 0xabcd), 0);  // the second byte is still held
    EXPECT_EQ(bitstream_putbit(b, 1), -1);
    EXPECT_EQ(bitstream_close(b), -1);
    stream_close(s);
}
