// The module as a host sees it: loaded from its bundle through its entry
// points, driven through the published interfaces only.
#include "vst3/vst3_module.h"
#include "vst3_host/blob_reader.h"
#include "vst3_host/host_module.h"
#include "vst3_host/host_objects.h"
#include "vst3_host/json_lite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <xmmintrin.h>

namespace {

constexpr ParamID kCutoffId = 1784049613u;
constexpr ParamID kLfoAmtId = 394330366u;
constexpr ParamID kLfoSpeedId = 793359101u;
constexpr ParamID kModId = 558397322u;

HostModule g_module;

std::string cid_text(const char *cid16)
{
    // Back from the platform's byte order to the GUID text without dashes.
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

class Vst3Host : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(host_module_load(&g_module, ZFEN_VST3_BUNDLE)) << g_module.error; }
    static void TearDownTestSuite() { host_module_unload(&g_module); }

    IPluginFactory *factory() { return g_module.factory; }
    HostApplication app;

    IComponent *new_processor()
    {
        void *obj = nullptr;
        EXPECT_EQ(factory()->vtbl->createInstance(factory(), vst3_uid_ptr(k_processor_cid), vst3_uid_ptr(IID_IComponent),
                                                  &obj),
                  kResultOk);
        auto *c = static_cast<IComponent *>(obj);
        if (c) {
            EXPECT_EQ(c->vtbl->initialize(c, app.ptr()), kResultOk);
        }
        return c;
    }
    IEditController *new_controller()
    {
        void *obj = nullptr;
        EXPECT_EQ(factory()->vtbl->createInstance(factory(), vst3_uid_ptr(k_controller_cid),
                                                  vst3_uid_ptr(IID_IEditController), &obj),
                  kResultOk);
        auto *c = static_cast<IEditController *>(obj);
        if (c) {
            EXPECT_EQ(c->vtbl->initialize(c, app.ptr()), kResultOk);
        }
        return c;
    }
    static IAudioProcessor *audio_of(IComponent *c)
    {
        void *obj = nullptr;
        EXPECT_EQ(c->vtbl->queryInterface(c, vst3_uid_ptr(IID_IAudioProcessor), &obj), kResultOk);
        auto *a = static_cast<IAudioProcessor *>(obj);
        a->vtbl->release(a); // the component keeps the object alive
        return a;
    }
    // Buses on, set up at `rate`, active.
    static void activate(IComponent *c, double rate, bool in_bus = true, bool out_bus = true)
    {
        IAudioProcessor *a = audio_of(c);
        SpeakerArrangement mono = kSpeakerArrMono;
        SpeakerArrangement mono2 = kSpeakerArrMono;
        EXPECT_EQ(a->vtbl->setBusArrangements(a, &mono, 1, &mono2, 1), kResultTrue);
        EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kInput, 0, in_bus), kResultOk);
        EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kOutput, 0, out_bus), kResultOk);
        ProcessSetup setup{kRealtime, kSample32, 8192, rate};
        EXPECT_EQ(a->vtbl->setupProcessing(a, &setup), kResultOk);
        EXPECT_EQ(c->vtbl->setActive(c, 1), kResultOk);
    }
    static std::vector<uint8_t> save(IComponent *c)
    {
        MemoryStream s;
        EXPECT_EQ(c->vtbl->getState(c, s.ptr()), kResultOk);
        return s.data;
    }
    static std::array<float, 3> saved_values(IComponent *c) { return blob_reader(save(c)).values; }
    static tresult run(IComponent *c, MonoBlock &b, HostChanges *in = nullptr, HostChanges *out = nullptr)
    {
        b.data.inputParameterChanges = in ? in->ptr() : nullptr;
        b.data.outputParameterChanges = out ? out->ptr() : nullptr;
        IAudioProcessor *a = audio_of(c);
        return a->vtbl->process(a, &b.data);
    }
    // Input noise in [-0.5, 0.5), the same for the same seed.
    static void noise(MonoBlock &b, uint32_t seed)
    {
        for (float &x : b.in) {
            seed = seed * 1664525u + 1013904223u;
            x = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        }
    }
    // Every output sample finite, and not all of them zero.
    static testing::AssertionResult sounds(const MonoBlock &b)
    {
        bool any = false;
        for (int32_t i = 0; i < b.data.numSamples; ++i) {
            if (!std::isfinite(b.out[static_cast<size_t>(i)]))
                return testing::AssertionFailure() << "sample " << i << " is " << b.out[static_cast<size_t>(i)];
            any = any || b.out[static_cast<size_t>(i)] != 0.0f;
        }
        return any ? testing::AssertionSuccess() : testing::AssertionFailure() << "silent";
    }
};

// ---- module and factory ----------------------------------------------------------------

TEST_F(Vst3Host, ExportsOnlyTheEntryPoints)
{
    EXPECT_NE(host_module_symbol(&g_module, "GetPluginFactory"), nullptr);
#if defined(_WIN32)
    EXPECT_NE(host_module_symbol(&g_module, "DllMain"), nullptr);
    EXPECT_EQ(host_module_symbol(&g_module, "ModuleEntry"), nullptr);
#else
    EXPECT_EQ(host_module_symbol(&g_module, "DllMain"), nullptr);
#endif
    EXPECT_EQ(host_module_symbol(&g_module, "InitDll"), nullptr);
    EXPECT_EQ(host_module_symbol(&g_module, "factory_get"), nullptr);
    EXPECT_EQ(host_module_symbol(&g_module, "engine_process"), nullptr);
    EXPECT_EQ(host_module_symbol(&g_module, "state_save"), nullptr);
}

TEST_F(Vst3Host, FactoryDescribesTheMakerAndTwoClasses)
{
    IPluginFactory *f = factory();
    PFactoryInfo fi;
    std::memset(&fi, 0x55, sizeof fi);
    ASSERT_EQ(f->vtbl->getFactoryInfo(f, &fi), kResultOk);
    EXPECT_STREQ(fi.vendor, "Vornic");
    EXPECT_STREQ(fi.url, "https://vornic.audio");
    EXPECT_STREQ(fi.email, "mailto:support@vornic.audio");
    EXPECT_EQ(fi.flags, kUnicode);
    EXPECT_EQ(f->vtbl->countClasses(f), 2);
}

