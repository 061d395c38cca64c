#include "base/seq.h"

#include "base/bigmem.h"
#include "base/fatal.h"
#include "base/mathx.h"
#include "base/stream.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Points the row references of an owning matrix at its data.
void link_rows(matrix_t* m)
{
    m->rowstep_ = m->numcols_;
    seqent_t* p = m->data_;
    for (int32_t i = 0; i < m->numrows_; ++i) {
        m->rows_[i] = p;
        if (p)
            p += m->numcols_;
    }
}

// Applies f to every element, walking rows by the fixed step.
template <typename F>
inline void for_each_row(matrix_t* m, F f)
{
    const int32_t n = m->numcols_;
    if (m->numrows_ <= 0 || n <= 0)
        return;
    seqent_t* row = m->rows_[0];
    const ptrdiff_t step = m->rowstep_;
    for (int32_t i = 0; i < m->numrows_; ++i, row += step)
        f(row, n);
}

// Zeroed data for n elements; a large matrix is mapped on its own.
seqent_t* allocdata(matrix_t* m, size_t n)
{
    bool mapped;
    auto* p = static_cast<seqent_t*>(bigmem_alloc(n * sizeof(seqent_t), &mapped));
    if (mapped)
        m->flags_ |= MATRIX_MAPPED;
    return p;
}

void freedata(matrix_t* m)
{
    bigmem_free(m->data_, size_t(m->datasize_) * sizeof(seqent_t), m->flags_ & MATRIX_MAPPED);
    m->flags_ &= ~MATRIX_MAPPED;
}

}  // namespace

matrix_t* matrix_create(int32_t numrows, int32_t numcols)
{
    if (numrows < 0 || numcols < 0)
        return nullptr;
    auto* m = static_cast<matrix_t*>(std::calloc(1, sizeof(matrix_t)));
    if (!m)
        return nullptr;
    m->numrows_ = numrows;
    m->numcols_ = numcols;
    m->xend_ = numcols;
    m->yend_ = numrows;
    const int64_t size = static_cast<int64_t>(numrows) * numcols;
    if (numrows > 0) {
        m->rows_ = static_cast<seqent_t**>(std::malloc(sizeof(seqent_t*) * numrows));
        if (!m->rows_) {
            std::free(m);
            return nullptr;
        }
        m->maxrows_ = numrows;
    }
    if (size > 0) {
        if (static_cast<uint64_t>(size) > SIZE_MAX / sizeof(seqent_t)) {
            matrix_destroy(m);
            return nullptr;
        }
        m->data_ = allocdata(m, static_cast<size_t>(size));
        if (!m->data_) {
            matrix_destroy(m);
            return nullptr;
        }
        m->datasize_ = size;
    }
    link_rows(m);
    return m;
}

void matrix_destroy(matrix_t* m)
{
    if (!m)
        return;
    if (m->data_) {
        FATAL_CHECK(!(m->flags_ & MATRIX_REF));
        freedata(m);
    }
    std::free(m->rows_);
    std::free(m);
}

matrix_t* matrix_copy(const matrix_t* m)
{
    matrix_t* c = matrix_create(m->numrows_, m->numcols_);
    if (!c)
        return nullptr;
    c->xstart_ = m->xstart_;
    c->ystart_ = m->ystart_;
    c->xend_ = m->xend_;
    c->yend_ = m->yend_;
    if (m->numcols_ > 0)
        for (int32_t i = 0; i < m->numrows_; ++i)
            std::memcpy(c->rows_[i], m->rows_[i], sizeof(seqent_t) * m->numcols_);
    return c;
}

seq2_t* seq2_create(int32_t xstart, int32_t ystart, int32_t xend, int32_t yend)
{
    FATAL_CHECK(xstart <= xend && ystart <= yend);
    const int64_t w = static_cast<int64_t>(xend) - xstart;
    const int64_t h = static_cast<int64_t>(yend) - ystart;
    if (w > INT32_MAX || h > INT32_MAX)
        return nullptr;
    matrix_t* m = matrix_create(static_cast<int32_t>(h), static_cast<int32_t>(w));
    if (!m)
        return nullptr;
    m->xstart_ = xstart;
    m->ystart_ = ystart;
    m->xend_ = xend;
    m->yend_ = yend;
    return m;
}

