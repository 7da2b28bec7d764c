// Marks: stretches of analysis frames that are all silence or all sound, with
// the loudness statistics gathered over them, and the post-processing that
// turns the detector's raw silence and sound marks into the final silences.
#pragma once

#include <cstdint>
#include <vector>

// A span of file frames. For a closed mark `end` is the position where the
// next mark starts, so consecutive marks share their boundary.
struct MarkArea {
  int32_t start = 0;
  int32_t end = 0;
};

// One silence or sound mark. While the detector works on a mark, loudMean and
// loudStdErr hold running sums (of L and of L squared); ProcessMarks turns the
// silence marks' sums into a mean and a standard deviation. A default record
// is all zero.
struct MarkData {
  MarkArea area;
  int32_t nbFrames = 0;
  float loudMean = 0.0f;       // running loudness sum, later the mean (sone)
  float loudStdErr = 0.0f;     // running square sum, later the deviation
  float noiseLoudMean = 0.0f;  // running noise-weight sum, later its mean

  // Mean loudness from the running sums.
  float RunningMean() const;
  // Standard deviation of the frame loudness from the running sums (the
  // reports call it "standard error"); 0 for a single frame.
  double RunningSpread() const;
  // Duration in seconds at sample rate iRate.
  float Duration(float iRate) const;
};

// Absorbs sound marks shorter than iMinSoundDuration into the neighbouring
// silence, finalises the silence statistics, removes silences shorter than
// iMinSilenceDuration and, when iVerbose is non-zero, prints the raw and final
// tables. Returns 0, or 1 when a short sound has no silence to join.
int ProcessMarks(const std::vector<MarkData>& soundData, std::vector<MarkData>& oSilenceData,
                 float iSampleRate, float iMinSoundDuration, float iMinSilenceDuration,
                 int32_t iVerbose);
