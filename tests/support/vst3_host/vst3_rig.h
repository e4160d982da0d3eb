// A processor and a controller made by a factory, owned for the length of a
// scope: on every way out, a failed ASSERT included, they are deactivated,
// terminated and released, and a module the rig loaded is unloaded.
#pragma once
#include "host_module.h"
#include "host_objects.h"
#include "vst3/vst3_module.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// ---- on any component -------------------------------------------------------------
// Its audio interface, without a reference of its own: the component keeps it.
IAudioProcessor *vst3_audio_of(IComponent *c);
// Mono buses set, switched on or off, set up at `rate`, active.
void vst3_activate(IComponent *c, double rate, bool in_bus = true, bool out_bus = true, int32_t max_block = 8192);
std::vector<uint8_t> vst3_save(IComponent *c);
// One block, with the host's input and output changes if given.
tresult vst3_run(IComponent *c, MonoBlock &b, HostChanges *in = nullptr, HostChanges *out = nullptr);

class Vst3Rig {
public:
    // Objects come from `factory`, a module someone else loaded and unloads;
    // `context` is what they are initialized with (the rig's own `app` if null).
    explicit Vst3Rig(IPluginFactory *factory = nullptr, FUnknown *context = nullptr);
    ~Vst3Rig();
    Vst3Rig(const Vst3Rig &) = delete;
    Vst3Rig &operator=(const Vst3Rig &) = delete;

    // Loads the bundle and keeps the module until the rig goes; false, with
    // error(), if it could not.
    bool load(const std::string &bundle);
    const std::string &error() const { return module_.error; }
    IPluginFactory *factory() const { return factory_; }

    // Created and initialized; null, with a test failure, if that failed.
    // Each replaces (and releases) the rig's previous one.
    IComponent *make_processor();
    IEditController *make_controller();
    IComponent *processor() const { return comp_; }
    IEditController *controller() const { return ctrl_; }
    IAudioProcessor *audio() const { return comp_ ? vst3_audio_of(comp_) : nullptr; }
    void activate(double rate, bool in_bus = true, bool out_bus = true, int32_t max_block = 8192);

    // Hands ownership back, for tests that count references down to zero
    // themselves: the rig forgets the object and does nothing more to it.
    IComponent *take_processor();
    IEditController *take_controller();
    // Deactivates, terminates and releases what the rig still owns, now.
    void release_all();

    HostApplication app;

private:
    void *create(const Vst3Uid &cid, const Vst3Uid &iid);
    void drop_processor();
    void drop_controller();

    IPluginFactory *factory_;
    FUnknown *context_;
    HostModule module_;
    IComponent *comp_ = nullptr;
    IEditController *ctrl_ = nullptr;
};
