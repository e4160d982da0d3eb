// Parameter table shared by every front end: identities, ranges, the
// normalised <-> plain mappings, quantisation and the value texts.
#pragma once
#include <cstddef>
#include <cstdint>

enum ParamIndex : uint32_t {
    PARAM_CUTOFF = 0,
    PARAM_LFO_AMT = 1,
    PARAM_LFO_SPEED = 2,
    PARAM_MOD_CUTOFF = 3,
    PARAM_COUNT = 4,
    PARAM_INPUT_COUNT = 3,
};

enum ParamFlags : uint32_t {
    PARAM_FLAG_TOGGLE_A = 1,
    PARAM_FLAG_TOGGLE_B = 2,
    PARAM_FLAG_INTEGER = 4,
    PARAM_FLAG_LOG = 8,
};

struct ParamDesc {
    uint64_t index;
    double min;
    double max;
    double def;
    uint32_t flags;
    double log_factor;
    // What hosts and saved states know the parameter by; frozen forever.
    uint32_t vst3_id;
    const char *title;
    const char *short_title;
    const char *state_key; // null for the output parameter
    int32_t step_count;
    bool is_output;
};

constexpr uint32_t PARAM_ID_MOD_CUTOFF = 558397322u; // 0x2148778A

extern const ParamDesc k_params[PARAM_COUNT];

// The 31-bit sdbm hash that gives each input parameter its VST3 id.
uint32_t param_sdbm_id(const char *key);

// Null for ids that are none of the four.
const ParamDesc *param_by_id(uint32_t id);

// No rounding, no clamping.
double param_norm_to_plain(const ParamDesc *d, double normalized);
double param_plain_to_norm(const ParamDesc *d, double plain);

// The stored value: rounded half away from zero (or toggled), clamped to the
// range. Never converts a float to an integer type, so huge values clamp to
// the nearer end and NaN becomes the minimum.
double param_quantize(const ParamDesc *d, double plain);
float param_quantize_input(uint32_t index, float plain); // index < PARAM_INPUT_COUNT

// Text of a normalised value: the unrounded plain value with two truncated
// decimals, written into a NUL-terminated UTF-16 buffer of `cap` units.
void param_value_to_text(const ParamDesc *d, double normalized, char16_t *out, size_t cap);
// Leading "-" and decimal digits; anything after them is ignored. Returns the
// normalised value, unclamped.
double param_text_to_value(const ParamDesc *d, const char16_t *text);
