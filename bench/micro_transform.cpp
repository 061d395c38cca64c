// Wavelet lifting (5/3 reversible and 9/7 irreversible, five levels, both
// directions) and the colour transforms (RCT, ICT, both directions).
#include <benchmark/benchmark.h>

#include "common.h"
#include "codestream/jpc.h"
#include "transform/mct.h"
#include "transform/qmfb.h"
#include "transform/tsfb.h"

namespace {

constexpr int SIZE = 1024;

void wavelet(benchmark::State& state, int qmfbid, bool forward)
{
    matrix_t* x = bench_picture(SIZE, SIZE, 1);
    tsfb_t* tsfb = tsfb_wavelet(qmfbid, 5);
    const int flags = qmfbid == JPC_COX_RFT ? QMFB_REV : 0;
    for (auto _ : state) {
        if (forward)
            tsfb_analyze(tsfb, flags, x);
        else
            tsfb_synthesize(tsfb, flags, x);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * SIZE * SIZE);
    tsfb_destroy(tsfb);
    matrix_destroy(x);
}

void BM_Wavelet53Analyze(benchmark::State& s) { wavelet(s, JPC_COX_RFT, true); }
void BM_Wavelet53Synthesize(benchmark::State& s) { wavelet(s, JPC_COX_RFT, false); }
void BM_Wavelet97Analyze(benchmark::State& s) { wavelet(s, JPC_COX_INS, true); }
void BM_Wavelet97Synthesize(benchmark::State& s) { wavelet(s, JPC_COX_INS, false); }
BENCHMARK(BM_Wavelet53Analyze)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wavelet53Synthesize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wavelet97Analyze)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wavelet97Synthesize)->Unit(benchmark::kMillisecond);

void colour(benchmark::State& state, int (*transform)(matrix_t*, matrix_t*, matrix_t*))
{
    matrix_t* c[3];
    for (int i = 0; i < 3; ++i)
        c[i] = bench_picture(SIZE, SIZE, 7 + i);
    for (auto _ : state) {
        transform(c[0], c[1], c[2]);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * SIZE * SIZE);
    for (matrix_t* m : c)
        matrix_destroy(m);
}

void BM_RctForward(benchmark::State& s) { colour(s, mct_fwdrct); }
void BM_RctInverse(benchmark::State& s) { colour(s, mct_invrct); }
void BM_IctForward(benchmark::State& s) { colour(s, mct_fwdict); }
void BM_IctInverse(benchmark::State& s) { colour(s, mct_invict); }
BENCHMARK(BM_RctForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RctInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IctForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IctInverse)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
