// Engine cost per sample at 48 kHz for builds without Google Benchmark (the
// Windows cross build, run under Wine): the same cases as bench_engine,
// timed with the steady clock. The cases take turns, round after round, and
// each keeps its best round: other work on the machine then weighs on the
// floor and the engine alike, and the ratios hold.
#include "core/filter_engine.h"
#include "svf_floor.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

volatile float g_sink;

struct Case {
    uint32_t block;
    int amount;   // LFO Amount; -1 for the floor
    bool flushed; // the thread already flushes denormals
    FilterEngine engine;
    SvfFloor floor;
    std::vector<float> in, out;
    double best_ns;
};

// ns/sample of one round of about `samples` samples.
double run_round(Case *c, uint32_t samples)
{
    const uint32_t n = c->block;
    const uint32_t calls = samples / n > 0 ? samples / n : 1;
    const FlushedThread flushed(c->flushed);
    const auto t0 = std::chrono::steady_clock::now();
    for (uint32_t k = 0; k < calls; ++k) {
        if (c->amount < 0)
            svf_floor_run(&c->floor, c->in.data(), c->out.data(), n);
        else
            engine_process(&c->engine, c->in.data(), c->out.data(), n);
        g_sink = c->out[n - 1];
    }
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / (double(calls) * n);
}

} // namespace

int main()
{
    const uint32_t samples = 1u << 18;
    const int rounds = 60;
    std::vector<Case> cases;
    auto add = [&](uint32_t block, int amount, bool flushed) {
        Case c{block, amount, flushed, {}, svf_floor_make(), std::vector<float>(block), std::vector<float>(block),
               1e30};
        engine_construct(&c.engine);
        engine_init(&c.engine, 48000.0f);
        engine_reset(&c.engine, 9.0f, static_cast<float>(amount < 0 ? 0 : amount), 12.0f);
        bench_fill_noise(c.in.data(), block);
        cases.push_back(std::move(c));
    };
    add(512, -1, false);
    for (uint32_t block : {1u, 32u, 512u, 4096u})
        for (int amount : {0, 15})
            add(block, amount, false);
    add(1, 15, true);
    add(32, 15, true);
    for (int r = 0; r < rounds; ++r)
        for (Case &c : cases) {
            const double ns = run_round(&c, c.block == 1 ? samples / 4 : samples);
            if (ns < c.best_ns)
                c.best_ns = ns;
        }

    const double floor_ns = cases[0].best_ns;
    std::printf("%-36s %12s\n", "case", "ns/sample");
    std::printf("%-36s %12.2f\n", "svf_floor/block:512", floor_ns);
    double worst[3] = {0.0, 0.0, 0.0}; // blocks 1, 32 and 512, thread not flushed
    for (size_t i = 1; i < cases.size(); ++i) {
        const Case &c = cases[i];
        const double ratio = c.best_ns / floor_ns;
        char name[64];
        std::snprintf(name, sizeof name, "engine/block:%u/amount:%d/flushed:%d", c.block, c.amount, c.flushed ? 1 : 0);
        std::printf("%-36s %12.2f   %.2f x floor\n", name, c.best_ns, ratio);
        const int slot = c.block == 1 ? 0 : (c.block == 32 ? 1 : (c.block == 512 ? 2 : -1));
        if (slot >= 0 && !c.flushed && ratio > worst[slot])
            worst[slot] = ratio;
    }
    std::printf("\nratio to the floor, the larger of amounts 0 and 15 (target):\n"
                "block 1: %.2f (3.00)   block 32: %.2f (1.25)   block 512: %.2f (1.10)\n",
                worst[0], worst[1], worst[2]);
    return 0;
}
