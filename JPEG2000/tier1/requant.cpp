#include "tier1/requant.h"

#include <cmath>

#include "base/seq.h"
#include "base/simd.h"
#include "encoder/jpenc_tree.h"

HOT_CLONES void requant_row(int32_t* q, int32_t n, float ratio)
{
    for (int32_t c = 0; c < n; ++c) {
        float a = std::fabs(static_cast<float>(q[c])) * ratio;
        a = a < REQUANT_LIMIT ? a : REQUANT_LIMIT;
        const int32_t m = static_cast<int32_t>(a);
        q[c] = q[c] < 0 ? -m : m;
    }
}

void requant_cblk(jpenc_cblk_t* cblk)
{
    if (cblk->ratio == 0)
        return;
    matrix_t* data = cblk->data;
    const int32_t rows = matrix_numrows(data), cols = matrix_numcols(data);
    // The rows of a block lie far apart: each is fetched a few rows ahead.
    constexpr int32_t kAhead = 4;
    for (int32_t r = 0; r < std::min(rows, kAhead); ++r)
        for (int32_t c = 0; c < cols; c += 16)
            __builtin_prefetch(matrix_row(data, r) + c, 1);
    for (int32_t r = 0; r < rows; ++r) {
        if (r + kAhead < rows)
            for (int32_t c = 0; c < cols; c += 16)
                __builtin_prefetch(matrix_row(data, r + kAhead) + c, 1);
        requant_row(matrix_row(data, r), cols, cblk->ratio);
    }
    cblk->ratio = 0;
}
