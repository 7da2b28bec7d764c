// The loudness of one frame with the model's elementary functions computed
// over vector lanes (SLEEF): the base-10 logarithm of the band powers and
// the two powers of the loudness law. Everything else is the literal
// frame's. The doubles of those functions differ from libm's in the last
// bits now and then; rounded to the model's floats they practically never
// do, so a frame's total stays within 1e-9 of the literal one.
#pragma once

#include <cstdint>

#include "generalstruct.h"

namespace vx {

// Same contract and state record as SpezLautheitByFFT; a record serves one
// kind of frame only, never both.
void SpezLautheitByFFTFast(const float* frame, int32_t frameLen, float* specLoud, int32_t nBands,
                           int32_t hop, float sampleRate, float fLow, float fHigh,
                           float levelOffset, generalstruct& gs);

// Where the elementary functions come from. kLibm gives the literal frame's
// floats exactly.
enum class FastKernel { kLibm, kSse2, kAvx2, kAvx512 };

// The best this machine has (AVX-512 with the F and DQ sets, else AVX2,
// else SSE2 on x86, else libm), which SpezLautheitByFFTFast uses.
FastKernel BestFastKernel();
bool FastKernelRuns(FastKernel kernel);
const char* FastKernelName(FastKernel kernel);

// SpezLautheitByFFTFast with a chosen kernel; one that cannot run here falls
// back to libm.
void SpezLautheitByFFTFastWith(FastKernel kernel, const float* frame, int32_t frameLen,
                               float* specLoud, int32_t nBands, int32_t hop, float sampleRate,
                               float fLow, float fHigh, float levelOffset, generalstruct& gs);

}  // namespace vx
