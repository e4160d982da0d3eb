// The engine as it was first written: each stage runs over the whole chunk
// between two LFO ticks before the next stage starts. Kept here, operation
// for operation, as the reference the fused engine must match bit for bit.
#include "engine_stagewise.h"

#include "core/fp_mode.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr float k_hz_per_unit = 6.430967f;
constexpr float k_svf_in_gain = 0.92871904f;
constexpr float k_post_gain = -1.076752f;
constexpr float k_resonance = 15.0f;

inline uint32_t bits_of(float x)
{
    uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline float float_of(uint32_t u)
{
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

inline float fast_recip(float x)
{
    const float y0 = float_of(0x7EF0E840u - bits_of(x));
    const float y1 = y0 * (2.0f - x * y0);
    return y1 * (2.0f - x * y1);
}

// sin(2 pi p), p in cycles.
inline float fast_sin(float p)
{
    const float x = p - std::floor(p);
    const float k = 2.0f * x - 1.0f;
    const float l = 1.5707964f - 1.5707964f * std::fabs(2.0f * std::fabs(k) - 1.0f);
    const float s = l - 0.05738534f * (l * l) - 0.11073982f * (l * l * l);
    return k < 0.0f ? s : -s;
}

// tan(2 pi p)
inline float fast_tan(float p) { return fast_sin(p) * fast_recip(fast_sin(p + 0.25f)); }

inline float minf(float a, float b) { return b < a ? b : a; }
inline float maxf(float a, float b) { return b > a ? b : a; }

inline void one_pole_run(OnePole *f, const float *in, float *out, uint32_t n)
{
    const float b0 = f->b0, b1 = f->b1, a1 = f->a1;
    float s = f->s;
    for (uint32_t i = 0; i < n; ++i) {
        const float x = in[i];
        const float y = b0 * x + s;
        s = b1 * x - a1 * y;
        out[i] = y;
    }
    f->s = s;
}

inline float cutoff_hz(float table_value) { return k_hz_per_unit * minf(maxf(table_value, 0.000001f), 2047.0f); }

// Solves w + ln w = u. Written without branches, step for step as
// saturate4 below, so that both give the same bits.
inline float wright_omega(float u)
{
    // Initial estimate: 0 far below, a cubic in the middle, u - ln u above 8.
    const float poly = ((-0.0013142931f * u + 0.047759313f) * u + 0.36319527f) * u + 0.63131833f;
    const uint32_t b = bits_of(u);
    const float exponent = static_cast<float>(static_cast<int32_t>(b >> 23));
    const float m = float_of((b & 0x007FFFFFu) | 0x3F800000u);
    const float ln_u = 0.6931472f * (exponent - 129.21347f + ((0.16404256f * m - 1.0988653f) * m + 3.148298f) * m);
    float w0 = u < 8.0f ? poly : u - ln_u;
    w0 = u < -3.3414595f ? 0.0f : w0;

    // e^(u - w0) as 2^t. t stays below 128 for every finite u below 1e9;
    // the clamp only keeps the integer conversion defined.
    const float t = (u - w0) * 1.442695f;
    const float tc = t > -127.0f ? t : -127.0f;
    int32_t i = static_cast<int32_t>(tc < 127.0f ? tc : 127.0f);
    i -= tc < 0.0f ? 1 : 0;
    const float f = tc - static_cast<float>(i);
    const float mant = 1.0f + f * (0.6931472f + f * (0.22741129f + f * 0.07944154f));
    const int32_t biased = i + 127 > 0 ? i + 127 : 0;
    const float e = t < -126.0f ? 0.0f : float_of(static_cast<uint32_t>(biased) << 23) * mant;

    // One Newton step.
    const float w = w0 - (w0 - e) * fast_recip(w0 + 1.0f);
    return u >= 1e9f ? u : w;
}

inline float saturate(float y)
{
    const float u = 38.46154f * y + 159.69313f;
    return 0.026f * wright_omega(u) - 4.0209527f;
}

// Four samples of saturate() at once, operation for operation the same.
inline __m128 recip4(__m128 x)
{
    const __m128 two = _mm_set1_ps(2.0f);
    const __m128 y0 = _mm_castsi128_ps(_mm_sub_epi32(_mm_set1_epi32(0x7EF0E840), _mm_castps_si128(x)));
    const __m128 y1 = _mm_mul_ps(y0, _mm_sub_ps(two, _mm_mul_ps(x, y0)));
    return _mm_mul_ps(y1, _mm_sub_ps(two, _mm_mul_ps(x, y1)));
}

inline __m128 select4(__m128 mask, __m128 a, __m128 b)
{
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

inline __m128 saturate4(__m128 y)
{
    const __m128 u = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(38.46154f), y), _mm_set1_ps(159.69313f));
    __m128 poly = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(-0.0013142931f), u), _mm_set1_ps(0.047759313f));
    poly = _mm_add_ps(_mm_mul_ps(poly, u), _mm_set1_ps(0.36319527f));
    poly = _mm_add_ps(_mm_mul_ps(poly, u), _mm_set1_ps(0.63131833f));
    const __m128i b = _mm_castps_si128(u);
    const __m128 exponent = _mm_cvtepi32_ps(_mm_srli_epi32(b, 23));
    const __m128 m =
        _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(b, _mm_set1_epi32(0x007FFFFF)), _mm_set1_epi32(0x3F800000)));
    __m128 lpoly = _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(0.16404256f), m), _mm_set1_ps(1.0988653f));
    lpoly = _mm_add_ps(_mm_mul_ps(lpoly, m), _mm_set1_ps(3.148298f));
    lpoly = _mm_mul_ps(lpoly, m);
    const __m128 ln_u =
        _mm_mul_ps(_mm_set1_ps(0.6931472f), _mm_add_ps(_mm_sub_ps(exponent, _mm_set1_ps(129.21347f)), lpoly));
    __m128 w0 = select4(_mm_cmplt_ps(u, _mm_set1_ps(8.0f)), poly, _mm_sub_ps(u, ln_u));
    w0 = _mm_andnot_ps(_mm_cmplt_ps(u, _mm_set1_ps(-3.3414595f)), w0);

    const __m128 t = _mm_mul_ps(_mm_sub_ps(u, w0), _mm_set1_ps(1.442695f));
    const __m128 tc = select4(_mm_cmpgt_ps(t, _mm_set1_ps(-127.0f)), t, _mm_set1_ps(-127.0f));
    __m128i i = _mm_cvttps_epi32(select4(_mm_cmplt_ps(tc, _mm_set1_ps(127.0f)), tc, _mm_set1_ps(127.0f)));
    i = _mm_add_epi32(i, _mm_castps_si128(_mm_cmplt_ps(tc, _mm_setzero_ps())));
    const __m128 f = _mm_sub_ps(tc, _mm_cvtepi32_ps(i));
    __m128 mant = _mm_add_ps(_mm_set1_ps(0.22741129f), _mm_mul_ps(f, _mm_set1_ps(0.07944154f)));
    mant = _mm_add_ps(_mm_set1_ps(0.6931472f), _mm_mul_ps(f, mant));
    mant = _mm_add_ps(_mm_set1_ps(1.0f), _mm_mul_ps(f, mant));
    __m128i biased = _mm_add_epi32(i, _mm_set1_epi32(127));
    biased = _mm_and_si128(biased, _mm_cmpgt_epi32(biased, _mm_setzero_si128()));
    const __m128 scale = _mm_castsi128_ps(_mm_slli_epi32(biased, 23));
    const __m128 e = _mm_andnot_ps(_mm_cmplt_ps(t, _mm_set1_ps(-126.0f)), _mm_mul_ps(scale, mant));

    const __m128 w = _mm_sub_ps(w0, _mm_mul_ps(_mm_sub_ps(w0, e), recip4(_mm_add_ps(w0, _mm_set1_ps(1.0f)))));
    const __m128 omega = select4(_mm_cmpge_ps(u, _mm_set1_ps(1e9f)), u, w);
    return _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(0.026f), omega), _mm_set1_ps(4.0209527f));
}

