// The encoder's coding tree: building and releasing the levels, bands and
// code blocks of a tile-component.
#include "encoder/jpenc_tree.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "base/fatal.h"
#include "tier1/jpcod.h"
#include "tier1/mqenc.h"
#include "base/seq.h"
#include "base/stream.h"
#include "tier2/tagtree.h"
#include "transform/tsfb.h"

struct jpenc_arena_t {
    std::mutex lock;
    std::vector<std::unique_ptr<unsigned char[]>> chunks;
    size_t used = 0;  // bytes taken of the last chunk
    size_t size = 0;  // its size
};

jpenc_arena_t* jpenc_arenacreate() { return new (std::nothrow) jpenc_arena_t; }

void* jpenc_arenaalloc(jpenc_arena_t* arena, size_t size)
{
    // Chunks below the size the allocator maps afresh: they reuse heap
    // memory that earlier stages gave back, so the peak does not rise.
    constexpr size_t kChunk = size_t(64) << 10;
    constexpr size_t kAlign = alignof(std::max_align_t);
    size = (size + kAlign - 1) & ~(kAlign - 1);
    std::lock_guard<std::mutex> hold(arena->lock);
    if (arena->size - arena->used < size) {
        const size_t n = std::max(size, kChunk);
        unsigned char* chunk = new (std::nothrow) unsigned char[n];
        if (!chunk)
            return nullptr;
        arena->chunks.emplace_back(chunk);
        arena->used = 0;
        arena->size = n;
    }
    void* p = arena->chunks.back().get() + arena->used;
    arena->used += size;
    return p;
}

void jpenc_releasecblk(jpenc_cblk_t* cblk)
{
    if (!cblk->arenapasses)
        free(cblk->passes);
    cblk->arenapasses = 0;
    cblk->passes = nullptr;
    cblk->numpasses = 0;
    cblk->curpass = nullptr;
    cblk->savedcurpass = nullptr;
    if (cblk->mqenc)
        mqenc_destroy(cblk->mqenc);
    cblk->mqenc = nullptr;
    if (cblk->stream)
        stream_close(cblk->stream);
    cblk->stream = nullptr;
    matrix_destroy(cblk->flags);
    cblk->flags = nullptr;
}

namespace {

int ceildiv(int32_t a, int32_t b) { return (a + b - 1) / b; }

// A band's place in the component matrix.
struct bandgeom_t {
    int orient;
    int32_t r0, c0;  // first row and column
    int32_t rows, cols;
};

matrix_t* makeview(matrix_t* source, int32_t r0, int32_t c0, int32_t rows, int32_t cols)
{
    matrix_t* view = matrix_create(0, 0);
    FATAL_CHECK(view);
    const int ret = matrix_bindsub(view, source, r0, c0, r0 + rows - 1, c0 + cols - 1);
    FATAL_CHECK(ret == 0);
    return view;
}

tagtree_t* maketree(int32_t numh, int32_t numv)
{
    // A band without code blocks still gets a (never used) one-leaf tree, so
    // that resetting and saving the tier-2 state needs no special case.
    tagtree_t* tree = tagtree_create(numh > 0 ? numh : 1, numv > 0 ? numv : 1);
    FATAL_CHECK(tree);
    return tree;
}

void buildband(jpenc_comp_t* comp, jpenc_lvl_t* lvl, jpenc_band_t* band,
               const bandgeom_t& geom, int lvlno, int bandindex)
{
    band->lvl = lvl;
    band->orient = geom.orient;
    band->xoff = geom.c0;
    band->yoff = geom.r0;
    band->data = makeview(comp->data, geom.r0, geom.c0, geom.rows, geom.cols);
    band->synweight = tsfb_synweight(comp->tsfb, jpenc_bandno(lvlno, bandindex));
    FATAL_CHECK(band->synweight >= 0);
    band->analgain = jpc_noms_gain(comp->qmfbid, comp->numrlvls - 1, lvlno, geom.orient);
    band->numbps = 0;
    band->absstepsize = 16384;
    band->stepsize = 0;
    band->cblkwidth = comp->cblkwidth;
    band->cblkheight = comp->cblkheight;
    band->numhcblks = geom.cols > 0 && geom.rows > 0 ? ceildiv(geom.cols, comp->cblkwidth) : 0;
    band->numvcblks = geom.cols > 0 && geom.rows > 0 ? ceildiv(geom.rows, comp->cblkheight) : 0;
    band->numcblks = band->numhcblks * band->numvcblks;
    band->incltree = maketree(band->numhcblks, band->numvcblks);
    band->nlibtree = maketree(band->numhcblks, band->numvcblks);
    band->savedincltree = maketree(band->numhcblks, band->numvcblks);
    band->savednlibtree = maketree(band->numhcblks, band->numvcblks);
    band->cblks.assign(band->numcblks, jpenc_cblk_t{});
    for (int32_t k = 0; k < band->numcblks; ++k) {
        jpenc_cblk_t* cblk = &band->cblks[k];
        const int32_t r0 = (k / band->numhcblks) * band->cblkheight;
        const int32_t c0 = (k % band->numhcblks) * band->cblkwidth;
        const int32_t rows = geom.rows - r0 < band->cblkheight ? geom.rows - r0 : band->cblkheight;
        const int32_t cols = geom.cols - c0 < band->cblkwidth ? geom.cols - c0 : band->cblkwidth;
        cblk->data = makeview(band->data, r0, c0, rows, cols);
        cblk->numlenbits = 3;
    }
}

void destroycblk(jpenc_cblk_t* cblk)
{
    jpenc_releasecblk(cblk);
    matrix_destroy(cblk->data);
    cblk->data = nullptr;
}

void destroyband(jpenc_band_t* band)
{
    for (jpenc_cblk_t& cblk : band->cblks)
        destroycblk(&cblk);
    band->cblks.clear();
    band->numcblks = 0;
    tagtree_t** trees[] = {&band->incltree, &band->nlibtree, &band->savedincltree,
                           &band->savednlibtree};
    for (tagtree_t** tree : trees) {
        if (*tree)
            tagtree_destroy(*tree);
        *tree = nullptr;
    }
    matrix_destroy(band->data);
    band->data = nullptr;
}

}  // namespace

