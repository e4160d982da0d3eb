// A blob saved by the VST3 processor restores in the LV2 plug-in and the
// reverse, both loaded from their bundles as their hosts load them.
#include "lv2_support.h"
#include "vst3_host/blob_reader.h"
#include "vst3_host/vst3_rig.h"

#include <gtest/gtest.h>
#include <lilv/lilv.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr ParamID kIds[3] = {1784049613u, 394330366u, 793359101u};

class CrossFormat : public testing::Test {
protected:
    LilvWorld *world = lilv_world_new();
    UridMap map;
    LV2_Feature map_f{LV2_URID__map, &map.feature};
    const LV2_Feature *features[2] = {&map_f, nullptr};
    LilvInstance *lv2 = nullptr;
    const LV2_State_Interface *lv2_state = nullptr;
    float controls[3] = {15, 0, 7};
    float mod = 0;
    std::vector<float> in = std::vector<float>(256, 0.1f), out = std::vector<float>(256);

    Vst3Rig vst3;
    IComponent *comp = nullptr;

    void SetUp() override
    {
        LilvNode *bundle = lilv_new_file_uri(world, nullptr, ZFEN_LV2_BUNDLE "/");
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode *uri = lilv_new_uri(world, "https://vornic.audio/zfen");
        const LilvPlugin *plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
        ASSERT_TRUE(plugin);
        lv2 = lilv_plugin_instantiate(plugin, 48000.0, features);
        ASSERT_TRUE(lv2);
        lilv_instance_connect_port(lv2, 0, in.data());
        lilv_instance_connect_port(lv2, 1, out.data());
        for (uint32_t i = 0; i < 3; ++i)
            lilv_instance_connect_port(lv2, 2 + i, &controls[i]);
        lilv_instance_connect_port(lv2, 5, &mod);
        lilv_instance_activate(lv2);
        lv2_state =
            static_cast<const LV2_State_Interface *>(lilv_instance_get_extension_data(lv2, LV2_STATE__interface));
        ASSERT_TRUE(lv2_state);

        ASSERT_TRUE(vst3.load(ZFEN_VST3_BUNDLE)) << vst3.error();
        comp = vst3.make_processor();
        ASSERT_TRUE(comp);
        vst3.activate(48000.0, true, true, 256);
    }
    void TearDown() override
    {
        vst3.release_all();
        if (lv2) {
            lilv_instance_deactivate(lv2);
            lilv_instance_free(lv2);
        }
        lilv_world_free(world);
    }
    void vst3_block(HostChanges *changes)
    {
        MonoBlock b(256, 0.1f);
        ASSERT_EQ(vst3_run(comp, b, changes), kResultOk);
    }
    std::vector<uint8_t> lv2_save()
    {
        StateStore store;
        EXPECT_EQ(lv2_state->save(lilv_instance_get_handle(lv2), StateStore::store, &store, 0, features),
                  LV2_STATE_SUCCESS);
        return store.value;
    }
    LV2_State_Status lv2_restore(const std::vector<uint8_t> &blob)
    {
        StateStore store;
        store.value = blob;
        store.key = map.id("https://vornic.audio/zfen#state_data");
        store.type = map.id("http://lv2plug.in/ns/ext/atom#Chunk");
        store.flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
        return lv2_state->restore(lilv_instance_get_handle(lv2), StateStore::retrieve, &store, 0, features);
    }

    // Same document apart from the "format" entry.
    static void expect_same_but_format(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
    {
        BlobContents x = blob_reader(a), y = blob_reader(b);
        ASSERT_TRUE(x.ok && y.ok);
        EXPECT_EQ(x.version, y.version);
        EXPECT_EQ(x.parameters, y.parameters);
        EXPECT_EQ(x.info.size(), y.info.size());
        for (const auto &kv : x.info) {
            if (kv.first == "format")
                continue;
            auto it = y.info.find(kv.first);
            ASSERT_NE(it, y.info.end()) << kv.first;
            EXPECT_EQ(it->second, kv.second) << kv.first;
        }
        EXPECT_NE(x.info.at("format"), y.info.at("format"));
    }
};

TEST_F(CrossFormat, Vst3BlobRestoresInLv2)
{
    HostChanges changes;
    const float wanted[3] = {5, 10, 2};
    for (int i = 0; i < 3; ++i)
        changes.add(kIds[i], {{0, wanted[i] / 15.0}});
    vst3_block(&changes);
    std::vector<uint8_t> from_vst3 = vst3_save(comp);
    ASSERT_EQ(from_vst3.size(), 5632u);
    EXPECT_EQ(blob_reader(from_vst3).info["format"], "vst3");

    // Control ports unconnected: only the restored state sets the values.
    ASSERT_EQ(lv2_restore(from_vst3), LV2_STATE_SUCCESS);
    lilv_instance_connect_port(lv2, 2, nullptr);
    lilv_instance_connect_port(lv2, 3, nullptr);
    lilv_instance_connect_port(lv2, 4, nullptr);
    lilv_instance_run(lv2, 256);
    std::vector<uint8_t> from_lv2 = lv2_save();
    ASSERT_EQ(from_lv2.size(), 5632u);
    EXPECT_EQ(blob_reader(from_lv2).info["format"], "lv2");
    EXPECT_EQ(blob_reader(from_lv2).values, (std::array<float, 3>{5, 10, 2}));
    expect_same_but_format(from_vst3, from_lv2);
}

TEST_F(CrossFormat, Lv2BlobRestoresInVst3)
{
    controls[0] = 9;
    controls[1] = 4;
    controls[2] = 13;
    lilv_instance_run(lv2, 256);
    std::vector<uint8_t> from_lv2 = lv2_save();
    ASSERT_EQ(from_lv2.size(), 5632u);

    MemoryStream s(from_lv2);
    ASSERT_EQ(comp->vtbl->setState(comp, s.ptr()), kResultOk);
    vst3_block(nullptr);
    std::vector<uint8_t> from_vst3 = vst3_save(comp);
    ASSERT_EQ(from_vst3.size(), 5632u);
    EXPECT_EQ(blob_reader(from_vst3).values, (std::array<float, 3>{9, 4, 13}));
    expect_same_but_format(from_lv2, from_vst3);

    // And a refused blob changes neither.
    std::vector<uint8_t> foreign = blob_with_foreign_id(from_lv2);
    EXPECT_NE(lv2_restore(foreign), LV2_STATE_SUCCESS);
    MemoryStream f(foreign);
    EXPECT_EQ(comp->vtbl->setState(comp, f.ptr()), kResultFalse);
}

} // namespace
