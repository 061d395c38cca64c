// Tier-1 passes (encode and decode of every code block of a wavelet-
// transformed picture, with the bit-plane and the HT coder) and packet coding (tier-2 headers and bodies of the
// same code blocks in one layer).
#include <benchmark/benchmark.h>

#include <vector>

#include "common.h"
#include "codestream/jpc.h"
#include "tier1/jpcod.h"
#include "decoder/jpdec_tile.h"
#include "encoder/jpenc_tree.h"
#include "base/stream.h"
#include "tier1/htdec.h"
#include "tier1/htenc.h"
#include "tier1/t1dec.h"
#include "tier1/t1enc.h"
#include "tier2/t2enc.h"
#include "transform/tsfb.h"

namespace {

constexpr int SIZE = 512;

// One reversible component: 5/3 transformed samples with the encoder's
// fractional bits, every code block coded.
struct coded_t {
    jpenc_comp_t comp{};
    coded_t()
    {
        jpc_inittables();
        comp.data = bench_picture(SIZE, SIZE, 3);
        for (int r = 0; r < SIZE; ++r)
            for (int c = 0; c < SIZE; ++c)
                matrix_row(comp.data, r)[c] -= 128;
        comp.mctweight = 16384;
        const jpenc_treeparams_t params{6, 64, 64, JPC_COX_RFT};
        jpenc_buildcomp(&comp, &params);
        tsfb_analyze(comp.tsfb, QMFB_REV, comp.data);
        for (int r = 0; r < SIZE; ++r)
            for (int c = 0; c < SIZE; ++c)
                matrix_row(comp.data, r)[c] *= 1 << JPC_NUMEXTRABITS;
        for (int l = 0; l < comp.numrlvls; ++l)
            for (int b = 0; b < comp.lvls[l].numbands; ++b)
                comp.lvls[l].bands[b].numbps = 20;
        t1enc_encodecomps(&comp, 1, 0);
    }
    ~coded_t() { jpenc_destroycomp(&comp); }
};

coded_t& coded()
{
    static coded_t c;
    return c;
}

void BM_T1Encode(benchmark::State& state)
{
    coded_t& c = coded();
    for (auto _ : state)
        benchmark::DoNotOptimize(t1enc_encodecomps(&c.comp, 1, 0));
    state.SetItemsProcessed(state.iterations() * SIZE * SIZE);
}
BENCHMARK(BM_T1Encode)->Unit(benchmark::kMillisecond);

// Every code block as the tier-2 decoder would hand it over: one segment
// with all of its passes.
struct decblock_t {
    dec_band_t band{};
    dec_cblk_t cblk{};
    const jpenc_cblk_t* src;
    std::vector<int32_t> data;  // the coefficients, zero before decoding
};

void BM_T1Decode(benchmark::State& state)
{
    coded_t& c = coded();
    std::vector<decblock_t> blocks;
    for (int l = 0; l < c.comp.numrlvls; ++l)
        for (int b = 0; b < c.comp.lvls[l].numbands; ++b) {
            const jpenc_band_t& band = c.comp.lvls[l].bands[b];
            for (int k = 0; k < band.numcblks; ++k)
                if (band.cblks[k].numpasses > 0) {
                    decblock_t d;
                    d.band.orient = band.orient;
                    d.band.numbps = band.numbps;
                    d.src = &band.cblks[k];
                    blocks.push_back(d);
                }
        }
    dec_ccp_t ccp{};
    ccp.cblksty = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (decblock_t& d : blocks) {
            const jpenc_cblk_t* e = d.src;
            d.data.assign(64 * 64, 0);
            d.cblk.data = d.data.data();
            d.cblk.stride = 64;
            d.cblk.width = matrix_numcols(e->data);
            d.cblk.height = matrix_numrows(e->data);
            d.cblk.numimsbs = e->numimsbs;
            d.cblk.firstpassno = 3 * e->numimsbs;
            d.cblk.numpasses = e->numpasses;
            dec_seg_t seg;
            seg.passno = d.cblk.firstpassno;
            seg.numpasses = e->numpasses;
            seg.maxpasses = e->numpasses;
            seg.type = SEG_MQ;
            seg.lyrno = 0;
            seg.stream = stream_memopen(nullptr, 0);
            stream_write(seg.stream, stream_memdata(e->stream), e->passes[e->numpasses - 1].end);
            d.cblk.segs.assign(1, seg);
            d.cblk.curseg = 1;
        }
        state.ResumeTiming();
        for (decblock_t& d : blocks)
            t1dec_decodecblk(&ccp, &d.band, &d.cblk, 1, -1);
    }
    state.SetItemsProcessed(state.iterations() * SIZE * SIZE);
}
BENCHMARK(BM_T1Decode)->Unit(benchmark::kMillisecond);

