// Two-dimensional wavelet tree: round trips, coefficients against a
// level-by-level composition of the 1-D filter banks, band geometry against
// the subband bounds of T.800 (B-15) and synthesis weights.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "base/mathx.h"
#include "transform/qmfb.h"
#include "base/seq.h"
#include "transform/tsfb.h"

namespace {

matrix_t* random_matrix(std::mt19937& rng, int32_t rows, int32_t cols, int32_t x0, int32_t y0,
                        int32_t amp)
{
    std::uniform_int_distribution<int32_t> d(-amp, amp);
    matrix_t* m = matrix_create(rows, cols);
    matrix_setorigin(m, x0, y0);
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t c = 0; c < cols; ++c)
            matrix_set(m, r, c, d(rng));
    return m;
}

// The dyadic decomposition composed by hand: columns then rows of the
// region with the 1-D filter bank, then the same on the low-low quarter
// with its coordinates halved (rounded up).
void reference_analyze(int kind, int flags, int32_t* data, int32_t rows, int32_t cols,
                       ptrdiff_t step, int64_t x0, int64_t y0, int levels)
{
    if (levels == 0 || rows == 0 || cols == 0)
        return;
    for (int32_t c = 0; c < cols; ++c) {
        std::vector<int32_t> col(static_cast<size_t>(rows));
        for (int32_t r = 0; r < rows; ++r)
            col[r] = data[r * step + c];
        qmfb1d_analyze_region(kind, flags, col.data(), 1, rows, rows, y0);
        for (int32_t r = 0; r < rows; ++r)
            data[r * step + c] = col[r];
    }
    qmfb1d_analyze_region(kind, flags, data, rows, cols, step, x0);
    const int64_t nx0 = mathx_ceildiv(x0, 2), ny0 = mathx_ceildiv(y0, 2);
    const int32_t lcols = static_cast<int32_t>(mathx_ceildiv(x0 + cols, 2) - nx0);
    const int32_t lrows = static_cast<int32_t>(mathx_ceildiv(y0 + rows, 2) - ny0);
    reference_analyze(kind, flags, data, lrows, lcols, step, nx0, ny0, levels - 1);
}

TEST(Tsfb, ReversibleRoundTripIsExactForOddSizesAndOrigins)
{
    std::mt19937 rng(1);
    const int32_t sizes[] = {1, 2, 3, 4, 5, 7, 8, 13, 16, 17, 33};
    const int32_t origins[][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {3, 6}, {1023, 517}};
    for (int levels : {1, 2, 3, 5})
        for (int32_t h : sizes)
            for (int32_t w : sizes)
                for (const auto& o : origins) {
                    SCOPED_TRACE(testing::Message() << levels << " levels, " << w << "x" << h << " at "
                                                    << o[0] << "," << o[1]);
                    matrix_t* m = random_matrix(rng, h, w, o[0], o[1], 1 << 16);
                    matrix_t* orig = matrix_copy(m);
                    tsfb_t* t = tsfb_wavelet(1, levels);
                    ASSERT_NE(t, nullptr);
                    tsfb_analyze(t, QMFB_REV, m);
                    tsfb_synthesize(t, QMFB_REV, m);
                    ASSERT_EQ(matrix_cmp(m, orig), 0);
                    tsfb_destroy(t);
                    matrix_destroy(orig);
                    matrix_destroy(m);
                }
}

