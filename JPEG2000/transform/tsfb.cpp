// Tree-structured 2-D filter bank: the dyadic wavelet decomposition.
#include "transform/tsfb.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "base/fatal.h"
#include "base/mathx.h"

namespace {

// Extent of one channel of a node along one direction: positions in the
// node's region (relative) and coordinates in the channel's own grid.
struct Span {
    int64_t loc;    // first position, relative to the node's region
    int64_t count;  // number of samples
    int64_t start;  // coordinate of the first sample in the channel grid
};

// Channel ch (0 low, 1 high) of a line start .. end - 1; a missing bank
// has one channel, the whole line.
Span channel_span(const qmfb1d_t* qmfb, int ch, int64_t start, int64_t end)
{
    if (!qmfb)
        return Span{0, end - start, start};
    const int64_t lstart = mathx_ceildiv(start, 2), lend = mathx_ceildiv(end, 2);
    if (ch == 0)
        return Span{0, lend - lstart, lstart};
    const int64_t hstart = mathx_floordiv(start, 2), hend = mathx_floordiv(end, 2);
    return Span{lend - lstart, hend - hstart, hstart};
}

int hchan(int slot) { return slot % 2; }
int vchan(int slot) { return slot / 2; }

void node_destroy(tsfbnode_t* node)
{
    if (!node)
        return;
    for (tsfbnode_t* child : node->children)
        node_destroy(child);
    qmfb1d_destroy(node->hqmfb);
    qmfb1d_destroy(node->vqmfb);
    delete node;
}

tsfbnode_t* node_create(const qmfb1d_t* hqmfb, const qmfb1d_t* vqmfb)
{
    tsfbnode_t* node = new (std::nothrow) tsfbnode_t{};
    if (!node)
        return nullptr;
    node->hqmfb = hqmfb ? qmfb1d_copy(hqmfb) : nullptr;
    node->vqmfb = vqmfb ? qmfb1d_copy(vqmfb) : nullptr;
    if ((hqmfb && !node->hqmfb) || (vqmfb && !node->vqmfb)) {
        node_destroy(node);
        return nullptr;
    }
    node->numhchans = hqmfb ? qmfb1d_getnumchans(hqmfb) : 1;
    node->numvchans = vqmfb ? qmfb1d_getnumchans(vqmfb) : 1;
    node->maxchildren = node->numhchans * node->numvchans;
    return node;
}

// A region of a matrix: rows of numcols samples, rowstep apart, whose
// first sample has absolute coordinates (xstart, ystart).
struct Region {
    int32_t* data;
    int64_t numrows, numcols;
    ptrdiff_t rowstep;
    int64_t xstart, ystart;
    int64_t locy;  // first row, relative to the matrix's first row
};

Region child_region(const tsfbnode_t* node, int slot, const Region& r)
{
    const Span h = channel_span(node->hqmfb, hchan(slot), r.xstart, r.xstart + r.numcols);
    const Span v = channel_span(node->vqmfb, vchan(slot), r.ystart, r.ystart + r.numrows);
    return Region{r.data + v.loc * r.rowstep + h.loc, v.count, h.count, r.rowstep, h.start, v.start,
                  r.locy + v.loc};
}

// The row hook of one node's row pass: its rows as rows of the matrix.
struct NodeRows {
    const tsfb_rowhook_t* hook;
    int lvl;
    int64_t locy;
    static void done(void* arg, int32_t row)
    {
        const NodeRows* n = static_cast<const NodeRows*>(arg);
        n->hook->done(n->hook->arg, n->lvl, static_cast<int32_t>(n->locy + row));
    }
};

// The pass callback of one transform.
struct Passes {
    tsfb_pass_t pass;
    void* arg;
    bool stopped;
    // After a pass over r: false once the callback has stopped the transform.
    bool done(const Region& r)
    {
        if (pass && !stopped && pass(arg, r.numrows * r.numcols) != 0)
            stopped = true;
        return !stopped;
    }
};

// childrenonly: the node's own passes are done (by the caller).
void node_analyze(const tsfbnode_t* node, int flags, const Region& r, Passes& p,
                  const tsfb_rowhook_t* rowhook, int lvl, bool childrenonly = false)
{
    if (r.numrows <= 0 || r.numcols <= 0 || p.stopped)
        return;
    const int32_t rows = static_cast<int32_t>(r.numrows), cols = static_cast<int32_t>(r.numcols);
    if (node->vqmfb && !childrenonly) {
        qmfb1d_analyze_region(node->vqmfb->kind_, flags | QMFB_VERT, r.data, rows, cols, r.rowstep,
                              r.ystart);
        if (!p.done(r))
            return;
    }
    if (node->hqmfb && !childrenonly) {
        NodeRows noderows{rowhook, lvl, r.locy};
        const qmfb_rowhook_t hook{NodeRows::done, &noderows};
        qmfb1d_analyze_region(node->hqmfb->kind_, flags & ~QMFB_VERT, r.data, rows, cols,
                              r.rowstep, r.xstart, rowhook ? &hook : nullptr);
        if (!p.done(r))
            return;
    }
    for (int slot = 0; slot < node->maxchildren; ++slot)
        if (node->children[slot])
            node_analyze(node->children[slot], flags, child_region(node, slot, r), p, rowhook,
                         lvl + 1);
}

// childrenonly: the node's own passes are left to the caller.
void node_synthesize(const tsfbnode_t* node, int flags, const Region& r, Passes& p,
                     bool childrenonly = false)
{
    if (r.numrows <= 0 || r.numcols <= 0)
        return;
    for (int slot = 0; slot < node->maxchildren; ++slot)
        if (node->children[slot])
            node_synthesize(node->children[slot], flags, child_region(node, slot, r), p);
    if (p.stopped || childrenonly)
        return;
    const int32_t rows = static_cast<int32_t>(r.numrows), cols = static_cast<int32_t>(r.numcols);
    if (node->hqmfb) {
        qmfb1d_synthesize_region(node->hqmfb->kind_, flags & ~QMFB_VERT, r.data, rows, cols,
                                 r.rowstep, r.xstart);
        if (!p.done(r))
            return;
    }
    if (node->vqmfb) {
        qmfb1d_synthesize_region(node->vqmfb->kind_, flags | QMFB_VERT, r.data, rows, cols,
                                 r.rowstep, r.ystart);
        p.done(r);
    }
}

// ---- synthesis weights -------------------------------------------------------
//
// The weight of a band is norm(h) (x) norm(v), where h (and likewise v) is
// the synthesis impulse response of the band's channel at its node followed
// by the low-pass channels of the nodes above it: starting from the
// one-element sequence 1.0, at each node from the band's up to the root the
// sequence is upsampled by 2 and convolved with that node's synthesis
// filter.  In the wavelet tree the norm depends only on the filter kind, the
// band's channel and its depth (1 for the root), so the norms are computed
// once per process.  The sequence lengths double with each level, and from
// about 17 levels on the weights no longer fit in 32 bits; deeper norms are
// extrapolated with the growth factor of the last exact level.

constexpr int EXACTDEPTH = 17;

// A fixed14 sequence with the coordinate of its first element.
struct Fseq {
    int64_t start;
    std::vector<int32_t> v;
};

// upsample(s, 2) convolved with f: the element at coordinate i is the sum
// of f(j) (x) s((i - j) / 2) over j with i - j even.
Fseq upconv(const Fseq& s, const Fseq& f)
{
    const int64_t upn = 2 * static_cast<int64_t>(s.v.size()) - 1;
    Fseq r;
    r.start = 2 * s.start + f.start;
    r.v.assign(static_cast<size_t>(upn + static_cast<int64_t>(f.v.size()) - 1), 0);
    std::vector<int64_t> acc(r.v.size(), 0);
    for (size_t j = 0; j < f.v.size(); ++j) {
        const int64_t c = f.v[j];
        for (size_t k = 0; k < s.v.size(); ++k)
            acc[2 * k + j] += (c * s.v[k]) >> 14;
    }
    for (size_t i = 0; i < acc.size(); ++i)
        r.v[i] = static_cast<int32_t>(acc[i]);
    return r;
}

// sqrt of the sum of the fixed-point squares, fixed14, truncated.
double fnorm(const Fseq& s)
{
    int64_t sum = 0;
    for (int32_t x : s.v)
        sum += (static_cast<int64_t>(x) * x) >> 14;
    return std::trunc(std::sqrt(static_cast<double>(sum) / 16384.0) * 16384.0);
}

struct NormTable {
    std::mutex lock;
    int depthdone = 0;
    // norms[ch][d - 1]: channel ch at depth d.
    std::vector<double> norms[2];
};

NormTable& normtable(int kind)
{
    static NormTable tables[2];
    return tables[kind == QMFB_53 ? 0 : 1];
}

double chain_norm(const qmfb1d_t* qmfb, int ch, int depth)
{
    NormTable& t = normtable(qmfb->kind_);
    std::lock_guard<std::mutex> guard(t.lock);
    const int exact = std::min(depth, EXACTDEPTH);
    if (t.depthdone < exact) {
        seq_t* filters[2];
        FATAL_CHECK(qmfb1d_getsynfilters(qmfb, 2, filters) == 0);
        Fseq f[2];
        for (int i = 0; i < 2; ++i) {
            f[i].start = seq_start(filters[i]);
            for (int32_t x = seq_start(filters[i]); x < seq_end(filters[i]); ++x)
                f[i].v.push_back(seq_get(filters[i], x));
            matrix_destroy(filters[i]);
        }
        for (int c = 0; c < 2; ++c) {
            t.norms[c].clear();
            Fseq s = f[c];
            t.norms[c].push_back(fnorm(s));
            for (int d = 2; d <= exact; ++d) {
                s = upconv(s, f[0]);
                t.norms[c].push_back(fnorm(s));
            }
        }
        t.depthdone = exact;
    }
    const std::vector<double>& n = t.norms[ch];
    if (depth <= EXACTDEPTH)
        return n[static_cast<size_t>(depth - 1)];
    const double growth = n[EXACTDEPTH - 1] / n[EXACTDEPTH - 2];
    return n[EXACTDEPTH - 1] * std::pow(growth, depth - EXACTDEPTH);
}

int32_t band_weight(const tsfbnode_t* node, int slot)
{
    // Depth of the band's node: 1 for the root.
    int depth = 0;
    for (const tsfbnode_t* n = node; n; n = n->parent)
        ++depth;
    // Channels along the way: the band's own at its node, low above it (in
    // the wavelet tree every node hangs in its parent's slot 0).
    for (const tsfbnode_t* n = node; n->parent; n = n->parent)
        FATAL_CHECK(n->parent->children[0] == n);
    double nh = 16384.0, nv = 16384.0;
    if (node->hqmfb)
        nh = chain_norm(node->hqmfb, hchan(slot), depth);
    if (node->vqmfb)
        nv = chain_norm(node->vqmfb, vchan(slot), depth);
    // Fixed-point product of the two norms, kept within 32 bits.
    constexpr double maxwt = std::numeric_limits<int32_t>::max();
    if (nh * nv / 16384.0 >= maxwt)
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>((static_cast<int64_t>(nh) * static_cast<int64_t>(nv)) >> 14);
}

int orientation(const tsfbnode_t* node, int slot)
{
    if (node->maxchildren == 4) {
        static const int orients[4] = {TSFB_LL, TSFB_HL, TSFB_LH, TSFB_HH};
        return orients[slot];
    }
    FATAL_CHECK(node->maxchildren == 3);
    static const int orients[3] = {TSFB_HL, TSFB_LH, TSFB_HH};
    return orients[slot];
}

struct BandWalk {
    tsfb_band_t* bands;
    int count;
};

// Region of a node: relative position in the root's region and absolute
// coordinates.
struct Area {
    int64_t locx, locy;
    int64_t xstart, ystart, xend, yend;
};

void node_bands(const tsfbnode_t* node, const Area& a, BandWalk& walk)
{
    Area sub[TSFB_MAXCHANPAIRS];
    for (int slot = 0; slot < node->maxchildren; ++slot) {
        const Span h = channel_span(node->hqmfb, hchan(slot), a.xstart, a.xend);
        const Span v = channel_span(node->vqmfb, vchan(slot), a.ystart, a.yend);
        sub[slot] = Area{a.locx + h.loc, a.locy + v.loc, h.start, v.start, h.start + h.count,
                         v.start + v.count};
    }
    for (int slot = 0; slot < node->maxchildren; ++slot)
        if (node->children[slot])
            node_bands(node->children[slot], sub[slot], walk);
    for (int slot = 0; slot < node->maxchildren; ++slot) {
        if (node->children[slot])
            continue;
        const Area& s = sub[slot];
        tsfb_band_t& b = walk.bands[walk.count++];
        b.locxstart = static_cast<int32_t>(s.locx);
        b.locystart = static_cast<int32_t>(s.locy);
        b.locxend = static_cast<int32_t>(s.locx + (s.xend - s.xstart));
        b.locyend = static_cast<int32_t>(s.locy + (s.yend - s.ystart));
        b.orient = orientation(node, slot);
        b.xstart = static_cast<int32_t>(s.xstart);
        b.ystart = static_cast<int32_t>(s.ystart);
        b.xend = static_cast<int32_t>(s.xend);
        b.yend = static_cast<int32_t>(s.yend);
        b.synenergywt = band_weight(node, slot);
    }
}

// The node and slot of band bandno in band list order, by the same walk.
bool find_band(const tsfbnode_t* node, int& bandno, const tsfbnode_t** found, int* slot)
{
    for (int s = 0; s < node->maxchildren; ++s)
        if (node->children[s] && find_band(node->children[s], bandno, found, slot))
            return true;
    for (int s = 0; s < node->maxchildren; ++s) {
        if (node->children[s])
            continue;
        if (bandno-- == 0) {
            *found = node;
            *slot = s;
            return true;
        }
    }
    return false;
}

}  // namespace

