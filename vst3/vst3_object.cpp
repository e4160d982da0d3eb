#include "vst3_object.h"

namespace {

int32_t *ref_count_of(void *object, const Vst3Class *cls)
{
    return reinterpret_cast<int32_t *>(static_cast<char *>(object) + cls->ref_count_offset);
}

} // namespace

tresult vst3_object_query(void *object, const Vst3Class *cls, const char *iid, void **obj)
{
    if (!obj)
        return kInvalidArgument;
    if (vst3_uid_equal(iid, IID_FUnknown) || (cls->is_plugin_base && vst3_uid_equal(iid, IID_IPluginBase))) {
        *obj = object;
        ++*ref_count_of(object, cls);
        return kResultOk;
    }
    for (size_t i = 0; i < cls->row_count; ++i) {
        if (vst3_uid_equal(iid, *cls->rows[i].iid)) {
            *obj = static_cast<char *>(object) + cls->rows[i].offset;
            ++*ref_count_of(object, cls);
            return kResultOk;
        }
    }
    *obj = nullptr;
    return kNoInterface;
}

uint32_t vst3_object_add_ref(void *object, const Vst3Class *cls)
{
    return static_cast<uint32_t>(++*ref_count_of(object, cls));
}

uint32_t vst3_object_release(void *object, const Vst3Class *cls)
{
    const int32_t n = --*ref_count_of(object, cls);
    if (n > 0)
        return static_cast<uint32_t>(n);
    cls->destroy(object);
    return 0;
}

bool vst3_base_initialize(FUnknown **kept, FUnknown *context)
{
    if (*kept)
        return false;
    *kept = context;
    return true;
}

tresult vst3_base_terminate(FUnknown **kept)
{
    *kept = nullptr;
    return kResultOk;
}

tresult vst3_conn_connect(IConnectionPoint *, IConnectionPoint *other) { return other ? kResultOk : kInvalidArgument; }
tresult vst3_conn_disconnect(IConnectionPoint *, IConnectionPoint *) { return kResultOk; }
tresult vst3_conn_notify(IConnectionPoint *, IMessage *) { return kResultOk; }

void vst3_copy8(char *dst, size_t cap, const char *src)
{
    size_t i = 0;
    for (; src && src[i] && i + 1 < cap; ++i)
        dst[i] = src[i];
    for (; i < cap; ++i)
        dst[i] = 0;
}

void vst3_copy16(char16 *dst, size_t cap, const char *src)
{
    size_t i = 0;
    for (; src && src[i] && i + 1 < cap; ++i)
        dst[i] = static_cast<char16>(static_cast<unsigned char>(src[i]));
    for (; i < cap; ++i)
        dst[i] = 0;
}
