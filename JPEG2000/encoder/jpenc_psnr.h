// Encoding to a target PSNR: the picture is transformed and block-coded
// once; the encoder's own figures choose the first budget, then each code
// stream written from the same coded blocks is decoded and measured and the
// budget corrected until the goal is met.
#ifndef JPEG2000_JPENC_PSNR_H
#define JPEG2000_JPENC_PSNR_H

#include <cstdint>

#include "encoder/jpenc.h"

struct image_t;
struct stream_t;

// Encodes image into out with the options of optstr (which must not hold
// rate, lyrrates or psnr) at the fewest bytes found whose decoding reaches
// psnr dB against image (over all samples of all components, each against
// its own peak 2^prec - 1), aiming for at most 0.1 dB above it; at most
// four code streams are tried, tier-1 coding once for all of them.  A goal beyond what the options can reach gives
// the closest stream.  Unlike jpenc_encode the image is left as it
// is.  *reached (may be nullptr) becomes the PSNR of the written stream
// (infinity when lossless).  Returns 0, or -1 after a message.
int32_t jpenc_encodepsnr(image_t* image, stream_t* out, const char* optstr, double psnr,
                         OnProgressMessager* progress, double* reached);

// PSNR of decoded against original over all samples of all components
// (infinity when equal); NaN when the two differ in shape.
double jpenc_psnr(image_t* original, image_t* decoded);

#endif