tsfb_t* tsfb_wavelet(int qmfbid, int numlvls)
{
    if ((qmfbid != 0 && qmfbid != 1) || numlvls < 0 || numlvls > TSFB_MAXLVLS)
        return nullptr;
    tsfb_t* tsfb = new (std::nothrow) tsfb_t{};
    if (!tsfb)
        return nullptr;
    tsfb->numlvls = numlvls;
    if (numlvls == 0)
        return tsfb;
    qmfb1d_t* qmfb = qmfb1d_make(qmfbid == 1 ? QMFB_53 : QMFB_97);
    if (!qmfb) {
        delete tsfb;
        return nullptr;
    }
    tsfbnode_t* parent = nullptr;
    for (int lvl = 0; lvl < numlvls; ++lvl) {
        tsfbnode_t* node = node_create(qmfb, qmfb);
        if (!node) {
            qmfb1d_destroy(qmfb);
            tsfb_destroy(tsfb);
            return nullptr;
        }
        if (parent) {
            node->parent = parent;
            parent->children[0] = node;
            parent->numchildren = 1;
        } else {
            tsfb->root = node;
        }
        parent = node;
    }
    qmfb1d_destroy(qmfb);
    return tsfb;
}

void tsfb_destroy(tsfb_t* tsfb)
{
    if (!tsfb)
        return;
    node_destroy(tsfb->root);
    delete tsfb;
}

