// The audio processor: IComponent, IAudioProcessor,
// IProcessContextRequirements and IConnectionPoint on one object.
#pragma once
#include "../core/filter_engine.h"
#include "../core/param_sync.h"
#include "vst3_abi.h"

struct Vst3Processor {
    // One table pointer per interface; the object's address is its IComponent.
    IComponent component;
    IAudioProcessor audio;
    IProcessContextRequirements context_requirements;
    IConnectionPoint connection;
    int32_t ref_count;      // plain: hosts make every set-up call on one thread
    FUnknown *host_context; // not counted; null = not initialized
    FilterEngine engine;
    float state_sample_rate; // of the last activation; saved with the state
    float setup_sample_rate; // of the last setupProcessing
    // Received and applied values, the lock and its two flags.
    ParamSync sync;
    float last_sent_mod_cutoff;
    bool buses_usable; // both buses were active at the last activation
    bool input_bus_active;
    bool output_bus_active;
};

Vst3Processor *processor_from_component(IComponent *c);
