// The whole decoder from bytes: code stream in, image out (or a failure).
// Declared images are limited to 2^22 samples here (2^30 by default): the
// time and memory of a decoding follow the declared size, and the fuzzer's
// per-input limits are for finding faults, not for spending them on that.
#include "fuzz_util.h"
#include "base/image.h"
#include "decoder/jpdec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stream_t* in = fuzz_memstream(data, size);
    if (!in)
        return 0;
    int status = 0;
    image_t* image = jpdec_decode_status(in, "maxsamples=4194304", nullptr, &status);
    image_destroy(image);
    stream_close(in);
    return 0;
}
