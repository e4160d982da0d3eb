#include "core/filter_engine.h"
#include "core/fp_mode.h"
#include "engine_probe.h"
#include "engine_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

namespace {

constexpr double k_pi = std::numbers::pi;

// Register values seen over `ticks` LFO ticks.
std::vector<int> registers(FilterEngine *e, unsigned ticks)
{
    std::vector<int> regs;
    std::vector<float> buf(e->tick_period, 0.0f);
    for (unsigned t = 0; t < ticks; ++t) {
        engine_process(e, buf.data(), buf.data(), e->tick_period);
        regs.push_back(engine_get_mod_cutoff(e));
    }
    return regs;
}

struct Peak {
    double hz, gain;
};

Peak find_peak(const FilterEngine &e, double lo, double hi, double step)
{
    Peak best{0, 0};
    for (double hz = lo; hz <= hi; hz += step) {
        const double g = probe_sine_gain(e, hz);
        if (g > best.gain)
            best = {hz, g};
    }
    return best;
}

} // namespace

TEST(EngineTables, MatchTheirDefiningRules)
{
    const int peaks[16] = {0, 8, 17, 25, 34, 42, 51, 59, 68, 76, 85, 93, 102, 110, 119, 127};
    for (int a = 0; a < 16; ++a) {
        int peak = 0;
        for (int i = 0; i < 256; ++i) {
            const double x = 127.0 * a / 15.0 * std::sin(2.0 * k_pi * (i + 1) / 256.0);
            const double r = x >= 0 ? std::floor(x + 0.5) : -std::floor(-x + 0.5);
            ASSERT_EQ(lfo_wave_table[a][i], static_cast<int>(r)) << a << "," << i;
            peak = std::max(peak, static_cast<int>(lfo_wave_table[a][i]));
        }
        EXPECT_EQ(peak, peaks[a]);
        EXPECT_EQ(lfo_wave_table[a][255], 0);
    }
    const int row15[8] = {3, 6, 9, 12, 16, 19, 22, 25};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(lfo_wave_table[15][i], row15[i]);
    EXPECT_EQ(cutoff_freq_table[0], 62);
    EXPECT_EQ(cutoff_freq_table[248], 320);
    EXPECT_EQ(cutoff_freq_table[255], 342);
    for (int i = 1; i < 256; ++i)
        EXPECT_LE(cutoff_freq_table[i - 1], cutoff_freq_table[i]);
}

// The block engine, with what it hoists out of the sample loop and its
// four-sample saturator, gives exactly the samples of the algorithm written
// out one sample at a time.
TEST(Engine, MatchesTheSampleBySampleAlgorithmBitForBit)
{
    const struct {
        float fs, cutoff, amt, speed, level;
        bool warm;
    } cases[] = {
        {48000, 15, 0, 7, 0.5f, false},       {48000, 15, 0, 7, 0.5f, true},    {44100, 7, 15, 15, 1.0f, true},
        {96000, 0, 15, 0, 40.0f, false},      {22050, 11, 6, 9, 1e6f, true},    {8000, 3, 12, 13, 0.3f, true},
        {1234.5678f, 15, 15, 15, 1.0f, true}, {192000, 9, 3, 4, 1e-30f, false},
    };
    for (const auto &c : cases) {
        std::vector<float> in = probe_signal(12000, 4);
        for (float &x : in)
            x *= c.level;
        FilterEngine e = probe_engine(c.fs, 15, 15, 15);
        if (c.warm) {
            float x = 0.0f;
            for (int i = 0; i < 700; ++i)
                engine_process(&e, &x, &x, 1);
        }
        const float ref = 6.430967f * std::fmin(std::fmax(e.cutoff_table_value, 0.000001f), 2047.0f);
        engine_reset(&e, c.cutoff, c.amt, c.speed);
        const std::vector<float> got = probe_render(&e, in, 333);
        const std::vector<float> want = reference_render(c.fs, c.cutoff, c.amt, c.speed, ref, in);
        size_t same = 0;
        while (same < got.size() && std::memcmp(&got[same], &want[same], 4) == 0)
            ++same;
        EXPECT_EQ(same, got.size()) << c.fs << " Hz, first difference at " << same;
    }
}

