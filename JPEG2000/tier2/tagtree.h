// Tag trees of JPEG 2000 packet headers (T.800 B.10.2).
//
// A quad-tree over a rectangular array of leaves (one per code block of a
// precinct) that codes, against a rising threshold, a non-negative value per
// leaf: the inclusion layer or the number of missing most significant bit
// planes.  Inner nodes hold the minimum of their subtree.  The lower and
// known fields carry what has already been coded from one call to the next,
// so leaves that share ancestors code each shared bit once.
//
// Nodes are stored level by level, leaves first, each level row by row.
#ifndef JPEG2000_TAGTREE_H
#define JPEG2000_TAGTREE_H

#include <cstdio>

#include "tier2/bitstream.h"

// Value of a node that is not set (encoder) or not yet decoded (decoder).
constexpr int TAGTREE_MAXVALUE = 2147483647;

struct tagtreenode_t {
    tagtreenode_t* parent_;  // one level up; nullptr for the root
    int value_;              // coded value; inner nodes: minimum of the subtree
    int lower_;              // lower bound on value_ already conveyed
    int known_;              // the encoder has signalled that value_ is reached here
};

struct tagtree_t {
    int numleafsh_;          // leaves per row
    int numleafsv_;          // leaves per column
    int numnodes_;           // nodes over all levels
    tagtreenode_t* nodes_;   // all levels, leaves first (owned)
};

// New tree of numleafsh x numleafsv leaves (both > 0) in the reset state;
// nullptr when memory runs out or the tree would be too large.
tagtree_t* tagtree_create(int numleafsh, int numleafsv);
void tagtree_destroy(tagtree_t* tree);
// Copies value, lower and known of every node; both trees have the same
// shape.
void tagtree_copy(tagtree_t* dsttree, const tagtree_t* srctree);
// Every node: value TAGTREE_MAXVALUE, lower 0, known 0.
void tagtree_reset(tagtree_t* tree);

// The leaf of index row * numleafsh_ + column.
inline tagtreenode_t* tagtree_getleaf(tagtree_t* tree, int leafno) { return &tree->nodes_[leafno]; }

// Sets the value (>= 0) of a leaf and lowers its ancestors' minima.
void tagtree_setvalue(tagtree_t* tree, tagtreenode_t* leaf, int value);

// Codes what is needed to tell whether the leaf's value is below threshold
// (>= 0).  1 when it is (the leaf's lower bound is below the threshold after
// coding), 0 when not, -1 when a bit cannot be written.
int tagtree_encode(tagtree_t* tree, tagtreenode_t* leaf, int threshold, bitstream_t* out);
// Decodes up to the threshold.  1 when the leaf's value is below the
// threshold, 0 when not (yet), -1 at end of data.
int tagtree_decode(tagtree_t* tree, tagtreenode_t* leaf, int threshold, bitstream_t* in);

// One line per node: "node %p, parent %p, value %d, lower %d, known %d".
void tagtree_dump(const tagtree_t* tree, FILE* out);

#endif
