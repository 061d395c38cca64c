#include "codestream/jp2box.h"

#include <cstdio>
#include <cstring>

#include "base/stream.h"

namespace {

constexpr unsigned char kSignature[12] = {0x00, 0x00, 0x00, 0x0C, 'j',  'P',
                                          ' ',  ' ',  0x0D, 0x0A, 0x87, 0x0A};

constexpr uint32_t box_type(const char (&t)[5])
{
    return uint32_t(uint8_t(t[0])) << 24 | uint32_t(uint8_t(t[1])) << 16 |
           uint32_t(uint8_t(t[2])) << 8 | uint32_t(uint8_t(t[3]));
}

bool read_be(stream_t* in, int bytes, uint64_t* value)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        const int c = stream_getc(in);
        if (c < 0)
            return false;
        v = v << 8 | uint64_t(c);
    }
    *value = v;
    return true;
}

} // namespace

bool jp2_has_signature(const unsigned char* data, size_t size)
{
    return size >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0;
}

int jp2_find_codestream(stream_t* in, int64_t* length)
{
    unsigned char head[sizeof kSignature];
    if (stream_read(in, head, sizeof head) != int64_t(sizeof head) ||
        !jp2_has_signature(head, sizeof head)) {
        std::fprintf(stderr, "not a JP2 file: the signature box is missing\n");
        return -1;
    }
    for (;;) {
        uint64_t lbox, tbox;
        if (!read_be(in, 4, &lbox) || !read_be(in, 4, &tbox)) {
            std::fprintf(stderr, "JP2 file without a code stream box\n");
            return -1;
        }
        uint64_t header = 8;
        if (lbox == 1) {  // the length follows as XLBox
            if (!read_be(in, 8, &lbox)) {
                std::fprintf(stderr, "JP2 file ends inside a box header\n");
                return -1;
            }
            header = 16;
        }
        if (lbox != 0 && (lbox < header || lbox - header > uint64_t(INT64_MAX))) {
            std::fprintf(stderr, "JP2 box of impossible length %llu\n",
                         static_cast<unsigned long long>(lbox));
            return -1;
        }
        if (tbox == box_type("jp2c")) {
            *length = lbox == 0 ? -1 : int64_t(lbox - header);
            return 0;
        }
        if (lbox == 0) {  // the last box, and not a code stream
            std::fprintf(stderr, "JP2 file without a code stream box\n");
            return -1;
        }
        if (stream_seek(in, int64_t(lbox - header), SEEK_CUR) < 0) {
            std::fprintf(stderr, "JP2 file ends inside a box\n");
            return -1;
        }
    }
}
