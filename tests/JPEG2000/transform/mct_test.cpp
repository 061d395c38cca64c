// Reversible and irreversible colour transforms.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "transform/mct.h"
#include "base/seq.h"

namespace {

struct Planes {
    matrix_t* c[3];
    Planes(int32_t rows, int32_t cols)
    {
        for (auto& m : c)
            m = matrix_create(rows, cols);
    }
    ~Planes()
    {
        for (auto& m : c)
            matrix_destroy(m);
    }
    void set(int32_t r, int32_t col, int32_t a, int32_t b, int32_t d)
    {
        matrix_set(c[0], r, col, a);
        matrix_set(c[1], r, col, b);
        matrix_set(c[2], r, col, d);
    }
    int32_t get(int i, int32_t r = 0, int32_t col = 0) const { return matrix_get(c[i], r, col); }
};

TEST(Mct, RctKnownValuesWithFloorRounding)
{
    Planes p(1, 2);
    p.set(0, 0, 100, 50, 20);
    p.set(0, 1, -128, 127, -128);
    ASSERT_EQ(mct_fwdrct(p.c[0], p.c[1], p.c[2]), 0);
    // floor((100 + 100 + 20) / 4) = 55, 20 - 50, 100 - 50.
    EXPECT_EQ(p.get(0), 55);
    EXPECT_EQ(p.get(1), -30);
    EXPECT_EQ(p.get(2), 50);
    // floor(-2 / 4) = -1.
    EXPECT_EQ(p.get(0, 0, 1), -1);
    EXPECT_EQ(p.get(1, 0, 1), -255);
    EXPECT_EQ(p.get(2, 0, 1), -255);
    ASSERT_EQ(mct_invrct(p.c[0], p.c[1], p.c[2]), 0);
    EXPECT_EQ(p.get(0), 100);
    EXPECT_EQ(p.get(1), 50);
    EXPECT_EQ(p.get(2), 20);
    EXPECT_EQ(p.get(1, 0, 1), 127);
}

TEST(Mct, RctRoundTripIsExactOverTheLevelShiftedEightBitCube)
{
    // Every (red, blue) pair for a spread of greens; chroma stays in 9 bits.
    Planes p(256, 256);
    for (int32_t g = -128; g < 128; g += 15) {
        for (int32_t r = 0; r < 256; ++r)
            for (int32_t b = 0; b < 256; ++b)
                p.set(r, b, r - 128, g, b - 128);
        ASSERT_EQ(mct_fwdrct(p.c[0], p.c[1], p.c[2]), 0);
        for (int32_t r = 0; r < 256; ++r)
            for (int32_t b = 0; b < 256; ++b) {
                ASSERT_GE(p.get(1, r, b), -255);
                ASSERT_LE(p.get(1, r, b), 255);
                ASSERT_GE(p.get(2, r, b), -255);
                ASSERT_LE(p.get(2, r, b), 255);
            }
        ASSERT_EQ(mct_invrct(p.c[0], p.c[1], p.c[2]), 0);
        for (int32_t r = 0; r < 256; ++r)
            for (int32_t b = 0; b < 256; ++b) {
                ASSERT_EQ(p.get(0, r, b), r - 128);
                ASSERT_EQ(p.get(1, r, b), g);
                ASSERT_EQ(p.get(2, r, b), b - 128);
            }
    }
}

TEST(Mct, IctKnownValuesAndNearRoundTrip)
{
    // The ICT works on real samples held in the cells.
    Planes p(1, 2);
    auto setf = [](Planes& q, int32_t r, int32_t c, float a, float b, float d) {
        matrix_rowf(q.c[0], r)[c] = a;
        matrix_rowf(q.c[1], r)[c] = b;
        matrix_rowf(q.c[2], r)[c] = d;
    };
    auto getf = [](const Planes& q, int i, int32_t r = 0, int32_t c = 0) {
        return static_cast<float>(matrix_rowf(q.c[i], r)[c]);
    };
    // Grey 100: luma 100, no chroma (the Cb row of T.800 G.3 sums to -1e-5).
    setf(p, 0, 0, 100, 100, 100);
    setf(p, 0, 1, 0, 0, 0);
    ASSERT_EQ(mct_fwdict(p.c[0], p.c[1], p.c[2]), 0);
    EXPECT_NEAR(getf(p, 0), 100, 1e-4);
    EXPECT_NEAR(getf(p, 1), 0, 2e-3);
    EXPECT_NEAR(getf(p, 2), 0, 1e-4);
    EXPECT_EQ(getf(p, 0, 0, 1), 0);
    // Luma only comes back as grey.
    setf(p, 0, 0, 50, 0, 0);
    ASSERT_EQ(mct_invict(p.c[0], p.c[1], p.c[2]), 0);
    EXPECT_EQ(getf(p, 0), 50);
    EXPECT_EQ(getf(p, 1), 50);
    EXPECT_EQ(getf(p, 2), 50);

    std::mt19937 rng(9);
    std::uniform_real_distribution<float> d(-128, 127);
    Planes q(40, 50);
    Planes orig(40, 50);
    for (int32_t r = 0; r < 40; ++r)
        for (int32_t c = 0; c < 50; ++c) {
            const float a = d(rng), b = d(rng), e = d(rng);
            setf(q, r, c, a, b, e);
            setf(orig, r, c, a, b, e);
        }
    ASSERT_EQ(mct_fwdict(q.c[0], q.c[1], q.c[2]), 0);
    ASSERT_EQ(mct_invict(q.c[0], q.c[1], q.c[2]), 0);
    // The four- and five-digit coefficients keep every sample within 0.1.
    for (int i = 0; i < 3; ++i)
        for (int32_t r = 0; r < 40; ++r)
            for (int32_t c = 0; c < 50; ++c)
                ASSERT_NEAR(getf(q, i, r, c), getf(orig, i, r, c), 0.1) << i << " " << r << "," << c;
}

TEST(Mct, MismatchedShapesAreRefusedUntouched)
{
    matrix_t* a = matrix_create(4, 4);
    matrix_t* b = matrix_create(4, 4);
    matrix_t* c = matrix_create(2, 2);  // a subsampled component
    matrix_setall(a, 7);
    matrix_setall(b, 3);
    EXPECT_EQ(mct_invrct(a, b, c), -1);
    EXPECT_EQ(mct_fwdrct(a, c, b), -1);
    EXPECT_EQ(mct_invict(c, a, b), -1);
    EXPECT_EQ(mct_fwdict(a, b, c), -1);
    EXPECT_EQ(matrix_get(a, 3, 3), 7);
    EXPECT_EQ(matrix_get(b, 3, 3), 3);
    matrix_destroy(a);
    matrix_destroy(b);
    matrix_destroy(c);
}

}  // namespace
