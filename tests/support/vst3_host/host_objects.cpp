#include "host_objects.h"

#include <cstring>
#include <xmmintrin.h>

namespace {

template <typename T> T *self_of(void *iface) { return reinterpret_cast<T *>(iface); }

// ---- MemoryStream -----------------------------------------------------------------------

tresult ms_query(IBStream *self, const char *iid, void **obj)
{
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IBStream)) {
        ++self_of<MemoryStream>(self)->refs;
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
uint32_t ms_add_ref(IBStream *self) { return static_cast<uint32_t>(++self_of<MemoryStream>(self)->refs); }
uint32_t ms_release(IBStream *self) { return static_cast<uint32_t>(--self_of<MemoryStream>(self)->refs); }

int32_t limit(const MemoryStream *s, int32_t n) { return s->max_io > 0 && n > s->max_io ? s->max_io : n; }

tresult ms_read(IBStream *self, void *buffer, int32_t n, int32_t *got)
{
    MemoryStream *s = self_of<MemoryStream>(self);
    ++s->read_calls;
    int64_t avail = static_cast<int64_t>(s->data.size()) - s->pos;
    int32_t k = limit(s, n);
    if (avail < k)
        k = avail > 0 ? static_cast<int32_t>(avail) : 0;
    if (k > 0)
        std::memcpy(buffer, s->data.data() + s->pos, static_cast<size_t>(k));
    s->pos += k;
    if (got)
        *got = k;
    return kResultOk;
}

tresult ms_write(IBStream *self, void *buffer, int32_t n, int32_t *put)
{
    MemoryStream *s = self_of<MemoryStream>(self);
    ++s->write_calls;
    if (s->read_only || n < 0) {
        if (put)
            *put = 0;
        return kNotImplemented;
    }
    int32_t k = limit(s, n);
    size_t end = static_cast<size_t>(s->pos) + static_cast<size_t>(k);
    if (s->data.size() < end)
        s->data.resize(end);
    std::memcpy(s->data.data() + s->pos, buffer, static_cast<size_t>(k));
    s->pos += k;
    if (put)
        *put = k;
    return s->write_result;
}

tresult ms_seek(IBStream *self, int64_t pos, int32_t mode, int64_t *result)
{
    MemoryStream *s = self_of<MemoryStream>(self);
    if (s->fail_seek)
        return kResultFalse;
    int64_t base = mode == kIBSeekSet ? 0 : mode == kIBSeekCur ? s->pos : static_cast<int64_t>(s->data.size());
    int64_t to = base + pos;
    if (to < 0 || to > static_cast<int64_t>(s->data.size()))
        return kInvalidArgument;
    s->pos = to;
    if (result)
        *result = to;
    return kResultOk;
}

tresult ms_tell(IBStream *self, int64_t *pos)
{
    MemoryStream *s = self_of<MemoryStream>(self);
    if (s->fail_tell || !pos)
        return kResultFalse;
    *pos = s->pos;
    return kResultOk;
}

const IBStreamVtbl k_stream_vtbl = {ms_query, ms_add_ref, ms_release, ms_read, ms_write, ms_seek, ms_tell};

// ---- HostChanges / HostQueue ---------------------------------------------------------------

tresult q_query(IParamValueQueue *self, const char *iid, void **obj)
{
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IParamValueQueue)) {
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
uint32_t q_ref(IParamValueQueue *) { return 1; }
ParamID q_id(IParamValueQueue *self) { return self_of<HostQueue>(self)->id; }
int32_t q_count(IParamValueQueue *self) { return static_cast<int32_t>(self_of<HostQueue>(self)->points.size()); }

tresult q_get_point(IParamValueQueue *self, int32_t index, int32_t *offset, ParamValue *value)
{
    HostQueue *q = self_of<HostQueue>(self);
    if (index < 0 || static_cast<size_t>(index) >= q->points.size())
        return kResultFalse;
    *offset = q->points[static_cast<size_t>(index)].first;
    *value = q->points[static_cast<size_t>(index)].second;
    return kResultOk;
}

tresult q_add_point(IParamValueQueue *self, int32_t offset, ParamValue value, int32_t *index)
{
    HostQueue *q = self_of<HostQueue>(self);
    if (static_cast<int32_t>(q->points.size()) >= q->max_points)
        return kResultFalse;
    q->points.emplace_back(offset, value);
    *index = static_cast<int32_t>(q->points.size()) - 1;
    return kResultOk;
}

const IParamValueQueueVtbl k_queue_vtbl = {q_query, q_ref, q_ref, q_id, q_count, q_get_point, q_add_point};

tresult c_query(IParameterChanges *self, const char *iid, void **obj)
{
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IParameterChanges)) {
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
uint32_t c_ref(IParameterChanges *) { return 1; }
int32_t c_count(IParameterChanges *self)
{
    HostChanges *c = self_of<HostChanges>(self);
    c->seen_csr = _mm_getcsr();
    return static_cast<int32_t>(c->queues.size());
}

IParamValueQueue *c_get(IParameterChanges *self, int32_t index)
{
    HostChanges *c = self_of<HostChanges>(self);
    if (index < 0 || static_cast<size_t>(index) >= c->queues.size())
        return nullptr;
    return &c->queues[static_cast<size_t>(index)].iface;
}

IParamValueQueue *c_add(IParameterChanges *self, const ParamID *id, int32_t *index)
{
    HostChanges *c = self_of<HostChanges>(self);
    for (size_t i = 0; i < c->queues.size(); ++i) {
        if (c->queues[i].id == *id) {
            *index = static_cast<int32_t>(i);
            return &c->queues[i].iface;
        }
    }
    if (static_cast<int32_t>(c->queues.size()) >= c->max_queues)
        return nullptr;
    HostQueue &q = c->add(*id, {});
    *index = static_cast<int32_t>(c->queues.size()) - 1;
    return &q.iface;
}

const IParameterChangesVtbl k_changes_vtbl = {c_query, c_ref, c_ref, c_count, c_get, c_add};

// ---- RecordingHandler ----------------------------------------------------------------------

tresult h_query(IComponentHandler *self, const char *iid, void **obj)
{
    RecordingHandler *h = self_of<RecordingHandler>(self);
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IComponentHandler) ||
        (h->offers_menu && vst3_uid_equal(iid, IID_IComponentHandler3))) {
        ++h->refs;
        *obj = vst3_uid_equal(iid, IID_IComponentHandler3) ? static_cast<void *>(&h->menus) : self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

// The menu: one object that records its popup on the handler it came from.
struct RecordedMenu {
    IContextMenu iface;
    RecordingHandler *handler;
};
RecordingHandler *handler_of_menus(IComponentHandler3 *m) { return reinterpret_cast<MenuFace *>(m)->owner; }
const IContextMenuVtbl k_menu_vtbl = {
    [](IContextMenu *, const char *, void **obj) -> tresult { return *obj = nullptr, kNoInterface; },
    [](IContextMenu *) -> uint32_t { return 1; },
    [](IContextMenu *m) -> uint32_t { return delete reinterpret_cast<RecordedMenu *>(m), 0; },
    [](IContextMenu *) -> int32_t { return 0; },
    [](IContextMenu *, int32_t, void *, void **) -> tresult { return kResultFalse; },
    [](IContextMenu *, const void *, void *) -> tresult { return kResultFalse; },
    [](IContextMenu *, const void *, void *) -> tresult { return kResultFalse; },
    [](IContextMenu *m, int32_t x, int32_t y) -> tresult {
        reinterpret_cast<RecordedMenu *>(m)->handler->menu_calls.push_back("popup " + std::to_string(x) + " " +
                                                                           std::to_string(y));
        return kResultOk;
    },
};
const IComponentHandler3Vtbl k_menus_vtbl = {
    [](IComponentHandler3 *m, const char *iid, void **obj) { return h_query(&handler_of_menus(m)->iface, iid, obj); },
    [](IComponentHandler3 *m) -> uint32_t { return static_cast<uint32_t>(++handler_of_menus(m)->refs); },
    [](IComponentHandler3 *m) -> uint32_t { return static_cast<uint32_t>(--handler_of_menus(m)->refs); },
    [](IComponentHandler3 *m, IPlugView *view, const ParamID *id) -> IContextMenu * {
        RecordingHandler *h = handler_of_menus(m);
        h->menu_calls.push_back("menu " + std::string(view ? "view" : "null") + " " +
                                (id ? std::to_string(*id) : std::string("none")));
        return &(new RecordedMenu{{&k_menu_vtbl}, h})->iface;
    },
};
uint32_t h_add_ref(IComponentHandler *self) { return static_cast<uint32_t>(++self_of<RecordingHandler>(self)->refs); }
uint32_t h_release(IComponentHandler *self) { return static_cast<uint32_t>(--self_of<RecordingHandler>(self)->refs); }
tresult h_begin(IComponentHandler *self, ParamID id)
{
    RecordingHandler *h = self_of<RecordingHandler>(self);
    h->calls.push_back({'b', id, 0.0});
    if (h->on_edit)
        h->on_edit();
    return kResultOk;
}
tresult h_perform(IComponentHandler *self, ParamID id, ParamValue v)
{
    RecordingHandler *h = self_of<RecordingHandler>(self);
    h->calls.push_back({'p', id, v});
    if (h->on_edit)
        h->on_edit();
    return kResultOk;
}
tresult h_end(IComponentHandler *self, ParamID id)
{
    RecordingHandler *h = self_of<RecordingHandler>(self);
    h->calls.push_back({'e', id, 0.0});
    if (h->on_edit)
        h->on_edit();
    return kResultOk;
}
tresult h_restart(IComponentHandler *self, int32_t flags)
{
    self_of<RecordingHandler>(self)->calls.push_back({'r', 0, static_cast<double>(flags)});
    return kResultOk;
}

const IComponentHandlerVtbl k_handler_vtbl = {h_query, h_add_ref, h_release, h_begin, h_perform, h_end, h_restart};

// ---- HostApplication -------------------------------------------------------------------------

tresult app_query(IHostApplication *self, const char *iid, void **obj)
{
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IHostApplication)) {
        ++self_of<HostApplication>(self)->refs;
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
uint32_t app_add_ref(IHostApplication *self) { return static_cast<uint32_t>(++self_of<HostApplication>(self)->refs); }
uint32_t app_release(IHostApplication *self) { return static_cast<uint32_t>(--self_of<HostApplication>(self)->refs); }
tresult app_get_name(IHostApplication *, TChar *name)
{
    const char *n = "zfen test host";
    size_t i = 0;
    for (; n[i]; ++i)
        name[i] = static_cast<TChar>(n[i]);
    name[i] = 0;
    return kResultOk;
}
tresult app_create_instance(IHostApplication *, char *, char *, void **obj)
{
    *obj = nullptr;
    return kResultFalse;
}

const IHostApplicationVtbl k_app_vtbl = {app_query, app_add_ref, app_release, app_get_name, app_create_instance};

} // namespace

