// Looking up host features by URI.
#pragma once
#include <lv2/core/lv2.h>

#include <cstddef>

struct Lv2FeatureQuery {
    const char *uri;
    const void **data; // receives the feature's data, or null
    bool required;
};

// Fills every destination; returns the URI of the first required feature
// that is missing, or null when all required ones are there.
const char *lv2_features_query(const LV2_Feature *const *features, const Lv2FeatureQuery *queries, size_t count);