void saturate_run(float *buf, uint32_t n)
{
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4)
        _mm_storeu_ps(buf + i, saturate4(_mm_loadu_ps(buf + i)));
    for (; i < n; ++i)
        buf[i] = saturate(buf[i]);
}

void lfo_tick(FilterEngine *e)
{
    e->lfo_phase = static_cast<uint8_t>(e->lfo_phase + lfo_step_table[e->lfo_speed_index]);
    int v = e->cutoff_reg + lfo_wave_table[e->lfo_amt_index][e->lfo_phase];
    v = v < 0 ? 0 : (v > 255 ? 255 : v);
    e->mod_cutoff_reg = static_cast<uint8_t>(v);
    e->cutoff_table_value = static_cast<float>(cutoff_freq_table[v]);
    e->tick_countdown = e->tick_period;
}

// The state-variable filter over one chunk, whose cutoff is fixed between ticks.
void svf_run(FilterEngine *e, float *buf, uint32_t n)
{
    const float fc = cutoff_hz(e->cutoff_table_value);
    const float fcc = minf(maxf(fc, 0.000001f), 1e12f);
    const float w = minf(fcc, e->warp_limit);
    const float kf = fast_tan(e->pi_over_fs * w * 0.15915494f) * fast_recip(w);
    // Below about 4.4 kHz the table's cutoffs pass the warping limit; the
    // filter then sits at the limit instead of past it.
    const float k = minf(fcc, w) * kf;
    const float q = (0.0023695724f * k_resonance - 0.09443329f) * k_resonance + 1.2542953f;
    const float big_q = minf(maxf(fast_recip(q), 0.000001f), 1000000.0f);
    const float r = fast_recip(big_q);
    // The prediction diverges once kp reaches k + r. That only happens at
    // sample rates below 22 kHz with a reference cutoff far above the current
    // one (a rate change, or a low Cutoff after a high one); bound it there.
    const float kp = minf(kf * e->ref_cutoff, k + 0.9f * r);
    const float rk = r + k;
    const float g = fast_recip(1.0f + k * rk);

    float hp = e->hp, bp = e->bp, lp = e->lp;
    for (uint32_t i = 0; i < n; ++i) {
        const float lp1 = lp + kp * bp;
        const float bp1 = bp + kp * hp;
        hp = g * (k_svf_in_gain * buf[i] - rk * bp1 - lp1);
        bp = bp1 + k * hp;
        lp = lp1 + k * bp;
        buf[i] = -bp;
    }
    e->hp = hp;
    e->bp = bp;
    e->lp = lp;
}

} // namespace

