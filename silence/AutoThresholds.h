#pragma once
// Per-file choice of the detector's two loudness thresholds, derived from the
// distribution of the file's own per-frame loudness, plus the default minimum
// durations of a silence and of a sound between two silences.
#include <vector>

struct AutoThresholds {
  float silenceLoudness;     // sone: a frame below this may start a silence
  float modulationLoudness;  // sone: a frame above this ends a silence
};

// How the thresholds follow the distribution: the loudness at floorPercentile
// stands for the file's noise floor, the one at levelPercentile for the level
// of its sound; each threshold sits at its position between the two on a
// logarithmic scale (0 = floor, 1 = level). On a clean file the floor is
// thousands of times below the sound, and a threshold placed from the floor
// alone would lie deep in the model's decay after every word (about 120 ms of
// it), eating short pauses; so the silence threshold is also at least
// levelFraction of the level, the modulation threshold moving with it.
struct AutoRule {
  float floorPercentile;
  float levelPercentile;
  float silencePosition;
  float modulationPosition;
  float levelFraction = 0.0f;
};

// frameLoudness: total loudness in sone of every analysis frame of one file.
// Values within rounding of zero (below 2.5e-5 sone either way, as digital
// silence gives) count as 0; non-finite values and clearly negative ones are
// ignored. An input without any valid value yields the lowest thresholds, so
// that only true silence is silence.
AutoThresholds ChooseThresholds(const std::vector<float>& frameLoudness);
AutoThresholds ChooseThresholds(const std::vector<float>& frameLoudness, const AutoRule& rule);

extern const AutoRule kDefaultAutoRule;

constexpr float kDefaultMinSilence = 0.15f;  // seconds
constexpr float kDefaultMinSound = 0.02f;    // seconds
