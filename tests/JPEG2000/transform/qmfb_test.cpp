// One-dimensional 5/3 and 9/7 filter banks.
//
// The reference below follows T.800 Annex F literally: it lifts the
// interleaved signal, reaching past either end through the periodic
// symmetric extension, and only then separates low-pass and high-pass
// coefficients.  The filter banks under test split first and treat the two
// ends by one-neighbour formulas, so agreement checks both the lifting
// arithmetic and the boundary handling for either parity of the start.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <type_traits>
#include <vector>

#include "transform/qmfb.h"
#include "base/seq.h"

namespace {

using Line = std::vector<int32_t>;  // 5/3 samples
using FLine = std::vector<float>;   // 9/7 samples (floats in the cells)

// The 9/7 lifting parameters and scale factors of the filter bank.
const float LIFT97[4] = {-1.586134342059924f, -0.052980118572961f, 0.882911075530934f,
                         0.443506852043971f};
const float LOWANAL = static_cast<float>(1 / 1.230174104914001);
const float HIGHANAL = static_cast<float>(8192.0 / 13318);
const float LOWSYN = static_cast<float>(1.230174104914001);
const float HIGHSYN = static_cast<float>(13318.0 / 8192);

// Lifting on the interleaved line x (absolute coordinates start ..), for
// the samples of parity `odd`, from their two neighbours, mirrored at the
// ends.
template <class T, class F>
void ref_step(std::vector<T>& x, int64_t start, int odd, F f)
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

template <class T>
std::vector<T> ref_split(const std::vector<T>& x, int64_t start)
{
    std::vector<T> out;
    for (int parity = 0; parity < 2; ++parity)
        for (size_t i = 0; i < x.size(); ++i)
            if (((start + static_cast<int64_t>(i)) & 1) == parity)
                out.push_back(x[i]);
    return out;
}

template <class T>
std::vector<T> ref_join(const std::vector<T>& y, int64_t start)
{
    std::vector<T> x(y.size());
    size_t k = 0;
    for (int parity = 0; parity < 2; ++parity)
        for (size_t i = 0; i < x.size(); ++i)
            if (((start + static_cast<int64_t>(i)) & 1) == parity)
                x[i] = y[k++];
    return x;
}

Line ref_analyze(Line x, int64_t start)
{
    if (x.size() == 1) {
        if (start & 1)
            x[0] *= 2;
        return x;
    }
    ref_step(x, start, 1, [](int32_t t, int32_t a, int32_t b) { return t - ((a + b) >> 1); });
    ref_step(x, start, 0, [](int32_t t, int32_t a, int32_t b) { return t + ((a + b + 2) >> 2); });
    return ref_split(x, start);
}

Line ref_synthesize(const Line& y, int64_t start)
{
    if (y.size() == 1) {
        Line x = y;
        if (start & 1)
            x[0] >>= 1;
        return x;
    }
    Line x = ref_join(y, start);
    ref_step(x, start, 0, [](int32_t t, int32_t a, int32_t b) { return t - ((a + b + 2) >> 2); });
    ref_step(x, start, 1, [](int32_t t, int32_t a, int32_t b) { return t + ((a + b) >> 1); });
    return x;
}

// The 9/7 in floats: a lone sample is left as it is.
FLine ref_analyze(FLine x, int64_t start)
{
    if (x.size() == 1)
        return x;
    for (int s = 0; s < 4; ++s)
        ref_step(x, start, s % 2 == 0 ? 1 : 0,
                 [&](float t, float a, float b) { return t + LIFT97[s] * (a + b); });
    for (size_t i = 0; i < x.size(); ++i)
        x[i] *= (start + static_cast<int64_t>(i)) & 1 ? HIGHANAL : LOWANAL;
    return ref_split(x, start);
}

FLine ref_synthesize(const FLine& y, int64_t start)
{
    if (y.size() == 1)
        return y;
    FLine x = ref_join(y, start);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] *= (start + static_cast<int64_t>(i)) & 1 ? HIGHSYN : LOWSYN;
    for (int s = 3; s >= 0; --s)
        ref_step(x, start, s % 2 == 0 ? 1 : 0,
                 [&](float t, float a, float b) { return t + -LIFT97[s] * (a + b); });
    return x;
}

