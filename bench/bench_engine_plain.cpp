// Engine cost per sample at 48 kHz for builds without Google Benchmark (the
// Windows cross build, run under Wine): the same cases as bench_engine,
// timed with the steady clock over repeated runs, best of several.
#include "core/filter_engine.h"
#include "svf_floor.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

volatile float g_sink;

// Best ns/sample over `rounds` runs of about `samples` samples each.
template <class F> double best_ns_per_sample(F &&run_block, uint32_t block, uint32_t samples, int rounds)
{
    const uint32_t calls = samples / block > 0 ? samples / block : 1;
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        for (uint32_t c = 0; c < calls; ++c)
            run_block();
        const auto t1 = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / (double(calls) * block);
        if (ns < best)
            best = ns;
    }
    return best;
}

} // namespace

int main()
{
    const uint32_t samples = 4u << 20;
    const int rounds = 7;
    std::printf("%-28s %12s\n", "case", "ns/sample");
    double floor_ns = 0.0;
    {
        std::vector<float> in(512), out(512);
        bench_fill_noise(in.data(), 512);
        SvfFloor f = svf_floor_make();
        floor_ns = best_ns_per_sample(
            [&] {
                svf_floor_run(&f, in.data(), out.data(), 512);
                g_sink = out[511];
            },
            512, samples, rounds);
        std::printf("%-28s %12.2f\n", "svf_floor/block:512", floor_ns);
    }
    for (uint32_t block : {1u, 32u, 512u, 4096u})
        for (int amount : {0, 15}) {
            FilterEngine e;
            engine_construct(&e);
            engine_init(&e, 48000.0f);
            engine_reset(&e, 9.0f, static_cast<float>(amount), 12.0f);
            std::vector<float> in(block), out(block);
            bench_fill_noise(in.data(), block);
            const double ns = best_ns_per_sample(
                [&] {
                    engine_process(&e, in.data(), out.data(), block);
                    g_sink = out[block - 1];
                },
                block, block == 1 ? samples / 4 : samples, rounds);
            char name[64];
            std::snprintf(name, sizeof name, "engine/block:%u/amount:%d", block, amount);
            std::printf("%-28s %12.2f   %.2f x floor\n", name, ns, ns / floor_ns);
        }
    return 0;
}
