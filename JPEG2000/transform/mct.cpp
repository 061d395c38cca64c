// Reversible and irreversible colour transforms (T.800 Annex G).
//
// RCT sums are taken with wrap-around at 32 bits (mct_wadd); the ICT works
// on floats.
#include "transform/mct.h"
#include "base/simd.h"

#include <cstdint>

namespace {

bool same_shape(const matrix_t* c0, const matrix_t* c1, const matrix_t* c2)
{
    const int32_t numrows = matrix_numrows(c0), numcols = matrix_numcols(c0);
    return matrix_numrows(c1) == numrows && matrix_numcols(c1) == numcols &&
           matrix_numrows(c2) == numrows && matrix_numcols(c2) == numcols;
}

HOT_CLONES void fwdrct_row(int32_t* a, int32_t* b, int32_t* c, int32_t n)
{
    for (int32_t i = 0; i < n; ++i)
        mct_fwdrct_sample(a[i], b[i], c[i], a[i], b[i], c[i]);
}

HOT_CLONES void invrct_row(int32_t* a, int32_t* b, int32_t* c, int32_t n)
{
    for (int32_t i = 0; i < n; ++i)
        mct_invrct_sample(a[i], b[i], c[i], a[i], b[i], c[i]);
}

HOT_CLONES void fwdict_row(realent_t* a, realent_t* b, realent_t* c, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        float y, u, v;
        mct_fwdict_sample(a[i], b[i], c[i], y, u, v);
        a[i] = y;
        b[i] = u;
        c[i] = v;
    }
}

HOT_CLONES void invict_row(realent_t* a, realent_t* b, realent_t* c, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        float r, g, bl;
        mct_invict_sample(a[i], b[i], c[i], r, g, bl);
        a[i] = r;
        b[i] = g;
        c[i] = bl;
    }
}

// Applies the row function to the three rows of every row index.
int each_row(matrix_t* c0, matrix_t* c1, matrix_t* c2,
             void (*rowfn)(int32_t*, int32_t*, int32_t*, int32_t))
{
    if (!same_shape(c0, c1, c2))
        return -1;
    const int32_t numrows = matrix_numrows(c0), numcols = matrix_numcols(c0);
    if (numcols <= 0)
        return 0;
    for (int32_t r = 0; r < numrows; ++r)
        rowfn(matrix_row(c0, r), matrix_row(c1, r), matrix_row(c2, r), numcols);
    return 0;
}

int each_rowf(matrix_t* c0, matrix_t* c1, matrix_t* c2,
              void (*rowfn)(realent_t*, realent_t*, realent_t*, int32_t))
{
    if (!same_shape(c0, c1, c2))
        return -1;
    const int32_t numrows = matrix_numrows(c0), numcols = matrix_numcols(c0);
    if (numcols <= 0)
        return 0;
    for (int32_t r = 0; r < numrows; ++r)
        rowfn(matrix_rowf(c0, r), matrix_rowf(c1, r), matrix_rowf(c2, r), numcols);
    return 0;
}

}  // namespace

int mct_fwdrct(matrix_t* c0, matrix_t* c1, matrix_t* c2)
{
    return each_row(c0, c1, c2, fwdrct_row);
}

int mct_invrct(matrix_t* c0, matrix_t* c1, matrix_t* c2)
{
    return each_row(c0, c1, c2, invrct_row);
}

int mct_fwdict(matrix_t* c0, matrix_t* c1, matrix_t* c2)
{
    return each_rowf(c0, c1, c2, fwdict_row);
}

int mct_invict(matrix_t* c0, matrix_t* c1, matrix_t* c2)
{
    return each_rowf(c0, c1, c2, invict_row);
}

void mct_invrct_row(int32_t* c0, int32_t* c1, int32_t* c2, int32_t n)
{
    invrct_row(c0, c1, c2, n);
}

void mct_invict_row(realent_t* c0, realent_t* c1, realent_t* c2, int32_t n)
{
    invict_row(c0, c1, c2, n);
}
