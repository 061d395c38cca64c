#include "tier1/t1est.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "base/seq.h"
#include "base/simd.h"
#include "tier1/jpcod.h"
#include "tier1/requant.h"

namespace {

// Modelled cost in bits of the decisions of one plane: zero coding of the
// samples not yet significant (K of Z become significant; context modelling
// codes them below their plain binary entropy), one sign per new
// significant sample, and about one bit per refined sample.
constexpr double kZeroCoding = 0.83;
constexpr double kSign = 1.1;
constexpr double kRefine = 1.05;
// HT: bits of a quad beside its MagSgn bits, in VLC and MEL, with and
// without a significant sample (fitted on coded photographs).
constexpr double kHtSigQuad = 7.4;
constexpr double kHtQuietQuad = 0.135;

double entropy_bits(double k, double z)
{
    if (k <= 0 || k >= z)
        return 0;
    const double p = k / z;
    return -z * (p * std::log2(p) + (1 - p) * std::log2(1 - p));
}

// Row r of the block's samples as the estimate reads them: requantized
// into buf when the block waits for that (the block stays as it is).
const int32_t* sampledrow(const jpenc_cblk_t* cblk, int32_t r, std::vector<int32_t>& buf)
{
    const int32_t* row = matrix_row(cblk->data, r);
    if (cblk->ratio == 0)
        return row;
    buf.assign(row, row + matrix_numcols(cblk->data));
    requant_row(buf.data(), int32_t(buf.size()), cblk->ratio);
    return buf.data();
}

} // namespace

namespace {

// The distortion tables (built when the library loads) as the models read
// them: the plane-0 figures of significance and first refinement followed
// by the others, and the means of the refinement figures.
struct httabs_t {
    int32_t sig[256], ref[256];
    double meanref = 0, meanref0 = 0;
    httabs_t()
    {
        static_assert(JPC_NMSEDEC_SIZE == 128);
        std::copy(jpc_signmsedec0, jpc_signmsedec0 + 128, sig);
        std::copy(jpc_signmsedec, jpc_signmsedec + 128, sig + 128);
        std::copy(jpc_refnmsedec0, jpc_refnmsedec0 + 128, ref);
        std::copy(jpc_refnmsedec, jpc_refnmsedec + 128, ref + 128);
        for (int i = 0; i < JPC_NMSEDEC_SIZE; ++i)
            meanref += jpc_refnmsedec[i], meanref0 += jpc_refnmsedec0[i];
        meanref /= JPC_NMSEDEC_SIZE, meanref0 /= JPC_NMSEDEC_SIZE;
    }
};

const httabs_t& httabs()
{
    static const httabs_t t;
    return t;
}

// Sums of the sampled samples by plane (see t1est_planes).
struct sums_t {
    int32_t newsig[4][40] = {};
    int64_t nmsedec[4][40] = {};
    int64_t residual = 0;

