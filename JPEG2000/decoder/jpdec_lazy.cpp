// Lazy decoding of a colour tile's last level, row of code blocks by row.
#include "decoder/jpdec_lazy.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "tier1/t1dec.h"

namespace {

// Every piece's streams read their input rows within this many rows of the
// piece's output rows halved (a 9/7 stream starts four steps above).
constexpr int32_t PIECEMARGIN = 8;

struct lzblock_t {
    dec_cblk_t* cblk;
    int32_t x, y;  // in the band
};

// A buffer for a row of blocks of a band (its width, as many rows as the
// band's highest row of blocks), reused.  What a use left non-zero is
// known, so that the next one clears no more than it must: the columns
// of the blocks that had data (in its first rows, or all rows dirty).
struct lzbuf_t {
    std::unique_ptr<int32_t[]> mem;
    std::vector<std::pair<int32_t, int32_t>> dirty;  // column ranges
    bool alldirty = true;
};

// A row of code blocks of a band.
struct lzrow_t {
    int32_t y0, y1;  // band rows
    std::vector<lzblock_t> blocks;
    lzbuf_t* buf = nullptr;  // decoded, (y1 - y0) rows of the band's width
    // Its blocks are decoded by every piece that needs the row meanwhile,
    // each taking the next one.
    bool decoding = false;
    size_t next = 0;           // the next block to take
    size_t finished = 0;       // blocks done
    std::vector<char> wrote;   // per block: it had data
    bool gone = false;    // every piece is done with it
    int remaining = 0;    // pieces that may still read it
};

struct lzband_t {
    const dec_ccp_t* ccp;
    const dec_band_t* band;
    int32_t width, height;
    int32_t maxh = 0;  // rows of the highest row of blocks
    std::vector<lzrow_t> rows;
    std::vector<int32_t> rowof;  // band row -> row of blocks
    std::vector<std::unique_ptr<lzbuf_t>> bufs;  // every buffer made
    std::vector<lzbuf_t*> pool;                  // the free ones
};

}  // namespace

struct declazy_t {
    matrix_t* ll[3] = {};     // the tile-components' low-pass quadrants
    int32_t nl[3];            // their rows
    lzband_t bands[3][3];     // HL, LH, HH of each component
    int32_t rows = 0, piecerows = 0;
    int64_t numpieces = 0;
    std::vector<int32_t> zero;  // a row of zeros for rows after a failure
    std::mutex mu;            // guards the rows' buffers and the pools
    std::condition_variable cv;
    std::atomic<bool> failed{false};
    ~declazy_t()
    {
        for (matrix_t* m : ll)
            matrix_destroy(m);
    }
};

struct declazy_cursor_t {
    declazy_t* lz;
    int k;
    struct band_t {
        lzband_t* b;
        int32_t first, last;  // rows of blocks the piece may read
        int32_t rel;          // rows before it are given back
        int32_t cur = -1;     // the row held, -1 before the first
        const int32_t* buf = nullptr;  // its samples
    } bands[3];
};

