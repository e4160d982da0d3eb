// The audio processor. The host's main thread sets up, activates, saves and
// restores; the audio thread runs process(). Parameter values cross between
// them through the ParamSync lock, which the audio thread only ever tries.
#include "processor.h"

#include "../core/fp_mode.h"
#include "../state/state_doc.h"
#include "vst3_module.h"
#include "vst3_stream.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

template <typename T> Vst3Processor *from(T *iface, size_t offset)
{
    return reinterpret_cast<Vst3Processor *>(reinterpret_cast<char *>(iface) - offset);
}

Vst3Processor *from_audio(IAudioProcessor *a) { return from(a, offsetof(Vst3Processor, audio)); }
Vst3Processor *from_requirements(IProcessContextRequirements *r)
{
    return from(r, offsetof(Vst3Processor, context_requirements));
}
Vst3Processor *from_connection(IConnectionPoint *c) { return from(c, offsetof(Vst3Processor, connection)); }

// A double that does not fit a float becomes the infinity of its sign
// instead of an undefined conversion.
float to_float(double v)
{
    if (v > FLT_MAX)
        return INFINITY;
    if (v < -FLT_MAX)
        return -INFINITY;
    return static_cast<float>(v);
}

// [main] The state after creation and after every initialize.
void processor_setup(Vst3Processor *p)
{
    engine_construct(&p->engine);
    const float defaults[PARAM_INPUT_COUNT] = {
        static_cast<float>(k_params[PARAM_CUTOFF].def),
        static_cast<float>(k_params[PARAM_LFO_AMT].def),
        static_cast<float>(k_params[PARAM_LFO_SPEED].def),
    };
    param_sync_init(&p->sync, defaults);
    p->state_sample_rate = 0.0f;
    p->setup_sample_rate = 0.0f;
    p->last_sent_mod_cutoff = static_cast<float>(k_params[PARAM_MOD_CUTOFF].def);
    p->buses_usable = false;
    p->input_bus_active = false;
    p->output_bus_active = false;
}

bool bus_args_ok(MediaType type, BusDirection dir, int32_t index)
{
    return type == kAudio && index == 0 && (dir == kInput || dir == kOutput);
}

// ---- shared FUnknown ------------------------------------------------------------

tresult query(Vst3Processor *p, const char *iid, void **obj)
{
    if (!obj)
        return kInvalidArgument;
    void *found = nullptr;
    if (vst3_uid_equal(iid, IID_FUnknown) || vst3_uid_equal(iid, IID_IPluginBase) ||
        vst3_uid_equal(iid, IID_IComponent))
        found = &p->component;
    else if (vst3_uid_equal(iid, IID_IAudioProcessor))
        found = &p->audio;
    else if (vst3_uid_equal(iid, IID_IProcessContextRequirements))
        found = &p->context_requirements;
    else if (vst3_uid_equal(iid, IID_IConnectionPoint))
        found = &p->connection;
    *obj = found;
    if (!found)
        return kNoInterface;
    ++p->ref_count;
    return kResultOk;
}

uint32_t add_ref(Vst3Processor *p) { return static_cast<uint32_t>(++p->ref_count); }

uint32_t release(Vst3Processor *p)
{
    int32_t n = --p->ref_count;
    if (n <= 0) {
        // The host context is not ours to release.
        p->~Vst3Processor();
        std::free(p);
        return 0;
    }
    return static_cast<uint32_t>(n);
}

// ---- IComponent -------------------------------------------------------------------

tresult comp_query_interface(IComponent *self, const char *iid, void **obj)
{
    return query(processor_from_component(self), iid, obj);
}
uint32_t comp_add_ref(IComponent *self) { return add_ref(processor_from_component(self)); }
uint32_t comp_release(IComponent *self) { return release(processor_from_component(self)); }

tresult comp_initialize(IComponent *self, FUnknown *context)
{
    Vst3Processor *p = processor_from_component(self);
    if (p->host_context)
        return kResultFalse;
    p->host_context = context;
    processor_setup(p);
    return kResultOk;
}