int tsfb_numbands(const tsfb_t* tsfb)
{
    return 3 * tsfb->numlvls + 1;
}

namespace {

int analyze(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass, void* passarg,
            const tsfb_rowhook_t* rowhook, bool belowroot)
{
    if (!tsfb->root || matrix_numrows(x) <= 0 || matrix_numcols(x) <= 0)
        return 0;
    Passes p{pass, passarg, false};
    node_analyze(tsfb->root, flags,
                 Region{matrix_row(x, 0), matrix_numrows(x), matrix_numcols(x), matrix_rowstep(x),
                        x->xstart_, x->ystart_, 0},
                 p, rowhook, 0, belowroot);
    return p.stopped ? -1 : 0;
}

}  // namespace

int tsfb_analyze(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass, void* passarg,
                 const tsfb_rowhook_t* rowhook)
{
    return analyze(tsfb, flags, x, pass, passarg, rowhook, false);
}

int tsfb_analyze_below(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass,
                       void* passarg, const tsfb_rowhook_t* rowhook)
{
    return analyze(tsfb, flags, x, pass, passarg, rowhook, true);
}

namespace {

int synthesize(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass, void* passarg,
               bool belowroot)
{
    if (!tsfb->root || matrix_numrows(x) <= 0 || matrix_numcols(x) <= 0)
        return 0;
    Passes p{pass, passarg, false};
    node_synthesize(tsfb->root, flags,
                    Region{matrix_row(x, 0), matrix_numrows(x), matrix_numcols(x),
                           matrix_rowstep(x), x->xstart_, x->ystart_, 0},
                    p, belowroot);
    return p.stopped ? -1 : 0;
}

}  // namespace