    // One sample of column set `set`; returns the plane at which it becomes
    // significant (below 0: never).
    int add(uint32_t v, int set)
    {
        const uint32_t mag = int32_t(v) < 0 ? -v : v;
        const int b = 31 - __builtin_clz(mag | 1) - JPC_NUMEXTRABITS;
        const int32_t* sigtab = b > 0 ? jpc_signmsedec : jpc_signmsedec0;
        const int32_t* reftab = b > 1 ? jpc_refnmsedec : jpc_refnmsedec0;
        ++newsig[set][b + 8];
        nmsedec[set][b + 8] += sigtab[(mag >> std::max(b, 0)) & (JPC_NMSEDEC_SIZE - 1)];
        nmsedec[set][b + 7] += reftab[(mag >> std::max(b - 1, 0)) & (JPC_NMSEDEC_SIZE - 1)];
        const int32_t frac = int32_t(mag & 63) - (b >= 0 ? 32 : 0);
        residual += frac * frac;
        return b;
    }
};

// What sums_t::add needs of each of n samples, packed into f: its plane
// b + 8 (bits 16-21) and the indices of its significance (bits 0-7) and
// first refinement (bits 8-15) figures in a table of the plane-0 figures
// followed by the others.  Returns the sum of the residuals.
HOT_CLONES int64_t rowfigures(const int32_t* r, int n, uint32_t* f)
{
    int32_t sum = 0;  // below 2^12 a sample
    for (int c = 0; c < n; ++c) {
        const uint32_t mag = r[c] < 0 ? 0u - uint32_t(r[c]) : uint32_t(r[c]);
        // floor(log2(mag | 1)) from the exponent of an exact double (of
        // 1 - 2^31 for 2^31).
        const int32_t lg =
            int32_t(std::bit_cast<uint64_t>(double(int32_t(mag | 1))) >> 52 & 0x7ff) - 1023 +
            int32_t(mag >> 31);
        const int32_t b = lg - JPC_NUMEXTRABITS;
        const uint32_t si = (b > 0 ? 128u : 0u) + ((mag >> std::max(b, 0)) & 127);
        const uint32_t ri = (b > 1 ? 128u : 0u) + ((mag >> std::max(b - 1, 0)) & 127);
        f[c] = si | ri << 8 | uint32_t(b + 8) << 16;
        const int32_t frac = int32_t(mag & 63) - (b >= 0 ? 32 : 0);
        sum += frac * frac;
    }
    return sum;
}

// The OR of the magnitudes of n samples into ormag; returns the sum of
// their residuals as rowfigures when that OR is below plane 0 (every
// magnitude its own fraction).
HOT_CLONES int64_t rowquiet(const int32_t* r, int n, uint32_t& ormag)
{
    uint32_t sum = 0, o = 0;
    for (int c = 0; c < n; ++c) {
        const uint32_t mag = r[c] < 0 ? 0u - uint32_t(r[c]) : uint32_t(r[c]);
        o |= mag;
        sum += (mag & 63) * (mag & 63);
    }
    ormag = o;
    return sum;
}

// The distortion decreases of the planes from the sums, scaled to the whole
// block; sig[p]: the samples that become significant at plane p.  Returns
// the residual.
double finish(const sums_t& sums, int numbps, double weight, double scale, double* sig,
              t1est_plane_t* planes)
{
    double sum[32];
    for (int p = 0; p < 32; ++p) {
        sig[p] = sum[p] = 0;
        for (int set = 0; set < 4; ++set)
            sig[p] += sums.newsig[set][p + 8], sum[p] += double(sums.nmsedec[set][p + 8]);
        sig[p] *= scale, sum[p] *= scale;
    }
    const double meanref = httabs().meanref, meanref0 = httabs().meanref0;
    double significant = 0, deep = 0;
    for (int p = numbps - 1; p >= 0; --p) {
        const double total = sum[p] + deep * (p > 0 ? meanref : meanref0);
        planes[p].dist = std::ldexp(weight * (total / 16384.0), 2 * p);
        deep = significant;
        significant += sig[p];
    }
    return weight * (double(sums.residual) / 4096) * scale;
}

}  // namespace

double t1est_planes(const jpenc_cblk_t* cblk, int numbps, double weight, t1est_plane_t* planes,
                    int rowstep)
{
    // Squared error of a sample's fraction (6 bits) once all its planes are
    // coded, in units of 1/4096: a sample that never became significant
    // keeps its value m; one that did is rebuilt at the middle of its last
    // interval (32).  Summed as integers, exactly: no chain of dependent
    // floating-point additions through the loop.
    // By plane: samples that become significant there, and the sum of the
    // distortion table values (fixed14) of the significance and first
    // refinement of each sample.  Later refinements are not summed sample
    // by sample: their bits are close to uniform, so each counts with the
    // table's mean.  The sums are kept by plane + 8: samples below plane 0
    // land in the slots under 8, which are never read, so the loop has no
    // branch on the data; four sets, by column, keep neighbouring samples
    // off one another's sums.
    sums_t sums;
    const matrix_t* data = cblk->data;
    const int32_t numrows = matrix_numrows(data), numcols = matrix_numcols(data);
    // Every fourth row is enough for figures that are models anyway.
    if (rowstep <= 0)
        rowstep = numrows >= 16 ? 4 : numrows >= 8 ? 2 : 1;
    if (rowstep > numrows)
        rowstep = 1;
    thread_local std::vector<int32_t> rowbuf;
    for (int32_t r = 0; r < numrows; r += rowstep) {
        const int32_t* row = sampledrow(cblk, r, rowbuf);
        for (int32_t c = 0; c < numcols; ++c)
            sums.add(row[c], c & 3);
    }
    const double scale = double(numrows) / ((numrows + rowstep - 1) / rowstep);
    double sig[32];
    const double residual = finish(sums, numbps, weight, scale, sig, planes);
    const double n = double(numrows) * numcols;
    double significant = 0;  // significant before the plane
    for (int p = numbps - 1; p >= 0; --p) {
        const double k = sig[p];
        const double bits = kZeroCoding * entropy_bits(k, n - significant) + kSign * k +
                            kRefine * significant;
        planes[p].bytes = bits / 8;
        significant += k;
    }
    return residual;
}

