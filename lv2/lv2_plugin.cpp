#include "lv2_plugin.h"

#include "lv2_features.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// ---- descriptor -------------------------------------------------------------

// [main] Never concurrent with anything else on the instance. May allocate.
LV2_Handle plugin_instantiate(const LV2_Descriptor *, double rate, const char *, const LV2_Feature *const *features)
{
    void *mem = std::malloc(sizeof(Lv2Plugin));
    if (!mem)
        return nullptr;
    Lv2Plugin *p = new (mem) Lv2Plugin();

    p->map = lv2_features_map_and_log(features, &p->logger);
    if (p->map) {
        p->atom_chunk = p->map->map(p->map->handle, "http://lv2plug.in/ns/ext/atom#Chunk");
        p->state_data = p->map->map(p->map->handle, ZFEN_LV2_STATE_URI);
    }

    instance_construct(&p->inst);
    // A double beyond float's range has no float value to convert to.
    instance_set_rate(&p->inst, rate > FLT_MAX ? INFINITY : (rate < -FLT_MAX ? -INFINITY : static_cast<float>(rate)));
    return p;
}

// [any] On whichever thread the host likes. Never blocks.
void plugin_connect_port(LV2_Handle h, uint32_t port, void *data)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    if (port == LV2_PORT_IN) {
        p->audio_in = static_cast<const float *>(data);
        return;
    }
    if (port == LV2_PORT_OUT) {
        p->audio_out = static_cast<float *>(data);
        return;
    }
    for (const ParamDesc &d : k_params) {
        if (d.lv2_port != port)
            continue;
        if (d.is_output)
            p->mod_cutoff = static_cast<float *>(data);
        else
            p->controls[d.index] = static_cast<const float *>(data);
    }
}

// [main] Never concurrent with run() or the state functions. Never blocks.
void plugin_activate(LV2_Handle h)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    float values[PARAM_INPUT_COUNT];
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        values[i] = p->controls[i] ? *p->controls[i] : param_default(i);
    // Drops anything a restore left for the audio thread: the ports win.
    instance_restart(&p->inst, values);
}

// [audio] Never blocks: the state lock is tried at most once per block.
void plugin_run(LV2_Handle h, uint32_t n)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    float values[PARAM_INPUT_COUNT];
    bool has[PARAM_INPUT_COUNT];
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i) {
        has[i] = p->controls[i] != nullptr;
        values[i] = has[i] ? param_quantize_input(i, *p->controls[i]) : 0.0f;
    }
    instance_audio_hand_over(&p->inst, values, has);
    // Without an input the engine does not run; a connected output gets
    // silence rather than whatever the host left in it.
    if (p->audio_in && p->audio_out)
        engine_process(&p->inst.engine, p->audio_in, p->audio_out, n);
    else if (p->audio_out && n > 0)
        std::memset(p->audio_out, 0, static_cast<size_t>(n) * sizeof(float));
    if (p->mod_cutoff)
        *p->mod_cutoff = static_cast<float>(engine_get_mod_cutoff(&p->inst.engine));
}

// [main] Never concurrent with anything else on the instance.
void plugin_cleanup(LV2_Handle h)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    p->~Lv2Plugin();
    std::free(p);
}

// [any] Never blocks.
const void *plugin_extension_data(const char *uri)
{
    if (uri && std::strcmp(uri, LV2_STATE__interface) == 0)
        return &k_lv2_state_interface;
    return nullptr;
}

const LV2_Descriptor k_descriptor = {
    ZFEN_LV2_URI, plugin_instantiate, plugin_connect_port,   plugin_activate, plugin_run,
    nullptr,      plugin_cleanup,     plugin_extension_data,
};

} // namespace

// [any] Never blocks.
LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index) { return index == 0 ? &k_descriptor : nullptr; }