tresult comp_terminate(IComponent *self)
{
    processor_from_component(self)->host_context = nullptr;
    return kResultOk;
}

tresult comp_get_controller_class_id(IComponent *, char *class_id)
{
    if (!class_id)
        return kResultFalse;
    std::memcpy(class_id, k_controller_cid.b, 16);
    return kResultOk;
}

tresult comp_set_io_mode(IComponent *, IoMode) { return kNotImplemented; }

int32_t comp_get_bus_count(IComponent *, MediaType type, BusDirection dir)
{
    return type == kAudio && (dir == kInput || dir == kOutput) ? 1 : 0;
}

tresult comp_get_bus_info(IComponent *, MediaType type, BusDirection dir, int32_t index, BusInfo *bus)
{
    if (!bus_args_ok(type, dir, index) || !bus)
        return kInvalidArgument;
    // Every byte is written, so repeated calls give identical records.
    std::memset(bus, 0, sizeof *bus);
    bus->mediaType = kAudio;
    bus->direction = dir;
    bus->channelCount = 1;
    const char *name = dir == kInput ? "Input" : "Output";
    for (size_t i = 0; name[i]; ++i)
        bus->name[i] = static_cast<char16>(name[i]);
    bus->busType = kMain;
    bus->flags = kDefaultActive;
    return kResultOk;
}

tresult comp_get_routing_info(IComponent *, RoutingInfo *, RoutingInfo *) { return kNotImplemented; }

tresult comp_activate_bus(IComponent *self, MediaType type, BusDirection dir, int32_t index, TBool state)
{
    if (!bus_args_ok(type, dir, index))
        return kInvalidArgument;
    Vst3Processor *p = processor_from_component(self);
    (dir == kInput ? p->input_bus_active : p->output_bus_active) = state != 0;
    return kResultOk;
}

tresult comp_set_active(IComponent *self, TBool state)
{
    Vst3Processor *p = processor_from_component(self);
    if (!state)
        return kResultOk;
    p->buses_usable = p->input_bus_active && p->output_bus_active;
    const float rate = p->setup_sample_rate;
    // getState may read the engine's values on another thread meanwhile.
    param_sync_lock(&p->sync);
    engine_init(&p->engine, rate); // copes with a host that never set a rate
    engine_reset(&p->engine, engine_get_param(&p->engine, PARAM_CUTOFF), engine_get_param(&p->engine, PARAM_LFO_AMT),
                 engine_get_param(&p->engine, PARAM_LFO_SPEED));
    param_sync_unlock(&p->sync);
    p->state_sample_rate = rate;
    return kResultOk;
}

tresult comp_set_state(IComponent *self, IBStream *stream)
{
    Vst3Processor *p = processor_from_component(self);
    uint8_t *blob = nullptr;
    size_t len = 0;
    if (!stream_read_all(stream, &blob, &len))
        return kResultFalse;
    // begin takes the lock, set quantises into the applied values and marks
    // them pending, end releases it; the audio thread picks them up.
    state_sink sink{&p->sync, param_sync_sink_begin, param_sync_sink_end, param_sync_sink_set};
    int r = state_load(&sink, blob, len);
    std::free(blob);
    return r == 0 ? kResultOk : kResultFalse;
}

tresult comp_get_state(IComponent *self, IBStream *stream)
{
    Vst3Processor *p = processor_from_component(self);
    if (!stream)
        return kResultFalse;
    float rate = p->state_sample_rate;
    float values[PARAM_INPUT_COUNT];
    param_sync_read_engine(&p->sync, &p->engine, values);
    size_t size = 0;
    uint8_t *blob = state_save("vst3", rate, values[0], values[1], values[2], &size);
    if (!blob)
        return kResultFalse;
    bool ok = stream_write_all(stream, blob, size);
    std::free(blob);
    return ok ? kResultOk : kResultFalse;
}

const IComponentVtbl k_component_vtbl = {
    comp_query_interface, comp_add_ref,           comp_release,      comp_initialize,
    comp_terminate,       comp_get_controller_class_id, comp_set_io_mode, comp_get_bus_count,
    comp_get_bus_info,    comp_get_routing_info,  comp_activate_bus, comp_set_active,
    comp_set_state,       comp_get_state,
};

