// The audio processor: IComponent, IAudioProcessor,
// IProcessContextRequirements and IConnectionPoint on one object.
#pragma once
#include "plugin/instance.h"
#include "vst3_abi.h"

struct Vst3Processor {
    // One table pointer per interface; the object's address is its IComponent.
    IComponent component;
    IAudioProcessor audio;
    IProcessContextRequirements context_requirements;
    IConnectionPoint connection;
    int32_t ref_count;      // plain: hosts make every set-up call on one thread
    FUnknown *host_context; // not counted; null = not initialized
    // The engine, the state lock with the received and applied values, and
    // the rate of the last activation, which is saved with the state.
    PluginInstance inst;
    float setup_sample_rate; // of the last setupProcessing
    int32_t max_block;       // maxSamplesPerBlock of the last setupProcessing; 0 = none announced
    float last_sent_mod_cutoff;
    bool buses_usable; // both buses were active at the last activation
    bool input_bus_active;
    bool output_bus_active;
};

Vst3Processor *processor_from_component(IComponent *c);
