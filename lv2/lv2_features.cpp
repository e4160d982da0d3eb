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

const LV2_URID_Map *lv2_features_map_and_log(const LV2_Feature *const *features, LV2_Log_Logger *logger)
{
    const void *log = nullptr;
    const void *map = nullptr;
    const Lv2FeatureQuery queries[] = {
        {LV2_LOG__log, &log, false},
        {LV2_URID__map, &map, true},
    };
    const char *missing = lv2_features_query(features, queries, sizeof queries / sizeof queries[0]);
    auto *urid_map = static_cast<const LV2_URID_Map *>(map);
    lv2_log_logger_init(logger, const_cast<LV2_URID_Map *>(urid_map),
                        static_cast<LV2_Log_Log *>(const_cast<void *>(log)));
    if (missing)
        lv2_log_error(logger, "Missing feature <%s>\n", missing);
    return urid_map;
}
