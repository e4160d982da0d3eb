// The edit controller: describes the parameters, converts values and texts,
// keeps the host's view of every value, reads the processor's state and
// owns the list of editor views. Main thread only.
#include "controller.h"

#include "editor_view.h"
#include "state/state_doc.h"
#include "vst3_module.h"
#include "vst3_object.h"
#include "vst3_stream.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

void set_defaults(Vst3Controller *c)
{
    for (uint32_t i = 0; i < PARAM_COUNT; ++i)
        c->values[i] = k_params[i].def;
}

// ---- objects and their interfaces --------------------------------------------------

void controller_destroy(void *object)
{
    Vst3Controller *c = static_cast<Vst3Controller *>(object);
    // Views the host still holds must not point at freed memory.
    for (size_t i = 0; i < c->view_count; ++i)
        if (c->views[i])
            view_detach(c->views[i]);
    std::free(c->views);
    // The reference taken in setComponentHandler is ours to give back.
    if (c->handler)
        c->handler->vtbl->release(c->handler);
    c->~Vst3Controller();
    std::free(c);
}

const Vst3InterfaceRow k_controller_rows[] = {
    {&IID_IEditController, offsetof(Vst3Controller, edit)},
    {&IID_IMidiMapping, offsetof(Vst3Controller, midi)},
    {&IID_IConnectionPoint, offsetof(Vst3Controller, connection)},
};
const Vst3Class k_controller_class = {k_controller_rows, sizeof k_controller_rows / sizeof k_controller_rows[0], true,
                                      offsetof(Vst3Controller, ref_count), controller_destroy};

using EditUnknown = Vst3Unknown<IEditController, offsetof(Vst3Controller, edit), &k_controller_class>;
using MidiUnknown = Vst3Unknown<IMidiMapping, offsetof(Vst3Controller, midi), &k_controller_class>;
using ConnectionUnknown = Vst3Unknown<IConnectionPoint, offsetof(Vst3Controller, connection), &k_controller_class>;

// ---- IEditController ---------------------------------------------------------------

// [main] Never blocks.
tresult edit_initialize(IEditController *self, FUnknown *context)
{
    Vst3Controller *c = controller_from_edit(self);
    if (!vst3_base_initialize(&c->host_context, context))
        return kResultFalse;
    set_defaults(c);
    return kResultOk;
}

// [main] Never blocks.
tresult edit_terminate(IEditController *self) { return vst3_base_terminate(&controller_from_edit(self)->host_context); }

void sink_set(void *ctx, uint64_t index, float value)
{
    if (index < PARAM_INPUT_COUNT)
        controller_store(static_cast<Vst3Controller *>(ctx), static_cast<uint32_t>(index), value);
}
void sink_nothing(void *) {}

// [main] May block briefly while open editors are updated.
tresult edit_set_component_state(IEditController *self, IBStream *stream)
{
    Vst3Controller *c = controller_from_edit(self);
    uint8_t *blob = nullptr;
    size_t len = 0;
    if (!stream_read_all(stream, &blob, &len))
        return kResultFalse;
    state_sink sink{c, sink_nothing, sink_nothing, sink_set};
    int r = state_load(&sink, blob, len);
    std::free(blob);
    if (r != 0)
        return kResultFalse;
    // Index by index, every open editor hears of the new values.
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        for (size_t k = 0; k < c->view_count; ++k)
            if (c->views[k])
                view_show_value(c->views[k], i, static_cast<float>(c->values[i]));
    return kResultOk;
}

// [main] Never blocks.
tresult edit_set_state(IEditController *, IBStream *) { return kNotImplemented; }
// [main] Never blocks.
tresult edit_get_state(IEditController *, IBStream *) { return kNotImplemented; }
// [main] Never blocks.
int32_t edit_get_parameter_count(IEditController *) { return PARAM_COUNT; }

// [main] Never blocks.
tresult edit_get_parameter_info(IEditController *, int32_t index, ParameterInfo *info)
{
    if (static_cast<uint32_t>(index) >= PARAM_COUNT)
        return kResultFalse;
    if (!info)
        return kInvalidArgument;
    const ParamDesc &d = k_params[index];
    std::memset(info, 0, sizeof *info);
    info->id = d.vst3_id;
    vst3_copy(info->title, d.title);
    vst3_copy(info->shortTitle, d.short_title);
    info->stepCount = d.step_count;
    info->defaultNormalizedValue = param_plain_to_norm(&d, d.def);
    info->unitId = kRootUnitId;
    info->flags = d.is_output ? kIsReadOnly : kCanAutomate;
    return kResultOk;
}

// [main] Never blocks.
tresult edit_get_param_string_by_value(IEditController *, ParamID id, ParamValue value, TChar *string)
{
    const ParamDesc *d = param_by_id(id);
    if (!d)
        return kResultFalse;
    if (!string)
        return kInvalidArgument;
    param_value_to_text(d, value, string, 128);
    return kResultOk;
}

// [main] Never blocks.
tresult edit_get_param_value_by_string(IEditController *, ParamID id, TChar *string, ParamValue *value)
{
    const ParamDesc *d = param_by_id(id);
    if (!d)
        return kResultFalse;
    if (!string || !value)
        return kInvalidArgument;
    *value = param_text_to_value(d, string);
    return kResultOk;
}

