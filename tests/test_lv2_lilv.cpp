// A real LV2 host (liblilv) saves an instance's state to disk and restores it.
#include "engine_probe.h"
#include "lv2_test_host.h"

#include "lilv_support.h"

#include <gtest/gtest.h>
#include <lilv/lilv.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

struct LilvHost : testing::Test {
    LilvWorld *world = lilv_world_new();
    UridMap map;
    LV2_Feature map_f{LV2_URID__map, &map.feature};
    LV2_Feature unmap_f{LV2_URID__unmap, &map.unmap_feature};
    const LV2_Feature *features[3] = {&map_f, &unmap_f, nullptr};
    const LilvPlugin *plugin = nullptr;
    std::filesystem::path dir;

    void SetUp() override
    {
        plugin = lilv_load_zfen(world);
        dir = std::filesystem::temp_directory_path() / ("zfen-lilv-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir);
        lilv_world_free(world);
    }
};

// An instance with its ports, as a host keeps them.
struct Running {
    LilvInstance *inst;
    float controls[3] = {param_default(PARAM_CUTOFF), param_default(PARAM_LFO_AMT), param_default(PARAM_LFO_SPEED)};
    float mod = -1;
    std::vector<float> in, out;

    Running(const LilvPlugin *p, const LV2_Feature *const *f, bool connect_controls = true)
        : inst(lilv_plugin_instantiate(p, 48000.0, f)), in(probe_signal(4800, 11)), out(4800)
    {
        if (!inst)
            return;
        lilv_instance_connect_port(inst, LV2_PORT_IN, in.data());
        lilv_instance_connect_port(inst, LV2_PORT_OUT, out.data());
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
            lilv_instance_connect_port(inst, k_params[i].lv2_port, connect_controls ? &controls[i] : nullptr);
        lilv_instance_connect_port(inst, k_params[PARAM_MOD_CUTOFF].lv2_port, &mod);
    }
    ~Running()
    {
        if (inst)
            lilv_instance_free(inst);
    }
    float *control(const char *symbol)
    {
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
            if (std::strcmp(symbol, k_params[i].key) == 0)
                return &controls[i];
        return nullptr;
    }
    static const void *get(const char *symbol, void *user, uint32_t *size, uint32_t *type)
    {
        *size = sizeof(float);
        *type = 0;
        return static_cast<Running *>(user)->control(symbol);
    }
    static void set(const char *symbol, void *user, const void *value, uint32_t size, uint32_t)
    {
        if (float *c = static_cast<Running *>(user)->control(symbol); c && size == sizeof(float))
            std::memcpy(c, value, sizeof(float));
    }
};

std::vector<float> reference(float cutoff, float amt, float speed)
{
    FilterEngine e = probe_engine(48000, cutoff, amt, speed);
    return probe_render(&e, probe_signal(4800, 11), 4800);
}

} // namespace

TEST_F(LilvHost, SavedStateFileRestoresIntoAFreshInstance)
{
    ASSERT_NE(plugin, nullptr);
    {
        Running a(plugin, features);
        ASSERT_NE(a.inst, nullptr);
        a.controls[0] = 5, a.controls[1] = 10, a.controls[2] = 12;
        lilv_instance_activate(a.inst);
        lilv_instance_run(a.inst, 256);
        LilvState *st =
            lilv_state_new_from_instance(plugin, a.inst, &map.feature, nullptr, nullptr, nullptr, dir.c_str(),
                                         Running::get, &a, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, features);
        ASSERT_NE(st, nullptr);
        ASSERT_EQ(lilv_state_save(world, &map.feature, &map.unmap_feature, st, nullptr, dir.c_str(), "state.ttl"), 0);
        lilv_state_free(st);
    }
    std::ifstream file(dir / "state.ttl");
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(ZFEN_LV2_URI "#state_data"), std::string::npos) << text;

    LilvState *st = lilv_state_new_from_file(world, &map.feature, nullptr, (dir / "state.ttl").c_str());
    ASSERT_NE(st, nullptr);

    // As hosts do: port values and the plug-in's own state.
    Running b(plugin, features);
    lilv_instance_activate(b.inst);
    lilv_state_restore(st, b.inst, Running::set, &b, 0, features);
    lilv_instance_run(b.inst, 4800);
    EXPECT_EQ(b.mod, 5 * 16 + 8 + lfo_wave_table[10][lfo_step_table[12] * 10 % 256]);
    EXPECT_EQ(b.out, reference(5, 10, 12));

    // The plug-in's own state alone carries the values when no port says otherwise.
    Running c(plugin, features, false);
    lilv_instance_activate(c.inst);
    lilv_state_restore(st, c.inst, nullptr, nullptr, 0, features);
    lilv_instance_run(c.inst, 4800);
    EXPECT_EQ(c.mod, b.mod);
    EXPECT_EQ(c.out, b.out);
    lilv_state_free(st);
}

TEST_F(LilvHost, RestoreWhileAnotherThreadRunsBlocks)
{
    ASSERT_NE(plugin, nullptr);
    Running a(plugin, features);
    a.controls[0] = 2, a.controls[1] = 0, a.controls[2] = 4;
    lilv_instance_activate(a.inst);
    lilv_instance_run(a.inst, 1);
    LilvState *st = lilv_state_new_from_instance(plugin, a.inst, &map.feature, nullptr, nullptr, nullptr, dir.c_str(),
                                                 nullptr, nullptr, 0, features);
    ASSERT_NE(st, nullptr);
    // Restore over and over while blocks run; the audio thread never waits.
    Running b(plugin, features, false);
    lilv_instance_activate(b.inst);
    std::atomic<bool> stop{false};
    std::atomic<unsigned> blocks{0};
    std::thread audio([&] {
        while (!stop.load()) {
            lilv_instance_run(b.inst, 64);
            blocks.fetch_add(1);
        }
    });
    for (int k = 0; k < 300; ++k)
        lilv_state_restore(st, b.inst, nullptr, nullptr, 0, features);
    const unsigned seen = blocks.load();
    while (blocks.load() < seen + 2)
        std::this_thread::yield();
    stop = true;
    audio.join();
    EXPECT_EQ(b.mod, 2 * 16 + 8);
    lilv_state_free(st);
}