TEST_F(Vst3Host, ClassInfoInAllThreeForms)
{
    IPluginFactory *f = factory();
    PClassInfo ci;
    ASSERT_EQ(f->vtbl->getClassInfo(f, 0, &ci), kResultOk);
    EXPECT_EQ(cid_text(ci.cid), "7FEA2148BFB2BFED6F2AFF0938CD9988");
    EXPECT_EQ(ci.cardinality, 0x7FFFFFFF);
    EXPECT_STREQ(ci.category, "Audio Module Class");
    EXPECT_STREQ(ci.name, "Z-FEN");
    ASSERT_EQ(f->vtbl->getClassInfo(f, 1, &ci), kResultOk);
    EXPECT_EQ(cid_text(ci.cid), "B5CB37D09A31FD32BD7E2B0FC936FE0F");
    EXPECT_STREQ(ci.category, "Component Controller Class");
    EXPECT_STREQ(ci.name, "Z-FEN Controller");

    PClassInfo2 c2;
    ASSERT_EQ(f->vtbl->getClassInfo2(f, 0, &c2), kResultOk);
    EXPECT_EQ(c2.classFlags, 1u);
    EXPECT_STREQ(c2.subCategories, "Fx|Filter");
    EXPECT_STREQ(c2.vendor, "");
    EXPECT_STREQ(c2.version, "1.3.2.1");
    EXPECT_STREQ(c2.sdkVersion, "VST 3.8.0 | Quillon");
    ASSERT_EQ(f->vtbl->getClassInfo2(f, 1, &c2), kResultOk);
    EXPECT_EQ(c2.classFlags, 0u);
    EXPECT_STREQ(c2.subCategories, "");

    PClassInfoW cw;
    ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, 0, &cw), kResultOk);
    EXPECT_EQ(narrow(cw.name), "Z-FEN");
    EXPECT_EQ(narrow(cw.version), "1.3.2.1");
    EXPECT_EQ(narrow(cw.sdkVersion), "VST 3.8.0");
    EXPECT_EQ(narrow(cw.vendor), "");
    EXPECT_STREQ(cw.category, "Audio Module Class");
    EXPECT_STREQ(cw.subCategories, "Fx|Filter");
    EXPECT_EQ(cw.classFlags, 1u);
    ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, 1, &cw), kResultOk);
    EXPECT_EQ(narrow(cw.name), "Z-FEN Controller");

    for (int32_t bad : {2, -1}) {
        PClassInfo untouched;
        std::memset(&untouched, 0x5A, sizeof untouched);
        PClassInfo probe = untouched;
        EXPECT_EQ(f->vtbl->getClassInfo(f, bad, &probe), kInvalidArgument);
        EXPECT_EQ(std::memcmp(&probe, &untouched, sizeof probe), 0);
        EXPECT_EQ(f->vtbl->getClassInfo2(f, bad, &c2), kInvalidArgument);
        EXPECT_EQ(f->vtbl->getClassInfoUnicode(f, bad, &cw), kInvalidArgument);
    }
}