// ---- IAudioProcessor ----------------------------------------------------------------

tresult audio_query_interface(IAudioProcessor *self, const char *iid, void **obj)
{
    return query(from_audio(self), iid, obj);
}
uint32_t audio_add_ref(IAudioProcessor *self) { return add_ref(from_audio(self)); }
uint32_t audio_release(IAudioProcessor *self) { return release(from_audio(self)); }

tresult audio_set_bus_arrangements(IAudioProcessor *, SpeakerArrangement *inputs, int32_t num_ins,
                                   SpeakerArrangement *outputs, int32_t num_outs)
{
    if (num_ins < 0 || num_outs < 0)
        return kInvalidArgument;
    if (num_ins == 1 && num_outs == 1 && inputs && outputs && inputs[0] == kSpeakerArrMono &&
        outputs[0] == kSpeakerArrMono)
        return kResultTrue;
    return kResultFalse;
}

tresult audio_get_bus_arrangement(IAudioProcessor *, BusDirection dir, int32_t index, SpeakerArrangement *arr)
{
    if ((dir != kInput && dir != kOutput) || index != 0 || !arr)
        return kInvalidArgument;
    *arr = kSpeakerArrMono;
    return kResultOk;
}

tresult audio_can_process_sample_size(IAudioProcessor *, int32_t size)
{
    return size == kSample32 ? kResultTrue : kNotImplemented;
}

uint32_t audio_get_latency_samples(IAudioProcessor *) { return 0; }

tresult audio_setup_processing(IAudioProcessor *self, ProcessSetup *setup)
{
    if (!setup)
        return kInvalidArgument;
    from_audio(self)->setup_sample_rate = to_float(setup->sampleRate);
    return kResultOk;
}

tresult audio_set_processing(IAudioProcessor *, TBool) { return kNotImplemented; }

// [audio] Takes point 0 (at_start) or the last point (at the end) of every
// input queue for Cutoff, LFO Amount and LFO Speed.
void param_intake(Vst3Processor *p, const ProcessData *data, bool at_start)
{
    bool locked = param_sync_audio_begin(&p->sync, &p->engine);
    IParameterChanges *changes = data->inputParameterChanges;
    int32_t count = changes ? changes->vtbl->getParameterCount(changes) : 0;
    for (int32_t i = 0; i < count; ++i) {
        IParamValueQueue *q = changes->vtbl->getParameterData(changes, i);
        if (!q)
            continue;
        // Queues for ids that are not ours may be left half set up by hosts:
        // read nothing else from them.
        const ParamDesc *d = param_by_id(q->vtbl->getParameterId(q));
        if (!d || d->is_output)
            continue;
        int32_t n = q->vtbl->getPointCount(q);
        if (n <= 0)
            continue;
        int32_t offset = 0;
        ParamValue value = 0.0;
        if (q->vtbl->getPoint(q, at_start ? 0 : n - 1, &offset, &value) != kResultOk)
            continue;
        if (at_start ? offset != 0 : offset <= 0)
            continue;
        // NaN has no place in the engine's register arithmetic.
        if (std::isnan(value))
            continue;
        float plain = static_cast<float>(param_quantize(d, param_norm_to_plain(d, value)));
        param_sync_audio_take(&p->sync, &p->engine, locked, static_cast<uint32_t>(d->index), plain);
    }
    param_sync_audio_end(&p->sync, locked);
}

// Channel 0 of bus 0 in each direction, when the host passed them.
bool main_channels(const ProcessData *data, const float **in, float **out)
{
    if (data->numInputs < 1 || data->numOutputs < 1 || !data->inputs || !data->outputs)
        return false;
    const AudioBusBuffers &ib = data->inputs[0];
    const AudioBusBuffers &ob = data->outputs[0];
    if (ib.numChannels < 1 || ob.numChannels < 1 || !ib.channelBuffers32 || !ob.channelBuffers32)
        return false;
    *in = ib.channelBuffers32[0];
    *out = ob.channelBuffers32[0];
    return *in && *out;
}

