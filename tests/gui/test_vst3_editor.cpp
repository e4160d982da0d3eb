// The VST3 editor as a host sees it under Wine: the module loaded from a test
// bundle that carries the stand-in WebView2 loader, a real parent window and
// an IPlugFrame, page edits reaching the component handler, host values
// reaching the page; and the real loader without a runtime, as a user without
// WebView2 meets it.
#include "core/parameters.h"
#include "gui_test_support.h"
#include "vst3_host/blob_reader.h"
#include "vst3_host/vst3_rig.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const ParamID kCutoff = k_params[PARAM_CUTOFF].vst3_id;
const ParamID kAmt = k_params[PARAM_LFO_AMT].vst3_id;
const ParamID kMod = k_params[PARAM_MOD_CUTOFF].vst3_id;

// An IPlugFrame that records resize requests and answers them as hosts do,
// with onSize.
struct Frame {
    IPlugFrame iface;
    std::vector<ViewRect> requests;
    bool refuse = false; // a host that keeps its window's size
    static Frame *of(IPlugFrame *f) { return reinterpret_cast<Frame *>(f); }
    Frame()
    {
        static const IPlugFrameVtbl vtbl = {
            [](IPlugFrame *, const char *, void **obj) -> tresult {
                *obj = nullptr;
                return kNoInterface;
            },
            [](IPlugFrame *) -> uint32_t { return 1; },
            [](IPlugFrame *) -> uint32_t { return 1; },
            [](IPlugFrame *self, IPlugView *view, ViewRect *r) -> tresult {
                of(self)->requests.push_back(*r);
                return of(self)->refuse ? kResultFalse : view->vtbl->onSize(view, r);
            },
        };
        iface.vtbl = &vtbl;
    }
};

class Vst3Editor : public testing::Test {
protected:
    Vst3Rig rig;
    HMODULE standin = nullptr;
    StandinApi *api = nullptr;
    HWND parent = nullptr;
    RecordingHandler handler;
    IEditController *ctrl = nullptr;

