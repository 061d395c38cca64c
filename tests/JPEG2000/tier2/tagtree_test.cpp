// Tag trees: shape, known codes, and encode/decode agreement over random
// trees in the orders the packet coder uses them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tier2/bitstream.h"
#include "base/stream.h"
#include "tier2/tagtree.h"

namespace {

struct tree_deleter {
    void operator()(tagtree_t* t) const { tagtree_destroy(t); }
};
using tree_ptr = std::unique_ptr<tagtree_t, tree_deleter>;

// A writing bit stream on a growable memory stream, and its bits read back.
struct writer {
    stream_t* s = stream_memopen(nullptr, 0);
    bitstream_t* b = bitstream_open(s, "w");
    ~writer()
    {
        if (b)
            bitstream_close(b);
        stream_close(s);
    }
    std::vector<uint8_t> finish()
    {
        EXPECT_EQ(bitstream_close(b), 0);
        b = nullptr;
        const unsigned char* data = stream_memdata(s);
        return std::vector<uint8_t>(data, data + stream_memlength(s));
    }
};

struct reader {
    stream_t* s = stream_memopen(nullptr, 0);
    bitstream_t* b = nullptr;
    explicit reader(const std::vector<uint8_t>& data)
    {
        stream_write(s, data.data(), static_cast<int64_t>(data.size()));
        stream_rewind(s);
        b = bitstream_open(s, "r");
    }
    ~reader()
    {
        bitstream_close(b);
        stream_close(s);
    }
};

}  // namespace

TEST(Tagtree, Shape)
{
    tree_ptr one(tagtree_create(1, 1));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->numnodes_, 1);
    EXPECT_EQ(one->nodes_[0].parent_, nullptr);

    tree_ptr t(tagtree_create(3, 2));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->numnodes_, 9);  // levels of 6, 2 and 1 nodes
    tagtreenode_t* leaf = tagtree_getleaf(t.get(), 1 * 3 + 2);
    EXPECT_EQ(leaf->parent_, &t->nodes_[6 + 1]);
    EXPECT_EQ(leaf->parent_->parent_, &t->nodes_[8]);
    EXPECT_EQ(t->nodes_[8].parent_, nullptr);
    EXPECT_EQ(tagtree_getleaf(t.get(), 0)->parent_, &t->nodes_[6]);

    // A long thin tree: every level halves the width.
    tree_ptr thin(tagtree_create(1000, 1));
    ASSERT_TRUE(thin);
    int depth = 0;
    for (tagtreenode_t* n = tagtree_getleaf(thin.get(), 999); n; n = n->parent_)
        ++depth;
    EXPECT_EQ(depth, 11);

    tree_ptr sq(tagtree_create(2, 2));
    const int values[] = {3, 1, 2, 5};
    for (int i = 0; i < 4; ++i)
        tagtree_setvalue(sq.get(), tagtree_getleaf(sq.get(), i), values[i]);
    EXPECT_EQ(sq->nodes_[4].value_, 1);
}