TEST(Engine, TickPeriodIsTenMillisecondsRoundedHalfAwayFromZero)
{
    const struct {
        float fs;
        uint32_t period;
    } cases[] = {{44100.0f, 441}, {48000.0f, 480}, {22050.0f, 221}, {96000.0f, 960}, {10.0f, 1}, {0.0f, 1}, {NAN, 1}};
    for (const auto &c : cases) {
        FilterEngine e = probe_engine(c.fs, 15, 0, 7);
        EXPECT_EQ(e.tick_period, c.period) << c.fs;
        // Even without a usable rate the output stays finite.
        const std::vector<float> out = probe_render(&e, probe_signal(2000, 5), 2000);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return std::isfinite(v); })) << c.fs;
    }
}

TEST(Engine, AmountZeroHoldsTheRegisterAndItsCutoff)
{
    for (int cutoff : {0, 7, 15}) {
        FilterEngine e = probe_engine(48000, static_cast<float>(cutoff), 0, 15);
        for (int r : registers(&e, 300))
            ASSERT_EQ(r, cutoff * 16 + 8);
        EXPECT_EQ(e.cutoff_table_value, cutoff_freq_table[cutoff * 16 + 8]);
    }
    FilterEngine e = probe_engine(48000, 15, 0, 7);
    registers(&e, 1);
    EXPECT_EQ(e.cutoff_table_value, 320.0f);
    engine_reset(&e, 0, 0, 7); // the reference keeps the last tick's cutoff in Hz
    EXPECT_NEAR(e.ref_cutoff, 2057.9f, 0.05f);
}

TEST(Engine, RegisterClampsAtBothEnds)
{
    FilterEngine hi = probe_engine(48000, 15, 15, 15);
    const std::vector<int> up = registers(&hi, 256);
    EXPECT_EQ(*std::max_element(up.begin(), up.end()), 255);
    EXPECT_EQ(*std::min_element(up.begin(), up.end()), 248 - 127);
    FilterEngine lo = probe_engine(48000, 0, 15, 15);
    const std::vector<int> down = registers(&lo, 256);
    EXPECT_EQ(*std::min_element(down.begin(), down.end()), 0);
    EXPECT_EQ(*std::max_element(down.begin(), down.end()), 8 + 127);
}

TEST(Engine, FirstTickFollowsTheResetAndReadsThePhaseAfterOneStep)
{
    FilterEngine e = probe_engine(48000, 7, 15, 15);
    EXPECT_EQ(engine_get_mod_cutoff(&e), 120);
    float x = 0.0f;
    engine_process(&e, &x, &x, 1);
    EXPECT_EQ(e.lfo_phase, 64);
    EXPECT_EQ(engine_get_mod_cutoff(&e), 247);
    EXPECT_EQ(e.tick_countdown, 479u);
    engine_process(&e, &x, &x, 0); // an empty block changes nothing
    EXPECT_EQ(e.tick_countdown, 479u);
}

TEST(Engine, OutputDoesNotDependOnBlockSize)
{
    // Loud input drives the saturator through all of its ranges.
    for (float gain : {1.0f, 40.0f}) {
        std::vector<float> in = probe_signal(5000, 1);
        for (float &x : in)
            x *= gain;
        FilterEngine ref = probe_engine(48000, 7, 15, 15);
        const std::vector<float> whole = probe_render(&ref, in, 5000);
        for (unsigned block : {1u, 3u, 64u, 1000u, 479u}) {
            FilterEngine e = probe_engine(48000, 7, 15, 15);
            EXPECT_EQ(probe_render(&e, in, block), whole) << block << " " << gain;
        }
        // In place gives the same samples.
        FilterEngine e = probe_engine(48000, 7, 15, 15);
        std::vector<float> buf = in;
        engine_process(&e, buf.data(), buf.data(), static_cast<uint32_t>(buf.size()));
        EXPECT_EQ(buf, whole);
    }
}