int tsfb_synthesize(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass, void* passarg)
{
    return synthesize(tsfb, flags, x, pass, passarg, false);
}

int tsfb_rootkind(const tsfb_t* tsfb, const matrix_t* x)
{
    const tsfbnode_t* root = tsfb->root;
    if (!root || !root->hqmfb || !root->vqmfb || root->hqmfb->kind_ != root->vqmfb->kind_ ||
        matrix_numrows(x) < 2 || matrix_numcols(x) < 1)
        return 0;
    return root->hqmfb->kind_;
}

int tsfb_synthesize_below(const tsfb_t* tsfb, int flags, matrix_t* x, tsfb_pass_t pass,
                          void* passarg)
{
    return synthesize(tsfb, flags, x, pass, passarg, true);
}

int tsfb_synthesize_ll(const tsfb_t* tsfb, int flags, const matrix_t* x, matrix_t* ll,
                       tsfb_pass_t pass, void* passarg)
{
    const tsfbnode_t* root = tsfb->root;
    if (!root || matrix_numrows(x) <= 0 || matrix_numcols(x) <= 0)
        return 0;
    for (int slot = 1; slot < root->maxchildren; ++slot)
        if (root->children[slot])
            return -1;
    if (!root->children[0])
        return 0;
    // The low-pass quadrant comes first in both directions: its region
    // starts at ll's first sample.
    const Region c = child_region(root, 0,
                                  Region{matrix_row(ll, 0), matrix_numrows(x), matrix_numcols(x),
                                         matrix_rowstep(ll), x->xstart_, x->ystart_, 0});
    if (c.data != matrix_row(ll, 0) || c.numrows != matrix_numrows(ll) ||
        c.numcols != matrix_numcols(ll))
        return -1;
    Passes p{pass, passarg, false};
    node_synthesize(root->children[0], flags, c, p);
    return p.stopped ? -1 : 0;
}

