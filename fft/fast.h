// In-place real-input FFT for n = 2^m, 1 <= m <= 19.
//
// On entry b[0 .. n-1] holds the real samples; b must have room for n + 2
// floats. On return b[2k] = Re X_k and b[2k+1] = Im X_k for k = 0 .. n/2 with
// X_k = sum_j x_j * exp(-2*pi*i*j*k/n), unscaled. Any other n prints
// "fast: N is not an allowable power of two" on stderr and exits with status 1.
#pragma once

#include <cstdint>

namespace vx {

void fast(float* b, int32_t n);

// The passes, exposed so that tests can exercise them one by one.
void Radix2Pass(int32_t span, float* P, float* Q);
// One radix-4 pass over b[0 .. nt * span - 1]: blocks of four runs of `span`.
void Radix4Pass(int32_t span, int32_t nt, float* b);
void Reorder1(int32_t m, float* b);
void Reorder2(int32_t m, float* b);

}  // namespace vx
