// The module's parts driven from inside: the editor's edit callbacks, the
// views list, the folders computed at load time and the audio thread's
// hand-over, which need the objects themselves rather than the bundle.
#include "core/parameters.h"
#include "vst3/controller.h"
#include "vst3/editor_view.h"
#include "vst3/processor.h"
#include "vst3/vst3_module.h"
#include "vst3_host/blob_reader.h"
#include "vst3_host/host_objects.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr ParamID kCutoffId = k_params[PARAM_CUTOFF].vst3_id;
constexpr ParamID kModId = k_params[PARAM_MOD_CUTOFF].vst3_id;

// One page edit through the shared edit step, as the GUI host runs it.
void edit(EditorView *v, GuiEditStep step, uint32_t index, float value)
{
    const GuiEditTarget t = view_edit_target(v);
    const bool closed = false;
    gui_edit_step(&t, step, index, value, &closed);
}
void view_begin_edit(EditorView *v, uint32_t i, float x) { edit(v, GUI_EDIT_BEGIN, i, x); }
void view_perform_edit(EditorView *v, uint32_t i, float x) { edit(v, GUI_EDIT_PERFORM, i, x); }
void view_end_edit(EditorView *v, uint32_t i, float x) { edit(v, GUI_EDIT_END, i, x); }

struct ControllerFixture : testing::Test {
    IEditController *e = controller_create();
    Vst3Controller *c = controller_from_edit(e);
    RecordingHandler handler;
    HostApplication app;

    void SetUp() override
    {
        ASSERT_TRUE(e);
        ASSERT_EQ(e->vtbl->initialize(e, app.ptr()), kResultOk);
    }
    void TearDown() override
    {
        if (e)
            e->vtbl->release(e);
    }
    EditorView *new_view() { return reinterpret_cast<EditorView *>(e->vtbl->createView(e, "editor")); }
};

TEST_F(ControllerFixture, EditGestureReachesTheHost)
{
    e->vtbl->setComponentHandler(e, handler.ptr());
    EditorView *v = new_view();
    ASSERT_TRUE(v);
    view_begin_edit(v, 0, 3.0f);
    view_perform_edit(v, 0, 4.0f);
    view_end_edit(v, 0, 4.0f);
    ASSERT_EQ(handler.calls.size(), 5u);
    const char kinds[] = {'b', 'p', 'p', 'p', 'e'};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(handler.calls[i].kind, kinds[i]);
        EXPECT_EQ(handler.calls[i].id, kCutoffId);
    }
    EXPECT_DOUBLE_EQ(handler.calls[1].value, 0.2);
    EXPECT_DOUBLE_EQ(handler.calls[2].value, 4.0 / 15.0);
    EXPECT_DOUBLE_EQ(handler.calls[3].value, 4.0 / 15.0);
    EXPECT_EQ(c->values[0], 4.0);
    v->view.vtbl->release(&v->view);
}

TEST_F(ControllerFixture, EditsAreQuantisedAndBadOnesAreHarmless)
{
    e->vtbl->setComponentHandler(e, handler.ptr());
    EditorView *v = new_view();
    view_begin_edit(v, 0, 7.6f);
    ASSERT_EQ(handler.calls.size(), 2u);
    EXPECT_DOUBLE_EQ(handler.calls[1].value, 8.0 / 15.0);
    EXPECT_EQ(c->values[0], 8.0);
    handler.calls.clear();

    view_perform_edit(v, 0, NAN); // keeps the stored value
    ASSERT_EQ(handler.calls.size(), 1u);
    EXPECT_DOUBLE_EQ(handler.calls[0].value, 8.0 / 15.0);
    view_perform_edit(v, 1, 1e10f);
    EXPECT_EQ(c->values[1], 15.0);
    view_perform_edit(v, 2, -INFINITY);
    EXPECT_EQ(c->values[2], 0.0);
    view_end_edit(v, 3, 300.0f);
    EXPECT_EQ(c->values[3], 255.0);
    EXPECT_EQ(handler.calls.back().kind, 'e');
    EXPECT_EQ(handler.calls.back().id, kModId);
    size_t before = handler.calls.size();
    view_perform_edit(v, 4, 1.0f);
    view_perform_edit(v, 0xFFFFFFFFu, 1.0f);
    EXPECT_EQ(handler.calls.size(), before);

    // Without a handler the value is only stored.
    e->vtbl->setComponentHandler(e, nullptr);
    view_begin_edit(v, 0, 2.0f);
    EXPECT_EQ(c->values[0], 2.0);
    EXPECT_EQ(handler.calls.size(), before);
    v->view.vtbl->release(&v->view);
}

