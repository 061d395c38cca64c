#include "PictureCompare.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <future>
#include <vector>

namespace {

double psnr_of(double sum_sq, double count)
{
    if (sum_sq == 0)
        return INFINITY;
    return 10.0 * std::log10(255.0 * 255.0 * count / sum_sq);
}

// Luma of one BGR pixel times 256, BT.601 weights in 8 fractional bits
// (29, 150, 77): sums of it stay exact in 64-bit integers.
inline int64_t luma256(const uchar* p)
{
    return 29 * p[0] + 150 * p[1] + 77 * p[2];
}

// Sums over a window of both pictures' luma (times 256; the squares and
// products times 65536).
struct Sums {
    int64_t a = 0, b = 0, sq = 0, ab = 0;  // sq: sum of a^2 + b^2
    Sums& operator+=(const Sums& o)
    {
        a += o.a, b += o.b, sq += o.sq, ab += o.ab;
        return *this;
    }
};

double ssim_of(const Sums& s, double n)
{
    constexpr double C1 = (0.01 * 255) * (0.01 * 255);
    constexpr double C2 = (0.03 * 255) * (0.03 * 255);
    const double ma = double(s.a) / 256 / n, mb = double(s.b) / 256 / n;
    const double vars = double(s.sq) / 65536 / n - ma * ma - mb * mb;  // var(a) + var(b)
    const double cov = double(s.ab) / 65536 / n - ma * mb;
    return (2 * ma * mb + C1) * (2 * cov + C2) / ((ma * ma + mb * mb + C1) * (vars + C2));
}

Sums sums_over(const QImage& a, const QImage& b, int x0, int y0, int w, int h)
{
    Sums s;
    for (int y = y0; y < y0 + h; ++y) {
        const uchar* p = a.constScanLine(y) + 3 * x0;
        const uchar* q = b.constScanLine(y) + 3 * x0;
        for (int x = 0; x < w; ++x, p += 3, q += 3) {
            const int64_t la = luma256(p), lb = luma256(q);
            s.a += la, s.b += lb, s.sq += la * la + lb * lb, s.ab += la * lb;
        }
    }
    return s;
}

// Sum of the SSIM of the 8 x 8 windows whose lower half is block row by,
// for by0 <= by < by1 (by0 >= 1): sums of 4 x 4 blocks, one row of blocks
// at a time; each window is 2 x 2 blocks of a row and the one above.
double ssim_rows(const QImage& a, const QImage& b, int by0, int by1)
{
    const int bw = a.width() / 4;
    std::vector<Sums> above(bw), row(bw);
    for (int bx = 0; bx < bw; ++bx)
        above[bx] = sums_over(a, b, 4 * bx, 4 * (by0 - 1), 4, 4);
    double total = 0;
    for (int by = by0; by < by1; ++by) {
        for (int bx = 0; bx < bw; ++bx)
            row[bx] = sums_over(a, b, 4 * bx, 4 * by, 4, 4);
        for (int bx = 0; bx + 1 < bw; ++bx) {
            Sums s = above[bx];
            s += above[bx + 1];
            s += row[bx];
            s += row[bx + 1];
            total += ssim_of(s, 64);
        }
        std::swap(above, row);
    }
    return total;
}

// Squared differences by channel (exact) and the peak over rows y0 .. y1 - 1.
struct SquaredDifferences {
    uint64_t sq[3] = {0, 0, 0};
    int peak = 0;
};

SquaredDifferences squared_differences(const QImage& a, const QImage& b, int y0, int y1)
{
    SquaredDifferences r;
    for (int y = y0; y < y1; ++y) {
        const uchar* p = a.constScanLine(y);
        const uchar* q = b.constScanLine(y);
        uint64_t row[3] = {0, 0, 0};
        int rowpeak = 0;
        for (int x = 0; x < a.width(); ++x, p += 3, q += 3) {
            for (int c = 0; c < 3; ++c) {
                const int d = int(p[c]) - int(q[c]);
                row[c] += uint64_t(d * d);
                rowpeak = std::max(rowpeak, d < 0 ? -d : d);
            }
        }
        for (int c = 0; c < 3; ++c)
            r.sq[c] += row[c];
        r.peak = std::max(r.peak, rowpeak);
    }
    return r;
}

// Pictures from this many pixels on are measured in two halves at once.
constexpr int64_t kTwoThreads = 256 * 256;

} // namespace

