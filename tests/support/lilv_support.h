// Our plug-in as liblilv finds it in the bundle the build made.
#pragma once
#include "zfen_product.h"

#include <lilv/lilv.h>

// Loads the bundle into `world`; null if the plug-in is not there.
inline const LilvPlugin *lilv_load_zfen(LilvWorld *world)
{
    LilvNode *bundle = lilv_new_file_uri(world, nullptr, ZFEN_LV2_BUNDLE "/");
    lilv_world_load_bundle(world, bundle);
    lilv_node_free(bundle);
    LilvNode *uri = lilv_new_uri(world, ZFEN_LV2_URI);
    const LilvPlugin *plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    lilv_node_free(uri);
    return plugin;
}