TEST_F(Vst3Host, FactoryIdentityAndCreation)
{
    IPluginFactory *f = factory();
    void *obj = nullptr;
    ASSERT_EQ(f->vtbl->queryInterface(f, vst3_uid_ptr(IID_IPluginFactory3), &obj), kResultOk);
    EXPECT_EQ(obj, f);
    EXPECT_EQ(f->vtbl->release(f), 1u);
    EXPECT_EQ(f->vtbl->countClasses(f), 2);
    obj = &obj;
    EXPECT_EQ(f->vtbl->queryInterface(f, vst3_uid_ptr(IID_IComponent), &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(f->vtbl->setHostContext(f, app.ptr()), kNotImplemented);

    // The wrong interface for a known class leaves *obj alone; an unknown class clears it.
    void *sentinel = &sentinel;
    obj = sentinel;
    EXPECT_EQ(f->vtbl->createInstance(f, vst3_uid_ptr(k_processor_cid), vst3_uid_ptr(IID_IEditController), &obj),
              kNoInterface);
    EXPECT_EQ(obj, sentinel);
    EXPECT_EQ(f->vtbl->createInstance(f, vst3_uid_ptr(k_controller_cid), vst3_uid_ptr(IID_IComponent), &obj),
              kNoInterface);
    EXPECT_EQ(obj, sentinel);
    EXPECT_EQ(f->vtbl->createInstance(f, vst3_uid_ptr(IID_IComponent), vst3_uid_ptr(IID_IComponent), &obj),
              kNoInterface);
    EXPECT_EQ(obj, nullptr);
}

TEST_F(Vst3Host, ModuleInfoMatchesTheFactory)
{
    std::ifstream file(host_path(ZFEN_VST3_BUNDLE "/Contents/Resources/moduleinfo.json"));
    ASSERT_TRUE(file.good());
    std::stringstream text;
    text << file.rdbuf();
    Json doc;
    std::string err;
    ASSERT_TRUE(json_parse(text.str(), &doc, &err)) << err;
    ASSERT_EQ(doc.kind, Json::OBJECT);
    for (const auto &m : doc.members)
        EXPECT_TRUE(m.first == "Name" || m.first == "Version" || m.first == "Factory Info" || m.first == "Classes" ||
                    m.first == "Compatibility")
            << m.first;
    EXPECT_EQ(doc.get("Name")->text, "vornic-zfen");
    EXPECT_EQ(doc.get("Version")->text, "1.3.2.1");

    IPluginFactory *f = factory();
    PFactoryInfo fi{};
    f->vtbl->getFactoryInfo(f, &fi);
    const Json *info = doc.get("Factory Info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->members.size(), 4u);
    EXPECT_EQ(info->get("Vendor")->text, fi.vendor);
    EXPECT_EQ(info->get("URL")->text, fi.url);
    EXPECT_EQ(info->get("E-Mail")->text, fi.email);
    const Json *flags = info->get("Flags");
    ASSERT_TRUE(flags);
    EXPECT_EQ(flags->get("Unicode")->boolean, (fi.flags & kUnicode) != 0);
    EXPECT_EQ(flags->get("Classes Discardable")->boolean, (fi.flags & 1) != 0);
    EXPECT_EQ(flags->get("Component Non Discardable")->boolean, (fi.flags & 8) != 0);

    const Json *classes = doc.get("Classes");
    ASSERT_TRUE(classes);
    ASSERT_EQ(classes->items.size(), static_cast<size_t>(f->vtbl->countClasses(f)));
    const char *allowed[] = {"CID", "Category", "Name", "Vendor", "Version", "SDKVersion",
                             "Sub Categories", "Class Flags", "Cardinality", "Snapshots"};
    for (int32_t i = 0; i < f->vtbl->countClasses(f); ++i) {
        PClassInfoW cw{};
        ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, i, &cw), kResultOk);
        const Json &c = classes->items[static_cast<size_t>(i)];
        for (const auto &m : c.members)
            EXPECT_TRUE(std::find(std::begin(allowed), std::end(allowed), m.first) != std::end(allowed)) << m.first;
        EXPECT_EQ(c.get("CID")->text, cid_text(cw.cid));
        EXPECT_EQ(c.get("Category")->text, cw.category);
        EXPECT_EQ(c.get("Name")->text, narrow(cw.name));
        // An empty class vendor means the factory's.
        EXPECT_EQ(c.get("Vendor")->text, narrow(cw.vendor).empty() ? std::string(fi.vendor) : narrow(cw.vendor));
        EXPECT_EQ(c.get("Version")->text, narrow(cw.version));
        EXPECT_EQ(c.get("SDKVersion")->text, narrow(cw.sdkVersion));
        EXPECT_EQ(c.get("Class Flags")->number, static_cast<double>(cw.classFlags));
        EXPECT_EQ(c.get("Cardinality")->number, static_cast<double>(cw.cardinality));
        std::string subs;
        if (const Json *sc = c.get("Sub Categories"))
            for (const Json &s : sc->items)
                subs += (subs.empty() ? "" : "|") + s.text;
        EXPECT_EQ(subs, cw.subCategories);
    }
}

// ---- processor: interfaces, buses, arrangements ---------------------------------------------------

TEST_F(Vst3Host, ProcessorInterfacesShareOneCount)
{
    IComponent *c = new_processor();
    ASSERT_TRUE(c);
    const Vst3Uid *ids[] = {&IID_FUnknown, &IID_IPluginBase, &IID_IComponent, &IID_IAudioProcessor,
                            &IID_IProcessContextRequirements, &IID_IConnectionPoint};
    uint32_t expected = 1;
    for (const Vst3Uid *id : ids) {
        void *obj = nullptr;
        ASSERT_EQ(c->vtbl->queryInterface(c, vst3_uid_ptr(*id), &obj), kResultOk);
        EXPECT_NE(obj, nullptr);
        EXPECT_EQ(c->vtbl->addRef(c), ++expected + 1);
        EXPECT_EQ(c->vtbl->release(c), expected);
    }
    void *obj = &obj;
    EXPECT_EQ(c->vtbl->queryInterface(c, vst3_uid_ptr(IID_IEditController), &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);

    // From the audio interface back to the same component.
    IAudioProcessor *a = audio_of(c);
    ASSERT_EQ(a->vtbl->queryInterface(a, vst3_uid_ptr(IID_IComponent), &obj), kResultOk);
    EXPECT_EQ(obj, c);
    void *req = nullptr;
    ASSERT_EQ(c->vtbl->queryInterface(c, vst3_uid_ptr(IID_IProcessContextRequirements), &req), kResultOk);
    auto *r = static_cast<IProcessContextRequirements *>(req);
    EXPECT_EQ(r->vtbl->getProcessContextRequirements(r), 0u);
    void *cp = nullptr;
    ASSERT_EQ(c->vtbl->queryInterface(c, vst3_uid_ptr(IID_IConnectionPoint), &cp), kResultOk);
    auto *conn = static_cast<IConnectionPoint *>(cp);
    EXPECT_EQ(conn->vtbl->connect(conn, nullptr), kInvalidArgument);
    EXPECT_EQ(conn->vtbl->connect(conn, conn), kResultOk);
    EXPECT_EQ(conn->vtbl->notify(conn, nullptr), kResultOk);
    EXPECT_EQ(conn->vtbl->disconnect(conn, conn), kResultOk);

    // Every reference handed out goes back; the last one frees the object.
    uint32_t left = r->vtbl->release(r);
    left = conn->vtbl->release(conn);
    left = c->vtbl->release(c); // the one from audio->queryInterface
    EXPECT_EQ(left, expected);
    while (left > 1)
        left = c->vtbl->release(c);
    EXPECT_EQ(c->vtbl->release(c), 0u);
}

TEST_F(Vst3Host, BusesAndArrangements)
{
    IComponent *c = new_processor();
    IAudioProcessor *a = audio_of(c);
    EXPECT_EQ(c->vtbl->getBusCount(c, kAudio, kInput), 1);
    EXPECT_EQ(c->vtbl->getBusCount(c, kAudio, kOutput), 1);
    EXPECT_EQ(c->vtbl->getBusCount(c, kEvent, kInput), 0);
    EXPECT_EQ(c->vtbl->getBusCount(c, kEvent, kOutput), 0);

    BusInfo first, again;
    std::memset(&first, 0x11, sizeof first);
    std::memset(&again, 0x77, sizeof again);
    ASSERT_EQ(c->vtbl->getBusInfo(c, kAudio, kInput, 0, &first), kResultOk);
    ASSERT_EQ(c->vtbl->getBusInfo(c, kAudio, kInput, 0, &again), kResultOk);
    EXPECT_EQ(std::memcmp(&first, &again, sizeof first), 0);
    EXPECT_EQ(first.channelCount, 1);
    EXPECT_EQ(narrow(first.name), "Input");
    EXPECT_EQ(first.busType, kMain);
    EXPECT_EQ(first.flags, static_cast<uint32_t>(kDefaultActive));
    ASSERT_EQ(c->vtbl->getBusInfo(c, kAudio, kOutput, 0, &first), kResultOk);
    EXPECT_EQ(narrow(first.name), "Output");
    EXPECT_EQ(first.direction, kOutput);
    EXPECT_EQ(c->vtbl->getBusInfo(c, kAudio, kInput, 1, &first), kInvalidArgument);
    EXPECT_EQ(c->vtbl->getBusInfo(c, kEvent, kInput, 0, &first), kInvalidArgument);
    EXPECT_EQ(c->vtbl->getBusInfo(c, kAudio, 2, 0, &first), kInvalidArgument);
    EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kOutput, 1, 1), kInvalidArgument);
    EXPECT_EQ(c->vtbl->activateBus(c, kEvent, kInput, 0, 1), kInvalidArgument);

    SpeakerArrangement arr = 0;
    ASSERT_EQ(a->vtbl->getBusArrangement(a, kInput, 0, &arr), kResultOk);
    EXPECT_EQ(arr, kSpeakerArrMono);
    EXPECT_EQ(a->vtbl->getBusArrangement(a, kOutput, 1, &arr), kInvalidArgument);

    SpeakerArrangement st_in = kSpeakerArrStereo, st_out = kSpeakerArrStereo;
    EXPECT_EQ(a->vtbl->setBusArrangements(a, &st_in, 1, &st_out, 1), kResultFalse);
    SpeakerArrangement m_in = kSpeakerArrMono, m_out = kSpeakerArrMono;
    EXPECT_EQ(a->vtbl->setBusArrangements(a, &m_in, 1, &m_out, 1), kResultTrue);
    EXPECT_EQ(a->vtbl->setBusArrangements(a, &m_in, 1, &st_out, 1), kResultFalse);
    EXPECT_EQ(a->vtbl->setBusArrangements(a, &m_in, 2, &m_out, 1), kResultFalse);
    EXPECT_EQ(a->vtbl->setBusArrangements(a, &m_in, -1, &m_out, 1), kInvalidArgument);
    EXPECT_EQ(a->vtbl->canProcessSampleSize(a, kSample32), kResultTrue);
    EXPECT_EQ(a->vtbl->canProcessSampleSize(a, kSample64), kNotImplemented);
    EXPECT_EQ(a->vtbl->getLatencySamples(a), 0u);
    EXPECT_EQ(a->vtbl->getTailSamples(a), 0u);
    EXPECT_EQ(a->vtbl->setProcessing(a, 1), kNotImplemented);
    EXPECT_EQ(c->vtbl->setIoMode(c, 0), kNotImplemented);
    EXPECT_EQ(c->vtbl->getRoutingInfo(c, nullptr, nullptr), kNotImplemented);

    char cid[16] = {};
    ASSERT_EQ(c->vtbl->getControllerClassId(c, cid), kResultOk);
    EXPECT_EQ(cid_text(cid), "B5CB37D09A31FD32BD7E2B0FC936FE0F");
    EXPECT_EQ(c->vtbl->getControllerClassId(c, nullptr), kResultFalse);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, SecondInitializeRefusedTerminateAllowsAnother)
{
    // c and ref run the same blocks; only c gets the second initialize.
    IComponent *c = new_processor();
    IComponent *ref = new_processor();
    HostChanges in;
    in.add(kCutoffId, {{0, 5.0 / 15.0}});
    in.add(kLfoSpeedId, {{0, 1.0}});
    for (IComponent *x : {c, ref}) {
        activate(x, 48000.0);
        MonoBlock b(300);
        noise(b, 1);
        ASSERT_EQ(run(x, b, &in), kResultOk);
    }
    HostApplication other;
    EXPECT_EQ(c->vtbl->initialize(c, other.ptr()), kResultFalse);
    std::vector<uint8_t> blob = save(c);
    BlobContents kept = blob_reader(blob);
    EXPECT_EQ(kept.values, (std::array<float, 3>{5.0f, 0.0f, 15.0f}));
    EXPECT_EQ(blob_sample_rate(kept), 48000.0f);
    EXPECT_EQ(blob, save(ref));
    // Buses and engine carry on as if nothing happened; the register (88)
    // was reported in the first block and is not reported again.
    MonoBlock bc(4000), br(4000);
    noise(bc, 2);
    noise(br, 2);
    HostChanges out;
    ASSERT_EQ(run(c, bc, nullptr, &out), kResultOk);
    ASSERT_EQ(run(ref, br), kResultOk);
    EXPECT_TRUE(sounds(bc));
    EXPECT_TRUE(bc.out == br.out);
    EXPECT_TRUE(out.queues.empty());
    // Nor were the values last received forgotten: the default is a change.
    HostChanges back;
    back.add(kCutoffId, {{0, 1.0}});
    ASSERT_EQ(run(c, bc, &back), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{15.0f, 0.0f, 15.0f}));

    // After terminate, initialize starts afresh: defaults, no rate, buses off.
    EXPECT_EQ(c->vtbl->terminate(c), kResultOk);
    EXPECT_EQ(c->vtbl->initialize(c, app.ptr()), kResultOk);
    BlobContents fresh = blob_reader(save(c));
    EXPECT_EQ(fresh.values, (std::array<float, 3>{15.0f, 0.0f, 7.0f}));
    EXPECT_EQ(blob_sample_rate(fresh), 0.0f);
    std::fill(bc.out.begin(), bc.out.end(), 1.0f);
    EXPECT_EQ(c->vtbl->setActive(c, 1), kResultOk);
    ASSERT_EQ(run(c, bc), kResultOk);
    EXPECT_TRUE(std::all_of(bc.out.begin(), bc.out.end(), [](float v) { return v == 0.0f; }));
    // The host context is not counted.
    EXPECT_EQ(app.refs, 1);
    EXPECT_EQ(other.refs, 1);
    c->vtbl->release(c);
    ref->vtbl->release(ref);
}

