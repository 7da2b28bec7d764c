#pragma once
// Per-file choice of the detector's two loudness thresholds, derived from the
// distribution of the file's own per-frame loudness, plus the default minimum
// durations of a silence and of a sound between two silences.
#include <vector>

struct AutoThresholds {
  float silenceLoudness;     // sone: a frame below this may start a silence
  float modulationLoudness;  // sone: a frame above this ends a silence
};

// frameLoudness: total loudness in sone of every analysis frame of one file.
// Non-finite values are ignored; an empty or all-invalid input yields the
// floors.
AutoThresholds ChooseThresholds(const std::vector<float>& frameLoudness);

constexpr float kDefaultMinSilence = 0.25f;  // seconds
constexpr float kDefaultMinSound = 0.05f;    // seconds
