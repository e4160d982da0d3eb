// The audio processor. The host's main thread sets up, activates, saves and
// restores; the audio thread runs process(). Parameter values cross between
// them through the ParamSync lock, which the audio thread only ever tries.
#include "processor.h"

#include "core/fp_mode.h"
#include "vst3_module.h"
#include "vst3_object.h"
#include "vst3_stream.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

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
    instance_construct(&p->inst);
    p->setup_sample_rate = 0.0f;
    p->max_block = 0;
    p->last_sent_mod_cutoff = param_default(PARAM_MOD_CUTOFF);
    p->buses_usable = false;
    p->input_bus_active = false;
    p->output_bus_active = false;
}

bool bus_args_ok(MediaType type, BusDirection dir, int32_t index)
{
    return type == kAudio && index == 0 && (dir == kInput || dir == kOutput);
}

// ---- objects and their interfaces --------------------------------------------------

void processor_destroy(void *object)
{
    // The host context is not ours to release.
    Vst3Processor *p = static_cast<Vst3Processor *>(object);
    p->~Vst3Processor();
    std::free(p);
}

const Vst3InterfaceRow k_processor_rows[] = {
    {&IID_IComponent, offsetof(Vst3Processor, component)},
    {&IID_IAudioProcessor, offsetof(Vst3Processor, audio)},
    {&IID_IProcessContextRequirements, offsetof(Vst3Processor, context_requirements)},
    {&IID_IConnectionPoint, offsetof(Vst3Processor, connection)},
};
const Vst3Class k_processor_class = {k_processor_rows, sizeof k_processor_rows / sizeof k_processor_rows[0], true,
                                     offsetof(Vst3Processor, ref_count), processor_destroy};

using ComponentUnknown = Vst3Unknown<IComponent, offsetof(Vst3Processor, component), &k_processor_class>;
using AudioUnknown = Vst3Unknown<IAudioProcessor, offsetof(Vst3Processor, audio), &k_processor_class>;
using RequirementsUnknown =
    Vst3Unknown<IProcessContextRequirements, offsetof(Vst3Processor, context_requirements), &k_processor_class>;
using ConnectionUnknown = Vst3Unknown<IConnectionPoint, offsetof(Vst3Processor, connection), &k_processor_class>;

Vst3Processor *from_audio(IAudioProcessor *a) { return static_cast<Vst3Processor *>(AudioUnknown::object(a)); }

// ---- IComponent -------------------------------------------------------------------

// [main] Never blocks.
tresult comp_initialize(IComponent *self, FUnknown *context)
{
    Vst3Processor *p = processor_from_component(self);
    if (!vst3_base_initialize(&p->host_context, context))
        return kResultFalse;
    processor_setup(p);
    return kResultOk;
}

// [main] Never blocks.
tresult comp_terminate(IComponent *self) { return vst3_base_terminate(&processor_from_component(self)->host_context); }

// [main] Never blocks.
tresult comp_get_controller_class_id(IComponent *, char *class_id)
{
    if (!class_id)
        return kResultFalse;
    std::memcpy(class_id, k_controller_cid.b, 16);
    return kResultOk;
}

// [main] Never blocks.
tresult comp_set_io_mode(IComponent *, IoMode) { return kNotImplemented; }

// [main] Never blocks.
int32_t comp_get_bus_count(IComponent *, MediaType type, BusDirection dir)
{
    return type == kAudio && (dir == kInput || dir == kOutput) ? 1 : 0;
}

// [main] Never blocks.
tresult comp_get_bus_info(IComponent *, MediaType type, BusDirection dir, int32_t index, BusInfo *bus)
{
    if (!bus_args_ok(type, dir, index) || !bus)
        return kInvalidArgument;
    // Every byte is written, so repeated calls give identical records.
    std::memset(bus, 0, sizeof *bus);
    bus->mediaType = kAudio;
    bus->direction = dir;
    bus->channelCount = 1;
    vst3_copy(bus->name, dir == kInput ? "Input" : "Output");
    bus->busType = kMain;
    bus->flags = kDefaultActive;
    return kResultOk;
}

// [main] Never blocks.
tresult comp_get_routing_info(IComponent *, RoutingInfo *, RoutingInfo *) { return kNotImplemented; }

