// Windowed spectrum: Kaiser window (beta = 2*pi, summing to 2), real FFT,
// power or magnitude per bin and optionally the phase.
#pragma once

#include <cstdint>

#include "generalstruct.h"

namespace vx {

// input: n samples; output: n + 2 floats, (value, second value) per bin
// 0 .. n/2. magnitude == 0 gives power, otherwise magnitude; phase != 0
// replaces the imaginary part by the phase. The window is built on the first
// call for its n and reused by every later call on the record.
void WinFFTBetragPhase(const float* input, float* output, int32_t n, int32_t magnitude,
                       int32_t phase, generalstruct& gs);

void KaiserWindow(int32_t nf, float* output, int32_t count, int32_t odd, float beta);
double BesselI0(float x);

namespace detail {
// The window and the outer-ear weighting use the widest lanes of floats the
// machine has: 16 with AVX-512, 8 with AVX2, else 4. This narrows them to at
// most `widest` for every later call (16 restores the machine's), so that a
// test can try each width; returns the width now in use.
int32_t NarrowSpectrumLanes(int32_t widest);
}  // namespace detail

}  // namespace vx
