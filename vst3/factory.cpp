// The plug-in factory: one static object answering IPluginFactory,
// IPluginFactory2 and IPluginFactory3, describing the processor and
// controller classes and creating them.
#include "vst3_module.h"
#include "vst3_object.h"

#include <cstring>

namespace {

constexpr char k_sdk_version[] = "VST 3.8.0 | Quillon";
constexpr char k_sdk_version_w[] = "VST 3.8.0";

struct ClassRow {
    const Vst3Uid *cid;
    const char *category;
    const char *name;
    uint32_t flags;
    const char *sub_categories;
};

const ClassRow k_classes[] = {
    {&k_processor_cid, "Audio Module Class", ZFEN_NAME, kDistributable, "Fx|Filter"},
    {&k_controller_cid, "Component Controller Class", ZFEN_NAME " Controller", 0, ""},
};

constexpr int32_t k_class_count = static_cast<int32_t>(sizeof k_classes / sizeof k_classes[0]);
static_assert(k_class_count == 2, "a processor and its controller");

const ClassRow *row_at(int32_t index) { return index >= 0 && index < k_class_count ? &k_classes[index] : nullptr; }

// ---- IPluginFactory3 ---------------------------------------------------------

// [any] Never blocks.
tresult factory_query_interface(IPluginFactory *self, const char *iid, void **obj)
{
    if (!obj)
        return kInvalidArgument;
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IPluginFactory) ||
        vst3_uid_equal(iid, IID_IPluginFactory2) || vst3_uid_equal(iid, IID_IPluginFactory3)) {
        *obj = self; // static object: no reference count
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

// [any] Never blocks.
uint32_t factory_add_ref(IPluginFactory *) { return 1; }
// [any] Never blocks.
uint32_t factory_release(IPluginFactory *) { return 1; }

// [any] Never blocks.
tresult factory_get_factory_info(IPluginFactory *, PFactoryInfo *info)
{
    if (!info)
        return kInvalidArgument;
    vst3_copy(info->vendor, ZFEN_VENDOR);
    vst3_copy(info->url, ZFEN_URL);
    vst3_copy(info->email, ZFEN_EMAIL);
    info->flags = kUnicode;
    return kResultOk;
}

// [any] Never blocks.
int32_t factory_count_classes(IPluginFactory *) { return k_class_count; }

// The leading fields that all three class-info records share.
template <typename Info> void fill_class_head(Info *info, const ClassRow *row)
{
    std::memcpy(info->cid, row->cid->b, 16);
    info->cardinality = kManyInstances;
    vst3_copy(info->category, row->category);
}

// [any] Never blocks.
tresult factory_get_class_info(IPluginFactory *, int32_t index, PClassInfo *info)
{
    const ClassRow *row = row_at(index);
    if (!row || !info)
        return kInvalidArgument;
    fill_class_head(info, row);
    vst3_copy(info->name, row->name);
    return kResultOk;
}

// [any] Never blocks.
tresult factory_get_class_info2(IPluginFactory *, int32_t index, PClassInfo2 *info)
{
    const ClassRow *row = row_at(index);
    if (!row || !info)
        return kInvalidArgument;
    fill_class_head(info, row);
    vst3_copy(info->name, row->name);
    info->classFlags = row->flags;
    vst3_copy(info->subCategories, row->sub_categories);
    vst3_copy(info->vendor, ""); // hosts then show the factory's vendor
    vst3_copy(info->version, ZFEN_VERSION);
    vst3_copy(info->sdkVersion, k_sdk_version);
    return kResultOk;
}

// [any] Never blocks.
tresult factory_get_class_info_unicode(IPluginFactory *, int32_t index, PClassInfoW *info)
{
    const ClassRow *row = row_at(index);
    if (!row || !info)
        return kInvalidArgument;
    fill_class_head(info, row);
    vst3_copy(info->name, row->name);
    info->classFlags = row->flags;
    vst3_copy(info->subCategories, row->sub_categories);
    vst3_copy(info->vendor, "");
    vst3_copy(info->version, ZFEN_VERSION);
    vst3_copy(info->sdkVersion, k_sdk_version_w);
    return kResultOk;
}

// [any] Never blocks.
tresult factory_create_instance(IPluginFactory *, FIDString cid, FIDString iid, void **obj)
{
    if (!obj)
        return kInvalidArgument;
    if (vst3_uid_equal(cid, k_processor_cid)) {
        if (!vst3_uid_equal(iid, IID_FUnknown) && !vst3_uid_equal(iid, IID_IPluginBase) &&
            !vst3_uid_equal(iid, IID_IComponent))
            return kNoInterface;
        IComponent *c = processor_create();
        if (!c)
            return kOutOfMemory;
        *obj = c;
        return kResultOk;
    }
    if (vst3_uid_equal(cid, k_controller_cid)) {
        if (!vst3_uid_equal(iid, IID_FUnknown) && !vst3_uid_equal(iid, IID_IPluginBase) &&
            !vst3_uid_equal(iid, IID_IEditController))
            return kNoInterface;
        IEditController *c = controller_create();
        if (!c)
            return kOutOfMemory;
        *obj = c;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

// [any] Never blocks.
tresult factory_set_host_context(IPluginFactory *, FUnknown *) { return kNotImplemented; }

const IPluginFactoryVtbl k_factory_vtbl = {
    factory_query_interface,        factory_add_ref,          factory_release,         factory_get_factory_info,
    factory_count_classes,          factory_get_class_info,   factory_create_instance, factory_get_class_info2,
    factory_get_class_info_unicode, factory_set_host_context,
};

IPluginFactory g_factory = {&k_factory_vtbl};

} // namespace

// [any] Never blocks.
IPluginFactory *factory_get(void) { return &g_factory; }