    void SetUp() override
    {
        ASSERT_TRUE(rig.load(ZFEN_VST3_TEST_BUNDLE)) << rig.error();
        standin =
            LoadLibraryA((host_path(ZFEN_VST3_TEST_BUNDLE) + "\\Contents\\x86_64-win\\WebView2Loader.dll").c_str());
        ASSERT_NE(standin, nullptr);
        api = new StandinApi(standin);
        ASSERT_TRUE(api->ok);
        api->standin_reset();
        parent = make_host_window(1700, 1300);
        ASSERT_NE(parent, nullptr);
        ctrl = rig.make_controller();
        ASSERT_NE(ctrl, nullptr);
        ASSERT_EQ(ctrl->vtbl->setComponentHandler(ctrl, handler.ptr()), kResultOk);
    }
    void TearDown() override
    {
        rig.release_all();
        if (api) {
            EXPECT_TRUE(browsers_gone(*api)) << "the editor gave back every reference";
            EXPECT_EQ(api->misuses(), std::vector<std::string>{});
            delete api;
        }
        if (parent)
            DestroyWindow(parent);
        if (standin)
            FreeLibrary(standin);
    }
    IPlugView *view() { return ctrl->vtbl->createView(ctrl, "editor"); }
    // The editor's window among the host window's children (its class name
    // starts with "c"; the relay window's with "d").
    static HWND editor_window(HWND host)
    {
        HWND found = nullptr;
        EnumChildWindows(
            host,
            [](HWND w, LPARAM out) -> BOOL {
                char name[8] = {};
                GetClassNameA(w, name, sizeof name);
                if (name[0] == 'c') {
                    *reinterpret_cast<HWND *>(out) = w;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
        return found;
    }
    // Windows directly inside the host's window (the browser's own sit inside the editor's).
    static int child_count(HWND host)
    {
        struct Count {
            HWND host;
            int n;
        } c{host, 0};
        EnumChildWindows(
            host,
            [](HWND w, LPARAM p) -> BOOL {
                auto *count = reinterpret_cast<Count *>(p);
                count->n += GetAncestor(w, GA_PARENT) == count->host;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&c));
        return c.n;
    }
    std::vector<std::wstring> posted_since(size_t from)
    {
        const std::vector<std::wstring> all = api->posted();
        return from < all.size() ? std::vector<std::wstring>(all.begin() + static_cast<long>(from), all.end())
                                 : std::vector<std::wstring>{};
    }
    HRESULT page_posts(const std::wstring &text) { return page_posts_serving(*api, text); }
};

} // namespace

TEST_F(Vst3Editor, OpensWithTheControllersValuesAndReportsEditsToTheHost)
{
    IPlugView *v = view();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(ctrl->vtbl->createView(ctrl, "Editor"), nullptr);
    EXPECT_EQ(v->vtbl->isPlatformTypeSupported(v, "HWND"), kResultTrue);
    EXPECT_EQ(v->vtbl->isPlatformTypeSupported(v, "X11EmbedWindowID"), kResultFalse);
    EXPECT_EQ(v->vtbl->attached(v, parent, "NSView"), kInvalidArgument);
    ViewRect r{};
    ASSERT_EQ(v->vtbl->getSize(v, &r), kResultOk);
    EXPECT_EQ(r.right, 800);
    EXPECT_EQ(r.bottom, 600);

    ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk);
    EXPECT_EQ(v->vtbl->attached(v, parent, "HWND"), kInvalidArgument); // once only
    EXPECT_EQ(api->posted(), (std::vector<std::wstring>{value_message(0, 15.0f), value_message(1, 0.0f),
                                                        value_message(2, 7.0f), value_message(3, 248.0f)}));
    // A page that asks gets the same.
    ASSERT_EQ(page_posts(L"g"), S_OK);
    EXPECT_EQ(api->posted().size(), 8u);

    // A drag on Cutoff: 7.6 is stored as 8, the host hears 8/15.
    ASSERT_EQ(page_posts(edit_message('b', 0, 7.6f)), S_OK);
    ASSERT_EQ(page_posts(edit_message('s', 0, 9.0f)), S_OK);
    ASSERT_EQ(page_posts(edit_message('e', 0, 9.0f)), S_OK);
    ASSERT_EQ(handler.calls.size(), 5u);
    EXPECT_EQ(handler.calls[0].kind, 'b');
    EXPECT_EQ(handler.calls[1].kind, 'p');
    EXPECT_DOUBLE_EQ(handler.calls[1].value, 8.0 / 15.0);
    EXPECT_EQ(handler.calls[2].kind, 'p');
    EXPECT_DOUBLE_EQ(handler.calls[2].value, 9.0 / 15.0);
    EXPECT_EQ(handler.calls[3].kind, 'p');
    EXPECT_DOUBLE_EQ(handler.calls[3].value, 9.0 / 15.0);
    EXPECT_EQ(handler.calls[4].kind, 'e');
    for (const EditCall &c : handler.calls)
        EXPECT_EQ(c.id, kCutoff);
    EXPECT_DOUBLE_EQ(ctrl->vtbl->getParamNormalized(ctrl, kCutoff), 9.0 / 15.0);
    EXPECT_EQ(api->posted().size(), 8u); // the page is not sent its own edit back
    v->vtbl->release(v);
}

TEST_F(Vst3Editor, HostValuesStatesAndTheModulatedCutoffReachThePage)
{
    IPlugView *v = view();
    ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk);
    const size_t opened = api->posted().size();
    ASSERT_EQ(ctrl->vtbl->setParamNormalized(ctrl, kAmt, 1.0), kResultOk); // automation
    ASSERT_EQ(ctrl->vtbl->setParamNormalized(ctrl, kMod, 0.5), kResultOk); // 127.5 is stored as 128
    EXPECT_EQ(posted_since(opened), (std::vector<std::wstring>{value_message(1, 15.0f), value_message(3, 128.0f)}));

