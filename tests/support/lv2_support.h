// Host-side LV2 pieces shared by the tests: a URID map (with its unmap), a
// log that keeps its lines, the usual feature list and a state store.
#pragma once
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// URIDs count from 1 in the order the URIs are first seen. The features
// point back at the object, so it is neither copied nor moved.
struct UridMap {
    std::vector<std::string> uris;
    LV2_URID_Map feature;
    LV2_URID_Unmap unmap_feature;

    UridMap();
    UridMap(const UridMap &) = delete;
    UridMap &operator=(const UridMap &) = delete;
    LV2_URID id(const char *uri);
    const char *uri(LV2_URID id) const; // null for ids never handed out
};

struct TestLog {
    std::vector<std::pair<LV2_URID, std::string>> lines;
    LV2_Log_Log feature;

    TestLog();
    TestLog(const TestLog &) = delete;
    TestLog &operator=(const TestLog &) = delete;
};

// A map and a log, offered as a host offers them.
struct Lv2Features {
    UridMap map;
    TestLog log;
    LV2_Feature map_f{LV2_URID__map, &map.feature};
    LV2_Feature log_f{LV2_LOG__log, &log.feature};
    const LV2_Feature *features[3] = {&map_f, &log_f, nullptr};

    Lv2Features() = default;
    Lv2Features(const Lv2Features &) = delete;
    Lv2Features &operator=(const Lv2Features &) = delete;
};

// One stored property, kept as a host keeps it between save and restore.
// Give `value` room beforehand and store() allocates nothing.
struct StateStore {
    uint32_t key = 0, type = 0, flags = 0, calls = 0;
    std::vector<uint8_t> value;
    LV2_State_Status answer = LV2_STATE_SUCCESS; // what store() returns

    static LV2_State_Status store(LV2_State_Handle h, uint32_t key, const void *v, size_t size, uint32_t type,
                                  uint32_t flags);
    static const void *retrieve(LV2_State_Handle h, uint32_t key, size_t *size, uint32_t *type, uint32_t *flags);
};
