// Walking a JP2 file's boxes down to the code stream, and refusing damaged
// box structures without reading past the data.
#include "codestream/jp2box.h"

#include <string>

#include <gtest/gtest.h>

#include "base/stream.h"

namespace {

using Bytes = std::string;

void be(Bytes& b, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; --i)
        b.push_back(char(uint8_t(v >> (8 * i))));
}

Bytes box(const char* type, const std::string& body, bool extended = false)
{
    Bytes b;
    if (extended) {
        be(b, 1, 4);
        b.append(type, 4);
        be(b, 16 + body.size(), 8);
    } else {
        be(b, 8 + body.size(), 4);
        b.append(type, 4);
    }
    b += body;
    return b;
}

Bytes signature() { return Bytes("\0\0\0\x0CjP  \x0D\x0A\x87\x0A", 12); }

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all += p;
    return all;
}

// The code stream's first byte and length, or "fail".
std::string find(const Bytes& data)
{
    stream_t* s = stream_memopen(nullptr, 0);
    stream_write(s, data.data(), int64_t(data.size()));
    stream_rewind(s);
    int64_t length = 0;
    std::string result = "fail";
    if (jp2_find_codestream(s, &length) == 0) {
        result.assign(1, char(stream_getc(s)));
        result += std::to_string(length);
    }
    stream_close(s);
    return result;
}

TEST(Jp2Box, FindsTheCodeStreamBox)
{
    const Bytes head = cat({signature(), box("ftyp", "jp2 \0\0\0\0jp2 "), box("jp2h", "ihdr...")});
    EXPECT_EQ(find(cat({head, box("jp2c", "CODE")})), "C4");
    EXPECT_EQ(find(cat({head, box("xml ", "<a/>"), box("jp2c", "XY", true)})), "X2");
    Bytes open_ended = cat({head, box("jp2c", "Z")});
    open_ended[head.size() + 3] = 0;  // LBox 0: the box runs to the end
    EXPECT_EQ(find(open_ended), "Z-1");
    EXPECT_TRUE(jp2_has_signature(reinterpret_cast<const unsigned char*>(head.data()), head.size()));

    // Damaged structures fail with a message.
    EXPECT_EQ(find(cat({box("ftyp", "jp2 "), box("jp2c", "C")})), "fail");  // no signature
    EXPECT_EQ(find(head), "fail");                                          // no code stream
    Bytes short_box = cat({head, box("jp2c", "C")});
    short_box[head.size() + 3] = 5;  // shorter than its own header
    EXPECT_EQ(find(short_box), "fail");
    Bytes huge = cat({signature(), box("xml ", "abc"), box("jp2c", "C")});
    huge[12] = 0x7F;  // a box that runs far past the end of the file
    EXPECT_EQ(find(huge), "fail");
}

} // namespace
