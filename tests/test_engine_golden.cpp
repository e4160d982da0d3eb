// Fingerprints of the engine's output for a fixed set of scenarios, recorded
// from the stage-by-stage engine. Any change to a single output bit or to the
// LFO register a block leaves behind changes the fingerprint. The values are
// the same on every build: SSE2 only, no contraction, no libm beyond floor,
// fabs and trunc.
#include "core/filter_engine.h"
#include "engine_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Fingerprint {
    uint64_t h = 0xCBF29CE484222325ull;

    void byte(uint8_t b)
    {
        h ^= b;
        h *= 0x100000001B3ull;
    }
    void word(uint32_t w)
    {
        for (int i = 0; i < 4; ++i)
            byte(static_cast<uint8_t>(w >> (8 * i)));
    }
    void samples(const float *p, uint32_t n)
    {
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t u;
            std::memcpy(&u, &p[i], 4);
            word(u);
        }
    }
};

std::vector<float> scaled_signal(unsigned n, unsigned seed, float gain)
{
    std::vector<float> s = probe_signal(n, seed);
    for (float &x : s)
        x *= gain;
    return s;
}

// Processes `in` in blocks of `block` (separate buffers, or in place),
// adding each block's samples and the register it leaves to `fp`.
void render(FilterEngine *e, const std::vector<float> &in, uint32_t block, bool in_place, Fingerprint *fp)
{
    std::vector<float> out(in.size());
    if (in_place)
        out = in;
    for (size_t pos = 0; pos < in.size(); pos += block) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, in.size() - pos));
        engine_process(e, in_place ? out.data() + pos : in.data() + pos, out.data() + pos, n);
        fp->samples(out.data() + pos, n);
        fp->byte(engine_get_mod_cutoff(e));
    }
}

uint64_t plain(float fs, float cutoff, float amt, float speed, uint32_t block, float gain, unsigned n = 24000)
{
    FilterEngine e = probe_engine(fs, cutoff, amt, speed);
    Fingerprint fp;
    render(&e, scaled_signal(n, 3, gain), block, false, &fp);
    return fp.h;
}

// Blocks of uneven sizes with setter calls after each, so that changes land
// right after a tick, in the middle and on the last sample before one.
uint64_t setters(float fs, uint32_t first_setting)
{
    FilterEngine e = probe_engine(fs, 9, 11, 13);
    const uint32_t t = e.tick_period;
    const uint32_t sizes[] = {1, t - 2, 1, 1, t / 3, t - t / 3, t, 7, t - 8, 2 * t + 5, 64};
    const std::vector<float> in = scaled_signal(20 * t, 5, 1.5f);
    Fingerprint fp;
    size_t pos = 0;
    uint32_t k = first_setting;
    for (size_t b = 0; pos < in.size(); ++b) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(sizes[b % 11], in.size() - pos));
        std::vector<float> out(n);
        engine_process(&e, in.data() + pos, out.data(), n);
        fp.samples(out.data(), n);
        fp.byte(engine_get_mod_cutoff(&e));
        pos += n;
        const float v = static_cast<float>((k * 7 + 3) % 19) - 1.5f; // includes values outside 0..15
        engine_set_param(&e, k % 3, v);
        ++k;
    }
    return fp.h;
}

// A reset after processing keeps the last tick's cutoff as the reference,
// optionally after a sample-rate change (low rates bound the prediction).
uint64_t reset_after(float fs_before, float fs_after, const float before[3], const float after[3], uint32_t block)
{
    FilterEngine e = probe_engine(fs_before, before[0], before[1], before[2]);
    Fingerprint fp;
    render(&e, scaled_signal(7000, 7, 1.0f), block, false, &fp);
    if (fs_after != fs_before)
        engine_init(&e, fs_after);
    engine_reset(&e, after[0], after[1], after[2]);
    render(&e, scaled_signal(16000, 8, 1.0f), block, false, &fp);
    return fp.h;
}

