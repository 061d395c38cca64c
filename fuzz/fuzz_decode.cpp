// The whole decoder from bytes: code stream in, image out (or a failure).
#include "fuzz_util.h"
#include "image.h"
#include "jpdec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stream_t* in = fuzz_memstream(data, size);
    if (!in)
        return 0;
    int status = 0;
    image_t* image = jpdec_decode_status(in, "", nullptr, &status);
    image_destroy(image);
    stream_close(in);
    return 0;
}