TEST(Tagtree, KnownCodes)
{
    // 1 x 1, value 0, threshold 1: a single 1 bit.
    {
        tree_ptr t(tagtree_create(1, 1));
        tagtree_setvalue(t.get(), tagtree_getleaf(t.get(), 0), 0);
        writer w;
        EXPECT_EQ(tagtree_encode(t.get(), tagtree_getleaf(t.get(), 0), 1, w.b), 1);
        EXPECT_EQ(w.b->cnt_, 7);
        EXPECT_EQ(w.finish(), (std::vector<uint8_t>{0x80}));
    }
    // 1 x 1, value 2, thresholds 1, 2, 3: bits 0, 0, 1 and results 0, 0, 1;
    // a repeated threshold writes nothing.
    tree_ptr t(tagtree_create(1, 1));
    tagtreenode_t* leaf = tagtree_getleaf(t.get(), 0);
    tagtree_setvalue(t.get(), leaf, 2);
    writer w;
    EXPECT_EQ(tagtree_encode(t.get(), leaf, 1, w.b), 0);
    EXPECT_EQ(tagtree_encode(t.get(), leaf, 2, w.b), 0);
    EXPECT_EQ(tagtree_encode(t.get(), leaf, 3, w.b), 1);
    EXPECT_EQ(w.b->cnt_, 5);
    EXPECT_EQ(tagtree_encode(t.get(), leaf, 3, w.b), 1);
    EXPECT_EQ(tagtree_encode(t.get(), leaf, 2, w.b), 0);
    EXPECT_EQ(w.b->cnt_, 5);
    const auto code = w.finish();
    EXPECT_EQ(code, (std::vector<uint8_t>{0x20}));

    tree_ptr d(tagtree_create(1, 1));
    tagtreenode_t* dleaf = tagtree_getleaf(d.get(), 0);
    reader r(code);
    EXPECT_EQ(tagtree_decode(d.get(), dleaf, 1, r.b), 0);
    EXPECT_EQ(tagtree_decode(d.get(), dleaf, 2, r.b), 0);
    EXPECT_EQ(dleaf->value_, TAGTREE_MAXVALUE);
    EXPECT_EQ(tagtree_decode(d.get(), dleaf, 3, r.b), 1);
    EXPECT_EQ(dleaf->value_, 2);
}

// Random trees coded as the packet coder does: inclusion trees layer by
// layer (a leaf leaves the tree once included), zero-bit-plane trees with
// rising thresholds until the answer is 1; and a trial coding between a
// copy and a restore leaves no trace.
TEST(Tagtree, RandomRoundTrips)
{
    std::mt19937 rng(31337);
    for (int trial = 0; trial < 300; ++trial) {
        const int w = 1 + static_cast<int>(rng() % 13);
        const int h = 1 + static_cast<int>(rng() % 13);
        const int n = w * h;
        const int maxval = 1 + static_cast<int>(rng() % 12);
        std::vector<int> incl(n), zbp(n);
        for (int i = 0; i < n; ++i) {
            incl[i] = static_cast<int>(rng() % (maxval + 1));
            zbp[i] = static_cast<int>(rng() % (maxval + 1));
        }
        tree_ptr ti(tagtree_create(w, h)), tz(tagtree_create(w, h));
        tree_ptr si(tagtree_create(w, h)), sz(tagtree_create(w, h));
        for (int i = 0; i < n; ++i) {
            tagtree_setvalue(ti.get(), tagtree_getleaf(ti.get(), i), incl[i]);
            tagtree_setvalue(tz.get(), tagtree_getleaf(tz.get(), i), zbp[i]);
        }
        const int numlyrs = maxval + 2;
        // Encoder: for each layer, each leaf not yet included codes its
        // inclusion; at inclusion, its zero bit planes.  Every other layer is
        // first coded as a trial between copy and restore.
        auto encode_layer = [&](int lyr, bitstream_t* b, std::vector<char>& included,
                                std::vector<int>& results) {
            for (int i = 0; i < n; ++i) {
                if (included[i])
                    continue;
                const int in = tagtree_encode(ti.get(), tagtree_getleaf(ti.get(), i), lyr + 1, b);
                ASSERT_GE(in, 0);
                results.push_back(in);
                if (!in)
                    continue;
                included[i] = 1;
                for (int t = 1;; ++t) {
                    const int r = tagtree_encode(tz.get(), tagtree_getleaf(tz.get(), i), t, b);
                    ASSERT_GE(r, 0);
                    if (r)
                        break;
                }
            }
        };
        writer w1;
        std::vector<char> included(n, 0);
        std::vector<int> results;
        for (int lyr = 0; lyr < numlyrs; ++lyr) {
            if (lyr % 2) {
                tagtree_copy(si.get(), ti.get());
                tagtree_copy(sz.get(), tz.get());
                writer scratch;
                std::vector<char> inc2 = included;
                std::vector<int> res2;
                encode_layer(lyr, scratch.b, inc2, res2);
                tagtree_copy(ti.get(), si.get());
                tagtree_copy(tz.get(), sz.get());
            }
            encode_layer(lyr, w1.b, included, results);
        }
        const auto code = w1.finish();

        // Decoder mirrors the order.
        tree_ptr di(tagtree_create(w, h)), dz(tagtree_create(w, h));
        reader r(code);
        std::vector<char> dincluded(n, 0);
        size_t k = 0;
        for (int lyr = 0; lyr < numlyrs; ++lyr) {
            for (int i = 0; i < n; ++i) {
                if (dincluded[i])
                    continue;
                const int in = tagtree_decode(di.get(), tagtree_getleaf(di.get(), i), lyr + 1, r.b);
                ASSERT_LT(k, results.size());
                ASSERT_EQ(in, results[k++]) << "trial " << trial;
                ASSERT_EQ(in, incl[i] <= lyr ? 1 : 0);
                if (!in)
                    continue;
                dincluded[i] = 1;
                EXPECT_EQ(tagtree_getleaf(di.get(), i)->value_, incl[i]);
                int t = 1;
                while (!tagtree_decode(dz.get(), tagtree_getleaf(dz.get(), i), t, r.b))
                    ASSERT_LE(++t, maxval + 1);
                EXPECT_EQ(t - 1, zbp[i]) << "trial " << trial;
            }
        }
        EXPECT_EQ(k, results.size());
    }
}

