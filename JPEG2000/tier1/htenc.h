// HT block encoder (T.814): codes the magnitudes of a code block's samples
// from a chosen bit plane up into one HT cleanup segment (MagSgn, MEL and
// VLC streams), the mirror of htdec.
#ifndef JPEG2000_HTENC_H
#define JPEG2000_HTENC_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Codes the samples of the width x height block at data (row stride
// `stride`, signed values) as one HT cleanup pass at bit plane p: sample x
// is significant when |x| >> p is not 0.  width, height: 1..1024 with
// width * height <= 4096; |x| >> p below 2^30.  The segment replaces the
// contents of out; a block without significant samples still gives a
// segment (2 bytes or more).  0, or -1 after a message when the block
// cannot be coded (MEL and VLC streams longer than 4079 bytes together).
// ddec (may be nullptr): the decrease of the squared error of the samples
// that the segment brings when each significant one is rebuilt at
// (|x| >> p << p) + half.  rowmag (may be nullptr): the largest
// magnitude of each row's samples (or any value with the same top bit).
// trim (with half not 0): where a quad's exponent bound can fall by one,
// its largest samples are cut to fit under it when that adds less than
// trim squared steps of 2^p per bit saved (see trimrow), and in blocks of
// more than 256 samples significance is chosen for its cost too: samples
// just below 2^p in a quad with a significant one are coded significant,
// and a quad's lone sample just above 2^p is dropped where nothing to its
// left or above is significant (see sigrow); ddec counts both.  0 codes
// every magnitude as it is.
int htenc_encodecln(const int32_t* data, ptrdiff_t stride, int width, int height, int p,
                    std::vector<uint8_t>& out, uint32_t half = 0, double* ddec = nullptr,
                    const uint32_t* rowmag = nullptr, double trim = 0);

// Codes the HT refinement passes at bit plane p - 1 (p >= 1) of the block
// whose cleanup pass was coded at plane p: SigProp alone into sp, SigProp
// and MagRef into spmr (sp is its prefix).  vcausal: stripe-causal
// neighbourhoods.  ddec (may be nullptr): two decreases of the squared
// error, against the cleanup pass's reconstruction at (|x| >> p << p) +
// 2^(p - 1): ddec[0] that SigProp brings (its new samples rebuilt at
// 2^(p - 1) + halfq), ddec[1] that MagRef adds (the samples of the cleanup
// pass rebuilt at (|x| >> (p - 1) << (p - 1)) + halfq).
void htenc_encoderef(const int32_t* data, ptrdiff_t stride, int width, int height, int p,
                     bool vcausal, std::vector<uint8_t>& sp, std::vector<uint8_t>& spmr,
                     uint32_t halfq = 0, double* ddec = nullptr);

#endif
