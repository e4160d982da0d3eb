#include "lv2_plugin.h"

#include <cstdlib>

namespace {

// [any but audio] May block briefly for the state lock; may run during run().
LV2_State_Status state_save_fn(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                               const LV2_Feature *const *)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    if (!p->map) {
        lv2_log_error(&p->logger, "Host is trying to store state but didn't provide URID map\n");
        return LV2_STATE_ERR_UNKNOWN;
    }
    size_t size = 0;
    uint8_t *blob = instance_save(&p->inst, "lv2", &size);
    if (!blob)
        return LV2_STATE_ERR_UNKNOWN;
    const LV2_State_Status st =
        store(handle, p->state_data, blob, size, p->atom_chunk, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE) == 0
            ? LV2_STATE_SUCCESS
            : LV2_STATE_ERR_UNKNOWN;
    std::free(blob); // the host copied it during the call
    return st;
}

// [any but audio] May block briefly for the state lock; may run during run().
LV2_State_Status state_restore_fn(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t,
                                  const LV2_Feature *const *)
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
    // The type and flags are not checked: whatever came back is parsed as a blob.
    return instance_restore(&p->inst, static_cast<const uint8_t *>(value), size) ? LV2_STATE_SUCCESS
                                                                                 : LV2_STATE_ERR_UNKNOWN;
}

} // namespace

const LV2_State_Interface k_lv2_state_interface = {state_save_fn, state_restore_fn};
