#include "engine_probe.h"
#include "lv2_test_host.h"
#include "state/state_doc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace {

StateStore blob_store(Lv2Features &host, float cutoff, float amt, float speed)
{
    StateStore s;
    s.key = host.map.id(ZFEN_LV2_STATE_URI);
    size_t size = 0;
    uint8_t *blob = state_save("vst3", 44100.0f, cutoff, amt, speed, &size);
    s.value.assign(blob, blob + size);
    std::free(blob);
    return s;
}

void expect_engine(TestPlugin &p, float cutoff, float amt, float speed)
{
    EXPECT_EQ(engine_get_param(&p.plugin()->inst.engine, PARAM_CUTOFF), cutoff);
    EXPECT_EQ(engine_get_param(&p.plugin()->inst.engine, PARAM_LFO_AMT), amt);
    EXPECT_EQ(engine_get_param(&p.plugin()->inst.engine, PARAM_LFO_SPEED), speed);
}

void expect_defaults(TestPlugin &p)
{
    expect_engine(p, param_default(PARAM_CUTOFF), param_default(PARAM_LFO_AMT), param_default(PARAM_LFO_SPEED));
}

} // namespace

TEST(Lv2Instance, DescriptorAndExtensions)
{
    ASSERT_NE(lv2_descriptor(0), nullptr);
    EXPECT_STREQ(lv2_descriptor(0)->URI, ZFEN_LV2_URI);
    EXPECT_EQ(lv2_descriptor(1), nullptr);
    EXPECT_EQ(lv2_descriptor(0)->deactivate, nullptr);
    EXPECT_NE(lv2_descriptor(0)->extension_data(LV2_STATE__interface), nullptr);
    EXPECT_EQ(lv2_descriptor(0)->extension_data("http://lv2plug.in/ns/ext/worker#interface"), nullptr);
}

TEST(Lv2Instance, ActivationTakesPortsUnroundedThenRunQuantises)
{
    Lv2Features host;
    TestPlugin p(host.features);
    ASSERT_TRUE(p.h);
    p.controls[0] = 7.6f;
    p.activate();
    EXPECT_EQ(p.plugin()->inst.engine.cutoff_reg, 120);
    p.run(1);
    EXPECT_EQ(engine_get_param(&p.plugin()->inst.engine, PARAM_CUTOFF), 8.0f);
    EXPECT_EQ(p.mod, 8 * 16 + 8);
}

TEST(Lv2Instance, ControlPortsAreClampedAndNaNReadsAsZero)
{
    Lv2Features host;
    TestPlugin p(host.features);
    p.activate();
    p.controls[0] = -2.0f, p.controls[1] = 15.5f, p.controls[2] = 100.0f;
    p.run(64);
    expect_engine(p, 0.0f, 15.0f, 15.0f);
    p.controls[0] = NAN, p.controls[1] = 1e10f, p.controls[2] = -INFINITY;
    p.run(64);
    expect_engine(p, 0.0f, 15.0f, 0.0f);
}

TEST(Lv2Instance, OutputPortReportsTheRegisterEvenForEmptyBlocks)
{
    Lv2Features host;
    TestPlugin p(host.features);
    p.activate();
    p.run(0);
    EXPECT_EQ(p.mod, 248.0f);
    p.controls[0] = 0.0f;
    p.run(0);
    EXPECT_EQ(p.plugin()->inst.engine.cutoff_reg, 8);
    p.run(1);
    EXPECT_EQ(p.mod, 8.0f);
}

TEST(Lv2Instance, AudioMatchesTheEngineRunDirectly)
{
    Lv2Features host;
    TestPlugin p(host.features, 44100.0);
    p.controls[0] = 9, p.controls[1] = 12, p.controls[2] = 5;
    p.activate();
    const std::vector<float> in = probe_signal(4096, 3);
    std::copy(in.begin(), in.end(), p.in.begin());
    p.run(4096);
    FilterEngine e = probe_engine(44100.0f, 9, 12, 5);
    EXPECT_EQ(p.out, probe_render(&e, in, 4096));
}

TEST(Lv2Instance, WithoutUridMapItLogsOnceAndStillRuns)
{
    testing::internal::CaptureStderr();
    TestPlugin p(nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(p.h);
    EXPECT_EQ(err, "Missing feature <http://lv2plug.in/ns/ext/urid#map>\n");
    p.activate();
    p.in.assign(p.in.size(), 0.25f);
    p.run(256);
    EXPECT_EQ(p.mod, 248.0f);
    EXPECT_NE(p.out[100], 0.0f);

    StateStore s;
    testing::internal::CaptureStderr();
    EXPECT_EQ(p.state()->save(p.h, StateStore::store, &s, 0, nullptr), LV2_STATE_ERR_UNKNOWN);
    EXPECT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_ERR_UNKNOWN);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Host is trying to store state but didn't provide URID map\n"
                                                      "Host is trying to restore state but didn't provide URID map\n");
    EXPECT_EQ(s.calls, 0u);
}

