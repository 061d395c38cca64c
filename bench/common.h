// Synthetic data shared by the micro-benchmarks: a smooth picture with
// texture and noise, closer to a photograph than uniform noise.
#ifndef BENCH_COMMON_H
#define BENCH_COMMON_H

#include <cmath>
#include <cstdint>
#include <random>

#include "base/seq.h"

// A rows x cols matrix of samples 0..255 (the level shift is the caller's).
inline matrix_t* bench_picture(int rows, int cols, unsigned seed)
{
    matrix_t* m = matrix_create(rows, cols);
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 4.0);
    for (int r = 0; r < rows; ++r) {
        int32_t* row = matrix_row(m, r);
        for (int c = 0; c < cols; ++c) {
            double v = 128 + 60 * std::sin(r * 0.031 + seed) * std::cos(c * 0.017) +
                       25 * std::sin((r + 2 * c) * 0.21) + noise(rng);
            row[c] = static_cast<int32_t>(std::lround(std::fmin(255, std::fmax(0, v))));
        }
    }
    return m;
}

#endif
