// vxaudio loudness FILE: the total loudness of every analysis frame the
// silence detector sees, to plot a file's loudness curve and pick thresholds.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "DetectOptions.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"
#include "JsonOut.h"
#include "OutputFile.h"
#include "SilenceDetector.h"
#include "StandardInput.h"

namespace vxcli {

namespace {

struct LoudnessOptions {
  std::string file;
  std::string format = "csv";
  std::string out;
  FrameRange range;
};

int RunLoudness(const LoudnessOptions& o) {
  DiagScope lines;
  if (!o.out.empty() && o.out != "-")
    if (int rc = RefuseInput("loudness", o.out, o.file); rc != kExitOk) return rc;
  int32_t rate = 0, frames = 0;
  InputSource in;
  if (int rc = in.Prepare("loudness", o.file); rc != kExitOk) return rc;
  if (int rc = CheckAnalysable("loudness", in.path(), rate, frames); rc != kExitOk) return rc;
  int32_t start = 0, len = 0;
  if (int rc = CheckRange("loudness", o.file, o.range, frames, rate, start, len); rc != kExitOk)
    return rc;
  std::vector<float> loudness;
  FrameLayout layout;
  {
    // The detector's error lines are held back for the one line of ours
    // (and shown as well under -v).
    LineCollector analysis(Verbose(), Verbose());
    // The values printed are the model's own, to the last digit: the fast
    // arithmetic finds the same marks but not every last bit (and digital
    // silence prints as the model's rounding noise).
    AnalysisMode mode = CurrentAnalysisMode();
    mode.fastArithmetic = false;
    SetAnalysisMode(mode);
    if (ComputeFrameLoudness(in.path(), start, len, loudness, layout) != kDetectOk) {
      PrintError("loudness", o.file, "analysis failed: " + analysis.FirstError());
      return kExitFailed;
    }
  }

  // An hour is 720000 frames: written by hand rather than through a JSON
  // tree, which would take tens of bytes per number.
  const bool json = o.format == "json";
  std::string text;
  text.reserve(loudness.size() * 24 + 256);
  char buf[160];
  if (json) {
    std::string name = DumpJson(nlohmann::json(o.file), -1);
    name.pop_back();  // its final newline
    std::snprintf(buf, sizeof buf,
                  ", \"sample_rate\": %d, \"frames\": %d, \"hop\": %d, \"frame_length\": %d,\n",
                  rate, frames, layout.hop, layout.frameLen);
    text += "{\"file\": " + name + buf + " \"loudness\": [";
  } else {
    text += "time_s,sone\n";
  }
  for (size_t k = 0; k < loudness.size(); ++k) {
    // Times are the file's, whatever the range.
    const double t = static_cast<double>(start + FrameCentre(layout, k, loudness.size())) / rate;
    const float l = loudness[k];
    if (json) {
      if (std::isfinite(l))
        std::snprintf(buf, sizeof buf, "%s\n  [%.6f, %.6g]", k ? "," : "", t, double(l));
      else
        std::snprintf(buf, sizeof buf, "%s\n  [%.6f, null]", k ? "," : "", t);
    } else {
      std::snprintf(buf, sizeof buf, "%.6f,%.6g\n", t, double(l));
    }
    text += buf;
  }
  if (json) text += "\n]}\n";
  return WriteResult("loudness", o.out, text, o.file);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<LoudnessOptions>();
  CLI::App* sub = app.add_subcommand(
      "loudness", "Total loudness (sone) of every 5 ms analysis frame, as the silence detector sees it");
  sub->add_option("FILE", o->file, "Sound file (mono or stereo, 44.1 kHz or more)")->required();
  AddRawInputOptions(sub);
  sub->add_option("--format", o->format, "csv (default: time_s,sone rows) or json")
      ->check(CLI::IsMember({"csv", "json"}));
  sub->add_option("-o,--output", o->out, "Write the result to this file instead of stdout");
  AddRangeOptions(sub, o->range);
  return [o] { return RunLoudness(*o); };
}

CommandRegistration reg(45, &Setup);

}  // namespace
}  // namespace vxcli
