// Helpers shared by the fuzz targets.
#ifndef FUZZ_FUZZ_UTIL_H
#define FUZZ_FUZZ_UTIL_H

#include "base/stream.h"

#include <cstddef>
#include <cstdint>

// A memory stream holding a copy of the bytes, positioned at their start
// (nullptr when memory runs out).
inline stream_t* fuzz_memstream(const uint8_t* data, size_t size)
{
    stream_t* s = stream_memopen(nullptr, 0);
    if (!s)
        return nullptr;
    if (size > 0 && stream_write(s, data, int64_t(size)) != int64_t(size)) {
        stream_close(s);
        return nullptr;
    }
    if (stream_rewind(s) != 0) {
        stream_close(s);
        return nullptr;
    }
    return s;
}

#endif
