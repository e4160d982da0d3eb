// Test helpers that drive a FilterEngine the way the front ends do.
#pragma once
#include "core/filter_engine.h"

#include <vector>

// A constructed engine at `fs`, reset with the three values.
FilterEngine probe_engine(float fs, float cutoff, float amt, float speed);
// Runs `in` through the engine in blocks of `block` samples.
std::vector<float> probe_render(FilterEngine *e, const std::vector<float> &in, unsigned block);
// Steady-state gain of the whole chain for a small sine at `hz`.
double probe_sine_gain(const FilterEngine &e, double hz);
// Deterministic test signal: a saw plus pseudo-random noise.
std::vector<float> probe_signal(unsigned n, unsigned seed);