TEST_F(Vst3Host, StateTransitionsAsTheValidatorDrivesThem)
{
    // Each round restores what the last one saved, activates, processes,
    // changes the values, saves, then deactivates, switches the buses off,
    // terminates and initializes again.
    IComponent *c = new_processor();
    EXPECT_EQ(c->vtbl->setActive(c, 0), kResultOk);
    std::vector<uint8_t> blob;
    std::array<float, 3> expected{15.0f, 0.0f, 7.0f};
    for (int round = 0; round < 4; ++round) {
        if (!blob.empty()) {
            MemoryStream s(blob);
            ASSERT_EQ(c->vtbl->setState(c, s.ptr()), kResultOk);
        }
        const double rate = 44100.0 + 1000.0 * round;
        activate(c, rate);
        MonoBlock b(1024);
        noise(b, static_cast<uint32_t>(round));
        ASSERT_EQ(run(c, b), kResultOk);
        EXPECT_TRUE(sounds(b)) << "round " << round;
        EXPECT_EQ(saved_values(c), expected) << "round " << round;

        HostChanges in;
        in.add(kCutoffId, {{0, round / 15.0}});
        in.add(kLfoAmtId, {{0, (15 - round) / 15.0}});
        in.add(kLfoSpeedId, {{0, (round + 3) / 15.0}});
        ASSERT_EQ(run(c, b, &in), kResultOk);
        EXPECT_TRUE(sounds(b)) << "round " << round;
        expected = {static_cast<float>(round), static_cast<float>(15 - round), static_cast<float>(round + 3)};
        blob = save(c);
        BlobContents saved = blob_reader(blob);
        EXPECT_EQ(saved.values, expected);
        EXPECT_EQ(blob_sample_rate(saved), static_cast<float>(rate));

        EXPECT_EQ(c->vtbl->setActive(c, 0), kResultOk);
        EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kInput, 0, 0), kResultOk);
        EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kOutput, 0, 0), kResultOk);
        EXPECT_EQ(c->vtbl->terminate(c), kResultOk);
        EXPECT_EQ(c->vtbl->initialize(c, app.ptr()), kResultOk);
        BlobContents fresh = blob_reader(save(c));
        EXPECT_EQ(fresh.values, (std::array<float, 3>{15.0f, 0.0f, 7.0f}));
        EXPECT_EQ(blob_sample_rate(fresh), 0.0f);
    }
    c->vtbl->release(c);
}

// ---- processor: blocks and parameter queues ----------------------------------------------------------

TEST_F(Vst3Host, QueuePointsAtStartAndEndOnly)
{
    IComponent *c = new_processor();
    activate(c, 44100.0);
    MonoBlock b(512, 0.25f);
    HostChanges in, out;
    in.add(kCutoffId, {{0, 0.0}, {100, 0.5}, {511, 1.0}});
    ASSERT_EQ(run(c, b, &in, &out), kResultOk);
    // Ticks at samples 0 and 441 ran with Cutoff 0 (register 8); 8 (register
    // 136, from 0.5) was never used; 15 is the value after the block.
    const HostQueue *q = out.find(kModId);
    ASSERT_TRUE(q);
    ASSERT_EQ(q->points.size(), 1u);
    EXPECT_EQ(q->points[0].first, 511);
    EXPECT_EQ(q->points[0].second, 8.0 / 255.0);
    EXPECT_EQ(saved_values(c)[0], 15.0f);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, SinglePointAtFortyAppliesAfterTheBlock)
{
    IComponent *c = new_processor();
    activate(c, 44100.0);
    MonoBlock b(512);
    HostChanges in, out;
    in.add(kCutoffId, {{40, 0.0}});
    ASSERT_EQ(run(c, b, &in, &out), kResultOk);
    EXPECT_EQ(out.find(kModId), nullptr); // the register stayed 248 during the block
    EXPECT_EQ(saved_values(c)[0], 0.0f);
    HostChanges out2;
    MonoBlock b2(100);
    ASSERT_EQ(run(c, b2, nullptr, &out2), kResultOk); // samples 512..611: no tick
    EXPECT_EQ(out2.find(kModId), nullptr);
    HostChanges out3;
    ASSERT_EQ(run(c, b2, nullptr, &out3), kResultOk); // 612..711
    ASSERT_EQ(run(c, b2, nullptr, &out3), kResultOk); // 712..811
    EXPECT_EQ(out3.find(kModId), nullptr);
    ASSERT_EQ(run(c, b2, nullptr, &out3), kResultOk); // tick at 882
    const HostQueue *q = out3.find(kModId);
    ASSERT_TRUE(q);
    ASSERT_EQ(q->points.size(), 1u);
    EXPECT_EQ(q->points[0].first, 99);
    EXPECT_EQ(q->points[0].second, 8.0 / 255.0);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, SinglePointAtZeroAppliesBeforeTheBlock)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MonoBlock b(64);
    HostChanges in, out;
    in.add(kCutoffId, {{0, 2.0 / 15.0}});
    ASSERT_EQ(run(c, b, &in, &out), kResultOk);
    const HostQueue *q = out.find(kModId);
    ASSERT_TRUE(q);
    ASSERT_EQ(q->points.size(), 1u);
    EXPECT_EQ(q->points[0].first, 63);
    EXPECT_EQ(q->points[0].second, 40.0 / 255.0); // 2 * 16 + 8
    // Reported once per change only.
    HostChanges out2;
    ASSERT_EQ(run(c, b, &in, &out2), kResultOk);
    EXPECT_EQ(out2.find(kModId), nullptr);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, FirstBlockWithDefaultsReportsNothing)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MonoBlock b(256, 0.5f);
    HostChanges out;
    ASSERT_EQ(run(c, b, nullptr, &out), kResultOk);
    EXPECT_TRUE(out.queues.empty());
    // A host without output changes: the change still counts as sent.
    HostChanges in;
    in.add(kCutoffId, {{0, 0.0}});
    ASSERT_EQ(run(c, b, &in, nullptr), kResultOk);
    HostChanges out2;
    ASSERT_EQ(run(c, b, nullptr, &out2), kResultOk);
    EXPECT_TRUE(out2.queues.empty());
    c->vtbl->release(c);
}

