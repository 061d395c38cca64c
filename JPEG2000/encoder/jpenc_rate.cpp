// Rate allocation: post-compression rate-distortion optimization over the
// layers of the tile.  Every pass gets a slope on the convex hull of its
// code block's rate-distortion curve; each layer then takes, in every code
// block, the passes down to a global slope threshold found by bisection,
// with real tier-2 coding measuring each trial.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "base/fatal.h"
#include "codestream/jpc.h"
#include "encoder/jpenc_int.h"
#include "base/stream.h"
#include "tier2/t2enc.h"
#include "codestream/jpc.h"

void jpenc_cblkslopes(jpenc_cblk_t* cblk)
{
    jpenc_pass_t* passes = cblk->passes;
    const int n = cblk->numpasses;
    int pass0 = 0;
    while (pass0 < n) {
        jpenc_pass_t* prev = nullptr;
        bool restart = false;
        for (int i = 0; i < n; ++i) {
            jpenc_pass_t* p = &passes[i];
            double dd = p->cumwmsedec;
            double dr = p->end;
            if (prev) {
                dd -= prev->cumwmsedec;
                dr -= prev->end;
            }
            if (!(dd > 0.0)) {
                p->rdslope = -1.0;
                if (i >= pass0)
                    pass0 = i + 1;
                continue;
            }
            if (i < pass0 && p->rdslope <= 0.0)
                continue;
            if (dr == 0.0) {
                if (!prev) {
                    // A pass that costs no byte and brings a decrease: it
                    // rides with the cheapest possible slope of one byte.
                    dr = 1.0;
                } else {
                    prev->rdslope = 0.0;
                    restart = true;
                    break;
                }
            }
            double slope = dd / dr;
            if (prev && slope >= prev->rdslope) {
                prev->rdslope = 0.0;
                restart = true;
                break;
            }
            p->rdslope = slope;
            if (i >= pass0)
                pass0 = i + 1;
            prev = p;
        }
        if (!restart)
            break;
    }
}

namespace {

template <typename F>
void forcblks(jpenc_t* enc, F f)
{
    for (int k = 0; k < enc->numcomps; ++k) {
        jpenc_comp_t* comp = &enc->comps[k];
        for (int r = 0; r < comp->numrlvls; ++r) {
            jpenc_lvl_t* lvl = &comp->lvls[r];
            for (int b = 0; b < lvl->numbands; ++b) {
                jpenc_band_t* band = &lvl->bands[b];
                for (int c = 0; c < band->numcblks; ++c)
                    f(&band->cblks[c]);
            }
        }
    }
}

// The end of what a code block gives layer lyrno at threshold thresh: one
// after the last pass from its current pass on with a slope of at least
// thresh (the current pass when there is none, or include is false).
jpenc_pass_t* passend(jpenc_cblk_t* cblk, double thresh, bool include)
{
    jpenc_pass_t* cur = cblk->curpass;
    jpenc_pass_t* end = cur;
    // An HT code block sent in an earlier layer has nothing more to send.
    if (cur && include && !(cblk->ht && cur != cblk->passes)) {
        for (jpenc_pass_t* p = cur; p != cblk->passes + cblk->numpasses; ++p)
            if (p->rdslope >= thresh)
                end = p + 1;
            else if (p->rdslope > 0.0 && thresh > 0.0)
                break;  // the hull's slopes fall: none further reaches thresh
    }
    return end;
}

// The body bytes of the packets when every code block gives the layer all
// its passes (passend at -1), counted as tier-2 counts them: the trial's
// length less its headers.
int64_t allbodies(jpenc_t* enc)
{
    int64_t sum = 0;
    forcblks(enc, [&](jpenc_cblk_t* cblk) {
        const jpenc_pass_t* cur = cblk->curpass;
        const jpenc_pass_t* end = passend(cblk, -1.0, true);
        if (end != cur)
            sum += cblk->ht ? end[-1].end : end[-1].end - cur->start;
    });
    return sum;
}

// Gives the passes of a code block from its current pass up to end the
// layer lyrno, the rest -1.
void assignto(jpenc_cblk_t* cblk, int lyrno, jpenc_pass_t* end)
{
    jpenc_pass_t* cur = cblk->curpass;
    if (!cur)
        return;
    for (jpenc_pass_t* p = cur; p != end; ++p)
        p->lyrno = lyrno;
    for (jpenc_pass_t* p = end; p != cblk->passes + cblk->numpasses; ++p)
        p->lyrno = -1;
}

// Gives the passes of every code block from its current pass up to the
// last pass with a slope of at least thresh the layer lyrno, the rest -1.
// include is false for a layer that gets no pass at all.
void assign(jpenc_t* enc, int lyrno, double thresh, bool include)
{
    forcblks(enc, [&](jpenc_cblk_t* cblk) { assignto(cblk, lyrno, passend(cblk, thresh, include)); });
}

// Codes the packets of layer lyrno; the headers go to scratch (rewound for
// each packet), the bodies are only counted.  Total bytes, or -1.
int64_t layerlength(jpenc_t* enc, stream_t* scratch, int lyrno)
{
    int64_t total = 0;
    for (int k = 0; k < enc->numcomps; ++k)
        for (int r = 0; r < enc->comps[k].numrlvls; ++r) {
            if (stream_seek(scratch, 0, SEEK_SET) != 0)
                return -1;
            int64_t len = t2enc_encodepkt(enc->comps.data(), scratch, k, r, lyrno, 0);
            if (len < 0)
                return -1;
            total += len;
        }
    return total;
}

// The lengths of a layer's packets for trial codings from the tier-2 state
// the layer starts at.  A packet's header and body depend only on that state
// and on how many passes each of its code blocks gives the layer (its run),
// so a trial codes again only the packets with a block whose run changed;
// the lengths are those of a full tier-2 run.  The state moves only from one
// layer to the next: the lengths are kept for one layer.
struct pktcache_t {
    struct pkt_t {
        jpenc_lvl_t* lvl;
        int compno, lvlno;
        std::vector<jpenc_cblk_t*> cblks;
        std::vector<int> runs;  // of the code blocks at the cached length
        std::vector<int> now;   // of the code blocks as trialassign left them
        // The hull points that trialassign chooses from, per code block
        // hull[from[i]] .. hull[from[i + 1]] (hullof).
        std::vector<std::pair<double, int>> hull;  // slope, run to take it
        std::vector<int> from;
        int64_t len = -1;  // -1: not known
    };
    std::vector<pkt_t> pkts;
    int lyrno = -1;  // of the lengths kept
    // The passes' layers are as trialassign left them, and now holds their
    // runs: no other change since.
    bool fresh = false;

