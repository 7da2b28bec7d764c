// Silence detection for every command that runs it (silence, split, graph
// --silences, loudness): the detector's options with their checks, the
// refusals of files it cannot analyse, and one call that runs it the same way
// everywhere.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AutoThresholds.h"
#include "FrameRange.h"
#include "MarkData.h"

namespace CLI {
class App;
}  // namespace CLI

namespace vxcli {

struct DetectOptions {
  std::string thresholds;  // "auto", "fixed" or empty (chosen by the options)
  std::optional<float> silence;
  std::optional<float> modulation;
  float minSilence = kDefaultMinSilence;
  float minSound = kDefaultMinSound;
  // "signal": each edge moved to where the file's own level crosses its quiet
  // level (EdgeRefinement.h); "model": the detector's marks as they are.
  std::string edges = "signal";
};

// --thresholds, --silence-loudness, --modulation-loudness, --min-silence,
// --min-sound (with the command's own `minSoundHelp`: its meaning may be
// wider) and --edges. The detector's reports show under the program's -v.
void AddDetectOptions(CLI::App* sub, DetectOptions& o, const char* minSoundHelp);

// The usage checks of the options alone; prints the error line and returns
// kExitUsage, or kExitOk.
int CheckDetectOptions(std::string_view command, const DetectOptions& o);

// What a rate below the detector's 44100 Hz means: a refusal for a caller
// that hands the file to the detector itself, or analysis through a copy
// resampled to 44100 Hz (RunDetection), refused only below 4000 Hz.
enum class LowRates { kRefuse, kResample };

// Why `file` cannot be analysed (unreadable, not a sound file, not mono or
// stereo, rate too low, too short, too long), or nothing. Prints nothing;
// oRate and oFrames describe the file when it opened.
std::optional<std::string> AnalysisProblem(const std::string& file, int32_t& oRate,
                                           int32_t& oFrames,
                                           LowRates lowRates = LowRates::kResample);
// The same, with the error line printed. Returns kExitOk or kExitFailed.
// Low rates are refused unless asked otherwise: a caller running the
// detector's own entry points on `file` cannot take them.
int CheckAnalysable(std::string_view command, const std::string& file, int32_t& oRate,
                    int32_t& oFrames, LowRates lowRates = LowRates::kRefuse);

struct Detection {
  int32_t sampleRate = 0;
  int32_t frames = 0;
  bool fixed = false;
  float silenceLoudness = 0.0f;
  float modulationLoudness = 0.0f;  // as used: 0 is resolved to twice the silence loudness
  std::vector<MarkData> silences;   // in file frames, in order, not overlapping
  // The part analysed, in file frames, set by the caller (CheckRange): from
  // rangeStart for rangeLength frames, 0 meaning up to the end of the file.
  int32_t rangeStart = 0;
  int32_t rangeLength = 0;
  int32_t RangeEnd() const { return rangeLength ? rangeStart + rangeLength : frames; }
  bool Ranged() const { return rangeStart > 0 || RangeEnd() < frames; }
  // A range that covers the file stays the whole-file analysis, to the frame.
  void SetRange(int32_t start, int32_t len) {
    if (start == 0 && len >= frames) return;
    rangeStart = start;
    rangeLength = len;
  }
};

// The detection itself over the range of a file that AnalysisProblem
// accepted (ioFound.sampleRate and ioFound.frames set from it, and the range
// checked): fixed thresholds when given, otherwise those of the range's own
// loudness. Positions stay the file's: marks come out in file frames, within
// the range. A file below 44100 Hz is
// analysed through a resampled copy in the temporary folder (removed before
// returning) and its marks mapped back to the file's frames; under -v one
// report line says so. With --edges signal the edges are then refined on
// the file itself; under -v one report line gives the levels used. No checks
// and no messages of its own but the detector's, a failed copy's and a failed
// refinement's, so it runs on batch workers. Returns the detector's result,
// or kDetectFailed when the refinement could not open the file.
int RunDetection(const std::string& file, const DetectOptions& o, Detection& ioFound);

// CheckAnalysable, CheckRange of `range` when given, and RunDetection over
// it, with the detector's reports shown under -v and a failure told in one
// error line. Returns kExitOk, kExitFailed or kExitUsage (a bad range).
int DetectSilences(std::string_view command, const std::string& file, const DetectOptions& o,
                   Detection& out, const FrameRange* range = nullptr);

// The detection of `file` as `silence --format json` describes it: rate,
// frames, the range when one was analysed, the parameters used and the
// silences in frames and seconds.
nlohmann::ordered_json DetectionJson(const DetectOptions& o, const std::string& file,
                                     const Detection& d);

}  // namespace vxcli