TEST_F(Vst3Host, QuantisesHostValuesAndSkipsWhatIsNotOurs)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MonoBlock b(32);
    HostChanges in;
    in.add(kLfoSpeedId, {{0, 0.5}});             // 7.5 rounds to 8
    in.add(kCutoffId, {{0, std::nan("")}});       // NaN never reaches the engine
    in.add(kLfoAmtId, {{0, 1e10}});               // far out of range: 15
    in.add(kModId, {{0, 0.0}});                   // read-only output
    in.add(0xFFFFFFFFu, {});                      // host-reserved id, no points
    in.add(12345u, {{0, 0.0}});
    ASSERT_EQ(run(c, b, &in), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{15.0f, 15.0f, 8.0f}));

    HostChanges in2;
    in2.add(kCutoffId, {{0, -INFINITY}});
    in2.add(kLfoAmtId, {{0, std::nan("")}, {10, 0.2}});
    in2.add(kLfoSpeedId, {{0, INFINITY}});
    ASSERT_EQ(run(c, b, &in2), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{0.0f, 3.0f, 15.0f}));
    c->vtbl->release(c);
}

TEST_F(Vst3Host, SilenceWhenTheBusesAreNotBothActive)
{
    IComponent *c = new_processor();
    activate(c, 48000.0, true, false);
    MonoBlock b(200, 0.5f);
    std::fill(b.out.begin(), b.out.end(), 7.0f);
    HostChanges in, out;
    in.add(kCutoffId, {{0, 0.0}});
    ASSERT_EQ(run(c, b, &in, &out), kResultOk);
    for (float v : b.out)
        ASSERT_EQ(v, 0.0f);
    // The value was taken, but the engine did not run: no tick, no report.
    EXPECT_EQ(saved_values(c)[0], 0.0f);
    EXPECT_TRUE(out.queues.empty());

    // Activated later, the bus only counts from the next activation.
    EXPECT_EQ(c->vtbl->activateBus(c, kAudio, kOutput, 0, 1), kResultOk);
    ASSERT_EQ(run(c, b, nullptr, &out), kResultOk);
    EXPECT_EQ(b.out[0], 0.0f);
    EXPECT_EQ(c->vtbl->setActive(c, 0), kResultOk);
    EXPECT_EQ(c->vtbl->setActive(c, 1), kResultOk);
    ASSERT_EQ(run(c, b, nullptr, &out), kResultOk);
    const HostQueue *q = out.find(kModId);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->points.back().second, 8.0 / 255.0);
    bool any = false;
    for (float v : b.out)
        any = any || v != 0.0f;
    EXPECT_TRUE(any);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, MissingChannelsGiveSilenceNotACrash)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MonoBlock b(64, 0.5f);
    std::fill(b.out.begin(), b.out.end(), 3.0f);
    b.in_ch[0] = nullptr;
    ASSERT_EQ(run(c, b), kResultOk);
    for (float v : b.out)
        ASSERT_EQ(v, 0.0f);
    MonoBlock none(64);
    none.data.numInputs = 0;
    none.data.inputs = nullptr;
    ASSERT_EQ(run(c, none), kResultOk);
    none.out_bus.numChannels = 0;
    ASSERT_EQ(run(c, none), kResultOk);
    IAudioProcessor *a = audio_of(c);
    EXPECT_EQ(a->vtbl->process(a, nullptr), kInvalidArgument);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, ZeroSampleFlushesStillTakeParameters)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    ProcessData d{};
    d.numSamples = 0;
    HostChanges in;
    in.add(kLfoAmtId, {{0, 1.0}});
    in.add(kCutoffId, {});
    d.inputParameterChanges = in.ptr();
    IAudioProcessor *a = audio_of(c);
    ASSERT_EQ(a->vtbl->process(a, &d), kResultOk);
    EXPECT_EQ(saved_values(c)[1], 15.0f);
    // numChannels 0 in present bus arrays.
    AudioBusBuffers empty_in{}, empty_out{};
    d.numInputs = d.numOutputs = 0;
    d.inputs = &empty_in;
    d.outputs = &empty_out;
    d.inputParameterChanges = nullptr;
    EXPECT_EQ(a->vtbl->process(a, &d), kResultOk);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, DenormalModesOnlyDuringTheBlock)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MonoBlock b(128, 1e-40f);
    HostChanges in;
    in.add(kCutoffId, {{0, 0.5}});
    const unsigned before = _mm_getcsr();
    // Round toward zero, all exceptions masked, flush-to-zero and denormals-are-zero off.
    const unsigned mine = (before & ~0xE040u) | 0x6000u | 0x1F80u;
    _mm_setcsr(mine);
    tresult r = run(c, b, &in);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(before);
    ASSERT_EQ(r, kResultOk);
    EXPECT_EQ(after, mine);
    // The host's queue was read inside the block: both modes were on, the rest untouched.
    EXPECT_EQ(in.seen_csr, mine | 0x8040u);

    // Already on before the call: they stay on.
    _mm_setcsr(before | 0x8040u);
    r = run(c, b, &in);
    const unsigned after_on = _mm_getcsr();
    _mm_setcsr(before);
    EXPECT_EQ(after_on, before | 0x8040u);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, ProcessAtManyRatesAndBlockSizes)
{
    IComponent *c = new_processor();
    activate(c, 44100.0);
    IAudioProcessor *a = audio_of(c);
    std::mt19937 rng(7);
    int cutoff = 0; // a different Cutoff at every rate
    for (double rate : {22050.0, 32000.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0, 384000.0, 1234.5678,
                        12345.678, 123456.78, 1234567.8, 0.0, -5.0, 1e300}) {
        EXPECT_EQ(c->vtbl->setActive(c, 0), kResultOk);
        ProcessSetup setup{kRealtime, kSample32, 8192, rate};
        EXPECT_EQ(a->vtbl->setupProcessing(a, &setup), kResultOk);
        EXPECT_EQ(c->vtbl->setActive(c, 1), kResultOk);
        ++cutoff;
        for (int k = 0; k < 4; ++k) {
            int32_t n = 1 + static_cast<int32_t>(rng() % 8191u);
            MonoBlock b(n);
            noise(b, static_cast<uint32_t>(rng()));
            HostChanges in;
            in.add(kCutoffId, {{0, cutoff / 15.0}});
            in.add(kLfoAmtId, {{0, 1.0}});
            in.add(kLfoSpeedId, {{0, 1.0}});
            ASSERT_EQ(run(c, b, &in), kResultOk);
            EXPECT_TRUE(sounds(b)) << rate << " Hz, " << n << " samples";
        }
        EXPECT_EQ(saved_values(c), (std::array<float, 3>{static_cast<float>(cutoff), 15.0f, 15.0f})) << rate;
        EXPECT_EQ(blob_sample_rate(blob_reader(save(c))), static_cast<float>(rate));
    }
    c->vtbl->release(c);
}

