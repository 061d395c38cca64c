// One-dimensional 5/3 and 9/7 filter banks.
//
// The reference below follows T.800 Annex F literally: it lifts the
// interleaved signal, reaching past either end through the periodic
// symmetric extension, and only then separates low-pass and high-pass
// coefficients.  The filter banks under test split first and treat the two
// ends by one-neighbour formulas, so agreement checks both the lifting
// arithmetic and the boundary handling for either parity of the start.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "transform/qmfb.h"
#include "base/seq.h"

namespace {

using Line = std::vector<int32_t>;

int32_t fixmul(int32_t c, int64_t x)
{
    return static_cast<int32_t>((c * x) >> 14);
}

// Lifting on the interleaved line x (absolute coordinates start ..), for
// the samples of parity `odd`, from their two neighbours, mirrored at the
// ends.
template <class F>
void ref_step(Line& x, int64_t start, int odd, F f)
{
    const int64_t n = static_cast<int64_t>(x.size());
    auto at = [&](int64_t i) {
        if (i < 0)
            i = -i;
        if (i >= n)
            i = 2 * (n - 1) - i;
        return x[static_cast<size_t>(i)];
    };
    for (int64_t i = 0; i < n; ++i)
        if (((start + i) & 1) == odd)
            x[static_cast<size_t>(i)] = f(x[static_cast<size_t>(i)], at(i - 1), at(i + 1));
}

Line ref_split(const Line& x, int64_t start)
{
    Line out;
    for (int parity = 0; parity < 2; ++parity)
        for (size_t i = 0; i < x.size(); ++i)
            if (((start + static_cast<int64_t>(i)) & 1) == parity)
                out.push_back(x[i]);
    return out;
}

Line ref_join(const Line& y, int64_t start)
{
    Line x(y.size());
    size_t k = 0;
    for (int parity = 0; parity < 2; ++parity)
        for (size_t i = 0; i < x.size(); ++i)
            if (((start + static_cast<int64_t>(i)) & 1) == parity)
                x[i] = y[k++];
    return x;
}

Line ref_analyze(int kind, Line x, int64_t start)
{
    if (x.size() == 1) {
        if ((start & 1) && kind == QMFB_53)
            x[0] *= 2;
        return x;
    }
    if (kind == QMFB_53) {
        ref_step(x, start, 1, [](int32_t t, int32_t a, int32_t b) { return t - ((a + b) >> 1); });
        ref_step(x, start, 0, [](int32_t t, int32_t a, int32_t b) { return t + ((a + b + 2) >> 2); });
    } else {
        const int32_t c[4] = {-25987, -868, 14465, 7266};
        for (int s = 0; s < 4; ++s)
            ref_step(x, start, s % 2 == 0 ? 1 : 0, [&](int32_t t, int32_t a, int32_t b) {
                return t + fixmul(c[s], static_cast<int64_t>(a) + b);
            });
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = fixmul((start + static_cast<int64_t>(i)) & 1 ? 10077 : 13318, x[i]);
    }
    return ref_split(x, start);
}

Line ref_synthesize(int kind, const Line& y, int64_t start)
{
    if (y.size() == 1) {
        Line x = y;
        if ((start & 1) && kind == QMFB_53)
            x[0] >>= 1;
        return x;
    }
    Line x = ref_join(y, start);
    if (kind == QMFB_53) {
        ref_step(x, start, 0, [](int32_t t, int32_t a, int32_t b) { return t - ((a + b + 2) >> 2); });
        ref_step(x, start, 1, [](int32_t t, int32_t a, int32_t b) { return t + ((a + b) >> 1); });
    } else {
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = fixmul((start + static_cast<int64_t>(i)) & 1 ? 26636 : 20155, x[i]);
        const int32_t c[4] = {-7266, -14465, 868, 25987};
        for (int s = 0; s < 4; ++s)
            ref_step(x, start, s % 2 == 0 ? 0 : 1, [&](int32_t t, int32_t a, int32_t b) {
                return t + fixmul(c[s], static_cast<int64_t>(a) + b);
            });
    }
    return x;
}

Line random_line(std::mt19937& rng, size_t n, int32_t lo, int32_t hi)
{
    std::uniform_int_distribution<int32_t> d(lo, hi);
    Line x(n);
    for (auto& v : x)
        v = d(rng);
    return x;
}

// Runs the filter bank on x as one row of a matrix at coordinate start.
Line run_row(int kind, int flags, bool analyze, const Line& x, int32_t start)
{
    matrix_t* m = matrix_create(1, static_cast<int32_t>(x.size()));
    matrix_setorigin(m, start, 0);
    for (size_t i = 0; i < x.size(); ++i)
        matrix_set(m, 0, static_cast<int32_t>(i), x[i]);
    qmfb1d_t* q = qmfb1d_make(kind);
    if (analyze)
        qmfb1d_analyze(q, flags, m);
    else
        qmfb1d_synthesize(q, flags, m);
    Line out(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        out[i] = matrix_get(m, 0, static_cast<int32_t>(i));
    qmfb1d_destroy(q);
    matrix_destroy(m);
    return out;
}

int flags_for(int kind)
{
    return kind == QMFB_53 ? QMFB_REV : 0;
}

TEST(Qmfb, KnownVectorsFromTheLiftingEquations)
{
    // 5/3, coordinates 0..3: h1 = 2 - (1+3)/2 = 0, h3 = 4 - 3 = 1,
    // l0 = 1 + (0+0+2)/4 = 1, l2 = 3 + (0+1+2)/4 = 3.
    EXPECT_EQ(run_row(QMFB_53, QMFB_REV, true, {1, 2, 3, 4}, 0), (Line{1, 3, 0, 1}));
    // The same samples at coordinates 1..4: h1 = 1 - 2 = -1, h3 = 3 - 3 = 0,
    // l2 = 2 + (-1+0+2)/4 = 2, l4 = 4 + (0+0+2)/4 = 4.
    EXPECT_EQ(run_row(QMFB_53, QMFB_REV, true, {1, 2, 3, 4}, 1), (Line{2, 4, -1, 0}));
    // Floor rounding of negative sums: h1 = 0 - floor(-3/2) = 2, then
    // l0 = -1 + floor((2+2+2)/4) = 0 and l2 = -2 + 1 = -1.
    EXPECT_EQ(run_row(QMFB_53, QMFB_REV, true, {-1, 0, -2}, 0), (Line{0, -1, 2}));
    // 9/7 on (1.0, 0): h = -51974, l = 21891, h = -13321, l = 10075, then
    // l * 13318 >> 14 = 8189 and h * 10077 >> 14 = -8194.
    EXPECT_EQ(run_row(QMFB_97, 0, true, {16384, 0}, 0), (Line{8189, -8194}));
}

TEST(Qmfb, RowsMatchTheReferenceForEveryLengthAndParity)
{
    std::mt19937 rng(7);
    for (int kind : {QMFB_53, QMFB_97})
        for (int32_t start : {0, 1, 2, 5})
            for (size_t n = 1; n <= 40; ++n) {
                SCOPED_TRACE(testing::Message() << "kind " << kind << " start " << start << " n " << n);
                const int32_t amp = kind == QMFB_53 ? 300 : 300 << 14;
                const Line x = random_line(rng, n, -amp, amp);
                const Line y = run_row(kind, flags_for(kind), true, x, start);
                ASSERT_EQ(y, ref_analyze(kind, x, start));
                // Synthesis of arbitrary coefficients, as a decoder meets them.
                const Line c = random_line(rng, n, -amp, amp);
                ASSERT_EQ(run_row(kind, flags_for(kind), false, c, start), ref_synthesize(kind, c, start));
            }
}

TEST(Qmfb, ColumnsMatchTheReferenceAcrossStrips)
{
    // 600 columns cover several strips of the column passes and a short one.
    std::mt19937 rng(11);
    const int32_t numcols = 600;
    for (int kind : {QMFB_53, QMFB_97})
        for (int32_t ystart : {0, 3})
            for (int32_t numrows = 1; numrows <= 19; ++numrows) {
                SCOPED_TRACE(testing::Message() << "kind " << kind << " ystart " << ystart << " rows " << numrows);
                matrix_t* m = matrix_create(numrows, numcols);
                matrix_setorigin(m, 1, ystart);
                std::vector<Line> cols(numcols);
                for (int32_t c = 0; c < numcols; ++c) {
                    cols[c] = random_line(rng, static_cast<size_t>(numrows), -1000, 1000);
                    for (int32_t r = 0; r < numrows; ++r)
                        matrix_set(m, r, c, cols[c][r]);
                }
                qmfb1d_t* q = qmfb1d_make(kind);
                qmfb1d_analyze(q, flags_for(kind) | QMFB_VERT, m);
                for (int32_t c = 0; c < numcols; ++c) {
                    const Line want = ref_analyze(kind, cols[c], ystart);
                    for (int32_t r = 0; r < numrows; ++r)
                        ASSERT_EQ(matrix_get(m, r, c), want[r]) << "row " << r << " col " << c;
                }
                qmfb1d_synthesize(q, flags_for(kind) | QMFB_VERT, m);
                for (int32_t c = 0; c < numcols; ++c) {
                    const Line want = ref_synthesize(kind, ref_analyze(kind, cols[c], ystart), ystart);
                    for (int32_t r = 0; r < numrows; ++r)
                        ASSERT_EQ(matrix_get(m, r, c), want[r]) << "row " << r << " col " << c;
                }
                qmfb1d_destroy(q);
                matrix_destroy(m);
            }
}

TEST(Qmfb, TallColumnsAreSplitIntoNarrowerStrips)
{
    std::mt19937 rng(12);
    // 20000 high-pass rows leave room for strips of 96 columns.
    const int32_t numrows = 40001, numcols = 100;
    for (int kind : {QMFB_53, QMFB_97}) {
        matrix_t* m = matrix_create(numrows, numcols);
        std::vector<Line> cols(numcols);
        for (int32_t c = 0; c < numcols; ++c) {
            cols[c] = random_line(rng, numrows, -1000, 1000);
            for (int32_t r = 0; r < numrows; ++r)
                matrix_set(m, r, c, cols[c][r]);
        }
        qmfb1d_t* q = qmfb1d_make(kind);
        qmfb1d_analyze(q, flags_for(kind) | QMFB_VERT, m);
        for (int32_t c = 0; c < numcols; ++c) {
            Line got(numrows);
            for (int32_t r = 0; r < numrows; ++r)
                got[r] = matrix_get(m, r, c);
            ASSERT_TRUE(got == ref_analyze(kind, cols[c], 0)) << "kind " << kind << " col " << c;
        }
        qmfb1d_destroy(q);
        matrix_destroy(m);
    }
}

TEST(Qmfb, ReversibleRoundTripIsExactAndNineSevenIsClose)
{
    std::mt19937 rng(3);
    for (int32_t start : {0, 1})
        for (size_t n : {1, 2, 3, 4, 5, 6, 7, 31, 32, 33, 4097, 9001}) {
            SCOPED_TRACE(testing::Message() << "start " << start << " n " << n);
            const Line x = random_line(rng, n, -(1 << 20), 1 << 20);
            const Line y = run_row(QMFB_53, QMFB_REV, true, x, start);
            EXPECT_EQ(run_row(QMFB_53, QMFB_REV, false, y, start), x);

            Line f = random_line(rng, n, -255, 255);
            for (auto& v : f)
                v *= 16384;
            const Line back = run_row(QMFB_97, 0, false, run_row(QMFB_97, 0, true, f, start), start);
            // The truncated scale factors give a gain off by about 1e-4: the
            // error stays far below half a sample unit (8192).
            for (size_t i = 0; i < n; ++i)
                ASSERT_NEAR(back[i], f[i], 1024) << "at " << i;
        }
}

TEST(Qmfb, SingleSampleLines)
{
    // Even coordinate: a low-pass sample, unchanged.  Odd coordinate: a lone
    // high-pass sample, doubled by the 5/3 and restored by its synthesis.
    EXPECT_EQ(run_row(QMFB_53, QMFB_REV, true, {-7}, 4), (Line{-7}));
    EXPECT_EQ(run_row(QMFB_53, QMFB_REV, true, {-7}, 5), (Line{-14}));
    EXPECT_EQ(run_row(QMFB_53, QMFB_REV, false, {-14}, 5), (Line{-7}));
    EXPECT_EQ(run_row(QMFB_97, 0, true, {12345}, 5), (Line{12345}));
    EXPECT_EQ(run_row(QMFB_97, 0, false, {12345}, 3), (Line{12345}));
}

TEST(Qmfb, ViewOfALargerMatrixTouchesOnlyItsRegion)
{
    matrix_t* big = matrix_create(9, 12);
    for (int32_t r = 0; r < 9; ++r)
        for (int32_t c = 0; c < 12; ++c)
            matrix_set(big, r, c, r * 100 + c);
    matrix_t* copy = matrix_copy(big);
    matrix_t* view = matrix_create(0, 0);
    ASSERT_EQ(matrix_bindsub(view, big, 2, 3, 6, 9), 0);  // 5 x 7
    qmfb1d_t* q = qmfb1d_make(QMFB_53);
    qmfb1d_analyze(q, QMFB_REV | QMFB_VERT, view);
    qmfb1d_analyze(q, QMFB_REV, view);
    for (int32_t r = 0; r < 9; ++r)
        for (int32_t c = 0; c < 12; ++c)
            if (r < 2 || r > 6 || c < 3 || c > 9) {
                ASSERT_EQ(matrix_get(big, r, c), matrix_get(copy, r, c));
            }
    // A smooth ramp leaves zero high-pass coefficients inside.
    EXPECT_EQ(matrix_get(view, 0, 5), 0);
    qmfb1d_synthesize(q, QMFB_REV, view);
    qmfb1d_synthesize(q, QMFB_REV | QMFB_VERT, view);
    EXPECT_EQ(matrix_cmp(big, copy), 0);
    qmfb1d_destroy(q);
    matrix_destroy(view);
    matrix_destroy(copy);
    matrix_destroy(big);
}

TEST(Qmfb, ChannelBoundsOfALineAtAnOddStart)
{
    // Coordinates 3 .. 8: low-pass 4, 6, 8 -> 2 .. 4; high-pass 3, 5, 7 -> 1 .. 3.
    qmfb1d_t* q = qmfb1d_make(QMFB_53);
    qmfb1dband_t b[2];
    ASSERT_EQ(qmfb1d_getbands(q, 3, 9, b), 2);
    EXPECT_EQ(b[0].locend, 3);
    EXPECT_EQ(b[0].start, 2);
    EXPECT_EQ(b[0].end, 5);
    EXPECT_EQ(b[1].locstart, 3);
    EXPECT_EQ(b[1].locend, 6);
    EXPECT_EQ(b[1].start, 1);
    EXPECT_EQ(b[1].end, 4);
    qmfb1d_destroy(q);
}

}  // namespace
