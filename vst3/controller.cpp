// The edit controller: describes the parameters, converts values and texts,
// keeps the host's view of every value, reads the processor's state and
// owns the list of editor views. Main thread only.
#include "controller.h"

#include "../state/state_doc.h"
#include "editor_view.h"
#include "vst3_module.h"
#include "vst3_stream.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

template <typename T> Vst3Controller *from(T *iface, size_t offset)
{
    return reinterpret_cast<Vst3Controller *>(reinterpret_cast<char *>(iface) - offset);
}
Vst3Controller *from_midi(IMidiMapping *m) { return from(m, offsetof(Vst3Controller, midi)); }
Vst3Controller *from_connection(IConnectionPoint *c) { return from(c, offsetof(Vst3Controller, connection)); }

void set_defaults(Vst3Controller *c)
{
    for (uint32_t i = 0; i < PARAM_COUNT; ++i)
        c->values[i] = k_params[i].def;
}

template <size_t N> void widen(char16 (&dst)[N], const char *src)
{
    size_t i = 0;
    for (; src && src[i] && i + 1 < N; ++i)
        dst[i] = static_cast<char16>(static_cast<unsigned char>(src[i]));
    for (; i < N; ++i)
        dst[i] = 0;
}

// ---- shared FUnknown ------------------------------------------------------------

tresult query(Vst3Controller *c, const char *iid, void **obj)
{
    if (!obj)
        return kInvalidArgument;
    void *found = nullptr;
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IPluginBase) ||
        vst3_uid_equal(iid, IID_IEditController))
        found = &c->edit;
    else if (vst3_uid_equal(iid, IID_IMidiMapping))
        found = &c->midi;
    else if (vst3_uid_equal(iid, IID_IConnectionPoint))
        found = &c->connection;
    *obj = found;
    if (!found)
        return kNoInterface;
    ++c->ref_count;
    return kResultOk;
}

uint32_t add_ref(Vst3Controller *c) { return static_cast<uint32_t>(++c->ref_count); }

uint32_t release(Vst3Controller *c)
{
    int32_t n = --c->ref_count;
    if (n > 0)
        return static_cast<uint32_t>(n);
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
    return 0;
}

// ---- IEditController ---------------------------------------------------------------

tresult edit_query_interface(IEditController *self, const char *iid, void **obj)
{
    return query(controller_from_edit(self), iid, obj);
}
uint32_t edit_add_ref(IEditController *self) { return add_ref(controller_from_edit(self)); }
uint32_t edit_release(IEditController *self) { return release(controller_from_edit(self)); }

tresult edit_initialize(IEditController *self, FUnknown *context)
{
    Vst3Controller *c = controller_from_edit(self);
    if (c->host_context)
        return kResultFalse;
    c->host_context = context;
    set_defaults(c);
    return kResultOk;
}

tresult edit_terminate(IEditController *self)
{
    controller_from_edit(self)->host_context = nullptr;
    return kResultOk;
}

void sink_set(void *ctx, uint64_t index, float value)
{
    if (index < PARAM_INPUT_COUNT)
        controller_store(static_cast<Vst3Controller *>(ctx), static_cast<uint32_t>(index), value);
}
void sink_nothing(void *) {}

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
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        for (size_t k = 0; k < c->view_count; ++k)
            if (c->views[k])
                view_show_value(c->views[k], i, static_cast<float>(c->values[i]));
    return kResultOk;
}

tresult edit_set_state(IEditController *, IBStream *) { return kNotImplemented; }
tresult edit_get_state(IEditController *, IBStream *) { return kNotImplemented; }
int32_t edit_get_parameter_count(IEditController *) { return PARAM_COUNT; }

tresult edit_get_parameter_info(IEditController *, int32_t index, ParameterInfo *info)
{
    if (static_cast<uint32_t>(index) >= PARAM_COUNT)
        return kResultFalse;
    if (!info)
        return kInvalidArgument;
    const ParamDesc &d = k_params[index];
    std::memset(info, 0, sizeof *info);
    info->id = d.vst3_id;
    widen(info->title, d.title);
    widen(info->shortTitle, d.short_title);
    info->stepCount = d.step_count;
    info->defaultNormalizedValue = param_plain_to_norm(&d, d.def);
    info->unitId = kRootUnitId;
    info->flags = d.is_output ? kIsReadOnly : kCanAutomate;
    return kResultOk;
}

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