void zero_outputs(const ProcessData *data, int32_t n)
{
    if (n <= 0 || !data->outputs)
        return;
    for (int32_t b = 0; b < data->numOutputs; ++b) {
        const AudioBusBuffers &bus = data->outputs[b];
        if (!bus.channelBuffers32)
            continue;
        for (int32_t c = 0; c < bus.numChannels; ++c)
            if (bus.channelBuffers32[c])
                std::memset(bus.channelBuffers32[c], 0, static_cast<size_t>(n) * sizeof(float));
    }
}

// [audio] One point per change of the modulated cutoff register.
void report_mod_cutoff(Vst3Processor *p, const ProcessData *data, int32_t n)
{
    uint8_t reg = engine_get_mod_cutoff(&p->engine);
    if (static_cast<float>(reg) == p->last_sent_mod_cutoff)
        return;
    // Counts as sent even when the host takes no output changes.
    p->last_sent_mod_cutoff = static_cast<float>(reg);
    IParameterChanges *out = data->outputParameterChanges;
    if (!out)
        return;
    ParamID id = PARAM_ID_MOD_CUTOFF;
    int32_t queue_index = 0;
    IParamValueQueue *q = out->vtbl->addParameterData(out, &id, &queue_index);
    if (!q)
        return;
    int32_t point_index = 0;
    // A block of 0 samples still needs an offset inside the block.
    q->vtbl->addPoint(q, n > 0 ? n - 1 : 0, reg / 255.0, &point_index);
}

tresult audio_process(IAudioProcessor *self, ProcessData *data)
{
    if (!data)
        return kInvalidArgument;
    Vst3Processor *p = from_audio(self);
    const uint32_t fp_saved = fp_mode_flush_denormals();

    param_intake(p, data, true);
    int32_t n = data->numSamples > 0 ? data->numSamples : 0;
    const float *in = nullptr;
    float *out = nullptr;
    if (p->buses_usable && main_channels(data, &in, &out)) {
        if (n > 0)
            engine_process(&p->engine, in, out, static_cast<uint32_t>(n));
    } else {
        zero_outputs(data, n);
    }
    param_intake(p, data, false);
    report_mod_cutoff(p, data, n);

    fp_mode_restore(fp_saved);
    return kResultOk;
}

uint32_t audio_get_tail_samples(IAudioProcessor *) { return kNoTail; }

const IAudioProcessorVtbl k_audio_vtbl = {
    audio_query_interface,     audio_add_ref,           audio_release,
    audio_set_bus_arrangements, audio_get_bus_arrangement, audio_can_process_sample_size,
    audio_get_latency_samples, audio_setup_processing,  audio_set_processing,
    audio_process,             audio_get_tail_samples,
};

// ---- IProcessContextRequirements ------------------------------------------------------

tresult req_query_interface(IProcessContextRequirements *self, const char *iid, void **obj)
{
    return query(from_requirements(self), iid, obj);
}
uint32_t req_add_ref(IProcessContextRequirements *self) { return add_ref(from_requirements(self)); }
uint32_t req_release(IProcessContextRequirements *self) { return release(from_requirements(self)); }
uint32_t req_get(IProcessContextRequirements *) { return 0; }

const IProcessContextRequirementsVtbl k_requirements_vtbl = {req_query_interface, req_add_ref, req_release,
                                                              req_get};

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

Vst3Processor *processor_from_component(IComponent *c)
{
    return reinterpret_cast<Vst3Processor *>(c); // first member
}

IComponent *processor_create(void)
{
    void *mem = std::malloc(sizeof(Vst3Processor));
    if (!mem)
        return nullptr;
    Vst3Processor *p = new (mem) Vst3Processor{};
    p->component.vtbl = &k_component_vtbl;
    p->audio.vtbl = &k_audio_vtbl;
    p->context_requirements.vtbl = &k_requirements_vtbl;
    p->connection.vtbl = &k_connection_vtbl;
    p->ref_count = 1;
    p->host_context = nullptr;
    // Safe defaults even for hosts that call before initialize.
    processor_setup(p);
    return &p->component;
}
