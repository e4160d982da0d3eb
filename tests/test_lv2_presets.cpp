// The factory presets as LV2 hosts see them: the validator, liblilv's preset
// list, and a preset restored onto an instance's ports.
#include "core/parameters.h"
#include "engine_probe.h"
#include "lv2_test_host.h"
#include "preset_list.h"
#include "shell_run.h"
#include "zfen_product.h"

#include "lilv_support.h"

#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/presets/presets.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

const std::string k_bundle = ZFEN_LV2_BUNDLE;

std::pair<std::string, int> run(const std::string &cmd) { return shell_run(cmd); }

// The URI a preset's name should give: lower-case letters and digits, any other run one '-'.
std::string preset_uri(const std::string &name)
{
    std::string s;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (!s.empty() && s.back() != '-')
            s += '-';
    }
    while (!s.empty() && s.back() == '-')
        s.pop_back();
    return ZFEN_LV2_URI "#preset-" + s;
}

// An instance whose control ports a restore writes, converting numbers as hosts do.
struct Running {
    LilvInstance *inst;
    UridMap *map;
    float controls[3];
    float mod = -1;
    std::vector<float> in, out;
    std::vector<LV2_URID> types_seen;

    Running(const LilvPlugin *p, UridMap *m, const LV2_Feature *const *f)
        : inst(lilv_plugin_instantiate(p, 48000.0, f)), map(m), in(probe_signal(48000, 5)), out(48000)
    {
        for (uint32_t i = 0; i < 3; ++i)
            controls[i] = param_default(i);
        if (!inst)
            return;
        lilv_instance_connect_port(inst, LV2_PORT_IN, in.data());
        lilv_instance_connect_port(inst, LV2_PORT_OUT, out.data());
        for (uint32_t i = 0; i < 3; ++i)
            lilv_instance_connect_port(inst, k_params[i].lv2_port, &controls[i]);
        lilv_instance_connect_port(inst, k_params[PARAM_MOD_CUTOFF].lv2_port, &mod);
        lilv_instance_activate(inst);
    }
    ~Running()
    {
        if (inst) {
            lilv_instance_deactivate(inst);
            lilv_instance_free(inst);
        }
    }
    static void set(const char *symbol, void *user, const void *value, uint32_t size, uint32_t type)
    {
        auto *self = static_cast<Running *>(user);
        self->types_seen.push_back(type);
        for (uint32_t i = 0; i < 3; ++i) {
            if (std::strcmp(symbol, k_params[i].key) != 0)
                continue;
            if (type == self->map->id(LV2_ATOM__Float) && size == 4)
                std::memcpy(&self->controls[i], value, 4);
            else if (type == self->map->id(LV2_ATOM__Double) && size == 8)
                self->controls[i] = static_cast<float>(*static_cast<const double *>(value));
            else if (type == self->map->id(LV2_ATOM__Int) && size == 4)
                self->controls[i] = static_cast<float>(*static_cast<const int32_t *>(value));
        }
    }
    void render()
    {
        // In blocks, as hosts run it.
        for (size_t at = 0; at < in.size(); at += 480) {
            lilv_instance_connect_port(inst, LV2_PORT_IN, in.data() + at);
            lilv_instance_connect_port(inst, LV2_PORT_OUT, out.data() + at);
            lilv_instance_run(inst, 480);
        }
    }
};

struct Lv2Presets : testing::Test {
    LilvWorld *world = lilv_world_new();
    // The log keeps the plug-in's word on a restore without its own state off the output.
    Lv2Features host;
    UridMap &map = host.map;
    const LV2_Feature *const *features = host.features;
    const LilvPlugin *plugin = nullptr;
    std::vector<ListedPreset> list = preset_list(ZFEN_PRESETS_TXT);

    void SetUp() override
    {
        plugin = lilv_load_zfen(world);
        ASSERT_NE(plugin, nullptr);
        ASSERT_GE(list.size(), 5u);
    }
    void TearDown() override { lilv_world_free(world); }

    // Preset URI -> label, as a host lists them.
    std::map<std::string, std::string> listed_by_lilv()
    {
        std::map<std::string, std::string> out;
        LilvNode *preset_class = lilv_new_uri(world, LV2_PRESETS__Preset);
        LilvNode *label = lilv_new_uri(world, LILV_NS_RDFS "label");
        LilvNodes *presets = lilv_plugin_get_related(plugin, preset_class);
        LILV_FOREACH(nodes, i, presets)
        {
            const LilvNode *p = lilv_nodes_get(presets, i);
            // Counts the files parsed: the presets share one, parsed once.
            EXPECT_GE(lilv_world_load_resource(world, p), 0) << lilv_node_as_uri(p);
            LilvNode *l = lilv_world_get(world, p, label, nullptr);
            out[lilv_node_as_uri(p)] = l ? lilv_node_as_string(l) : "";
            lilv_node_free(l);
        }
        lilv_nodes_free(presets);
        lilv_node_free(label);
        lilv_node_free(preset_class);
        return out;
    }
};

} // namespace

TEST(Lv2PresetFiles, ValidatorFindsNoErrors)
{
    const auto [out, status] = run("lv2_validate " + k_bundle + "/manifest.ttl " + k_bundle +
                                   "/" ZFEN_PLUGIN_ID ".ttl " + k_bundle + "/presets.ttl");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Found 0 errors"), std::string::npos) << out;
}

TEST_F(Lv2Presets, LilvListsEveryPresetWithItsLabel)
{
    const std::map<std::string, std::string> found = listed_by_lilv();
    EXPECT_EQ(found.size(), list.size());
    for (const ListedPreset &p : list) {
        const auto it = found.find(preset_uri(p.name));
        ASSERT_NE(it, found.end()) << p.name;
        EXPECT_EQ(it->second, p.name);
    }
}

TEST_F(Lv2Presets, RestoredPresetSoundsLikeTheValuesSetByHand)
{
    listed_by_lilv(); // loads every preset's description
    Running defaults(plugin, &map, features);
    ASSERT_NE(defaults.inst, nullptr);
    defaults.render();
    for (const ListedPreset &p : list) {
        LilvNode *uri = lilv_new_uri(world, preset_uri(p.name).c_str());
        LilvState *st = lilv_state_new_from_world(world, &map.feature, uri);
        lilv_node_free(uri);
        ASSERT_NE(st, nullptr) << p.name;
        EXPECT_STREQ(lilv_state_get_label(st), p.name.c_str());
        EXPECT_EQ(lilv_state_get_num_properties(st), 0u); // the ports carry the preset

        Running loaded(plugin, &map, features);
        lilv_state_restore(st, loaded.inst, Running::set, &loaded, 0, features);
        lilv_state_free(st);
        // One value per input port, as floats: the ports' own type.
        ASSERT_EQ(loaded.types_seen.size(), 3u) << p.name;
        for (LV2_URID t : loaded.types_seen)
            EXPECT_EQ(t, map.id(LV2_ATOM__Float));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(loaded.controls[i], p.values[i]) << p.name << " " << k_params[i].key;
        loaded.render();

        Running by_hand(plugin, &map, features);
        std::copy(p.values, p.values + 3, by_hand.controls);
        by_hand.render();
        EXPECT_EQ(std::memcmp(loaded.out.data(), by_hand.out.data(), loaded.out.size() * sizeof(float)), 0) << p.name;
        EXPECT_EQ(loaded.mod, by_hand.mod);
        EXPECT_NE(loaded.out, defaults.out) << p.name << " sounds like the defaults";
    }
}
