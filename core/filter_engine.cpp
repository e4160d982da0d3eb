#include "filter_engine.h"

#include "float_bits.h"
#include "fp_mode.h"

#include <emmintrin.h>

#include <cmath>
#include <cstring>

const uint8_t lfo_step_table[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 16, 21, 28, 37, 49, 64};

const int8_t lfo_wave_table[16][256] = {
#include "lfo_wave_table.inc"
};

// Sixteen registers a line: one line per Cutoff step.
// clang-format off
const uint16_t cutoff_freq_table[256] = {
    62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  62,
    62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  62,  63,  63,  63,  63,  63,
    63,  63,  63,  63,  63,  63,  63,  63,  63,  63,  63,  64,  64,  64,  64,  64,
    64,  64,  64,  64,  65,  65,  65,  65,  65,  65,  65,  66,  66,  66,  66,  66,
    67,  67,  67,  67,  68,  68,  68,  68,  68,  69,  69,  69,  70,  70,  70,  71,
    71,  71,  72,  72,  72,  73,  73,  73,  74,  74,  75,  75,  75,  76,  76,  77,
    77,  78,  78,  79,  79,  80,  80,  81,  81,  82,  82,  83,  83,  84,  85,  85,
    86,  87,  87,  88,  89,  89,  90,  91,  91,  92,  93,  94,  94,  95,  96,  97,
    98,  98,  99,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112,
    113, 114, 115, 116, 117, 118, 119, 120, 121, 123, 124, 125, 126, 128, 129, 130,
    131, 133, 134, 135, 137, 138, 139, 141, 142, 144, 145, 147, 148, 150, 151, 153,
    154, 156, 157, 159, 161, 162, 164, 166, 167, 169, 171, 173, 174, 176, 178, 180,
    182, 184, 185, 187, 189, 191, 193, 195, 197, 199, 201, 203, 206, 208, 210, 212,
    214, 216, 219, 221, 223, 225, 228, 230, 232, 235, 237, 239, 242, 244, 247, 249,
    252, 254, 257, 260, 262, 265, 268, 270, 273, 276, 278, 281, 284, 287, 290, 293,
    296, 298, 301, 304, 307, 310, 313, 317, 320, 323, 326, 329, 332, 336, 339, 342,
};
// clang-format on

