// The LV2 UI as an LV2 host sees it under Wine: the Windows binary loaded
// from a test bundle that carries the stand-in WebView2 loader; with and
// without the parent, touch and URID map features; port events to the page;
// page gestures to touch notifications and port writes.
#include "core/parameters.h"
#include "gui_test_support.h"
#include "lv2_support.h"
#include "vst3_host/host_module.h"
#include "zfen_product.h"

#include <gtest/gtest.h>
#include <lv2/ui/ui.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the host hears from the UI, in order: "t4+", "w4=9", "t4-".
struct HostSide {
    std::vector<std::string> calls;
    static void write(LV2UI_Controller c, uint32_t port, uint32_t size, uint32_t protocol, const void *buffer)
    {
        float v = 0;
        std::memcpy(&v, buffer, sizeof v);
        static_cast<HostSide *>(c)->calls.push_back("w" + std::to_string(port) + "=" + std::to_string(lroundf(v)) +
                                                    (size == 4 && protocol == 0 ? "" : "?"));
    }
    static void touch(LV2UI_Feature_Handle h, uint32_t port, bool grabbed)
    {
        static_cast<HostSide *>(h)->calls.push_back("t" + std::to_string(port) + (grabbed ? "+" : "-"));
    }
};

class Lv2Ui : public testing::Test {
protected:
    HMODULE binary = nullptr;
    const LV2UI_Descriptor *desc = nullptr;
    HMODULE standin = nullptr;
    StandinApi *api = nullptr;
    HWND parent = nullptr;
    HostSide host;
    LV2UI_Touch touch{&host, HostSide::touch};
    Lv2Features lv2;
    std::string bundle = host_path(ZFEN_LV2_TEST_BUNDLE) + "\\";

    void SetUp() override
    {
        binary = LoadLibraryA((bundle + ZFEN_PLUGIN_ID ".dll").c_str());
        ASSERT_NE(binary, nullptr);
        auto get = reinterpret_cast<const LV2UI_Descriptor *(*)(uint32_t)>(
            reinterpret_cast<void *>(GetProcAddress(binary, "lv2ui_descriptor")));
        ASSERT_NE(get, nullptr);
        desc = get(0);
        ASSERT_NE(desc, nullptr);
        EXPECT_EQ(get(1), nullptr);
        standin = LoadLibraryA((bundle + "\\WebView2Loader.dll").c_str());
        ASSERT_NE(standin, nullptr);
        api = new StandinApi(standin);
        ASSERT_TRUE(api->ok);
        api->standin_reset();
        parent = make_host_window(900, 700);
        ASSERT_NE(parent, nullptr);
    }
    void TearDown() override
    {
        if (api) {
            EXPECT_TRUE(browsers_gone(*api));
            EXPECT_EQ(api->misuses(), std::vector<std::string>{});
            delete api;
        }
        if (parent)
            DestroyWindow(parent);
        if (standin)
            FreeLibrary(standin);
        if (binary)
            FreeLibrary(binary);
    }

    // Features as the test asks: parent window, touch, URID map and log.
    LV2UI_Handle open(bool with_parent, bool with_touch, bool with_map, LV2UI_Widget *widget)
    {
        LV2_Feature parent_f{LV2_UI__parent, parent};
        LV2_Feature touch_f{LV2_UI__touch, &touch};
        std::vector<const LV2_Feature *> features;
        if (with_map)
            features.push_back(&lv2.map_f);
        features.push_back(&lv2.log_f);
        if (with_parent)
            features.push_back(&parent_f);
        if (with_touch)
            features.push_back(&touch_f);
        features.push_back(nullptr);
        return desc->instantiate(desc, ZFEN_LV2_URI, bundle.c_str(), HostSide::write, &host, widget, features.data());
    }
    void port(LV2UI_Handle ui, uint32_t index, float value) { desc->port_event(ui, index, 4, 0, &value); }
    HRESULT page_posts(const std::wstring &text) { return page_posts_serving(*api, text); }
};

} // namespace

TEST_F(Lv2Ui, EmbedsInTheHostsWindowAndShowsPortValuesAsStored)
{
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle ui = open(true, true, true, &widget);
    ASSERT_NE(ui, nullptr);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(GetAncestor(static_cast<HWND>(widget), GA_PARENT), parent);
    EXPECT_TRUE(lv2.log.lines.empty());

    port(ui, 2, 7.6f);
    port(ui, 2, -2.0f);
    port(ui, 2, 20.0f);
    port(ui, 2, std::nanf(""));
    port(ui, 3, 1e10f);
    port(ui, 4, 9.4f);
    port(ui, 5, 203.0f); // the Modulated Cutoff output, as it is
    port(ui, 0, 1.0f);   // audio ports carry no parameter
    port(ui, 1, 1.0f);
    port(ui, 6, 1.0f);
    float value = 3.0f;
    desc->port_event(ui, 2, 2, 0, &value); // too short to hold a float
    EXPECT_EQ(api->posted(),
              (std::vector<std::wstring>{value_message(0, 8.0f), value_message(0, 0.0f), value_message(0, 15.0f),
                                         value_message(0, 0.0f), value_message(1, 15.0f), value_message(2, 9.0f),
                                         value_message(3, 203.0f)}));
    // The page asks: the cache answers.
    ASSERT_EQ(page_posts(L"g"), S_OK);
    EXPECT_EQ(api->posted().back(), value_message(3, 203.0f));

    // extension_data: the idle interface only.
    const auto *idle = static_cast<const LV2UI_Idle_Interface *>(desc->extension_data(LV2_UI__idleInterface));
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(idle->idle(ui), 0);
    EXPECT_EQ(desc->extension_data(LV2_UI__resize), nullptr);
    EXPECT_EQ(desc->extension_data("http://lv2plug.in/ns/ext/state#interface"), nullptr);
    desc->cleanup(ui);
    EXPECT_FALSE(IsWindow(static_cast<HWND>(widget)));
}