TEST(Tsfb, CoefficientsMatchTheLevelByLevelComposition)
{
    std::mt19937 rng(2);
    for (int qmfbid : {0, 1})
        for (int levels : {1, 3, 4})
            for (int32_t x0 : {0, 5})
                for (int32_t y0 : {0, 3}) {
                    const int kind = qmfbid == 1 ? QMFB_53 : QMFB_97;
                    const int flags = qmfbid == 1 ? QMFB_REV : 0;
                    matrix_t* m = random_matrix(rng, 23, 70, x0, y0, 255);
                    if (kind == QMFB_97)  // the 9/7 works on real samples
                        for (int32_t r = 0; r < 23; ++r)
                            for (int32_t c = 0; c < 70; ++c)
                                matrix_rowf(m, r)[c] = static_cast<float>(matrix_get(m, r, c));
                    matrix_t* ref = matrix_copy(m);
                    tsfb_t* t = tsfb_wavelet(qmfbid, levels);
                    tsfb_analyze(t, flags, m);
                    reference_analyze(kind, flags, matrix_row(ref, 0), 23, 70, matrix_rowstep(ref), x0, y0,
                                      levels);
                    EXPECT_EQ(matrix_cmp(m, ref), 0) << "qmfbid " << qmfbid << " levels " << levels;
                    tsfb_destroy(t);
                    matrix_destroy(ref);
                    matrix_destroy(m);
                }
}

TEST(Tsfb, ZeroLevelsChangeNothingAndGiveOneBand)
{
    std::mt19937 rng(5);
    matrix_t* m = random_matrix(rng, 5, 6, 3, 1, 100);
    matrix_t* orig = matrix_copy(m);
    tsfb_t* t = tsfb_wavelet(1, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->root, nullptr);
    tsfb_analyze(t, QMFB_REV, m);
    tsfb_synthesize(t, QMFB_REV, m);
    EXPECT_EQ(matrix_cmp(m, orig), 0);
    tsfb_band_t b[TSFB_MAXBANDS];
    ASSERT_EQ(tsfb_getbands(t, m, b), 1);
    EXPECT_EQ(b[0].orient, TSFB_LL);
    EXPECT_EQ(b[0].locxend, 6);
    EXPECT_EQ(b[0].locyend, 5);
    EXPECT_EQ(b[0].xstart, 3);
    EXPECT_EQ(b[0].yend, 6);
    EXPECT_EQ(b[0].synenergywt, 16384);
    tsfb_destroy(t);
    matrix_destroy(orig);
    matrix_destroy(m);
}

TEST(Tsfb, RefusesUnknownFilterBanksAndLevelCounts)
{
    EXPECT_EQ(tsfb_wavelet(2, 1), nullptr);
    EXPECT_EQ(tsfb_wavelet(1, -1), nullptr);
    EXPECT_EQ(tsfb_wavelet(1, TSFB_MAXLVLS + 1), nullptr);
    tsfb_t* t = tsfb_wavelet(0, 2);
    tsfb_band_t b[TSFB_MAXBANDS];
    EXPECT_EQ(tsfb_getbands(t, -1, 0, 4, 4, b), -1);
    EXPECT_EQ(tsfb_synweight(t, 7), -1);
    tsfb_destroy(t);
}

struct Expect {
    int lx0, ly0, lx1, ly1, orient, x0, y0, x1, y1;
};

void expect_bands(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int levels,
                  const std::vector<Expect>& want)
{
    tsfb_t* t = tsfb_wavelet(1, levels);
    tsfb_band_t b[TSFB_MAXBANDS];
    ASSERT_EQ(tsfb_getbands(t, x0, y0, x1, y1, b), static_cast<int>(want.size()));
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "band " << i);
        const Expect& e = want[i];
        EXPECT_EQ(b[i].locxstart, e.lx0);
        EXPECT_EQ(b[i].locystart, e.ly0);
        EXPECT_EQ(b[i].locxend, e.lx1);
        EXPECT_EQ(b[i].locyend, e.ly1);
        EXPECT_EQ(b[i].orient, e.orient);
        EXPECT_EQ(b[i].xstart, e.x0);
        EXPECT_EQ(b[i].ystart, e.y0);
        EXPECT_EQ(b[i].xend, e.x1);
        EXPECT_EQ(b[i].yend, e.y1);
    }
    tsfb_destroy(t);
}