template <class T>
std::vector<T> random_line(std::mt19937& rng, size_t n, int32_t lo, int32_t hi)
{
    std::uniform_int_distribution<int32_t> d(lo, hi);
    std::vector<T> x(n);
    for (auto& v : x)
        v = static_cast<T>(d(rng));
    return x;
}

// Cell r, c of a matrix as a 5/3 (integer) or 9/7 (float) sample.
int32_t& cell(matrix_t* m, int32_t r, int32_t c, int32_t*)
{
    return matrix_row(m, r)[c];
}
realent_t& cell(matrix_t* m, int32_t r, int32_t c, float*)
{
    return matrix_rowf(m, r)[c];
}
template <class T>
T get(matrix_t* m, int32_t r, int32_t c)
{
    return cell(m, r, c, static_cast<T*>(nullptr));
}
template <class T>
void put(matrix_t* m, int32_t r, int32_t c, T v)
{
    cell(m, r, c, static_cast<T*>(nullptr)) = v;
}

// The filter bank of a sample type: 5/3 for integers, 9/7 for floats.
template <class T>
constexpr int kind_of = std::is_same_v<T, float> ? QMFB_97 : QMFB_53;
template <class T>
constexpr int flags_of = std::is_same_v<T, float> ? 0 : QMFB_REV;

