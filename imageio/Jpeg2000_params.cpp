#include "Jpeg2000_params.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// The products are formed in extended precision and stored as doubles.
double J2000QualityMBPP(double q)
{
    if (q > 100)
        q = 100;
    if (!(q >= 0))
        q = 0;
    static constexpr long double kTwelfth = 1.0L / 12.0L;
    static constexpr long double kStep = 0.00625L;
    if (q >= 88)
        return static_cast<double>((static_cast<long double>(q) - 88) * 23 * kTwelfth + 1);
    return static_cast<double>(static_cast<long double>(q) * kStep);
}

double J2000Rate(double mbpp, int32_t allowance, int width, int height)
{
    // The pixel count is 64-bit: width x height overflows 32 bits for large
    // pictures.  The quotient and the sum are formed in extended precision.
    const int64_t n = int64_t(width) * int64_t(height);
    const double a = n > 0 ? static_cast<double>(static_cast<long double>(allowance) / n) : 0.0;
    static constexpr long double kThird = 1.0L / 3.0L;
    double rate = static_cast<double>((static_cast<long double>(mbpp) + a) * kThird);
    if (!(rate >= 0.001))
        rate = 0.001;
    return rate;
}

std::string J2000RateText(double rate)
{
    // std::to_chars never consults the locale.
    char sci[64];
    auto res = std::to_chars(sci, sci + sizeof sci, rate, std::chars_format::scientific, 14);
    *res.ptr = '\0';
    // sci: [-]D.DDDDDDDDDDDDDDe[+-]XX
    const char* p = sci;
    std::string out;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    std::string digits;
    for (; *p && *p != 'e'; ++p)
        if (*p != '.')
            digits += *p;
    const int exp = *p == 'e' ? std::atoi(p + 1) : 0;
    std::string intpart, frac;
    if (exp >= 0) {
        if (static_cast<size_t>(exp) + 1 <= digits.size()) {
            intpart = digits.substr(0, exp + 1);
            frac = digits.substr(exp + 1);
        } else {
            intpart = digits + std::string(exp + 1 - digits.size(), '0');
        }
    } else {
        intpart = "0";
        frac = std::string(-exp - 1, '0') + digits;
    }
    while (!frac.empty() && frac.back() == '0')
        frac.pop_back();
    out += intpart;
    if (!frac.empty())
        out += '.' + frac;
    return out;
}

int J2000MaxRlvls(int width, int height)
{
    int g = 30;
    while (g > 1) {
        const int64_t t = int64_t(1) << (g - 2);
        if (width > t && height > t)
            break;
        --g;
    }
    return g;
}

std::string J2000EncoderOptions(double mbpp, int32_t allowance, int width, int height)
{
    return "rate=" + J2000RateText(J2000Rate(mbpp, allowance, width, height)) +
           " maxrlvls=" + std::to_string(J2000MaxRlvls(width, height)) +
           " cblkwidth=64 cblkheight=64 mode=int prg=lrcp";
}

std::string J2000HighThroughputOptions(const std::string& options)
{
    // The words of the string; the encoder takes the last of repeated ones.
    std::string out = options;
    double rate = -1;
    size_t mode = std::string::npos, modelen = 0;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find(' ', at);
        if (end == std::string::npos)
            end = out.size();
        const std::string_view word(out.data() + at, end - at);
        if (word.starts_with("rate=")) {
            // std::from_chars never consults the locale.
            rate = -1;
            std::from_chars(word.data() + 5, word.data() + word.size(), rate);
        } else if (word.starts_with("mode=")) {
            mode = at;
            modelen = word.size();
        }
        at = end + 1;
    }
    if (rate > 0 && rate < 1) {
        if (mode == std::string::npos)
            out += " mode=real";
        else if (std::string_view(out).substr(mode, modelen) == "mode=int")
            out.replace(mode, modelen, "mode=real");
    }
    return out.empty() ? "ht" : out + " ht";
}

std::string J2000SizeText(int64_t bytes)
{
    char text[64];
    std::snprintf(text, sizeof text, "%2.1f Kb", static_cast<double>(bytes) * (1.0 / 1024));
    return text;
}

std::string J2000RatioText(int64_t rawbytes, int64_t bytes)
{
    return "Ratio: 1/" + std::to_string(bytes > 0 ? rawbytes / bytes : 0);
}