    MemoryStream state(blob_make(48000.0f, 3.0f, 9.0f, 12.0f));
    ASSERT_EQ(ctrl->vtbl->setComponentState(ctrl, state.ptr()), kResultOk);
    EXPECT_EQ(posted_since(opened + 2),
              (std::vector<std::wstring>{value_message(0, 3.0f), value_message(1, 9.0f), value_message(2, 12.0f)}));
    MemoryStream refused(blob_with_foreign_id(blob_make(48000.0f, 1.0f, 1.0f, 1.0f)));
    EXPECT_EQ(ctrl->vtbl->setComponentState(ctrl, refused.ptr()), kResultFalse);
    EXPECT_EQ(api->posted().size(), opened + 5); // a refused state shows nothing

    // The processor's Modulated Cutoff output, passed on by the host as hosts do.
    IComponent *proc = rig.make_processor();
    ASSERT_NE(proc, nullptr);
    rig.activate(48000.0);
    HostChanges in;
    in.add(kAmt, {{0, 1.0}});
    std::vector<double> points;
    for (int block = 0; block < 20 && points.size() < 3; ++block) {
        MonoBlock b(480);
        HostChanges out;
        ASSERT_EQ(vst3_run(proc, b, block == 0 ? &in : nullptr, &out), kResultOk);
        if (const HostQueue *q = out.find(kMod))
            for (const auto &p : q->points) {
                points.push_back(p.second);
                ctrl->vtbl->setParamNormalized(ctrl, kMod, p.second);
            }
    }
    ASSERT_GE(points.size(), 3u);
    const std::wstring last = api->posted().back();
    EXPECT_EQ(last, value_message(3, static_cast<float>(std::lround(points.back() * 255.0))));
    v->vtbl->release(v);
}

TEST_F(Vst3Editor, RemovedReattachedReleasedAndTwoAtOnce)
{
    IPlugView *v = view();
    ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk);
    HWND first = editor_window(parent);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(v->vtbl->removed(v), kResultOk);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(v->vtbl->onSize(v, nullptr), kResultFalse);
    ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk); // a fresh editor
    EXPECT_TRUE(IsWindow(editor_window(parent)));

    IPlugView *w = view();
    ASSERT_EQ(w->vtbl->attached(w, parent, "HWND"), kResultOk);
    size_t before = api->posted().size();
    ctrl->vtbl->setParamNormalized(ctrl, kCutoff, 0.0);
    EXPECT_EQ(posted_since(before), (std::vector<std::wstring>{value_message(0, 0.0f), value_message(0, 0.0f)}));

    // Releasing an attached view closes its editor; the other goes on.
    EXPECT_EQ(v->vtbl->release(v), 0u);
    before = api->posted().size();
    ctrl->vtbl->setParamNormalized(ctrl, kCutoff, 1.0);
    EXPECT_EQ(posted_since(before), (std::vector<std::wstring>{value_message(0, 15.0f)}));
    IPlugView *third = view(); // takes the freed slot
    ASSERT_NE(third, nullptr);
    third->vtbl->release(third);
    w->vtbl->release(w);
}