// [main] Never blocks.
tresult comp_activate_bus(IComponent *self, MediaType type, BusDirection dir, int32_t index, TBool state)
{
    if (!bus_args_ok(type, dir, index))
        return kInvalidArgument;
    Vst3Processor *p = processor_from_component(self);
    (dir == kInput ? p->input_bus_active : p->output_bus_active) = state != 0;
    return kResultOk;
}

// [main] Never while processing. May block briefly: a save may hold the state lock.
tresult comp_set_active(IComponent *self, TBool state)
{
    Vst3Processor *p = processor_from_component(self);
    if (!state)
        return kResultOk;
    p->buses_usable = p->input_bus_active && p->output_bus_active;
    instance_reactivate(&p->inst, p->setup_sample_rate);
    return kResultOk;
}

// [any but audio] May block briefly for the state lock; may run during process().
tresult comp_set_state(IComponent *self, IBStream *stream)
{
    Vst3Processor *p = processor_from_component(self);
    uint8_t *blob = nullptr;
    size_t len = 0;
    if (!stream_read_all(stream, &blob, &len))
        return kResultFalse;
    // The restored values wait for the audio thread, which picks them up at
    // the next block that finds the lock free.
    const bool ok = instance_restore(&p->inst, blob, len);
    std::free(blob);
    return ok ? kResultOk : kResultFalse;
}

// [any but audio] May block briefly for the state lock; may run during process().
tresult comp_get_state(IComponent *self, IBStream *stream)
{
    Vst3Processor *p = processor_from_component(self);
    if (!stream)
        return kResultFalse;
    size_t size = 0;
    uint8_t *blob = instance_save(&p->inst, "vst3", &size);
    if (!blob)
        return kResultFalse;
    bool ok = stream_write_all(stream, blob, size);
    std::free(blob);
    return ok ? kResultOk : kResultFalse;
}

const IComponentVtbl k_component_vtbl = {
    ComponentUnknown::query_interface,
    ComponentUnknown::add_ref,
    ComponentUnknown::release,
    comp_initialize,
    comp_terminate,
    comp_get_controller_class_id,
    comp_set_io_mode,
    comp_get_bus_count,
    comp_get_bus_info,
    comp_get_routing_info,
    comp_activate_bus,
    comp_set_active,
    comp_set_state,
    comp_get_state,
};

// ---- IAudioProcessor ----------------------------------------------------------------

// [main] Never blocks.
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

// [main] Never blocks.
tresult audio_get_bus_arrangement(IAudioProcessor *, BusDirection dir, int32_t index, SpeakerArrangement *arr)
{
    if ((dir != kInput && dir != kOutput) || index != 0 || !arr)
        return kInvalidArgument;
    *arr = kSpeakerArrMono;
    return kResultOk;
}

// [main] Never blocks.
tresult audio_can_process_sample_size(IAudioProcessor *, int32_t size)
{
    return size == kSample32 ? kResultTrue : kNotImplemented;
}

// [main] Never blocks.
uint32_t audio_get_latency_samples(IAudioProcessor *) { return 0; }

// [main] Never blocks.
tresult audio_setup_processing(IAudioProcessor *self, ProcessSetup *setup)
{
    if (!setup)
        return kInvalidArgument;
    Vst3Processor *p = from_audio(self);
    p->setup_sample_rate = to_float(setup->sampleRate);
    p->max_block = setup->maxSamplesPerBlock > 0 ? setup->maxSamplesPerBlock : 0;
    return kResultOk;
}

// [main] Never blocks.
tresult audio_set_processing(IAudioProcessor *, TBool) { return kNotImplemented; }

// [audio] Takes point 0 (at_start) or the last point (at the end) of every
// input queue for Cutoff, LFO Amount and LFO Speed; of two queues for one
// parameter the later wins.
void param_intake(Vst3Processor *p, const ProcessData *data, bool at_start)
{
    float values[PARAM_INPUT_COUNT] = {};
    bool has[PARAM_INPUT_COUNT] = {};
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
        values[d->index] = static_cast<float>(param_quantize(d, param_norm_to_plain(d, value)));
        has[d->index] = true;
    }
    instance_audio_hand_over(&p->inst, values, has);
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

