#include "param_sync.h"

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

} // namespace

void param_sync_init(ParamSync *s, const float values[PARAM_INPUT_COUNT])
{
    s->lock.store(0, std::memory_order_seq_cst);
    s->in_sync = 1;
    s->pending = 0;
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        s->received[i] = s->applied[i] = values[i];
}

bool param_sync_audio_begin(ParamSync *s, FilterEngine *e)
{
    if (!try_take(s))
        return false;
    if (!s->in_sync) {
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i) {
            if (s->pending) {
                s->received[i] = s->applied[i];
                engine_set_param(e, i, s->applied[i]);
            } else if (differs(s->received[i], s->applied[i])) {
                s->applied[i] = s->received[i];
                engine_set_param(e, i, s->applied[i]);
            }
        }
    }
    s->in_sync = 1;
    s->pending = 0;
    return true;
}

void param_sync_audio_take(ParamSync *s, FilterEngine *e, bool locked, uint32_t index, float v)
{
    if (index >= PARAM_INPUT_COUNT || !differs(v, s->received[index]))
        return;
    s->received[index] = v;
    if (locked) {
        s->applied[index] = v;
        engine_set_param(e, index, v);
    }
}

void param_sync_audio_end(ParamSync *s, bool locked)
{
    if (locked)
        s->lock.exchange(0, std::memory_order_seq_cst);
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
    s->in_sync = 0;
}

void param_sync_unlock(ParamSync *s) { s->lock.exchange(0, std::memory_order_seq_cst); }

void param_sync_read_engine(ParamSync *s, const FilterEngine *e, float out[PARAM_INPUT_COUNT])
{
    param_sync_lock(s);
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        out[i] = engine_get_param(e, i);
    param_sync_unlock(s);
}

void param_sync_sink_begin(void *ctx) { param_sync_lock(static_cast<ParamSync *>(ctx)); }

void param_sync_sink_set(void *ctx, uint64_t index, float value)
{
    if (index >= PARAM_INPUT_COUNT)
        return;
    ParamSync *s = static_cast<ParamSync *>(ctx);
    s->applied[index] = param_quantize_input(static_cast<uint32_t>(index), value);
    s->pending = 1;
}

void param_sync_sink_end(void *ctx) { param_sync_unlock(static_cast<ParamSync *>(ctx)); }
