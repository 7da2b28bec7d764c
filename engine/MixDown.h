// The engine's mono view of interleaved frames, for every reader that must
// give the same values as the engine's own reading (the CLI's peaks).
#pragma once

#include <cstdint>

// The mean of each of `frames` frames' `channels` values, products and sum
// in double, stored as float; one channel is copied as it is.
void MixDown(const float* iIn, int64_t frames, int32_t channels, float* oOut);