seq_t* seq_create(int32_t xstart, int32_t xend)
{
    return seq2_create(xstart, 0, xend, 1);
}

int matrix_bindsub(matrix_t* target, matrix_t* source, int32_t r0, int32_t c0,
                   int32_t r1, int32_t c1)
{
    FATAL_CHECK(target != source);
    // Inclusive bounds; r1 = r0 - 1 (c1 = c0 - 1) is an empty rectangle.
    if (r0 < 0 || c0 < 0 || r0 > source->numrows_ || c0 > source->numcols_ ||
        r1 < r0 - 1 || c1 < c0 - 1 || r1 >= source->numrows_ || c1 >= source->numcols_)
        return -1;
    const int32_t numrows = r1 - r0 + 1;
    const int32_t numcols = c1 - c0 + 1;
    if (target->maxrows_ < numrows) {
        auto* rows = static_cast<seqent_t**>(std::realloc(target->rows_, sizeof(seqent_t*) * numrows));
        if (!rows)
            return -1;
        target->rows_ = rows;
        target->maxrows_ = numrows;
    }
    if (target->data_ && !(target->flags_ & MATRIX_REF))
        freedata(target);
    target->data_ = nullptr;
    target->datasize_ = 0;
    target->flags_ |= MATRIX_REF;
    target->numrows_ = numrows;
    target->numcols_ = numcols;
    target->rowstep_ = source->rowstep_;
    for (int32_t i = 0; i < numrows; ++i)
        target->rows_[i] = source->rows_[r0 + i] + c0;
    target->xstart_ = source->xstart_ + c0;
    target->ystart_ = source->ystart_ + r0;
    target->xend_ = target->xstart_ + numcols;
    target->yend_ = target->ystart_ + numrows;
    return 0;
}

int seq2_bindsub(seq2_t* target, seq2_t* source, int32_t xstart, int32_t ystart,
                 int32_t xend, int32_t yend)
{
    const int64_t r0 = static_cast<int64_t>(ystart) - source->ystart_;
    const int64_t c0 = static_cast<int64_t>(xstart) - source->xstart_;
    const int64_t r1 = static_cast<int64_t>(yend) - source->ystart_ - 1;
    const int64_t c1 = static_cast<int64_t>(xend) - source->xstart_ - 1;
    if (r0 < 0 || c0 < 0 || r1 >= INT32_MAX || c1 >= INT32_MAX)
        return -1;
    return matrix_bindsub(target, source, static_cast<int32_t>(r0), static_cast<int32_t>(c0),
                          static_cast<int32_t>(r1), static_cast<int32_t>(c1));
}

int matrix_resize(matrix_t* m, int32_t numrows, int32_t numcols)
{
    if (numrows < 0 || numcols < 0)
        return -1;
    if (m->flags_ & MATRIX_REF)
        return numrows == m->numrows_ && numcols == m->numcols_ ? 0 : -1;
    const int64_t size = static_cast<int64_t>(numrows) * numcols;
    if (size > m->datasize_ || numrows > m->maxrows_)
        return -1;
    m->numrows_ = numrows;
    m->numcols_ = numcols;
    link_rows(m);
    return 0;
}

void matrix_setorigin(matrix_t* m, int32_t x, int32_t y)
{
    m->xstart_ = x;
    m->ystart_ = y;
    m->xend_ = x + m->numcols_;
    m->yend_ = y + m->numrows_;
}

int matrix_cmp(const matrix_t* a, const matrix_t* b)
{
    if (a->numrows_ != b->numrows_ || a->numcols_ != b->numcols_)
        return 1;
    if (a->numcols_ == 0)
        return 0;
    for (int32_t i = 0; i < a->numrows_; ++i)
        if (std::memcmp(a->rows_[i], b->rows_[i], sizeof(seqent_t) * a->numcols_) != 0)
            return 1;
    return 0;
}

