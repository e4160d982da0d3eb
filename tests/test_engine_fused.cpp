// The fused engine, all stages in one pass per chunk, against the
// stage-by-stage form it replaced: the same bits for every sample and the
// same state after every block.
#include "core/filter_engine.h"
#include "engine_probe.h"
#include "engine_stagewise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Everything engine_process reads or writes.
::testing::AssertionResult same_state(const FilterEngine &a, const FilterEngine &b)
{
    const struct {
        const char *name;
        float x, y;
    } floats[] = {
        {"hp", a.hp, b.hp},
        {"bp", a.bp, b.bp},
        {"lp", a.lp, b.lp},
        {"hp_in.s", a.hp_in.s, b.hp_in.s},
        {"lp_out.s", a.lp_out.s, b.lp_out.s},
        {"hp_out.s", a.hp_out.s, b.hp_out.s},
        {"cutoff_table_value", a.cutoff_table_value, b.cutoff_table_value},
        {"ref_cutoff", a.ref_cutoff, b.ref_cutoff},
    };
    for (const auto &f : floats)
        if (!same_bits(f.x, f.y))
            return ::testing::AssertionFailure() << f.name << " " << f.x << " != " << f.y;
    if (a.tick_countdown != b.tick_countdown || a.lfo_phase != b.lfo_phase || a.mod_cutoff_reg != b.mod_cutoff_reg)
        return ::testing::AssertionFailure() << "LFO state differs";
    return ::testing::AssertionSuccess();
}

struct Pair {
    FilterEngine fused, staged;
    size_t compared = 0;

    explicit Pair(const FilterEngine &e) : fused(e), staged(e) {}

    // One block through both; false at the first differing sample or state.
    ::testing::AssertionResult block(const float *in, uint32_t n, bool in_place)
    {
        std::vector<float> a(n), b(n);
        if (in_place) {
            std::copy(in, in + n, a.begin());
            std::copy(in, in + n, b.begin());
            engine_process(&fused, a.data(), a.data(), n);
            stagewise_process(&staged, b.data(), b.data(), n);
        } else {
            engine_process(&fused, in, a.data(), n);
            stagewise_process(&staged, in, b.data(), n);
        }
        for (uint32_t i = 0; i < n; ++i)
            if (!same_bits(a[i], b[i]))
                return ::testing::AssertionFailure() << "sample " << compared + i << ": " << a[i] << " != " << b[i];
        compared += n;
        return same_state(fused, staged);
    }

    ::testing::AssertionResult run(const std::vector<float> &in, uint32_t block_size, bool in_place = false)
    {
        for (size_t pos = 0; pos < in.size(); pos += block_size) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block_size, in.size() - pos));
            const ::testing::AssertionResult r = block(in.data() + pos, n, in_place);
            if (!r)
                return r;
        }
        return ::testing::AssertionSuccess();
    }
};

std::vector<float> signal(unsigned n, unsigned seed, float gain)
{
    std::vector<float> s = probe_signal(n, seed);
    for (float &x : s)
        x *= gain;
    return s;
}

} // namespace

TEST(EngineFused, MatchesTheStagewiseEngineAtEveryRateAndBlockSize)
{
    const std::vector<float> in = signal(30000, 21, 1.0f);
    for (float fs : {8000.0f, 22050.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f})
        for (uint32_t block : {1u, 2u, 3u, 4u, 5u, 7u, 64u, 512u, 4096u}) {
            Pair p(probe_engine(fs, 8, 15, 12));
            EXPECT_TRUE(p.run(in, block)) << fs << " Hz, block " << block;
            EXPECT_EQ(p.compared, in.size());
        }
}

TEST(EngineFused, MatchesTheStagewiseEngineForEveryLfoSetting)
{
    const std::vector<float> in = signal(20000, 22, 1.0f);
    for (float amt : {0.0f, 3.0f, 7.0f, 15.0f})
        for (float speed : {0.0f, 7.0f, 15.0f})
            for (float cutoff : {0.0f, 8.0f, 15.0f}) {
                Pair p(probe_engine(44100, cutoff, amt, speed));
                EXPECT_TRUE(p.run(in, 300)) << amt << " " << speed << " " << cutoff;
            }
}

// Setter calls between ticks: right after one, in the middle, on the last
// sample before the next, in chunks that leave every remainder modulo 4.
TEST(EngineFused, MatchesTheStagewiseEngineWithSettersBetweenTicks)
{
    for (float fs : {22050.0f, 48000.0f, 96000.0f}) {
        Pair p(probe_engine(fs, 9, 11, 13));
        const uint32_t t = p.fused.tick_period;
        const uint32_t sizes[] = {1, t - 2, 1, 1, t / 3, t - t / 3, t, 7, t - 8, 2 * t + 5, 64, 6, 9};
        const std::vector<float> in = signal(25 * t, 23, 2.0f);
        size_t pos = 0;
        for (uint32_t k = 0; pos < in.size(); ++k) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(sizes[k % 13], in.size() - pos));
            ASSERT_TRUE(p.block(in.data() + pos, n, false)) << fs << " Hz, block " << k;
            pos += n;
            const float v = static_cast<float>((k * 5 + 2) % 17);
            engine_set_param(&p.fused, k % 3, v);
            engine_set_param(&p.staged, k % 3, v);
        }
    }
}

TEST(EngineFused, MatchesTheStagewiseEngineAfterResetsAndRateChanges)
{
    const std::vector<float> before = signal(9000, 24, 1.0f), after = signal(20000, 25, 1.0f);
    const struct {
        float fs0, fs1;
        float a[3], b[3];
        uint32_t block;
    } cases[] = {
        {48000, 48000, {15, 15, 15}, {0, 15, 15}, 64},  {48000, 48000, {15, 0, 7}, {6, 7, 3}, 7},
        {44100, 44100, {0, 15, 15}, {15, 15, 15}, 512}, {48000, 11025, {15, 15, 15}, {0, 15, 15}, 512},
        {96000, 8000, {15, 15, 15}, {15, 0, 7}, 1},     {48000, 4000, {15, 15, 3}, {0, 15, 15}, 4096},
    };
    for (const auto &c : cases) {
        Pair p(probe_engine(c.fs0, c.a[0], c.a[1], c.a[2]));
        ASSERT_TRUE(p.run(before, c.block)) << c.fs0;
        for (FilterEngine *e : {&p.fused, &p.staged}) {
            if (c.fs1 != c.fs0)
                engine_init(e, c.fs1);
            engine_reset(e, c.b[0], c.b[1], c.b[2]);
        }
        EXPECT_TRUE(p.run(after, c.block)) << c.fs0 << " to " << c.fs1;
    }
}

TEST(EngineFused, MatchesTheStagewiseEngineForLoudSilentTinyAndInPlaceInput)
{
    for (float gain : {0.0f, 1e-39f, 1e-30f, 40.0f, 1e4f, -1e6f, 3e38f})
        for (uint32_t block : {1u, 7u, 512u}) {
            Pair p(probe_engine(48000, 7, 15, 15));
            EXPECT_TRUE(p.run(signal(8000, 26, gain), block)) << gain << ", block " << block;
            Pair q(probe_engine(48000, 7, 15, 15));
            EXPECT_TRUE(q.run(signal(8000, 26, gain), block, true)) << gain << ", block " << block << " in place";
        }
}