    explicit pktcache_t(jpenc_t* enc)
    {
        for (int k = 0; k < enc->numcomps; ++k)
            for (int r = 0; r < enc->comps[k].numrlvls; ++r) {
                pkt_t pkt;
                pkt.lvl = &enc->comps[k].lvls[r];
                pkt.compno = k;
                pkt.lvlno = r;
                for (int b = 0; b < pkt.lvl->numbands; ++b) {
                    jpenc_band_t* band = &pkt.lvl->bands[b];
                    for (int c = 0; c < int(band->cblks.size()) && c < band->numcblks; ++c)
                        pkt.cblks.push_back(&band->cblks[c]);
                }
                pkt.runs.assign(pkt.cblks.size(), 0);
                pkt.now.assign(pkt.cblks.size(), 0);
                pkts.push_back(std::move(pkt));
            }
    }
};

// The passes a code block gives layer lyrno from its current pass on.
inline int runof(const jpenc_cblk_t* cblk, int lyrno)
{
    const jpenc_pass_t* p = cblk->curpass;
    if (!p)
        return 0;
    const jpenc_pass_t* end = cblk->passes + cblk->numpasses;
    int n = 0;
    while (p != end && p->lyrno == lyrno) {
        ++p;
        ++n;
    }
    return n;
}

// The length of layer lyrno as assigned, leaving the tier-2 state as it is.
int64_t triallength(jpenc_t* enc, stream_t* scratch, int lyrno, pktcache_t& cache)
{
    if (cache.lyrno != lyrno) {
        // The state the layer starts at, which every trial returns to.
        cache.lyrno = lyrno;
        for (pktcache_t::pkt_t& pkt : cache.pkts)
            pkt.len = -1;
        t2enc_save(enc->comps.data(), enc->numcomps);
    }
    int64_t total = 0;
    for (pktcache_t::pkt_t& pkt : cache.pkts) {
        bool same = pkt.len >= 0;
        for (size_t i = 0; i < pkt.cblks.size(); ++i) {
            const int run = cache.fresh ? pkt.now[i] : runof(pkt.cblks[i], lyrno);
            if (run != pkt.runs[i]) {
                pkt.runs[i] = run;
                same = false;
            }
        }
        if (!same) {
            pkt.len = -1;
            if (stream_seek(scratch, 0, SEEK_SET) != 0)
                return -1;
            const int64_t len =
                t2enc_encodepkt(enc->comps.data(), scratch, pkt.compno, pkt.lvlno, lyrno, 0);
            t2enc_restorelvl(pkt.lvl);
            if (len < 0)
                return -1;
            pkt.len = len;
        }
        total += pkt.len;
    }
    return total;
}

// The hull points (positive slopes) of every code block from its current
// pass on, for the trials of a layer: those that passend reaches at a
// positive threshold, in one place instead of in every block's passes.
void hullof(pktcache_t& cache)
{
    for (pktcache_t::pkt_t& pkt : cache.pkts) {
        pkt.hull.clear();
        pkt.from.assign(1, 0);
        for (jpenc_cblk_t* cblk : pkt.cblks) {
            jpenc_pass_t* cur = cblk->curpass;
            if (cur && !(cblk->ht && cur != cblk->passes))
                for (jpenc_pass_t* p = cur; p != cblk->passes + cblk->numpasses; ++p)
                    if (p->rdslope > 0.0)
                        pkt.hull.push_back({p->rdslope, int(p - cur) + 1});
            pkt.from.push_back(int(pkt.hull.size()));
        }
    }
}

// assign() at a positive threshold for the trials of a bisection (hullof
// first): a code block's passes are written only where its run changes
// since the last call, when the cache is still fresh, and the runs are
// kept for triallength.
void trialassign(pktcache_t& cache, int lyrno, double thresh)
{
    for (pktcache_t::pkt_t& pkt : cache.pkts)
        for (size_t i = 0; i < pkt.cblks.size(); ++i) {
            // The hull's slopes fall along a block.
            int run = 0;
            for (int k = pkt.from[i]; k < pkt.from[i + 1] && pkt.hull[size_t(k)].first >= thresh; ++k)
                run = pkt.hull[size_t(k)].second;
            if (cache.fresh && run == pkt.now[i])
                continue;
            jpenc_cblk_t* cblk = pkt.cblks[i];
            jpenc_pass_t* cur = cblk->curpass;
            if (!cur) {
                pkt.now[i] = 0;
                continue;
            }
            if (!cache.fresh) {
                assignto(cblk, lyrno, cur + run);
            } else {
                for (int k = pkt.now[i]; k < run; ++k)
                    cur[k].lyrno = lyrno;
                for (int k = run; k < pkt.now[i]; ++k)
                    cur[k].lyrno = -1;
            }
            pkt.now[i] = run;
        }
    cache.fresh = true;
}

// Sorts positive doubles ascending: their bit patterns order as they do,
// so a radix sort on 11-bit digits (a digit all share is skipped) does it
// in a few linear passes.
void sortpositive(std::vector<double>& v)
{
    constexpr int kBits = 11;
    constexpr size_t kSize = size_t(1) << kBits;
    const size_t n = v.size();
    std::vector<uint64_t> a(n), b(n);
    std::memcpy(a.data(), v.data(), n * sizeof(double));
    std::vector<size_t> count(kSize);
    for (int shift = 0; shift < 64; shift += kBits) {
        std::fill(count.begin(), count.end(), 0);
        for (uint64_t x : a)
            ++count[(x >> shift) & (kSize - 1)];
        if (n == 0 || count[(a[0] >> shift) & (kSize - 1)] == n)
            continue;
        size_t at = 0;
        for (size_t& c : count)
            at += std::exchange(c, at);
        for (uint64_t x : a)
            b[count[(x >> shift) & (kSize - 1)]++] = x;
        a.swap(b);
    }
    std::memcpy(v.data(), a.data(), n * sizeof(double));
}

// The slopes of every block's passes (computed here), distinct and
// ascending: the only thresholds at which what a layer takes can change.
std::vector<double> distinctslopes(jpenc_t* enc)
{
    std::vector<double> slopes;
    forcblks(enc, [&](jpenc_cblk_t* cblk) {
        jpenc_cblkslopes(cblk);
        for (int i = 0; i < cblk->numpasses; ++i)
            if (cblk->passes[i].rdslope > 0.0)
                slopes.push_back(cblk->passes[i].rdslope);
    });
    sortpositive(slopes);
    slopes.erase(std::unique(slopes.begin(), slopes.end()), slopes.end());
    return slopes;
}

// The room that a layer's threshold leaves below its budget (the next pass
// of a code block can be larger than the room) goes to the code blocks'
// next hull segments below the threshold, steepest first, each taken when
// it still fits by its bytes and a few of header; a tier-2 run checks the
// choice, and while it is too long a bisection over the number taken finds
// the most that fit.  The layer's passes must be assigned at thresh.
int fill(jpenc_t* enc, stream_t* scratch, pktcache_t& cache, int lyrno, double thresh, int64_t room)
{
    constexpr int64_t kHeader = 2;  // header bytes a segment may add
    const int64_t base = triallength(enc, scratch, lyrno, cache);
    if (base < 0)
        return -1;
    struct seg_t {
        jpenc_cblk_t* cblk;
        jpenc_pass_t* end;  // one after the segment's last pass
        double slope;
        int64_t bytes;
    };
    std::vector<seg_t> segs;
    forcblks(enc, [&](jpenc_cblk_t* cblk) {
        jpenc_pass_t* cur = cblk->curpass;
        if (!cur)
            return;
        jpenc_pass_t* from = passend(cblk, thresh, true);
        jpenc_pass_t* last = cblk->passes + cblk->numpasses;
        for (jpenc_pass_t* p = from; p != last; ++p)
            if (p->rdslope > 0) {
                const int32_t before = from != cblk->passes ? from[-1].end : 0;
                segs.push_back({cblk, p + 1, p->rdslope, int64_t(p->end) - before});
                break;
            }
    });
    std::stable_sort(segs.begin(), segs.end(),
                     [](const seg_t& a, const seg_t& b) { return a.slope > b.slope; });
    std::vector<const seg_t*> taken;
    int64_t left = room - base;
    for (const seg_t& g : segs)
        if (g.bytes + kHeader <= left) {
            taken.push_back(&g);
            left -= g.bytes + kHeader;
        }
    // The most of taken (in order) whose layer fits.
    size_t lo = 0, hi = taken.size();  // lo fit; hi is to be tried
    auto fits = [&](size_t k) {
        for (size_t i = 0; i < k; ++i)
            assignto(taken[i]->cblk, lyrno, taken[i]->end);
        const int64_t len = triallength(enc, scratch, lyrno, cache);
        for (size_t i = 0; i < k; ++i)
            assignto(taken[i]->cblk, lyrno, passend(taken[i]->cblk, thresh, true));
        return len < 0 ? -1 : len <= room ? 1 : 0;
    };
    if (hi > 0) {
        const int all = fits(hi);
        if (all < 0)
            return -1;
        if (all)
            lo = hi;
        else
            while (lo + 1 < hi) {
                const size_t mid = lo + (hi - lo) / 2;
                const int f = fits(mid);
                if (f < 0)
                    return -1;
                (f ? lo : hi) = mid;
            }
    }
    for (size_t i = 0; i < lo; ++i)
        assignto(taken[i]->cblk, lyrno, taken[i]->end);
    return 0;
}

// HT code blocks have few truncation points, so a layer can land well short
// of its budget: the blocks then take, steepest first, the next point of
// their hulls while the layer (measured by tier-2 trials) still fits room
// bytes.  len: the layer's length, updated.
void htfill(jpenc_t* enc, stream_t* scratch, pktcache_t& cache, int lyrno, int64_t room, int64_t* len)
{
    struct up_t {
        double slope;
        jpenc_cblk_t* cblk;
        int from, to;  // passes that join the layer
    };
    std::vector<up_t> ups;
    forcblks(enc, [&](jpenc_cblk_t* cblk) {
        if (!cblk->ht || cblk->curpass != cblk->passes)
            return;
        int last = -1;
        for (int i = 0; i < cblk->numpasses; ++i)
            if (cblk->passes[i].lyrno == lyrno)
                last = i;
        for (int i = last + 1; i < cblk->numpasses; ++i)
            if (cblk->passes[i].rdslope > 0.0) {
                ups.push_back({cblk->passes[i].rdslope, cblk, last + 1, i});
                break;
            }
    });
    std::stable_sort(ups.begin(), ups.end(),
                     [](const up_t& a, const up_t& b) { return a.slope > b.slope; });
    int misses = 0;
    for (const up_t& u : ups) {
        if (misses >= 16 || *len >= room)
            break;
        jpenc_pass_t* passes = u.cblk->passes;
        const int64_t extra = passes[u.to].end - (u.from > 0 ? passes[u.from - 1].end : 0);
        if (extra > room - *len)
            continue;
        for (int i = u.from; i <= u.to; ++i)
            passes[i].lyrno = lyrno;
        const int64_t trial = triallength(enc, scratch, lyrno, cache);
        if (trial >= 0 && trial <= room) {
            *len = trial;
            misses = 0;
        } else {
            for (int i = u.from; i <= u.to; ++i)
                passes[i].lyrno = -1;
            ++misses;
        }
    }
}

} // namespace

