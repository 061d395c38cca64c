#include "base/seq.h"
#include "base/stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct MatrixDeleter {
    void operator()(matrix_t* m) const { matrix_destroy(m); }
};
using Matrix = std::unique_ptr<matrix_t, MatrixDeleter>;

// rows x cols matrix with element (r, c) = 10 * r + c.
Matrix numbered(int rows, int cols)
{
    Matrix m(matrix_create(rows, cols));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            matrix_set(m.get(), r, c, 10 * r + c);
    return m;
}

}  // namespace

TEST(Matrix, CreateZeroFilledAndEmpty)
{
    Matrix m(matrix_create(3, 4));
    ASSERT_TRUE(m);
    EXPECT_EQ(matrix_numrows(m.get()), 3);
    EXPECT_EQ(matrix_numcols(m.get()), 4);
    EXPECT_EQ(matrix_rowstep(m.get()), 4);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(matrix_get(m.get(), r, c), 0);

    Matrix empty(matrix_create(0, 0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->data_, nullptr);
    EXPECT_EQ(empty->rows_, nullptr);

    EXPECT_EQ(matrix_create(-1, 4), nullptr);
    EXPECT_EQ(matrix_create(4, -1), nullptr);
}

TEST(Matrix, SubMatrixWritesThroughToSource)
{
    Matrix src = numbered(4, 5);
    Matrix ref(matrix_create(0, 0));
    ASSERT_EQ(matrix_bindsub(ref.get(), src.get(), 1, 1, 2, 3), 0);
    EXPECT_TRUE(matrix_isref(ref.get()));
    EXPECT_EQ(matrix_numrows(ref.get()), 2);
    EXPECT_EQ(matrix_numcols(ref.get()), 3);
    EXPECT_EQ(matrix_get(ref.get(), 0, 0), 11);
    EXPECT_EQ(matrix_get(ref.get(), 1, 2), 23);
    EXPECT_EQ(matrix_rowstep(ref.get()), 5);

    matrix_set(ref.get(), 1, 0, -7);
    EXPECT_EQ(matrix_get(src.get(), 2, 1), -7);

    // Element-wise operations touch only the view.
    matrix_setall(ref.get(), 99);
    EXPECT_EQ(matrix_get(src.get(), 1, 0), 10);
    EXPECT_EQ(matrix_get(src.get(), 1, 4), 14);
    EXPECT_EQ(matrix_get(src.get(), 3, 1), 31);
    EXPECT_EQ(matrix_get(src.get(), 2, 3), 99);

    // A view of a view keeps the source's stride.
    Matrix ref2(matrix_create(0, 0));
    ASSERT_EQ(matrix_bindsub(ref2.get(), ref.get(), 1, 1, 1, 2), 0);
    matrix_set(ref2.get(), 0, 1, 5);
    EXPECT_EQ(matrix_get(src.get(), 2, 3), 5);
    EXPECT_EQ(ref2->xstart_, 2);
    EXPECT_EQ(ref2->ystart_, 2);
}

TEST(Matrix, BindSubRejectsBadBoundsAndReleasesOwnedData)
{
    Matrix src = numbered(4, 5);
    Matrix target = numbered(2, 2);  // owns data; rebinding frees it (ASan)
    EXPECT_EQ(matrix_bindsub(target.get(), src.get(), 0, 0, 4, 0), -1);
    EXPECT_EQ(matrix_bindsub(target.get(), src.get(), -1, 0, 1, 0), -1);
    EXPECT_EQ(matrix_bindsub(target.get(), src.get(), 0, 3, 0, 5), -1);
    EXPECT_EQ(matrix_bindsub(target.get(), src.get(), 2, 0, 0, 0), -1);
    EXPECT_FALSE(matrix_isref(target.get()));
    EXPECT_EQ(matrix_get(target.get(), 1, 1), 11);

    ASSERT_EQ(matrix_bindsub(target.get(), src.get(), 0, 0, 3, 4), 0);
    EXPECT_EQ(matrix_cmp(target.get(), src.get()), 0);
    // Empty rectangle (last = first - 1), also at the far edge.
    ASSERT_EQ(matrix_bindsub(target.get(), src.get(), 4, 5, 3, 4), 0);
    EXPECT_EQ(matrix_numrows(target.get()), 0);
    EXPECT_EQ(matrix_numcols(target.get()), 0);
    ASSERT_EQ(matrix_bindsub(target.get(), src.get(), 1, 5, 2, 4), 0);
    EXPECT_EQ(matrix_numrows(target.get()), 2);
    EXPECT_EQ(matrix_numcols(target.get()), 0);
    matrix_setall(target.get(), 1);  // nothing to touch
    EXPECT_EQ(matrix_get(src.get(), 2, 0), 20);
}

TEST(Matrix, SequenceCoordinates)
{
    Matrix s(seq2_create(-2, 3, 4, 7));  // 4 rows x 6 columns
    ASSERT_TRUE(s);
    EXPECT_EQ(matrix_numrows(s.get()), 4);
    EXPECT_EQ(matrix_numcols(s.get()), 6);
    seq2_set(s.get(), -2, 3, 1);
    seq2_set(s.get(), 3, 6, 2);
    EXPECT_EQ(matrix_get(s.get(), 0, 0), 1);
    EXPECT_EQ(matrix_get(s.get(), 3, 5), 2);

    Matrix v(matrix_create(0, 0));
    ASSERT_EQ(seq2_bindsub(v.get(), s.get(), 0, 4, 3, 7), 0);
    EXPECT_EQ(seq2_xstart(v.get()), 0);
    EXPECT_EQ(seq2_ystart(v.get()), 4);
    EXPECT_EQ(seq2_width(v.get()), 3);
    EXPECT_EQ(seq2_height(v.get()), 3);
    seq2_set(v.get(), 1, 5, 42);
    EXPECT_EQ(seq2_get(s.get(), 1, 5), 42);
    // Outside the source's coordinates.
    EXPECT_EQ(seq2_bindsub(v.get(), s.get(), -3, 4, 3, 7), -1);
    EXPECT_EQ(seq2_bindsub(v.get(), s.get(), 0, 4, 5, 7), -1);

    matrix_setorigin(v.get(), 100, 200);
    EXPECT_EQ(seq2_get(v.get(), 101, 201), 42);
    EXPECT_EQ(seq2_xend(v.get()), 103);

    Matrix c(seq2_copy(s.get()));
    ASSERT_TRUE(c);
    EXPECT_FALSE(matrix_isref(c.get()));
    EXPECT_EQ(seq2_get(c.get(), 1, 5), 42);
    EXPECT_EQ(seq2_xstart(c.get()), -2);
    EXPECT_EQ(matrix_cmp(c.get(), s.get()), 0);
}

TEST(Matrix, ResizeWithinCapacityOnly)
{
    Matrix m = numbered(4, 5);
    EXPECT_EQ(matrix_resize(m.get(), 5, 5), -1);  // more rows than created
    EXPECT_EQ(matrix_resize(m.get(), 4, 6), -1);  // more elements
    EXPECT_EQ(matrix_numrows(m.get()), 4);
    EXPECT_EQ(matrix_numcols(m.get()), 5);
    EXPECT_EQ(matrix_get(m.get(), 3, 4), 34);

    ASSERT_EQ(matrix_resize(m.get(), 2, 10), 0);
    EXPECT_EQ(matrix_rowstep(m.get()), 10);
    EXPECT_EQ(matrix_get(m.get(), 1, 0), 20);  // rows relinked over the same data
    ASSERT_EQ(matrix_resize(m.get(), 4, 5), 0);
    EXPECT_EQ(matrix_get(m.get(), 3, 4), 34);

    // A view cannot be reshaped (it has no data of its own).
    Matrix ref(matrix_create(0, 0));
    ASSERT_EQ(matrix_bindsub(ref.get(), m.get(), 0, 0, 1, 1), 0);
    EXPECT_EQ(matrix_resize(ref.get(), 1, 1), -1);
    EXPECT_EQ(matrix_resize(ref.get(), 2, 2), 0);
}

TEST(Matrix, ShiftsClipAndCompare)
{
    Matrix m(matrix_create(1, 6));
    const int in[6] = {-5, 5, -1, 1, -4, INT32_MIN};
    for (int i = 0; i < 6; ++i)
        matrix_set(m.get(), 0, i, in[i]);
    Matrix a(matrix_copy(m.get()));

    matrix_shiftr_tozero(m.get(), 1);
    const int tozero[6] = {-2, 2, 0, 0, -2, -(1 << 30)};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(matrix_get(m.get(), 0, i), tozero[i]) << i;

    matrix_asr(a.get(), 1);
    const int floor[6] = {-3, 2, -1, 0, -2, -(1 << 30)};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(matrix_get(a.get(), 0, i), floor[i]) << i;

    matrix_shiftl(a.get(), 2);
    EXPECT_EQ(matrix_get(a.get(), 0, 0), -12);
    EXPECT_EQ(matrix_get(a.get(), 0, 1), 8);

    matrix_clip(a.get(), -4, 4);
    const int clipped[6] = {-4, 4, -4, 0, -4, 0};  // -2^30 << 2 wraps to 0
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(matrix_get(a.get(), 0, i), clipped[i]) << i;

    matrix_addall(a.get(), 128);
    EXPECT_EQ(matrix_get(a.get(), 0, 0), 124);

    Matrix b(matrix_copy(a.get()));
    EXPECT_EQ(matrix_cmp(a.get(), b.get()), 0);
    matrix_set(b.get(), 0, 5, 0);
    EXPECT_EQ(matrix_cmp(a.get(), b.get()), 1);
    Matrix c(matrix_create(6, 1));
    EXPECT_EQ(matrix_cmp(a.get(), c.get()), 1);
    EXPECT_EQ(matrix_copyinto(c.get(), a.get()), -1);
    EXPECT_EQ(matrix_copyinto(b.get(), a.get()), 0);
    EXPECT_EQ(matrix_cmp(a.get(), b.get()), 0);
}

TEST(Matrix, SerializeRoundTripAndTruncation)
{
    Matrix m(matrix_create(2, 2));
    matrix_set(m.get(), 0, 0, -1);
    matrix_set(m.get(), 0, 1, 0x12345678);
    matrix_set(m.get(), 1, 0, -0x7fffffff);
    matrix_set(m.get(), 1, 1, 0);

    stream_t* s = stream_memopen(nullptr, 0);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(matrix_serialize(m.get(), s), 0);
    unsigned char* d = stream_memdata(s);
    ASSERT_EQ(stream_memlength(s), 8 + 16);
    const unsigned char head[12] = {0, 0, 0, 2, 0, 0, 0, 2, 0x80, 0, 0, 1};
    EXPECT_EQ(std::memcmp(d, head, 12), 0);

    ASSERT_EQ(stream_seek(s, 0, SEEK_SET), 0);
    Matrix back(matrix_deserialize(s));
    ASSERT_TRUE(back);
    EXPECT_EQ(matrix_cmp(back.get(), m.get()), 0);
    stream_close(s);

    // Data that ends inside the elements.
    s = stream_memopen(nullptr, 0);
    stream_write(s, head, 12);
    stream_seek(s, 0, SEEK_SET);
    EXPECT_EQ(matrix_deserialize(s), nullptr);
    stream_close(s);
}

TEST(Matrix, TextFormsRoundTrip)
{
    Matrix m(matrix_create(2, 3));
    matrix_set(m.get(), 0, 0, 16384);   // 1.0
    matrix_set(m.get(), 0, 2, -8192);   // -0.5
    matrix_set(m.get(), 1, 1, 1638);    // 0.0999755859375
    char buf[256] = {};
    FILE* f = fmemopen(buf, sizeof buf, "w");
    ASSERT_EQ(matrix_print(m.get(), f), 0);
    std::fclose(f);
    EXPECT_STREQ(buf, "2 3\n16384 0 -8192\n0 1638 0\n");

    f = fmemopen(buf, sizeof buf, "w");
    ASSERT_EQ(matrix_printfix(m.get(), f), 0);
    std::fclose(f);
    EXPECT_STREQ(buf, "2 3\n1.000000 0.000000 -0.500000\n0.000000 0.099976 0.000000\n");

    f = fmemopen(buf, std::strlen(buf), "r");
    Matrix back(matrix_readfix(f));
    std::fclose(f);
    ASSERT_TRUE(back);
    EXPECT_EQ(matrix_get(back.get(), 0, 0), 16384);
    EXPECT_EQ(matrix_get(back.get(), 0, 2), -8192);
    // 0.099976 * 16384 = 1638.007 truncates toward zero.
    EXPECT_EQ(matrix_get(back.get(), 1, 1), 1638);

    char bad[] = "2 2\n1.0 2.0 3.0";
    f = fmemopen(bad, std::strlen(bad), "r");
    EXPECT_EQ(matrix_readfix(f), nullptr);
    std::fclose(f);
}

TEST(Sequence, UpsampleNormConvolve)
{
    // s over [-1, 2): 1.0, 2.0, -1.0
    Matrix s(seq_create(-1, 2));
    seq_set(s.get(), -1, 16384);
    seq_set(s.get(), 0, 32768);
    seq_set(s.get(), 1, -16384);

    Matrix u(seq_upsample(s.get(), 2));
    ASSERT_TRUE(u);
    EXPECT_EQ(seq_start(u.get()), -2);
    EXPECT_EQ(seq_end(u.get()), 3);
    const int up[5] = {16384, 0, 32768, 0, -16384};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(seq_get(u.get(), i - 2), up[i]) << i;

    // sqrt(1 + 4 + 1) = 2.449489... -> 40132 (truncated).
    EXPECT_EQ(seq_norm(s.get()), 40132);

    // t over [1, 3): 0.5, 0.5
    Matrix t(seq_create(1, 3));
    seq_set(t.get(), 1, 8192);
    seq_set(t.get(), 2, 8192);
    Matrix c(seq_conv(s.get(), t.get()));
    ASSERT_TRUE(c);
    EXPECT_EQ(seq_start(c.get()), 0);
    EXPECT_EQ(seq_end(c.get()), 4);
    const int conv[4] = {8192, 24576, 8192, -8192};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(seq_get(c.get(), i), conv[i]) << i;
}

TEST(MatrixDeathTest, Preconditions)
{
    EXPECT_DEATH(seq2_create(2, 0, 1, 1), "Assertion failed: xstart <= xend && ystart <= yend");
    Matrix m(matrix_create(1, 1));
    EXPECT_DEATH(matrix_shiftl(m.get(), -1), "Assertion failed: n >= 0");
}
