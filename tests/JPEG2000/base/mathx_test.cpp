#include "base/mathx.h"

#include <gtest/gtest.h>

TEST(Mathx, Logarithms)
{
    EXPECT_EQ(mathx_floorlog2(1), 0);
    EXPECT_EQ(mathx_floorlog2(3), 1);
    EXPECT_EQ(mathx_floorlog2(1025), 10);
    EXPECT_EQ(mathx_floorlog2(INT64_MAX), 62);
    EXPECT_EQ(mathx_floorlog2z(0), -1);
    EXPECT_EQ(mathx_ceillog2(1), 0);
    EXPECT_EQ(mathx_ceillog2(1024), 10);
    EXPECT_EQ(mathx_ceillog2(1025), 11);
    EXPECT_EQ(mathx_pow2(-3), 0.125);
    EXPECT_EQ(mathx_pow2(INT32_MIN), 0.0);  // ends once the value is 0
    // Power-of-two test as the encoder makes it for code-block sizes.
    for (int64_t size : {1, 4, 64, 1024})
        EXPECT_EQ(int64_t(1) << mathx_floorlog2z(size), size);
    for (int64_t size : {3, 48, 1000})
        EXPECT_NE(int64_t(1) << mathx_floorlog2z(size), size);
}

TEST(Mathx, GcdAndLcmAreExact)
{
    EXPECT_EQ(mathx_gcd(12, 18), 6);
    EXPECT_EQ(mathx_gcd(0, 7), 7);
    EXPECT_EQ(mathx_gcd(-12, 18), 6);
    // Shared prime factors above 97 count too.
    EXPECT_EQ(mathx_gcd(101, 202), 101);
    EXPECT_EQ(mathx_gcd(2147483647, 2147483647LL * 3), 2147483647);
    EXPECT_EQ(mathx_gcd(104729LL * 7919, 104729LL * 7907), 104729);

    EXPECT_EQ(mathx_lcm(640, 320), 640);
    EXPECT_EQ(mathx_lcm(6, 4), 12);
    EXPECT_EQ(mathx_lcm(7, 7), 7);
    EXPECT_EQ(mathx_lcm(101, 202), 202);
    EXPECT_EQ(mathx_lcm(2147483647, 2147483646), 2147483647LL * 2147483646);
    EXPECT_EQ(mathx_lcm(INT64_MAX, INT64_MAX - 1), -1);  // overflow
}

TEST(Mathx, ModuloAndDivisions)
{
    EXPECT_EQ(mathx_mod(-1, 2), 1);
    EXPECT_EQ(mathx_mod(-4, 2), 0);
    EXPECT_EQ(mathx_mod(7, 3), 1);
    EXPECT_EQ(mathx_mod(-7, 3), 2);
    EXPECT_EQ(mathx_mod(INT32_MIN, 3), 1);  // -2147483648 = -715827883 * 3 + 1

    int64_t q, r;
    mathx_divmod(17, 5, &q, &r);
    EXPECT_EQ(q, 3);
    EXPECT_EQ(r, 2);

    EXPECT_EQ(mathx_ceildiv(7, 2), 4);
    EXPECT_EQ(mathx_ceildiv(-7, 2), -3);
    EXPECT_EQ(mathx_floordiv(-7, 2), -4);
    EXPECT_EQ(mathx_floordiv(7, 2), 3);
    EXPECT_EQ(mathx_ceildivpow2(7, 1), 4);
    EXPECT_EQ(mathx_ceildivpow2(-7, 1), -3);
    EXPECT_EQ(mathx_floordivpow2(-7, 1), -4);
    EXPECT_EQ(mathx_ceildivpow2(8, 3), 1);
}

TEST(Mathx, FixedPoint)
{
    EXPECT_EQ(fix_fromdbl(0.1), 1638);
    EXPECT_EQ(fix_fromdbl(-0.1), -1638);
    EXPECT_EQ(fix_fromdbl(1e12), INT32_MAX);
    EXPECT_EQ(fix_mul(FIX_ONE * 3, FIX_ONE / 2), FIX_ONE * 3 / 2);
    EXPECT_EQ(fix_mul(-1, 1), -1);  // arithmetic shift of the 64-bit product
    // Half away from zero.
    EXPECT_EQ(fix_round(FIX_ONE + FIX_HALF), 2);
    EXPECT_EQ(fix_round(-FIX_ONE - FIX_HALF), -2);
    EXPECT_EQ(fix_round(FIX_HALF - 1), 0);
    EXPECT_EQ(fix_round(INT32_MIN), -131072);
}

TEST(MathxDeathTest, Preconditions)
{
    EXPECT_DEATH(mathx_floorlog2(0), "Assertion failed: x > 0");
    EXPECT_DEATH(mathx_floorlog2z(-1), "Assertion failed: x >= 0");
    EXPECT_DEATH(mathx_lcm(0, 3), "Assertion failed: x > 0 && y > 0");
}