TEST_F(Vst3Editor, SizesFollowTheHostAndItsContentScale)
{
    IPlugView *v = view();
    Frame frame;
    ASSERT_EQ(v->vtbl->setFrame(v, &frame.iface), kResultOk);
    void *obj = nullptr;
    ASSERT_EQ(v->vtbl->queryInterface(v, vst3_uid_ptr(IID_IPlugViewContentScaleSupport), &obj), kResultOk);
    auto *scale = static_cast<IPlugViewContentScaleSupport *>(obj);
    EXPECT_EQ(scale->vtbl->setContentScaleFactor(scale, 1.5f), kResultTrue);
    EXPECT_EQ(scale->vtbl->setContentScaleFactor(scale, 0.0f), kResultFalse);
    EXPECT_EQ(scale->vtbl->setContentScaleFactor(scale, std::nanf("")), kResultFalse);
    ViewRect r{};
    ASSERT_EQ(v->vtbl->getSize(v, &r), kResultOk);
    EXPECT_EQ(r.right, 1200);
    EXPECT_EQ(r.bottom, 900);
    ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk);
    ASSERT_EQ(v->vtbl->getSize(v, &r), kResultOk);
    EXPECT_EQ(r.right, 1200);
    EXPECT_EQ(r.bottom, 900);

    // A move to another monitor: the view asks the frame, the host answers
    // with onSize. (Sizes stay within Xvfb's 1280 x 1024 screen.)
    EXPECT_EQ(scale->vtbl->setContentScaleFactor(scale, 1.25f), kResultTrue);
    ASSERT_EQ(frame.requests.size(), 1u);
    EXPECT_EQ(frame.requests[0].right, 1000);
    EXPECT_EQ(frame.requests[0].bottom, 750);
    ASSERT_EQ(v->vtbl->getSize(v, &r), kResultOk);
    EXPECT_EQ(r.right, 1000);
    EXPECT_EQ(r.bottom, 750);
    RECT bounds;
    ASSERT_TRUE(api->standin_controller_bounds(&bounds));
    EXPECT_EQ(bounds.right - bounds.left, 1000);
    EXPECT_EQ(bounds.bottom - bounds.top, 750);
    EXPECT_EQ(scale->vtbl->setContentScaleFactor(scale, 1.25f), kResultTrue); // the same: no request
    EXPECT_EQ(frame.requests.size(), 1u);

    // The host resizes on its own.
    ViewRect host_size{0, 0, 900, 640};
    EXPECT_EQ(v->vtbl->onSize(v, &host_size), kResultOk);
    ASSERT_EQ(v->vtbl->getSize(v, &r), kResultOk);
    EXPECT_EQ(r.right, 900);
    EXPECT_EQ(r.bottom, 640);
    EXPECT_EQ(v->vtbl->canResize(v), kResultTrue);
    scale->vtbl->release(scale);
    v->vtbl->removed(v);
    v->vtbl->release(v);
}

// A host that asks for the size first (800 x 600) and learns the display's
// scale before, while or after it attaches the view: the editor asks for its
// scaled size once it has a frame, and reports the size it really has.
TEST_F(Vst3Editor, AScaleSetAroundAttachedReachesTheHost)
{
    enum When { BEFORE, WITHOUT_FRAME, AFTER };
    struct Row {
        When when;
        bool refuse;
        int32_t width, height; // what getSize reports at the end
    };
    RECT inside;
    GetClientRect(parent, &inside);
    const Row rows[] = {{BEFORE, false, 1200, 900},
                        {WITHOUT_FRAME, false, 1200, 900},
                        {AFTER, false, 1200, 900},
                        {BEFORE, true, inside.right, inside.bottom}}; // the editor fits the host's window
    for (const Row &row : rows) {
        IPlugView *v = view();
        Frame frame;
        frame.refuse = row.refuse;
        void *obj = nullptr;
        ASSERT_EQ(v->vtbl->queryInterface(v, vst3_uid_ptr(IID_IPlugViewContentScaleSupport), &obj), kResultOk);
        auto *scale = static_cast<IPlugViewContentScaleSupport *>(obj);
        ViewRect r{};
        ASSERT_EQ(v->vtbl->getSize(v, &r), kResultOk);
        if (row.when != WITHOUT_FRAME)
            v->vtbl->setFrame(v, &frame.iface);
        if (row.when != AFTER)
            scale->vtbl->setContentScaleFactor(scale, 1.5f);
        ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk);
        if (row.when == AFTER)
            scale->vtbl->setContentScaleFactor(scale, 1.5f);
        if (row.when == WITHOUT_FRAME) {
            EXPECT_TRUE(frame.requests.empty());
            v->vtbl->setFrame(v, &frame.iface);
        }
        ASSERT_EQ(frame.requests.size(), 1u) << row.when;
        EXPECT_EQ(frame.requests[0].right, 1200);
        EXPECT_EQ(frame.requests[0].bottom, 900);
        ASSERT_EQ(v->vtbl->getSize(v, &r), kResultOk);
        EXPECT_EQ(r.right, row.width) << row.when;
        EXPECT_EQ(r.bottom, row.height) << row.when;
        scale->vtbl->release(scale);
        v->vtbl->removed(v);
        v->vtbl->release(v);
    }
}