void matrix_shiftr_tozero(matrix_t* m, int n)
{
    FATAL_CHECK(n >= 0);
    if (n > 31)
        n = 31;
    for_each_row(m, [n](seqent_t* p, int32_t w) {
        for (int32_t j = 0; j < w; ++j) {
            const int32_t v = p[j];
            // Branch-free: shift the magnitude, restore the sign.
            const uint32_t s = static_cast<uint32_t>(v >> 31);
            const uint32_t mag = (static_cast<uint32_t>(v) ^ s) - s;
            p[j] = static_cast<int32_t>(((mag >> n) ^ s) - s);
        }
    });
}

void matrix_asr(matrix_t* m, int n)
{
    FATAL_CHECK(n >= 0);
    if (n > 31)
        n = 31;
    for_each_row(m, [n](seqent_t* p, int32_t w) {
        for (int32_t j = 0; j < w; ++j)
            p[j] >>= n;
    });
}

void matrix_shiftl(matrix_t* m, int n)
{
    FATAL_CHECK(n >= 0);
    if (n > 31) {
        matrix_setall(m, 0);
        return;
    }
    for_each_row(m, [n](seqent_t* p, int32_t w) {
        for (int32_t j = 0; j < w; ++j)
            p[j] = static_cast<int32_t>(static_cast<uint32_t>(p[j]) << n);
    });
}

void matrix_clip(matrix_t* m, seqent_t lo, seqent_t hi)
{
    for_each_row(m, [lo, hi](seqent_t* p, int32_t w) {
        for (int32_t j = 0; j < w; ++j) {
            const seqent_t v = p[j];
            p[j] = v < lo ? lo : (v > hi ? hi : v);
        }
    });
}

void matrix_setall(matrix_t* m, seqent_t v)
{
    for_each_row(m, [v](seqent_t* p, int32_t w) {
        for (int32_t j = 0; j < w; ++j)
            p[j] = v;
    });
}

void matrix_addall(matrix_t* m, seqent_t v)
{
    for_each_row(m, [v](seqent_t* p, int32_t w) {
        for (int32_t j = 0; j < w; ++j)
            p[j] = static_cast<int32_t>(static_cast<uint32_t>(p[j]) + static_cast<uint32_t>(v));
    });
}

int matrix_copyinto(matrix_t* dst, const matrix_t* src)
{
    if (dst->numrows_ != src->numrows_ || dst->numcols_ != src->numcols_)
        return -1;
    if (dst->numcols_ > 0)
        for (int32_t i = 0; i < dst->numrows_; ++i)
            std::memmove(dst->rows_[i], src->rows_[i], sizeof(seqent_t) * dst->numcols_);
    return 0;
}

// ---- text -------------------------------------------------------------

namespace {

int print_matrix(const matrix_t* m, FILE* out, bool fix)
{
    if (std::fprintf(out, "%d %d\n", m->numrows_, m->numcols_) < 0)
        return -1;
    for (int32_t i = 0; i < m->numrows_; ++i) {
        for (int32_t j = 0; j < m->numcols_; ++j) {
            const seqent_t v = m->rows_[i][j];
            const char* sep = j > 0 ? " " : "";
            const int r = fix ? std::fprintf(out, "%s%f", sep, fix_todbl(v))
                              : std::fprintf(out, "%s%d", sep, v);
            if (r < 0)
                return -1;
        }
        if (std::fputc('\n', out) == EOF)
            return -1;
    }
    return 0;
}

}  // namespace

int matrix_print(const matrix_t* m, FILE* out)
{
    return print_matrix(m, out, false);
}

int matrix_printfix(const matrix_t* m, FILE* out)
{
    return print_matrix(m, out, true);
}

matrix_t* matrix_readfix(FILE* in)
{
    int numrows, numcols;
    if (std::fscanf(in, "%d %d", &numrows, &numcols) != 2)
        return nullptr;
    matrix_t* m = matrix_create(numrows, numcols);
    if (!m)
        return nullptr;
    for (int32_t i = 0; i < numrows; ++i) {
        for (int32_t j = 0; j < numcols; ++j) {
            double v;
            if (std::fscanf(in, "%lf", &v) != 1) {
                matrix_destroy(m);
                return nullptr;
            }
            m->rows_[i][j] = fix_fromdbl(v);
        }
    }
    return m;
}

// ---- one-dimensional fixed-point sequences ----------------------------

