// The controller as a host sees it, loaded from the bundle: parameters and
// their texts, the component state, the component handler and the editor
// view.
#include "vst3_host/vst3_host_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace {

// ---- controller --------------------------------------------------------------------------------------------

TEST_F(Vst3Host, ControllerDescribesFourParameters)
{
    IEditController *e = new_controller();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->vtbl->getParameterCount(e), 4);
    struct Row {
        ParamID id;
        const char *title, *short_title;
        int32_t steps;
        double def;
        int32_t flags;
    } rows[4] = {{kCutoffId, "Cutoff", "Cutoff", 15, 1.0, kCanAutomate},
                 {kLfoAmtId, "LFO Amount", "LFO Amt", 15, 0.0, kCanAutomate},
                 {kLfoSpeedId, "LFO Speed", "LFO Speed", 15, 7.0 / 15.0, kCanAutomate},
                 {kModId, "Modulated Cutoff", "Mod Cutoff", 255, 248.0 / 255.0, kIsReadOnly}};
    for (int32_t i = 0; i < 4; ++i) {
        ParameterInfo pi;
        std::memset(&pi, 0x33, sizeof pi);
        ASSERT_EQ(e->vtbl->getParameterInfo(e, i, &pi), kResultOk);
        EXPECT_EQ(pi.id, rows[i].id);
        EXPECT_EQ(narrow(pi.title), rows[i].title);
        EXPECT_EQ(narrow(pi.shortTitle), rows[i].short_title);
        EXPECT_EQ(pi.units[0], 0);
        EXPECT_EQ(pi.stepCount, rows[i].steps);
        EXPECT_DOUBLE_EQ(pi.defaultNormalizedValue, rows[i].def);
        EXPECT_EQ(pi.unitId, 0);
        EXPECT_EQ(pi.flags, rows[i].flags);
        EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, rows[i].id), rows[i].def);
    }
    for (int32_t bad : {4, -1}) {
        ParameterInfo pi;
        std::memset(&pi, 0x44, sizeof pi);
        EXPECT_EQ(e->vtbl->getParameterInfo(e, bad, &pi), kResultFalse);
        EXPECT_EQ(pi.id, 0x44444444u);
    }
}

TEST_F(Vst3Host, ControllerTexts)
{
    IEditController *e = new_controller();
    auto text = [&](ParamID id, double v) {
        char16_t buf[128];
        std::fill(std::begin(buf), std::end(buf), u'#');
        EXPECT_EQ(e->vtbl->getParamStringByValue(e, id, v, buf), kResultOk);
        return narrow(buf);
    };
    EXPECT_EQ(text(kCutoffId, 0.5), "7.50");
    EXPECT_EQ(text(kCutoffId, 0.3 / 15.0), "0.29");
    EXPECT_EQ(text(kLfoSpeedId, 7.0 / 15.0), "7.00");
    EXPECT_EQ(text(kModId, 248.0 / 255.0), "248.00");
    EXPECT_EQ(text(kModId, 1.0), "255.00");
    char16_t buf[128];
    EXPECT_EQ(e->vtbl->getParamStringByValue(e, 42u, 0.5, buf), kResultFalse);

    // Plain values near the double's limit and beyond: an answer, ended inside the host's 128 units.
    auto far_text = [&](ParamID id, double v) {
        std::fill(std::begin(buf), std::end(buf), u'#');
        EXPECT_EQ(e->vtbl->getParamStringByValue(e, id, v, buf), kResultOk) << v;
        EXPECT_NE(std::find(std::begin(buf), std::end(buf), u'\0'), std::end(buf)) << v;
        buf[127] = 0;
        return narrow(buf);
    };
    EXPECT_EQ(far_text(kCutoffId, 1.1e307).substr(0, 2), "16"); // 1.65e308
    EXPECT_EQ(far_text(kModId, 4e305).substr(0, 2), "10");      // 1.02e308
    far_text(kModId, INFINITY);
    EXPECT_EQ(far_text(kModId, -INFINITY).substr(0, 1), "-");
    far_text(kModId, std::nan(""));

    auto value = [&](ParamID id, const char *s) {
        std::u16string t = u16(s);
        double v = -99.0;
        EXPECT_EQ(e->vtbl->getParamValueByString(e, id, t.data(), &v), kResultOk);
        return v;
    };
    EXPECT_DOUBLE_EQ(value(kCutoffId, "7.9"), 7.0 / 15.0);
    EXPECT_DOUBLE_EQ(value(kCutoffId, "20"), 20.0 / 15.0);
    EXPECT_DOUBLE_EQ(value(kCutoffId, "-3"), -0.2);
    EXPECT_DOUBLE_EQ(value(kModId, "51"), 0.2);
    EXPECT_DOUBLE_EQ(value(kLfoAmtId, "abc"), 0.0);
    std::u16string t = u16("3");
    double v = 0;
    EXPECT_EQ(e->vtbl->getParamValueByString(e, 42u, t.data(), &v), kResultFalse);

    EXPECT_DOUBLE_EQ(e->vtbl->normalizedParamToPlain(e, kModId, 0.5), 127.5);
    EXPECT_DOUBLE_EQ(e->vtbl->plainParamToNormalized(e, kCutoffId, 3.0), 0.2);
    EXPECT_DOUBLE_EQ(e->vtbl->normalizedParamToPlain(e, 42u, 0.25), 0.25);
}