TEST_F(ControllerFixture, ViewSlotsAreReused)
{
    EditorView *a = new_view();
    EditorView *b = new_view();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(c->view_count, 2u);
    EXPECT_EQ(c->views[0], a);
    EXPECT_EQ(c->views[1], b);
    EXPECT_EQ(a->view.vtbl->release(&a->view), 0u);
    EXPECT_EQ(c->views[0], nullptr);
    EXPECT_EQ(c->view_count, 2u); // not compacted
    EditorView *third = new_view();
    EXPECT_EQ(c->views[0], third);
    EXPECT_EQ(c->view_count, 2u);
    EditorView *fourth = new_view();
    EXPECT_EQ(c->view_count, 3u);
    EXPECT_EQ(c->views[2], fourth);
    third->view.vtbl->release(&third->view);
    fourth->view.vtbl->release(&fourth->view);
    b->view.vtbl->release(&b->view);
    for (size_t i = 0; i < c->view_count; ++i)
        EXPECT_EQ(c->views[i], nullptr);
}

TEST_F(ControllerFixture, ViewOutlivingItsControllerIsDetached)
{
    EditorView *v = new_view();
    e->vtbl->setComponentHandler(e, handler.ptr());
    EXPECT_EQ(handler.refs, 2);
    e->vtbl->release(e);
    e = nullptr;
    EXPECT_EQ(v->controller, nullptr);
    EXPECT_EQ(handler.refs, 1);
    // A new controller may well sit where the old one was: the view's edits
    // reach neither (a dangling pointer is caught under ASan).
    IEditController *next = controller_create();
    ASSERT_EQ(next->vtbl->initialize(next, app.ptr()), kResultOk);
    RecordingHandler other;
    next->vtbl->setComponentHandler(next, other.ptr());
    view_begin_edit(v, 0, 3.0f);
    view_perform_edit(v, 1, 4.0f);
    view_end_edit(v, 3, 5.0f);
    EXPECT_TRUE(handler.calls.empty());
    EXPECT_TRUE(other.calls.empty());
    EXPECT_EQ(controller_from_edit(next)->values[0], k_params[PARAM_CUTOFF].def);
    EXPECT_EQ(controller_from_edit(next)->values[1], k_params[PARAM_LFO_AMT].def);
    EXPECT_EQ(v->view.vtbl->release(&v->view), 0u);
    EXPECT_EQ(next->vtbl->release(next), 0u);
    EXPECT_EQ(other.refs, 1);
}

// ---- folders -----------------------------------------------------------------------------------

struct FakePath {
    std::string path;
    int calls = 0;
};

uint32_t fake_query(void *ctx, char *buf, uint32_t cap)
{
    // GetModuleFileNameA: a cut path fills the buffer and reports its size.
    FakePath *f = static_cast<FakePath *>(ctx);
    ++f->calls;
    size_t n = f->path.size();
    if (n >= cap) {
        std::memcpy(buf, f->path.data(), cap - 1);
        buf[cap - 1] = 0;
        return cap;
    }
    std::memcpy(buf, f->path.c_str(), n + 1);
    return static_cast<uint32_t>(n);
}

uint32_t failing_query(void *, char *, uint32_t) { return 0; }

