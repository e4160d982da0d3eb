// The page's edits as each format's host hears them, under Wine with the
// stand-in browser: the same page messages give the same host calls in the
// VST3 view and the LV2 UI, and a host that closes the editor from inside any
// of those calls neither hangs nor hears from the editor again.
#include "core/parameters.h"
#include "gui_test_support.h"
#include "lv2_support.h"
#include "vst3_host/vst3_rig.h"
#include "zfen_product.h"

#include <gtest/gtest.h>
#include <lv2/ui/ui.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// One open editor and its host's trace of the page's edits: "b0" a gesture
// begins (beginEdit, touch on), "s0=8" a value (performEdit, port write), "e0"
// it ends.
struct Editor {
    std::vector<std::string> trace;
    std::function<void()> inside; // runs inside each host call, once
    StandinApi *api = nullptr;
    virtual ~Editor() = default;
    virtual bool open(HWND parent) = 0;
    virtual void host_value(uint32_t index, float plain) = 0;
    virtual void close() = 0;
    void heard(std::string call)
    {
        trace.push_back(std::move(call));
        if (auto f = std::exchange(inside, nullptr))
            f();
    }
    static std::string value(const char *kind, size_t index, double plain)
    {
        return kind + std::to_string(index) + "=" + std::to_string(std::lround(plain));
    }
};

struct Vst3Editor final : Editor {
    Vst3Rig rig;
    RecordingHandler handler;
    IEditController *ctrl = nullptr;
    IPlugView *view = nullptr;
    HMODULE standin = nullptr;

    bool open(HWND parent) override
    {
        if (!rig.load(ZFEN_VST3_TEST_BUNDLE) || !(ctrl = rig.make_controller()))
            return false;
        standin =
            LoadLibraryA((host_path(ZFEN_VST3_TEST_BUNDLE) + "\\Contents\\x86_64-win\\WebView2Loader.dll").c_str());
        api = new StandinApi(standin);
        handler.on_edit = [this] {
            const EditCall &c = handler.calls.back();
            const ParamDesc *d = nullptr;
            for (const ParamDesc &p : k_params)
                d = p.vst3_id == c.id ? &p : d;
            const size_t i = d ? static_cast<size_t>(d->index) : 99;
            heard(c.kind == 'p' ? value("s", i, d->min + c.value * (d->max - d->min))
                                : std::string(1, c.kind) + std::to_string(i));
        };
        ctrl->vtbl->setComponentHandler(ctrl, handler.ptr());
        view = ctrl->vtbl->createView(ctrl, "editor");
        return view && view->vtbl->attached(view, parent, "HWND") == kResultOk;
    }
    void host_value(uint32_t index, float plain) override
    {
        const ParamDesc &d = k_params[index];
        ctrl->vtbl->setParamNormalized(ctrl, d.vst3_id, (plain - d.min) / (d.max - d.min));
    }
    void close() override
    {
        if (auto *v = std::exchange(view, nullptr)) {
            v->vtbl->removed(v);
            v->vtbl->release(v);
        }
    }
    ~Vst3Editor() override
    {
        close();
        rig.release_all();
        delete api;
        if (standin)
            FreeLibrary(standin);
    }
};

struct Lv2Editor final : Editor {
    HMODULE binary = nullptr;
    HMODULE standin = nullptr;
    const LV2UI_Descriptor *desc = nullptr;
    LV2UI_Handle ui = nullptr;
    LV2UI_Touch touch{this, [](LV2UI_Feature_Handle h, uint32_t port, bool on) {
                          static_cast<Lv2Editor *>(h)->heard((on ? "b" : "e") + std::to_string(port - 2));
                      }};
    Lv2Features lv2;

