#include "engine_probe.h"

#include <cmath>
#include <cstdint>
#include <numbers>

FilterEngine probe_engine(float fs, float cutoff, float amt, float speed)
{
    FilterEngine e;
    engine_construct(&e);
    engine_init(&e, fs);
    engine_reset(&e, cutoff, amt, speed);
    return e;
}

std::vector<float> probe_render(FilterEngine *e, const std::vector<float> &in, unsigned block)
{
    std::vector<float> out(in.size());
    for (size_t pos = 0; pos < in.size(); pos += block) {
        const size_t n = std::min<size_t>(block, in.size() - pos);
        engine_process(e, in.data() + pos, out.data() + pos, static_cast<uint32_t>(n));
    }
    return out;
}

double probe_sine_gain(const FilterEngine &engine, double hz)
{
    FilterEngine e = engine;
    const double amp = 0.01;                        // small enough for the saturator to stay close to linear
    const unsigned n = static_cast<unsigned>(e.fs); // one second; the tail is steady
    std::vector<float> in(n);
    for (unsigned i = 0; i < n; ++i)
        in[i] = static_cast<float>(amp * std::sin(2.0 * std::numbers::pi * hz * i / e.fs));
    const std::vector<float> out = probe_render(&e, in, 512);
    double peak = 0.0;
    for (unsigned i = n / 2; i < n; ++i)
        peak = std::max(peak, std::fabs(static_cast<double>(out[i])));
    return peak / amp;
}

std::vector<float> probe_signal(unsigned n, unsigned seed)
{
    std::vector<float> s(n);
    uint32_t x = seed * 2654435761u + 1u;
    for (unsigned i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        const float noise = static_cast<float>(x >> 8) / 16777216.0f - 0.5f;
        const float saw = static_cast<float>(i % 200) / 100.0f - 1.0f;
        s[i] = 0.4f * saw + 0.2f * noise;
    }
    return s;
}
