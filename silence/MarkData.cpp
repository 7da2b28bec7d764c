#include "MarkData.h"

#include <cmath>

float MarkData::RunningMean() const { return loudMean / static_cast<float>(nbFrames); }

double MarkData::RunningSpread() const {
  if (nbFrames == 1) return 0.0;
  float mean = RunningMean();
  float variance = loudStdErr / static_cast<float>(nbFrames) - mean * mean;
  // A constant loudness can leave a tiny negative variance after rounding;
  // that is a zero spread, not a NaN. A NaN variance (non-finite input) stays.
  if (variance < 0.0f) variance = 0.0f;
  return std::sqrt(static_cast<double>(variance));
}

float MarkData::Duration(float iRate) const {
  // Each end divided separately, so the result does not depend on whether the
  // difference of the two positions fits the float mantissa.
  return static_cast<float>(area.end) / iRate - static_cast<float>(area.start) / iRate;
}
