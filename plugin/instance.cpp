#include "instance.h"

#include <cmath>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sched.h>
#endif
#include <immintrin.h>

namespace {

inline bool differs(float a, float b) { return !(a == b); } // NaN on either side counts

inline bool try_take(ParamSync *s) { return s->lock.exchange(1, std::memory_order_seq_cst) == 0; }

void yield_processor_to_others(void)
{
#if defined(_WIN32)
    SwitchToThread();
#else
    sched_yield();
#endif
}

// [main] While inactive. Free lock, in sync, nothing pending, both records = values.
void sync_init(ParamSync *s, const float values[PARAM_INPUT_COUNT])
{
    s->lock.store(0, std::memory_order_seq_cst);
    s->in_sync.store(1, std::memory_order_relaxed);
    s->pending = 0;
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        s->received[i] = s->applied[i] = values[i];
}

// ---- restore receiver: begin takes the lock, set leaves a value for the
// audio thread, end releases the lock.

void sink_begin(void *ctx) { param_sync_lock(&static_cast<PluginInstance *>(ctx)->sync); }

void sink_set(void *ctx, uint64_t index, float value)
{
    if (index >= PARAM_INPUT_COUNT)
        return;
    ParamSync *s = &static_cast<PluginInstance *>(ctx)->sync;
    s->applied[index] = param_quantize_input(static_cast<uint32_t>(index), value);
    s->pending = 1;
}

void sink_end(void *ctx) { param_sync_unlock(&static_cast<PluginInstance *>(ctx)->sync); }

// ---- the audio thread's side of the hand-over

// [audio] One attempt at the lock; on success reconciles the engine with the
// records.
bool audio_begin(PluginInstance *p)
{
    ParamSync *s = &p->sync;
    if (!try_take(s))
        return false;
    if (!s->in_sync.load(std::memory_order_relaxed)) {
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i) {
            if (s->pending) {
                s->received[i] = s->applied[i];
                engine_set_param(&p->engine, i, s->applied[i]);
            } else if (differs(s->received[i], s->applied[i])) {
                s->applied[i] = s->received[i];
                engine_set_param(&p->engine, i, s->applied[i]);
            }
        }
    }
    s->in_sync.store(1, std::memory_order_relaxed);
    s->pending = 0;
    return true;
}

// [audio] A host value; reaches the engine now when `locked`.
void audio_take(PluginInstance *p, bool locked, uint32_t index, float v)
{
    ParamSync *s = &p->sync;
    if (index >= PARAM_INPUT_COUNT || !differs(v, s->received[index]))
        return;
    s->received[index] = v;
    if (locked) {
        s->applied[index] = v;
        engine_set_param(&p->engine, index, v);
    }
}

void audio_end(PluginInstance *p, bool locked)
{
    if (locked)
        p->sync.lock.exchange(0, std::memory_order_seq_cst);
}

} // namespace

void instance_construct(PluginInstance *p)
{
    engine_construct(&p->engine);
    float defaults[PARAM_INPUT_COUNT];
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        defaults[i] = param_default(i);
    sync_init(&p->sync, defaults);
    p->sample_rate = 0.0f;
}

void instance_set_rate(PluginInstance *p, float sample_rate)
{
    engine_init(&p->engine, sample_rate); // copes with a host that never set a rate
    p->sample_rate = sample_rate;
}

void instance_restart(PluginInstance *p, const float values[PARAM_INPUT_COUNT])
{
    sync_init(&p->sync, values);
    engine_reset(&p->engine, values[PARAM_CUTOFF], values[PARAM_LFO_AMT], values[PARAM_LFO_SPEED]);
}

void instance_reactivate(PluginInstance *p, float sample_rate)
{
    // A save may read the engine's values on another thread meanwhile.
    param_sync_lock(&p->sync);
    engine_init(&p->engine, sample_rate);
    engine_reset(&p->engine, engine_get_param(&p->engine, PARAM_CUTOFF), engine_get_param(&p->engine, PARAM_LFO_AMT),
                 engine_get_param(&p->engine, PARAM_LFO_SPEED));
    p->sample_rate = sample_rate;
    param_sync_unlock(&p->sync);
}

void instance_audio_hand_over(PluginInstance *p, const float values[PARAM_INPUT_COUNT],
                              const bool has[PARAM_INPUT_COUNT])
{
    // A state thread clears in_sync under the lock before it changes
    // anything, so a set flag read here means there is nothing to take.
    bool changed = !p->sync.in_sync.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        changed |= has[i] && differs(values[i], p->sync.received[i]);
    if (!changed)
        return;
    const bool locked = audio_begin(p);
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        if (has[i])
            audio_take(p, locked, i, values[i]);
    audio_end(p, locked);
}

uint8_t *instance_save(PluginInstance *p, const char *format, size_t *size)
{
    float values[PARAM_INPUT_COUNT];
    param_sync_lock(&p->sync);
    // Restored values the audio thread has not taken yet are the instance's
    // values all the same: a host that restores and saves again without
    // processing in between must get them back, not the ones they replace.
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        values[i] = p->sync.pending ? p->sync.applied[i] : engine_get_param(&p->engine, i);
    const float sample_rate = p->sample_rate;
    param_sync_unlock(&p->sync);
    // The document is built outside the lock: the audio thread may want it.
    return state_save(format, sample_rate, values[PARAM_CUTOFF], values[PARAM_LFO_AMT], values[PARAM_LFO_SPEED], size);
}

state_sink instance_restore_sink(PluginInstance *p) { return state_sink{p, sink_begin, sink_end, sink_set}; }

bool instance_restore(PluginInstance *p, const uint8_t *blob, size_t len)
{
    const state_sink sink = instance_restore_sink(p);
    return state_load(&sink, blob, len) == 0;
}

void param_sync_lock(ParamSync *s)
{
    // The audio thread holds the lock only for a few comparisons: spin briefly,
    // then give the processor away between attempts.
    for (int attempt = 1; !try_take(s); ++attempt) {
        if (attempt < 100)
            _mm_pause();
        else
            yield_processor_to_others();
    }
    s->in_sync.store(0, std::memory_order_relaxed);
}

void param_sync_unlock(ParamSync *s) { s->lock.exchange(0, std::memory_order_seq_cst); }