namespace {

constexpr float k_hz_per_unit = 6.430967f;
constexpr float k_tick_seconds = 0.01f; // the LFO advances once a tick
constexpr int k_regs_per_step = 16;     // cutoff registers per Cutoff step
constexpr float k_pi = 3.1415927f;
constexpr float k_svf_in_gain = 0.92871904f;
constexpr float k_post_gain = -1.076752f;
constexpr float k_resonance = 15.0f;
// The saturator: u = k_sat_in_gain * y + k_sat_in_offset, then
// out = k_sat_out_gain * omega(u) - k_sat_out_offset (0 maps to about 0).
constexpr float k_sat_in_gain = 38.46154f;
constexpr float k_sat_in_offset = 159.69313f;
constexpr float k_sat_out_gain = 0.026f;
constexpr float k_sat_out_offset = 4.0209527f;
// Where the Wright omega estimate changes form: 0 below the first, a cubic
// below the second, u - ln u above it; omega(u) is u itself past the last.
constexpr float k_omega_zero_below = -3.3414595f;
constexpr float k_omega_cubic_below = 8.0f;
constexpr float k_omega_linear_above = 1e9f;
// The cubic estimate of omega, ln u from the exponent and a mantissa
// polynomial, and 2^f on [0, 1): coefficients shared by the scalar and the
// four-wide forms.
constexpr float k_omega_c3 = -0.0013142931f, k_omega_c2 = 0.047759313f, k_omega_c1 = 0.36319527f,
                k_omega_c0 = 0.63131833f;
constexpr float k_log_bias = 129.21347f, k_log_m2 = 0.16404256f, k_log_m1 = 1.0988653f, k_log_m0 = 3.148298f;
constexpr float k_exp2_c2 = 0.22741129f, k_exp2_c3 = 0.07944154f;
constexpr float k_ln2 = 0.6931472f;
constexpr float k_log2e = 1.442695f;
constexpr float k_inv_two_pi = 0.15915494f;

inline float fast_recip(float x)
{
    const float y0 = float_from_bits(0x7EF0E840u - float_bits(x));
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

// Warped coefficient of a first-order section.
float warped_k(float f, float fs)
{
    const float m = minf(f, 0.499f * fs);
    return f * fast_tan(m / (2.0f * fs)) * fast_recip(m);
}

OnePole one_pole_highpass(float f, float fs)
{
    const float k = warped_k(f, fs);
    const float b0 = 1.0f / (1.0f + k);
    return OnePole{b0, -b0, (k - 1.0f) / (k + 1.0f), 0.0f};
}

OnePole one_pole_lowpass(float f, float fs)
{
    const float k = warped_k(f, fs);
    const float b = k / (1.0f + k);
    return OnePole{b, b, (k - 1.0f) / (k + 1.0f), 0.0f};
}

inline float cutoff_hz(float table_value) { return k_hz_per_unit * minf(maxf(table_value, 0.000001f), 2047.0f); }

// Parameter values come from the host; keep them inside their range, which
// the amount and speed tables have one row per whole number of. NaN gives the
// minimum.
inline float clamp_param(uint32_t index, float v)
{
    const float lo = static_cast<float>(k_params[index].min), hi = static_cast<float>(k_params[index].max);
    return !(v > lo) ? lo : (v > hi ? hi : v);
}
static_assert(sizeof lfo_step_table == k_params[PARAM_LFO_SPEED].max + 1, "a step per LFO Speed");
static_assert(sizeof lfo_wave_table / sizeof lfo_wave_table[0] == k_params[PARAM_LFO_AMT].max + 1,
              "a row per LFO Amount");
static_assert(sizeof cutoff_freq_table / sizeof cutoff_freq_table[0] == k_params[PARAM_MOD_CUTOFF].max + 1,
              "a cutoff per Modulated Cutoff register");

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

// The saturator, four samples at once: u = k_sat_in_gain * y +
// k_sat_in_offset, out = k_sat_out_gain * omega(u) - k_sat_out_offset, where
// omega(u) solves w + ln w = u: an initial estimate, e^(u - w0) as 2^t, one
// Newton step, and u itself past k_omega_linear_above. Without branches, in
// three steps of about equal latency, so that the engine can run each on a
// different group of four samples and find every step's input ready. The
// state passed from step to step:
struct Sat4 {
    __m128 u, w0, e, r;
};

// Initial estimate of omega: 0 far below, a cubic in the middle, u - ln u
// above 8, with ln u from the exponent and a mantissa polynomial.
inline Sat4 saturate4_estimate(__m128 y)
{
    const __m128 u = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(k_sat_in_gain), y), _mm_set1_ps(k_sat_in_offset));
    __m128 poly = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(k_omega_c3), u), _mm_set1_ps(k_omega_c2));
    poly = _mm_add_ps(_mm_mul_ps(poly, u), _mm_set1_ps(k_omega_c1));
    poly = _mm_add_ps(_mm_mul_ps(poly, u), _mm_set1_ps(k_omega_c0));
    const __m128i b = _mm_castps_si128(u);
    const __m128 exponent = _mm_cvtepi32_ps(_mm_srli_epi32(b, 23));
    const __m128 m =
        _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(b, _mm_set1_epi32(0x007FFFFF)), _mm_set1_epi32(0x3F800000)));
    __m128 lpoly = _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(k_log_m2), m), _mm_set1_ps(k_log_m1));
    lpoly = _mm_add_ps(_mm_mul_ps(lpoly, m), _mm_set1_ps(k_log_m0));
    lpoly = _mm_mul_ps(lpoly, m);
    const __m128 ln_u =
        _mm_mul_ps(_mm_set1_ps(k_ln2), _mm_add_ps(_mm_sub_ps(exponent, _mm_set1_ps(k_log_bias)), lpoly));
    __m128 w0 = select4(_mm_cmplt_ps(u, _mm_set1_ps(k_omega_cubic_below)), poly, _mm_sub_ps(u, ln_u));
    w0 = _mm_andnot_ps(_mm_cmplt_ps(u, _mm_set1_ps(k_omega_zero_below)), w0);
    return Sat4{u, w0, _mm_setzero_ps(), _mm_setzero_ps()};
}