int tsfb_getbands(const tsfb_t* tsfb, int32_t xstart, int32_t ystart, int32_t xend, int32_t yend,
                  tsfb_band_t* bands)
{
    if (xstart < 0 || ystart < 0 || xend < xstart || yend < ystart)
        return -1;
    if (!tsfb->root) {
        tsfb_band_t& b = bands[0];
        b.locxstart = 0;
        b.locystart = 0;
        b.locxend = xend - xstart;
        b.locyend = yend - ystart;
        b.orient = TSFB_LL;
        b.xstart = xstart;
        b.ystart = ystart;
        b.xend = xend;
        b.yend = yend;
        b.synenergywt = 16384;
        return 1;
    }
    BandWalk walk{bands, 0};
    node_bands(tsfb->root, Area{0, 0, xstart, ystart, xend, yend}, walk);
    return walk.count;
}

int tsfb_getbands(const tsfb_t* tsfb, const matrix_t* x, tsfb_band_t* bands)
{
    return tsfb_getbands(tsfb, x->xstart_, x->ystart_, x->xstart_ + matrix_numcols(x),
                         x->ystart_ + matrix_numrows(x), bands);
}

int32_t tsfb_synweight(const tsfb_t* tsfb, int bandno)
{
    if (bandno < 0 || bandno >= tsfb_numbands(tsfb))
        return -1;
    if (!tsfb->root)
        return 16384;
    const tsfbnode_t* node = nullptr;
    int slot = 0;
    if (!find_band(tsfb->root, bandno, &node, &slot))
        return -1;
    return band_weight(node, slot);
}