TEST(Tsfb, BandGeometryOfSmallRegions)
{
    // 5 x 5 at the origin, two levels: 3 low + 2 high, then 2 + 1.
    expect_bands(0, 0, 5, 5, 2,
                 {{0, 0, 2, 2, TSFB_LL, 0, 0, 2, 2},
                  {2, 0, 3, 2, TSFB_HL, 0, 0, 1, 2},
                  {0, 2, 2, 3, TSFB_LH, 0, 0, 2, 1},
                  {2, 2, 3, 3, TSFB_HH, 0, 0, 1, 1},
                  {3, 0, 5, 3, TSFB_HL, 0, 0, 2, 3},
                  {0, 3, 3, 5, TSFB_LH, 0, 0, 3, 2},
                  {3, 3, 5, 5, TSFB_HH, 0, 0, 2, 2}});
    // 5 x 5 at (1, 1), coordinates 1..5: low 2, 4 -> 1..2; high 1, 3, 5 -> 0..2.
    // Second level over coordinates 1..2: low 2 -> 1; high 1 -> 0.
    expect_bands(1, 1, 6, 6, 2,
                 {{0, 0, 1, 1, TSFB_LL, 1, 1, 2, 2},
                  {1, 0, 2, 1, TSFB_HL, 0, 1, 1, 2},
                  {0, 1, 1, 2, TSFB_LH, 1, 0, 2, 1},
                  {1, 1, 2, 2, TSFB_HH, 0, 0, 1, 1},
                  {2, 0, 5, 2, TSFB_HL, 0, 1, 3, 3},
                  {0, 2, 2, 5, TSFB_LH, 1, 0, 3, 3},
                  {2, 2, 5, 5, TSFB_HH, 0, 0, 3, 3}});
}

TEST(Tsfb, BandsTileTheRegionWithTheSubbandBoundsOfT800)
{
    std::mt19937 rng(6);
    std::uniform_int_distribution<int32_t> pos(0, 2000), len(0, 300);
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t x0 = pos(rng), y0 = pos(rng), x1 = x0 + len(rng), y1 = y0 + len(rng);
        const int levels = trial % 9;
        tsfb_t* t = tsfb_wavelet(trial % 2, levels);
        tsfb_band_t b[TSFB_MAXBANDS];
        const int n = tsfb_getbands(t, x0, y0, x1, y1, b);
        ASSERT_EQ(n, 3 * levels + 1);
        std::vector<int> cover(static_cast<size_t>((x1 - x0) * (y1 - y0)), 0);
        for (int i = 0; i < n; ++i) {
            // Decomposition level nb and the high-pass offsets of B-15.
            const int nb = i == 0 ? levels : levels - (i - 1) / 3;
            const int xo = b[i].orient == TSFB_HL || b[i].orient == TSFB_HH;
            const int yo = b[i].orient == TSFB_LH || b[i].orient == TSFB_HH;
            const int64_t off = nb > 0 ? int64_t{1} << (nb - 1) : 0;
            EXPECT_EQ(b[i].xstart, mathx_ceildiv(x0 - off * xo, int64_t{1} << nb));
            EXPECT_EQ(b[i].xend, mathx_ceildiv(x1 - off * xo, int64_t{1} << nb));
            EXPECT_EQ(b[i].ystart, mathx_ceildiv(y0 - off * yo, int64_t{1} << nb));
            EXPECT_EQ(b[i].yend, mathx_ceildiv(y1 - off * yo, int64_t{1} << nb));
            static const int highs[3] = {TSFB_HL, TSFB_LH, TSFB_HH};
            EXPECT_EQ(b[i].orient, i == 0 ? TSFB_LL : highs[(i - 1) % 3]);
            EXPECT_EQ(b[i].locxend - b[i].locxstart, b[i].xend - b[i].xstart);
            EXPECT_EQ(b[i].locyend - b[i].locystart, b[i].yend - b[i].ystart);
            for (int32_t y = b[i].locystart; y < b[i].locyend; ++y)
                for (int32_t x = b[i].locxstart; x < b[i].locxend; ++x)
                    ++cover[static_cast<size_t>(y * (x1 - x0) + x)];
        }
        for (int c : cover)
            ASSERT_EQ(c, 1);
        tsfb_destroy(t);
    }
}