// e^(u - w0), and the reciprocal the Newton step needs. t stays below 128
// for every finite u below 1e9; the clamp only keeps the integer conversion
// defined.
inline Sat4 saturate4_exp(Sat4 s)
{
    const __m128 t = _mm_mul_ps(_mm_sub_ps(s.u, s.w0), _mm_set1_ps(k_log2e));
    const __m128 tc = select4(_mm_cmpgt_ps(t, _mm_set1_ps(-127.0f)), t, _mm_set1_ps(-127.0f));
    __m128i i = _mm_cvttps_epi32(select4(_mm_cmplt_ps(tc, _mm_set1_ps(127.0f)), tc, _mm_set1_ps(127.0f)));
    i = _mm_add_epi32(i, _mm_castps_si128(_mm_cmplt_ps(tc, _mm_setzero_ps())));
    const __m128 f = _mm_sub_ps(tc, _mm_cvtepi32_ps(i));
    __m128 mant = _mm_add_ps(_mm_set1_ps(k_exp2_c2), _mm_mul_ps(f, _mm_set1_ps(k_exp2_c3)));
    mant = _mm_add_ps(_mm_set1_ps(k_ln2), _mm_mul_ps(f, mant));
    mant = _mm_add_ps(_mm_set1_ps(1.0f), _mm_mul_ps(f, mant));
    __m128i biased = _mm_add_epi32(i, _mm_set1_epi32(127));
    biased = _mm_and_si128(biased, _mm_cmpgt_epi32(biased, _mm_setzero_si128()));
    const __m128 scale = _mm_castsi128_ps(_mm_slli_epi32(biased, 23));
    s.e = _mm_andnot_ps(_mm_cmplt_ps(t, _mm_set1_ps(-126.0f)), _mm_mul_ps(scale, mant));
    s.r = recip4(_mm_add_ps(s.w0, _mm_set1_ps(1.0f)));
    return s;
}

// One Newton step and the output.
inline __m128 saturate4_finish(Sat4 s)
{
    const __m128 w = _mm_sub_ps(s.w0, _mm_mul_ps(_mm_sub_ps(s.w0, s.e), s.r));
    const __m128 omega = select4(_mm_cmpge_ps(s.u, _mm_set1_ps(k_omega_linear_above)), s.u, w);
    return _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(k_sat_out_gain), omega), _mm_set1_ps(k_sat_out_offset));
}

// The saturator for one sample, for calls of fewer than four: where the
// four-wide form selects between results, this computes only the one
// selected, by the same operations in the same order, so the bits are the
// same. Fewer instructions per call let the processor overlap more calls.
inline float saturate1(float y)
{
    const float u = k_sat_in_gain * y + k_sat_in_offset;
    float omega = u;
    if (!(u >= k_omega_linear_above)) {
        float w0 = 0.0f;
        if (u < k_omega_zero_below) {
        } else if (u < k_omega_cubic_below) {
            w0 = ((k_omega_c3 * u + k_omega_c2) * u + k_omega_c1) * u + k_omega_c0;
        } else {
            const uint32_t b = float_bits(u);
            const float exponent = static_cast<float>(static_cast<int32_t>(b >> 23));
            const float m = float_from_bits((b & 0x007FFFFFu) | 0x3F800000u);
            w0 = u - k_ln2 * (exponent - k_log_bias + ((k_log_m2 * m - k_log_m1) * m + k_log_m0) * m);
        }
        const float t = (u - w0) * k_log2e;
        float e = 0.0f;
        if (!(t < -126.0f)) {
            const float tc = t > -127.0f ? t : -127.0f;
            int32_t i = static_cast<int32_t>(tc < 127.0f ? tc : 127.0f);
            i -= tc < 0.0f ? 1 : 0;
            const float f = tc - static_cast<float>(i);
            const float mant = 1.0f + f * (k_ln2 + f * (k_exp2_c2 + f * k_exp2_c3));
            const int32_t biased = i + 127 > 0 ? i + 127 : 0;
            e = float_from_bits(static_cast<uint32_t>(biased) << 23) * mant;
        }
        omega = w0 - (w0 - e) * fast_recip(w0 + 1.0f);
    }
    return k_sat_out_gain * omega - k_sat_out_offset;
}

