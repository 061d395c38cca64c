// The save path's parameters and the size texts, as plain C++ without Qt:
// shared by the picture I/O component, the window and the command-line tool.
#ifndef IMAGEIO_JPEG2000_PARAMS_H
#define IMAGEIO_JPEG2000_PARAMS_H

#include <cstdint>
#include <string>

// The rate allowance of the JPEG 2000 component (bytes of headers that the
// rate leaves room for).
constexpr int32_t J2000RateAllowance = 164;

// Maximum bits per pixel of a quality 0..100 (clamped; NaN is 0):
// q >= 88: (q - 88) * 23 / 12 + 1 (88 gives 1, 100 gives 24);
// below:   q * 0.00625 (75 gives 0.46875).
double J2000QualityMBPP(double quality);

// Rate of the option string: (mbpp + allowance / (width x height)) / 3,
// at least 0.001.
double J2000Rate(double mbpp, int32_t allowance, int width, int height);
// The rate as text: 15 significant digits, fixed notation without trailing
// zeros, "." as the decimal separator whatever the locale.
std::string J2000RateText(double rate);
// Resolution levels: the largest g in 2..30 with 2^(g-2) below both sides,
// or 1.
int J2000MaxRlvls(int width, int height);
// "rate=R maxrlvls=N cblkwidth=64 cblkheight=64 mode=int prg=lrcp"
std::string J2000EncoderOptions(double mbpp, int32_t allowance, int width, int height);
// The options with HT code blocks: " ht" appended, and a lossy string (one
// with a rate below 1) turned to the 9/7 path ("mode=int" becomes
// "mode=real", or "mode=real" is added when no mode is given).  Without a
// rate, or with one that leaves room for the whole picture, the mode is kept
// so that the stream stays reversible.
std::string J2000HighThroughputOptions(const std::string& options);

// A size in bytes as the window shows it: bytes / 1024 with "%2.1f Kb"
// ("29.3 Kb").
std::string J2000SizeText(int64_t bytes);
// "Ratio: 1/N", N the raw size divided by the compressed size, truncated;
// bytes must be above 0.
std::string J2000RatioText(int64_t rawbytes, int64_t bytes);

#endif
