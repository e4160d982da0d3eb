// One plug-in instance as both formats run it: the engine, the values the
// audio thread and the state threads hand each other under the state lock,
// the defaults, and saving and restoring through the state document. The
// LV2 instance and the VST3 processor add only what their host interface needs.
//
// The state lock is one byte taken by atomic exchange: the audio thread tries
// it once per hand-over and never waits; the other threads spin a little,
// then yield.
#pragma once
#include "core/filter_engine.h"
#include "core/parameters.h"
#include "state/state_doc.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct ParamSync {
    std::atomic<uint8_t> lock;
    // Set by the audio thread after it reconciled under the lock; cleared by
    // every other thread that takes the lock. Changed only under the lock;
    // the audio thread also reads it without, to skip the lock in blocks
    // where nothing changed.
    std::atomic<uint8_t> in_sync;
    // Restored values wait in `applied` for the audio thread.
    uint8_t pending;
    float received[PARAM_INPUT_COUNT]; // audio thread only: last host/port value
    float applied[PARAM_INPUT_COUNT];  // under the lock: what the engine got, or a restored value
};

struct PluginInstance {
    FilterEngine engine;
    ParamSync sync;
    float sample_rate; // the rate the engine runs at; saved with the state
};

// [main] A constructed engine at the parameters' defaults, the hand-over in
// step with them, sample rate 0 (no engine_init yet).
void instance_construct(PluginInstance *p);
// [main] While inactive. engine_init for a new rate, which is also the rate saved.
void instance_set_rate(PluginInstance *p, float sample_rate);
// [main] While inactive. Restarts the engine with `values` (Cutoff, LFO Amount, LFO
// Speed) and drops anything a restore left waiting: the values given win.
void instance_restart(PluginInstance *p, const float values[PARAM_INPUT_COUNT]);
// [main] While inactive. Restarts the engine with its own values at `sample_rate`;
// restored values still waiting keep waiting. May block briefly: a save on
// another thread may hold the lock.
void instance_reactivate(PluginInstance *p, float sample_rate);

// [audio] The hand-over at a block boundary: the quantised host values of the
// inputs whose `has` is set, and whatever a restore left. Values reach the
// engine now when the lock is free, else at the next block that gets it.
// Tries the lock once, and only when a value differs from the one last
// received or another thread took the lock since the last hand-over; a block
// where nothing changed costs a few comparisons. Never waits.
void instance_audio_hand_over(PluginInstance *p, const float values[PARAM_INPUT_COUNT],
                              const bool has[PARAM_INPUT_COUNT]);

// [any but audio] The blob of the instance's values (those of a restore still
// waiting for the audio thread, else the engine's), tagged with `format`
// ("vst3" or "lv2"); null on failure. The caller frees it. May block briefly.
uint8_t *instance_save(PluginInstance *p, const char *format, size_t *size);
// [any but audio] Checks a blob and leaves its values, quantised, for the
// audio thread. False (nothing changed) when the blob is refused. May block
// briefly.
bool instance_restore(PluginInstance *p, const uint8_t *blob, size_t len);
// The receiver instance_restore hands state_load: begin takes the state lock
// (blocking form), set quantises a value and leaves it for the audio thread,
// end releases the lock.
state_sink instance_restore_sink(PluginInstance *p);

// [any but audio] Blocking form of the lock: spins, then yields. Clears in_sync.
void param_sync_lock(ParamSync *s);
void param_sync_unlock(ParamSync *s);
