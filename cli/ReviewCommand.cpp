// vxaudio review FILE: one HTML page to look at and listen to the detected
// silences, fix them by hand and download the result as labels, JSON or
// CSV. The page works offline from file://: the libraries, the waveform
// data and the silences are inside it, the sound beside it (or inside it).
#include <cstdio>
#include <memory>
#include <string>

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
  DetectOptions detect;
};

// FILE's name with .html for its extension, beside it.
std::string DefaultPage(const std::string& file) {
  const auto [dir, name] = SplitPath(file);
  const auto dot = name.rfind('.');
  return JoinPath(dir, (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) +
                           ".html");
}

// What the page shows and edits: the detection as `silence --format json`
// describes it, with the waveform's resolution.
std::string PageData(const ReviewOptions& o, const Detection& d, int32_t samplesPerPixel) {
  nlohmann::ordered_json j = DetectionJson(o.detect, o.file, d);
  j["samples_per_pixel"] = samplesPerPixel;
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

  ReviewAudio audio;
  const ReviewAudioRequest sound{.named = o.file, .path = in.path(), .page = page,
                                 .embed = o.embedAudio, .frames = frames};
  if (int rc = PrepareReviewAudio(sound, af, audio); rc != kExitOk) return rc;

  const ReviewPageParts parts{.title = SplitPath(o.file).second,
                              .dataJson = PageData(o, found, peaks.samplesPerPixel),
                              .peaks = PeaksDat(peaks),
                              .audioUrl = audio.url};
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
  AddDetectOptions(sub, o->detect, "Shorter sounds between silences count as silence, seconds");
  AddRawInputOptions(sub);
  return [o] { return RunReview(*o); };
}

CommandRegistration reg(47, &Setup);

}  // namespace
}  // namespace vxcli
