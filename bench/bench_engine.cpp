// Engine cost per sample at 48 kHz, by block size and LFO amount, and the
// state-variable filter's recursion alone as the floor under it.
#include "core/filter_engine.h"
#include "svf_floor.h"

#include <benchmark/benchmark.h>

#include <vector>

static void set_ns_per_sample(benchmark::State &state, uint32_t block)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * block);
    state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations() * block),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

static void engine_block(benchmark::State &state)
{
    const uint32_t block = static_cast<uint32_t>(state.range(0));
    const FlushedThread flushed(state.range(2) != 0);
    FilterEngine e;
    engine_construct(&e);
    engine_init(&e, 48000.0f);
    engine_reset(&e, 9.0f, static_cast<float>(state.range(1)), 12.0f);
    std::vector<float> buf(block);
    bench_fill_noise(buf.data(), block);
    std::vector<float> out(block);
    for (auto _ : state) {
        engine_process(&e, buf.data(), out.data(), block);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_ns_per_sample(state, block);
}
BENCHMARK(engine_block)->ArgsProduct({{1, 32, 512, 4096}, {0, 15}, {0}})->ArgNames({"block", "amount", "flushed"});
// The thread already in flush-to-zero mode, as inside the VST3 process call or
// under a host that runs its audio thread so: the engine leaves the mode alone.
BENCHMARK(engine_block)->ArgsProduct({{1, 32}, {15}, {1}})->ArgNames({"block", "amount", "flushed"});

static void svf_floor(benchmark::State &state)
{
    const uint32_t block = static_cast<uint32_t>(state.range(0));
    SvfFloor f = svf_floor_make();
    benchmark::DoNotOptimize(&f);
    std::vector<float> buf(block);
    bench_fill_noise(buf.data(), block);
    std::vector<float> out(block);
    for (auto _ : state) {
        svf_floor_run(&f, buf.data(), out.data(), block);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_ns_per_sample(state, block);
}
BENCHMARK(svf_floor)->Arg(512)->ArgName("block");

BENCHMARK_MAIN();
