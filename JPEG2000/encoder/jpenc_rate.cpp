// Rate allocation: post-compression rate-distortion optimization over the
// layers of the tile.  Every pass gets a slope on the convex hull of its
// code block's rate-distortion curve; each layer then takes, in every code
// block, the passes down to a global slope threshold found by bisection,
// with real tier-2 coding measuring each trial.
#include <cstdio>
#include <cfloat>

#include "base/fatal.h"
#include "encoder/jpenc_int.h"
#include "base/stream.h"
#include "tier2/t2enc.h"

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

// Gives the passes of every code block from its current pass up to the
// last pass with a slope of at least thresh the layer lyrno, the rest -1.
// include is false for a layer that gets no pass at all.
void assign(jpenc_t* enc, int lyrno, double thresh, bool include)
{
    forcblks(enc, [&](jpenc_cblk_t* cblk) {
        jpenc_pass_t* cur = cblk->curpass;
        if (!cur)
            return;
        jpenc_pass_t* last = cblk->passes + cblk->numpasses;
        jpenc_pass_t* end = cur;
        // An HT code block sent in an earlier layer has nothing more to send.
        if (include && !(cblk->ht && cur != cblk->passes))
            for (jpenc_pass_t* p = cur; p != last; ++p)
                if (p->rdslope >= thresh)
                    end = p + 1;
        for (jpenc_pass_t* p = cur; p != end; ++p)
            p->lyrno = lyrno;
        for (jpenc_pass_t* p = end; p != last; ++p)
            p->lyrno = -1;
    });
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
            int64_t len = t2enc_encodepkt(enc->comps, scratch, k, r, lyrno, 0);
            if (len < 0)
                return -1;
            total += len;
        }
    return total;
}

} // namespace

int jpenc_ratealloc(jpenc_t* enc, int numlyrs, const int64_t* cumlens)
{
    stream_t* scratch = stream_memopen(nullptr, 0);
    if (!scratch)
        return -1;

    double minslope = DBL_MAX;
    double maxslope = 0.0;
    forcblks(enc, [&](jpenc_cblk_t* cblk) {
        jpenc_cblkslopes(cblk);
        for (int i = 0; i < cblk->numpasses; ++i) {
            double s = cblk->passes[i].rdslope;
            if (s > 0.0) {
                if (s < minslope)
                    minslope = s;
                if (s > maxslope)
                    maxslope = s;
            }
        }
    });

    t2enc_reset(enc->comps, enc->numcomps, 1);

    int64_t donelen = 0;  // bytes of the layers decided so far
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
            // after a code block's last hull point.
            t2enc_save(enc->comps, enc->numcomps);
            assign(enc, lyrno, -1.0, true);
            int64_t alllen = layerlength(enc, scratch, lyrno);
            t2enc_restore(enc->comps, enc->numcomps);
            if (alllen < 0) {
                stream_close(scratch);
                return -1;
            }
            if (donelen + alllen <= maxlen) {
                success = true;
                goodthresh = -1.0;
            }
        }
        if (maxlen >= 0 && !success) {
            double lo = minslope;
            double hi = maxslope;
            for (int trial = 0; trial < 64; ++trial) {
                double thresh = (lo + hi) * 0.5;
                t2enc_save(enc->comps, enc->numcomps);
                assign(enc, lyrno, thresh, true);
                int64_t len = layerlength(enc, scratch, lyrno);
                if (len < 0) {
                    stream_close(scratch);
                    return -1;
                }
                int64_t actuallen = donelen + len;
                if (actuallen > maxlen) {
                    lo = thresh;
                } else {
                    hi = thresh;
                    if (!success || thresh < goodthresh) {
                        goodthresh = thresh;
                        success = true;
                    }
                }
                t2enc_restore(enc->comps, enc->numcomps);
                if (hi - 0.001 <= lo)
                    break;
            }
        }
        if (!success)
            std::fprintf(stderr, "warning: empty layer generated\n");
        assign(enc, lyrno, goodthresh, success);
        int64_t len = layerlength(enc, scratch, lyrno);
        if (len < 0) {
            stream_close(scratch);
            return -1;
        }
        donelen += len;
    }
    stream_close(scratch);
    return 0;
}
