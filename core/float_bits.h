// A float's bit pattern and back: the page messages carry values as bits, the
// state document stores them little-endian, and the engine's fast maths works
// on the exponent and mantissa.
#pragma once
#include <cstdint>
#include <cstring>

inline uint32_t float_bits(float v)
{
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

inline float float_from_bits(uint32_t b)
{
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}
