// The engine's algorithm written out sample by sample, with nothing hoisted
// or vectorised: the oracle the engine must match bit for bit.
#pragma once
#include <vector>

std::vector<float> reference_render(float fs, float cutoff, float amt, float speed, float ref_cutoff,
                                    const std::vector<float> &in);