double t1est_htplanes(const jpenc_cblk_t* cblk, int numbps, double weight,
                      t1est_plane_t* planes, int pairstep)
{
    // The bytes of an HT cleanup pass are mostly its MagSgn bits: a sample
    // significant at plane p sends about as many bits as the largest
    // exponent in its quad above p, E - p + 1.  By the plane where a sample
    // becomes significant (plus 8 as above), four sets by its place in its
    // quad: the samples (bits 32 and up) and the sum of E + 1 over them
    // (below; both only read from slot 8 up, where E + 1 > 0); the sums of
    // sums_t::nmsedec, its first refinement (bits 32 and up, for the slot
    // below) and its significance (below, within +-2^31); by E + 8, the
    // quads.  The VLC and MEL bits come by the quad.
    constexpr int64_t HIGH = int64_t{1} << 32;
    int64_t sigcst[4][40] = {}, dist[4][40] = {}, quads[40] = {};
    const int32_t* const sigtab = httabs().sig;
    const int32_t* const reftab = httabs().ref;
    // Sample with figures f at place i of its quad: its sums and its plane.
    auto add = [&](uint32_t f, int i) {
        dist[i][f >> 16] += sigtab[f & 255] + reftab[(f >> 8) & 255] * HIGH;
        return int(f >> 16) - 8;
    };
    thread_local std::vector<uint32_t> figs;
    thread_local std::vector<int32_t> buf0, buf1;
    const matrix_t* data = cblk->data;
    const int32_t numrows = matrix_numrows(data), numcols = matrix_numcols(data);
    const int32_t numpairs = (numrows + 1) / 2;
    if (pairstep <= 0 || pairstep > numpairs)
        pairstep = 1;
    int32_t sampled = 0;
    int64_t numquads = 0, fracs = 0;
    uint32_t ortop = 0;  // the OR of the sampled magnitudes
    figs.resize(2 * size_t(numcols));
    uint32_t* const f0 = figs.data();
    uint32_t* const f1 = f0 + numcols;
    for (int32_t r = 0; r < numrows; r += 2 * pairstep) {
        const int32_t* r0 = sampledrow(cblk, r, buf0);
        const int32_t* r1 = r + 1 < numrows ? sampledrow(cblk, r + 1, buf1) : nullptr;
        sampled += r1 ? 2 : 1;
        // The rows of the next pair, while this one is summed.
        for (int32_t y = r + 2 * pairstep; y < std::min(r + 2 * pairstep + 2, numrows); ++y)
            for (int32_t x = 0; x < numcols; x += 16)
                __builtin_prefetch(matrix_row(data, y) + x);
        uint32_t or0 = 0, or1 = 0;
        const int64_t quiet = rowquiet(r0, numcols, or0) + (r1 ? rowquiet(r1, numcols, or1) : 0);
        ortop |= or0 | or1;
        // Samples below plane 0 (b < 0) only count in slots under 8, which
        // are never read: a quad without one above brings only its count.
        if ((or0 | or1) >> JPC_NUMEXTRABITS == 0) {
            fracs += quiet;
            numquads += (numcols + 1) / 2;
            continue;
        }
        fracs += rowfigures(r0, numcols, f0) + (r1 ? rowfigures(r1, numcols, f1) : 0);
        for (int32_t c = 0; c < numcols; c += 2) {
            int b[4] = {-8, -8, -8, -8};
            if (r1 && c + 1 < numcols) {
                if (std::max(std::max(f0[c], f1[c]), std::max(f0[c + 1], f1[c + 1])) >> 16 < 8) {
                    ++numquads;
                    continue;
                }
                b[0] = add(f0[c], 0);
                b[1] = add(f1[c], 1);
                b[2] = add(f0[c + 1], 2);
                b[3] = add(f1[c + 1], 3);
            } else {
                b[0] = add(f0[c], 0);
                if (r1)
                    b[1] = add(f1[c], 1);
                if (c + 1 < numcols)
                    b[2] = add(f0[c + 1], 2);
            }
            const int e = std::max(std::max(b[0], b[1]), std::max(b[2], b[3]));
            const int64_t one = HIGH + (e + 1);
            // Absent samples (b = -8) land in slot 0.
            for (int i = 0; i < 4; ++i)
                sigcst[i][b[i] + 8] += one;
            ++quads[e + 8];
            ++numquads;
        }
    }
    // The high part of x, rounded (the low part within +-2^31).
    auto high = [](int64_t x) { return (x + (int64_t{1} << 31)) >> 32; };
    sums_t sums;
    sums.residual = fracs;
    // No sample lies above the top plane of their OR: the slots above it
    // stay 0.
    const int topslot = std::min(39, ortop ? 31 - __builtin_clz(ortop) - JPC_NUMEXTRABITS + 8 : 7);
    // Present samples are counted in every set from slot 2 (b >= -6) up.
    for (int i = 0; i < 4; ++i)
        for (int p = 2; p <= topslot; ++p) {
            sums.newsig[0][p] += int32_t(high(sigcst[i][p]));
            sums.nmsedec[0][p] += dist[i][p] - high(dist[i][p]) * HIGH;
            if (p > 2)
                sums.nmsedec[0][p - 1] += high(dist[i][p]);
        }
    const double scale = double(numrows) / std::max(sampled, 1);
    double sig[32];
    const double residual = finish(sums, numbps, weight, scale, sig, planes);
    // Sums from the top plane down: the samples significant at plane p or
    // above (l), their E + 1 (c) and the quads with one (q).
    int64_t c = 0, l = 0, q = 0;
    for (int p = std::max(numbps - 1, std::min(39, topslot) - 8); p >= 0; --p) {
        for (int i = 0; i < 4; ++i) {
            const int64_t n = high(sigcst[i][p + 8]);
            l += n;
            c += sigcst[i][p + 8] - n * HIGH;
        }
        q += quads[p + 8];
        if (p >= numbps)
            continue;
        const double bits = double(c - l * p) + kHtSigQuad * double(q) +
                            kHtQuietQuad * double(numquads - q);
        planes[p].bytes = bits * scale / 8;
    }
    // Each plane's own bytes: a candidate at plane p takes the bytes of
    // the planes above it too.
    for (int p = 0; p + 1 < numbps; ++p)
        planes[p].bytes -= planes[p + 1].bytes;
    return residual;
}