TEST(Engine, SilenceDecaysToSilence)
{
    FilterEngine e = probe_engine(48000, 15, 0, 7);
    std::vector<float> in = probe_signal(4800, 2);
    in.resize(48000 * 3, 0.0f);
    const std::vector<float> out = probe_render(&e, in, 256);
    float tail = 0.0f;
    for (size_t i = out.size() - 4800; i < out.size(); ++i)
        tail = std::max(tail, std::fabs(out[i]));
    EXPECT_LT(tail, 1e-7f);
}

TEST(Engine, SetterTakesEffectAtTheNextTick)
{
    FilterEngine e = probe_engine(48000, 15, 0, 7);
    std::vector<float> buf(100, 0.0f);
    engine_process(&e, buf.data(), buf.data(), 100);
    engine_set_cutoff(&e, 3.0f);
    EXPECT_EQ(e.cutoff_reg, 56);
    EXPECT_EQ(engine_get_mod_cutoff(&e), 248);
    buf.assign(380, 0.0f);
    engine_process(&e, buf.data(), buf.data(), 380);
    EXPECT_EQ(engine_get_mod_cutoff(&e), 248);
    EXPECT_EQ(e.cutoff_table_value, 320.0f);
    engine_process(&e, buf.data(), buf.data(), 1);
    EXPECT_EQ(engine_get_mod_cutoff(&e), 56);
    EXPECT_EQ(e.cutoff_table_value, cutoff_freq_table[56]);
}

TEST(Engine, SettersNeverMoveTheLfoPhase)
{
    FilterEngine a = probe_engine(48000, 7, 15, 6), b = a;
    std::vector<float> buf(250, 0.0f);
    std::vector<int> ra, rb;
    for (int i = 0; i < 40; ++i) {
        engine_process(&a, buf.data(), buf.data(), 250);
        engine_process(&b, buf.data(), buf.data(), 250);
        if (i == 9) { // the same values, set again between ticks
            engine_set_cutoff(&b, 7);
            engine_set_lfo_amt(&b, 15);
            engine_set_lfo_speed(&b, 6);
        }
        ra.push_back(engine_get_mod_cutoff(&a));
        rb.push_back(engine_get_mod_cutoff(&b));
    }
    EXPECT_EQ(ra, rb);
    EXPECT_EQ(a.lfo_phase, b.lfo_phase);
}

TEST(Engine, ResetClampsValuesOutsideTheTables)
{
    FilterEngine e = probe_engine(48000, 99.0f, -4.0f, NAN);
    EXPECT_EQ(e.cutoff_reg, 248);
    EXPECT_EQ(e.lfo_amt_index, 0);
    EXPECT_EQ(e.lfo_speed_index, 0);
    EXPECT_EQ(engine_get_param(&e, PARAM_CUTOFF), 15.0f);
    engine_reset(&e, 7.6f, 15.0f, 1e30f);
    EXPECT_EQ(e.cutoff_reg, 120); // truncated, not rounded
    EXPECT_EQ(e.lfo_speed_index, 15);
}

// The response depends on the cutoff of the last tick before the reset.
TEST(Engine, FreshAndWarmResponsesPeakWhereTheReferenceCutoffPutsThem)
{
    FilterEngine fresh = probe_engine(48000, 15, 0, 7);
    EXPECT_NEAR(fresh.ref_cutoff, 6.430967e-6f, 1e-10f);
    const Peak p1 = find_peak(fresh, 900, 1150, 5);
    EXPECT_NEAR(p1.hz, 1015, 20);
    EXPECT_NEAR(p1.gain, 1.98 * 0.99, 0.02);

    FilterEngine warm = fresh;
    float x = 0.0f;
    engine_process(&warm, &x, &x, 1);
    engine_reset(&warm, 15, 0, 7);
    EXPECT_NEAR(warm.ref_cutoff, 2057.9f, 0.05f);
    const Peak p2 = find_peak(warm, 1950, 2150, 5);
    EXPECT_NEAR(p2.hz, 2045, 20);
    EXPECT_NEAR(p2.gain, 2.70 * 0.99, 0.03);
}

