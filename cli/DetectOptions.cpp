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

int DetectSilences(std::string_view command, const std::string& file, const DetectOptions& o,
                   Detection& out) {
  if (int rc = CheckAnalysable(command, file, out.sampleRate, out.frames); rc != kExitOk)
    return rc;
  InstallAnalysisSink(o.verbose);
  out.fixed = o.silence.has_value();
  out.silences.clear();
  int rc = 0;
  if (out.fixed) {
    out.silenceLoudness = *o.silence;
    out.modulationLoudness = o.modulation.value_or(0.0f);
    rc = SilenceDetector(file, out.silences, 0, out.frames, out.silenceLoudness,
                         out.modulationLoudness, o.minSilence, o.minSound, o.verbose ? 1 : 0);
  } else {
    std::vector<float> loudness;
    FrameLayout layout;
    rc = ComputeFrameLoudness(file, 0, out.frames, loudness, layout);
    if (rc == 0) {
      AutoThresholds t = ChooseThresholds(loudness);
      out.silenceLoudness = t.silenceLoudness;
      out.modulationLoudness = t.modulationLoudness;
      rc = ClassifyFrames(loudness, out.silenceLoudness, out.modulationLoudness, o.minSilence,
                          o.minSound, o.verbose ? 1 : 0, out.silences, layout);
    }
  }
  InstallDiagSink();
  if (rc != 0) {
    PrintError(command, file, "analysis failed: " + FirstAnalysisError());
    return kExitFailed;
  }
  if (out.modulationLoudness == 0.0f) out.modulationLoudness = 2.0f * out.silenceLoudness;
  return kExitOk;
}

}  // namespace vxcli
