#include "DetectOptions.h"

#include <cmath>

#include "Common.h"
#include "Diag.h"
#include "SilenceDetector.h"

namespace vxcli {

void AddDetectOptions(CLI::App* sub, DetectOptions& o) {
  sub->add_option("--thresholds", o.thresholds,
                  "auto (default): thresholds from the file's own loudness; fixed: given below")
      ->check(CLI::IsMember({"auto", "fixed"}));
  sub->add_option("--silence-loudness", o.silence,
                  "Fixed threshold in sone: a sound ends below it");
  sub->add_option("--modulation-loudness", o.modulation,
                  "Fixed threshold in sone: a silence ends above it (default twice the silence "
                  "loudness)");
  sub->add_option("--min-silence", o.minSilence, "Shortest silence kept, seconds")
      ->capture_default_str();
  sub->add_flag("-v,--verbose", o.verbose, "Show the detector's reports on standard error");
}

void AddMinSoundOption(CLI::App* sub, DetectOptions& o, const char* help) {
  sub->add_option("--min-sound", o.minSound, help)->capture_default_str();
}

int CheckDetectOptions(std::string_view command, const DetectOptions& o) {
  if (o.thresholds == "auto" && (o.silence || o.modulation)) {
    PrintError(command, "",
               "--thresholds auto chooses the loudness thresholds itself; drop "
               "--silence-loudness/--modulation-loudness or the auto mode");
    return kExitUsage;
  }
  if (!o.silence && (o.modulation || o.thresholds == "fixed")) {
    PrintError(command, "", "fixed thresholds need --silence-loudness");
    return kExitUsage;
  }
  auto bad = [](std::optional<float> v) { return v && !(std::isfinite(*v) && *v >= 0.0f); };
  const std::pair<const char*, std::optional<float>> numbers[] = {
      {"--silence-loudness", o.silence},
      {"--modulation-loudness", o.modulation},
      {"--min-silence", o.minSilence},
      {"--min-sound", o.minSound}};
  for (const auto& [name, v] : numbers)
    if (bad(v)) {
      PrintError(command, "", std::string(name) + " must be a finite number, 0 or more");
      return kExitUsage;
    }
  return kExitOk;
}

int RunDetection(const std::string& file, int32_t frames, std::optional<float> silence,
                 std::optional<float> modulation, float minSilence, float minSound, bool verbose,
                 std::vector<MarkData>& oMarks, float& oSilence, float& oModulation) {
  oMarks.clear();
  int rc = 0;
  if (silence) {
    oSilence = *silence;
    oModulation = modulation.value_or(0.0f);
    // Streams the file straight into the classifier: memory stays flat.
    rc = SilenceDetector(file, oMarks, 0, frames, oSilence, oModulation, minSilence, minSound,
                         verbose ? 1 : 0);
  } else {
    // Each frame's loudness is computed once, looked at for the thresholds,
    // then classified.
    std::vector<float> loudness;
    FrameLayout layout;
    rc = ComputeFrameLoudness(file, 0, frames, loudness, layout);
    if (rc == 0) {
      const AutoThresholds t = ChooseThresholds(loudness);
      oSilence = t.silenceLoudness;
      oModulation = t.modulationLoudness;
      rc = ClassifyFrames(loudness, oSilence, oModulation, minSilence, minSound, verbose ? 1 : 0,
                          oMarks, layout);
    }
  }
  // The value the detector used: 0 stands for twice the silence loudness.
  if (oModulation == 0.0f) oModulation = 2.0f * oSilence;
  return rc;
}

int DetectSilences(std::string_view command, const std::string& file, const DetectOptions& o,
                   Detection& out) {
  if (int rc = CheckAnalysable(command, file, out.sampleRate, out.frames); rc != kExitOk)
    return rc;
  InstallAnalysisSink(o.verbose);
  out.fixed = o.silence.has_value();
  const int rc = RunDetection(file, out.frames, o.silence, o.modulation, o.minSilence, o.minSound,
                              o.verbose, out.silences, out.silenceLoudness,
                              out.modulationLoudness);
  InstallDiagSink();
  if (rc != 0) {
    PrintError(command, file, "analysis failed: " + FirstAnalysisError());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace vxcli
