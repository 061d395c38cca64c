#include "base/mathx.h"

#include "base/fatal.h"

#include <cmath>

int mathx_floorlog2(int64_t x)
{
    FATAL_CHECK(x > 0);
    return 63 - __builtin_clzll(static_cast<uint64_t>(x));
}

int mathx_floorlog2z(int64_t x)
{
    FATAL_CHECK(x >= 0);
    return x == 0 ? -1 : 63 - __builtin_clzll(static_cast<uint64_t>(x));
}

int mathx_ceillog2(int64_t x)
{
    FATAL_CHECK(x > 0);
    return x == 1 ? 0 : mathx_floorlog2(x - 1) + 1;
}

double mathx_pow2(int n)
{
    // Exact for every representable power: repeated doubling or halving.
    double v = 1.0;
    if (n >= 0) {
        for (int i = 0; i < n && v < HUGE_VAL; ++i)
            v *= 2.0;
    } else {
        for (int i = 0; i < -static_cast<int64_t>(n) && v > 0.0; ++i)
            v *= 0.5;
    }
    return v;
}

void mathx_divmod(int64_t x, int64_t y, int64_t* quot, int64_t* rem)
{
    FATAL_CHECK(x >= 0 && y >= 0);
    FATAL_CHECK(y > 0);
    *quot = x / y;
    *rem = x % y;
}

int64_t mathx_gcd(int64_t x, int64_t y)
{
    uint64_t a = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
    uint64_t b = y < 0 ? 0 - static_cast<uint64_t>(y) : static_cast<uint64_t>(y);
    while (b != 0) {
        const uint64_t t = a % b;
        a = b;
        b = t;
    }
    return static_cast<int64_t>(a);
}

int64_t mathx_lcm(int64_t x, int64_t y)
{
    FATAL_CHECK(x > 0 && y > 0);
    if (x == y)
        return x;
    int64_t r;
    if (__builtin_mul_overflow(x / mathx_gcd(x, y), y, &r))
        return -1;
    return r;
}

int32_t mathx_mod(int32_t a, int32_t b)
{
    FATAL_CHECK(b > 0);
    if (a >= 0)
        return a % b;
    const int64_t r = (-static_cast<int64_t>(a)) % b;
    return r == 0 ? 0 : static_cast<int32_t>(b - r);
}

int32_t fix_fromdbl(double v)
{
    const double f = std::trunc(v * FIX_ONE);
    if (std::isnan(f))
        return 0;
    if (f < -2147483648.0)
        return INT32_MIN;
    if (f > 2147483647.0)
        return INT32_MAX;
    return static_cast<int32_t>(f);
}