uint64_t silence(float fs, uint32_t block)
{
    FilterEngine e = probe_engine(fs, 4, 15, 15);
    Fingerprint fp;
    std::vector<float> in = scaled_signal(2000, 9, 1.0f);
    in.resize(30000, 0.0f);
    render(&e, in, block, false, &fp);
    return fp.h;
}

uint64_t in_place(float fs, uint32_t block, float gain)
{
    FilterEngine e = probe_engine(fs, 12, 15, 9);
    Fingerprint fp;
    render(&e, scaled_signal(20000, 11, gain), block, true, &fp);
    return fp.h;
}

void expect_fingerprint(uint64_t got, uint64_t want, const char *what)
{
    EXPECT_EQ(got, want) << what << ": got 0x" << std::hex << got << "ull";
}

} // namespace

TEST(EngineGolden, RatesAndBlockSizes)
{
    const float rates[] = {22050, 44100, 48000, 96000, 192000};
    const uint32_t blocks[] = {1, 7, 64, 512, 4096};
    const uint64_t want[5][5] = {
        {0x75b4517421f31cf4ull, 0xd386b3186393b2daull, 0xad9731fc2ed68ad6ull, 0xf84c5e0e7a38a809ull,
         0xb7ce3896aa3f65a5ull},
        {0xab5ae95a69fe72beull, 0x61ec068718244ae9ull, 0x144d99a590f1da8bull, 0xb868371404cb64caull,
         0x1d3def940aa8327ull},
        {0xf912262d115fe1cfull, 0xeb54fccbaaeebcbeull, 0xda43efde5b6daea0ull, 0xa4505a5e4b09e6b1ull,
         0xb50b2df5e2563d15ull},
        {0x9151c779792dd20aull, 0x6cc1722b86e819eeull, 0x66b317544caa19faull, 0xde7f6cb172d30b45ull,
         0xf37de94bbbb453abull},
        {0x3d2ade9addd8a407ull, 0xc9e715b9ca0c2140ull, 0x26aeb9b5573b6e65ull, 0x4b3855b6b08e635ull,
         0x7002c5058745fe63ull},
    };
    for (int r = 0; r < 5; ++r)
        for (int b = 0; b < 5; ++b) {
            char what[64];
            std::snprintf(what, sizeof what, "%g Hz, block %u", static_cast<double>(rates[r]), blocks[b]);
            expect_fingerprint(plain(rates[r], 8, 15, 7, blocks[b], 1.0f), want[r][b], what);
        }
}

TEST(EngineGolden, LfoSettings)
{
    const float values[] = {0, 7, 15};
    // [amount][speed][cutoff]
    const uint64_t want[3][3][3] = {
        {{0x2fef37a9c9c5027dull, 0x7791cd10915bc855ull, 0x2a3ea82ac8d6465bull},
         {0x2fef37a9c9c5027dull, 0x7791cd10915bc855ull, 0x2a3ea82ac8d6465bull},
         {0x2fef37a9c9c5027dull, 0x7791cd10915bc855ull, 0x2a3ea82ac8d6465bull}},
        {{0xbc8e8cbb55e18bc1ull, 0x6db49d64affff1c6ull, 0x1df57753a5176368ull},
         {0x4cbae4fab5cd281dull, 0xa737454b9fe756cbull, 0xe1f57d3b60d87a4eull},
         {0xb0ac88ae9e7ae877ull, 0x576df411d37e12bcull, 0x23b4398135bd79f5ull}},
        {{0x4919e20d30397b00ull, 0x4cecb7f76f64e863ull, 0x8a6ffcf86d181832ull},
         {0x18b60694b9fe5b50ull, 0x7f85782ac884e690ull, 0x66697b709a741adfull},
         {0x751e36e9ad0a71bcull, 0xbb7ad9da4e4952f7ull, 0xa81851c3fad2b007ull}},
    };
    for (int a = 0; a < 3; ++a)
        for (int s = 0; s < 3; ++s)
            for (int c = 0; c < 3; ++c) {
                char what[64];
                std::snprintf(what, sizeof what, "amount %g, speed %g, cutoff %g", static_cast<double>(values[a]),
                              static_cast<double>(values[s]), static_cast<double>(values[c]));
                expect_fingerprint(plain(48000, values[c], values[a], values[s], 64, 1.0f), want[a][s][c], what);
            }
}