namespace {

// The band's rows of blocks, false when they are not the simple shape.
bool lz_band(lzband_t* lb, const dec_ccp_t* ccp, const dec_band_t* band)
{
    lb->ccp = ccp;
    lb->band = band;
    lb->width = band->xend - band->xstart;
    lb->height = band->yend - band->ystart;
    std::vector<lzblock_t> all;
    for (const dec_prc_t& prc : band->prcs)
        for (const dec_cblk_t& cb : prc.cblks) {
            if (cb.width <= 0 || cb.height <= 0)
                continue;
            const int32_t x = cb.xstart - band->xstart, y = cb.ystart - band->ystart;
            if (x < 0 || y < 0 || x + cb.width > lb->width || y + cb.height > lb->height ||
                cb.height > 64 || !cb.data ||
                cb.data != matrix_row(band->data, y) + x)
                return false;
            all.push_back(lzblock_t{const_cast<dec_cblk_t*>(&cb), x, y});
        }
    std::stable_sort(all.begin(), all.end(),
                     [](const lzblock_t& a, const lzblock_t& b) { return a.y < b.y; });
    int32_t y = 0;
    for (size_t i = 0; i < all.size();) {
        const int32_t h = all[i].cblk->height;
        if (all[i].y != y)
            return false;
        lzrow_t row;
        row.y0 = y;
        row.y1 = y + h;
        int64_t area = 0;
        for (; i < all.size() && all[i].y == y; ++i) {
            if (all[i].cblk->height != h)
                return false;
            area += all[i].cblk->width;
            row.blocks.push_back(all[i]);
        }
        if (area != lb->width)
            return false;
        lb->rows.push_back(std::move(row));
        lb->maxh = std::max(lb->maxh, h);
        y += h;
    }
    if (y != lb->height)
        return false;
    lb->rowof.resize(static_cast<size_t>(lb->height));
    for (size_t q = 0; q < lb->rows.size(); ++q)
        for (int32_t r = lb->rows[q].y0; r < lb->rows[q].y1; ++r)
            lb->rowof[static_cast<size_t>(r)] = static_cast<int32_t>(q);
    return true;
}

// The band view's place in the tile-component matrix.
bool lz_at(const matrix_t* m, const dec_band_t* band, int32_t row, int32_t col)
{
    const matrix_t* v = band->data;
    if (!v || matrix_numrows(v) <= 0 || matrix_numcols(v) <= 0)
        return false;
    return matrix_row(v, 0) == matrix_row(m, row) + col;
}

// Decodes block i of the row into its buffer (where the blocks of the
// buffer's last use were, blocks that do not write every sample are
// cleared first); false after a failure.
bool lz_block(declazy_t* lz, const lzband_t* lb, const lzrow_t* row, size_t i)
{
    // After a failure elsewhere nothing more is decoded, as when the
    // blocks are decoded up front.
    if (lz->failed.load(std::memory_order_relaxed))
        return false;
    const lzbuf_t* b = row->buf;
    const int32_t w = lb->width, h = row->y1 - row->y0;
    const lzblock_t& blk = row->blocks[i];
    dec_cblk_t* cb = blk.cblk;
    int32_t* const base = b->mem.get();
    auto clear = [&](int32_t x0, int32_t x1) {
        for (int32_t r = 0; r < h; ++r)
            std::memset(base + static_cast<ptrdiff_t>(r) * w + x0, 0,
                        sizeof(int32_t) * static_cast<size_t>(x1 - x0));
    };
    const int32_t x0 = blk.x, x1 = blk.x + cb->width;
    if (!t1dec_writesall(lb->ccp, cb)) {
        if (b->alldirty)
            clear(x0, x1);
        else
            for (const auto& [d0, d1] : b->dirty)
                if (std::max(d0, x0) < std::min(d1, x1))
                    clear(std::max(d0, x0), std::min(d1, x1));
    }
    int32_t* const data = cb->data;
    const ptrdiff_t stride = cb->stride;
    cb->data = base + static_cast<ptrdiff_t>(blk.y - row->y0) * w + blk.x;
    cb->stride = w;
    const bool ok = t1dec_decodeblock(lb->ccp, lb->band, cb) == 0;
    cb->data = data;
    cb->stride = stride;
    return ok;
}

// The row's blocks are all done (mu held): what the buffer holds now.
void lz_finish(declazy_t* lz, const lzband_t* lb, lzrow_t* row)
{
    lzbuf_t* b = row->buf;
    if (lz->failed.load(std::memory_order_relaxed)) {
        // The rows given out after a failure are zero.
        std::memset(b->mem.get(), 0, sizeof(int32_t) * static_cast<size_t>(lb->maxh) *
                                         static_cast<size_t>(lb->width));
        b->dirty.clear();
        b->alldirty = false;
        return;
    }
    b->dirty.clear();
    for (size_t i = 0; i < row->blocks.size(); ++i)
        if (row->wrote[i])
            b->dirty.emplace_back(row->blocks[i].x,
                                  row->blocks[i].x + row->blocks[i].cblk->width);
    // Rows below a lower row of blocks keep what they held.
    b->alldirty = row->y1 - row->y0 < lb->maxh;
}

// A piece takes row q of a band, decoding its blocks with the other
// pieces that need it meanwhile; nullptr when memory fails or the row is
// gone.
const int32_t* lz_acquire(declazy_t* lz, lzband_t* lb, int32_t q)
{
    lzrow_t* row = &lb->rows[static_cast<size_t>(q)];
    std::unique_lock<std::mutex> lock(lz->mu);
    if (row->gone)
        return nullptr;
    if (!row->buf) {
        lzbuf_t* b = nullptr;
        if (!lb->pool.empty()) {
            b = lb->pool.back();
            lb->pool.pop_back();
        } else {
            auto nb = std::unique_ptr<lzbuf_t>(new (std::nothrow) lzbuf_t);
            if (nb)
                nb->mem.reset(new (std::nothrow) int32_t[static_cast<size_t>(lb->maxh) *
                                                         static_cast<size_t>(lb->width)]);
            if (!nb || !nb->mem)
                return nullptr;
            b = nb.get();
            lb->bufs.push_back(std::move(nb));
        }
        row->buf = b;
        row->decoding = true;
        row->next = row->finished = 0;
        row->wrote.assign(row->blocks.size(), 0);
    }
    const size_t n = row->blocks.size();
    while (row->decoding) {
        if (row->next < n) {
            const size_t i = row->next++;
            row->wrote[i] = !row->blocks[i].cblk->segs.empty();
            lock.unlock();
            if (!lz_block(lz, lb, row, i))
                lz->failed.store(true, std::memory_order_relaxed);
            lock.lock();
            if (++row->finished == n) {
                lz_finish(lz, lb, row);
                row->decoding = false;
                lz->cv.notify_all();
            }
        } else {
            lz->cv.wait(lock);
        }
    }
    return row->buf->mem.get();
}

void lz_release(declazy_t* lz, lzband_t* lb, int32_t q)
{
    lzrow_t* row = &lb->rows[static_cast<size_t>(q)];
    std::lock_guard<std::mutex> lock(lz->mu);
    if (--row->remaining > 0 || row->gone)
        return;
    row->gone = true;
    if (row->buf)
        lb->pool.push_back(row->buf);
    row->buf = nullptr;
}

// Band row r of the cursor's band b.
const int32_t* lz_row(declazy_cursor_t* c, declazy_cursor_t::band_t* cb, int32_t r)
{
    declazy_t* lz = c->lz;
    lzband_t* lb = cb->b;
    if (r < 0 || r >= lb->height) {
        lz->failed.store(true, std::memory_order_relaxed);
        return lz->zero.data();
    }
    const int32_t q = lb->rowof[static_cast<size_t>(r)];
    if (q != cb->cur) {
        if (q < cb->rel || q < cb->first || q > cb->last) {
            lz->failed.store(true, std::memory_order_relaxed);
            return lz->zero.data();
        }
        for (; cb->rel < q; ++cb->rel)
            lz_release(lz, lb, cb->rel);
        cb->cur = q;
        cb->buf = lz_acquire(lz, lb, q);  // kept while the piece holds the row
        if (!cb->buf)
            lz->failed.store(true, std::memory_order_relaxed);
    }
    if (!cb->buf)
        return lz->zero.data();
    return cb->buf + static_cast<ptrdiff_t>(r - lb->rows[static_cast<size_t>(q)].y0) * lb->width;
}

void lz_get(void* arg, int32_t row, const int32_t** lo, const int32_t** hi)
{
    declazy_cursor_t* c = static_cast<declazy_cursor_t*>(arg);
    const int32_t nl = c->lz->nl[c->k];
    if (row < nl) {
        *lo = matrix_row(c->lz->ll[c->k], row);
        *hi = lz_row(c, &c->bands[0], row);
    } else {
        *lo = lz_row(c, &c->bands[1], row - nl);
        *hi = lz_row(c, &c->bands[2], row - nl);
    }
}

// The rows of blocks of band lb that the input rows lo .. hi - 1 of the
// band meet.
void lz_span(const lzband_t* lb, int32_t lo, int32_t hi, int32_t* first, int32_t* last)
{
    lo = std::clamp(lo, 0, lb->height - 1);
    hi = std::clamp(hi, lo + 1, lb->height);
    *first = lb->rowof[static_cast<size_t>(lo)];
    *last = lb->rowof[static_cast<size_t>(hi - 1)];
}

void lz_piecespan(const declazy_t* lz, const lzband_t* lb, int64_t p, int32_t* first,
                  int32_t* last)
{
    const int64_t y0 = p * lz->piecerows;
    const int64_t y1 = std::min<int64_t>(lz->rows, y0 + lz->piecerows);
    lz_span(lb, static_cast<int32_t>(std::max<int64_t>(0, y0 / 2 - PIECEMARGIN)),
            static_cast<int32_t>(std::min<int64_t>(lb->height, y1 / 2 + PIECEMARGIN)), first,
            last);
}

}  // namespace