TEST_F(Vst3Host, OutputStaysFiniteAfterARateDrop)
{
    // The validator's sample-rate round: 48 kHz, then 1234.5678 Hz, with the
    // LFO at full amount and speed.
    IComponent *c = new_processor();
    HostChanges in;
    in.add(kLfoAmtId, {{0, 1.0}});
    in.add(kLfoSpeedId, {{0, 1.0}});
    for (double rate : {48000.0, 1234.5678}) {
        EXPECT_EQ(c->vtbl->setActive(c, 0), kResultOk);
        activate(c, rate);
        MonoBlock b(8192, 0.3f);
        EXPECT_EQ(run(c, b, &in), kResultOk);
        size_t first_bad = b.out.size();
        for (size_t i = b.out.size(); i-- > 0;)
            if (!std::isfinite(b.out[i]))
                first_bad = i;
        EXPECT_EQ(first_bad, b.out.size()) << "non-finite output at " << rate << " Hz";
    }
    c->vtbl->release(c);
}

TEST_F(Vst3Host, ProcessFromAnotherThread)
{
    // The same blocks and changes on another thread and on this one give
    // the same samples and the same reports.
    struct Run {
        std::vector<float> out;
        std::vector<std::pair<int, double>> mods; // block, reported value
    };
    auto drive = [](IComponent *c, Run *r) {
        MonoBlock b(64);
        for (int i = 0; i < 9999; ++i) {
            noise(b, static_cast<uint32_t>(i));
            HostChanges in, out;
            if (i == 0)
                in.add(kLfoAmtId, {{0, 0.6}});
            if (i == 5000)
                in.add(kCutoffId, {{63, 3.0 / 15.0}});
            if (run(c, b, &in, &out) != kResultOk)
                return;
            r->out.insert(r->out.end(), b.out.begin(), b.out.end());
            if (const HostQueue *q = out.find(kModId))
                for (const auto &p : q->points)
                    r->mods.emplace_back(i, p.second);
        }
    };
    IComponent *c = new_processor();
    IComponent *ref = new_processor();
    activate(c, 44100.0);
    activate(ref, 44100.0);
    Run there, here;
    std::thread t([&] { drive(c, &there); });
    t.join();
    drive(ref, &here);
    ASSERT_EQ(there.out.size(), 9999u * 64u);
    EXPECT_TRUE(there.out == here.out);
    EXPECT_TRUE(std::all_of(there.out.begin(), there.out.end(), [](float v) { return std::isfinite(v); }));
    EXPECT_TRUE(std::any_of(there.out.end() - 64, there.out.end(), [](float v) { return v != 0.0f; }));
    EXPECT_EQ(there.mods, here.mods);
    // The LFO Amount sent in the first block moves the register long before the Cutoff change.
    ASSERT_FALSE(there.mods.empty());
    EXPECT_LT(there.mods.front().first, 5000);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{3.0f, 9.0f, 7.0f}));
    c->vtbl->release(c);
    ref->vtbl->release(ref);
}

// ---- processor: state -----------------------------------------------------------------------------------

TEST_F(Vst3Host, SavesTheRateOfTheLastActivation)
{
    IComponent *c = new_processor();
    std::vector<uint8_t> blob = save(c);
    EXPECT_EQ(blob.size(), 5632u);
    BlobContents before = blob_reader(blob);
    ASSERT_TRUE(before.ok);
    EXPECT_EQ(blob_sample_rate(before), 0.0f);
    EXPECT_EQ(before.info["format"], "vst3");
    EXPECT_EQ(before.values, (std::array<float, 3>{15.0f, 0.0f, 7.0f}));

    IAudioProcessor *a = audio_of(c);
    ProcessSetup setup{kRealtime, kSample32, 512, 44100.7};
    EXPECT_EQ(a->vtbl->setupProcessing(a, &setup), kResultOk);
    EXPECT_EQ(blob_sample_rate(blob_reader(save(c))), 0.0f); // not before activation
    EXPECT_EQ(c->vtbl->setActive(c, 1), kResultOk);
    EXPECT_EQ(blob_sample_rate(blob_reader(save(c))), static_cast<float>(44100.7));
    c->vtbl->release(c);
}

TEST_F(Vst3Host, SaveWritesAtTheCurrentPosition)
{
    IComponent *c = new_processor();
    MemoryStream s(std::vector<uint8_t>(10, 0xAB));
    s.pos = 10;
    ASSERT_EQ(c->vtbl->getState(c, s.ptr()), kResultOk);
    ASSERT_EQ(s.data.size(), 5642u);
    EXPECT_EQ(s.data[9], 0xAB);
    EXPECT_TRUE(blob_reader(std::vector<uint8_t>(s.data.begin() + 10, s.data.end())).ok);

    MemoryStream ro;
    ro.read_only = true;
    EXPECT_EQ(c->vtbl->getState(c, ro.ptr()), kResultFalse);
    MemoryStream shortw;
    shortw.max_io = 1000;
    EXPECT_EQ(c->vtbl->getState(c, shortw.ptr()), kResultFalse);
    // Only the reported count matters: a write that stores every byte but
    // answers otherwise is a complete save.
    MemoryStream grumbling;
    grumbling.write_result = kResultFalse;
    EXPECT_EQ(c->vtbl->getState(c, grumbling.ptr()), kResultOk);
    EXPECT_TRUE(blob_reader(grumbling.data).ok);
    EXPECT_EQ(c->vtbl->getState(c, nullptr), kResultFalse);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, RestoreReadsFromTheStartAndWaitsForABlock)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MemoryStream s(blob_make(48000.0f, 3.0f, 9.0f, 12.0f));
    s.pos = static_cast<int64_t>(s.data.size()); // wherever the host left it
    ASSERT_EQ(c->vtbl->setState(c, s.ptr()), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{15.0f, 0.0f, 7.0f})); // not yet in the engine
    MonoBlock b(16);
    ASSERT_EQ(run(c, b), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{3.0f, 9.0f, 12.0f}));

    // Out-of-range stored values are rounded and clamped, never converted blindly.
    MemoryStream wild(blob_make(0.0f, 1e10f, INFINITY, -INFINITY));
    ASSERT_EQ(c->vtbl->setState(c, wild.ptr()), kResultOk);
    ASSERT_EQ(run(c, b), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{15.0f, 15.0f, 0.0f}));
    MemoryStream odd(blob_make(0.0f, 20.0f, 2.5f, -3.0f));
    ASSERT_EQ(c->vtbl->setState(c, odd.ptr()), kResultOk);
    ASSERT_EQ(run(c, b), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{15.0f, 3.0f, 0.0f}));
    c->vtbl->release(c);
}