// Low sample rates with a reference cutoff far above the current one, after
// a rate change or a jump from a high Cutoff to a low one, stay bounded.
TEST(Engine, StaysBoundedAtLowSampleRates)
{
    const struct {
        float rate;
        float before[3];
        float after[3];
    } cases[] = {
        {1234.5678f, {15, 15, 15}, {15, 15, 15}}, {11025.0f, {15, 0, 7}, {0, 0, 7}},
        {8000.0f, {15, 15, 3}, {0, 15, 15}},      {4000.0f, {15, 15, 15}, {15, 15, 15}},
        {16000.0f, {15, 0, 0}, {0, 15, 15}},      {300.0f, {15, 15, 15}, {3, 15, 15}},
    };
    const std::vector<float> in = probe_signal(20000, 9);
    for (const auto &c : cases) {
        FilterEngine e = probe_engine(48000, c.before[0], c.before[1], c.before[2]);
        probe_render(&e, in, 512);
        engine_init(&e, c.rate);
        engine_reset(&e, c.after[0], c.after[1], c.after[2]);
        const std::vector<float> out = probe_render(&e, in, 512);
        const float peak = std::fabs(*std::max_element(
            out.begin(), out.end(), [](float a, float b) { return !(std::fabs(a) >= std::fabs(b)); }));
        EXPECT_LT(peak, 20.0f) << c.rate;
    }
}

TEST(Engine, ProcessRestoresJustTheDenormalBits)
{
    FilterEngine e = probe_engine(48000, 15, 0, 7);
    std::vector<float> buf(64, 0.1f);
    const uint32_t before = _mm_getcsr();
    _mm_setcsr((before & ~(FP_MODE_FTZ | FP_MODE_DAZ)) | 0x6000u); // round toward zero, flushing off
    const uint32_t set = _mm_getcsr() & ~0x3Fu;
    engine_process(&e, buf.data(), buf.data(), 64);
    EXPECT_EQ(_mm_getcsr() & ~0x3Fu, set);
    _mm_setcsr(before | FP_MODE_FTZ);
    engine_process(&e, buf.data(), buf.data(), 64);
    EXPECT_EQ(_mm_getcsr() & (FP_MODE_FTZ | FP_MODE_DAZ), FP_MODE_FTZ);
    // Inside the block denormal input reads as zero and leaves no trace in the state.
    _mm_setcsr(before & ~(FP_MODE_FTZ | FP_MODE_DAZ));
    FilterEngine f = probe_engine(48000, 15, 0, 7);
    std::vector<float> tiny(8, 1e-40f);
    engine_process(&f, tiny.data(), tiny.data(), 8);
    EXPECT_EQ(f.hp_in.s, 0.0f);
    _mm_setcsr(before);
}

// The figures the editor shows, against what a running engine does.
TEST(EngineFigures, MatchTheRunningEngine)
{
    for (uint8_t i = 0; i < 16; ++i) {
        FilterEngine e = probe_engine(48000, i, 0, 0);
        EXPECT_EQ(registers(&e, 1)[0], engine_cutoff_reg(i)) << +i;
        e = probe_engine(48000, 7, 15, i); // 100 ticks of 480 samples are one second
        unsigned travel = 0;
        for (int t = 0; t < 100; ++t) {
            const uint8_t before = e.lfo_phase;
            registers(&e, 1);
            travel += static_cast<uint8_t>(e.lfo_phase - before);
        }
        EXPECT_EQ(engine_lfo_hz(i), static_cast<float>(travel) / 256.0f) << +i;
        e = probe_engine(48000, 7, i, 0); // speed 0 visits every phase; at Cutoff 7 the peak is not clamped
        const std::vector<int> regs = registers(&e, 256);
        const int peak = *std::max_element(regs.begin(), regs.end()) - engine_cutoff_reg(7);
        EXPECT_EQ(engine_lfo_depth_steps(i), static_cast<float>(peak) / 16.0f) << +i;
    }
    EXPECT_EQ(engine_lfo_hz(15), 25.0f);
    EXPECT_EQ(engine_lfo_depth_steps(200), 7.9375f);
    EXPECT_EQ(engine_cutoff_reg(255), 248);
}

