// The editor view. This build has no editor window to show: attached()
// reports that, and the view stays unattached; sizes, frame, reference counts
// and the edit path are complete.
#include "editor_view.h"

#include "controller.h"
#include "vst3_object.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

EditorView *from_view(IPlugView *v) { return reinterpret_cast<EditorView *>(v); } // first member

bool is_hwnd(FIDString type) { return type && std::strcmp(type, "HWND") == 0; }

void view_destroy(void *object)
{
    EditorView *v = static_cast<EditorView *>(object);
    if (v->controller)
        controller_forget_view(v->controller, v);
    v->~EditorView();
    std::free(v);
}

const Vst3InterfaceRow k_view_rows[] = {
    {&IID_IPlugView, offsetof(EditorView, view)},
};
const Vst3Class k_view_class = {k_view_rows, sizeof k_view_rows / sizeof k_view_rows[0], false,
                                offsetof(EditorView, ref_count), view_destroy};
using ViewUnknown = Vst3Unknown<IPlugView, offsetof(EditorView, view), &k_view_class>;

// [main] Never blocks.
tresult view_is_platform_type_supported(IPlugView *, FIDString type)
{
    return is_hwnd(type) ? kResultTrue : kResultFalse;
}

// [main] Never blocks.
tresult view_attached(IPlugView *, void *, FIDString type)
{
    if (!is_hwnd(type))
        return kInvalidArgument;
    // No editor window can be made: the host shows no editor.
    return kResultFalse;
}

// [main] Never blocks.
tresult view_removed(IPlugView *) { return kResultOk; }

// [main] Never blocks.
tresult view_on_wheel(IPlugView *, float) { return kResultFalse; }
// [main] Never blocks.
tresult view_on_key(IPlugView *, char16, int16_t, int16_t) { return kResultFalse; }

// [main] Never blocks.
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

// [main] Never blocks. Nothing is attached to resize.
tresult view_on_size(IPlugView *, ViewRect *) { return kResultFalse; }

// [main] Never blocks.
tresult view_on_focus(IPlugView *, TBool) { return kResultFalse; }

// [main] Never blocks.
tresult view_set_frame(IPlugView *self, IPlugFrame *frame)
{
    from_view(self)->frame = frame;
    return kResultOk;
}

// [main] Never blocks.
tresult view_can_resize(IPlugView *) { return kResultTrue; }
// [main] Never blocks.
tresult view_check_size_constraint(IPlugView *, ViewRect *) { return kResultTrue; }

const IPlugViewVtbl k_view_vtbl = {
    ViewUnknown::query_interface, ViewUnknown::add_ref, ViewUnknown::release, view_is_platform_type_supported,
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
    ParamEdit edit;
    param_edit(index, value, v->controller->values[index], &edit);
    v->controller->values[index] = edit.plain;
    IComponentHandler *h = controller_handler(v->controller);
    if (!h)
        return;
    const ParamID id = edit.desc->vst3_id;
    // The host may replace the handler, or drop the controller, from inside
    // these calls: hold the handler for the whole step.
    h->vtbl->addRef(h);
    if (step == EDIT_BEGIN)
        h->vtbl->beginEdit(h, id);
    h->vtbl->performEdit(h, id, edit.normalized);
    if (step == EDIT_END)
        h->vtbl->endEdit(h, id);
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

void view_detach(EditorView *v) { v->controller = nullptr; }

void view_begin_edit(void *user, uint32_t index, float value) { view_edit(user, index, value, EDIT_BEGIN); }
void view_perform_edit(void *user, uint32_t index, float value) { view_edit(user, index, value, EDIT_PERFORM); }
void view_end_edit(void *user, uint32_t index, float value) { view_edit(user, index, value, EDIT_END); }
