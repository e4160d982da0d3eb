// A minimal LV2 host for driving the plug-in instance in tests.
#pragma once
#include "lv2/lv2_plugin.h"

#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

struct TestUridMap {
    std::vector<std::string> uris;
    LV2_URID_Map feature{this, &TestUridMap::map_fn};
    static LV2_URID map_fn(LV2_URID_Map_Handle h, const char *uri)
    {
        auto *self = static_cast<TestUridMap *>(h);
        for (size_t i = 0; i < self->uris.size(); ++i)
            if (self->uris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        self->uris.push_back(uri);
        return static_cast<LV2_URID>(self->uris.size());
    }
    LV2_URID id(const char *uri) { return map_fn(this, uri); }
};

struct TestLog {
    std::vector<std::pair<LV2_URID, std::string>> lines;
    LV2_Log_Log feature{this, &TestLog::printf_fn, &TestLog::vprintf_fn};
    static int vprintf_fn(LV2_Log_Handle h, LV2_URID type, const char *fmt, va_list ap)
    {
        char buf[512];
        const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
        static_cast<TestLog *>(h)->lines.emplace_back(type, buf);
        return n;
    }
    static int printf_fn(LV2_Log_Handle h, LV2_URID type, const char *fmt, ...)
    {
        va_list ap;
        va_start(ap, fmt);
        const int n = vprintf_fn(h, type, fmt, ap);
        va_end(ap);
        return n;
    }
};

// Ports and an instance; every port connected.
struct TestPlugin {
    const LV2_Descriptor *desc = lv2_descriptor(0);
    LV2_Handle h = nullptr;
    std::vector<float> in, out;
    float controls[3] = {15.0f, 0.0f, 7.0f};
    float mod = -1.0f;

    explicit TestPlugin(const LV2_Feature *const *features, double rate = 48000.0, unsigned max_block = 4096)
        : in(max_block, 0.0f), out(max_block, 0.0f)
    {
        h = desc->instantiate(desc, rate, "/bundle/", features);
        if (!h)
            return;
        desc->connect_port(h, LV2_PORT_IN, in.data());
        desc->connect_port(h, LV2_PORT_OUT, out.data());
        for (uint32_t i = 0; i < 3; ++i)
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
    const LV2_State_Interface *state() const
    {
        return static_cast<const LV2_State_Interface *>(desc->extension_data(LV2_STATE__interface));
    }
};