double PictureSsim(const QImage& a, const QImage& b)
{
    const int w = a.width(), h = a.height();
    if (w < 8 || h < 8)
        return ssim_of(sums_over(a, b, 0, 0, w, h), double(w) * h);
    const int bw = w / 4, bh = h / 4;
    const double windows = double(bw - 1) * (bh - 1);
    if (int64_t(w) * h < kTwoThreads)
        return ssim_rows(a, b, 1, bh) / windows;
    // The upper half of the window rows on another thread; the halves are
    // added in the same order whatever the machine.
    const int mid = 1 + (bh - 1) / 2;
    auto upper = std::async(std::launch::async, [&] { return ssim_rows(a, b, 1, mid); });
    const double lower = ssim_rows(a, b, mid, bh);
    return (upper.get() + lower) / windows;
}

bool ComparePictures(const QImage& a, const QImage& b, PictureDifference* result)
{
    if (a.isNull() || a.size() != b.size() || a.format() != QImage::Format_BGR888 ||
        b.format() != QImage::Format_BGR888)
        return false;
    const int h = a.height();
    SquaredDifferences d;
    if (int64_t(a.width()) * h < kTwoThreads) {
        d = squared_differences(a, b, 0, h);
    } else {
        auto upper = std::async(std::launch::async, [&] { return squared_differences(a, b, 0, h / 2); });
        const SquaredDifferences lower = squared_differences(a, b, h / 2, h);
        d = upper.get();
        for (int c = 0; c < 3; ++c)
            d.sq[c] += lower.sq[c];
        d.peak = std::max(d.peak, lower.peak);
    }
    const double n = double(a.width()) * h;
    result->psnr = psnr_of(double(d.sq[0] + d.sq[1] + d.sq[2]), 3 * n);
    // Bytes are blue, green, red.
    result->psnrRed = psnr_of(double(d.sq[2]), n);
    result->psnrGreen = psnr_of(double(d.sq[1]), n);
    result->psnrBlue = psnr_of(double(d.sq[0]), n);
    result->peak = d.peak;
    result->ssim = PictureSsim(a, b);
    return true;
}

QRgb HeatColour(int level)
{
    const int v = std::clamp(level, 0, 255);
    const int t = (v % 64) * 4;  // position inside the quarter, 0..252
    switch (v / 64) {
    case 0: return qRgb(0, 0, t);              // black to blue
    case 1: return qRgb(t, 0, 255 - t);        // blue to red
    case 2: return qRgb(255, t, 0);            // red to yellow
    default: return qRgb(255, 255, t);         // yellow to white
    }
}

QImage DifferenceHeatMap(const QImage& a, const QImage& b, int gain)
{
    if (a.isNull() || a.size() != b.size() || a.format() != QImage::Format_BGR888 ||
        b.format() != QImage::Format_BGR888)
        return QImage();
    QRgb ramp[256];
    for (int i = 0; i < 256; ++i)
        ramp[i] = HeatColour(i);
    QImage map(a.size(), QImage::Format_BGR888);
    for (int y = 0; y < a.height(); ++y) {
        const uchar* p = a.constScanLine(y);
        const uchar* q = b.constScanLine(y);
        uchar* o = map.scanLine(y);
        for (int x = 0; x < a.width() * 3; x += 3) {
            int d = std::abs(int(p[x]) - int(q[x]));
            d = std::max(d, std::abs(int(p[x + 1]) - int(q[x + 1])));
            d = std::max(d, std::abs(int(p[x + 2]) - int(q[x + 2])));
            const QRgb c = ramp[std::min(d * gain, 255)];
            o[x] = uchar(qBlue(c)), o[x + 1] = uchar(qGreen(c)), o[x + 2] = uchar(qRed(c));
        }
    }
    return map;
}
