// The engine's way into silence detection: the whole file, its final
// silences as (start, end) frame pairs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MarkPair.h"

namespace AudioSegment {

// Runs the whole-file detector on iFileName and copies each final silence's
// span into oMarks. Returns 0, or the detector's non-zero result with oMarks
// empty (partial results are never handed out).
int SilenceDetect(const std::string& iFileName, std::vector<MarkPair>& oMarks,
                  float iSilenceLoudness, float iModulationLoudness, float iMinSilenceDuration,
                  float iMinSoundDuration, int32_t iVerbose);

}  // namespace AudioSegment
