// The bundle's description as an LV2 host reads it (liblilv) agrees with the
// parameter table: a change to one without the other fails here.
#include "core/parameters.h"
#include "zfen_product.h"

#include "lilv_support.h"

#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/core/lv2.h>

#include <string>

namespace {

struct Description : testing::Test {
    LilvWorld *world = lilv_world_new();
    const LilvPlugin *plugin = nullptr;

    void SetUp() override
    {
        plugin = lilv_load_zfen(world);
        ASSERT_NE(plugin, nullptr);
    }
    void TearDown() override { lilv_world_free(world); }

    LilvNode *uri(const char *u) { return lilv_new_uri(world, u); }
};

TEST_F(Description, EveryControlPortMatchesItsParameter)
{
    LilvNode *control = uri(LV2_CORE__ControlPort), *input = uri(LV2_CORE__InputPort),
             *output = uri(LV2_CORE__OutputPort), *integer = uri(LV2_CORE__integer);
    // Two audio ports, then one control port per parameter.
    EXPECT_EQ(lilv_plugin_get_num_ports(plugin), PARAM_COUNT + 2);
    uint32_t controls = 0;
    for (uint32_t i = 0; i < lilv_plugin_get_num_ports(plugin); ++i)
        controls += lilv_port_is_a(plugin, lilv_plugin_get_port_by_index(plugin, i), control);
    EXPECT_EQ(controls, PARAM_COUNT);

    for (const ParamDesc &d : k_params) {
        SCOPED_TRACE(d.title);
        const LilvPort *port = lilv_plugin_get_port_by_index(plugin, d.lv2_port);
        ASSERT_NE(port, nullptr);
        EXPECT_TRUE(lilv_port_is_a(plugin, port, control));
        EXPECT_TRUE(lilv_port_is_a(plugin, port, d.is_output ? output : input));
        EXPECT_EQ(std::string(lilv_node_as_string(lilv_port_get_symbol(plugin, port))), d.key);
        LilvNode *name = lilv_port_get_name(plugin, port);
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(std::string(lilv_node_as_string(name)), d.title);
        lilv_node_free(name);

        LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
        lilv_port_get_range(plugin, port, &def, &min, &max);
        ASSERT_TRUE(def && min && max);
        EXPECT_EQ(lilv_node_as_float(def), static_cast<float>(d.def));
        EXPECT_EQ(lilv_node_as_float(min), static_cast<float>(d.min));
        EXPECT_EQ(lilv_node_as_float(max), static_cast<float>(d.max));
        lilv_node_free(def);
        lilv_node_free(min);
        lilv_node_free(max);
        EXPECT_EQ(lilv_port_has_property(plugin, port, integer), (d.flags & PARAM_FLAG_INTEGER) != 0);
    }
    lilv_node_free(control);
    lilv_node_free(input);
    lilv_node_free(output);
    lilv_node_free(integer);
}

TEST_F(Description, NamesTheProductFacts)
{
    LilvNode *name = lilv_plugin_get_name(plugin);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(lilv_node_as_string(name), ZFEN_NAME);
    lilv_node_free(name);
    const LilvNode *binary = lilv_plugin_get_library_uri(plugin);
    ASSERT_NE(binary, nullptr);
    const std::string lib = lilv_node_as_uri(binary);
    EXPECT_NE(lib.find(ZFEN_PLUGIN_ID), std::string::npos) << lib;

    // The LV2 version is the plug-in's minor and revision numbers.
    const struct {
        const char *predicate;
        int expected;
    } versions[] = {{LV2_CORE__minorVersion, ZFEN_VERSION_MINOR}, {LV2_CORE__microVersion, ZFEN_VERSION_REVISION}};
    for (const auto &v : versions) {
        LilvNode *predicate = uri(v.predicate);
        LilvNodes *values = lilv_plugin_get_value(plugin, predicate);
        ASSERT_NE(values, nullptr) << v.predicate;
        EXPECT_EQ(lilv_nodes_size(values), 1u);
        EXPECT_EQ(lilv_node_as_int(lilv_nodes_get_first(values)), v.expected) << v.predicate;
        lilv_nodes_free(values);
        lilv_node_free(predicate);
    }
}

} // namespace
