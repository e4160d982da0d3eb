// The state-variable filter's recursion alone, with fixed coefficients: the
// floor under the engine's cost per sample. The same operations in the same
// order as the filter in the engine, and nothing else.
#pragma once
#include "core/fp_mode.h"

#include <cstdint>

struct SvfFloor {
    float k, kp, rk, g, in_gain;
    float hp, bp, lp;
};

// Coefficients of a cutoff near 1 kHz at 48 kHz.
inline SvfFloor svf_floor_make() { return SvfFloor{0.0655f, 0.0655f, 0.896f, 0.9441f, 0.92871904f, 0.0f, 0.0f, 0.0f}; }

// [audio]
inline void svf_floor_run(SvfFloor *f, const float *in, float *out, uint32_t n)
{
    const float k = f->k, kp = f->kp, rk = f->rk, g = f->g, c = f->in_gain;
    float hp = f->hp, bp = f->bp, lp = f->lp;
    for (uint32_t i = 0; i < n; ++i) {
        const float lp1 = lp + kp * bp;
        const float bp1 = bp + kp * hp;
        hp = g * (c * in[i] - rk * bp1 - lp1);
        bp = bp1 + k * hp;
        lp = lp1 + k * bp;
        out[i] = -bp;
    }
    f->hp = hp;
    f->bp = bp;
    f->lp = lp;
}

// Deterministic noise in [-0.5, 0.5).
inline void bench_fill_noise(float *buf, uint32_t n)
{
    uint32_t x = 1;
    for (uint32_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        buf[i] = static_cast<float>(x >> 8) / 16777216.0f - 0.5f;
    }
}

// Flush-to-zero and denormals-are-zero on for the scope when `on`.
struct FlushedThread {
    uint32_t saved;
    bool on;
    explicit FlushedThread(bool flush) : saved(flush ? fp_mode_flush_denormals() : 0), on(flush) {}
    ~FlushedThread()
    {
        if (on)
            fp_mode_restore(saved);
    }
};