seq_t* seq_upsample(const seq_t* s, int m)
{
    FATAL_CHECK(m > 0);
    if (s->xend_ <= s->xstart_)
        return seq_create(static_cast<int32_t>(static_cast<int64_t>(m) * s->xstart_),
                          static_cast<int32_t>(static_cast<int64_t>(m) * s->xstart_));
    const int64_t start = static_cast<int64_t>(m) * s->xstart_;
    const int64_t end = static_cast<int64_t>(m) * (s->xend_ - 1) + 1;
    if (start < INT32_MIN || end > INT32_MAX)
        return nullptr;
    seq_t* z = seq_create(static_cast<int32_t>(start), static_cast<int32_t>(end));
    if (!z)
        return nullptr;
    for (int32_t i = s->xstart_; i < s->xend_; ++i)
        seq_set(z, i * m, seq_get(s, i));  // other elements stay 0
    return z;
}

int32_t seq_norm(const seq_t* s)
{
    // The sum of fixed-point squares, accumulated in 64 bits (a 32-bit sum
    // would wrap for long or large filters).
    int64_t sum = 0;
    for (int32_t i = 0; i < s->numcols_; ++i) {
        const seqent_t v = s->rows_[0][i];
        sum += (static_cast<int64_t>(v) * v) >> FIX_FRACBITS;
    }
    return fix_fromdbl(std::sqrt(static_cast<double>(sum) / FIX_ONE));
}

seq_t* seq_conv(const seq_t* s, const seq_t* t)
{
    const int32_t start = s->xstart_ + t->xstart_;
    int32_t end = s->xend_ + t->xend_ - 1;
    if (seq_length(s) == 0 || seq_length(t) == 0)
        end = start;
    seq_t* z = seq_create(start, end);
    if (!z)
        return nullptr;
    for (int32_t i = start; i < end; ++i) {
        int32_t sum = 0;
        for (int32_t j = t->xstart_; j < t->xend_; ++j) {
            const int32_t k = i - j;
            if (k < s->xstart_ || k >= s->xend_)
                continue;
            sum = static_cast<int32_t>(static_cast<uint32_t>(sum) +
                                       static_cast<uint32_t>(fix_mul(seq_get(s, k), seq_get(t, j))));
        }
        seq_set(z, i, sum);
    }
    return z;
}

// ---- serialization ------------------------------------------------------

namespace {

int put_word(stream_t* out, int32_t v)
{
    // Sign in the top bit, 31-bit magnitude (INT32_MIN keeps magnitude 0
    // with the sign: it has no 31-bit magnitude).
    uint32_t w = v < 0 ? (0x80000000u | ((0u - static_cast<uint32_t>(v)) & 0x7fffffffu))
                       : static_cast<uint32_t>(v);
    for (int sh = 24; sh >= 0; sh -= 8)
        if (stream_putc(out, static_cast<int>((w >> sh) & 0xff)) < 0)
            return -1;
    return 0;
}

int get_word(stream_t* in, int32_t* v)
{
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = stream_getc(in);
        if (c < 0)
            return -1;
        w = (w << 8) | static_cast<uint32_t>(c);
    }
    const int32_t mag = static_cast<int32_t>(w & 0x7fffffffu);
    *v = (w & 0x80000000u) ? -mag : mag;
    return 0;
}

}  // namespace

int matrix_serialize(const matrix_t* m, stream_t* out)
{
    if (put_word(out, m->numrows_) || put_word(out, m->numcols_))
        return -1;
    for (int32_t i = 0; i < m->numrows_; ++i)
        for (int32_t j = 0; j < m->numcols_; ++j)
            if (put_word(out, m->rows_[i][j]))
                return -1;
    return 0;
}

matrix_t* matrix_deserialize(stream_t* in)
{
    int32_t numrows, numcols;
    if (get_word(in, &numrows) || get_word(in, &numcols) || numrows < 0 || numcols < 0)
        return nullptr;
    matrix_t* m = matrix_create(numrows, numcols);
    if (!m)
        return nullptr;
    for (int32_t i = 0; i < numrows; ++i)
        for (int32_t j = 0; j < numcols; ++j)
            if (get_word(in, &m->rows_[i][j])) {
                matrix_destroy(m);
                return nullptr;
            }
    return m;
}
