// The silence detector's options for commands that cut or draw by silences
// (split, graph --silences): the same names, defaults and checks as
// `vxaudio silence`, and one call that runs the detection the same way.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AutoThresholds.h"
#include "MarkData.h"

namespace vxcli {

struct DetectOptions {
  std::string thresholds;  // "auto", "fixed" or empty (chosen by the options)
  std::optional<float> silence;
  std::optional<float> modulation;
  float minSilence = kDefaultMinSilence;
  float minSound = kDefaultMinSound;
  bool verbose = false;
};

// --thresholds, --silence-loudness, --modulation-loudness, --min-silence and
// -v. --min-sound is left to the caller, whose meaning of it may be wider.
void AddDetectOptions(CLI::App* sub, DetectOptions& o);
void AddMinSoundOption(CLI::App* sub, DetectOptions& o, const char* help);

// The usage checks of the options alone; prints the error line and returns
// kExitUsage, or kExitOk.
int CheckDetectOptions(std::string_view command, const DetectOptions& o);

struct Detection {
  int32_t sampleRate = 0;
  int32_t frames = 0;
  bool fixed = false;
  float silenceLoudness = 0.0f;
  float modulationLoudness = 0.0f;  // as used: 0 is resolved to twice the silence loudness
  std::vector<MarkData> silences;   // in file frames, in order, not overlapping
};

// Checks that `file` can be analysed and finds its silences: fixed
// thresholds when given, otherwise the file's own. Prints the error line on
// failure. Returns kExitOk or kExitFailed.
int DetectSilences(std::string_view command, const std::string& file, const DetectOptions& o,
                   Detection& out);

// The detection itself, without checks or messages: frames [0, frames) of
// `file` with fixed thresholds when `silence` is given, otherwise the file's
// own. oSilence / oModulation receive the thresholds used (a modulation of 0
// resolved to twice the silence). Returns the detector's result.
int RunDetection(const std::string& file, int32_t frames, std::optional<float> silence,
                 std::optional<float> modulation, float minSilence, float minSound, bool verbose,
                 std::vector<MarkData>& oMarks, float& oSilence, float& oModulation);

// The analysis steps every detector command shares (defined with the silence
// command): the refusals of files the detector cannot analyse, with their one
// error line; the sink that keeps the detector's reports (shown with -v) and
// its first error line; that first error line.
int CheckAnalysable(std::string_view command, const std::string& file, int32_t& oRate,
                    int32_t& oFrames);
void InstallAnalysisSink(bool verbose);
std::string FirstAnalysisError();

}  // namespace vxcli
