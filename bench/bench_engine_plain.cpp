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
    std::printf("%-36s %12s\n", "case", "ns/sample");
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
        std::printf("%-36s %12.2f\n", "svf_floor/block:512", floor_ns);
    }
    struct Case {
        uint32_t block;
        int amount;
        bool flushed;
    };
    const Case cases[] = {{1, 0, false},    {1, 15, false},   {32, 0, false},    {32, 15, false}, {512, 0, false},
                          {512, 15, false}, {4096, 0, false}, {4096, 15, false}, {1, 15, true},   {32, 15, true}};
    double worst[3] = {0.0, 0.0, 0.0}; // blocks 1, 32 and 512, thread not flushed
    for (const Case &c : cases) {
        const uint32_t block = c.block;
        const bench_flushed_thread flushed(c.flushed);
        FilterEngine e;
        engine_construct(&e);
        engine_init(&e, 48000.0f);
        engine_reset(&e, 9.0f, static_cast<float>(c.amount), 12.0f);
        std::vector<float> in(block), out(block);
        bench_fill_noise(in.data(), block);
        const double ns = best_ns_per_sample(
            [&] {
                engine_process(&e, in.data(), out.data(), block);
                g_sink = out[block - 1];
            },
            block, block == 1 ? samples / 4 : samples, rounds);
        char name[64];
        std::snprintf(name, sizeof name, "engine/block:%u/amount:%d/flushed:%d", block, c.amount, c.flushed ? 1 : 0);
        std::printf("%-36s %12.2f   %.2f x floor\n", name, ns, ns / floor_ns);
        const int slot = block == 1 ? 0 : (block == 32 ? 1 : (block == 512 ? 2 : -1));
        if (slot >= 0 && !c.flushed && ns / floor_ns > worst[slot])
            worst[slot] = ns / floor_ns;
    }
    std::printf("\nratio to the floor, the larger of amounts 0 and 15 (target):\n"
                "block 1: %.2f (3.00)   block 32: %.2f (1.25)   block 512: %.2f (1.10)\n",
                worst[0], worst[1], worst[2]);
    return 0;
}
