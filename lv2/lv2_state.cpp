#include "lv2_plugin.h"

#include "state/state_doc.h"

#include <cstdlib>

namespace {

LV2_State_Status state_save_fn(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                               const LV2_Feature *const *)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    if (!p->map) {
        lv2_log_error(&p->logger, "Host is trying to store state but didn't provide URID map\n");
        return LV2_STATE_ERR_UNKNOWN;
    }
    p->store = store;
    p->store_handle = handle;
    float values[PARAM_INPUT_COUNT];
    param_sync_read_engine(&p->sync, &p->engine, values);

    size_t size = 0;
    uint8_t *blob = state_save("lv2", p->sample_rate, values[0], values[1], values[2], &size);
    LV2_State_Status st = LV2_STATE_ERR_UNKNOWN;
    if (blob) {
        if (p->store(p->store_handle, p->state_data, blob, size, p->atom_chunk,
                     LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE) == LV2_STATE_SUCCESS)
            st = LV2_STATE_SUCCESS;
        std::free(blob); // the host copied it during the call
    }
    // The host's store function is only valid during this call.
    p->store = nullptr;
    p->store_handle = nullptr;
    return st;
}

LV2_State_Status state_restore_fn(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                                  uint32_t, const LV2_Feature *const *)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    if (!p->map) {
        lv2_log_error(&p->logger, "Host is trying to restore state but didn't provide URID map\n");
        return LV2_STATE_ERR_UNKNOWN;
    }
    size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void *value = retrieve(handle, p->state_data, &size, &type, &flags);
    if (!value) {
        lv2_log_error(&p->logger, "Cannot restore state since property <%s> could not be retrieved\n",
                      ZFEN_LV2_STATE_URI);
        return LV2_STATE_ERR_NO_PROPERTY;
    }
    const state_sink sink = {&p->sync, param_sync_sink_begin, param_sync_sink_end, param_sync_sink_set};
    if (state_load(&sink, static_cast<const uint8_t *>(value), size) != 0)
        return LV2_STATE_ERR_UNKNOWN;
    return LV2_STATE_SUCCESS;
}

} // namespace

const LV2_State_Interface k_lv2_state_interface = {state_save_fn, state_restore_fn};