declazy_t* declazy_create(dec_tile_t* tile)
{
    if (tile->tcomps.size() < 3)
        return nullptr;
    std::unique_ptr<declazy_t> lz(new (std::nothrow) declazy_t);
    if (!lz)
        return nullptr;
    size_t maxwidth = 1;
    // The levels below the last one go to a matrix of their own, away from
    // the last level's bands: their blocks' new places, set once all fits.
    struct move_t {
        dec_cblk_t* cblk;
        int32_t* data;
        ptrdiff_t stride;
    };
    std::vector<move_t> moves;
    for (int k = 0; k < 3; ++k) {
        const dec_tcomp_t& tc = tile->tcomps[static_cast<size_t>(k)];
        const matrix_t* m = tc.data;
        if (!m || tc.rlvls.size() < 2 || tc.rlvls.back().bands.size() != 3)
            return nullptr;
        const int32_t n = matrix_numrows(m), w = matrix_numcols(m);
        const int32_t nl = static_cast<int32_t>((m->ystart_ + int64_t{n} + 1) / 2 -
                                                (m->ystart_ + int64_t{1}) / 2);
        const int32_t wl = static_cast<int32_t>((m->xstart_ + int64_t{w} + 1) / 2 -
                                                (m->xstart_ + int64_t{1}) / 2);
        if (nl <= 0 || nl >= n || wl <= 0 || wl >= w)
            return nullptr;
        lz->nl[k] = nl;
        lz->ll[k] = matrix_create(nl, wl);
        if (!lz->ll[k] || matrix_numrows(lz->ll[k]) != nl || matrix_rowstep(m) != w ||
            matrix_rowstep(lz->ll[k]) != wl)
            return nullptr;
        matrix_setorigin(lz->ll[k], static_cast<int32_t>((m->xstart_ + int64_t{1}) / 2),
                         static_cast<int32_t>((m->ystart_ + int64_t{1}) / 2));
        // Fresh memory first written, a word per small page: the parts
        // that only empty blocks cover are read first by the synthesis,
        // and a read would map the zero page, whose write faults again
        // (on small pages, also where huge pages were hinted).
        int32_t* const p = matrix_row(lz->ll[k], 0);
        for (size_t i = 0; i < static_cast<size_t>(nl) * static_cast<size_t>(wl); i += 1024)
            p[i] = 0;
        for (size_t r = 0; r + 1 < tc.rlvls.size(); ++r)
            for (const dec_band_t& band : tc.rlvls[r].bands)
                for (const dec_prc_t& prc : band.prcs)
                    for (const dec_cblk_t& cb : prc.cblks) {
                        if (!cb.data || cb.width <= 0 || cb.height <= 0)
                            continue;
                        const ptrdiff_t off = cb.data - matrix_row(m, 0);
                        if (off < 0 || cb.stride != w || off / w + cb.height > nl ||
                            off % w + cb.width > wl)
                            return nullptr;
                        moves.push_back(move_t{
                            const_cast<dec_cblk_t*>(&cb),
                            matrix_row(lz->ll[k], static_cast<int32_t>(off / w)) + off % w, wl});
                    }
        // Each band where the matrix' quadrants are: HL top right, LH
        // bottom left, HH bottom right.
        const int32_t at[3][4] = {{0, wl, nl, w - wl}, {nl, 0, n - nl, wl}, {nl, wl, n - nl, w - wl}};
        bool found[3] = {};
        for (const dec_band_t& band : tc.rlvls.back().bands) {
            int i = 0;
            while (i < 3 && !lz_at(m, &band, at[i][0], at[i][1]))
                ++i;
            if (i == 3 || found[i] || band.yend - band.ystart != at[i][2] ||
                band.xend - band.xstart != at[i][3] ||
                !lz_band(&lz->bands[k][i], &tile->cp->ccps[static_cast<size_t>(k)], &band))
                return nullptr;
            found[i] = true;
            const lzband_t& lb = lz->bands[k][i];
            maxwidth = std::max(maxwidth, static_cast<size_t>(lb.width));
        }
    }
    lz->zero.assign(maxwidth, 0);
    for (const move_t& mv : moves) {
        mv.cblk->data = mv.data;
        mv.cblk->stride = mv.stride;
    }
    return lz.release();
}

