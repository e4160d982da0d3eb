#include "vst3_rig.h"

#include <gtest/gtest.h>

IAudioProcessor *vst3_audio_of(IComponent *c)
{
    void *obj = nullptr;
    EXPECT_EQ(c->vtbl->queryInterface(c, vst3_uid_ptr(IID_IAudioProcessor), &obj), kResultOk);
    auto *a = static_cast<IAudioProcessor *>(obj);
    if (a)
        a->vtbl->release(a);
    return a;
}

void vst3_activate(IComponent *c, double rate, bool in_bus, bool out_bus, int32_t max_block)
{
    IAudioProcessor *a = vst3_audio_of(c);
    ASSERT_TRUE(a);
    SpeakerArrangement mono = kSpeakerArrMono;
    SpeakerArrangement mono2 = kSpeakerArrMono;
    EXPECT_EQ(a->vtbl->setBusArrangements(a, &mono, 1, &mono2, 1), kResultTrue);
    EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kInput, 0, in_bus), kResultOk);
    EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kOutput, 0, out_bus), kResultOk);
    ProcessSetup setup{kRealtime, kSample32, max_block, rate};
    EXPECT_EQ(a->vtbl->setupProcessing(a, &setup), kResultOk);
    EXPECT_EQ(c->vtbl->setActive(c, 1), kResultOk);
}

std::vector<uint8_t> vst3_save(IComponent *c)
{
    MemoryStream s;
    EXPECT_EQ(c->vtbl->getState(c, s.ptr()), kResultOk);
    return s.data;
}

tresult vst3_run(IComponent *c, MonoBlock &b, HostChanges *in, HostChanges *out)
{
    b.data.inputParameterChanges = in ? in->ptr() : nullptr;
    b.data.outputParameterChanges = out ? out->ptr() : nullptr;
    IAudioProcessor *a = vst3_audio_of(c);
    return a ? a->vtbl->process(a, &b.data) : kNoInterface;
}

Vst3Rig::Vst3Rig(IPluginFactory *factory, FUnknown *context)
    : factory_(factory), context_(context ? context : app.ptr())
{}

Vst3Rig::~Vst3Rig()
{
    release_all();
    host_module_unload(&module_);
}

bool Vst3Rig::load(const std::string &bundle)
{
    release_all();
    host_module_unload(&module_);
    factory_ = nullptr;
    if (!host_module_load(&module_, bundle))
        return false;
    factory_ = module_.factory;
    return true;
}

void *Vst3Rig::create(const Vst3Uid &cid, const Vst3Uid &iid)
{
    if (!factory_) {
        ADD_FAILURE() << "no factory: " << error();
        return nullptr;
    }
    void *obj = nullptr;
    EXPECT_EQ(factory_->vtbl->createInstance(factory_, vst3_uid_ptr(cid), vst3_uid_ptr(iid), &obj), kResultOk);
    return obj;
}

IComponent *Vst3Rig::make_processor()
{
    drop_processor();
    comp_ = static_cast<IComponent *>(create(k_processor_cid, IID_IComponent));
    if (comp_) {
        EXPECT_EQ(comp_->vtbl->initialize(comp_, context_), kResultOk);
    }
    return comp_;
}

IEditController *Vst3Rig::make_controller()
{
    drop_controller();
    ctrl_ = static_cast<IEditController *>(create(k_controller_cid, IID_IEditController));
    if (ctrl_) {
        EXPECT_EQ(ctrl_->vtbl->initialize(ctrl_, context_), kResultOk);
    }
    return ctrl_;
}

void Vst3Rig::activate(double rate, bool in_bus, bool out_bus, int32_t max_block)
{
    ASSERT_TRUE(comp_) << "no processor to activate";
    vst3_activate(comp_, rate, in_bus, out_bus, max_block);
}

IComponent *Vst3Rig::take_processor()
{
    IComponent *c = comp_;
    comp_ = nullptr;
    return c;
}

IEditController *Vst3Rig::take_controller()
{
    IEditController *e = ctrl_;
    ctrl_ = nullptr;
    return e;
}

// Deactivating or terminating again is harmless to a component, so the rig
// need not track what the test did to it.
void Vst3Rig::drop_processor()
{
    if (comp_) {
        comp_->vtbl->setActive(comp_, 0);
        comp_->vtbl->terminate(comp_);
        comp_->vtbl->release(comp_);
        comp_ = nullptr;
    }
}

void Vst3Rig::drop_controller()
{
    if (ctrl_) {
        ctrl_->vtbl->terminate(ctrl_);
        ctrl_->vtbl->release(ctrl_);
        ctrl_ = nullptr;
    }
}

void Vst3Rig::release_all()
{
    drop_processor();
    drop_controller();
}
