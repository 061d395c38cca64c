// HT block decoder (T.814): turns the HT cleanup segment of a code block
// (MagSgn, MEL and VLC streams) and its optional HT refinement segment
// (SigProp and MagRef passes) into the code block's coefficients, in the
// layout the T.800 tier-1 decoder writes: signed quantization indices with
// the reconstruction point at the middle of the remaining uncertainty
// interval (half of the last decoded bit plane).
//
// Every read stays inside the given segments: bytes beyond a segment read
// as the fill its stream defines, so damaged data gives a damaged block,
// never a read outside it; what cannot be decoded at all fails.
#ifndef JPEG2000_HTDEC_H
#define JPEG2000_HTDEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

// One code block to decode.
struct htdec_cblk_t {
    const uint8_t* cln = nullptr;  // HT cleanup segment
    int lcup = 0;                  // its length in bytes
    const uint8_t* ref = nullptr;  // HT refinement segment (may be null)
    int lref = 0;
    int numrefpasses = 0;          // 0, 1 (SigProp) or 2 (SigProp and MagRef)
    int p = 0;                     // bit plane of the cleanup pass, 0..30
    bool vcausal = false;          // stripe-causal neighbourhoods (code-block style bit 3)
    int width = 0, height = 0;     // 1..1024, width * height <= 4096
    int32_t* data = nullptr;       // output rectangle
    ptrdiff_t stride = 0;
    float scale = 0;               // non-zero: written as floats, coefficient x scale
};

// Scratch memory that one thread reuses from block to block.
struct htdec_scratch_t {
    std::vector<int32_t> buf;    // coefficient (or magnitude at plane p) per quad sample
    std::vector<uint8_t> state;  // significance and refinement state
};

// Decodes the block into cb.data.  0, or -1 after a message when the
// segment cannot be decoded (a bad segment trailer, a codeword that does not
// exist, a magnitude that needs more than 31 bits).
int htdec_decodecblk(const htdec_cblk_t& cb, htdec_scratch_t& scratch);

#endif
