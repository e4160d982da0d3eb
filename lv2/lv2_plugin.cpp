#include "lv2_plugin.h"

#include "lv2_features.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const float k_port_defaults[PARAM_INPUT_COUNT] = {15.0f, 0.0f, 7.0f};

// ---- descriptor -------------------------------------------------------------

LV2_Handle plugin_instantiate(const LV2_Descriptor *, double rate, const char *bundle_path,
                              const LV2_Feature *const *features)
{
    void *mem = std::malloc(sizeof(Lv2Plugin));
    if (!mem)
        return nullptr;
    Lv2Plugin *p = new (mem) Lv2Plugin();
    const size_t len = bundle_path ? std::strlen(bundle_path) : 0;
    p->bundle_path = static_cast<char *>(std::malloc(len + 1));
    if (!p->bundle_path) {
        std::free(p);
        return nullptr;
    }
    if (len)
        std::memcpy(p->bundle_path, bundle_path, len);
    p->bundle_path[len] = 0;

    const void *log = nullptr;
    const void *map = nullptr;
    const Lv2FeatureQuery queries[] = {
        {LV2_LOG__log, &log, false},
        {LV2_URID__map, &map, true},
    };
    const char *missing = lv2_features_query(features, queries, sizeof queries / sizeof queries[0]);
    p->map = static_cast<const LV2_URID_Map *>(map);
    lv2_log_logger_init(&p->logger, const_cast<LV2_URID_Map *>(p->map), static_cast<LV2_Log_Log *>(const_cast<void *>(log)));
    if (missing)
        lv2_log_error(&p->logger, "Missing feature <%s>\n", missing);
    if (p->map) {
        p->atom_chunk = p->map->map(p->map->handle, "http://lv2plug.in/ns/ext/atom#Chunk");
        p->state_data = p->map->map(p->map->handle, ZFEN_LV2_STATE_URI);
    }

    engine_construct(&p->engine);
    // A double beyond float's range has no float value to convert to.
    p->sample_rate = rate > FLT_MAX ? INFINITY : (rate < -FLT_MAX ? -INFINITY : static_cast<float>(rate));
    engine_init(&p->engine, p->sample_rate);
    param_sync_init(&p->sync, k_port_defaults);
    return p;
}

void plugin_connect_port(LV2_Handle h, uint32_t port, void *data)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    switch (port) {
    case LV2_PORT_IN: p->audio_in = static_cast<const float *>(data); break;
    case LV2_PORT_OUT: p->audio_out = static_cast<float *>(data); break;
    case LV2_PORT_CUTOFF:
    case LV2_PORT_LFO_AMT:
    case LV2_PORT_LFO_SPEED: p->controls[port - LV2_PORT_CUTOFF] = static_cast<const float *>(data); break;
    case LV2_PORT_MOD_CUTOFF: p->mod_cutoff = static_cast<float *>(data); break;
    default: break;
    }
}

void plugin_activate(LV2_Handle h)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    float values[PARAM_INPUT_COUNT];
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        values[i] = p->controls[i] ? *p->controls[i] : k_port_defaults[i];
    // Drops anything a restore left for the audio thread: the ports win.
    param_sync_init(&p->sync, values);
    engine_reset(&p->engine, values[0], values[1], values[2]);
}

// [audio] Never waits: the state lock is tried once per block.
void plugin_run(LV2_Handle h, uint32_t n)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    const bool locked = param_sync_audio_begin(&p->sync, &p->engine);
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i) {
        if (p->controls[i])
            param_sync_audio_take(&p->sync, &p->engine, locked, i, param_quantize_input(i, *p->controls[i]));
    }
    param_sync_audio_end(&p->sync, locked);
    if (p->audio_in && p->audio_out)
        engine_process(&p->engine, p->audio_in, p->audio_out, n);
    if (p->mod_cutoff)
        *p->mod_cutoff = static_cast<float>(engine_get_mod_cutoff(&p->engine));
}

void plugin_cleanup(LV2_Handle h)
{
    Lv2Plugin *p = static_cast<Lv2Plugin *>(h);
    std::free(p->bundle_path);
    std::free(p);
}

const void *plugin_extension_data(const char *uri)
{
    if (uri && std::strcmp(uri, LV2_STATE__interface) == 0)
        return &k_lv2_state_interface;
    return nullptr;
}

const LV2_Descriptor k_descriptor = {
    ZFEN_LV2_URI, plugin_instantiate, plugin_connect_port, plugin_activate,
    plugin_run,   nullptr,            plugin_cleanup,      plugin_extension_data,
};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index)
{
    return index == 0 ? &k_descriptor : nullptr;
}
