// Flush-to-zero and denormals-are-zero for the duration of an audio call;
// only those two MXCSR bits are touched and restored.
#pragma once
#include <cstdint>
#include <xmmintrin.h>

constexpr uint32_t FP_MODE_FTZ = 0x8000u;
constexpr uint32_t FP_MODE_DAZ = 0x0040u;

// [audio] Returns the previous state of the two bits.
inline uint32_t fp_mode_flush_denormals(void)
{
    const uint32_t csr = _mm_getcsr();
    _mm_setcsr(csr | FP_MODE_FTZ | FP_MODE_DAZ);
    return csr & (FP_MODE_FTZ | FP_MODE_DAZ);
}

// [audio] Puts back just the two bits saved by fp_mode_flush_denormals.
inline void fp_mode_restore(uint32_t saved) { _mm_setcsr((_mm_getcsr() & ~(FP_MODE_FTZ | FP_MODE_DAZ)) | saved); }
