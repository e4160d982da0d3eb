// Looking up host features by URI.
#pragma once
#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>

#include <cstddef>

struct Lv2FeatureQuery {
    const char *uri;
    const void **data; // receives the feature's data, or null
    bool required;
};

// Fills every destination; returns the URI of the first required feature
// that is missing, or null when all required ones are there.
const char *lv2_features_query(const LV2_Feature *const *features, const Lv2FeatureQuery *queries, size_t count);

// What the plug-in and its UI both take from the host: the URID map
// (required; null when missing, after one "Missing feature" message) and the
// log, set up as `logger`. Returns the map.
const LV2_URID_Map *lv2_features_map_and_log(const LV2_Feature *const *features, LV2_Log_Logger *logger);