// A right-click on the page asks the host for the parameter's menu, at the
// point in the view's pixels; a host without menus hears nothing.
TEST_F(Vst3Editor, TheHostsParameterMenuOpensWhereThePageAsks)
{
    IPlugView *v = view();
    void *obj = nullptr;
    ASSERT_EQ(v->vtbl->queryInterface(v, vst3_uid_ptr(IID_IPlugViewContentScaleSupport), &obj), kResultOk);
    auto *scale = static_cast<IPlugViewContentScaleSupport *>(obj);
    scale->vtbl->setContentScaleFactor(scale, 1.5f);
    ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk);
    ASSERT_EQ(page_posts(L"c 1 40 20"), S_OK); // no menus offered
    handler.offers_menu = true;
    ASSERT_EQ(page_posts(L"c 1 40 20"), S_OK);
    ASSERT_EQ(page_posts(L"c 9 40 20"), S_OK); // no such parameter
    EXPECT_EQ(handler.menu_calls, (std::vector<std::string>{"menu view " + std::to_string(kAmt), "popup 96 48"}));
    EXPECT_TRUE(handler.calls.empty());
    scale->vtbl->release(scale);
    v->vtbl->removed(v);
    v->vtbl->release(v);
}

TEST_F(Vst3Editor, TwoHundredOpenCloseCyclesLeaveNothingBehind)
{
    IPlugView *v = view();
    ASSERT_EQ(child_count(parent), 0);
    int cycles = 0;
    for (; cycles < 200; ++cycles) {
        ASSERT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultOk) << cycles;
        ASSERT_EQ(child_count(parent), 1) << cycles; // the editor
        ASSERT_EQ(v->vtbl->removed(v), kResultOk);
        ASSERT_EQ(child_count(parent), 0) << cycles;
    }
    EXPECT_EQ(cycles, 200);
    EXPECT_TRUE(browsers_gone(*api, 20000));
    v->vtbl->release(v);
}

// Microsoft's loader with no WebView2 runtime installed (as under Wine): no
// editor, and nothing left behind.
TEST(Vst3EditorRealLoader, WithoutTheRuntimeThereIsNoEditor)
{
    Vst3Rig rig;
    ASSERT_TRUE(rig.load(ZFEN_VST3_BUNDLE)) << rig.error();
    IEditController *ctrl = rig.make_controller();
    ASSERT_NE(ctrl, nullptr);
    HWND parent = make_host_window(900, 700, false);
    ASSERT_NE(parent, nullptr);
    IPlugView *v = ctrl->vtbl->createView(ctrl, "editor");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->vtbl->attached(v, parent, "HWND"), kResultFalse);
    int children = 0;
    EnumChildWindows(
        parent, [](HWND, LPARAM c) -> BOOL { return ++*reinterpret_cast<int *>(c), TRUE; },
        reinterpret_cast<LPARAM>(&children));
    EXPECT_EQ(children, 0);
    ViewRect r{};
    EXPECT_EQ(v->vtbl->getSize(v, &r), kResultOk);
    EXPECT_EQ(r.right, 800);
    EXPECT_EQ(v->vtbl->release(v), 0u);
    DestroyWindow(parent);
}
