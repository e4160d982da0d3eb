// The LV2 plug-in instance, shared by the descriptor and the state interface.
#pragma once
#include "core/filter_engine.h"
#include "core/param_sync.h"

#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#define ZFEN_LV2_URI "https://vornic.audio/zfen"
#define ZFEN_LV2_STATE_URI ZFEN_LV2_URI "#state_data"

enum Lv2Port : uint32_t {
    LV2_PORT_IN = 0,
    LV2_PORT_OUT = 1,
    LV2_PORT_CUTOFF = 2,
    LV2_PORT_LFO_AMT = 3,
    LV2_PORT_LFO_SPEED = 4,
    LV2_PORT_MOD_CUTOFF = 5,
};

struct Lv2Plugin {
    FilterEngine engine;
    float sample_rate;
    const float *audio_in;
    float *audio_out;
    const float *controls[PARAM_INPUT_COUNT];
    float *mod_cutoff;
    // Port values (received) and synced values (applied), under the state lock.
    ParamSync sync;
    char *bundle_path;
    LV2_Log_Logger logger;
    const LV2_URID_Map *map;
    LV2_URID atom_chunk;
    LV2_URID state_data;
    LV2_State_Store_Function store;
    LV2_State_Handle store_handle;
};

extern const LV2_State_Interface k_lv2_state_interface;