int64_t jpenc_bytesfordist(jpenc_t* enc, double dist)
{
    const std::vector<double> slopes = distinctslopes(enc);

    // The error left when every block takes its passes down to the last one
    // with a slope of at least thresh.
    auto left = [&](double thresh) {
        double sum = 0;
        forcblks(enc, [&](jpenc_cblk_t* cblk) {
            double in = 0;
            for (int i = 0; i < cblk->numpasses; ++i)
                if (cblk->passes[i].rdslope >= thresh)
                    in = cblk->passes[i].cumwmsedec;
            const double all = cblk->numpasses > 0 ? cblk->passes[cblk->numpasses - 1].cumwmsedec : 0;
            sum += cblk->restdist + (all - in);
        });
        return sum;
    };
    // The highest slope that leaves at most dist (fewest bytes); the lowest
    // slope when even all passes leave more.
    size_t lo = 0, hi = slopes.size();  // left(slopes[i]) <= dist for i < lo
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (left(slopes[mid]) <= dist)
            lo = mid + 1;
        else
            hi = mid;
    }
    const double thresh = lo > 0 ? slopes[lo - 1] : -1.0;

    stream_t* scratch = stream_memopen(nullptr, 0);
    if (!scratch)
        return -1;
    t2enc_reset(enc->comps.data(), enc->numcomps, 1);
    assign(enc, 0, thresh, true);
    const int64_t len = layerlength(enc, scratch, 0);
    stream_close(scratch);
    t2enc_reset(enc->comps.data(), enc->numcomps, 1);
    return len;
}

