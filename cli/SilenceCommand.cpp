// vxaudio silence FILE: the silent stretches of a file, with thresholds that
// adapt to the file unless fixed ones are given. Many files (or --jobs,
// --files-from) give one JSON object per line.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AutoThresholds.h"
#include "Batch.h"
#include "Command.h"
#include "Common.h"
#include "DetectOptions.h"
#include "Diag.h"
#include "OutputFile.h"
#include "SilenceDetector.h"

namespace vxcli {

namespace {

struct SilenceOptions {
  BatchOptions batch;
  std::string thresholds;  // "auto", "fixed" or empty (chosen by the options)
  std::optional<float> silence;
  std::optional<float> modulation;
  float minSilence = kDefaultMinSilence;
  float minSound = kDefaultMinSound;
  std::string format = "text";
  std::string out;
  bool verbose = false;
};

// The detector's own lines: reports (only asked for with -v) go to standard
// error, standard output being the results'; error lines are held back so
// that a failure ends with one line of ours.
bool gVerbose = false;
std::vector<std::string> gErrors;

void AnalysisSink(vx::DiagStream stream, std::string_view line) {
  if (stream == vx::DiagStream::Err) {
    gErrors.emplace_back(line);
    return;
  }
  if (gVerbose) vx::DefaultDiagSink(vx::DiagStream::Err, line);
}

// NaN and infinities never reach the detector from the command line; a
// negative loudness or duration has no meaning.
std::optional<std::string> BadNumber(const char* option, std::optional<float> v) {
  if (v && !(std::isfinite(*v) && *v >= 0.0f))
    return std::string(option) + " must be a finite number, 0 or more";
  return std::nullopt;
}

// What one analysis found, with the thresholds it used.
struct Analysis {
  int32_t rate = 0, frames = 0;
  float silence = 0.0f, modulation = 0.0f;
  std::vector<MarkData> marks;
};

int Analyse(const SilenceOptions& o, const std::string& file, Analysis& a) {
  return RunDetection(file, a.frames, o.silence, o.modulation, o.minSilence, o.minSound,
                      o.verbose, a.marks, a.silence, a.modulation);
}

nlohmann::ordered_json SilenceJson(const SilenceOptions& o, const std::string& file,
                                   const Analysis& a) {
  nlohmann::ordered_json j;
  j["file"] = file;
  j["sample_rate"] = a.rate;
  j["frames"] = a.frames;
  nlohmann::ordered_json p;
  p["thresholds"] = o.silence ? "fixed" : "auto";
  p["silence_loudness"] = FloatJson(a.silence);
  p["modulation_loudness"] = FloatJson(a.modulation);
  p["min_silence"] = FloatJson(o.minSilence);
  p["min_sound"] = FloatJson(o.minSound);
  j["parameters"] = p;
  auto spans = nlohmann::ordered_json::array();
  auto seconds = nlohmann::ordered_json::array();
  for (const MarkData& m : a.marks) {
    spans.push_back({m.area.start, m.area.end});
    seconds.push_back(
        {JsonNumber(double(m.area.start) / a.rate), JsonNumber(double(m.area.end) / a.rate)});
  }
  j["silences"] = spans;
  j["silences_s"] = seconds;
  return j;
}

// One file of a batch, on a worker thread: the checks of CheckAnalysable and
// the analysis, with the reasons returned instead of printed.
BatchItem SilenceOne(const SilenceOptions& o, const std::string& file) {
  BatchItem item;
  if (auto why = UnreadableReason(file)) {
    item.error = *why;
    return item;
  }
  Analysis a;
  int64_t frames = 0;
  item.error = AnalysisRefusal(file, a.rate, frames);
  if (!item.error.empty()) return item;
  a.frames = static_cast<int32_t>(frames);
  if (Analyse(o, file, a) != 0)
    item.error = "analysis failed: " + FirstCapturedError();
  else
    item.result = SilenceJson(o, file, a);
  return item;
}

int RunSilence(const SilenceOptions& o) {
  InstallDiagSink();
  const bool fixed = o.silence.has_value();
  if (o.thresholds == "auto" && (o.silence || o.modulation)) {
    PrintError("silence", "",
               "--thresholds auto chooses the loudness thresholds itself; drop "
               "--silence-loudness/--modulation-loudness or the auto mode");
    return kExitUsage;
  }
  if (!fixed && (o.modulation || o.thresholds == "fixed")) {
    PrintError("silence", "", "fixed thresholds need --silence-loudness");
    return kExitUsage;
  }
  for (auto why : {BadNumber("--silence-loudness", o.silence),
                   BadNumber("--modulation-loudness", o.modulation),
                   BadNumber("--min-silence", o.minSilence), BadNumber("--min-sound", o.minSound)})
    if (why) {
      PrintError("silence", "", *why);
      return kExitUsage;
    }

  if (IsBatch(o.batch)) {
    // Every file's result is one JSON line on standard output; a second
    // format, an output file or interleaved reports would break that.
    const char* refused = o.format == "csv" || o.format == "labels"
                              ? "--format csv and labels"
                          : !o.out.empty() ? "-o/--output"
                          : o.verbose      ? "-v/--verbose"
                                           : nullptr;
    if (refused) {
      PrintError("silence", "",
                 std::string(refused) +
                     " apply to one file; a batch prints JSON Lines on standard output");
      return kExitUsage;
    }
    return RunBatch("silence", o.batch,
                    [&o](const std::string& file) { return SilenceOne(o, file); });
  }
  const std::string& file = o.batch.files.front();
  if (!o.out.empty() && o.out != "-")
    if (int rc = RefuseInput("silence", o.out, file); rc != kExitOk) return rc;

  Analysis a;
  if (int rc = CheckAnalysable("silence", file, a.rate, a.frames); rc != kExitOk) return rc;
  InstallAnalysisSink(o.verbose);
  int rc = Analyse(o, file, a);
  InstallDiagSink();
  if (rc != 0) {
    PrintError("silence", file, "analysis failed: " + FirstAnalysisError());
    return kExitFailed;
  }
  const int32_t rate = a.rate, frames = a.frames;
  const float silence = a.silence, modulation = a.modulation;
  const std::vector<MarkData>& marks = a.marks;

  std::string text;
  const char* mode = fixed ? "fixed" : "auto";
  if (o.format == "json") {
    text = DumpJson(SilenceJson(o, file, a));
  } else if (o.format == "csv") {
    text = "start,end,start_s,end_s\n";
    for (const MarkData& m : marks)
      text += std::to_string(m.area.start) + "," + std::to_string(m.area.end) + "," +
              Seconds(m.area.start, rate) + "," + Seconds(m.area.end, rate) + "\n";
  } else if (o.format == "labels") {
    for (const MarkData& m : marks)
      text += Seconds(m.area.start, rate) + "\t" + Seconds(m.area.end, rate) + "\tsilence\n";
  } else {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  ": %d Hz, %d frames (%.3f s)\nthresholds %s: silence %.4g sone, modulation "
                  "%.4g sone; min silence %g s, min sound %g s\n",
                  rate, frames, double(frames) / rate, mode, double(silence), double(modulation),
                  double(o.minSilence), double(o.minSound));
    text = file + buf;
    std::snprintf(buf, sizeof buf, "%zu silence%s\n", marks.size(), marks.size() == 1 ? "" : "s");
    text += buf;
    if (!marks.empty()) {
      text += "    #       start         end   start (s)     end (s)  length (s)\n";
      for (size_t i = 0; i < marks.size(); ++i) {
        const MarkArea& a = marks[i].area;
        std::snprintf(buf, sizeof buf, "%5zu %11d %11d %11.3f %11.3f %11.3f\n", i + 1, a.start,
                      a.end, double(a.start) / rate, double(a.end) / rate,
                      double(a.end - a.start) / rate);
        text += buf;
      }
    }
  }
  return WriteResult("silence", o.out, text, file);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<SilenceOptions>();
  CLI::App* sub = app.add_subcommand("silence", "Silent stretches of a file, by loudness");
  AddBatchOptions(sub, o->batch,
                  "Sound file (mono or stereo, 44.1 kHz or more); several files give one JSON "
                  "line each");
  sub->add_option("--thresholds", o->thresholds,
                  "auto (default): thresholds from the file's own loudness; fixed: given below")
      ->check(CLI::IsMember({"auto", "fixed"}));
  sub->add_option("--silence-loudness", o->silence,
                  "Fixed threshold in sone: a sound ends below it");
  sub->add_option("--modulation-loudness", o->modulation,
                  "Fixed threshold in sone: a silence ends above it (default twice the silence "
                  "loudness)");
  sub->add_option("--min-silence", o->minSilence, "Shortest silence kept, seconds")
      ->capture_default_str();
  sub->add_option("--min-sound", o->minSound,
                  "Shorter sounds between silences count as silence, seconds")
      ->capture_default_str();
  sub->add_option("--format", o->format, "text (default), json, csv or labels")
      ->check(CLI::IsMember({"text", "json", "csv", "labels"}));
  sub->add_option("-o,--output", o->out, "Write the result to this file instead of stdout");
  sub->add_flag("-v,--verbose", o->verbose, "Show the detector's reports on standard error");
  return [o] { return RunSilence(*o); };
}

CommandRegistration reg(40, &Setup);

}  // namespace

int CheckAnalysable(std::string_view command, const std::string& file, int32_t& oRate,
                    int32_t& oFrames) {
  if (auto why = UnreadableReason(file)) {
    PrintError(command, file, *why);
    return kExitFailed;
  }
  int64_t frames = 0;
  std::string why = AnalysisRefusal(file, oRate, frames);
  if (!why.empty()) {
    PrintError(command, file, why);
    return kExitFailed;
  }
  oFrames = static_cast<int32_t>(frames);
  return kExitOk;
}

void InstallAnalysisSink(bool verbose) {
  gVerbose = verbose;
  gErrors.clear();
  vx::SetDiagSink(&AnalysisSink);
}

std::string FirstAnalysisError() {
  return gErrors.empty() ? std::string("no reason given") : gErrors.front();
}

}  // namespace vxcli