// The state-variable filter's coefficients for the cutoff of the last tick.
SvfCoefs svf_coefs(const FilterEngine *e)
{
    const float fc = cutoff_hz(e->cutoff_table_value);
    const float fcc = minf(maxf(fc, 0.000001f), 1e12f);
    const float w = minf(fcc, e->warp_limit);
    const float kf = fast_tan(e->pi_over_fs * w * k_inv_two_pi) * fast_recip(w);
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
    return SvfCoefs{k, kp, rk, g};
}

void lfo_tick(FilterEngine *e)
{
    e->lfo_phase = static_cast<uint8_t>(e->lfo_phase + lfo_step_table[e->lfo_speed_index]);
    int v = e->cutoff_reg + lfo_wave_table[e->lfo_amt_index][e->lfo_phase];
    const int top = static_cast<int>(k_params[PARAM_MOD_CUTOFF].max);
    v = v < 0 ? 0 : (v > top ? top : v);
    e->mod_cutoff_reg = static_cast<uint8_t>(v);
    e->cutoff_table_value = static_cast<float>(cutoff_freq_table[v]);
    e->tick_countdown = e->tick_period;
    e->svf = svf_coefs(e);
}

// x - x is 0 for every finite x and NaN for infinities and NaN.
inline bool all_finite(float a, float b, float c, float d, float e, float f)
{
    const float z = ((a - a) + (b - b)) + ((c - c) + (d - d)) + ((e - e) + (f - f));
    return z == z;
}

// Input high-pass and filter for one sample, then the gain.
inline float filter_step(const FilterEngine *e, float x, float &is, float &hp, float &bp, float &lp)
{
    const SvfCoefs &c = e->svf;
    const float a = e->hp_in.b0 * x + is;
    is = e->hp_in.b1 * x - e->hp_in.a1 * a;
    const float lp1 = lp + c.kp * bp;
    const float bp1 = bp + c.kp * hp;
    hp = c.g * (k_svf_in_gain * a - c.rk * bp1 - lp1);
    bp = bp1 + c.k * hp;
    lp = lp1 + c.k * bp;
    return -bp * k_post_gain;
}

// The memories after a chunk. One non-finite input sample (or an overflow)
// would make every later output non-finite: checked once per chunk, a
// finite chunk costs one predicted branch. The memories then start again
// from zero, as after a reset; the LFO and the parameters are left alone.
inline void store_memories(FilterEngine *e, bool chunk_end, float is, float ls, float os, float hp, float bp, float lp)
{
    if (chunk_end && !all_finite(is, ls, os, hp, bp, lp))
        is = ls = os = hp = bp = lp = 0.0f;
    e->hp_in.s = is;
    e->lp_out.s = ls;
    e->hp_out.s = os;
    e->hp = hp;
    e->bp = bp;
    e->lp = lp;
}