TEST(Vst3Folders, LongPathsAreFoundByDoubling)
{
    FakePath f;
    f.path = "C:\\" + std::string(600, 'p') + "\\vornic-zfen.vst3\\Contents\\x86_64-win\\vornic-zfen.vst3";
    char *p = module_query_path(fake_query, &f);
    ASSERT_TRUE(p);
    EXPECT_EQ(std::string(p), f.path);
    EXPECT_EQ(f.calls, 3); // 260, 520, 1040
    std::free(p);

    FakePath exact;
    exact.path = std::string(260, 'x'); // exactly fills the first buffer
    p = module_query_path(fake_query, &exact);
    ASSERT_TRUE(p);
    EXPECT_EQ(std::string(p), exact.path);
    EXPECT_EQ(exact.calls, 2);
    std::free(p);
    EXPECT_EQ(module_query_path(failing_query, nullptr), nullptr);
}

TEST(Vst3Folders, ModuleAndResourcesFolders)
{
    char *mod = nullptr, *res = nullptr;
    ASSERT_TRUE(module_split_folders("C:\\VST3\\z.vst3\\Contents\\x86_64-win\\z.vst3", '\\', &mod, &res));
    EXPECT_STREQ(mod, "C:\\VST3\\z.vst3\\Contents\\x86_64-win");
    EXPECT_STREQ(res, "C:\\VST3\\z.vst3\\Contents\\Resources");
    std::free(mod);
    std::free(res);
    ASSERT_TRUE(module_split_folders("/usr/lib/vst3/z.vst3/Contents/x86_64-linux/z.so", '/', &mod, &res));
    EXPECT_STREQ(mod, "/usr/lib/vst3/z.vst3/Contents/x86_64-linux");
    EXPECT_STREQ(res, "/usr/lib/vst3/z.vst3/Contents/Resources");
    std::free(mod);
    std::free(res);
    ASSERT_TRUE(module_split_folders("C:\\z.dll", '\\', &mod, &res));
    EXPECT_STREQ(mod, "C:");
    EXPECT_STREQ(res, "C:\\Resources");
    std::free(mod);
    std::free(res);
    mod = res = nullptr;
    EXPECT_FALSE(module_split_folders("z.dll", '\\', &mod, &res));
    EXPECT_EQ(mod, nullptr);
    EXPECT_FALSE(module_split_folders(nullptr, '/', &mod, &res));
}

TEST(Vst3Folders, LoadCountPairsAttachAndDetach)
{
    ASSERT_EQ(module_load_count(), 0); // this program never loads the module
#if defined(_WIN32)
    const char *path = "C:\\b\\z.vst3\\Contents\\x86_64-win\\z.vst3";
#else
    const char *path = "/b/z.vst3/Contents/x86_64-linux/z.so";
#endif
    EXPECT_FALSE(module_attach("no-separator"));
    EXPECT_EQ(module_load_count(), 0);
    EXPECT_EQ(module_folder(), nullptr);
    ASSERT_TRUE(module_attach(path));
    ASSERT_TRUE(module_attach(nullptr));
    EXPECT_EQ(module_load_count(), 2);
    const char *kept = module_folder();
    module_detach();
    EXPECT_EQ(module_folder(), kept);
#if defined(_WIN32)
    EXPECT_STREQ(module_resources_folder(), "C:\\b\\z.vst3\\Contents\\Resources");
#else
    EXPECT_STREQ(module_resources_folder(), "/b/z.vst3/Contents/Resources");
#endif
    module_detach();
    EXPECT_EQ(module_load_count(), 0);
    EXPECT_EQ(module_folder(), nullptr);
    EXPECT_EQ(module_resources_folder(), nullptr);
    module_detach(); // unmatched: nothing happens
    EXPECT_EQ(module_load_count(), 0);
}

// ---- the audio thread never waits ------------------------------------------------------------------

