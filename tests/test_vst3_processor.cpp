// The processor as a host sees it, loaded from the bundle and driven
// through the published interfaces only: component, audio processor, buses,
// blocks with their parameter queues, and state save and restore.
#include "vst3_host/vst3_host_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <xmmintrin.h>

namespace {

// ---- processor: interfaces, buses, arrangements ---------------------------------------------------

TEST_F(Vst3Host, ProcessorInterfacesShareOneCount)
{
    IComponent *c = new_processor();
    ASSERT_TRUE(c);
    const Vst3Uid *ids[] = {
        &IID_FUnknown,        &IID_IPluginBase, &IID_IComponent, &IID_IAudioProcessor, &IID_IProcessContextRequirements,
        &IID_IConnectionPoint};
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
    take(c);
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
}

TEST_F(Vst3Host, QuantisesHostValuesAndSkipsWhatIsNotOurs)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MonoBlock b(32);
    HostChanges in;
    in.add(kLfoSpeedId, {{0, 0.5}});        // 7.5 rounds to 8
    in.add(kCutoffId, {{0, std::nan("")}}); // NaN never reaches the engine
    in.add(kLfoAmtId, {{0, 1e10}});         // far out of range: 15
    in.add(kModId, {{0, 0.0}});             // read-only output
    in.add(0xFFFFFFFFu, {});                // host-reserved id, no points
    in.add(12345u, {{0, 0.0}});
    ASSERT_EQ(run(c, b, &in), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{15.0f, 15.0f, 8.0f}));

    HostChanges in2;
    in2.add(kCutoffId, {{0, -INFINITY}});
    in2.add(kLfoAmtId, {{0, std::nan("")}, {10, 0.2}});
    in2.add(kLfoSpeedId, {{0, INFINITY}});
    ASSERT_EQ(run(c, b, &in2), kResultOk);
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{0.0f, 3.0f, 15.0f}));
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
}

TEST_F(Vst3Host, ProcessAtManyRatesAndBlockSizes)
{
    IComponent *c = new_processor();
    activate(c, 44100.0);
    IAudioProcessor *a = audio_of(c);
    std::mt19937 rng(7);
    int cutoff = 0; // a different Cutoff at every rate
    for (double rate : {22050.0, 32000.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0, 384000.0, 1234.5678, 12345.678,
                        123456.78, 1234567.8, 0.0, -5.0, 1e300}) {
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
}

TEST_F(Vst3Host, RestoreReadsFromTheStartAndWaitsForABlock)
{
    IComponent *c = new_processor();
    activate(c, 48000.0);
    MemoryStream s(blob_make(48000.0f, 3.0f, 9.0f, 12.0f));
    s.pos = static_cast<int64_t>(s.data.size()); // wherever the host left it
    ASSERT_EQ(c->vtbl->setState(c, s.ptr()), kResultOk);
    // Not in the engine yet, but a save before the next block must not lose it.
    EXPECT_EQ(saved_values(c), (std::array<float, 3>{3.0f, 9.0f, 12.0f}));
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
}

// A host that restores a deactivated (or frozen) track and saves the project
// again without processing gives the user's settings back, not the defaults.
TEST_F(Vst3Host, RestoreDeactivateSaveReloadKeepsTheRestoredValues)
{
    IComponent *c = new_processor();
    activate(c, 44100.0);
    MemoryStream s(blob_make(44100.0f, 4.0f, 11.0f, 2.0f));
    ASSERT_EQ(c->vtbl->setState(c, s.ptr()), kResultOk);
    ASSERT_EQ(c->vtbl->setActive(c, 0), kResultOk);
    const std::vector<uint8_t> saved = save(c);
    EXPECT_EQ(blob_reader(saved).values, (std::array<float, 3>{4.0f, 11.0f, 2.0f}));

    IComponent *fresh = new_processor();
    MemoryStream again(saved);
    ASSERT_EQ(fresh->vtbl->setState(fresh, again.ptr()), kResultOk);
    activate(fresh, 44100.0);
    MonoBlock b(64);
    ASSERT_EQ(run(fresh, b), kResultOk);
    EXPECT_EQ(saved_values(fresh), (std::array<float, 3>{4.0f, 11.0f, 2.0f}));
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
}

} // namespace
