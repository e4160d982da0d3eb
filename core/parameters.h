// The parameter table shared by every front end: identities, ranges,
// defaults, the normalised <-> plain mappings, quantisation, the value texts
// and the edit path of the editors. Every other place reads these facts from
// k_params; none writes them again.
#pragma once
#include <cstddef>
#include <cstdint>

enum ParamIndex : uint32_t {
    PARAM_CUTOFF = 0,
    PARAM_LFO_AMT = 1,
    PARAM_LFO_SPEED = 2,
    PARAM_MOD_CUTOFF = 3,
    PARAM_COUNT = 4,
    PARAM_INPUT_COUNT = 3, // the inputs come first; the rest are outputs
};

enum ParamFlags : uint32_t {
    // Either bit makes a two-state parameter: 0.5 and above is 1, below is 0.
    PARAM_FLAGS_TOGGLE = 1 | 2,
    PARAM_FLAG_INTEGER = 4, // quantised by rounding
    PARAM_FLAG_LOG = 8,     // logarithmic mapping, with log_factor = ln(max / min)
};

struct ParamDesc {
    uint64_t index;
    double min;
    double max;
    double def;
    uint32_t flags;
    double log_factor;
    // What hosts and saved projects know the parameter by; frozen forever.
    uint32_t vst3_id;
    const char *title;
    const char *short_title;
    // The LV2 port symbol; for inputs also the key in saved states, whose
    // 31-bit sdbm hash is the VST3 id.
    const char *key;
    uint32_t lv2_port;
    int32_t step_count;
    bool is_output;          // read-only, never saved
    const char *description; // a sentence for hosts that show one (the LV2 description)
};

// The 31-bit sdbm hash that gives each input parameter its VST3 id.
constexpr uint32_t param_sdbm_id(const char *key)
{
    uint32_t h = 0;
    for (const char *p = key; *p; ++p)
        h = static_cast<unsigned char>(*p) + (h << 6) + (h << 16) - h;
    return h & 0x7FFFFFFFu;
}

inline constexpr ParamDesc k_params[PARAM_COUNT] = {
    // index, min, max, default, flags, log factor, VST3 id, title, short title, key, LV2 port, steps, output,
    // description
    {PARAM_CUTOFF, 0.0, 15.0, 15.0, PARAM_FLAG_INTEGER, 0.0, 1784049613u, "Cutoff", "Cutoff", "cutoff", 2, 15, false,
     "Cutoff step, 0 (about 400 Hz) to 15 (about 2 kHz)."},
    {PARAM_LFO_AMT, 0.0, 15.0, 0.0, PARAM_FLAG_INTEGER, 0.0, 394330366u, "LFO Amount", "LFO Amt", "lfo_amt", 3, 15,
     false, "How far the LFO sweeps the cutoff; 0 holds it still."},
    {PARAM_LFO_SPEED, 0.0, 15.0, 7.0, PARAM_FLAG_INTEGER, 0.0, 793359101u, "LFO Speed", "LFO Speed", "lfo_speed", 4, 15,
     false, "LFO rate, 0 (a cycle every 2.56 s) to 15 (25 cycles a second)."},
    {PARAM_MOD_CUTOFF, 0.0, 255.0, 248.0, PARAM_FLAG_INTEGER, 0.0, 558397322u, "Modulated Cutoff", "Mod Cutoff",
     "mod_cutoff", 5, 255, true, "The cutoff register in use, 0 to 255, after the LFO."},
};

constexpr bool param_table_is_consistent()
{
    for (uint32_t i = 0; i < PARAM_COUNT; ++i) {
        const ParamDesc &d = k_params[i];
        if (d.index != i || d.is_output != (i >= PARAM_INPUT_COUNT) || d.lv2_port != i + 2)
            return false;
        if (!d.is_output && d.vst3_id != param_sdbm_id(d.key))
            return false;
    }
    return true;
}
static_assert(param_table_is_consistent(), "k_params: order, ports or ids out of step");

// The default plain value of an input as the 32-bit float the engine and the
// control ports carry.
constexpr float param_default(uint32_t index) { return static_cast<float>(k_params[index].def); }

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

// ---- the edit path ------------------------------------------------------------
// What an editor's edit of one parameter becomes in each format.
struct ParamEdit {
    const ParamDesc *desc;
    double plain;      // the value to store: rounded and clamped by the descriptor
    double normalized; // what a VST3 host's component handler is told
    float port_value;  // what an LV2 control port is written
};

// [any] Quantises an edited plain value for parameter `index`. NaN carries no
// value, so the edit keeps `current`. False, and nothing written, for an
// index that is no parameter.
bool param_edit(uint32_t index, double value, double current, ParamEdit *out);
