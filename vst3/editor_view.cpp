// The editor view: a GuiHost in the host's window while attached, sizes
// scaled by the host's content scale factor, the page's edits turned into the
// host's begin/perform/end edit calls and its menu requests into the host's
// parameter menu.
#include "editor_view.h"

#include "controller.h"
#include "gui/gui_host.h"
#include "vst3_module.h"
#include "vst3_object.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

EditorView *from_view(IPlugView *v) { return reinterpret_cast<EditorView *>(v); } // first member

#if defined(_WIN32)
constexpr char k_platform_type[] = "HWND";
#else
constexpr char k_platform_type[] = "X11EmbedWindowID";
#endif

bool is_our_platform(FIDString type) { return type && std::strcmp(type, k_platform_type) == 0; }

int32_t scaled(int32_t size, float scale)
{
    return static_cast<int32_t>(std::lround(static_cast<float>(size) * scale));
}

// The module's folders are in the system code page; the page's is wanted in UTF-8.
const char *loader_dir(void *) { return module_folder(); }
const char *page_dir(void *user) { return static_cast<EditorView *>(user)->page_dir; }

// ---- the page's edits, as the host's begin/perform/end edit calls -----------------------
// The host may close the view, or drop the controller, from inside any of
// them: nothing of the view is touched after the call.

double view_current(void *user, uint32_t index)
{
    const EditorView *v = static_cast<EditorView *>(user);
    return v->controller ? v->controller->values[index] : 0.0;
}

// The component handler, held for one call, or null.
IComponentHandler *held_handler(EditorView *v)
{
    IComponentHandler *h = v->controller ? controller_handler(v->controller) : nullptr;
    if (h)
        h->vtbl->addRef(h);
    return h;
}

void view_touch(void *user, const ParamEdit *edit, bool on)
{
    IComponentHandler *h = held_handler(static_cast<EditorView *>(user));
    if (!h)
        return;
    if (on)
        h->vtbl->beginEdit(h, edit->desc->vst3_id);
    else
        h->vtbl->endEdit(h, edit->desc->vst3_id);
    h->vtbl->release(h);
}

void view_set(void *user, const ParamEdit *edit)
{
    EditorView *v = static_cast<EditorView *>(user);
    if (!v->controller)
        return;
    v->controller->values[edit->desc->index] = edit->plain;
    IComponentHandler *h = held_handler(v);
    if (!h)
        return;
    h->vtbl->performEdit(h, edit->desc->vst3_id, edit->normalized);
    h->vtbl->release(h);
}

// The host's own menu for the parameter, where its handler offers one; the
// page's point in CSS pixels becomes the view's, in pixels at its scale.
void view_menu(void *user, const ParamDesc *param, int32_t x, int32_t y)
{
    EditorView *v = static_cast<EditorView *>(user);
    IComponentHandler *h = held_handler(v);
    if (!h)
        return;
    void *obj = nullptr;
    if (h->vtbl->queryInterface(h, vst3_uid_ptr(IID_IComponentHandler3), &obj) == kResultOk && obj) {
        auto *h3 = static_cast<IComponentHandler3 *>(obj);
        const ParamID id = param->vst3_id;
        if (IContextMenu *menu = h3->vtbl->createContextMenu(h3, &v->view, &id)) {
            menu->vtbl->popup(menu, scaled(x, v->scale), scaled(y, v->scale));
            menu->vtbl->release(menu);
        }
        h3->vtbl->release(h3);
    }
    h->vtbl->release(h);
}

// ---- the editor's turn on the host's main thread ---------------------------------------
// Windows: a 20 ms timer on the host's window (a timer belongs to a window of
// the thread that sets it, and the GUI window belongs to the GUI thread).
// Linux: the host's run loop watches the editor's descriptor.

#if defined(_WIN32)
bool find_run_loop(EditorView *) { return true; }

void CALLBACK view_timer_proc(HWND, UINT, UINT_PTR id, DWORD)
{
    gui_host_idle(reinterpret_cast<EditorView *>(id)->gui);
}

bool start_idle(EditorView *v)
{
    v->timer_id = SetTimer(static_cast<HWND>(v->parent), reinterpret_cast<UINT_PTR>(v), 20, view_timer_proc);
    return v->timer_id != 0;
}

void stop_idle(EditorView *v)
{
    if (v->timer_id)
        KillTimer(static_cast<HWND>(v->parent), reinterpret_cast<UINT_PTR>(v));
    v->timer_id = 0;
}

// The host window's inside: where the editor sits.
bool parent_size(EditorView *v, int32_t *w, int32_t *h)
{
    RECT r;
    if (!GetClientRect(static_cast<HWND>(v->parent), &r))
        return false;
    *w = r.right - r.left;
    *h = r.bottom - r.top;
    return true;
}
#else
// The run loop comes with the frame; without one, no editor could hear from
// its page, so none is started.
bool find_run_loop(EditorView *v)
{
    void *loop = nullptr;
    if (!v->frame || v->frame->vtbl->queryInterface(v->frame, vst3_uid_ptr(IID_IRunLoop), &loop) != kResultOk || !loop)
        return false;
    v->run_loop = static_cast<IRunLoop *>(loop);
    return true;
}