// Runs the filter bank on x as one row of a matrix at coordinate start.
template <class T>
std::vector<T> run_row(bool analyze, const std::vector<T>& x, int32_t start)
{
    matrix_t* m = matrix_create(1, static_cast<int32_t>(x.size()));
    matrix_setorigin(m, start, 0);
    for (size_t i = 0; i < x.size(); ++i)
        put<T>(m, 0, static_cast<int32_t>(i), x[i]);
    qmfb1d_t* q = qmfb1d_make(kind_of<T>);
    if (analyze)
        qmfb1d_analyze(q, flags_of<T>, m);
    else
        qmfb1d_synthesize(q, flags_of<T>, m);
    std::vector<T> out(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        out[i] = get<T>(m, 0, static_cast<int32_t>(i));
    qmfb1d_destroy(q);
    matrix_destroy(m);
    return out;
}

TEST(Qmfb, KnownVectorsFromTheLiftingEquations)
{
    // 5/3, coordinates 0..3: h1 = 2 - (1+3)/2 = 0, h3 = 4 - 3 = 1,
    // l0 = 1 + (0+0+2)/4 = 1, l2 = 3 + (0+1+2)/4 = 3.
    EXPECT_EQ(run_row(true, Line{1, 2, 3, 4}, 0), (Line{1, 3, 0, 1}));
    // The same samples at coordinates 1..4: h1 = 1 - 2 = -1, h3 = 3 - 3 = 0,
    // l2 = 2 + (-1+0+2)/4 = 2, l4 = 4 + (0+0+2)/4 = 4.
    EXPECT_EQ(run_row(true, Line{1, 2, 3, 4}, 1), (Line{2, 4, -1, 0}));
    // Floor rounding of negative sums: h1 = 0 - floor(-3/2) = 2, then
    // l0 = -1 + floor((2+2+2)/4) = 0 and l2 = -2 + 1 = -1.
    EXPECT_EQ(run_row(true, Line{-1, 0, -2}, 0), (Line{0, -1, 2}));
    // 9/7 on (1, 0): h = 2 alpha = -3.172269, l = 1 + 2 beta h = 1.336135,
    // h += 2 gamma l = -0.812893, l += 2 delta h = 0.615087; then
    // l / K = 0.5 and h x 8192 / 13318 = -0.500017 (half a step of the
    // Nyquist component, less the 3.3e-5 of the scale factor).
    const FLine y = run_row(true, FLine{1, 0}, 0);
    EXPECT_NEAR(y[0], 0.5, 1e-6);
    EXPECT_NEAR(y[1], -0.500017, 1e-6);
}

template <class T>
void rows_match_reference()
{
    std::mt19937 rng(7);
    for (int32_t start : {0, 1, 2, 5})
        for (size_t n = 1; n <= 40; ++n) {
            SCOPED_TRACE(testing::Message() << "kind " << kind_of<T> << " start " << start << " n " << n);
            const std::vector<T> x = random_line<T>(rng, n, -300, 300);
            ASSERT_EQ(run_row(true, x, start), ref_analyze(x, start));
            // Synthesis of arbitrary coefficients, as a decoder meets them.
            const std::vector<T> c = random_line<T>(rng, n, -300, 300);
            ASSERT_EQ(run_row(false, c, start), ref_synthesize(c, start));
        }
}

TEST(Qmfb, RowsMatchTheReferenceForEveryLengthAndParity)
{
    rows_match_reference<int32_t>();
    rows_match_reference<float>();
}

template <class T>
void columns_match_reference()
{
    // 600 columns cover several strips of the column passes and a short one.
    std::mt19937 rng(11);
    const int32_t numcols = 600;
    for (int32_t ystart : {0, 3})
        for (int32_t numrows = 1; numrows <= 19; ++numrows) {
            SCOPED_TRACE(testing::Message() << "kind " << kind_of<T> << " ystart " << ystart << " rows " << numrows);
            matrix_t* m = matrix_create(numrows, numcols);
            matrix_setorigin(m, 1, ystart);
            std::vector<std::vector<T>> cols(numcols);
            for (int32_t c = 0; c < numcols; ++c) {
                cols[c] = random_line<T>(rng, static_cast<size_t>(numrows), -1000, 1000);
                for (int32_t r = 0; r < numrows; ++r)
                    put<T>(m, r, c, cols[c][r]);
            }
            qmfb1d_t* q = qmfb1d_make(kind_of<T>);
            qmfb1d_analyze(q, flags_of<T> | QMFB_VERT, m);
            for (int32_t c = 0; c < numcols; ++c) {
                const std::vector<T> want = ref_analyze(cols[c], ystart);
                for (int32_t r = 0; r < numrows; ++r)
                    ASSERT_EQ(get<T>(m, r, c), want[r]) << "row " << r << " col " << c;
            }
            qmfb1d_synthesize(q, flags_of<T> | QMFB_VERT, m);
            for (int32_t c = 0; c < numcols; ++c) {
                const std::vector<T> want = ref_synthesize(ref_analyze(cols[c], ystart), ystart);
                for (int32_t r = 0; r < numrows; ++r)
                    ASSERT_EQ(get<T>(m, r, c), want[r]) << "row " << r << " col " << c;
            }
            qmfb1d_destroy(q);
            matrix_destroy(m);
        }
}

TEST(Qmfb, ColumnsMatchTheReferenceAcrossStrips)
{
    columns_match_reference<int32_t>();
    columns_match_reference<float>();
}

template <class T>
void tall_columns()
{
    std::mt19937 rng(12);
    // 20000 high-pass rows leave room for strips of 96 columns.
    const int32_t numrows = 40001, numcols = 100;
    matrix_t* m = matrix_create(numrows, numcols);
    std::vector<std::vector<T>> cols(numcols);
    for (int32_t c = 0; c < numcols; ++c) {
        cols[c] = random_line<T>(rng, numrows, -1000, 1000);
        for (int32_t r = 0; r < numrows; ++r)
            put<T>(m, r, c, cols[c][r]);
    }
    qmfb1d_t* q = qmfb1d_make(kind_of<T>);
    qmfb1d_analyze(q, flags_of<T> | QMFB_VERT, m);
    for (int32_t c = 0; c < numcols; ++c) {
        std::vector<T> got(numrows);
        for (int32_t r = 0; r < numrows; ++r)
            got[r] = get<T>(m, r, c);
        ASSERT_TRUE(got == ref_analyze(cols[c], 0)) << "kind " << kind_of<T> << " col " << c;
    }
    qmfb1d_destroy(q);
    matrix_destroy(m);
}

TEST(Qmfb, TallColumnsAreSplitIntoNarrowerStrips)
{
    tall_columns<int32_t>();
    tall_columns<float>();
}

TEST(Qmfb, ReversibleRoundTripIsExactAndNineSevenIsClose)
{
    std::mt19937 rng(3);
    for (int32_t start : {0, 1})
        for (size_t n : {1, 2, 3, 4, 5, 6, 7, 31, 32, 33, 4097, 9001}) {
            SCOPED_TRACE(testing::Message() << "start " << start << " n " << n);
            const Line x = random_line<int32_t>(rng, n, -(1 << 20), 1 << 20);
            const Line y = run_row(true, x, start);
            EXPECT_EQ(run_row(false, y, start), x);

            // 16-bit samples come back within float rounding, far below
            // half a unit.
            const FLine f = random_line<float>(rng, n, -32768, 32767);
            const FLine back = run_row(false, run_row(true, f, start), start);
            for (size_t i = 0; i < n; ++i)
                ASSERT_NEAR(back[i], f[i], 0.05) << "at " << i;
        }
}

TEST(Qmfb, SingleSampleLines)
{
    // Even coordinate: a low-pass sample, unchanged.  Odd coordinate: a lone
    // high-pass sample, doubled by the 5/3 and restored by its synthesis.
    EXPECT_EQ(run_row(true, Line{-7}, 4), (Line{-7}));
    EXPECT_EQ(run_row(true, Line{-7}, 5), (Line{-14}));
    EXPECT_EQ(run_row(false, Line{-14}, 5), (Line{-7}));
    EXPECT_EQ(run_row(true, FLine{12345.5f}, 5), (FLine{12345.5f}));
    EXPECT_EQ(run_row(false, FLine{12345.5f}, 3), (FLine{12345.5f}));
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

// The streamed synthesis gives, row by row and in order, the very samples of
// the row pass then the column pass in place, for both filter banks, short
// heights and both parities of the first row and column, from the first row
// on and for bands that start further down.
TEST(Qmfb, StreamGivesTheRowsOfTheTwoPassesInOrder)
{
    std::mt19937 rng(7);
    for (int shape = 0; shape < 8; ++shape)  // filter bank and origin parities
        for (int32_t numrows = 2; numrows <= 24; ++numrows)
            for (int32_t numcols : {1, 2, 7, 40}) {
                const int kind = shape & 4 ? QMFB_53 : QMFB_97;
                const int32_t xstart = (shape >> 1) & 1, ystart = shape & 1;
                SCOPED_TRACE(testing::Message() << "kind " << kind << " origin " << xstart << ","
                                                << ystart << " size " << numcols << "x" << numrows);
                matrix_t* m = matrix_create(numrows, numcols);
                matrix_setorigin(m, xstart, ystart);
                for (int32_t r = 0; r < numrows; ++r)
                    for (int32_t c = 0; c < numcols; ++c) {
                        const int32_t v = static_cast<int32_t>(rng() % 2001) - 1000;
                        if (kind == QMFB_97)
                            put<float>(m, r, c, static_cast<float>(v) - 0.5f);
                        else
                            put<int32_t>(m, r, c, v);
                    }
                std::vector<std::vector<std::vector<int32_t>>> got(static_cast<size_t>(numrows));
                for (int32_t y0 = 0; y0 < numrows; ++y0) {
                    qmfb_stream_t* s = qmfb_stream_create(kind, matrix_row(m, 0), numrows, numcols,
                                                          matrix_rowstep(m), xstart, ystart, y0);
                    ASSERT_NE(s, nullptr);
                    const int32_t* rows[3];
                    int32_t first = 0, next = -1;
                    for (int n; (n = qmfb_stream_step(s, rows, &first)) >= 0;)
                        for (int i = 0; i < n; ++i) {
                            ASSERT_TRUE(next < 0 || first + i == next) << "rows out of order";
                            next = first + i + 1;
                            if (first + i >= y0)
                                got[y0].emplace_back(rows[i], rows[i] + numcols);
                        }
                    ASSERT_EQ(next, numrows);
                    qmfb_stream_destroy(s);
                }
                qmfb1d_synthesize_region(kind, 0, matrix_row(m, 0), numrows, numcols,
                                         matrix_rowstep(m), xstart);
                qmfb1d_synthesize_region(kind, QMFB_VERT, matrix_row(m, 0), numrows, numcols,
                                         matrix_rowstep(m), ystart);
                for (int32_t y0 = 0; y0 < numrows; ++y0) {
                    ASSERT_EQ(got[y0].size(), static_cast<size_t>(numrows - y0));
                    for (int32_t r = y0; r < numrows; ++r)
                        for (int32_t c = 0; c < numcols; ++c)
                            ASSERT_EQ(got[y0][r - y0][c], get<int32_t>(m, r, c))
                                << "from row " << y0 << ": row " << r << " col " << c;
                }
                matrix_destroy(m);
            }
}

// The streamed column analysis writes the very samples of the column pass
// in place, each row once, whatever step a run of it starts from (the rows
// before it lifted from the few input rows it reads first), for short
// heights and both parities of the first row.
TEST(Qmfb, ColumnStreamGivesTheColumnPassForAnySplit)
{
    std::mt19937 rng(9);
    for (int32_t ystart : {0, 1})
        for (int32_t numrows = 2; numrows <= 24; ++numrows)
            for (int32_t numcols : {1, 5, 515}) {  // 515: pieces of a row
                SCOPED_TRACE(testing::Message() << "first row " << ystart << " size " << numcols
                                                << "x" << numrows);
                matrix_t* in = matrix_create(numrows, numcols);
                for (int32_t r = 0; r < numrows; ++r)
                    for (int32_t c = 0; c < numcols; ++c)
                        put<float>(in, r, c, static_cast<float>(rng() % 2001) - 1000.5f);
                matrix_t* want = matrix_copy(in);
                qmfb1d_analyze_region(QMFB_97, QMFB_VERT, matrix_row(want, 0), numrows, numcols,
                                      matrix_rowstep(want), ystart);
                const int32_t steps = qmfb97_colstream_steps(numrows, ystart);
                for (int32_t split = 0; split < steps; ++split) {
                    matrix_t* out = matrix_create(numrows, numcols);
                    std::vector<int> written(static_cast<size_t>(numrows), 0);
                    auto done = [](void* a, int32_t row) { ++(*static_cast<std::vector<int>*>(a))[row]; };
                    // Steps 0 .. split - 1, then the rest from a stream of its own.
                    for (auto [from, to] : {std::pair{0, split}, std::pair{split, steps}}) {
                        qmfb97_colstream_t* s = qmfb97_colstream_create(
                            numrows, numcols, ystart, matrix_row(out, 0), matrix_rowstep(out), from);
                        ASSERT_NE(s, nullptr);
                        for (int32_t m = qmfb97_colstream_at(s); m < to; ++m) {
                            ASSERT_EQ(qmfb97_colstream_at(s), m);
                            float* dst = nullptr;
                            for (int32_t r; (r = qmfb97_colstream_next(s, &dst)) >= 0;)
                                for (int32_t c = 0; c < numcols; ++c)
                                    dst[c] = get<float>(in, r, c);
                            qmfb97_colstream_step(s, done, &written);
                        }
                        qmfb97_colstream_destroy(s);
                    }
                    for (int32_t r = 0; r < numrows; ++r) {
                        ASSERT_EQ(written[r], 1) << "split " << split << " row " << r;
                        for (int32_t c = 0; c < numcols; ++c)
                            ASSERT_EQ(std::bit_cast<uint32_t>(get<float>(out, r, c)),
                                      std::bit_cast<uint32_t>(get<float>(want, r, c)))
                                << "split " << split << " row " << r << " col " << c;
                    }
                    matrix_destroy(out);
                }
                matrix_destroy(in);
                matrix_destroy(want);
            }
}
