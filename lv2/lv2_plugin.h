// The LV2 plug-in instance, shared by the descriptor and the state interface.
#pragma once
#include "plugin/instance.h"
#include "zfen_product.h"

#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#define ZFEN_LV2_STATE_URI ZFEN_LV2_URI "#state_data"

// The audio ports; the control ports are the parameters' lv2_port.
enum Lv2AudioPort : uint32_t {
    LV2_PORT_IN = 0,
    LV2_PORT_OUT = 1,
};

struct Lv2Plugin {
    PluginInstance inst;
    const float *audio_in;
    float *audio_out;
    const float *controls[PARAM_INPUT_COUNT]; // by ParamIndex
    float *mod_cutoff;
    LV2_Log_Logger logger;
    const LV2_URID_Map *map; // null: state save and restore refuse to work
    LV2_URID atom_chunk;
    LV2_URID state_data;
};

extern const LV2_State_Interface k_lv2_state_interface;