// Silence in the one mono output bus we declared: a host that claims more
// buses or channels than that has not promised any memory behind them.
void zero_outputs(const ProcessData *data, int32_t n)
{
    if (n <= 0 || !data->outputs || data->numOutputs < 1)
        return;
    const AudioBusBuffers &bus = data->outputs[0];
    if (bus.numChannels >= 1 && bus.channelBuffers32 && bus.channelBuffers32[0])
        std::memset(bus.channelBuffers32[0], 0, static_cast<size_t>(n) * sizeof(float));
}

// [audio] One point per change of the modulated cutoff register.
void report_mod_cutoff(Vst3Processor *p, const ProcessData *data, int32_t n)
{
    uint8_t reg = engine_get_mod_cutoff(&p->inst.engine);
    if (static_cast<float>(reg) == p->last_sent_mod_cutoff)
        return;
    // Counts as sent even when the host takes no output changes.
    p->last_sent_mod_cutoff = static_cast<float>(reg);
    IParameterChanges *out = data->outputParameterChanges;
    if (!out)
        return;
    ParamID id = k_params[PARAM_MOD_CUTOFF].vst3_id;
    int32_t queue_index = 0;
    IParamValueQueue *q = out->vtbl->addParameterData(out, &id, &queue_index);
    if (!q)
        return;
    int32_t point_index = 0;
    // A block of 0 samples still needs an offset inside the block.
    q->vtbl->addPoint(q, n > 0 ? n - 1 : 0, param_plain_to_norm(&k_params[PARAM_MOD_CUTOFF], reg), &point_index);
}

// [audio] Never blocks, allocates or calls the system.
tresult audio_process(IAudioProcessor *self, ProcessData *data)
{
    if (!data)
        return kInvalidArgument;
    Vst3Processor *p = from_audio(self);
    const uint32_t fp_saved = fp_mode_flush_denormals();

    param_intake(p, data, true);
    int32_t n = data->numSamples > 0 ? data->numSamples : 0;
    // A block longer than setupProcessing allowed may come with buffers of
    // the announced length only: it is not processed, and no more than that
    // length is written.
    const bool oversized = p->max_block > 0 && n > p->max_block;
    if (oversized)
        n = p->max_block;
    const float *in = nullptr;
    float *out = nullptr;
    if (p->buses_usable && !oversized && main_channels(data, &in, &out)) {
        if (n > 0)
            engine_process(&p->inst.engine, in, out, static_cast<uint32_t>(n));
    } else {
        zero_outputs(data, n);
    }
    param_intake(p, data, false);
    report_mod_cutoff(p, data, n);

    fp_mode_restore(fp_saved);
    return kResultOk;
}

// [main] Never blocks.
uint32_t audio_get_tail_samples(IAudioProcessor *) { return kNoTail; }

const IAudioProcessorVtbl k_audio_vtbl = {
    AudioUnknown::query_interface, AudioUnknown::add_ref,
    AudioUnknown::release,         audio_set_bus_arrangements,
    audio_get_bus_arrangement,     audio_can_process_sample_size,
    audio_get_latency_samples,     audio_setup_processing,
    audio_set_processing,          audio_process,
    audio_get_tail_samples,
};

// ---- IProcessContextRequirements ------------------------------------------------------

// [main] Never blocks.
uint32_t req_get(IProcessContextRequirements *) { return 0; }

const IProcessContextRequirementsVtbl k_requirements_vtbl = {
    RequirementsUnknown::query_interface, RequirementsUnknown::add_ref, RequirementsUnknown::release, req_get};

} // namespace

Vst3Processor *processor_from_component(IComponent *c)
{
    return reinterpret_cast<Vst3Processor *>(c); // first member
}

// [main] Never blocks.
IComponent *processor_create(void)
{
    void *mem = std::malloc(sizeof(Vst3Processor));
    if (!mem)
        return nullptr;
    Vst3Processor *p = new (mem) Vst3Processor{};
    p->component.vtbl = &k_component_vtbl;
    p->audio.vtbl = &k_audio_vtbl;
    p->context_requirements.vtbl = &k_requirements_vtbl;
    p->connection.vtbl = &vst3_noop_connection_vtbl<ConnectionUnknown>;
    p->ref_count = 1;
    p->host_context = nullptr;
    // Safe defaults even for hosts that call before initialize.
    processor_setup(p);
    return &p->component;
}