struct ProcessorFixture : testing::Test {
    IComponent *comp = processor_create();
    Vst3Processor *p = processor_from_component(comp);
    IAudioProcessor *audio = &p->audio;
    HostApplication app;

    void SetUp() override
    {
        ASSERT_EQ(comp->vtbl->initialize(comp, app.ptr()), kResultOk);
        comp->vtbl->activateBus(comp, kAudio, kInput, 0, 1);
        comp->vtbl->activateBus(comp, kAudio, kOutput, 0, 1);
        ProcessSetup setup{kRealtime, kSample32, 512, 48000.0};
        audio->vtbl->setupProcessing(audio, &setup);
        comp->vtbl->setActive(comp, 1);
    }
    void TearDown() override { comp->vtbl->release(comp); }

    // Runs one block on another thread; false if it did not finish in time.
    bool block_finishes(HostChanges *in)
    {
        std::atomic<bool> done{false};
        std::thread t([&] {
            MonoBlock b(64, 0.2f);
            b.data.inputParameterChanges = in ? in->ptr() : nullptr;
            audio->vtbl->process(audio, &b.data);
            done = true;
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        bool finished = done;
        if (!finished)
            param_sync_unlock(&p->inst.sync); // let it end before failing
        t.join();
        return finished;
    }
    float engine_value(uint32_t i) { return engine_get_param(&p->inst.engine, i); }
};

TEST_F(ProcessorFixture, HostChangesWaitForTheNextFreeBlock)
{
    param_sync_lock(&p->inst.sync); // a save in progress
    HostChanges in;
    in.add(kCutoffId, {{0, 5.0 / 15.0}});
    ASSERT_TRUE(block_finishes(&in));
    EXPECT_EQ(engine_value(0), param_default(PARAM_CUTOFF)); // not handed over under a busy lock
    param_sync_unlock(&p->inst.sync);
    ASSERT_TRUE(block_finishes(nullptr));
    EXPECT_EQ(engine_value(0), 5.0f); // nor lost
}

TEST_F(ProcessorFixture, RestoreWinsOverAChangeMadeWhileItHeldTheLock)
{
    const state_sink sink = instance_restore_sink(&p->inst);
    sink.begin(sink.context);
    sink.set(sink.context, 0, 2.0f);
    sink.set(sink.context, 1, 6.0f);
    sink.set(sink.context, 2, 9.0f);
    HostChanges in;
    in.add(kCutoffId, {{0, 11.0 / 15.0}});
    ASSERT_TRUE(block_finishes(&in));
    EXPECT_EQ(engine_value(0), param_default(PARAM_CUTOFF));
    sink.end(sink.context);
    ASSERT_TRUE(block_finishes(nullptr));
    EXPECT_EQ(engine_value(0), 2.0f);
    EXPECT_EQ(engine_value(1), 6.0f);
    EXPECT_EQ(engine_value(2), 9.0f);
    // A change after the restore goes through as usual.
    ASSERT_TRUE(block_finishes(&in));
    EXPECT_EQ(engine_value(0), 11.0f);
}

// Hosts that activate without a usable rate still get finite audio; the
// state keeps the rate the host gave.
TEST_F(ProcessorFixture, ActivationWithoutAUsableRate)
{
    for (double rate : {0.0, -44100.0, std::nan(""), 1e300}) {
        comp->vtbl->setActive(comp, 0);
        ProcessSetup setup{kRealtime, kSample32, 512, rate};
        audio->vtbl->setupProcessing(audio, &setup);
        comp->vtbl->setActive(comp, 1);
        EXPECT_GE(p->inst.engine.tick_period, 1u);
        MonoBlock b(256, 0.5f);
        EXPECT_EQ(audio->vtbl->process(audio, &b.data), kResultOk);
        EXPECT_TRUE(std::all_of(b.out.begin(), b.out.end(), [](float v) { return std::isfinite(v); })) << rate;
    }
    EXPECT_TRUE(std::isinf(p->inst.sample_rate));
}

} // namespace