TEST(EngineGolden, SetterChangesBetweenTicks)
{
    expect_fingerprint(setters(48000, 0), 0x8f9cbe9b9f957f71ull, "48 kHz");
    expect_fingerprint(setters(44100, 1), 0x6a105bf84ab435c4ull, "44.1 kHz");
    expect_fingerprint(setters(22050, 2), 0xa246b428f7375a15ull, "22.05 kHz");
    expect_fingerprint(setters(192000, 5), 0xde46acafdae6316cull, "192 kHz");
}

TEST(EngineGolden, ResetAfterProcessing)
{
    const float high[3] = {15, 15, 15}, low[3] = {0, 15, 15}, still[3] = {15, 0, 7}, mid[3] = {6, 7, 3};
    expect_fingerprint(reset_after(48000, 48000, high, low, 64), 0x184339044ff6a410ull, "48 kHz high to low");
    expect_fingerprint(reset_after(48000, 48000, still, mid, 7), 0xf7661c576fb78c10ull, "48 kHz still to mid");
    expect_fingerprint(reset_after(44100, 44100, low, high, 512), 0x912dd74f89bc9813ull, "44.1 kHz low to high");
    // Below 22 kHz a reference far above the new cutoff meets the bound on the prediction.
    expect_fingerprint(reset_after(48000, 11025, high, low, 512), 0xacc45b827ddcf72full, "48 to 11.025 kHz");
    expect_fingerprint(reset_after(96000, 8000, high, still, 1), 0x29126567cfe26698ull, "96 to 8 kHz");
}

TEST(EngineGolden, Silence)
{
    expect_fingerprint(silence(48000, 512), 0x4cb3bc6b3e265ae7ull, "48 kHz");
    expect_fingerprint(silence(96000, 7), 0x4b561f5879fb7346ull, "96 kHz");
}

TEST(EngineGolden, LoudInputReachesTheSaturatorsLimits)
{
    expect_fingerprint(plain(48000, 7, 15, 15, 64, 40.0f), 0x217dca962a71f8d1ull, "gain 40");
    expect_fingerprint(plain(44100, 15, 0, 7, 7, 1e4f), 0xfac9c679640b85daull, "gain 1e4");
    expect_fingerprint(plain(22050, 0, 15, 3, 512, 1e6f), 0xfaabd23962e0dbafull, "gain 1e6");
}

TEST(EngineGolden, InPlace)
{
    expect_fingerprint(in_place(48000, 64, 1.0f), 0xe11127ee082dc53bull, "48 kHz");
    expect_fingerprint(in_place(44100, 1, 1.0f), 0x3c0c50d6f679a012ull, "44.1 kHz, block 1");
    expect_fingerprint(in_place(96000, 4096, 40.0f), 0x907e54b8631318feull, "96 kHz, loud");
}

// The fingerprints above must see the saturator's floor: loud negative input
// drives the output close to its limit of -4.02.
TEST(EngineGolden, LoudScenarioDrivesTheSaturatorToItsNegativeLimit)
{
    FilterEngine e = probe_engine(44100, 15, 0, 7);
    const std::vector<float> in = scaled_signal(24000, 3, 1e4f);
    std::vector<float> out(in.size());
    engine_process(&e, in.data(), out.data(), static_cast<uint32_t>(in.size()));
    float lowest = 0.0f;
    for (float v : out)
        lowest = std::min(lowest, v);
    EXPECT_LT(lowest, -3.9f);
}