// Fewer than four samples, the cost a host pays per call at small blocks:
// the chain one sample at a time.
void chain_short(FilterEngine *e, const float *in, float *out, uint32_t n)
{
    float is = e->hp_in.s, ls = e->lp_out.s, os = e->hp_out.s, hp = e->hp, bp = e->bp, lp = e->lp;
    const float lb0 = e->lp_out.b0, lb1 = e->lp_out.b1, la1 = e->lp_out.a1;
    const float ob0 = e->hp_out.b0, ob1 = e->hp_out.b1, oa1 = e->hp_out.a1;
    for (uint32_t i = 0; i < n; ++i) {
        const float v = filter_step(e, in[i], is, hp, bp, lp);
        const float y = lb0 * v + ls;
        ls = lb1 * v - la1 * y;
        const float sat = saturate1(y);
        const float o = ob0 * sat + os;
        os = ob1 * sat - oa1 * o;
        out[i] = o;
    }
    store_memories(e, true, is, ls, os, hp, bp, lp);
}

// The whole chain over groups of four samples in a single pass, so that the
// first-order sections and the saturator run in the shadow of the
// state-variable filter's recursion instead of after it. Every operation
// and its order are those of running each stage over the chunk in turn;
// only independent work is interleaved.
//
// Groups of four samples go through a pipeline: while the filter runs on
// group g, the output low-pass runs on g - 1, the saturator's three steps on
// g - 2, g - 3 and g - 4, and the output high-pass on g - 4. Each step then
// starts with its input ready, and no long chain of the saturator holds up
// the filter. The products of the first-order sections that do not depend
// on their state, and the gain, are taken four-wide; only the recursions
// remain scalar. Lane for lane these are the scalar operations.
[[gnu::noinline]] void chain_groups(FilterEngine *e, const float *in, float *out, uint32_t groups, bool chunk_end)
{
    const SvfCoefs c = e->svf;
    const float k = c.k, kp = c.kp, rk = c.rk, g = c.g;
    const float ia1 = e->hp_in.a1;
    const float lb0 = e->lp_out.b0, lb1 = e->lp_out.b1, la1 = e->lp_out.a1;
    const float ob0 = e->hp_out.b0, ob1 = e->hp_out.b1, oa1 = e->hp_out.a1;
    float is = e->hp_in.s, ls = e->lp_out.s, os = e->hp_out.s;
    float hp = e->hp, bp = e->bp, lp = e->lp;

    const __m128 ib0v = _mm_set1_ps(e->hp_in.b0), ib1v = _mm_set1_ps(e->hp_in.b1);
    const __m128 lb0v = _mm_set1_ps(lb0), lb1v = _mm_set1_ps(lb1);
    const __m128 ob0v = _mm_set1_ps(ob0), ob1v = _mm_set1_ps(ob1);
    const __m128 sign = _mm_set1_ps(-0.0f), gain = _mm_set1_ps(k_post_gain);
    // Input high-pass and filter, then the gain.
    auto filter4 = [&](const float *x) {
        const __m128 xv = _mm_loadu_ps(x);
        alignas(16) float p[4], q[4];
        _mm_store_ps(p, _mm_mul_ps(ib0v, xv));
        _mm_store_ps(q, _mm_mul_ps(ib1v, xv));
        auto one = [&](int j) {
            const float a = p[j] + is;
            is = q[j] - ia1 * a;
            const float lp1 = lp + kp * bp;
            const float bp1 = bp + kp * hp;
            hp = g * (k_svf_in_gain * a - rk * bp1 - lp1);
            bp = bp1 + k * hp;
            lp = lp1 + k * bp;
            return bp;
        };
        const float b0 = one(0);
        const float b1 = one(1);
        const float b2 = one(2);
        const float b3 = one(3);
        return _mm_mul_ps(_mm_xor_ps(_mm_setr_ps(b0, b1, b2, b3), sign), gain);
    };
    auto lowpass4 = [&](__m128 v) {
        alignas(16) float p[4], q[4];
        _mm_store_ps(p, _mm_mul_ps(lb0v, v));
        _mm_store_ps(q, _mm_mul_ps(lb1v, v));
        const float y0 = p[0] + ls;
        ls = q[0] - la1 * y0;
        const float y1 = p[1] + ls;
        ls = q[1] - la1 * y1;
        const float y2 = p[2] + ls;
        ls = q[2] - la1 * y2;
        const float y3 = p[3] + ls;
        ls = q[3] - la1 * y3;
        return _mm_setr_ps(y0, y1, y2, y3);
    };
    auto highpass4 = [&](__m128 v, float *o) {
        alignas(16) float p[4], q[4];
        _mm_store_ps(p, _mm_mul_ps(ob0v, v));
        _mm_store_ps(q, _mm_mul_ps(ob1v, v));
        for (int j = 0; j < 4; ++j) {
            const float y = p[j] + os;
            os = q[j] - oa1 * y;
            o[j] = y;
        }
    };

    __m128 v1 = _mm_setzero_ps(), y2 = _mm_setzero_ps();
    Sat4 s3{}, s4{};
    // Step t runs group t through the filter and each later stage on the
    // group that entered it one step before; `live` says which of the five
    // stages have a group, false only while the pipeline fills and drains.
    auto step = [&](uint32_t t, bool live0, bool live1, bool live2, bool live3, bool live4) {
        const __m128 v0 = live0 ? filter4(in + 4 * t) : _mm_setzero_ps();
        if (live4)
            highpass4(saturate4_finish(s4), out + 4 * (t - 4));
        if (live3)
            s4 = saturate4_exp(s3);
        if (live2)
            s3 = saturate4_estimate(y2);
        if (live1)
            y2 = lowpass4(v1);
        v1 = v0;
    };
    uint32_t t = 0;
    for (; t < 4 && t < groups; ++t)
        step(t, true, t >= 1, t >= 2, t >= 3, false);
    for (; t < groups; ++t)
        step(t, true, true, true, true, true);
    for (; t < groups + 4; ++t)
        step(t, false, t - 1 < groups && t >= 1, t - 2 < groups && t >= 2, t - 3 < groups && t >= 3, t >= 4);
    store_memories(e, chunk_end, is, ls, os, hp, bp, lp);
}