void stagewise_process(FilterEngine *e, const float *in, float *out, uint32_t n)
{
    const uint32_t saved = fp_mode_flush_denormals();
    uint32_t pos = 0;
    while (pos < n) {
        if (e->tick_countdown == 0)
            lfo_tick(e);
        uint32_t chunk = n - pos;
        if (chunk > e->tick_countdown)
            chunk = e->tick_countdown;
        float *o = out + pos;
        one_pole_run(&e->hp_in, in + pos, o, chunk);
        svf_run(e, o, chunk);
        for (uint32_t i = 0; i < chunk; ++i)
            o[i] *= k_post_gain;
        one_pole_run(&e->lp_out, o, o, chunk);
        saturate_run(o, chunk);
        one_pole_run(&e->hp_out, o, o, chunk);
        // Added with the recovery from bad input: a memory that is not
        // finite at the end of a chunk empties all six.
        float *memories[] = {&e->hp_in.s, &e->lp_out.s, &e->hp_out.s, &e->hp, &e->bp, &e->lp};
        if (!std::all_of(memories, memories + 6, [](const float *m) { return std::isfinite(*m); }))
            for (float *m : memories)
                *m = 0.0f;
        e->tick_countdown -= chunk;
        pos += chunk;
    }
    fp_mode_restore(saved);
}