MemoryStream::MemoryStream() : iface{&k_stream_vtbl} {}
MemoryStream::MemoryStream(std::vector<uint8_t> bytes) : iface{&k_stream_vtbl}, data(std::move(bytes)) {}

HostChanges::HostChanges() : iface{&k_changes_vtbl} {}

HostQueue &HostChanges::add(ParamID id, std::vector<std::pair<int32_t, double>> points)
{
    queues.push_back(HostQueue{{&k_queue_vtbl}, id, std::move(points)});
    return queues.back();
}

const HostQueue *HostChanges::find(ParamID id) const
{
    for (const HostQueue &q : queues)
        if (q.id == id)
            return &q;
    return nullptr;
}

RecordingHandler::RecordingHandler() : iface{&k_handler_vtbl}, menus{{&k_menus_vtbl}, this} {}
HostApplication::HostApplication() : iface{&k_app_vtbl} {}

MonoBlock::MonoBlock(int32_t n, float fill_in)
    : in(static_cast<size_t>(n > 0 ? n : 1), fill_in), out(static_cast<size_t>(n > 0 ? n : 1), 0.0f)
{
    in_ch[0] = in.data();
    out_ch[0] = out.data();
    in_bus.numChannels = 1;
    in_bus.channelBuffers32 = in_ch;
    out_bus.numChannels = 1;
    out_bus.channelBuffers32 = out_ch;
    data.processMode = kRealtime;
    data.symbolicSampleSize = kSample32;
    data.numSamples = n;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &in_bus;
    data.outputs = &out_bus;
}

std::u16string u16(const char *s)
{
    std::u16string r;
    for (; *s; ++s)
        r.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return r;
}

std::string narrow(const char16_t *s)
{
    std::string r;
    for (; *s; ++s)
        r.push_back(*s < 128 ? static_cast<char>(*s) : '?');
    return r;
}
