// The module as a host sees it, loaded from its bundle through its entry
// points: what it exports, its factory, the class infos and moduleinfo.json.
#include "vst3_host/vst3_host_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

TEST_F(Vst3Host, ExportsOnlyTheEntryPoints)
{
    EXPECT_NE(host_module_symbol(&module(), "GetPluginFactory"), nullptr);
    EXPECT_EQ(host_module_symbol(&module(), "DllMain"), nullptr); // the system finds it without an export
#if defined(_WIN32)
    EXPECT_EQ(host_module_symbol(&module(), "ModuleEntry"), nullptr);
#endif
    EXPECT_EQ(host_module_symbol(&module(), "InitDll"), nullptr);
    EXPECT_EQ(host_module_symbol(&module(), "factory_get"), nullptr);
    EXPECT_EQ(host_module_symbol(&module(), "engine_process"), nullptr);
    EXPECT_EQ(host_module_symbol(&module(), "state_save"), nullptr);
}

TEST_F(Vst3Host, FactoryDescribesTheMakerAndTwoClasses)
{
    IPluginFactory *f = factory();
    PFactoryInfo fi;
    std::memset(&fi, 0x55, sizeof fi);
    ASSERT_EQ(f->vtbl->getFactoryInfo(f, &fi), kResultOk);
    EXPECT_STREQ(fi.vendor, "Vornic");
    EXPECT_STREQ(fi.url, "https://vornic.audio");
    EXPECT_STREQ(fi.email, "mailto:support@vornic.audio");
    EXPECT_EQ(fi.flags, kUnicode);
    EXPECT_EQ(f->vtbl->countClasses(f), 2);
}

TEST_F(Vst3Host, ClassInfoInAllThreeForms)
{
    IPluginFactory *f = factory();
    PClassInfo ci;
    ASSERT_EQ(f->vtbl->getClassInfo(f, 0, &ci), kResultOk);
    EXPECT_EQ(cid_text(ci.cid), "7FEA2148BFB2BFED6F2AFF0938CD9988");
    EXPECT_EQ(ci.cardinality, 0x7FFFFFFF);
    EXPECT_STREQ(ci.category, "Audio Module Class");
    EXPECT_STREQ(ci.name, "Z-FEN");
    ASSERT_EQ(f->vtbl->getClassInfo(f, 1, &ci), kResultOk);
    EXPECT_EQ(cid_text(ci.cid), "B5CB37D09A31FD32BD7E2B0FC936FE0F");
    EXPECT_STREQ(ci.category, "Component Controller Class");
    EXPECT_STREQ(ci.name, "Z-FEN Controller");

    PClassInfo2 c2;
    ASSERT_EQ(f->vtbl->getClassInfo2(f, 0, &c2), kResultOk);
    EXPECT_EQ(c2.classFlags, 1u);
    EXPECT_STREQ(c2.subCategories, "Fx|Filter");
    EXPECT_STREQ(c2.vendor, "");
    EXPECT_STREQ(c2.version, "1.3.2.1");
    EXPECT_STREQ(c2.sdkVersion, "VST 3.8.0 | Quillon");
    ASSERT_EQ(f->vtbl->getClassInfo2(f, 1, &c2), kResultOk);
    EXPECT_EQ(c2.classFlags, 0u);
    EXPECT_STREQ(c2.subCategories, "");

    PClassInfoW cw;
    ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, 0, &cw), kResultOk);
    EXPECT_EQ(narrow(cw.name), "Z-FEN");
    EXPECT_EQ(narrow(cw.version), "1.3.2.1");
    EXPECT_EQ(narrow(cw.sdkVersion), "VST 3.8.0");
    EXPECT_EQ(narrow(cw.vendor), "");
    EXPECT_STREQ(cw.category, "Audio Module Class");
    EXPECT_STREQ(cw.subCategories, "Fx|Filter");
    EXPECT_EQ(cw.classFlags, 1u);
    ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, 1, &cw), kResultOk);
    EXPECT_EQ(narrow(cw.name), "Z-FEN Controller");

    for (int32_t bad : {2, -1}) {
        PClassInfo untouched;
        std::memset(&untouched, 0x5A, sizeof untouched);
        PClassInfo probe = untouched;
        EXPECT_EQ(f->vtbl->getClassInfo(f, bad, &probe), kInvalidArgument);
        EXPECT_EQ(std::memcmp(&probe, &untouched, sizeof probe), 0);
        EXPECT_EQ(f->vtbl->getClassInfo2(f, bad, &c2), kInvalidArgument);
        EXPECT_EQ(f->vtbl->getClassInfoUnicode(f, bad, &cw), kInvalidArgument);
    }
}