// A bad sample makes the output non-finite from there to the end of its
// chunk (the block's end or the next tick, every 480 samples at 48 kHz). From
// that point on the output is that of an engine that never saw it, with its
// memories emptied there: the LFO, the parameters and the register go on.
TEST(Engine, RecoversFromBadInputAtTheEndOfItsChunk)
{
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const struct {
        const char *what;
        float value;
        uint32_t block, first, count, recovery, nonfinite; // recovery 0: nothing to recover from
    } cases[] = {
        {"NaN at a block start", nan, 64, 640, 1, 704, 64},
        {"NaN mid-block", nan, 64, 660, 1, 704, 44},
        {"NaN at a block's last sample", nan, 64, 703, 1, 704, 1},
        {"+inf at a block start", inf, 64, 640, 1, 704, 64},
        {"+inf mid-block", inf, 64, 660, 1, 704, 44},
        {"+inf at a block's last sample", inf, 64, 703, 1, 704, 1},
        // The saturator takes -inf to its finite floor; the samples after it are lost.
        {"-inf at a block start", -inf, 64, 640, 1, 704, 63},
        {"-inf mid-block", -inf, 64, 660, 1, 704, 43},
        {"-inf at a block's last sample", -inf, 64, 703, 1, 704, 0},
        {"NaN before a tick inside the block", nan, 512, 700, 1, 960, 260},
        {"NaN on the last sample before a tick", nan, 512, 959, 1, 960, 1},
        {"NaN in a block of one", nan, 1, 700, 1, 701, 1},
        {"a whole block of NaN", nan, 64, 640, 64, 704, 64},
        {"a whole block of NaN across a tick", nan, 512, 1024, 512, 1536, 512},
        {"a finite sample that overflows the saturator", 3e38f, 64, 660, 1, 704, 43},
        {"denormals", 1e-40f, 64, 640, 64, 0, 0},
    };
    const std::vector<float> clean = probe_signal(2400, 31);
    for (const auto &c : cases) {
        std::vector<float> bad = clean, good = clean, out_bad(clean.size()), out_good(clean.size());
        std::fill_n(bad.begin() + c.first, c.count, c.value);
        std::fill_n(good.begin() + c.first, c.count, 0.0f);
        FilterEngine a = probe_engine(48000, 8, 15, 15), b = a;
        for (uint32_t pos = 0; pos < clean.size(); pos += c.block) {
            const uint32_t n = std::min<uint32_t>(c.block, static_cast<uint32_t>(clean.size()) - pos);
            engine_process(&a, &bad[pos], &out_bad[pos], n);
            const uint32_t split = c.recovery > pos && c.recovery < pos + n ? c.recovery - pos : n;
            engine_process(&b, &good[pos], &out_good[pos], split);
            if (pos + split == c.recovery)
                b.hp = b.bp = b.lp = b.hp_in.s = b.lp_out.s = b.hp_out.s = 0.0f;
            engine_process(&b, &good[pos + split], &out_good[pos + split], n - split);
            ASSERT_EQ(engine_get_mod_cutoff(&a), engine_get_mod_cutoff(&b)) << c.what;
        }
        uint32_t nonfinite = 0, differ = 0;
        for (uint32_t i = 0; i < clean.size(); ++i) {
            nonfinite += !std::isfinite(out_bad[i]);
            if (i < c.first || i >= c.recovery)
                differ += std::memcmp(&out_bad[i], &out_good[i], sizeof(float)) != 0;
        }
        EXPECT_EQ(nonfinite, c.nonfinite) << c.what;
        EXPECT_EQ(differ, 0u) << c.what;
    }
}