void t1est_choose(const t1est_plane_t* planes, const int* numbps, int64_t numcblks,
                  double residual, t1est_goal_t goal, double margin, int* keep)
{
    t1est_choose(planes, numbps, numcblks, residual, goal, &margin, 1, &keep);
}

void t1est_choose(const t1est_plane_t* planes, const int* numbps, int64_t numcblks,
                  double residual, t1est_goal_t goal, const double* margins, int nmargins,
                  int* const* keeps)
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
    // The first segment that the goal has no room for.
    size_t fit = 0;
    if (goal.bytes >= 0) {
        for (double total = 0; fit < segs.size() && total + segs[fit].bytes <= goal.bytes; ++fit)
            total += segs[fit].bytes;
    } else {
        double left = residual;  // distortion left with every plane in
        for (const seg_t& s : segs)
            left += s.dist;
        for (; fit < segs.size() && left > goal.dist; ++fit)
            left -= segs[fit].dist;
        // fit is the first segment not needed; the one before it is the
        // last that the goal needs.
        fit = fit > 0 ? fit - 1 : 0;
        if (left > goal.dist)
            fit = segs.size();
    }
    for (int m = 0; m < nmargins; ++m) {
        int* keep = keeps[m];
        if (fit == segs.size()) {  // everything fits: every plane is coded
            std::copy(numbps, numbps + numcblks, keep);
            continue;
        }
        const double thresh = segs[fit].slope() / margins[m];
        std::fill(keep, keep + numcblks, 0);
        for (const seg_t& s : segs)
            if (s.slope() >= thresh)
                keep[s.cblk] = std::max(keep[s.cblk], s.planes);
    }
}