TEST_F(Vst3Host, SetParamNormalizedStoresQuantisedValues)
{
    IEditController *e = new_controller();
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kCutoffId, 0.5), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 8.0 / 15.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kModId, 1.0), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kModId), 1.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kLfoAmtId, 7.0), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoAmtId), 1.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kLfoSpeedId, -INFINITY), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoSpeedId), 0.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kCutoffId, std::nan("")), kInvalidArgument);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 8.0 / 15.0);
    EXPECT_EQ(e->vtbl->setParamNormalized(e, 42u, 0.5), kResultFalse);
    EXPECT_EQ(e->vtbl->getParamNormalized(e, 42u), 0.0);
    EXPECT_EQ(e->vtbl->setState(e, nullptr), kNotImplemented);
    EXPECT_EQ(e->vtbl->getState(e, nullptr), kNotImplemented);

    void *mm = nullptr;
    ASSERT_EQ(e->vtbl->queryInterface(e, vst3_uid_ptr(IID_IMidiMapping), &mm), kResultOk);
    auto *midi = static_cast<IMidiMapping *>(mm);
    for (int16_t cc = 0; cc < 130; ++cc) {
        ParamID id = 77;
        EXPECT_EQ(midi->vtbl->getMidiControllerAssignment(midi, 0, 0, cc, &id), kInvalidArgument);
        EXPECT_EQ(id, 77u);
    }
    midi->vtbl->release(midi);
}

TEST_F(Vst3Host, ComponentStateReachesTheController)
{
    IComponent *c = new_processor();
    IEditController *e = new_controller();
    activate(c, 48000.0);
    HostChanges in;
    in.add(kCutoffId, {{0, 4.0 / 15.0}});
    in.add(kLfoSpeedId, {{0, 1.0}});
    MonoBlock b(32);
    ASSERT_EQ(run(c, b, &in), kResultOk);
    MemoryStream s(save(c));
    ASSERT_EQ(e->vtbl->setComponentState(e, s.ptr()), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 4.0 / 15.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoAmtId), 0.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoSpeedId), 1.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kModId), 248.0 / 255.0);

    MemoryStream twenty(blob_make(0.0f, 20.0f, 1e10f, std::nanf("")));
    EXPECT_EQ(e->vtbl->setComponentState(e, twenty.ptr()), kResultFalse); // NaN is refused whole
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 4.0 / 15.0);
    MemoryStream big(blob_make(0.0f, 20.0f, 1e10f, -2.0f));
    EXPECT_EQ(e->vtbl->setComponentState(e, big.ptr()), kResultOk);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 1.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoAmtId), 1.0);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kLfoSpeedId), 0.0);
    MemoryStream foreign(blob_with_foreign_id(save(c)));
    EXPECT_EQ(e->vtbl->setComponentState(e, foreign.ptr()), kResultFalse);
    EXPECT_DOUBLE_EQ(e->vtbl->getParamNormalized(e, kCutoffId), 1.0);
    EXPECT_EQ(e->vtbl->setComponentState(e, nullptr), kResultFalse);
}

