// Flush-to-zero and denormals-are-zero for the duration of an audio call;
// only those two MXCSR bits are touched and restored.
//
// Writing MXCSR stalls the processor until the floating-point work in flight
// is done, which at small blocks costs more than the samples. Both functions
// therefore write only when the bits are not already as wanted: a caller that
// set them (the VST3 process around the engine, or a host that runs its audio
// thread flushed) pays for two reads.
#pragma once
#include <cstdint>
#include <xmmintrin.h>

constexpr uint32_t FP_MODE_FTZ = 0x8000u;
constexpr uint32_t FP_MODE_DAZ = 0x0040u;

// [audio] Returns the previous state of the two bits.
inline uint32_t fp_mode_flush_denormals(void)
{
    const uint32_t csr = _mm_getcsr();
    const uint32_t flushed = csr | FP_MODE_FTZ | FP_MODE_DAZ;
    if (flushed != csr)
        _mm_setcsr(flushed);
    return csr & (FP_MODE_FTZ | FP_MODE_DAZ);
}

// [audio] Puts back just the two bits saved by fp_mode_flush_denormals.
inline void fp_mode_restore(uint32_t saved)
{
    const uint32_t csr = _mm_getcsr();
    const uint32_t restored = (csr & ~(FP_MODE_FTZ | FP_MODE_DAZ)) | saved;
    if (restored != csr)
        _mm_setcsr(restored);
}
