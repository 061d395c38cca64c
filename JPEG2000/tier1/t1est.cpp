#include "tier1/t1est.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/seq.h"
#include "tier1/jpcod.h"

namespace {

// Modelled cost in bits of the decisions of one plane: zero coding of the
// samples not yet significant (K of Z become significant; context modelling
// codes them below their plain binary entropy), one sign per new
// significant sample, and about one bit per refined sample.
constexpr double kZeroCoding = 0.83;
constexpr double kSign = 1.1;
constexpr double kRefine = 1.05;

double entropy_bits(double k, double z)
{
    if (k <= 0 || k >= z)
        return 0;
    const double p = k / z;
    return -z * (p * std::log2(p) + (1 - p) * std::log2(1 - p));
}

} // namespace

void t1est_planes(const jpenc_cblk_t* cblk, int numbps, double weight, t1est_plane_t* planes)
{
    if (numbps <= 0)
        return;
    // By plane: samples that become significant there, and the sum of the
    // distortion table values (fixed14) that its passes report.
    int64_t newsig[32] = {};
    int64_t nmsedec[32] = {};
    const matrix_t* data = cblk->data;
    const int32_t numrows = matrix_numrows(data), numcols = matrix_numcols(data);
    for (int32_t r = 0; r < numrows; ++r) {
        const int32_t* row = matrix_row(data, r);
        for (int32_t c = 0; c < numcols; ++c) {
            const uint32_t v = row[c];
            const int32_t mag = int32_t(int32_t(v) < 0 ? -v : v);
            if (mag >> JPC_NUMEXTRABITS == 0)
                continue;
            const int b = 31 - __builtin_clz(uint32_t(mag)) - JPC_NUMEXTRABITS;
            ++newsig[b];
            nmsedec[b] += jpc_getsignmsedec(mag, b);
            for (int p = b - 1; p >= 0; --p)
                nmsedec[p] += jpc_getrefnmsedec(mag, p);
        }
    }
    const double n = double(numrows) * numcols;
    double significant = 0;  // significant before the plane
    for (int p = numbps - 1; p >= 0; --p) {
        const double k = double(newsig[p]);
        const double bits = kZeroCoding * entropy_bits(k, n - significant) + kSign * k +
                            kRefine * significant;
        planes[p].bytes = bits / 8;
        planes[p].dist = std::ldexp(weight * (double(nmsedec[p]) / 16384.0), 2 * p);
        significant += k;
    }
}

void t1est_choose(const t1est_plane_t* planes, const int* numbps, int64_t numcblks,
                  double budget, double margin, int* keep)
{
    // Hull segments of every block: slope, modelled bytes, block and the
    // planes from the top that the segment ends with.
    struct seg_t {
        double dist;
        double bytes;
        int64_t cblk;
        int planes;
        double slope() const { return dist / std::max(bytes, 1.0 / 8); }
    };
    std::vector<seg_t> segs;
    std::vector<seg_t> hull;
    const t1est_plane_t* block = planes;
    for (int64_t i = 0; i < numcblks; block += numbps[i], ++i) {
        hull.clear();
        // Planes from the top (numbps - 1) down; a segment absorbs the ones
        // before it while its slope is not lower than theirs.
        for (int p = numbps[i] - 1, taken = 1; p >= 0; --p, ++taken) {
            seg_t s{block[p].dist, block[p].bytes, i, taken};
            while (!hull.empty() && hull.back().slope() <= s.slope()) {
                s.dist += hull.back().dist;
                s.bytes += hull.back().bytes;
                hull.pop_back();
            }
            hull.push_back(s);
        }
        segs.insert(segs.end(), hull.begin(), hull.end());
    }
    // Steepest first; ties in block order keep the choice independent of
    // anything but the figures.
    std::sort(segs.begin(), segs.end(), [](const seg_t& a, const seg_t& b) {
        const double sa = a.slope(), sb = b.slope();
        return sa != sb ? sa > sb : a.cblk < b.cblk;
    });
    double total = 0;
    size_t fit = 0;
    while (fit < segs.size() && total + segs[fit].bytes <= budget)
        total += segs[fit++].bytes;
    if (fit == segs.size()) {  // everything fits: every plane is coded
        std::copy(numbps, numbps + numcblks, keep);
        return;
    }
    const double thresh = segs[fit].slope() / margin;
    std::fill(keep, keep + numcblks, 0);
    for (const seg_t& s : segs)
        if (s.slope() >= thresh)
            keep[s.cblk] = std::max(keep[s.cblk], s.planes);
}