bool start_idle(EditorView *v)
{
    return v->run_loop->vtbl->registerEventHandler(v->run_loop, &v->fd_handler, gui_host_fd(v->gui)) == kResultOk;
}

void stop_idle(EditorView *v)
{
    if (IRunLoop *loop = v->run_loop) { // unregistering one that never was is harmless
        v->run_loop = nullptr;
        loop->vtbl->unregisterEventHandler(loop, &v->fd_handler);
        loop->vtbl->release(loop);
    }
}

bool parent_size(EditorView *, int32_t *, int32_t *) { return false; }
#endif

// Asks the host for the editor's scaled size; a host that refuses keeps its
// window, and the editor fits it. Without a frame it waits for one.
void ask_for_scaled_size(EditorView *v)
{
    if (!v->gui)
        return;
    if (!v->frame) {
        v->resize_wanted = true;
        return;
    }
    v->resize_wanted = false;
    ViewRect r{0, 0, scaled(k_editor_width, v->scale), scaled(k_editor_height, v->scale)};
    if (v->frame->vtbl->resizeView(v->frame, &v->view, &r) == kResultOk || !v->gui)
        return; // the host answers with onSize
    int32_t w = 0, h = 0;
    if (parent_size(v, &w, &h) && w > 0 && h > 0)
        gui_host_set_size(v->gui, w, h, v->scale);
}

void close_gui(EditorView *v)
{
    stop_idle(v);
    if (v->gui) {
        gui_host_destroy(v->gui);
        v->gui = nullptr;
    }
    v->parent = nullptr;
    std::free(v->page_dir);
    v->page_dir = nullptr;
}

// ---- objects and their interfaces --------------------------------------------------

void view_destroy(void *object)
{
    EditorView *v = static_cast<EditorView *>(object);
    close_gui(v);
    if (v->controller)
        controller_forget_view(v->controller, v);
    v->~EditorView();
    std::free(v);
}

const Vst3InterfaceRow k_view_rows[] = {
    {&IID_IPlugView, offsetof(EditorView, view)},
    {&IID_IPlugViewContentScaleSupport, offsetof(EditorView, scale_support)},
    {&IID_IEventHandler, offsetof(EditorView, fd_handler)},
};
const Vst3Class k_view_class = {k_view_rows, sizeof k_view_rows / sizeof k_view_rows[0], false,
                                offsetof(EditorView, ref_count), view_destroy};
using ViewUnknown = Vst3Unknown<IPlugView, offsetof(EditorView, view), &k_view_class>;
using ScaleUnknown = Vst3Unknown<IPlugViewContentScaleSupport, offsetof(EditorView, scale_support), &k_view_class>;
using HandlerUnknown = Vst3Unknown<IEventHandler, offsetof(EditorView, fd_handler), &k_view_class>;

// ---- IPlugView -------------------------------------------------------------------------

// [main] Never blocks.
tresult view_is_platform_type_supported(IPlugView *, FIDString type)
{
    return is_our_platform(type) ? kResultTrue : kResultFalse;
}

// [main] Blocks until the editor's browser is ready or has failed.
tresult view_attached(IPlugView *self, void *parent, FIDString type)
{
    EditorView *v = from_view(self);
    if (!is_our_platform(type) || !parent || v->gui)
        return kInvalidArgument;
    const GuiHostDesc desc = {"vst3", loader_dir, page_dir, view_edit_target(v), nullptr};
    const int32_t width = scaled(k_editor_width, v->scale), height = scaled(k_editor_height, v->scale);
    v->page_dir = gui_host_path_to_utf8(module_resources_folder());
    v->parent = parent;
    v->gui = v->page_dir && find_run_loop(v) ? gui_host_create(true, parent, &desc, nullptr, width, height, PARAM_COUNT)
                                             : nullptr;
    if (!v->gui || !start_idle(v)) {
        close_gui(v);
        return kResultFalse;
    }
    if (v->scale != 1.0f)
        gui_host_set_size(v->gui, width, height, v->scale); // the page's zoom, where the back end has one
    if (v->controller)
        for (uint32_t i = 0; i < PARAM_COUNT; ++i)
            gui_host_set_value(v->gui, i, static_cast<float>(v->controller->values[i]));
    // A host that asked for the size before it set the scale made its window
    // for another size than the editor's.
    if (v->host_width && (v->host_width != width || v->host_height != height))
        ask_for_scaled_size(v);
    return kResultOk;
}

// [main] Blocks until the editor's GUI thread has ended.
tresult view_removed(IPlugView *self)
{
    close_gui(from_view(self));
    return kResultOk;
}

