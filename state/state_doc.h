// The saved state: an archive holding "dsp.tar", which holds "version",
// "info.map" and "parameters.map".
#pragma once
#include "kv_map.h"

struct state_doc {
    const char *version;
    kv_map *info;
    kv_map *parameters;
    kv_map *inner_extras;
    kv_map *outer_extras;
};

// Receives restored values only when the whole blob was valid.
struct state_sink {
    void *context;
    void (*begin)(void *context);
    void (*end)(void *context);
    void (*set)(void *context, uint64_t index, float value);
};

extern const char k_plugin_id[]; // the identifier saved states carry

int state_doc_init(state_doc *doc);
void state_doc_destroy(state_doc *doc);
uint8_t *state_doc_write(const state_doc *doc, size_t *size);
int state_doc_read(state_doc *doc, const uint8_t *blob, size_t len);

uint8_t *map_records_write(const kv_map *m, size_t *size);
kv_map *map_records_read(const uint8_t *data, size_t len);

// [any but audio] format is "vst3" or "lv2". Null on failure.
uint8_t *state_save(const char *format, float sample_rate, float cutoff, float lfo_amt, float lfo_speed, size_t *size);
// 0 when the three values reached the sink; -1 when the blob was refused,
// and then the sink was not called at all.
int state_load(const state_sink *sink, const uint8_t *blob, size_t len);
