#include "lv2_features.h"

#include <cstring>

const char *lv2_features_query(const LV2_Feature *const *features, const Lv2FeatureQuery *queries, size_t count)
{
    for (size_t q = 0; q < count; ++q) {
        *queries[q].data = nullptr;
        for (const LV2_Feature *const *f = features; f && *f; ++f) {
            if (std::strcmp((*f)->URI, queries[q].uri) == 0) {
                *queries[q].data = (*f)->data;
                break;
            }
        }
        if (queries[q].required && !*queries[q].data)
            return queries[q].uri;
    }
    return nullptr;
}