// Unknown ids give the argument back: these methods have no error channel.
ParamValue edit_normalized_to_plain(IEditController *, ParamID id, ParamValue value)
{
    const ParamDesc *d = param_by_id(id);
    return d ? param_norm_to_plain(d, value) : value;
}

ParamValue edit_plain_to_normalized(IEditController *, ParamID id, ParamValue plain)
{
    const ParamDesc *d = param_by_id(id);
    return d ? param_plain_to_norm(d, plain) : plain;
}

ParamValue edit_get_param_normalized(IEditController *self, ParamID id)
{
    const ParamDesc *d = param_by_id(id);
    if (!d)
        return 0.0;
    return param_plain_to_norm(d, controller_from_edit(self)->values[d->index]);
}

tresult edit_set_param_normalized(IEditController *self, ParamID id, ParamValue value)
{
    Vst3Controller *c = controller_from_edit(self);
    const ParamDesc *d = param_by_id(id);
    if (!d)
        return kResultFalse;
    // NaN carries no value to store or show.
    if (std::isnan(value))
        return kInvalidArgument;
    uint32_t index = static_cast<uint32_t>(d->index);
    double plain = controller_store(c, index, param_norm_to_plain(d, value));
    for (size_t k = 0; k < c->view_count; ++k)
        if (c->views[k])
            view_show_value(c->views[k], index, static_cast<float>(plain));
    return kResultOk;
}

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
    EditorView **grown =
        static_cast<EditorView **>(std::realloc(c->views, (c->view_count + 1) * sizeof(EditorView *)));
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
    edit_query_interface,           edit_add_ref,
    edit_release,                   edit_initialize,
    edit_terminate,                 edit_set_component_state,
    edit_set_state,                 edit_get_state,
    edit_get_parameter_count,       edit_get_parameter_info,
    edit_get_param_string_by_value, edit_get_param_value_by_string,
    edit_normalized_to_plain,       edit_plain_to_normalized,
    edit_get_param_normalized,      edit_set_param_normalized,
    edit_set_component_handler,     edit_create_view,
};

// ---- IMidiMapping ---------------------------------------------------------------------

tresult midi_query_interface(IMidiMapping *self, const char *iid, void **obj)
{
    return query(from_midi(self), iid, obj);
}
uint32_t midi_add_ref(IMidiMapping *self) { return add_ref(from_midi(self)); }
uint32_t midi_release(IMidiMapping *self) { return release(from_midi(self)); }
tresult midi_get_assignment(IMidiMapping *, int32_t, int16_t, CtrlNumber, ParamID *) { return kInvalidArgument; }

const IMidiMappingVtbl k_midi_vtbl = {midi_query_interface, midi_add_ref, midi_release, midi_get_assignment};

// ---- IConnectionPoint -------------------------------------------------------------------

tresult conn_query_interface(IConnectionPoint *self, const char *iid, void **obj)
{
    return query(from_connection(self), iid, obj);
}
uint32_t conn_add_ref(IConnectionPoint *self) { return add_ref(from_connection(self)); }
uint32_t conn_release(IConnectionPoint *self) { return release(from_connection(self)); }
tresult conn_connect(IConnectionPoint *, IConnectionPoint *other) { return other ? kResultOk : kInvalidArgument; }
tresult conn_disconnect(IConnectionPoint *, IConnectionPoint *) { return kResultOk; }
tresult conn_notify(IConnectionPoint *, IMessage *) { return kResultOk; }

const IConnectionPointVtbl k_connection_vtbl = {conn_query_interface, conn_add_ref, conn_release,
                                                conn_connect,         conn_disconnect, conn_notify};

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

IComponentHandler *controller_handler(const Vst3Controller *c)
{
    return c->handler;
}

void controller_forget_view(Vst3Controller *c, const EditorView *v)
{
    for (size_t i = 0; i < c->view_count; ++i)
        if (c->views[i] == v)
            c->views[i] = nullptr;
}

IEditController *controller_create(void)
{
    void *mem = std::malloc(sizeof(Vst3Controller));
    if (!mem)
        return nullptr;
    Vst3Controller *c = new (mem) Vst3Controller{};
    c->edit.vtbl = &k_edit_vtbl;
    c->midi.vtbl = &k_midi_vtbl;
    c->connection.vtbl = &k_connection_vtbl;
    c->ref_count = 1;
    set_defaults(c);
    return &c->edit;
}
