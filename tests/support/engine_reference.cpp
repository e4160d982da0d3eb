#include "engine_reference.h"

#include "core/filter_engine.h"
#include "core/fp_mode.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

float from_bits(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

uint32_t to_bits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

float recip(float x)
{
    float y = from_bits(0x7EF0E840u - to_bits(x));
    y = y * (2.0f - x * y);
    return y * (2.0f - x * y);
}

float sin_cycles(float p)
{
    float x = p - std::floor(p);
    float k = 2.0f * x - 1.0f;
    float l = 1.5707964f - 1.5707964f * std::fabs(2.0f * std::fabs(k) - 1.0f);
    float s = l - 0.05738534f * (l * l) - 0.11073982f * (l * l * l);
    return k < 0.0f ? s : -s;
}

float tan_cycles(float p) { return sin_cycles(p) * recip(sin_cycles(p + 0.25f)); }

struct Section {
    float b0, b1, a1, s = 0.0f;
    float run(float x)
    {
        float y = b0 * x + s;
        s = b1 * x - a1 * y;
        return y;
    }
};

Section section(float f, float fs, bool highpass)
{
    float m = std::fmin(f, 0.499f * fs);
    float k = f * tan_cycles(m / (2.0f * fs)) * recip(m);
    if (highpass) {
        float b0 = 1.0f / (1.0f + k);
        return {b0, -b0, (k - 1.0f) / (k + 1.0f)};
    }
    float b = k / (1.0f + k);
    return {b, b, (k - 1.0f) / (k + 1.0f)};
}

float omega(float u)
{
    if (u >= 1e9f)
        return u;
    float w0;
    if (u < -3.3414595f) {
        w0 = 0.0f;
    } else if (u < 8.0f) {
        w0 = ((-0.0013142931f * u + 0.047759313f) * u + 0.36319527f) * u + 0.63131833f;
    } else {
        uint32_t b = to_bits(u);
        float e = static_cast<float>(b >> 23);
        float m = from_bits((b & 0x7FFFFFu) | 0x3F800000u);
        w0 = u - 0.6931472f * (e - 129.21347f + ((0.16404256f * m - 1.0988653f) * m + 3.148298f) * m);
    }
    float t = (u - w0) * 1.442695f;
    float e = 0.0f;
    if (t >= -126.0f) {
        int i = static_cast<int>(t);
        if (t < 0.0f)
            i -= 1;
        float f = t - static_cast<float>(i);
        e = std::ldexp(1.0f + f * (0.6931472f + f * (0.22741129f + f * 0.07944154f)), i);
        if (i + 127 <= 0)
            e = 0.0f; // no denormals: the block runs with them flushed
    }
    return w0 - (w0 - e) * recip(w0 + 1.0f);
}

} // namespace

std::vector<float> reference_render(float fs, float cutoff, float amt, float speed, float ref_cutoff,
                                    const std::vector<float> &in)
{
    Section hp_in = section(4.314194f, fs, true), lp_out = section(15915.494f, fs, false),
            hp_out = section(1.0f, fs, true);
    const uint32_t period = static_cast<uint32_t>(std::trunc(0.01f * fs + 0.5f));
    const int reg = static_cast<int>(cutoff) * 16 + 8;
    uint32_t countdown = 0;
    uint8_t phase = 0;
    float table_value = 0.0f;
    float hp = 0, bp = 0, lp = 0;
    std::vector<float> out;
    const uint32_t saved = fp_mode_flush_denormals(); // as the engine runs its blocks
    for (float x : in) {
        if (countdown == 0) {
            phase = static_cast<uint8_t>(phase + lfo_step_table[static_cast<int>(speed)]);
            int v = reg + lfo_wave_table[static_cast<int>(amt)][phase];
            v = v < 0 ? 0 : v > 255 ? 255 : v;
            table_value = static_cast<float>(cutoff_freq_table[v]);
            countdown = period;
        }
        --countdown;
        float y = hp_in.run(x);

        float fc = 6.430967f * std::fmin(std::fmax(table_value, 0.000001f), 2047.0f);
        float fcc = std::fmin(std::fmax(fc, 0.000001f), 1e12f);
        float w = std::fmin(fcc, 0.499f * fs);
        float kf = tan_cycles((3.1415927f / fs) * w * 0.15915494f) * recip(w);
        float k = std::fmin(fcc, w) * kf;
        float q = (0.0023695724f * 15.0f - 0.09443329f) * 15.0f + 1.2542953f;
        float r = recip(std::fmin(std::fmax(recip(q), 0.000001f), 1000000.0f));
        float kp = std::fmin(kf * ref_cutoff, k + 0.9f * r);
        float lp1 = lp + kp * bp, bp1 = bp + kp * hp;
        float g = recip(1.0f + k * (r + k));
        hp = g * (0.92871904f * y - (r + k) * bp1 - lp1);
        bp = bp1 + k * hp;
        lp = lp1 + k * bp;

        y = lp_out.run(-bp * -1.076752f);
        y = 0.026f * omega(38.46154f * y + 159.69313f) - 4.0209527f;
        out.push_back(hp_out.run(y));
    }
    fp_mode_restore(saved);
    return out;
}
