// Tag trees.
#include "tier2/tagtree.h"

#include <cinttypes>
#include <cstdint>
#include <new>

#include "base/fatal.h"

namespace {

// Longest leaf-to-root path: one node per level, at most 32 levels for
// dimensions below 2^31.
constexpr int TAGTREE_MAXDEPTH = 32;

// Collects the path from the leaf to the root; returns its length.
int tagtree_path(tagtreenode_t* leaf, tagtreenode_t** path)
{
    int n = 0;
    for (tagtreenode_t* node = leaf; node; node = node->parent_) {
        FATAL_CHECK(n < TAGTREE_MAXDEPTH);
        path[n++] = node;
    }
    return n;
}

}  // namespace

tagtree_t* tagtree_create(int numleafsh, int numleafsv)
{
    FATAL_CHECK(numleafsh > 0 && numleafsv > 0);

    // Level sizes, leaves first, until a level of one node.
    int widths[TAGTREE_MAXDEPTH];
    int heights[TAGTREE_MAXDEPTH];
    int numlvls = 0;
    int64_t numnodes = 0;
    int w = numleafsh;
    int h = numleafsv;
    for (;;) {
        widths[numlvls] = w;
        heights[numlvls] = h;
        ++numlvls;
        numnodes += static_cast<int64_t>(w) * h;
        if (w == 1 && h == 1)
            break;
        w = (w + 1) / 2;
        h = (h + 1) / 2;
    }
    if (numnodes > INT32_MAX / 2)
        return nullptr;

    tagtree_t* tree = new (std::nothrow) tagtree_t;
    if (!tree)
        return nullptr;
    tree->numleafsh_ = numleafsh;
    tree->numleafsv_ = numleafsv;
    tree->numnodes_ = static_cast<int>(numnodes);
    tree->nodes_ = new (std::nothrow) tagtreenode_t[tree->numnodes_];
    if (!tree->nodes_) {
        delete tree;
        return nullptr;
    }

    // Link each node to the node at (x / 2, y / 2) of the next level.
    tagtreenode_t* level = tree->nodes_;
    for (int l = 0; l < numlvls; ++l) {
        const int lw = widths[l];
        const int lh = heights[l];
        tagtreenode_t* next = level + static_cast<int64_t>(lw) * lh;
        for (int y = 0; y < lh; ++y) {
            for (int x = 0; x < lw; ++x) {
                tagtreenode_t* node = &level[static_cast<int64_t>(y) * lw + x];
                node->parent_ = l + 1 < numlvls
                                    ? &next[static_cast<int64_t>(y / 2) * widths[l + 1] + x / 2]
                                    : nullptr;
            }
        }
        level = next;
    }
    tagtree_reset(tree);
    return tree;
}

void tagtree_destroy(tagtree_t* tree)
{
    if (!tree)
        return;
    delete[] tree->nodes_;
    delete tree;
}

void tagtree_copy(tagtree_t* dsttree, const tagtree_t* srctree)
{
    FATAL_CHECK(srctree->numleafsh_ == dsttree->numleafsh_ &&
                srctree->numleafsv_ == dsttree->numleafsv_);
    for (int i = 0; i < srctree->numnodes_; ++i) {
        dsttree->nodes_[i].value_ = srctree->nodes_[i].value_;
        dsttree->nodes_[i].lower_ = srctree->nodes_[i].lower_;
        dsttree->nodes_[i].known_ = srctree->nodes_[i].known_;
    }
}

void tagtree_reset(tagtree_t* tree)
{
    for (int i = 0; i < tree->numnodes_; ++i) {
        tree->nodes_[i].value_ = TAGTREE_MAXVALUE;
        tree->nodes_[i].lower_ = 0;
        tree->nodes_[i].known_ = 0;
    }
}

void tagtree_setvalue(tagtree_t*, tagtreenode_t* leaf, int value)
{
    FATAL_CHECK(value >= 0);
    for (tagtreenode_t* node = leaf; node && node->value_ > value; node = node->parent_)
        node->value_ = value;
}

int tagtree_encode(tagtree_t*, tagtreenode_t* leaf, int threshold, bitstream_t* out)
{
    FATAL_CHECK(leaf);
    FATAL_CHECK(threshold >= 0);
    FATAL_CHECK((out)->openmode_ & BITSTREAM_WRITE);

    tagtreenode_t* path[TAGTREE_MAXDEPTH];
    int n = tagtree_path(leaf, path);
    int low = 0;
    while (--n >= 0) {
        tagtreenode_t* node = path[n];
        if (node->lower_ < low)
            node->lower_ = low;
        else
            low = node->lower_;
        while (low < threshold) {
            if (low >= node->value_) {
                if (!node->known_) {
                    if (bitstream_putbit(out, 1) < 0)
                        return -1;
                    node->known_ = 1;
                }
                break;
            }
            if (bitstream_putbit(out, 0) < 0)
                return -1;
            ++low;
        }
        node->lower_ = low;
    }
    return leaf->lower_ < threshold ? 1 : 0;
}

int tagtree_decode(tagtree_t*, tagtreenode_t* leaf, int threshold, bitstream_t* in)
{
    FATAL_CHECK(leaf);
    FATAL_CHECK(threshold >= 0);
    FATAL_CHECK((in)->openmode_ & BITSTREAM_READ);

    tagtreenode_t* path[TAGTREE_MAXDEPTH];
    int n = tagtree_path(leaf, path);
    int low = 0;
    while (--n >= 0) {
        tagtreenode_t* node = path[n];
        if (node->lower_ < low)
            node->lower_ = low;
        else
            low = node->lower_;
        while (low < threshold && low < node->value_) {
            const int bit = bitstream_getbit(in);
            if (bit < 0)
                return -1;
            if (bit)
                node->value_ = low;
            else
                ++low;
        }
        node->lower_ = low;
    }
    return leaf->value_ < threshold ? 1 : 0;
}

void tagtree_dump(const tagtree_t* tree, FILE* out)
{
    for (int i = 0; i < tree->numnodes_; ++i) {
        const tagtreenode_t* node = &tree->nodes_[i];
        fprintf(out, "node %p, parent %p, value %d, lower %d, known %d\n",
                static_cast<const void*>(node), static_cast<const void*>(node->parent_),
                node->value_, node->lower_, node->known_);
    }
}