TEST(Lv2Instance, WithALogButNoMapMessagesGoToTheHostLog)
{
    TestLog log;
    LV2_Feature log_f{LV2_LOG__log, &log.feature};
    LV2_Feature null_map{LV2_URID__map, nullptr}; // a feature without data counts as missing
    const LV2_Feature *features[] = {&log_f, &null_map, nullptr};
    testing::internal::CaptureStderr();
    TestPlugin p(features);
    StateStore s;
    EXPECT_EQ(p.state()->save(p.h, StateStore::store, &s, 0, nullptr), LV2_STATE_ERR_UNKNOWN);
    EXPECT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_ERR_UNKNOWN);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(log.lines.size(), 3u);
    EXPECT_EQ(log.lines[0].second, "Missing feature <http://lv2plug.in/ns/ext/urid#map>\n");
    EXPECT_EQ(log.lines[1].second, "Host is trying to store state but didn't provide URID map\n");
    EXPECT_EQ(log.lines[2].second, "Host is trying to restore state but didn't provide URID map\n");
    for (const auto &line : log.lines)
        EXPECT_EQ(line.first, 0u); // no map, so no URID for log:Error
}

TEST(Lv2State, SaveStoresOneChunkOfTheEngineValues)
{
    Lv2Features host;
    TestPlugin p(host.features, 96000.0);
    p.controls[0] = 3, p.controls[1] = 4, p.controls[2] = 5;
    p.activate();
    p.run(16);
    StateStore s;
    ASSERT_EQ(p.state()->save(p.h, StateStore::store, &s, 0, nullptr), LV2_STATE_SUCCESS);
    EXPECT_EQ(s.calls, 1u);
    EXPECT_EQ(s.value.size(), 5632u);
    EXPECT_EQ(s.key, host.map.id(ZFEN_LV2_STATE_URI));
    EXPECT_EQ(s.type, host.map.id("http://lv2plug.in/ns/ext/atom#Chunk"));
    EXPECT_EQ(s.flags, static_cast<uint32_t>(LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE));
    EXPECT_TRUE(host.log.lines.empty());

    s.answer = LV2_STATE_ERR_NO_SPACE;
    EXPECT_EQ(p.state()->save(p.h, StateStore::store, &s, 0, nullptr), LV2_STATE_ERR_UNKNOWN);

    // The blob restores into a fresh instance whose ports say nothing.
    TestPlugin q(host.features);
    q.disconnect_controls();
    q.activate();
    s.answer = LV2_STATE_SUCCESS;
    ASSERT_EQ(q.state()->restore(q.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
    q.run(1);
    expect_engine(q, 3, 4, 5);
    EXPECT_EQ(q.mod, 3 * 16 + 8 + lfo_wave_table[4][lfo_step_table[5]]);
}

// A host that restores and saves again before any run() (a project converted
// or re-saved without playing) gets the restored values back, not the ones
// they replaced; the saved blob restores them into a fresh instance.
TEST(Lv2State, SaveRightAfterARestoreKeepsTheRestoredValues)
{
    Lv2Features host;
    TestPlugin p(host.features);
    p.disconnect_controls();
    p.activate();
    StateStore restored = blob_store(host, 6, 13, 1);
    ASSERT_EQ(p.state()->restore(p.h, StateStore::retrieve, &restored, 0, nullptr), LV2_STATE_SUCCESS);
    StateStore saved;
    ASSERT_EQ(p.state()->save(p.h, StateStore::store, &saved, 0, nullptr), LV2_STATE_SUCCESS);
    ASSERT_EQ(saved.value.size(), 5632u);
    float values[3] = {};
    const state_sink sink = {values, [](void *) {}, [](void *) {},
                             [](void *ctx, uint64_t i, float v) { static_cast<float *>(ctx)[i] = v; }};
    ASSERT_EQ(state_load(&sink, saved.value.data(), saved.value.size()), 0);
    EXPECT_EQ(values[0], 6.0f);
    EXPECT_EQ(values[1], 13.0f);
    EXPECT_EQ(values[2], 1.0f);

    TestPlugin q(host.features);
    q.disconnect_controls();
    q.activate();
    ASSERT_EQ(q.state()->restore(q.h, StateStore::retrieve, &saved, 0, nullptr), LV2_STATE_SUCCESS);
    q.run(1);
    expect_engine(q, 6, 13, 1);
}

TEST(Lv2State, RestoredValuesAreRoundedAndClamped)
{
    Lv2Features host;
    const float stored[][3] = {{7.6f, 2.5f, -0.4f}, {-3.0f, 15.5f, 1e10f}};
    const float expected[][3] = {{8, 3, 0}, {0, 15, 15}};
    for (int k = 0; k < 2; ++k) {
        TestPlugin p(host.features);
        p.disconnect_controls();
        p.activate();
        StateStore s = blob_store(host, stored[k][0], stored[k][1], stored[k][2]);
        ASSERT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
        p.run(0);
        expect_engine(p, expected[k][0], expected[k][1], expected[k][2]);
    }
}

TEST(Lv2State, ControlPortsOverrideARestoreInTheSameRun)
{
    Lv2Features host;
    TestPlugin p(host.features);
    p.activate();
    StateStore s = blob_store(host, 2, 9, 11);
    ASSERT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
    p.run(1);
    expect_defaults(p);
    // Ports that agree with the state keep it.
    ASSERT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
    p.controls[0] = 2, p.controls[1] = 9, p.controls[2] = 11;
    p.run(1);
    expect_engine(p, 2, 9, 11);
}

TEST(Lv2State, ActivationDropsAPendingRestore)
{
    Lv2Features host;
    TestPlugin p(host.features);
    p.disconnect_controls();
    p.activate();
    StateStore s = blob_store(host, 2, 9, 11);
    ASSERT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
    p.activate();
    p.run(1);
    expect_defaults(p);
}

TEST(Lv2State, RefusedRestoresLeaveTheInstanceAsItWas)
{
    Lv2Features host;
    TestPlugin p(host.features);
    p.disconnect_controls();
    p.activate();
    p.run(1);

    StateStore missing;
    EXPECT_EQ(p.state()->restore(p.h, StateStore::retrieve, &missing, 0, nullptr), LV2_STATE_ERR_NO_PROPERTY);
    ASSERT_EQ(host.log.lines.size(), 1u);
    EXPECT_EQ(host.log.lines[0].first, host.map.id(LV2_LOG__Error));
    EXPECT_EQ(host.log.lines[0].second,
              "Cannot restore state since property <" ZFEN_LV2_STATE_URI "> could not be retrieved\n");

    StateStore bad = blob_store(host, 3, 4, NAN);
    EXPECT_EQ(p.state()->restore(p.h, StateStore::retrieve, &bad, 0, nullptr), LV2_STATE_ERR_UNKNOWN);
    StateStore cut = blob_store(host, 3, 4, 5);
    cut.value.resize(700);
    EXPECT_EQ(p.state()->restore(p.h, StateStore::retrieve, &cut, 0, nullptr), LV2_STATE_ERR_UNKNOWN);
    EXPECT_EQ(host.log.lines.size(), 1u);
    EXPECT_EQ(p.plugin()->inst.sync.pending, 0);
    EXPECT_EQ(p.plugin()->inst.sync.lock.load(), 0);
    p.run(1);
    expect_defaults(p);
}

// While another thread holds the state lock, run neither waits nor loses a
// port change; restored values arrive at the first block that gets the lock.
TEST(Lv2State, RunDoesWithoutTheLockWhenItIsBusy)
{
    Lv2Features host;
    TestPlugin p(host.features);
    p.activate();
    p.run(16);
    ParamSync *sync = &p.plugin()->inst.sync;
    param_sync_lock(sync); // a save in progress
    p.controls[1] = 9;
    p.run(16); // would never return if run waited
    EXPECT_EQ(engine_get_param(&p.plugin()->inst.engine, PARAM_LFO_AMT), 0.0f);
    EXPECT_EQ(sync->received[1], 9.0f);
    param_sync_unlock(sync);
    p.run(16);
    EXPECT_EQ(engine_get_param(&p.plugin()->inst.engine, PARAM_LFO_AMT), 9.0f);

    p.disconnect_controls();
    StateStore s = blob_store(host, 4, 5, 6);
    ASSERT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
    param_sync_lock(sync);
    p.run(16);
    expect_engine(p, 15, 9, 7);
    param_sync_unlock(sync);
    p.run(16);
    expect_engine(p, 4, 5, 6);
}

// The audio thread keeps running while another thread restores: it never
// waits, and the values arrive at the first block that gets the lock.
TEST(Lv2State, RestoreWhileTheAudioThreadRuns)
{
    Lv2Features host;
    TestPlugin p(host.features, 48000.0, 64);
    p.disconnect_controls();
    p.activate();
    std::atomic<bool> stop{false};
    std::atomic<unsigned> blocks{0};
    std::thread audio([&] {
        while (!stop.load()) {
            p.run(64);
            blocks.fetch_add(1);
        }
    });
    StateStore a = blob_store(host, 1, 2, 3), b = blob_store(host, 12, 13, 14);
    for (int k = 0; k < 200; ++k) {
        StateStore &s = k % 2 ? b : a;
        ASSERT_EQ(p.state()->restore(p.h, StateStore::retrieve, &s, 0, nullptr), LV2_STATE_SUCCESS);
        StateStore saved;
        ASSERT_EQ(p.state()->save(p.h, StateStore::store, &saved, 0, nullptr), LV2_STATE_SUCCESS);
    }
    const unsigned seen = blocks.load();
    while (blocks.load() < seen + 3)
        std::this_thread::yield();
    stop = true;
    audio.join();
    expect_engine(p, 12, 13, 14);
}