TEST_F(Lv2Ui, AGestureIsTouchedWrittenAndReleased)
{
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle ui = open(true, true, true, &widget);
    ASSERT_NE(ui, nullptr);
    ASSERT_EQ(page_posts(edit_message('b', 2, 7.0f)), S_OK);
    ASSERT_EQ(page_posts(edit_message('s', 2, 8.0f)), S_OK);
    ASSERT_EQ(page_posts(edit_message('e', 2, 9.4f)), S_OK);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"t4+", "w4=7", "w4=8", "w4=9", "t4-"}));
    desc->cleanup(ui);
}

TEST_F(Lv2Ui, WithoutTouchOnlyTheWrites)
{
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle ui = open(true, false, true, &widget);
    ASSERT_NE(ui, nullptr);
    ASSERT_EQ(page_posts(edit_message('b', 0, 3.0f)), S_OK);
    ASSERT_EQ(page_posts(edit_message('e', 0, 40.0f)), S_OK); // clamped to 15
    EXPECT_EQ(host.calls, (std::vector<std::string>{"w2=3", "w2=15"}));
    desc->cleanup(ui);
}

TEST_F(Lv2Ui, WithoutAParentItOpensAWindowOfItsOwn)
{
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle ui = open(false, false, true, &widget);
    ASSERT_NE(ui, nullptr);
    EXPECT_EQ(GetAncestor(static_cast<HWND>(widget), GA_PARENT), GetDesktopWindow());
    EXPECT_TRUE(pump_until([&] { return IsWindowVisible(static_cast<HWND>(widget)) != 0; }));
    const auto *idle = static_cast<const LV2UI_Idle_Interface *>(desc->extension_data(LV2_UI__idleInterface));
    EXPECT_EQ(idle->idle(ui), 0);
    // The user closes it: the host hears so at its next idle call.
    PostMessageA(static_cast<HWND>(widget), WM_CLOSE, 0, 0);
    ASSERT_TRUE(pump_until([&] { return idle->idle(ui) != 0; }));
    EXPECT_FALSE(IsWindow(static_cast<HWND>(widget)));
    desc->cleanup(ui);
}

TEST_F(Lv2Ui, WithoutAUridMapItWorksAfterOneMessage)
{
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle ui = open(true, true, false, &widget);
    ASSERT_NE(ui, nullptr);
    ASSERT_EQ(lv2.log.lines.size(), 1u);
    EXPECT_EQ(lv2.log.lines[0].second, "Missing feature <http://lv2plug.in/ns/ext/urid#map>\n");
    port(ui, 4, 3.0f);
    EXPECT_EQ(api->posted(), (std::vector<std::wstring>{value_message(2, 3.0f)}));
    desc->cleanup(ui);
}

TEST_F(Lv2Ui, AFailedEditorLeavesNothing)
{
    api->standin_configure(STANDIN_FAIL_CONTROLLER_INVOKE, E_FAIL, 0);
    LV2UI_Widget widget = parent; // overwritten on failure
    EXPECT_EQ(open(true, true, true, &widget), nullptr);
    EXPECT_EQ(widget, nullptr);
    int children = 0;
    EnumChildWindows(
        parent, [](HWND, LPARAM c) -> BOOL { return ++*reinterpret_cast<int *>(c), TRUE; },
        reinterpret_cast<LPARAM>(&children));
    EXPECT_EQ(children, 0);
}

// Microsoft's loader with no WebView2 runtime installed: no UI, nothing left.
TEST(Lv2UiRealLoader, WithoutTheRuntimeTheUiDoesNotInstantiate)
{
    const std::string bundle = host_path(ZFEN_LV2_BUNDLE) + "\\";
    HMODULE binary = LoadLibraryA((bundle + ZFEN_PLUGIN_ID ".dll").c_str());
    ASSERT_NE(binary, nullptr);
    auto get = reinterpret_cast<const LV2UI_Descriptor *(*)(uint32_t)>(
        reinterpret_cast<void *>(GetProcAddress(binary, "lv2ui_descriptor")));
    ASSERT_NE(get, nullptr);
    const LV2UI_Descriptor *desc = get(0);
    Lv2Features lv2;
    HostSide host;
    LV2UI_Widget widget = &host;
    EXPECT_EQ(desc->instantiate(desc, ZFEN_LV2_URI, bundle.c_str(), HostSide::write, &host, &widget, lv2.features),
              nullptr);
    EXPECT_EQ(widget, nullptr);
    // One line through the host's log says why. (Without the loader in the
    // bundle, as where the package could not be fetched, it names the loader.)
    ASSERT_EQ(lv2.log.lines.size(), 1u);
    const bool has_loader = GetFileAttributesA((bundle + "WebView2Loader.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(lv2.log.lines[0].second, has_loader
                                           ? "Z-FEN editor: WebView2 runtime not installed\n"
                                           : "Z-FEN editor: loading WebView2Loader.dll failed (HRESULT 0x8007007E)\n");
    FreeLibrary(binary);
}