TEST_F(Vst3Host, FactoryIdentityAndCreation)
{
    IPluginFactory *f = factory();
    void *obj = nullptr;
    ASSERT_EQ(f->vtbl->queryInterface(f, vst3_uid_ptr(IID_IPluginFactory3), &obj), kResultOk);
    EXPECT_EQ(obj, f);
    EXPECT_EQ(f->vtbl->release(f), 1u);
    EXPECT_EQ(f->vtbl->countClasses(f), 2);
    obj = &obj;
    EXPECT_EQ(f->vtbl->queryInterface(f, vst3_uid_ptr(IID_IComponent), &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(f->vtbl->setHostContext(f, app.ptr()), kNotImplemented);

    // The wrong interface for a known class leaves *obj alone; an unknown class clears it.
    void *sentinel = &sentinel;
    obj = sentinel;
    EXPECT_EQ(f->vtbl->createInstance(f, vst3_uid_ptr(k_processor_cid), vst3_uid_ptr(IID_IEditController), &obj),
              kNoInterface);
    EXPECT_EQ(obj, sentinel);
    EXPECT_EQ(f->vtbl->createInstance(f, vst3_uid_ptr(k_controller_cid), vst3_uid_ptr(IID_IComponent), &obj),
              kNoInterface);
    EXPECT_EQ(obj, sentinel);
    EXPECT_EQ(f->vtbl->createInstance(f, vst3_uid_ptr(IID_IComponent), vst3_uid_ptr(IID_IComponent), &obj),
              kNoInterface);
    EXPECT_EQ(obj, nullptr);
}

TEST_F(Vst3Host, ModuleInfoMatchesTheFactory)
{
    std::ifstream file(host_path(ZFEN_VST3_BUNDLE "/Contents/Resources/moduleinfo.json"));
    ASSERT_TRUE(file.good());
    std::stringstream text;
    text << file.rdbuf();
    Json doc;
    std::string err;
    ASSERT_TRUE(json_parse(text.str(), &doc, &err)) << err;
    ASSERT_EQ(doc.kind, Json::OBJECT);
    for (const auto &m : doc.members)
        EXPECT_TRUE(m.first == "Name" || m.first == "Version" || m.first == "Factory Info" || m.first == "Classes" ||
                    m.first == "Compatibility")
            << m.first;
    EXPECT_EQ(doc.get("Name")->text, "vornic-zfen");
    EXPECT_EQ(doc.get("Version")->text, "1.3.2.1");

    IPluginFactory *f = factory();
    PFactoryInfo fi{};
    f->vtbl->getFactoryInfo(f, &fi);
    const Json *info = doc.get("Factory Info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->members.size(), 4u);
    EXPECT_EQ(info->get("Vendor")->text, fi.vendor);
    EXPECT_EQ(info->get("URL")->text, fi.url);
    EXPECT_EQ(info->get("E-Mail")->text, fi.email);
    const Json *flags = info->get("Flags");
    ASSERT_TRUE(flags);
    EXPECT_EQ(flags->get("Unicode")->boolean, (fi.flags & kUnicode) != 0);
    EXPECT_EQ(flags->get("Classes Discardable")->boolean, (fi.flags & 1) != 0);
    EXPECT_EQ(flags->get("Component Non Discardable")->boolean, (fi.flags & 8) != 0);

    const Json *classes = doc.get("Classes");
    ASSERT_TRUE(classes);
    ASSERT_EQ(classes->items.size(), static_cast<size_t>(f->vtbl->countClasses(f)));
    const char *allowed[] = {"CID",        "Category",       "Name",        "Vendor",      "Version",
                             "SDKVersion", "Sub Categories", "Class Flags", "Cardinality", "Snapshots"};
    for (int32_t i = 0; i < f->vtbl->countClasses(f); ++i) {
        PClassInfoW cw{};
        ASSERT_EQ(f->vtbl->getClassInfoUnicode(f, i, &cw), kResultOk);
        const Json &c = classes->items[static_cast<size_t>(i)];
        for (const auto &m : c.members)
            EXPECT_TRUE(std::find(std::begin(allowed), std::end(allowed), m.first) != std::end(allowed)) << m.first;
        EXPECT_EQ(c.get("CID")->text, cid_text(cw.cid));
        EXPECT_EQ(c.get("Category")->text, cw.category);
        EXPECT_EQ(c.get("Name")->text, narrow(cw.name));
        // An empty class vendor means the factory's.
        EXPECT_EQ(c.get("Vendor")->text, narrow(cw.vendor).empty() ? std::string(fi.vendor) : narrow(cw.vendor));
        EXPECT_EQ(c.get("Version")->text, narrow(cw.version));
        EXPECT_EQ(c.get("SDKVersion")->text, narrow(cw.sdkVersion));
        EXPECT_EQ(c.get("Class Flags")->number, static_cast<double>(cw.classFlags));
        EXPECT_EQ(c.get("Cardinality")->number, static_cast<double>(cw.cardinality));
        std::string subs;
        if (const Json *sc = c.get("Sub Categories"))
            for (const Json &s : sc->items)
                subs += (subs.empty() ? "" : "|") + s.text;
        EXPECT_EQ(subs, cw.subCategories);
    }
}

} // namespace
