#include "vst3_host_fixture.h"

#include <cmath>

namespace {
HostModule g_module;
}

std::string cid_text(const char *cid16)
{
    const uint8_t *b = reinterpret_cast<const uint8_t *>(cid16);
#if defined(_WIN32)
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
#else
    const int order[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
#endif
    static const char hex[] = "0123456789ABCDEF";
    std::string s;
    for (int i : order) {
        s.push_back(hex[b[i] >> 4]);
        s.push_back(hex[b[i] & 15]);
    }
    return s;
}

void Vst3Host::SetUpTestSuite() { ASSERT_TRUE(host_module_load(&g_module, ZFEN_VST3_BUNDLE)) << g_module.error; }

void Vst3Host::TearDownTestSuite() { host_module_unload(&g_module); }

const HostModule &Vst3Host::module() { return g_module; }

Vst3Rig &Vst3Host::new_rig()
{
    rigs_.push_back(std::make_unique<Vst3Rig>(factory(), app.ptr()));
    return *rigs_.back();
}

IComponent *Vst3Host::new_processor() { return new_rig().make_processor(); }

IEditController *Vst3Host::new_controller() { return new_rig().make_controller(); }

Vst3Rig *Vst3Host::owner(const void *obj)
{
    for (auto &rig : rigs_)
        if (obj && (rig->processor() == obj || rig->controller() == obj))
            return rig.get();
    ADD_FAILURE() << "take: not an object this test made";
    return nullptr;
}

void Vst3Host::take(IComponent *c)
{
    if (Vst3Rig *rig = owner(c))
        rig->take_processor();
}

void Vst3Host::take(IEditController *e)
{
    if (Vst3Rig *rig = owner(e))
        rig->take_controller();
}

void Vst3Host::noise(MonoBlock &b, uint32_t seed)
{
    for (float &x : b.in) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
}

testing::AssertionResult Vst3Host::sounds(const MonoBlock &b)
{
    bool any = false;
    for (int32_t i = 0; i < b.data.numSamples; ++i) {
        if (!std::isfinite(b.out[static_cast<size_t>(i)]))
            return testing::AssertionFailure() << "sample " << i << " is " << b.out[static_cast<size_t>(i)];
        any = any || b.out[static_cast<size_t>(i)] != 0.0f;
    }
    return any ? testing::AssertionSuccess() : testing::AssertionFailure() << "silent";
}