// One chunk: groups of four, then what is left.
void chain_run(FilterEngine *e, const float *in, float *out, uint32_t n)
{
    const uint32_t groups = n / 4;
    if (groups > 0)
        chain_groups(e, in, out, groups, n % 4 == 0);
    if (n % 4 != 0)
        chain_short(e, in + 4 * groups, out + 4 * groups, n % 4);
}

// Chunks between ticks, each preceded by the tick that is due. Not inlined,
// nor is chain_groups, so that engine_process's short path saves no
// registers.
[[gnu::noinline]] void process_chunks(FilterEngine *e, const float *in, float *out, uint32_t n)
{
    uint32_t pos = 0;
    while (pos < n) {
        if (e->tick_countdown == 0)
            lfo_tick(e);
        uint32_t chunk = n - pos;
        if (chunk > e->tick_countdown)
            chunk = e->tick_countdown;
        chain_run(e, in + pos, out + pos, chunk);
        e->tick_countdown -= chunk;
        pos += chunk;
    }
}

} // namespace

float engine_cutoff_hz(uint8_t reg) { return k_hz_per_unit * static_cast<float>(cutoff_freq_table[reg]); }

void engine_construct(FilterEngine *e)
{
    std::memset(e, 0, sizeof *e);
    e->tick_period = 1;
    engine_reset(e, param_default(PARAM_CUTOFF), param_default(PARAM_LFO_AMT), param_default(PARAM_LFO_SPEED));
}

void engine_init(FilterEngine *e, float sample_rate)
{
    e->fs = sample_rate;
    // Half away from zero in single precision; at least one sample between ticks.
    const float ticks = k_tick_seconds * sample_rate;
    const float rounded = std::trunc(ticks + 0.5f);
    e->tick_period =
        !(rounded >= 1.0f) ? 1u : (rounded >= 4294967295.0f ? 4294967295u : static_cast<uint32_t>(rounded));
    // A host that activates without a sample rate would otherwise get NaN
    // coefficients and send NaN to its mix; filter as at 48 kHz instead.
    const float rate = sample_rate > 0.0f && std::isfinite(sample_rate) ? sample_rate : 48000.0f;
    e->hp_in = one_pole_highpass(4.314194f, rate);
    e->lp_out = one_pole_lowpass(15915.494f, rate);
    e->hp_out = one_pole_highpass(1.0f, rate);
    e->pi_over_fs = k_pi / rate;
    e->warp_limit = 0.499f * rate;
    e->svf = svf_coefs(e);
}