TEST_F(Vst3Host, RefusedRestoresChangeNothing)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    std::vector<uint8_t> good = blob_make(48000.0f, 1.0f, 2.0f, 3.0f);
    MonoBlock b(16);

    MemoryStream foreign(blob_with_foreign_id(good));
    EXPECT_EQ(c->vtbl->setState(c, foreign.ptr()), kResultFalse);
    MemoryStream short_reads(good);
    short_reads.max_io = 512;
    EXPECT_EQ(c->vtbl->setState(c, short_reads.ptr()), kResultFalse);
    MemoryStream cut(std::vector<uint8_t>(good.begin(), good.begin() + 3000));
    EXPECT_EQ(c->vtbl->setState(c, cut.ptr()), kResultFalse);
    MemoryStream empty;
    EXPECT_EQ(c->vtbl->setState(c, empty.ptr()), kResultFalse);
    MemoryStream no_seek(good);
    no_seek.fail_seek = true;
    EXPECT_EQ(c->vtbl->setState(c, no_seek.ptr()), kResultFalse);
    MemoryStream no_tell(good);
    no_tell.fail_tell = true;
    EXPECT_EQ(c->vtbl->setState(c, no_tell.ptr()), kResultFalse);
    EXPECT_EQ(c->vtbl->setState(c, nullptr), kResultFalse);
    std::vector<uint8_t> flipped = good;
    for (size_t i = 0; i < flipped.size(); i += 97)
        flipped[i] ^= 0x5A;
    MemoryStream damaged(flipped);
    EXPECT_EQ(c->vtbl->setState(c, damaged.ptr()), kResultFalse);

    ASSERT_EQ(run(c, b), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{15.0f, 0.0f, 7.0f}));
    c->vtbl->release(c);
}

// ---- controller --------------------------------------------------------------------------------------------

TEST_F(Vst3Host, ControllerDescribesFourParameters)
{
    IEditController *e = new_controller();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->vtbl->getParameterCount(e), 4);
    struct Row {
        ParamID id;
        const char *title, *short_title;
        int32_t steps;
        double def;
        int32_t flags;
    } rows[4] = {{kCutoffId, "Cutoff", "Cutoff", 15, 1.0, kCanAutomate},
                 {kLfoAmtId, "LFO Amount", "LFO Amt", 15, 0.0, kCanAutomate},
                 {kLfoSpeedId, "LFO Speed", "LFO Speed", 15, 7.0 / 15.0, kCanAutomate},
                 {kModId, "Modulated Cutoff", "Mod Cutoff", 255, 248.0 / 255.0, kIsReadOnly}};
    for (int32_t i = 0; i < 4; ++i) {
        ParameterInfo pi;
        std::memset(&pi, 0x33, sizeof pi);
        ASSERT_EQ(e->vtbl->getParameterInfo(e, i, &pi), kResultOk);
        EXPECT_EQ(pi.id, rows[i].id);
        EXPECT_EQ(narrow(pi.title), rows[i].title);
        EXPECT_EQ(narrow(pi.shortTitle), rows[i].short_title);
        EXPECT_EQ(pi.units[0], 0);
        EXPECT_EQ(pi.stepCount, rows[i].steps);
        EXPECT_DOUBLE_EQ(pi.defaultNormalizedValue, rows[i].def);
        EXPECT_EQ(pi.unitId, 0);
        EXPECT_EQ(pi.flags, rows[i].flags);
        EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, rows[i].id), rows[i].def);
    }
    for (int32_t bad : {4, -1}) {
        ParameterInfo pi;
        std::memset(&pi, 0x44, sizeof pi);
        EXPECT_EQ(e->vtbl->getParameterInfo(e, bad, &pi), kResultFalse);
        EXPECT_EQ(pi.id, 0x44444444u);
    }
    e->vtbl->release(e);
}

TEST_F(Vst3Host, ControllerTexts)
{
    IEditController *e = new_controller();
    auto text = [&](ParamID id, double v) {
        char16_t buf[128];
        std::fill(std::begin(buf), std::end(buf), u'#');
        EXPECT_EQ(e->vtbl->getParamStringByValue(e, id, v, buf), kResultOk);
        return narrow(buf);
    };
    EXPECT_EQ(text(kCutoffId, 0.5), "7.50");
    EXPECT_EQ(text(kCutoffId, 0.3 / 15.0), "0.29");
    EXPECT_EQ(text(kLfoSpeedId, 7.0 / 15.0), "7.00");
    EXPECT_EQ(text(kModId, 248.0 / 255.0), "248.00");
    EXPECT_EQ(text(kModId, 1.0), "255.00");
    char16_t buf[128];
    EXPECT_EQ(e->vtbl->getParamStringByValue(e, 42u, 0.5, buf), kResultFalse);

    // Plain values near the double's limit and beyond: an answer, ended inside the host's 128 units.
    auto far_text = [&](ParamID id, double v) {
        std::fill(std::begin(buf), std::end(buf), u'#');
        EXPECT_EQ(e->vtbl->getParamStringByValue(e, id, v, buf), kResultOk) << v;
        EXPECT_NE(std::find(std::begin(buf), std::end(buf), u'\0'), std::end(buf)) << v;
        buf[127] = 0;
        return narrow(buf);
    };
    EXPECT_EQ(far_text(kCutoffId, 1.1e307).substr(0, 2), "16"); // 1.65e308
    EXPECT_EQ(far_text(kModId, 4e305).substr(0, 2), "10");      // 1.02e308
    far_text(kModId, INFINITY);
    EXPECT_EQ(far_text(kModId, -INFINITY).substr(0, 1), "-");
    far_text(kModId, std::nan(""));

    auto value = [&](ParamID id, const char *s) {
        std::u16string t = u16(s);
        double v = -99.0;
        EXPECT_EQ(e->vtbl->getParamValueByString(e, id, t.data(), &v), kResultOk);
        return v;
    };
    EXPECT_DOUBLE_EQ(value(kCutoffId, "7.9"), 7.0 / 15.0);
    EXPECT_DOUBLE_EQ(value(kCutoffId, "20"), 20.0 / 15.0);
    EXPECT_DOUBLE_EQ(value(kCutoffId, "-3"), -0.2);
    EXPECT_DOUBLE_EQ(value(kModId, "51"), 0.2);
    EXPECT_DOUBLE_EQ(value(kLfoAmtId, "abc"), 0.0);
    std::u16string t = u16("3");
    double v = 0;
    EXPECT_EQ(e->vtbl->getParamValueByString(e, 42u, t.data(), &v), kResultFalse);

    EXPECT_DOUBLE_EQ(e->vtbl->normalizedParamToPlain(e, kModId, 0.5), 127.5);
    EXPECT_DOUBLE_EQ(e->vtbl->plainParamToNormalized(e, kCutoffId, 3.0), 0.2);
    EXPECT_DOUBLE_EQ(e->vtbl->normalizedParamToPlain(e, 42u, 0.25), 0.25);
    e->vtbl->release(e);
}

