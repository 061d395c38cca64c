// MQ coder: decisions per second through the in-line coding step, with the
// skew of real tier-1 data (mostly MPS, a few contexts).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "tier1/mqdec.h"
#include "tier1/mqenc.h"
#include "base/stream.h"

namespace {

struct decisions_t {
    std::vector<uint8_t> ctx, bit;
};

decisions_t makedecisions(size_t n)
{
    decisions_t d;
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> ctx(0, 18);
    std::uniform_int_distribution<int> p(0, 99);
    for (size_t i = 0; i < n; ++i) {
        const int c = ctx(rng);
        d.ctx.push_back(static_cast<uint8_t>(c));
        d.bit.push_back(p(rng) < 3 + 2 * c);  // 3 % .. 39 % ones
    }
    return d;
}

const decisions_t& decisions()
{
    static const decisions_t d = makedecisions(1 << 18);
    return d;
}

void BM_MqEncode(benchmark::State& state)
{
    const decisions_t& d = decisions();
    for (auto _ : state) {
        stream_t* out = stream_memopen(nullptr, 0);
        mqenc_t* enc = mqenc_create(19, out);
        mqregs_t regs = mqenc_getregs(enc);
        for (size_t i = 0; i < d.ctx.size(); ++i)
            mqenc_encode(enc, regs, mqenc_ctx(enc, d.ctx[i]), d.bit[i]);
        mqenc_setregs(enc, regs);
        mqenc_flush(enc);
        benchmark::DoNotOptimize(stream_tell(out));
        mqenc_destroy(enc);
        stream_close(out);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(d.ctx.size()));
}
BENCHMARK(BM_MqEncode);

void BM_MqDecode(benchmark::State& state)
{
    const decisions_t& d = decisions();
    stream_t* code = stream_memopen(nullptr, 0);
    {
        mqenc_t* enc = mqenc_create(19, code);
        for (size_t i = 0; i < d.ctx.size(); ++i) {
            mqenc_setcurctx(enc, d.ctx[i]);
            mqenc_putbit(enc, d.bit[i]);
        }
        mqenc_flush(enc);
        mqenc_destroy(enc);
    }
    for (auto _ : state) {
        stream_rewind(code);
        mqdec_t* dec = mqdec_create(19, code);
        mqdregs_t regs = mqdec_getregs(dec);
        int sum = 0;
        for (size_t i = 0; i < d.ctx.size(); ++i)
            sum += mqdec_decode(dec, regs, mqdec_ctx(dec, d.ctx[i]));
        benchmark::DoNotOptimize(sum);
        mqdec_destroy(dec);
    }
    stream_close(code);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(d.ctx.size()));
}
BENCHMARK(BM_MqDecode);

}  // namespace

BENCHMARK_MAIN();
