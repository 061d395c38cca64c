// Integer routines of the codec: logarithms, powers of two, divisors,
// non-negative modulo, rounding divisions and 14-bit fixed point.
#ifndef JPEG2000_MATHX_H
#define JPEG2000_MATHX_H

#include <cstdint>

// ---- logarithms and powers of two -------------------------------------

// floor(log2(x)) for x > 0: 1 -> 0, 2 and 3 -> 1, 1024 -> 10.
// x <= 0 is a programming error (fatal check "x > 0").
int mathx_floorlog2(int64_t x);

// As mathx_floorlog2 but 0 gives -1 (fatal check "x >= 0").  Used to test
// whether a size is a power of two: (1 << r) == x.
int mathx_floorlog2z(int64_t x);

// ceil(log2(x)) for x > 0: 1 -> 0, 2 -> 1, 3 -> 2.
int mathx_ceillog2(int64_t x);

// 2^n in double precision, n may be negative.
double mathx_pow2(int n);

// ---- divisors ------------------------------------------------------------

// Quotient and remainder of x / y (fatal check "x >= 0 && y >= 0"; y > 0).
void mathx_divmod(int64_t x, int64_t y, int64_t* quot, int64_t* rem);

// Greatest common divisor by Euclid's algorithm; gcd(0, y) = |y|.
int64_t mathx_gcd(int64_t x, int64_t y);

// Least common multiple of x > 0 and y > 0 (fatal check "x > 0 && y > 0").
// Returns -1 when the result does not fit in 64 bits.
int64_t mathx_lcm(int64_t x, int64_t y);

// a mod b in 0 .. b - 1 for any a and b > 0: -1 mod 2 = 1, -4 mod 2 = 0.
int32_t mathx_mod(int32_t a, int32_t b);

// ---- rounding divisions (coordinate arithmetic of T.800 Annex B) --------

// ceil(a / b) and floor(a / b) for b > 0, any sign of a.
inline int64_t mathx_ceildiv(int64_t a, int64_t b)
{
    return a >= 0 ? (a + b - 1) / b : -((-a) / b);
}
inline int64_t mathx_floordiv(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}
// ceil(a / 2^n) and floor(a / 2^n), 0 <= n < 63.
inline int64_t mathx_ceildivpow2(int64_t a, int n)
{
    return -((-a) >> n);
}
inline int64_t mathx_floordivpow2(int64_t a, int n)
{
    return a >> n;
}

// ---- fixed point: 32-bit integers with 14 fractional bits ---------------

constexpr int FIX_FRACBITS = 14;
constexpr int32_t FIX_ONE = 1 << FIX_FRACBITS;  // 1.0 = 16384
constexpr int32_t FIX_HALF = FIX_ONE >> 1;

// Product of two fixed-point numbers: 64-bit product shifted right by 14
// (arithmetic), truncated to 32 bits.
inline int32_t fix_mul(int32_t a, int32_t b)
{
    return static_cast<int32_t>((static_cast<int64_t>(a) * b) >> FIX_FRACBITS);
}

// Real to fixed point: v * 16384 truncated toward zero (0.1 -> 1638).
int32_t fix_fromdbl(double v);

inline double fix_todbl(int32_t v)
{
    return static_cast<double>(v) / FIX_ONE;
}

// Fixed point to integer, rounding half away from zero.
inline int32_t fix_round(int32_t v)
{
    const int64_t x = v;
    return static_cast<int32_t>(x >= 0 ? (x + FIX_HALF) >> FIX_FRACBITS
                                       : -((-x + FIX_HALF) >> FIX_FRACBITS));
}

#endif
