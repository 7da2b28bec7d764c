// vxaudio silence FILE: the silent stretches of a file, with thresholds that
// adapt to the file unless fixed ones are given. Many files (or --jobs,
// --files-from) give one JSON object per line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Batch.h"
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

struct SilenceOptions {
  BatchOptions batch;
  DetectOptions detect;
  FrameRange range;
  std::string format = "text";
  std::string what;  // --what: silence, sound or both; empty when not given (silence)
  std::string out;
};

// Labels for the silences, the sound stretches between them, or both in
// time order. The sounds are what the silences leave of the file, except for
// stretches shorter than --min-sound, which the detector does not count as
// sound (a silence that reaches the end of the file may stop a frame short).

std::string Labels(const SilenceOptions& o, const Detection& d) {
  const int32_t rate = d.sampleRate;
  const bool silences = o.what != "sound", sounds = o.what == "sound" || o.what == "both";
  std::string text;
  auto label = [&](int64_t from, int64_t to, const char* what) {
    text += Seconds(from, rate) + "\t" + Seconds(to, rate) + "\t" + what + "\n";
  };
  auto sound = [&](int64_t from, int64_t to) {
    if (sounds && to > from && double(to - from) >= double(o.detect.minSound) * rate)
      label(from, to, "sound");
  };
  int64_t at = d.rangeStart;
  for (const MarkData& m : d.silences) {
    sound(at, m.area.start);
    if (silences) label(m.area.start, m.area.end, "silence");
    at = std::max<int64_t>(at, m.area.end);
  }
  sound(at, d.RangeEnd());
  return text;
}

std::string SilenceText(const SilenceOptions& o, const std::string& file, const Detection& d) {
  const int32_t rate = d.sampleRate;
  const std::vector<MarkData>& marks = d.silences;
  std::string text;
  if (o.format == "json") {
    text = DumpJson(DetectionJson(o.detect, file, d));
  } else if (o.format == "csv") {
    text = "start,end,start_s,end_s\n";
    for (const MarkData& m : marks)
      text += std::to_string(m.area.start) + "," + std::to_string(m.area.end) + "," +
              Seconds(m.area.start, rate) + "," + Seconds(m.area.end, rate) + "\n";
  } else if (o.format == "labels") {
    text = Labels(o, d);
  } else {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  ": %d Hz, %d frames (%.3f s)\nthresholds %s: silence %.4g sone, modulation "
                  "%.4g sone; min silence %g s, min sound %g s; edges %s\n",
                  rate, d.frames, double(d.frames) / rate, d.fixed ? "fixed" : "auto",
                  double(d.silenceLoudness), double(d.modulationLoudness),
                  double(o.detect.minSilence), double(o.detect.minSound),
                  o.detect.edges.c_str());
    text = file + buf;
    if (d.Ranged())
      text += "analysed " + Seconds(d.rangeStart, rate) + " s to " + Seconds(d.RangeEnd(), rate) +
              " s\n";
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
  return text;
}

// One file of a batch, on a worker thread: the checks of CheckAnalysable and
// the analysis, with the reasons returned instead of printed.
BatchItem SilenceOne(const SilenceOptions& o, const std::string& file) {
  BatchItem item;
  Detection d;
  ResolvedRange r;
  if (auto why = AnalysisProblem(file, d.sampleRate, d.frames))
    item.error = *why;
  else if (r = ResolveRange(o.range, d.frames, d.sampleRate); r.status != kExitOk)
    item.error = r.reason;
  else if (d.SetRange(r.start, r.len); RunDetection(file, o.detect, d) != kDetectOk)
    item.error = "analysis failed: " + FirstCapturedError();
  else
    item.result = DetectionJson(o.detect, file, d);
  return item;
}

int RunSilence(const SilenceOptions& o) {
  DiagScope lines;
  if (int rc = CheckDetectOptions("silence", o.detect); rc != kExitOk) return rc;
  if (!o.what.empty() && o.format != "labels") {
    PrintError("silence", "", "--what applies to --format labels only");
    return kExitUsage;
  }

  if (IsBatch(o.batch)) {
    // Every file's result is one JSON line on standard output; a second
    // format, an output file or interleaved reports would break that.
    const char* refused = o.format == "csv" || o.format == "labels"
                              ? "--format csv and labels"
                          : !o.out.empty()   ? "-o/--output"
                          : Verbose()        ? "-v/--verbose"
                                             : nullptr;
    if (refused) {
      PrintError("silence", "",
                 std::string(refused) +
                     " apply to one file; a batch prints JSON Lines on standard output");
      return kExitUsage;
    }
    if (int rc = CheckRangeSigns("silence", "", o.range); rc != kExitOk) return rc;
    return RunBatch("silence", o.batch,
                    [&o](const std::string& file) { return SilenceOne(o, file); });
  }
  const std::string& file = o.batch.files.front();
  if (!o.out.empty() && o.out != "-")
    if (int rc = RefuseInput("silence", o.out, file); rc != kExitOk) return rc;
  InputSource in;
  if (int rc = in.Prepare("silence", file); rc != kExitOk) return rc;
  Detection d;
  if (int rc = DetectSilences("silence", in.path(), o.detect, d, &o.range); rc != kExitOk)
    return rc;
  return WriteResult("silence", o.out, SilenceText(o, file, d), file);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<SilenceOptions>();
  CLI::App* sub = app.add_subcommand("silence",
                                      "Silent stretches of a file, found by loudness, their "
                                      "edges placed on the signal");
  AddBatchOptions(sub, o->batch,
                  "Sound file (mono or stereo); several files give one JSON "
                  "line each");
  AddDetectOptions(sub, o->detect, "Shorter sounds between silences count as silence, seconds");
  AddRangeOptions(sub, o->range);
  AddRawInputOptions(sub);
  sub->add_option("--format", o->format, "text (default), json, csv or labels")
      ->check(CLI::IsMember({"text", "json", "csv", "labels"}));
  sub->add_option("--what", o->what,
                  "With --format labels: label silence (default), sound or both")
      ->check(CLI::IsMember({"silence", "sound", "both"}));
  sub->add_option("-o,--output", o->out, "Write the result to this file instead of stdout");
  return [o] { return RunSilence(*o); };
}

CommandRegistration reg(40, &Setup);

}  // namespace
}  // namespace vxcli
