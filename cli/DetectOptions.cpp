#include "DetectOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "Diag.h"
#include "Diagnostics.h"
#include "EdgeRefinement.h"
#include "ExitStatus.h"
#include "InputFile.h"
#include "JsonOut.h"
#include "Resampler.h"
#include "StandardInput.h"
#include "SilenceDetector.h"

namespace vxcli {

void AddDetectOptions(CLI::App* sub, DetectOptions& o, const char* minSoundHelp) {
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
  sub->add_option("--min-sound", o.minSound, minSoundHelp)->capture_default_str();
  sub->add_option("--edges", o.edges,
                  "signal (default): each silence edge moved, within 0.15 s, to where the "
                  "file's own level meets its quiet level; model: the loudness model's edges, "
                  "which lag behind the sound by tens of milliseconds")
      ->check(CLI::IsMember({"signal", "model"}));
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
  // NaN and infinities never reach the detector from the command line; a
  // negative loudness or duration has no meaning.
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

std::optional<std::string> AnalysisProblem(const std::string& file, int32_t& oRate,
                                           int32_t& oFrames, LowRates lowRates) {
  if (auto why = UnreadableReason(file)) return why;
  int64_t frames = 0;
  std::string why = AnalysisRefusal(file, oRate, frames);
  // A low rate is the first row to fail once the file opened as mono or
  // stereo sound; the rows after it (length) are judged on the copy.
  if (!why.empty() && lowRates == LowRates::kResample && oRate > 0 && NeedsResampling(oRate) &&
      why.starts_with("sample rate "))
    why = ResampledRefusal(oRate, frames);
  if (!why.empty()) return why;
  oFrames = static_cast<int32_t>(frames);
  return std::nullopt;
}

int CheckAnalysable(std::string_view command, const std::string& file, int32_t& oRate,
                    int32_t& oFrames, LowRates lowRates) {
  if (auto why = AnalysisProblem(file, oRate, oFrames, lowRates)) {
    PrintError(command, ShownName(file), *why);
    return kExitFailed;
  }
  return kExitOk;
}

namespace {

// Marks of the copy in the file's own frames: the nearest frame, within the
// file. A mark that the rounding empties is dropped.
void MapToFile(Detection& d) {
  std::vector<MarkData> mapped;
  mapped.reserve(d.silences.size());
  for (MarkData m : d.silences) {
    m.area.start = ToFileFrame(m.area.start, d.sampleRate, d.frames);
    m.area.end = ToFileFrame(m.area.end, d.sampleRate, d.frames);
    if (!mapped.empty()) m.area.start = std::max(m.area.start, mapped.back().area.end);
    if (m.area.end > m.area.start) mapped.push_back(m);
  }
  d.silences = std::move(mapped);
}

// Level in dB of full scale, for the report.
std::string Dbfs(double rms) {
  if (!(rms > 0)) return "digital silence";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f dBFS", 20.0 * std::log10(rms));
  return buf;
}

}  // namespace

int RunDetection(const std::string& file, const DetectOptions& o, Detection& ioFound) {
  Detection& d = ioFound;
  d.silences.clear();
  d.fixed = o.silence.has_value();
  const bool verbose = Verbose();
  // A rate below the detector's is analysed through a copy at its rate; the
  // marks come back in the file's own frames below.
  std::string source = file;
  int32_t from = d.rangeStart;
  int32_t length = d.RangeEnd() - d.rangeStart;
  ResampledCopy copy;
  if (NeedsResampling(d.sampleRate)) {
    if (std::string why = copy.Make(file); !why.empty()) {
      vx::DiagErr(why);
      return kDetectFailed;
    }
    source = copy.path();
    // The copy's frames nearest to the range's ends.
    auto toCopy = [&](int32_t f) {
      const int64_t at = std::llround(static_cast<double>(f) * kAnalysisRate / d.sampleRate);
      return static_cast<int32_t>(std::clamp<int64_t>(at, 0, copy.frames()));
    };
    from = toCopy(d.rangeStart);
    length = d.rangeLength ? toCopy(d.RangeEnd()) - from : copy.frames() - from;
    if (verbose)
      vx::DiagOut("resampled from " + std::to_string(d.sampleRate) + " Hz to " +
                  std::to_string(kAnalysisRate) + " Hz for the analysis; positions in the " +
                  "reports below are at " + std::to_string(kAnalysisRate) + " Hz");
  }
  if (verbose && (d.rangeStart > 0 || d.RangeEnd() < d.frames))
    vx::DiagOut("analysing frames " + std::to_string(d.rangeStart) + " to " +
                std::to_string(d.RangeEnd()) + " of the file; positions in the reports below " +
                "count from the first");
  int rc = kDetectOk;
  if (o.silence) {
    d.silenceLoudness = *o.silence;
    d.modulationLoudness = o.modulation.value_or(0.0f);
    // Streams the file straight into the classifier: memory stays flat.
    rc = SilenceDetector(source, d.silences, from, length, d.silenceLoudness,
                         d.modulationLoudness, o.minSilence, o.minSound, verbose ? 1 : 0);
  } else {
    // Each frame's loudness is computed once, looked at for the thresholds,
    // then classified.
    std::vector<float> loudness;
    FrameLayout layout;
    rc = ComputeFrameLoudness(source, from, length, loudness, layout);
    if (rc == kDetectOk) {
      const AutoThresholds t = ChooseThresholds(loudness);
      d.silenceLoudness = t.silenceLoudness;
      d.modulationLoudness = t.modulationLoudness;
      rc = ClassifyFrames(loudness, d.silenceLoudness, d.modulationLoudness, o.minSilence,
                          o.minSound, verbose ? 1 : 0, d.silences, layout);
    }
  }
  // The value the detector used: 0 stands for twice the silence loudness.
  if (d.modulationLoudness == 0.0f) d.modulationLoudness = 2.0f * d.silenceLoudness;
  // The detector counts from the range's start.
  for (MarkData& m : d.silences) {
    m.area.start += from;
    m.area.end += from;
  }
  if (source != file) MapToFile(d);
  // On the file's own frames, whatever rate the analysis ran at.
  if (rc == kDetectOk && o.edges == "signal") {
    EdgeReport report;
    if (std::string why = RefineEdges(file, d.silences, report, EdgeRule{},
                                      CurrentAnalysisMode().threads);
        !why.empty()) {
      vx::DiagErr(why);
      return kDetectFailed;
    }
    if (verbose && !d.silences.empty())
      vx::DiagOut("edges from the signal: " + std::to_string(report.moved) + " of " +
                  std::to_string(2 * d.silences.size()) + " moved; quiet level " +
                  Dbfs(report.quietLevel) + ", sound " + Dbfs(report.soundLevel) +
                  ", threshold " + Dbfs(report.threshold) + " (" +
                  std::to_string(std::lround(EdgeRule{}.bandLowHz)) + "-" +
                  std::to_string(std::lround(EdgeRule{}.bandHighHz)) + " Hz)");
  }
  // A refined edge may have moved out of the range.
  if (d.rangeStart > 0 || d.RangeEnd() < d.frames) {
    for (MarkData& m : d.silences) {
      m.area.start = std::max(m.area.start, d.rangeStart);
      m.area.end = std::min(m.area.end, d.RangeEnd());
    }
    std::erase_if(d.silences, [](const MarkData& m) { return m.area.end <= m.area.start; });
  }
  return rc;
}

int DetectSilences(std::string_view command, const std::string& file, const DetectOptions& o,
                   Detection& out, const FrameRange* range) {
  if (int rc = CheckAnalysable(command, file, out.sampleRate, out.frames, LowRates::kResample);
      rc != kExitOk)
    return rc;
  if (range) {
    int32_t start = 0, len = 0;
    if (int rc = CheckRange(command, file, *range, out.frames, out.sampleRate, start, len);
        rc != kExitOk)
      return rc;
    out.SetRange(start, len);
  }
  // The detector's reports only under -v; its error lines are held back so
  // that a failure ends with one line of ours.
  LineCollector lines(Verbose(), Verbose());
  if (RunDetection(file, o, out) != kDetectOk) {
    PrintError(command, ShownName(file), "analysis failed: " + lines.FirstError());
    return kExitFailed;
  }
  return kExitOk;
}

nlohmann::ordered_json DetectionJson(const DetectOptions& o, const std::string& file,
                                     const Detection& d) {
  nlohmann::ordered_json j;
  j["file"] = file;
  j["sample_rate"] = d.sampleRate;
  j["frames"] = d.frames;
  if (d.Ranged()) {
    j["range"] = {d.rangeStart, d.RangeEnd()};
    j["range_s"] = {JsonNumber(double(d.rangeStart) / d.sampleRate),
                    JsonNumber(double(d.RangeEnd()) / d.sampleRate)};
  }
  nlohmann::ordered_json p;
  p["thresholds"] = d.fixed ? "fixed" : "auto";
  p["silence_loudness"] = FloatJson(d.silenceLoudness);
  p["modulation_loudness"] = FloatJson(d.modulationLoudness);
  p["min_silence"] = FloatJson(o.minSilence);
  p["min_sound"] = FloatJson(o.minSound);
  p["edges"] = o.edges;
  j["parameters"] = p;
  auto spans = nlohmann::ordered_json::array();
  auto seconds = nlohmann::ordered_json::array();
  for (const MarkData& m : d.silences) {
    spans.push_back({m.area.start, m.area.end});
    seconds.push_back({JsonNumber(double(m.area.start) / d.sampleRate),
                       JsonNumber(double(m.area.end) / d.sampleRate)});
  }
  j["silences"] = spans;
  j["silences_s"] = seconds;
  return j;
}

}  // namespace vxcli
