// The detector's analysis constants. The loudness model always runs with the
// same bands, lowest frequency and level offset; the upper frequency, the hop
// and the frame length follow from the file's sample rate. Everything that
// sizes or checks an analysis (producer, preconditions, public helpers) takes
// them from here, so the checks and the analysis cannot disagree about N.
#pragma once

#include <sndfile.h>

#include <cstdint>

#include "generalstruct.h"

namespace vxsilence {

inline constexpr int32_t kBands = 25;
inline constexpr float kLowFreq = 16.0f;
inline constexpr float kLevelOffset = 94.0f;  // dB SPL that full scale stands for

inline float UpperFrequency(int32_t iRate) {
  float half = static_cast<float>(iRate) / 2.0f;
  return half < 24000.0f ? half : 24000.0f;
}

// 5 ms truncated. Done in double: 0.005 as a double lies just above 5 ms, so
// exact products such as 48000 * 0.005 = 240 do not truncate to 239.
inline int32_t HopFor(int32_t iRate) { return static_cast<int32_t>(iRate * 0.005); }

// N, worked out with (and setting up the Bark table of) the given model.
inline int32_t FrameLengthFor(int32_t iRate, vx::generalstruct& gs) {
  int32_t n = 0;
  vx::SpezLautheitFFTLength(static_cast<float>(iRate), kBands, kLowFreq, UpperFrequency(iRate), n,
                            gs);
  return n;
}

// File frame count as the detector's 32-bit positions see it: the low 32
// bits of libsndfile's count. A file claiming 2^31 .. 2^32 - 1 frames gets a
// negative count, which the range checks refuse at once instead of
// analysing up to 2^31 - 1 frames.
inline int32_t FrameCount(const SF_INFO& iInfo) {
  return static_cast<int32_t>(static_cast<uint32_t>(iInfo.frames & 0xFFFFFFFF));
}

}  // namespace vxsilence
