// vxaudio review FILE: one HTML page to look at and listen to the detected
// silences, fix them by hand and download the result as labels, JSON or
// CSV. The page works offline from file://: the libraries, the waveform
// data and the silences are inside it, the sound beside it (or inside it).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "Command.h"
#include "DetectOptions.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"
#include "InputFile.h"
#include "JsonOut.h"
#include "OutputFile.h"
#include "OutputPaths.h"
#include "PeakReader.h"
#include "ReviewAudio.h"
#include "ReviewPage.h"
#include "Resampler.h"
#include "SilenceDetector.h"
#include "StandardInput.h"
#include "WaveformData.h"

namespace vxcli {
namespace {

// Pixels per second of the page's waveform data: at 10 ms a pixel, the
// closest zoom still draws the data as it is, without interpolating.
constexpr int64_t kPixelsPerSecond = 100;

struct ReviewOptions {
  std::string file;
  std::string out;
  bool embedAudio = false;
  bool loudness = false;
  DetectOptions detect;
};

// The loudness curve as the page gets it: one byte per analysis frame on a
// log scale from `low` (byte 0, which also stands for anything quieter and
// for a frame with no value) to `high` (byte 255). An hour is 720000 frames:
// a byte each keeps the page near the size of its waveform data, and the
// page draws on a log scale anyway, where a step is about 5 %.
struct LoudnessCurve {
  std::string bytes;
  double hopSeconds = 0.0;
  double lastSeconds = 0.0;  // centre of the last frame, closer than a hop
  double low = 0.0;
  double high = 0.0;
};

// Six decades below the loudest frame: quieter than any threshold that
// matters, without the model's rounding noise of digital silence stretching
// the scale.
constexpr double kCurveDecades = 6.0;

void EncodeCurve(const std::vector<float>& sone, LoudnessCurve& c) {
  double high = 0.0, quietest = std::numeric_limits<double>::infinity();
  for (float v : sone) {
    if (!std::isfinite(v) || v <= 0.0f) continue;
    high = std::max(high, double(v));
    quietest = std::min(quietest, double(v));
  }
  if (high <= 0.0) high = quietest = 1e-6;  // nothing but silence
  c.high = high;
  c.low = std::min(high, std::max(quietest, high * std::pow(10.0, -kCurveDecades)));
  const double span = std::log(c.high / c.low);
  c.bytes.resize(sone.size());
  for (size_t k = 0; k < sone.size(); ++k) {
    const double v = sone[k];
    const double at = std::isfinite(v) && v > c.low && span > 0 ? std::log(v / c.low) / span : 0;
    c.bytes[k] = char(uint8_t(std::lround(std::clamp(at, 0.0, 1.0) * 255.0)));
  }
}

// The frame loudness `vxaudio loudness` prints (the model's own arithmetic),
// over the whole file; a file below the detector's rate through a copy at
// its rate, as the detection does. Returns kExitOk or kExitFailed.
int ComputeCurve(const std::string& named, const std::string& path, int32_t rate,
                 int32_t frames, LoudnessCurve& c) {
  std::string source = path;
  ResampledCopy copy;
  if (NeedsResampling(rate)) {
    if (std::string why = copy.Make(path); !why.empty()) {
      PrintError("review", named, "no loudness curve: " + why);
      return kExitFailed;
    }
    source = copy.path();
    frames = copy.frames();
  }
  std::vector<float> sone;
  FrameLayout layout;
  {
    LineCollector analysis(Verbose(), Verbose());
    const AnalysisMode was = CurrentAnalysisMode();
    AnalysisMode model = was;
    model.fastArithmetic = false;
    SetAnalysisMode(model);
    const int rc = ComputeFrameLoudness(source, 0, frames, sone, layout);
    SetAnalysisMode(was);
    if (rc != kDetectOk) {
      PrintError("review", named, "loudness analysis failed: " + analysis.FirstError());
      return kExitFailed;
    }
  }
  EncodeCurve(sone, c);
  c.hopSeconds = double(layout.hop) / layout.sampleRate;
  if (!sone.empty())
    c.lastSeconds = double(FrameCentre(layout, sone.size() - 1, sone.size())) / layout.sampleRate;
  return kExitOk;
}

// FILE's name with .html for its extension, beside it.
std::string DefaultPage(const std::string& file) {
  const auto [dir, name] = SplitPath(file);
  const auto dot = name.rfind('.');
  return JoinPath(dir, (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) +
                           ".html");
}

// What the page shows and edits: the detection as `silence --format json`
// describes it, with the waveform's resolution.
std::string PageData(const ReviewOptions& o, const Detection& d, int32_t samplesPerPixel,
                     const LoudnessCurve* curve) {
  nlohmann::ordered_json j = DetectionJson(o.detect, o.file, d);
  j["samples_per_pixel"] = samplesPerPixel;
  if (curve)
    j["loudness"] = {{"frames", curve->bytes.size()},
                     {"hop_s", curve->hopSeconds},
                     {"last_s", curve->lastSeconds},
                     {"low", curve->low},
                     {"high", curve->high}};
  return DumpJson(j, -1);
}

int RunReview(const ReviewOptions& o) {
  DiagScope lines;
  if (int rc = CheckDetectOptions("review", o.detect); rc != kExitOk) return rc;
  if (o.file == "-" && o.out.empty()) {
    PrintError("review", o.file, "standard input has no name to give the page: add -o OUT.html");
    return kExitUsage;
  }
  const std::string page = o.out.empty() ? DefaultPage(o.file) : o.out;
  if (page == "-" && !o.embedAudio) {
    PrintError("review", page,
               "a page on standard output has no folder for its sound: add --embed-audio or "
               "-o OUT.html");
    return kExitUsage;
  }
  if (page != "-")
    if (int rc = RefuseInput("review", page, o.file); rc != kExitOk) return rc;

  InputSource in;
  if (int rc = in.Prepare("review", o.file); rc != kExitOk) return rc;
  AudioFile af;
  int32_t start = 0, frames = 0;
  if (int rc = OpenAudioRange("review", af, in.path(), FrameRange{}, start, frames);
      rc != kExitOk)
    return rc;
  Detection found;
  if (int rc = DetectSilences("review", in.path(), o.detect, found); rc != kExitOk) return rc;

  WaveformPeaks peaks;
  peaks.sampleRate = af.mSampleRate;
  peaks.bits = 8;
  peaks.samplesPerPixel = int32_t(SamplesPerPixelFor(af.mSampleRate, kPixelsPerSecond));
  const PeakRequest request{.start = 0,
                            .frames = frames,
                            .samplesPerPixel = peaks.samplesPerPixel,
                            .pixels = PixelsFor(frames, peaks.samplesPerPixel),
                            .scale = FullScale(8)};
  if (std::string why = ReadPeaks(in.path(), request, peaks); !why.empty()) {
    PrintError("review", o.file, why);
    return kExitFailed;
  }

  LoudnessCurve curve;
  if (o.loudness)
    if (int rc = ComputeCurve(o.file, in.path(), af.mSampleRate, frames, curve); rc != kExitOk)
      return rc;

  ReviewAudio audio;
  const ReviewAudioRequest sound{.named = o.file, .path = in.path(), .page = page,
                                 .embed = o.embedAudio, .frames = frames};
  if (int rc = PrepareReviewAudio(sound, af, audio); rc != kExitOk) return rc;

  const ReviewPageParts parts{.title = SplitPath(o.file).second,
                              .dataJson = PageData(o, found, peaks.samplesPerPixel,
                                                   o.loudness ? &curve : nullptr),
                              .peaks = PeaksDat(peaks),
                              .audioUrl = audio.url,
                              .loudness = curve.bytes};
  if (int rc = WriteResult("review", page, BuildReviewPage(parts), o.file); rc != kExitOk)
    return rc;
  if (page == "-") return kExitOk;
  const size_t n = found.silences.size();
  return WriteResult("review", "",
                     page + ": " + std::to_string(n) + " silence" + (n == 1 ? "" : "s") +
                         "; sound: " + audio.described + "\n");
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<ReviewOptions>();
  CLI::App* sub = app.add_subcommand(
      "review", "An HTML page to see, hear and correct the silences, then download them");
  sub->add_option("FILE", o->file, "Sound file (mono or stereo)")->required();
  sub->add_option("-o,--output", o->out,
                  "The page (default: FILE's name with .html, beside it); - for standard "
                  "output with --embed-audio");
  sub->add_flag("--embed-audio", o->embedAudio,
                "Put the sound inside the page (files up to " +
                    std::to_string(kEmbedLimitBytes >> 20) + " MB) instead of referring to it");
  sub->add_flag("--loudness", o->loudness,
                "Also draw the loudness curve (sone per 5 ms frame, as `vxaudio loudness` "
                "prints it) over the waveform, with the thresholds");
  AddDetectOptions(sub, o->detect, "Shorter sounds between silences count as silence, seconds");
  AddRawInputOptions(sub);
  return [o] { return RunReview(*o); };
}

CommandRegistration reg(47, &Setup);

}  // namespace
}  // namespace vxcli
