// Integer matrices and sequences.
//
// A matrix holds 32-bit signed elements row by row.  Rows are reached
// through row references (one pointer per row); all rows of a matrix are
// equally spaced, `rowstep_` elements apart.  An owning matrix keeps its
// rows consecutive (rowstep_ = number of columns).  A reference
// (flags_ & MATRIX_REF) is a window into another matrix: it owns no data,
// its rows point into the source and writes go through to the source.  The
// source must outlive its references.
//
// A sequence is a matrix used with coordinates: columns run from xstart_ to
// xend_ - 1 and rows from ystart_ to yend_ - 1 (possibly negative).  A
// one-dimensional sequence has one row (ystart_ 0, yend_ 1).
//
// Hot loops take a row pointer once (matrix_row) and step by
// matrix_rowstep; there is no per-element index arithmetic.
#ifndef JPEG2000_SEQ_H
#define JPEG2000_SEQ_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct stream_t;

typedef int32_t seqent_t;

// The irreversible path (9/7 filter bank, ICT) keeps single-precision
// samples in the same 32-bit cells; realent_t may alias them.
#if defined(__GNUC__)
typedef float realent_t __attribute__((__may_alias__));
#else
typedef float realent_t;
#endif
static_assert(sizeof(realent_t) == sizeof(seqent_t), "real samples share the cells");

constexpr int32_t MATRIX_REF = 0x01;
constexpr int32_t MATRIX_MAPPED = 0x02;  // data_ mapped from the system (large)

struct matrix_t {
    int32_t flags_;     // MATRIX_REF for a reference
    int32_t xstart_;    // coordinate of the first column
    int32_t ystart_;    // coordinate of the first row
    int32_t xend_;      // one past the last column's coordinate
    int32_t yend_;      // one past the last row's coordinate
    int32_t numrows_;
    int32_t numcols_;
    seqent_t** rows_;   // one reference per row (nullptr when no rows)
    int32_t maxrows_;   // number of row references allocated
    seqent_t* data_;    // owned elements, nullptr for a reference or empty
    int64_t datasize_;  // number of elements allocated
    ptrdiff_t rowstep_; // distance in elements between consecutive rows
};

typedef matrix_t seq2_t;  // two-dimensional sequence
typedef matrix_t seq_t;   // one-dimensional sequence (one row)

// ---- creation ---------------------------------------------------------

// numrows x numcols matrix of zeros, coordinates (0, 0) to (numcols,
// numrows).  nullptr for negative sizes or a failed allocation.  A 0 x 0
// matrix has no data and no row references.
matrix_t* matrix_create(int32_t numrows, int32_t numcols);
// Frees owned data, the row references and the matrix; nullptr is allowed.
void matrix_destroy(matrix_t* m);
// New owning matrix with the same coordinates and elements (a copy of a
// reference owns its data).
matrix_t* matrix_copy(const matrix_t* m);

// Sequence over [xstart, xend) x [ystart, yend), zero filled.
// Fatal check "xstart <= xend && ystart <= yend".
seq2_t* seq2_create(int32_t xstart, int32_t ystart, int32_t xend, int32_t yend);
// One-dimensional sequence over [xstart, xend).
seq_t* seq_create(int32_t xstart, int32_t xend);
inline seq2_t* seq2_copy(const seq2_t* s) { return matrix_copy(s); }
inline seq_t* seq_copy(const seq_t* s) { return matrix_copy(s); }

// ---- views --------------------------------------------------------------

// Makes target a reference to the inclusive rectangle rows r0..r1, columns
// c0..c1 of source (r1 = r0 - 1 or c1 = c0 - 1 give an empty view).  Frees
// data target owned.  Coordinates: xstart_ = source xstart_ + c0,
// ystart_ = source ystart_ + r0, ends = starts + counts.  Returns 0, or -1
// for a rectangle outside source or a failed allocation (target unchanged
// on bad bounds).  target and source must differ.
int matrix_bindsub(matrix_t* target, matrix_t* source, int32_t r0, int32_t c0,
                   int32_t r1, int32_t c1);
// The same by coordinates: target covers [xstart, xend) x [ystart, yend)
// of source (ends exclusive).
int seq2_bindsub(seq2_t* target, seq2_t* source, int32_t xstart, int32_t ystart,
                 int32_t xend, int32_t yend);

// Changes the shape when numrows x numcols fits in the data capacity and
// numrows in the row capacity; rows are relinked with the new column
// count, elements are not cleared, coordinates unchanged.  Otherwise -1
// and no change.  A reference can only be "resized" to its own shape.
int matrix_resize(matrix_t* m, int32_t numrows, int32_t numcols);

// Moves the coordinate origin (keeps the shape): xstart_ = x, ystart_ = y.
void matrix_setorigin(matrix_t* m, int32_t x, int32_t y);

// ---- access ---------------------------------------------------------------