void engine_reset(FilterEngine *e, float cutoff, float lfo_amt, float lfo_speed)
{
    engine_set_param(e, PARAM_CUTOFF, cutoff);
    engine_set_param(e, PARAM_LFO_AMT, lfo_amt);
    engine_set_param(e, PARAM_LFO_SPEED, lfo_speed);
    // The filter keeps the cutoff of the last tick before the reset as its reference.
    e->ref_cutoff = cutoff_hz(e->cutoff_table_value);
    e->svf = svf_coefs(e);
    e->hp = e->bp = e->lp = 0.0f;
    e->hp_in.s = e->lp_out.s = e->hp_out.s = 0.0f;
    e->tick_countdown = 0;
    e->lfo_phase = 0;
    e->mod_cutoff_reg = e->cutoff_reg;
}

void engine_set_cutoff(FilterEngine *e, float v) { engine_set_param(e, PARAM_CUTOFF, v); }
void engine_set_lfo_amt(FilterEngine *e, float v) { engine_set_param(e, PARAM_LFO_AMT, v); }
void engine_set_lfo_speed(FilterEngine *e, float v) { engine_set_param(e, PARAM_LFO_SPEED, v); }

void engine_set_param(FilterEngine *e, uint32_t index, float v)
{
    if (index >= PARAM_INPUT_COUNT)
        return;
    e->params[index] = clamp_param(index, v);
    // The registers the next tick reads.
    e->cutoff_reg = engine_cutoff_reg(static_cast<uint8_t>(e->params[PARAM_CUTOFF]));
    e->lfo_amt_index = static_cast<uint8_t>(e->params[PARAM_LFO_AMT]);
    e->lfo_speed_index = static_cast<uint8_t>(e->params[PARAM_LFO_SPEED]);
}

float engine_get_param(const FilterEngine *e, uint32_t index)
{
    return index < PARAM_INPUT_COUNT ? e->params[index] : static_cast<float>(e->mod_cutoff_reg);
}

void engine_process(FilterEngine *e, const float *in, float *out, uint32_t n)
{
    if (!in || !out || n == 0)
        return;
    const uint32_t saved = fp_mode_flush_denormals();
    if (n < 4 && e->tick_countdown >= n) {
        // A host's smallest blocks, between ticks: one short chunk.
        chain_short(e, in, out, n);
        e->tick_countdown -= n;
    } else {
        process_chunks(e, in, out, n);
    }
    fp_mode_restore(saved);
}

uint8_t engine_get_mod_cutoff(const FilterEngine *e) { return e->mod_cutoff_reg; }

// A control's step, larger ones read as its table's last.
uint8_t last_step(uint8_t step, ParamIndex param)
{
    const auto top = static_cast<uint8_t>(k_params[param].max);
    return step < top ? step : top;
}

uint8_t engine_cutoff_reg(uint8_t step)
{
    return static_cast<uint8_t>(last_step(step, PARAM_CUTOFF) * k_regs_per_step + k_regs_per_step / 2);
}

float engine_lfo_hz(uint8_t speed)
{
    // One cycle is the 256 phase values, stepped once a tick.
    return static_cast<float>(lfo_step_table[last_step(speed, PARAM_LFO_SPEED)]) / (256.0f * k_tick_seconds);
}

float engine_lfo_depth_steps(uint8_t amount)
{
    const int8_t *row = lfo_wave_table[last_step(amount, PARAM_LFO_AMT)];
    int peak = 0;
    for (int i = 0; i < 256; ++i)
        peak = row[i] > peak ? row[i] : peak;
    return static_cast<float>(peak) / static_cast<float>(k_regs_per_step);
}