// The weight by the sequence routines: the band's synthesis filter, then
// the low-pass one for every level above it, each after upsampling by 2.
int32_t chain_norm(int qmfbid, int ch, int depth)
{
    qmfb1d_t* q = qmfb1d_make(qmfbid == 1 ? QMFB_53 : QMFB_97);
    seq_t* f[2];
    qmfb1d_getsynfilters(q, 2, f);
    seq_t* s = seq_create(0, 1);
    seq_set(s, 0, 16384);
    for (int d = 0; d < depth; ++d) {
        seq_t* up = seq_upsample(s, 2);
        seq_t* next = seq_conv(up, f[d == 0 ? ch : 0]);
        matrix_destroy(up);
        matrix_destroy(s);
        s = next;
    }
    const int32_t n = seq_norm(s);
    matrix_destroy(s);
    matrix_destroy(f[0]);
    matrix_destroy(f[1]);
    qmfb1d_destroy(q);
    return n;
}

TEST(Tsfb, SynthesisWeights)
{
    // Values worked out from the synthesis filters.
    tsfb_t* t53 = tsfb_wavelet(1, 1);
    EXPECT_EQ(tsfb_synweight(t53, 0), 24575);
    EXPECT_EQ(tsfb_synweight(t53, 1), 17011);
    EXPECT_EQ(tsfb_synweight(t53, 2), 17011);
    EXPECT_EQ(tsfb_synweight(t53, 3), 11775);
    tsfb_destroy(t53);
    tsfb_t* t97 = tsfb_wavelet(0, 3);
    EXPECT_EQ(tsfb_synweight(t97, 0), 137809);
    EXPECT_EQ(tsfb_synweight(t97, 1), 137000);
    EXPECT_EQ(tsfb_synweight(t97, 3), 136195);
    EXPECT_EQ(tsfb_synweight(t97, 9), 34083);
    tsfb_destroy(t97);

    // Every band of deeper trees against the sequence routines.
    for (int qmfbid : {0, 1})
        for (int levels : {1, 4, 7}) {
            tsfb_t* t = tsfb_wavelet(qmfbid, levels);
            tsfb_band_t b[TSFB_MAXBANDS];
            const int n = tsfb_getbands(t, 0, 0, 64, 64, b);
            for (int i = 0; i < n; ++i) {
                const int depth = i == 0 ? levels : levels - (i - 1) / 3;
                const int hch = b[i].orient == TSFB_HL || b[i].orient == TSFB_HH;
                const int vch = b[i].orient == TSFB_LH || b[i].orient == TSFB_HH;
                const int64_t want = (int64_t{chain_norm(qmfbid, hch, depth)} *
                                      chain_norm(qmfbid, vch, depth)) >> 14;
                EXPECT_EQ(b[i].synenergywt, want) << "qmfbid " << qmfbid << " band " << i;
                EXPECT_EQ(tsfb_synweight(t, i), want);
            }
            tsfb_destroy(t);
        }
}

TEST(Tsfb, DeepTreesStayFastAndBounded)
{
    const auto begin = std::chrono::steady_clock::now();
    for (int qmfbid : {0, 1}) {
        tsfb_t* t = tsfb_wavelet(qmfbid, TSFB_MAXLVLS);
        tsfb_band_t b[TSFB_MAXBANDS];
        ASSERT_EQ(tsfb_getbands(t, 7, 9, 4000, 3000, b), TSFB_MAXBANDS);
        for (int i = 1; i < TSFB_MAXBANDS; ++i)
            EXPECT_GT(b[i].synenergywt, 0);
        // The weights grow toward the coarse levels and saturate, never wrap.
        EXPECT_GE(b[1].synenergywt, b[TSFB_MAXBANDS - 3].synenergywt);
        EXPECT_EQ(b[0].synenergywt, INT32_MAX);
        tsfb_destroy(t);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
}

}  // namespace
