// Wavelet lifting (5/3 reversible and 9/7 irreversible, five levels, both
// directions) and the colour transforms (RCT, ICT, both directions).
#include <benchmark/benchmark.h>

#include <algorithm>

#include "common.h"
#include "base/threadpool.h"
#include "codestream/jpc.h"
#include "transform/mct.h"
#include "transform/qmfb.h"
#include "transform/tsfb.h"

namespace {

constexpr int SIZE = 1024;

// The irreversible transforms work on real samples (float bits in the
// cells): the picture is converted, and restored before every run (outside
// the timing) so that repeated runs never reach denormal or infinite values.
void toreal(matrix_t* m)
{
    for (int r = 0; r < matrix_numrows(m); ++r) {
        realent_t* f = matrix_rowf(m, r);
        const int32_t* p = matrix_row(m, r);
        for (int c = 0; c < matrix_numcols(m); ++c)
            f[c] = static_cast<float>(p[c]);
    }
}

void restore(benchmark::State& state, matrix_t* m, const matrix_t* orig)
{
    state.PauseTiming();
    for (int r = 0; r < matrix_numrows(m); ++r)
        std::copy_n(matrix_row(orig, r), matrix_numcols(m), matrix_row(m, r));
    state.ResumeTiming();
}

void wavelet(benchmark::State& state, int qmfbid, bool forward, int rows = SIZE, int cols = SIZE)
{
    matrix_t* x = bench_picture(rows, cols, 1);
    const bool real = qmfbid == JPC_COX_INS;
    if (real)
        toreal(x);
    matrix_t* orig = matrix_copy(x);
    tsfb_t* tsfb = tsfb_wavelet(qmfbid, 5);
    const int flags = qmfbid == JPC_COX_RFT ? QMFB_REV : 0;
    for (auto _ : state) {
        if (real)
            restore(state, x, orig);
        if (forward)
            tsfb_analyze(tsfb, flags, x);
        else
            tsfb_synthesize(tsfb, flags, x);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * rows * cols);
    tsfb_destroy(tsfb);
    matrix_destroy(orig);
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
// A 4K frame, whose column strips no longer fit the caches, on one thread
// (as jp2c decode --threads 1).
void frame4k(benchmark::State& s, int qmfbid)
{
    const int threads = threadpool_numthreads();
    threadpool_setnumthreads(1);
    wavelet(s, qmfbid, false, 2160, 3840);
    threadpool_setnumthreads(threads);
}
void BM_Wavelet53Synthesize4K(benchmark::State& s) { frame4k(s, JPC_COX_RFT); }
void BM_Wavelet97Synthesize4K(benchmark::State& s) { frame4k(s, JPC_COX_INS); }
BENCHMARK(BM_Wavelet53Synthesize4K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wavelet97Synthesize4K)->Unit(benchmark::kMillisecond);

void colour(benchmark::State& state, int (*transform)(matrix_t*, matrix_t*, matrix_t*),
            bool real = false)
{
    matrix_t* c[3];
    matrix_t* orig[3];
    for (int i = 0; i < 3; ++i) {
        c[i] = bench_picture(SIZE, SIZE, 7 + i);
        if (real)
            toreal(c[i]);
        orig[i] = matrix_copy(c[i]);
    }
    for (auto _ : state) {
        if (real)
            for (int i = 0; i < 3; ++i)
                restore(state, c[i], orig[i]);
        transform(c[0], c[1], c[2]);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * SIZE * SIZE);
    for (int i = 0; i < 3; ++i) {
        matrix_destroy(c[i]);
        matrix_destroy(orig[i]);
    }
}

void BM_RctForward(benchmark::State& s) { colour(s, mct_fwdrct); }
void BM_RctInverse(benchmark::State& s) { colour(s, mct_invrct); }
void BM_IctForward(benchmark::State& s) { colour(s, mct_fwdict, true); }
void BM_IctInverse(benchmark::State& s) { colour(s, mct_invict, true); }
BENCHMARK(BM_RctForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RctInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IctForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IctInverse)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