inline int32_t matrix_numrows(const matrix_t* m) { return m->numrows_; }
inline int32_t matrix_numcols(const matrix_t* m) { return m->numcols_; }
inline bool matrix_isref(const matrix_t* m) { return (m->flags_ & MATRIX_REF) != 0; }
inline bool matrix_ismapped(const matrix_t* m) { return (m->flags_ & MATRIX_MAPPED) != 0; }
inline seqent_t* matrix_row(const matrix_t* m, int32_t r) { return m->rows_[r]; }
inline ptrdiff_t matrix_rowstep(const matrix_t* m) { return m->rowstep_; }
// Row r seen as real samples (irreversible path).
inline realent_t* matrix_rowf(const matrix_t* m, int32_t r)
{
    return reinterpret_cast<realent_t*>(m->rows_[r]);
}
inline seqent_t* matrix_getref(const matrix_t* m, int32_t r, int32_t c)
{
    return m->rows_[r] + c;
}
inline seqent_t matrix_get(const matrix_t* m, int32_t r, int32_t c) { return m->rows_[r][c]; }
inline void matrix_set(matrix_t* m, int32_t r, int32_t c, seqent_t v) { m->rows_[r][c] = v; }

inline int32_t seq2_xstart(const seq2_t* s) { return s->xstart_; }
inline int32_t seq2_ystart(const seq2_t* s) { return s->ystart_; }
inline int32_t seq2_xend(const seq2_t* s) { return s->xend_; }
inline int32_t seq2_yend(const seq2_t* s) { return s->yend_; }
inline int32_t seq2_width(const seq2_t* s) { return s->xend_ - s->xstart_; }
inline int32_t seq2_height(const seq2_t* s) { return s->yend_ - s->ystart_; }
// Element at coordinates (x, y).
inline seqent_t* seq2_getref(const seq2_t* s, int32_t x, int32_t y)
{
    return s->rows_[y - s->ystart_] + (x - s->xstart_);
}
inline seqent_t seq2_get(const seq2_t* s, int32_t x, int32_t y) { return *seq2_getref(s, x, y); }
inline void seq2_set(seq2_t* s, int32_t x, int32_t y, seqent_t v) { *seq2_getref(s, x, y) = v; }

inline int32_t seq_start(const seq_t* s) { return s->xstart_; }
inline int32_t seq_end(const seq_t* s) { return s->xend_; }
inline int32_t seq_length(const seq_t* s) { return s->xend_ - s->xstart_; }
inline seqent_t seq_get(const seq_t* s, int32_t x) { return s->rows_[0][x - s->xstart_]; }
inline void seq_set(seq_t* s, int32_t x, seqent_t v) { s->rows_[0][x - s->xstart_] = v; }

// ---- element-wise operations ----------------------------------------------

// 0 when both have the same shape and elements, else 1.
int matrix_cmp(const matrix_t* a, const matrix_t* b);
// Shift right rounding toward zero: v >= 0 -> v >> n, v < 0 -> -((-v) >> n)
// (-5 >> 1 gives -2).  Fatal check "n >= 0".
void matrix_shiftr_tozero(matrix_t* m, int n);
// Arithmetic shift right (rounds toward minus infinity).
void matrix_asr(matrix_t* m, int n);
// Shift left by n bits.
void matrix_shiftl(matrix_t* m, int n);
// Clamp every element to [lo, hi].
void matrix_clip(matrix_t* m, seqent_t lo, seqent_t hi);
// Every element becomes v.
void matrix_setall(matrix_t* m, seqent_t v);
// v is added to every element (level shift).
void matrix_addall(matrix_t* m, seqent_t v);
// Copies the elements of src into dst of the same shape (either may be a
// reference).  Returns 0, or -1 on a shape mismatch.
int matrix_copyinto(matrix_t* dst, const matrix_t* src);

// ---- serialization and text ---------------------------------------------

// Rows, columns, then the elements row by row, each as 4 bytes: sign in
// the top bit of the first byte, 31-bit magnitude, most significant first
// (-1 is 80 00 00 01).  Returns 0, or -1 on a stream failure.
int matrix_serialize(const matrix_t* m, stream_t* out);
// Reads the form above; nullptr at end of data or for a bad shape.
matrix_t* matrix_deserialize(stream_t* in);
// "%d %d\n" with rows and columns, then each row's elements in decimal
// separated by single spaces, one row per line.
int matrix_print(const matrix_t* m, FILE* out);
// The same with each element printed as a real ("%f", element / 16384).
int matrix_printfix(const matrix_t* m, FILE* out);
// Reads "%d %d" then one real per element, stored as fixed point
// (value * 16384 truncated toward zero).  nullptr on bad input.
matrix_t* matrix_readfix(FILE* in);

// ---- one-dimensional fixed-point sequences (14 fractional bits) --------

// Sequence over [m * xstart, m * (xend - 1) + 1): element i is s(i / m)
// when i is a multiple of m, else 0.  Fatal check "m > 0".
seq_t* seq_upsample(const seq_t* s, int m);
// sqrt(sum of fixed-point squares) as fixed point, truncated toward zero.
int32_t seq_norm(const seq_t* s);
// Convolution over [s.xstart + t.xstart, s.xend + t.xend - 1): element i is
// the sum over t's coordinates j of fix_mul(s(i - j), t(j)).
seq_t* seq_conv(const seq_t* s, const seq_t* t);

#endif
