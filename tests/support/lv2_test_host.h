// A minimal LV2 host for driving the plug-in instance in tests.
#pragma once
#include "lv2/lv2_plugin.h"
#include "lv2_support.h"

#include <cstring>
#include <vector>

// Ports and an instance; every port connected.
struct TestPlugin {
    const LV2_Descriptor *desc = lv2_descriptor(0);
    LV2_Handle h = nullptr;
    std::vector<float> in, out;
    float controls[3] = {param_default(PARAM_CUTOFF), param_default(PARAM_LFO_AMT), param_default(PARAM_LFO_SPEED)};
    float mod = -1.0f;

    explicit TestPlugin(const LV2_Feature *const *features, double rate = 48000.0, unsigned max_block = 4096)
        : in(max_block, 0.0f), out(max_block, 0.0f)
    {
        h = desc->instantiate(desc, rate, "/bundle/", features);
        if (!h)
            return;
        desc->connect_port(h, LV2_PORT_IN, in.data());
        desc->connect_port(h, LV2_PORT_OUT, out.data());
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
            desc->connect_port(h, k_params[i].lv2_port, &controls[i]);
        desc->connect_port(h, k_params[PARAM_MOD_CUTOFF].lv2_port, &mod);
    }
    ~TestPlugin()
    {
        if (h)
            desc->cleanup(h);
    }
    Lv2Plugin *plugin() { return static_cast<Lv2Plugin *>(h); }
    void activate() { desc->activate(h); }
    void run(uint32_t n) { desc->run(h, n); }
    // Control ports that say nothing, so only a restored state sets the values.
    void disconnect_controls()
    {
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
            desc->connect_port(h, k_params[i].lv2_port, nullptr);
    }
    const LV2_State_Interface *state() const
    {
        return static_cast<const LV2_State_Interface *>(desc->extension_data(LV2_STATE__interface));
    }
};
