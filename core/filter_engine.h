// The mono band-pass filter engine with its stepped, table-driven LFO.
// Not thread-safe: the front ends serialise all calls.
#pragma once
#include "parameters.h"

#include <cstdint>

struct OnePole {
    float b0, b1, a1;
    float s;
};

// The state-variable filter's coefficients, fixed between ticks.
struct SvfCoefs {
    float k, kp, rk, g;
};

struct FilterEngine {
    // Configuration (engine_init).
    float fs;
    uint32_t tick_period;
    OnePole hp_in, lp_out, hp_out;
    float pi_over_fs;
    float warp_limit;

    // Parameters (engine_reset and the setters): Cutoff, LFO Amount and LFO
    // Speed by their ParamIndex, whole numbers 0..15.
    float params[PARAM_INPUT_COUNT];
    uint8_t cutoff_reg;
    uint8_t lfo_amt_index;
    uint8_t lfo_speed_index;

    // LFO and cutoff.
    uint8_t lfo_phase;
    uint8_t mod_cutoff_reg;
    uint32_t tick_countdown;
    float cutoff_table_value;
    float ref_cutoff;
    // From the two above and the configuration: renewed by every tick,
    // engine_init and engine_reset, read by every chunk.
    SvfCoefs svf;

    // State-variable filter outputs.
    float hp, bp, lp;
};

extern const uint8_t lfo_step_table[16];
extern const int8_t lfo_wave_table[16][256];
extern const uint16_t cutoff_freq_table[256];
// [any] The centre frequency in Hz of a cutoff register 0..255.
float engine_cutoff_hz(uint8_t reg);

// [main] A freshly constructed engine: the parameters' defaults, no tick yet.
void engine_construct(FilterEngine *e);
// [main] While inactive. Coefficients and tick period for a sample rate.
void engine_init(FilterEngine *e, float sample_rate);
// [main] While inactive. Clears all signal state; the next sample is preceded by a tick.
void engine_reset(FilterEngine *e, float cutoff, float lfo_amt, float lfo_speed);
// [audio] Take effect at the next LFO tick.
void engine_set_cutoff(FilterEngine *e, float v);
void engine_set_lfo_amt(FilterEngine *e, float v);
void engine_set_lfo_speed(FilterEngine *e, float v);
// [audio] The same by ParamIndex; other indices are ignored.
void engine_set_param(FilterEngine *e, uint32_t index, float v);
// [any] The value of an input by ParamIndex; the modulated cutoff register for
// PARAM_MOD_CUTOFF.
float engine_get_param(const FilterEngine *e, uint32_t index);
// [audio] n mono samples; in and out may be the same buffer. Null buffers or
// n = 0 return at once. A non-finite sample empties the filter memories at the
// end of its chunk (the next tick at the latest); the LFO and the parameters
// go on. Never allocates, locks or calls the system.
void engine_process(FilterEngine *e, const float *in, float *out, uint32_t n);
uint8_t engine_get_mod_cutoff(const FilterEngine *e);

// [any] What the controls mean, for the editor: the register of a Cutoff step
// 0..15, the LFO's rate in Hz at a speed 0..15 (nominal 10 ms ticks), and its
// peak swing at an amount 0..15 in Cutoff steps. Larger indices read as 15.
uint8_t engine_cutoff_reg(uint8_t step);
float engine_lfo_hz(uint8_t speed);
float engine_lfo_depth_steps(uint8_t amount);
