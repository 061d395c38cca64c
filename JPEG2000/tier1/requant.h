// Requantization of quantization indices (with their fractional bits) at a
// new step size: each magnitude times the ratio of the old step to the new
// one, truncated.  The encoder chooses the HT step scale after quantizing;
// the indices of a code block are requantized when tier-1 first reads them
// (jpenc_cblk_t::ratio), so that no pass over the whole tile is needed.
#ifndef JPEG2000_REQUANT_H
#define JPEG2000_REQUANT_H

#include <algorithm>
#include <cstdint>

struct jpenc_cblk_t;

// The largest magnitude of a quantization index, the largest float below
// 2^31: indices stay within 32 bits.
constexpr float REQUANT_LIMIT = 2147483520.0f;

// One magnitude m requantized: monotonic in m, so the largest of a set of
// magnitudes requantized is the largest requantized.
inline uint32_t requant_mag(uint32_t m, float ratio)
{
    return uint32_t(int32_t(std::min(float(m) * ratio, REQUANT_LIMIT)));
}

// The n indices at q requantized in place.
void requant_row(int32_t* q, int32_t n, float ratio);

// Requantizes the indices of cblk if they still wait for it (ratio != 0).
void requant_cblk(jpenc_cblk_t* cblk);

#endif
