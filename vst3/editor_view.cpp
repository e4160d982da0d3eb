// The editor view. Until the GUI host is built into this module, attached()
// reports that no editor can be shown and the view stays unattached; the
// rest (sizes, frame, reference counts, edits) is complete.
#include "editor_view.h"

#include "controller.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

EditorView *from_view(IPlugView *v) { return reinterpret_cast<EditorView *>(v); } // first member

bool is_hwnd(FIDString type) { return type && std::strcmp(type, "HWND") == 0; }

// Closes the editor if one is open. Nothing to close while no GUI host can
// be created.
void close_gui(EditorView *v)
{
    v->gui = nullptr;
    v->timer_id = 0;
}

tresult view_query_interface(IPlugView *self, const char *iid, void **obj)
{
    if (!obj)
        return kInvalidArgument;
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IPlugView)) {
        ++from_view(self)->ref_count;
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

uint32_t view_add_ref(IPlugView *self) { return static_cast<uint32_t>(++from_view(self)->ref_count); }

uint32_t view_release(IPlugView *self)
{
    EditorView *v = from_view(self);
    int32_t n = --v->ref_count;
    if (n > 0)
        return static_cast<uint32_t>(n);
    if (v->gui)
        close_gui(v);
    if (v->controller)
        controller_forget_view(v->controller, v);
    v->~EditorView();
    std::free(v);
    return 0;
}

tresult view_is_platform_type_supported(IPlugView *, FIDString type)
{
    return is_hwnd(type) ? kResultTrue : kResultFalse;
}

tresult view_attached(IPlugView *self, void *, FIDString type)
{
    EditorView *v = from_view(self);
    if (!is_hwnd(type) || v->gui)
        return kInvalidArgument;
    // No GUI host exists in this build: the host shows no editor.
    return kResultFalse;
}

tresult view_removed(IPlugView *self)
{
    EditorView *v = from_view(self);
    if (v->gui)
        close_gui(v);
    return kResultOk;
}

tresult view_on_wheel(IPlugView *, float) { return kResultFalse; }
tresult view_on_key(IPlugView *, char16, int16_t, int16_t) { return kResultFalse; }

tresult view_get_size(IPlugView *, ViewRect *size)
{
    if (!size)
        return kInvalidArgument;
    // Without an open editor window the initial size stands.
    size->left = 0;
    size->top = 0;
    size->right = k_view_width;
    size->bottom = k_view_height;
    return kResultOk;
}

tresult view_on_size(IPlugView *self, ViewRect *)
{
    return from_view(self)->gui ? kResultOk : kResultFalse;
}

tresult view_on_focus(IPlugView *, TBool) { return kResultFalse; }

tresult view_set_frame(IPlugView *self, IPlugFrame *frame)
{
    from_view(self)->frame = frame;
    return kResultOk;
}

tresult view_can_resize(IPlugView *) { return kResultTrue; }
tresult view_check_size_constraint(IPlugView *, ViewRect *) { return kResultTrue; }

const IPlugViewVtbl k_view_vtbl = {
    view_query_interface, view_add_ref,  view_release,   view_is_platform_type_supported,
    view_attached,        view_removed,  view_on_wheel,  view_on_key,
    view_on_key,          view_get_size, view_on_size,   view_on_focus,
    view_set_frame,       view_can_resize, view_check_size_constraint,
};

enum EditStep { EDIT_BEGIN, EDIT_PERFORM, EDIT_END };

void view_edit(void *user, uint32_t index, float value, EditStep step)
{
    EditorView *v = static_cast<EditorView *>(user);
    if (!v || !v->controller || index >= PARAM_COUNT)
        return;
    const ParamDesc *d = &k_params[index];
    double stored = controller_store(v->controller, index, value);
    IComponentHandler *h = controller_handler(v->controller);
    if (!h)
        return;
    double normalized = param_plain_to_norm(d, stored);
    // The host may replace the handler, or drop the controller, from inside
    // these calls: hold the handler for the whole step.
    h->vtbl->addRef(h);
    if (step == EDIT_BEGIN)
        h->vtbl->beginEdit(h, d->vst3_id);
    h->vtbl->performEdit(h, d->vst3_id, normalized);
    if (step == EDIT_END)
        h->vtbl->endEdit(h, d->vst3_id);
    h->vtbl->release(h);
}

} // namespace

EditorView *view_create(Vst3Controller *c)
{
    void *mem = std::malloc(sizeof(EditorView));
    if (!mem)
        return nullptr;
    EditorView *v = new (mem) EditorView{};
    v->view.vtbl = &k_view_vtbl;
    v->ref_count = 1;
    v->controller = c;
    return v;
}

void view_detach(EditorView *v)
{
    if (v->gui)
        close_gui(v);
    v->controller = nullptr;
}

void view_show_value(EditorView *v, uint32_t, float)
{
    // Only an open editor shows values; none can be open yet.
    if (!v->gui)
        return;
}

void view_begin_edit(void *user, uint32_t index, float value) { view_edit(user, index, value, EDIT_BEGIN); }
void view_perform_edit(void *user, uint32_t index, float value) { view_edit(user, index, value, EDIT_PERFORM); }
void view_end_edit(void *user, uint32_t index, float value) { view_edit(user, index, value, EDIT_END); }
