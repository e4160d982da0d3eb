// Engine cost per sample at 48 kHz, by block size and LFO amount.
#include "core/filter_engine.h"

#include <benchmark/benchmark.h>

#include <vector>

static void engine_block(benchmark::State &state)
{
    const uint32_t block = static_cast<uint32_t>(state.range(0));
    FilterEngine e;
    engine_construct(&e);
    engine_init(&e, 48000.0f);
    engine_reset(&e, 9.0f, static_cast<float>(state.range(1)), 12.0f);
    std::vector<float> buf(block);
    uint32_t x = 1;
    for (float &s : buf) {
        x = x * 1664525u + 1013904223u;
        s = static_cast<float>(x >> 8) / 16777216.0f - 0.5f;
    }
    std::vector<float> out(block);
    for (auto _ : state) {
        engine_process(&e, buf.data(), out.data(), block);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * block);
    state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations() * block),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(engine_block)->ArgsProduct({{32, 512, 4096}, {0, 15}})->ArgNames({"block", "amount"});

BENCHMARK_MAIN();
