// Hand-over of parameter values between the audio thread and the threads
// that save and restore state. One byte lock, taken by atomic exchange: the
// audio thread tries it once per hand-over and never waits; the others spin
// a little, then yield.
#pragma once
#include "filter_engine.h"
#include "parameters.h"
#include <atomic>
#include <cstdint>

struct ParamSync {
    std::atomic<uint8_t> lock;
    // Set by the audio thread after it reconciled under the lock; cleared by
    // every other thread that takes the lock.
    uint8_t in_sync;
    // Restored values wait in `applied` for the audio thread.
    uint8_t pending;
    float received[PARAM_INPUT_COUNT]; // audio thread only: last host/port value
    float applied[PARAM_INPUT_COUNT];  // under the lock: what the engine got, or a restored value
};

// [main, inactive] Free lock, in sync, nothing pending, both records = values.
void param_sync_init(ParamSync *s, const float values[PARAM_INPUT_COUNT]);

// [audio] One attempt; on success reconciles the engine with the records.
bool param_sync_audio_begin(ParamSync *s, FilterEngine *e);
// [audio] A quantised host value for an input; reaches the engine now when
// `locked`, else at the next block that gets the lock.
void param_sync_audio_take(ParamSync *s, FilterEngine *e, bool locked, uint32_t index, float v);
void param_sync_audio_end(ParamSync *s, bool locked);

// [any but audio] Blocking form: spins, then yields. Clears in_sync.
void param_sync_lock(ParamSync *s);
void param_sync_unlock(ParamSync *s);
// [any but audio] The engine's current input values, read under the lock.
void param_sync_read_engine(ParamSync *s, const FilterEngine *e, float out[PARAM_INPUT_COUNT]);

// Restore receiver callbacks; the context is the ParamSync. set() quantises
// and clamps, stores the value for the audio thread and marks it pending.
void param_sync_sink_begin(void *ctx);
void param_sync_sink_set(void *ctx, uint64_t index, float value);
void param_sync_sink_end(void *ctx);