namespace {

// The body bytes that a layer takes at a threshold, without a tier-2 run:
// each code block gives from its current pass up to its last hull point
// with a slope at or above the threshold (hull slopes fall along a block).
struct bodies_t {
    std::vector<std::pair<double, int64_t>> points;  // slope, bytes added; steepest first
    std::vector<int64_t> cum;                        // bytes of the first k points

    explicit bodies_t(jpenc_t* enc)
    {
        forcblks(enc, [&](jpenc_cblk_t* cblk) {
            jpenc_pass_t* cur = cblk->curpass;
            if (!cur || (cblk->ht && cur != cblk->passes))
                return;
            // An HT pass's end is the length of its candidate.
            int64_t prev = cblk->ht || cur == cblk->passes ? 0 : cur[-1].end;
            for (jpenc_pass_t* p = cur; p != cblk->passes + cblk->numpasses; ++p)
                if (p->rdslope > 0.0) {
                    points.push_back({p->rdslope, p->end - prev});
                    prev = p->end;
                }
        });
        std::sort(points.begin(), points.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        cum.assign(points.size() + 1, 0);
        for (size_t k = 0; k < points.size(); ++k)
            cum[k + 1] = cum[k] + points[k].second;
    }
    int64_t at(double thresh) const
    {
        const auto end = std::partition_point(points.begin(), points.end(),
                                              [&](const auto& p) { return p.first >= thresh; });
        return cum[size_t(end - points.begin())];
    }
};

}  // namespace

int jpenc_ratealloc(jpenc_t* enc, int numlyrs, const int64_t* cumlens)
{
    stream_t* scratch = stream_memopen(nullptr, 0);
    if (!scratch)
        return -1;

    const std::vector<double> slopes = distinctslopes(enc);

    t2enc_reset(enc->comps.data(), enc->numcomps, 1);
    pktcache_t cache(enc);

    int64_t donelen = 0;  // bytes of the layers decided so far
    int numempty = 0;
    for (int lyrno = 0; lyrno < numlyrs; ++lyrno) {
        int64_t maxlen = cumlens[lyrno];
        bool success = false;
        double goodthresh = 0.0;
        if (maxlen < 0) {
            FATAL_CHECK(lyrno == numlyrs - 1);
            success = true;
            goodthresh = -1.0;
        } else {
            // When every remaining pass fits, the layer takes them all: the
            // bisection below never reaches the smallest slope, nor the passes
            // after a code block's last hull point.  Their bodies alone can
            // show that they do not, without a trial.
            if (donelen + allbodies(enc) <= maxlen) {
                assign(enc, lyrno, -1.0, true);
                int64_t alllen = triallength(enc, scratch, lyrno, cache);
                if (alllen < 0) {
                    stream_close(scratch);
                    return -1;
                }
                if (donelen + alllen <= maxlen) {
                    success = true;
                    goodthresh = -1.0;
                }
            }
        }
        if (maxlen >= 0 && !success) {
            // The lowest slope whose passes fit: the length falls as the
            // threshold rises, so a bisection over the distinct slopes finds
            // it with one trial tier-2 run per step.  The bodies alone bound
            // it from below, and the headers of two trials narrow the range
            // the bisection has to search.
            const size_t n = slopes.size();
            size_t lo = 0, hi = n;  // slopes[hi] fits (or hi is n), below lo not
            int64_t len = 0;
            auto trial = [&](size_t i) {
                // Each trial is a tier-2 run: the reports climb from 70 to
                // 79 over the tile's first 36, counted through every layer
                // and every round of the allocation.
                jpenc_report(enc, 70 + std::min(enc->alloctrials++, 36) / 4);
                if (enc->stopped)
                    return -1;
                trialassign(cache, lyrno, slopes[i]);
                len = triallength(enc, scratch, lyrno, cache);
                return len < 0 ? -1 : donelen + len <= maxlen ? 1 : 0;
            };
            cache.fresh = false;
            hullof(cache);
            const bodies_t bodies(enc);
            const int64_t room = maxlen - donelen;
            // The first slope whose bodies and `head` header bytes fit.
            auto first = [&](int64_t head) {
                return size_t(std::partition_point(slopes.begin(), slopes.end(), [&](double t) {
                                  return bodies.at(t) + head > room;
                              }) -
                              slopes.begin());
            };
            int f = 0;
            lo = first(0);
            if (lo < n && (f = trial(lo)) == 1) {
                hi = lo;
            } else if (lo < n && f == 0) {
                // Headers shrink as the threshold rises: with those of the
                // trial the layer fits at i1, and below i2 it cannot, as
                // a trial just below i2 confirms.
                const int64_t head0 = len - bodies.at(slopes[lo]);
                const size_t i1 = std::max(lo + 1, first(head0));
                lo = lo + 1;
                if (i1 < n && (f = trial(i1)) == 1) {
                    hi = i1;
                    const size_t i2 = std::max(lo, first(len - bodies.at(slopes[i1])));
                    if (i2 > lo && i2 <= hi && (f = trial(i2 - 1)) >= 0)
                        (f ? hi : lo) = f ? i2 - 1 : i2;
                } else if (f == 0) {
                    lo = i1 + 1;
                }
            }
            while (f >= 0 && lo < hi) {
                const size_t mid = lo + (hi - lo) / 2;
                f = trial(mid);
                if (f == 0)
                    lo = mid + 1;
                else if (f == 1)
                    hi = mid;
            }
            cache.fresh = false;
            if (f < 0) {
                stream_close(scratch);
                return -1;
            }
            if (hi < slopes.size()) {
                success = true;
                goodthresh = slopes[hi];
            }
        }
        if (!success)
            ++numempty;
        assign(enc, lyrno, goodthresh, success);
        if (success && maxlen >= 0 && goodthresh > 0 && !(enc->cblksty & JPC_COX_HT) &&
            fill(enc, scratch, cache, lyrno, goodthresh, maxlen - donelen) < 0) {
            stream_close(scratch);
            return -1;
        }
        if (success && maxlen >= 0 && goodthresh > 0.0 && (enc->cblksty & JPC_COX_HT)) {
            // HT: more than a quarter per cent short, the blocks fill up.
            int64_t len = triallength(enc, scratch, lyrno, cache);
            const int64_t room = maxlen - donelen;
            if (len >= 0 && room - len > room / 400)
                htfill(enc, scratch, cache, lyrno, room, &len);
        }
        // The last layer's tier-2 state is never needed: the packets are
        // written after a reset.
        if (lyrno == numlyrs - 1)
            break;
        int64_t len = layerlength(enc, scratch, lyrno);
        if (len < 0) {
            stream_close(scratch);
            return -1;
        }
        donelen += len;
    }
    stream_close(scratch);
    return numempty;
}
