// The fixture of the tests that load the built bundle as a host does and
// drive it through the published interfaces only. The module is loaded once
// per program; what a test makes is released when the test ends, however it
// ends.
#pragma once
#include "blob_reader.h"
#include "host_module.h"
#include "host_objects.h"
#include "json_lite.h"
#include "vst3_rig.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

// The parameter ids as hosts and saved projects know them, written out
// rather than read from k_params: these tests check the table against them.
inline constexpr ParamID kCutoffId = 1784049613u;
inline constexpr ParamID kLfoAmtId = 394330366u;
inline constexpr ParamID kLfoSpeedId = 793359101u;
inline constexpr ParamID kModId = 558397322u;

// A class id as GUID text without dashes, from the platform's byte order.
std::string cid_text(const char *cid16);

class Vst3Host : public testing::Test {
protected:
    static void SetUpTestSuite(); // loads the bundle the build made
    static void TearDownTestSuite();
    void TearDown() override { rigs_.clear(); }

    static const HostModule &module();
    static IPluginFactory *factory() { return module().factory; }
    HostApplication app;

    // Created and initialized with `app`; owned by the fixture.
    IComponent *new_processor();
    IEditController *new_controller();
    // Ownership back to the test, which releases the object itself.
    void take(IComponent *c);
    void take(IEditController *e);

    static IAudioProcessor *audio_of(IComponent *c) { return vst3_audio_of(c); }
    static void activate(IComponent *c, double rate, bool in_bus = true, bool out_bus = true)
    {
        vst3_activate(c, rate, in_bus, out_bus);
    }
    static std::vector<uint8_t> save(IComponent *c) { return vst3_save(c); }
    static std::array<float, 3> saved_values(IComponent *c) { return blob_reader(save(c)).values; }
    static tresult run(IComponent *c, MonoBlock &b, HostChanges *in = nullptr, HostChanges *out = nullptr)
    {
        return vst3_run(c, b, in, out);
    }
    // Input noise in [-0.5, 0.5), the same for the same seed.
    static void noise(MonoBlock &b, uint32_t seed);
    // Every output sample finite, and not all of them zero.
    static testing::AssertionResult sounds(const MonoBlock &b);

private:
    Vst3Rig &new_rig();
    Vst3Rig *owner(const void *obj);
    std::vector<std::unique_ptr<Vst3Rig>> rigs_;
};