void declazy_destroy(declazy_t* lz)
{
    delete lz;
}

matrix_t* declazy_ll(declazy_t* lz, int k)
{
    return lz->ll[k];
}

void declazy_setpieces(declazy_t* lz, int32_t rows, int32_t piecerows, int64_t numpieces)
{
    lz->rows = rows;
    lz->piecerows = piecerows;
    lz->numpieces = numpieces;
    for (auto& comp : lz->bands)
        for (lzband_t& lb : comp)
            for (int64_t p = 0; p < numpieces; ++p) {
                int32_t first, last;
                lz_piecespan(lz, &lb, p, &first, &last);
                for (int32_t q = first; q <= last; ++q)
                    ++lb.rows[static_cast<size_t>(q)].remaining;
            }
}

declazy_cursor_t* declazy_open(declazy_t* lz, int k, int64_t p)
{
    auto* c = new (std::nothrow) declazy_cursor_t;
    if (!c)
        return nullptr;
    c->lz = lz;
    c->k = k;
    for (int i = 0; i < 3; ++i) {
        declazy_cursor_t::band_t& cb = c->bands[i];
        cb.b = &lz->bands[k][i];
        lz_piecespan(lz, cb.b, p, &cb.first, &cb.last);
        cb.rel = cb.first;
    }
    return c;
}

qmfb_rowsrc_t declazy_rowsrc(declazy_cursor_t* c)
{
    return qmfb_rowsrc_t{lz_get, c};
}

void declazy_close(declazy_cursor_t* c)
{
    if (!c)
        return;
    for (declazy_cursor_t::band_t& cb : c->bands)
        for (; cb.rel <= cb.last; ++cb.rel)
            lz_release(c->lz, cb.b, cb.rel);
    delete c;
}

bool declazy_failed(const declazy_t* lz)
{
    return lz->failed.load(std::memory_order_relaxed);
}