TEST_F(Vst3Host, SetParamNormalizedStoresQuantisedValues)
{
    IEditController *e = new_controller();
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kCutoffId, 0.5), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 8.0 / 15.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kModId, 1.0), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kModId), 1.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kLfoAmtId, 7.0), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoAmtId), 1.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kLfoSpeedId, -INFINITY), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoSpeedId), 0.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kCutoffId, std::nan("")), kInvalidArgument);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 8.0 / 15.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, 42u, 0.5), kResultFalse);
    EXPECT_EQ(e->vtbl->getParamNormalized(e, 42u), 0.0);
    EXPECT_EQ(e->vtbl->setState(e, nullptr), kNotImplemented);
    EXPECT_EQ(e->vtbl->getState(e, nullptr), kNotImplemented);

    void *mm = nullptr;
    ASSERT_EQ(e->vtbl->queryInterface(e, vst3_uid_ptr(IID_IMidiMapping), &mm), kResultOk);
    auto *midi = static_cast<IMidiMapping *>(mm);
    for (int16_t cc = 0; cc < 130; ++cc) {
        ParamID id = 77;
        EXPECT_EQ(midi->vtbl->getMidiControllerAssignment(midi, 0, 0, cc, &id), kInvalidArgument);
        EXPECT_EQ(id, 77u);
    }
    midi->vtbl->release(midi);
    e->vtbl->release(e);
}

TEST_F(Vst3Host, ComponentStateReachesTheController)
{
    IComponent *c = new_processor();
    IEditController *e = new_controller();
    activate(c, 48000.0);
    HostChanges in;
    in.add(kCutoffId, {{0, 4.0 / 15.0}});
    in.add(kLfoSpeedId, {{0, 1.0}});
    MonoBlock b(32);
    ASSERT_EQ(run(c, b, &in), kResultOk);
    MemoryStream s(save(c));
    ASSERT_EQ(e->vtbl->setComponentState(e, s.ptr()), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 4.0 / 15.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoAmtId), 0.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoSpeedId), 1.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kModId), 248.0 / 255.0);

    MemoryStream twenty(blob_make(0.0f, 20.0f, 1e10f, std::nanf("")));
    EXPECT_EQ(e->vtbl->setComponentState(e, twenty.ptr()), kResultFalse); // NaN is refused whole
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 4.0 / 15.0);
    MemoryStream big(blob_make(0.0f, 20.0f, 1e10f, -2.0f));
    EXPECT_EQ(e->vtbl->setComponentState(e, big.ptr()), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 1.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoAmtId), 1.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoSpeedId), 0.0);
    MemoryStream foreign(blob_with_foreign_id(save(c)));
    EXPECT_EQ(e->vtbl->setComponentState(e, foreign.ptr()), kResultFalse);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 1.0);
    EXPECT_EQ(e->vtbl->setComponentState(e, nullptr), kResultFalse);
    e->vtbl->release(e);
    c->vtbl->release(c);
}

TEST_F(Vst3Host, ComponentHandlerReferences)
{
    IEditController *e = new_controller();
    RecordingHandler h1, h2;
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h1.ptr()), kResultOk);
    EXPECT_EQ(h1.refs, 2);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h1.ptr()), kResultOk);
    EXPECT_EQ(h1.refs, 2);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h2.ptr()), kResultOk);
    EXPECT_EQ(h1.refs, 1);
    EXPECT_EQ(h2.refs, 2);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, nullptr), kResultOk);
    EXPECT_EQ(h2.refs, 1);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h2.ptr()), kResultOk);
    // Host-side changes are never echoed back as edits.
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kCutoffId, 0.2), kResultOk);
    EXPECT_TRUE(h2.calls.empty());
    // The last release gives the handler back.
    EXPECT_EQ(e->vtbl->release(e), 0u);
    EXPECT_EQ(h2.refs, 1);
}

TEST_F(Vst3Host, EditorViewBeforeItsGui)
{
    IEditController *e = new_controller();
    EXPECT_EQ(e->vtbl->createView(e, "Editor"), nullptr);
    EXPECT_EQ(e->vtbl->createView(e, "editor2"), nullptr);
    EXPECT_EQ(e->vtbl->createView(e, nullptr), nullptr);
    IPlugView *v1 = e->vtbl->createView(e, "editor");
    IPlugView *v2 = e->vtbl->createView(e, "editor");
    ASSERT_TRUE(v1 && v2);
    EXPECT_NE(v1, v2);
    EXPECT_EQ(v1->vtbl->isPlatformTypeSupported(v1, "HWND"), kResultTrue);
    EXPECT_EQ(v1->vtbl->isPlatformTypeSupported(v1, "X11EmbedWindowID"), kResultFalse);
    EXPECT_EQ(v1->vtbl->isPlatformTypeSupported(v1, nullptr), kResultFalse);
    int parent = 0;
    EXPECT_EQ(v1->vtbl->attached(v1, &parent, "X11EmbedWindowID"), kInvalidArgument);
    EXPECT_EQ(v1->vtbl->attached(v1, &parent, "HWND"), kResultFalse);
    EXPECT_EQ(v1->vtbl->removed(v1), kResultOk);
    ViewRect r{1, 2, 3, 4};
    EXPECT_EQ(v1->vtbl->getSize(v1, &r), kResultOk);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.right, 800);
    EXPECT_EQ(r.bottom, 600);
    EXPECT_EQ(v1->vtbl->getSize(v1, nullptr), kInvalidArgument);
    EXPECT_EQ(v1->vtbl->onSize(v1, &r), kResultFalse);
    EXPECT_EQ(v1->vtbl->canResize(v1), kResultTrue);
    ViewRect odd{5, 6, 333, 222};
    EXPECT_EQ(v1->vtbl->checkSizeConstraint(v1, &odd), kResultTrue);
    EXPECT_EQ(odd.right, 333);
    EXPECT_EQ(odd.bottom, 222);
    EXPECT_EQ(v1->vtbl->setFrame(v1, nullptr), kResultOk);
    EXPECT_EQ(v1->vtbl->onWheel(v1, 1.0f), kResultFalse);
    EXPECT_EQ(v1->vtbl->onKeyDown(v1, u'a', 0, 0), kResultFalse);
    EXPECT_EQ(v1->vtbl->onFocus(v1, 1), kResultFalse);
    void *obj = nullptr;
    ASSERT_EQ(v1->vtbl->queryInterface(v1, vst3_uid_ptr(IID_IPlugView), &obj), kResultOk);
    EXPECT_EQ(obj, v1);
    EXPECT_EQ(v1->vtbl->release(v1), 1u);
    EXPECT_EQ(v1->vtbl->queryInterface(v1, vst3_uid_ptr(IID_IPlugFrame), &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(v1->vtbl->release(v1), 0u);

    // The controller goes first; the host still holds a view, takes another
    // reference to it and gives both back. The last release leaves its
    // controller's list, which must not be the freed one (caught under ASan).
    EXPECT_EQ(e->vtbl->release(e), 0u);
    ASSERT_EQ(v2->vtbl->queryInterface(v2, vst3_uid_ptr(IID_FUnknown), &obj), kResultOk);
    EXPECT_EQ(obj, v2);
    EXPECT_EQ(v2->vtbl->release(v2), 1u);
    EXPECT_EQ(v2->vtbl->release(v2), 0u);
}

} // namespace
