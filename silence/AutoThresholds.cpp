#include "AutoThresholds.h"

#include <algorithm>
#include <cmath>

namespace {

// Below this a frame is inaudible whatever the file: the model gives 0 sone
// for digital silence and a few hundredths for dither, so a floor measured
// there would put both thresholds at 0 and nothing could be silent.
constexpr float kFloorLoudness = 0.05f;
// When the level of the sound is less than this many times the floor, the
// file has no quiet stretch to speak of: it is all sound, or all silence.
constexpr float kMinContrast = 2.0f;
// A file whose level stays below this is all silence (sone).
constexpr float kQuietLevel = 0.5f;
// Digital silence comes out of the model within rounding of zero, on either
// side depending on the sample rate (a few 1e-9 sone); every band of an
// all-zero frame stays below 1e-6, so their sum stays far below this. Such a
// value is silence, not invalid input: dropping it would take all the pauses
// out of the distribution and move the floor into the sound.
constexpr float kZeroTolerance = 2.5e-5f;

// Value at fraction q of the data in order, interpolated between neighbours.
// Only the two values around the position are put in place (an hour has
// 720,000 frames, and sorting them all would cost more than this whole
// choice needs); the data is reordered.
float Percentile(std::vector<float>& v, float q) {
  double pos = std::clamp(double(q), 0.0, 1.0) * double(v.size() - 1);
  size_t i = size_t(pos);
  auto at = v.begin() + std::ptrdiff_t(i);
  std::nth_element(v.begin(), at, v.end());
  if (i + 1 >= v.size()) return *at;
  // Everything after position i is at least v[i]; the least of it is the
  // next value in order.
  const float next = *std::min_element(at + 1, v.end());
  double f = pos - double(i);
  return float(*at * (1.0 - f) + next * f);
}

}  // namespace

// Chosen on one half of the speech corpus (the other half confirms it): the
// floor at the 5th percentile still lands in the pauses of a file whose
// pauses are all short, and any level fraction from 1 % to 5 % finds every
// pause; 2 % sits in the middle of that plateau.
const AutoRule kDefaultAutoRule{0.05f, 0.95f, 0.10f, 0.20f, 0.02f};

AutoThresholds ChooseThresholds(const std::vector<float>& frameLoudness) {
  return ChooseThresholds(frameLoudness, kDefaultAutoRule);
}

AutoThresholds ChooseThresholds(const std::vector<float>& frameLoudness, const AutoRule& rule) {
  std::vector<float> v;
  v.reserve(frameLoudness.size());
  for (float x : frameLoudness)
    if (std::isfinite(x) && x > -kZeroTolerance) v.push_back(x < kZeroTolerance ? 0.0f : x);
  const AutoThresholds lowest{kFloorLoudness, 2.0f * kFloorLoudness};
  if (v.empty()) return lowest;

  float floor = std::max(Percentile(v, rule.floorPercentile), kFloorLoudness);
  float level = Percentile(v, rule.levelPercentile);
  if (level < kMinContrast * floor) {
    // No contrast. A quiet file is silence throughout: thresholds above its
    // level. Otherwise it is sound throughout: thresholds at the lowest, so
    // that only a true drop to silence would still be found.
    if (level < kQuietLevel) {
      float top = std::max(*std::max_element(v.begin(), v.end()), kFloorLoudness);
      return {top * 1.5f, top * 2.0f};
    }
    return lowest;
  }
  const double ratio = std::log(double(level) / floor);
  auto at = [&](float pos) { return floor * std::exp(ratio * pos); };
  const double silence = at(rule.silencePosition);
  const double lift = std::max(1.0, rule.levelFraction * double(level) / silence);
  return {float(silence * lift), float(at(rule.modulationPosition) * lift)};
}