// [main] Never blocks.
tresult view_on_wheel(IPlugView *, float) { return kResultFalse; }
// [main] Never blocks.
tresult view_on_key(IPlugView *, char16, int16_t, int16_t) { return kResultFalse; }

// [main] Never blocks. The window's size while attached, else the initial size.
tresult view_get_size(IPlugView *self, ViewRect *size)
{
    EditorView *v = from_view(self);
    if (!size)
        return kInvalidArgument;
    int32_t w = 0, h = 0;
    if (!gui_host_size(v->gui, &w, &h)) {
        w = scaled(k_editor_width, v->scale);
        h = scaled(k_editor_height, v->scale);
    }
    *size = ViewRect{0, 0, w, h};
    v->host_width = w;
    v->host_height = h;
    return kResultOk;
}

// [main] May block briefly: the GUI thread handles the resize.
tresult view_on_size(IPlugView *self, ViewRect *rect)
{
    EditorView *v = from_view(self);
    if (!v->gui)
        return kResultFalse;
    if (rect) {
        v->host_width = rect->right - rect->left;
        v->host_height = rect->bottom - rect->top;
        gui_host_set_size(v->gui, v->host_width, v->host_height, v->scale);
    }
    return kResultOk;
}

// [main] Never blocks.
tresult view_on_focus(IPlugView *, TBool) { return kResultFalse; }

// [main] May block briefly when an open editor still wants its scaled size.
tresult view_set_frame(IPlugView *self, IPlugFrame *frame)
{
    EditorView *v = from_view(self);
    v->frame = frame;
    if (frame && v->resize_wanted)
        ask_for_scaled_size(v);
    return kResultOk;
}

// [main] Never blocks.
tresult view_can_resize(IPlugView *) { return kResultTrue; }
// [main] Never blocks.
tresult view_check_size_constraint(IPlugView *, ViewRect *) { return kResultTrue; }

const IPlugViewVtbl k_view_vtbl = {
    ViewUnknown::query_interface,
    ViewUnknown::add_ref,
    ViewUnknown::release,
    view_is_platform_type_supported,
    view_attached,
    view_removed,
    view_on_wheel,
    view_on_key,
    view_on_key,
    view_get_size,
    view_on_size,
    view_on_focus,
    view_set_frame,
    view_can_resize,
    view_check_size_constraint,
};

// ---- IPlugViewContentScaleSupport ------------------------------------------------------

// [main] May block briefly when an open editor is resized. The editor grows
// with the factor; an open one asks the host for its new size.
tresult scale_set_content_scale_factor(IPlugViewContentScaleSupport *self, float factor)
{
    EditorView *v = static_cast<EditorView *>(ScaleUnknown::object(self));
    if (!(factor >= 0.25f && factor <= 8.0f))
        return kResultFalse;
    if (factor == v->scale)
        return kResultTrue;
    v->scale = factor;
    ask_for_scaled_size(v);
    return kResultTrue;
}

const IPlugViewContentScaleSupportVtbl k_scale_vtbl = {ScaleUnknown::query_interface, ScaleUnknown::add_ref,
                                                       ScaleUnknown::release, scale_set_content_scale_factor};

// ---- IEventHandler (Linux) ---------------------------------------------------------------

// [main] Never blocks. The editor's news; an editor that has gone (its
// program ended) leaves the run loop, whose descriptor would stay readable.
void handler_on_fd_is_set(IEventHandler *self, int)
{
    EditorView *v = static_cast<EditorView *>(HandlerUnknown::object(self));
    // The host may close and release the view from inside an edit: the view
    // stays for the call.
    HandlerUnknown::add_ref(self);
    GuiHost *gui = v->gui;
    if (gui && !gui_host_idle(gui) && v->gui == gui)
        stop_idle(v);
    HandlerUnknown::release(self);
}

const IEventHandlerVtbl k_handler_vtbl = {HandlerUnknown::query_interface, HandlerUnknown::add_ref,
                                          HandlerUnknown::release, handler_on_fd_is_set};

} // namespace

EditorView *view_create(Vst3Controller *c)
{
    void *mem = std::malloc(sizeof(EditorView));
    if (!mem)
        return nullptr;
    EditorView *v = new (mem) EditorView{};
    v->view.vtbl = &k_view_vtbl;
    v->scale_support.vtbl = &k_scale_vtbl;
    v->fd_handler.vtbl = &k_handler_vtbl;
    v->ref_count = 1;
    v->controller = c;
    v->scale = 1.0f;
    return v;
}

void view_detach(EditorView *v)
{
    close_gui(v);
    v->controller = nullptr;
}

GuiEditTarget view_edit_target(EditorView *v) { return {v, view_current, view_touch, view_set, view_menu}; }

void view_show_value(EditorView *v, uint32_t index, float value)
{
    if (v->gui)
        gui_host_set_value(v->gui, index, value);
}
