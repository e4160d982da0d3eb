#include "lv2_support.h"

#include <cstdio>
#include <cstring>

namespace {

LV2_URID map_fn(LV2_URID_Map_Handle h, const char *uri) { return static_cast<UridMap *>(h)->id(uri); }

const char *unmap_fn(LV2_URID_Unmap_Handle h, LV2_URID id) { return static_cast<const UridMap *>(h)->uri(id); }

int log_vprintf(LV2_Log_Handle h, LV2_URID type, const char *fmt, va_list ap)
{
    char buf[512];
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    static_cast<TestLog *>(h)->lines.emplace_back(type, buf);
    return n;
}

int log_printf(LV2_Log_Handle h, LV2_URID type, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int n = log_vprintf(h, type, fmt, ap);
    va_end(ap);
    return n;
}

} // namespace

UridMap::UridMap() : feature{this, map_fn}, unmap_feature{this, unmap_fn} {}

LV2_URID UridMap::id(const char *uri)
{
    for (size_t i = 0; i < uris.size(); ++i)
        if (uris[i] == uri)
            return static_cast<LV2_URID>(i + 1);
    uris.push_back(uri);
    return static_cast<LV2_URID>(uris.size());
}

const char *UridMap::uri(LV2_URID id) const { return id && id <= uris.size() ? uris[id - 1].c_str() : nullptr; }

TestLog::TestLog() : feature{this, log_printf, log_vprintf} {}

LV2_State_Status StateStore::store(LV2_State_Handle h, uint32_t key, const void *v, size_t size, uint32_t type,
                                   uint32_t flags)
{
    auto *s = static_cast<StateStore *>(h);
    s->key = key, s->type = type, s->flags = flags, ++s->calls;
    s->value.assign(static_cast<const uint8_t *>(v), static_cast<const uint8_t *>(v) + size);
    return s->answer;
}

const void *StateStore::retrieve(LV2_State_Handle h, uint32_t key, size_t *size, uint32_t *type, uint32_t *flags)
{
    auto *s = static_cast<StateStore *>(h);
    if (key != s->key || s->value.empty())
        return nullptr;
    *size = s->value.size(), *type = s->type, *flags = s->flags;
    return s->value.data();
}
