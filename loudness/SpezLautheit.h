// Specific loudness of Bark-spaced bands for one frame of mono samples.
#pragma once

#include <cstdint>

#include "generalstruct.h"

namespace vx {

// frame: at least fftSize samples (full scale 1.0); frameLen fixes fftSize on
// the first call only. specLoud receives nBands + 1 values; the total
// loudness in sone is the sum of the first nBands. The first call fixes the
// run's parameters; later calls with other parameters print a warning and
// use the first ones. No memory is obtained after the first call.
void SpezLautheitByFFT(const float* frame, int32_t frameLen, float* specLoud, int32_t nBands,
                       int32_t hop, float sampleRate, float fLow, float fHigh, float levelOffset,
                       generalstruct& gs);

// The steps of one frame, in calling order after the windowed spectrum.
void BarkBandsByFFT(const float* spectrum, int32_t n, int32_t stride, float* bandPower,
                    int32_t nBands, float sampleRate, float fLow, float fHigh, generalstruct& gs);
void LinToDB(float* values, int32_t count, int32_t stride);
void CalcMithoerschw(float* levels, int32_t nBands, int32_t hop, float sampleRate, float fLow,
                     float fHigh, float levelOffset, generalstruct& gs);
void CalcSpezLautheit(float* values, int32_t nBands, float sampleRate, float fLow, float fHigh,
                      float levelOffset, generalstruct& gs);

}  // namespace vx
