// The stage-by-stage engine kept as a reference for the fused one.
#pragma once
#include "core/filter_engine.h"

#include <cstdint>

// [audio] engine_process, one stage over the whole chunk at a time.
void stagewise_process(FilterEngine *e, const float *in, float *out, uint32_t n);