// HT: the cleanup pass of every candidate of every code block, as a
// budget without estimates would code them; the decoding of the complete
// candidates.
// Calls f(cblk, data, stride, width, height) for every code block coded.
template <typename F>
void forcblks(coded_t& c, F&& f)
{
    for (int l = 0; l < c.comp.numrlvls; ++l)
        for (const jpenc_band_t& band : c.comp.lvls[l].bands)
            for (const jpenc_cblk_t& cb : band.cblks) {
                const int32_t* data = matrix_row(cb.data, 0);
                const int w = matrix_numcols(cb.data), h = matrix_numrows(cb.data);
                f(cb, data, h > 1 ? matrix_row(cb.data, 1) - data : ptrdiff_t{0}, w, h);
            }
}

void BM_HtEncodeCandidates(benchmark::State& state)
{
    coded_t& c = coded();
    std::vector<uint8_t> seg;
    for (auto _ : state)
        forcblks(c, [&](const jpenc_cblk_t& cb, const int32_t* data, ptrdiff_t stride, int w,
                        int h) {
            for (int p = cb.numbps + JPC_NUMEXTRABITS - 1; p >= JPC_NUMEXTRABITS; --p) {
                double dd;
                htenc_encodecln(data, stride, w, h, p, seg, 1u << (p - 1), &dd);
                benchmark::DoNotOptimize(dd);
            }
        });
    state.SetItemsProcessed(state.iterations() * SIZE * SIZE);
}
BENCHMARK(BM_HtEncodeCandidates)->Unit(benchmark::kMillisecond);

// Argument: the planes above the lossless one where the cleanup pass stops
// (0: every block lossless; otherwise lossy, with SigProp and MagRef passes;
// 6 leaves blocks as sparse as a photo at 1 bit per pixel).
void BM_HtDecode(benchmark::State& state)
{
    coded_t& c = coded();
    const int up = int(state.range(0));
    const bool refined = up > 0;
    struct blk_t {
        std::vector<uint8_t> seg, ref;
        int w, h, p;
    };
    std::vector<blk_t> blocks;
    forcblks(c, [&](const jpenc_cblk_t&, const int32_t* data, ptrdiff_t stride, int w, int h) {
        blk_t b{{}, {}, w, h, JPC_NUMEXTRABITS + up};
        htenc_encodecln(data, stride, w, h, b.p, b.seg);
        if (refined) {
            std::vector<uint8_t> sp;
            htenc_encoderef(data, stride, w, h, b.p, false, sp, b.ref);
        }
        blocks.push_back(std::move(b));
    });
    std::vector<int32_t> out(64 * 64);
    htdec_scratch_t scratch;
    for (auto _ : state)
        for (const blk_t& b : blocks) {
            htdec_cblk_t cb;
            cb.cln = b.seg.data();
            cb.lcup = int(b.seg.size());
            cb.p = b.p;
            if (refined) {
                cb.ref = b.ref.data();
                cb.lref = int(b.ref.size());
                cb.numrefpasses = 2;
            }
            cb.width = b.w;
            cb.height = b.h;
            cb.data = out.data();
            cb.stride = 64;
            benchmark::DoNotOptimize(htdec_decodecblk(cb, scratch));
        }
    state.SetItemsProcessed(state.iterations() * SIZE * SIZE);
}
BENCHMARK(BM_HtDecode)->Arg(0)->Arg(2)->Arg(6)->Unit(benchmark::kMillisecond);

void BM_PacketCoding(benchmark::State& state)
{
    coded_t& c = coded();
    t2enc_reset(&c.comp, 1, 1);
    for (auto _ : state) {
        stream_t* out = stream_memopen(nullptr, 0);
        benchmark::DoNotOptimize(t2enc_encodepkts(&c.comp, 1, 1, JPC_COD_LRCPPRG, out));
        state.counters["bytes"] = static_cast<double>(stream_tell(out));
        stream_close(out);
    }
}
BENCHMARK(BM_PacketCoding)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