TEST_F(Vst3Host, ComponentHandlerReferences)
{
    IEditController *e = new_controller();
    RecordingHandler h1, h2;
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h1.ptr()), kResultOk);
    EXPECT_EQ(h1.refs, 2);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h1.ptr()), kResultOk);
    EXPECT_EQ(h1.refs, 2);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h2.ptr()), kResultOk);
    EXPECT_EQ(h1.refs, 1);
    EXPECT_EQ(h2.refs, 2);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, nullptr), kResultOk);
    EXPECT_EQ(h2.refs, 1);
    EXPECT_EQ(e->vtbl->setComponentHandler(e, h2.ptr()), kResultOk);
    // Host-side changes are never echoed back as edits.
    EXPECT_EQ(e->vtbl->setParamNormalized(e, kCutoffId, 0.2), kResultOk);
    EXPECT_TRUE(h2.calls.empty());
    // The last release gives the handler back.
    take(e);
    EXPECT_EQ(e->vtbl->release(e), 0u);
    EXPECT_EQ(h2.refs, 1);
}

TEST_F(Vst3Host, EditorViewBeforeItsGui)
{
    IEditController *e = new_controller();
    EXPECT_EQ(e->vtbl->createView(e, "Editor"), nullptr);
    EXPECT_EQ(e->vtbl->createView(e, "editor2"), nullptr);
    EXPECT_EQ(e->vtbl->createView(e, nullptr), nullptr);
    IPlugView *v1 = e->vtbl->createView(e, "editor");
    IPlugView *v2 = e->vtbl->createView(e, "editor");
    ASSERT_TRUE(v1 && v2);
    EXPECT_NE(v1, v2);
#if defined(_WIN32)
    const char *ours = "HWND", *other = "X11EmbedWindowID";
#else
    const char *ours = "X11EmbedWindowID", *other = "HWND";
#endif
    EXPECT_EQ(v1->vtbl->isPlatformTypeSupported(v1, ours), kResultTrue);
    EXPECT_EQ(v1->vtbl->isPlatformTypeSupported(v1, other), kResultFalse);
    EXPECT_EQ(v1->vtbl->isPlatformTypeSupported(v1, nullptr), kResultFalse);
    int parent = 0;
    EXPECT_EQ(v1->vtbl->attached(v1, &parent, other), kInvalidArgument);
    // No editor here: no WebView2 loader beside a test program, no run loop without a frame.
    EXPECT_EQ(v1->vtbl->attached(v1, &parent, ours), kResultFalse);
    EXPECT_EQ(v1->vtbl->removed(v1), kResultOk);
    ViewRect r{1, 2, 3, 4};
    EXPECT_EQ(v1->vtbl->getSize(v1, &r), kResultOk);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.right, 800);
    EXPECT_EQ(r.bottom, 600);
    EXPECT_EQ(v1->vtbl->getSize(v1, nullptr), kInvalidArgument);
    EXPECT_EQ(v1->vtbl->onSize(v1, &r), kResultFalse);
    EXPECT_EQ(v1->vtbl->canResize(v1), kResultTrue);
    ViewRect odd{5, 6, 333, 222};
    EXPECT_EQ(v1->vtbl->checkSizeConstraint(v1, &odd), kResultTrue);
    EXPECT_EQ(odd.right, 333);
    EXPECT_EQ(odd.bottom, 222);
    EXPECT_EQ(v1->vtbl->setFrame(v1, nullptr), kResultOk);
    EXPECT_EQ(v1->vtbl->onWheel(v1, 1.0f), kResultFalse);
    EXPECT_EQ(v1->vtbl->onKeyDown(v1, u'a', 0, 0), kResultFalse);
    EXPECT_EQ(v1->vtbl->onFocus(v1, 1), kResultFalse);
    void *obj = nullptr;
    ASSERT_EQ(v1->vtbl->queryInterface(v1, vst3_uid_ptr(IID_IPlugView), &obj), kResultOk);
    EXPECT_EQ(obj, v1);
    EXPECT_EQ(v1->vtbl->release(v1), 1u);
    EXPECT_EQ(v1->vtbl->queryInterface(v1, vst3_uid_ptr(IID_IPlugFrame), &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(v1->vtbl->release(v1), 0u);

    // The controller goes first; the host still holds a view, takes another
    // reference to it and gives both back. The last release leaves its
    // controller's list, which must not be the freed one (caught under ASan).
    take(e);
    EXPECT_EQ(e->vtbl->release(e), 0u);
    ASSERT_EQ(v2->vtbl->queryInterface(v2, vst3_uid_ptr(IID_FUnknown), &obj), kResultOk);
    EXPECT_EQ(obj, v2);
    EXPECT_EQ(v2->vtbl->release(v2), 1u);
    EXPECT_EQ(v2->vtbl->release(v2), 0u);
}

} // namespace