int jpenc_bandno(int lvlno, int bandindex)
{
    return lvlno == 0 ? 0 : 3 * lvlno + bandindex - 2;
}

int jpenc_buildcomp(jpenc_comp_t* comp, const jpenc_treeparams_t* params)
{
    FATAL_CHECK(comp->data);
    if (params->maxrlvls < 1 || params->maxrlvls > TSFB_MAXLVLS + 1) {
        fprintf(stderr, "unsupported number of resolution levels %d\n", params->maxrlvls);
        return -1;
    }
    if (params->cblkwidth < 1 || params->cblkheight < 1) {
        fprintf(stderr, "invalid code block size %dx%d\n", params->cblkwidth,
                params->cblkheight);
        return -1;
    }
    comp->numrlvls = params->maxrlvls;
    comp->cblkwidth = params->cblkwidth;
    comp->cblkheight = params->cblkheight;
    comp->qmfbid = params->qmfbid;
    comp->width = matrix_numcols(comp->data);
    comp->height = matrix_numrows(comp->data);
    comp->numstepsizes = 3 * (comp->numrlvls - 1) + 1;
    comp->compcparms.stepsizes.assign(comp->numstepsizes, 0);
    comp->tsfb = tsfb_wavelet(comp->qmfbid, comp->numrlvls - 1);
    FATAL_CHECK(comp->tsfb);
    comp->lvls.assign(comp->numrlvls, jpenc_lvl_t{});
    // The coding results of an earlier tile went with its levels.
    delete comp->arena;
    comp->arena = nullptr;

    // Band geometry from the finest level down: the high-pass bands of a
    // level surround the low-pass region of ceil(w / 2) x ceil(h / 2).
    int32_t w = comp->width;
    int32_t h = comp->height;
    for (int lvlno = comp->numrlvls - 1; lvlno >= 0; --lvlno) {
        jpenc_lvl_t* lvl = &comp->lvls[lvlno];
        lvl->comp = comp;
        bandgeom_t geoms[3];
        if (lvlno > 0) {
            const int32_t w2 = (w + 1) / 2;
            const int32_t h2 = (h + 1) / 2;
            geoms[0] = {TSFB_HL, 0, w2, h2, w - w2};
            geoms[1] = {TSFB_LH, h2, 0, h - h2, w2};
            geoms[2] = {TSFB_HH, h2, w2, h - h2, w - w2};
            lvl->numbands = 3;
            w = w2;
            h = h2;
        } else {
            geoms[0] = {TSFB_LL, 0, 0, h, w};
            lvl->numbands = 1;
        }
        lvl->bands.assign(lvl->numbands, jpenc_band_t{});
        for (int i = 0; i < lvl->numbands; ++i)
            buildband(comp, lvl, &lvl->bands[i], geoms[i], lvlno, i);
    }
    return 0;
}

void jpenc_destroycomp(jpenc_comp_t* comp)
{
    for (jpenc_lvl_t& lvl : comp->lvls)
        for (jpenc_band_t& band : lvl.bands)
            destroyband(&band);
    comp->lvls.clear();
    comp->numrlvls = 0;
    comp->compcparms.stepsizes.clear();
    if (comp->tsfb)
        tsfb_destroy(comp->tsfb);
    comp->tsfb = nullptr;
    matrix_destroy(comp->data);
    comp->data = nullptr;
    delete comp->arena;
    comp->arena = nullptr;
}