// [main] Never blocks. Unknown ids give the argument back: these methods have
// no error channel.
ParamValue edit_normalized_to_plain(IEditController *, ParamID id, ParamValue value)
{
    const ParamDesc *d = param_by_id(id);
    return d ? param_norm_to_plain(d, value) : value;
}

// [main] Never blocks.
ParamValue edit_plain_to_normalized(IEditController *, ParamID id, ParamValue plain)
{
    const ParamDesc *d = param_by_id(id);
    return d ? param_plain_to_norm(d, plain) : plain;
}

// [main] Never blocks.
ParamValue edit_get_param_normalized(IEditController *self, ParamID id)
{
    const ParamDesc *d = param_by_id(id);
    if (!d)
        return 0.0;
    return param_plain_to_norm(d, controller_from_edit(self)->values[d->index]);
}

// [main] May block briefly while open editors are updated.
tresult edit_set_param_normalized(IEditController *self, ParamID id, ParamValue value)
{
    Vst3Controller *c = controller_from_edit(self);
    const ParamDesc *d = param_by_id(id);
    if (!d)
        return kResultFalse;
    // NaN carries no value to store or show.
    if (std::isnan(value))
        return kInvalidArgument;
    const uint32_t index = static_cast<uint32_t>(d->index);
    const double plain = controller_store(c, index, param_norm_to_plain(d, value));
    // Host automation, and the processor's Modulated Cutoff, shown in every open editor.
    for (size_t k = 0; k < c->view_count; ++k)
        if (c->views[k])
            view_show_value(c->views[k], index, static_cast<float>(plain));
    return kResultOk;
}

// [main] Never blocks.
tresult edit_set_component_handler(IEditController *self, IComponentHandler *handler)
{
    Vst3Controller *c = controller_from_edit(self);
    if (handler == c->handler)
        return kResultOk;
    if (handler)
        handler->vtbl->addRef(handler);
    IComponentHandler *old = c->handler;
    c->handler = handler;
    if (old)
        old->vtbl->release(old);
    return kResultOk;
}

// [main] Never blocks.
IPlugView *edit_create_view(IEditController *self, FIDString name)
{
    Vst3Controller *c = controller_from_edit(self);
    if (!name || std::strcmp(name, "editor") != 0)
        return nullptr;
    EditorView *v = view_create(c);
    if (!v)
        return nullptr;
    for (size_t i = 0; i < c->view_count; ++i) {
        if (!c->views[i]) {
            c->views[i] = v;
            return &v->view;
        }
    }
    EditorView **grown = static_cast<EditorView **>(std::realloc(c->views, (c->view_count + 1) * sizeof(EditorView *)));
    if (!grown) {
        // Not listed yet, so releasing it touches no slot.
        v->controller = nullptr;
        v->view.vtbl->release(&v->view);
        return nullptr;
    }
    c->views = grown;
    c->views[c->view_count++] = v;
    return &v->view;
}

const IEditControllerVtbl k_edit_vtbl = {
    EditUnknown::query_interface,
    EditUnknown::add_ref,
    EditUnknown::release,
    edit_initialize,
    edit_terminate,
    edit_set_component_state,
    edit_set_state,
    edit_get_state,
    edit_get_parameter_count,
    edit_get_parameter_info,
    edit_get_param_string_by_value,
    edit_get_param_value_by_string,
    edit_normalized_to_plain,
    edit_plain_to_normalized,
    edit_get_param_normalized,
    edit_set_param_normalized,
    edit_set_component_handler,
    edit_create_view,
};

// ---- IMidiMapping ---------------------------------------------------------------------

// [main] Never blocks.
tresult midi_get_assignment(IMidiMapping *, int32_t, int16_t, CtrlNumber, ParamID *) { return kInvalidArgument; }

const IMidiMappingVtbl k_midi_vtbl = {MidiUnknown::query_interface, MidiUnknown::add_ref, MidiUnknown::release,
                                      midi_get_assignment};

} // namespace

Vst3Controller *controller_from_edit(IEditController *e)
{
    return reinterpret_cast<Vst3Controller *>(e); // first member
}

double controller_store(Vst3Controller *c, uint32_t index, double value)
{
    if (!std::isnan(value))
        c->values[index] = param_quantize(&k_params[index], value);
    return c->values[index];
}

IComponentHandler *controller_handler(const Vst3Controller *c) { return c->handler; }

void controller_forget_view(Vst3Controller *c, const EditorView *v)
{
    for (size_t i = 0; i < c->view_count; ++i)
        if (c->views[i] == v)
            c->views[i] = nullptr;
}

// [main] Never blocks.
IEditController *controller_create(void)
{
    void *mem = std::malloc(sizeof(Vst3Controller));
    if (!mem)
        return nullptr;
    Vst3Controller *c = new (mem) Vst3Controller{};
    c->edit.vtbl = &k_edit_vtbl;
    c->midi.vtbl = &k_midi_vtbl;
    c->connection.vtbl = &vst3_noop_connection_vtbl<ConnectionUnknown>;
    c->ref_count = 1;
    set_defaults(c);
    return &c->edit;
}