    bool open(HWND parent) override
    {
        const std::string bundle = host_path(ZFEN_LV2_TEST_BUNDLE) + "\\";
        binary = LoadLibraryA((bundle + ZFEN_PLUGIN_ID ".dll").c_str());
        standin = LoadLibraryA((bundle + "WebView2Loader.dll").c_str());
        if (!binary || !standin)
            return false;
        api = new StandinApi(standin);
        desc = reinterpret_cast<const LV2UI_Descriptor *(*)(uint32_t)>(
            reinterpret_cast<void *>(GetProcAddress(binary, "lv2ui_descriptor")))(0);
        const LV2_Feature parent_f{LV2_UI__parent, parent}, touch_f{LV2_UI__touch, &touch};
        const LV2_Feature *features[] = {&lv2.map_f, &lv2.log_f, &parent_f, &touch_f, nullptr};
        LV2UI_Widget widget = nullptr;
        auto write = [](LV2UI_Controller c, uint32_t port, uint32_t, uint32_t, const void *buffer) {
            float v;
            std::memcpy(&v, buffer, sizeof v);
            static_cast<Lv2Editor *>(c)->heard(value("s", port - 2, v));
        };
        ui = desc->instantiate(desc, ZFEN_LV2_URI, bundle.c_str(), write, this, &widget, features);
        return ui != nullptr;
    }
    void host_value(uint32_t index, float plain) override { desc->port_event(ui, index + 2, 4, 0, &plain); }
    void close() override
    {
        if (auto *u = std::exchange(ui, nullptr))
            desc->cleanup(u);
    }
    ~Lv2Editor() override
    {
        close();
        delete api;
        if (standin)
            FreeLibrary(standin);
        if (binary)
            FreeLibrary(binary);
    }
};

class EditStep : public testing::TestWithParam<const char *> {
protected:
    HWND parent = make_host_window(900, 700);
    std::unique_ptr<Editor> editor;

    void SetUp() override { open_editor(); }
    void TearDown() override
    {
        close_editor();
        DestroyWindow(parent);
    }
    void open_editor()
    {
        close_editor();
        if (std::strcmp(GetParam(), "vst3") == 0)
            editor = std::make_unique<Vst3Editor>();
        else
            editor = std::make_unique<Lv2Editor>();
        ASSERT_TRUE(editor->open(parent));
        ASSERT_TRUE(editor->api->ok);
    }
    void close_editor()
    {
        if (!editor)
            return;
        editor->close();
        EXPECT_TRUE(pump_until([&] { return editor->api->standin_live_objects() == 0; }));
        editor.reset();
    }
    void page(const char *message)
    {
        std::wstring text(message, message + std::strlen(message));
        page_posts_serving(*editor->api, text);
    }
};

} // namespace

TEST_P(EditStep, TheSamePageMessagesGiveTheSameHostCalls)
{
    struct Row {
        std::vector<const char *> messages;
        std::vector<std::string> heard;
    };
    const Row rows[] = {
        {{"b 0 40f33333", "s 0 41000000", "e 0 41000000"}, {"b0", "s0=8", "s0=8", "s0=8", "e0"}}, // 7.6, 8
        {{"s 1 7fc00000"}, {"s1=4"}},                                      // NaN: the value stays
        {{"b 2 41a00000", "e 2 c0000000"}, {"b2", "s2=15", "s2=0", "e2"}}, // 20, -2: clamped
        {{"s 2 7f800000", "s 1 ff800000"}, {"s2=15", "s1=0"}},             // infinities
        {{"s 4 3f800000", "b", "s 1"}, {}},                                // no parameter, malformed
        {{"c 0 10 10"}, {}},                                               // a menu: no edit
    };
    for (const Row &row : rows) {
        editor->host_value(1, 4.0f); // LFO Amount as the host has it
        editor->trace.clear();
        for (const char *m : row.messages)
            page(m);
        EXPECT_EQ(editor->trace, row.heard) << row.messages[0];
    }
}

TEST_P(EditStep, ClosingTheEditorFromInsideAHostCallEndsTheGesture)
{
    // Closed inside the first, second or last call of a gesture.
    for (size_t at = 1; at <= 3; ++at) {
        open_editor();
        size_t calls = 0;
        std::function<void()> count = [&] {
            if (++calls == at)
                editor->close();
            else
                editor->inside = count;
        };
        editor->inside = count;
        for (const char *m : {"b 0 41000000", "e 0 40e00000", "b 1 40000000", "e 1 40000000"})
            page(m);
        EXPECT_EQ(editor->trace.size(), at) << "the host heard nothing after it closed the editor";
        EXPECT_TRUE(pump_until([&] { return editor->api->standin_live_objects() == 0; })) << at;
    }
}

INSTANTIATE_TEST_SUITE_P(BothFormats, EditStep, testing::Values("vst3", "lv2"));