// Thresholds that jump by more than one, the same sequence on both sides:
// results tell value < threshold, and a leaf not yet reached has a lower
// bound between the threshold and its value.
TEST(Tagtree, PartialThresholds)
{
    std::mt19937 rng(8);
    for (int trial = 0; trial < 200; ++trial) {
        const int w = 1 + static_cast<int>(rng() % 6), h = 1 + static_cast<int>(rng() % 6);
        const int n = w * h;
        tree_ptr t(tagtree_create(w, h));
        std::vector<int> vals(n);
        std::vector<std::vector<int>> ths(n);
        for (int i = 0; i < n; ++i) {
            vals[i] = static_cast<int>(rng() % 20);
            tagtree_setvalue(t.get(), tagtree_getleaf(t.get(), i), vals[i]);
            for (int th = static_cast<int>(rng() % 3); th <= 25; th += 1 + static_cast<int>(rng() % 5))
                ths[i].push_back(th);
        }
        writer wr;
        for (int i = 0; i < n; ++i)
            for (int th : ths[i])
                ASSERT_EQ(tagtree_encode(t.get(), tagtree_getleaf(t.get(), i), th, wr.b),
                          vals[i] < th ? 1 : 0);
        const auto code = wr.finish();
        tree_ptr d(tagtree_create(w, h));
        reader r(code);
        for (int i = 0; i < n; ++i) {
            tagtreenode_t* leaf = tagtree_getleaf(d.get(), i);
            for (int th : ths[i]) {
                ASSERT_EQ(tagtree_decode(d.get(), leaf, th, r.b), vals[i] < th ? 1 : 0);
                if (th <= vals[i]) {
                    ASSERT_GE(leaf->lower_, th);
                    ASSERT_LE(leaf->lower_, vals[i]);
                }
            }
            EXPECT_EQ(leaf->value_, vals[i]);
        }
    }
}

TEST(Tagtree, DecodeAtEndOfData)
{
    tree_ptr t(tagtree_create(4, 4));
    reader r({0x00});
    tagtreenode_t* leaf = tagtree_getleaf(t.get(), 15);
    // Eight 0 bits raise the bounds; then the data ends.
    EXPECT_EQ(tagtree_decode(t.get(), leaf, 8, r.b), 0);
    EXPECT_EQ(tagtree_decode(t.get(), leaf, 100, r.b), -1);
    tagtree_reset(t.get());
    EXPECT_EQ(leaf->lower_, 0);
    EXPECT_EQ(t->nodes_[t->numnodes_ - 1].value_, TAGTREE_MAXVALUE);
}
