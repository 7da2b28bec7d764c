// vxaudio graph FILE: the waveform data web players load (the minimum and
// maximum per pixel, of the mono mixdown or of each channel) as JSON, binary
// .dat or CSV; or the waveform drawn as a picture with a time axis and, with
// --silences, the detected silences shaded.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdint>
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
#include "OutputFile.h"
#include "PeakReader.h"
#include "StandardInput.h"
#include "WaveformData.h"
#include "WaveformPicture.h"

namespace vxcli {
namespace {

constexpr int64_t kMaxHeight = 32767;  // the picture's overview values
// A web player's habit: about 172 pixels a second at 44.1 kHz, fine enough
// to zoom into and a few megabytes for an hour.
constexpr int32_t kDefaultSamplesPerPixel = 256;

struct GraphOptions {
  std::string file;
  FrameRange range;
  std::string format = "json";
  std::string out;
  CLI::Option* formatGiven = nullptr;
  // Data only (json, dat, csv): one of the three resolutions, bits, layout.
  int64_t columns = 0;
  int64_t samplesPerPixel = 0;
  int64_t pixelsPerSecond = 0;
  CLI::Option* columnsGiven = nullptr;
  CLI::Option* samplesPerPixelGiven = nullptr;
  CLI::Option* pixelsPerSecondGiven = nullptr;
  int64_t bits = 8;
  CLI::Option* bitsGiven = nullptr;
  int64_t height = 0;
  CLI::Option* heightGiven = nullptr;
  bool splitChannels = false;
  // Picture only.
  std::string size = "1200x300";
  CLI::Option* sizeGiven = nullptr;
  bool silences = false;
  bool labels = false;
  DetectOptions detect;
};

// Brings a requested picture size inside the drawable limits; says so when
// it had to.
void CapSize(const GraphOptions& o, int64_t w, int64_t h, int& oW, int& oH) {
  oW = int(std::clamp<int64_t>(w, kPictureMinWidth, kPictureMaxWidth));
  oH = int(std::clamp<int64_t>(h, kPictureMinHeight, kPictureMaxHeight));
  if (oW != w || oH != h)
    PrintWarning("graph", o.out,
                 "--size " + o.size + " is outside " + std::to_string(kPictureMinWidth) + "x" +
                     std::to_string(kPictureMinHeight) + " to " +
                     std::to_string(kPictureMaxWidth) + "x" + std::to_string(kPictureMaxHeight) +
                     "; drawing " + std::to_string(oW) + "x" + std::to_string(oH));
}

int RunGraphPng(const GraphOptions& o) {
  if (o.columnsGiven->count() > 0) {
    PrintError("graph", o.file, "--columns does not apply to --format png; use --size WxH");
    return kExitUsage;
  }
  if (o.out.empty() || o.out == "-") {
    PrintError("graph", o.file, "--format png needs -o OUT.png (or .svg, .pdf)");
    return kExitUsage;
  }
  int64_t w = 0, h = 0;
  if (!ParsePictureSize(o.size, w, h)) {
    PrintError("graph", o.file, "--size " + o.size + " is not WIDTHxHEIGHT, e.g. 1200x300");
    return kExitUsage;
  }
  if (o.silences)
    if (int rc = CheckDetectOptions("graph", o.detect); rc != kExitOk) return rc;
  if (int rc = RefuseInput("graph", o.out, o.file); rc != kExitOk) return rc;
  int width = 0, height = 0;
  CapSize(o, w, h, width, height);

  InputSource in;
  if (int rc = in.Prepare("graph", o.file); rc != kExitOk) return rc;
  AudioFile af;
  int32_t start = 0, len = 0;
  if (int rc = OpenAudioRange("graph", af, in.path(), o.range, start, len); rc != kExitOk)
    return rc;
  Detection found;
  if (o.silences)
    if (int rc = DetectSilences("graph", in.path(), o.detect, found); rc != kExitOk) return rc;

  // A file shorter than the picture is wide gets one column per frame,
  // stretched across.
  const int32_t columns = std::min<int32_t>(width, len);
  std::vector<int32_t> mins, maxs;
  int rc = af.Audio2Graph(mins, maxs, columns, kMaxHeight, start, len);
  if (rc != 0 || mins.size() != size_t(columns) || maxs.size() != mins.size()) {
    PrintError("graph", o.file,
               "the overview could not be computed (engine result " + std::to_string(rc) + ")");
    return kExitFailed;
  }
  const double rate = af.mSampleRate;
  WaveformData data;
  for (size_t c = 0; c < mins.size(); ++c) {
    data.mins.push_back(float(mins[c]) / kMaxHeight);
    data.maxs.push_back(float(maxs[c]) / kMaxHeight);
  }
  // The engine draws whole columns of len / columns frames; the axis covers
  // exactly what was drawn.
  data.startSeconds = start / rate;
  data.seconds = double(len / columns) * columns / rate;
  // Silences are found over the whole file; a picture of a range shows only
  // those reaching into it, and says that the rest is left out.
  size_t shown = 0;
  for (const MarkData& m : found.silences)
    if (m.area.end > start && m.area.start < int64_t(start) + len) {
      data.shaded.emplace_back(m.area.start / rate, m.area.end / rate);
      ++shown;
    }
  data.labels = o.labels;
  if (o.silences && (start > 0 || int64_t(start) + len < found.frames)) {
    char note[128];
    std::snprintf(note, sizeof note, "silences shaded in %.2f\u2013%.2f s only", start / rate,
                  (int64_t(start) + len) / rate);
    data.caption = note;
  }

  const std::string bytes = EncodePicture(data, width, height, PictureFormatFor(o.out));
  if (bytes.empty()) {
    PrintError("graph", o.out, "the picture could not be encoded");
    return kExitFailed;
  }
  if (int wrc = WriteResult("graph", o.out, bytes, o.file); wrc != kExitOk) return wrc;
  char summary[512];
  std::snprintf(summary, sizeof summary, "%s: %dx%d, %.3f s from %.3f s", o.out.c_str(), width,
                height, data.seconds, data.startSeconds);
  std::string line = summary;
  if (o.silences)
    line += ", " + std::to_string(shown) + " silence" + (shown == 1 ? "" : "s") + " shaded";
  return WriteResult("graph", "", line + "\n");
}

enum class GraphOutput { kJson, kDat, kCsv, kPicture, kUnknown };

std::string Lower(std::string s) {
  for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

GraphOutput OutputNamed(const std::string& name) {
  if (name == "json") return GraphOutput::kJson;
  if (name == "dat") return GraphOutput::kDat;
  if (name == "csv") return GraphOutput::kCsv;
  if (name == "png" || name == "svg" || name == "pdf") return GraphOutput::kPicture;
  return GraphOutput::kUnknown;
}

// --format when given, otherwise the extension of -o (any case); JSON for
// standard output and for any other extension, as before extensions counted.
GraphOutput ChooseOutput(const GraphOptions& o) {
  if (o.formatGiven->count() > 0) {
    const std::string name = Lower(o.format);
    // The other picture kinds are picked by their extension.
    return name == "svg" || name == "pdf" ? GraphOutput::kUnknown : OutputNamed(name);
  }
  const std::string name = o.out.substr(o.out.rfind('/') + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return GraphOutput::kJson;
  const GraphOutput kind = OutputNamed(Lower(name.substr(dot + 1)));
  return kind == GraphOutput::kUnknown ? GraphOutput::kJson : kind;
}

int Usage(const GraphOptions& o, const std::string& reason) {
  PrintError("graph", o.file, reason);
  return kExitUsage;
}

// What the data options ask for, checked before the file is read.
struct DataPlan {
  int bits = 8;
  int32_t scale = 127;  // value of a full-scale sample
};

int CheckDataOptions(const GraphOptions& o, GraphOutput kind, DataPlan& plan) {
  if (o.silences || o.sizeGiven->count() > 0)
    return Usage(o, "--size and --silences apply to pictures (png) only");
  const int resolutions = int(o.columnsGiven->count() > 0) +
                          int(o.samplesPerPixelGiven->count() > 0) +
                          int(o.pixelsPerSecondGiven->count() > 0);
  if (resolutions > 1)
    return Usage(o, "give one of --columns, --samples-per-pixel (-z) and --pixels-per-second");
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  for (auto [opt, value] : {std::pair{o.columnsGiven, o.columns},
                            {o.samplesPerPixelGiven, o.samplesPerPixel},
                            {o.pixelsPerSecondGiven, o.pixelsPerSecond}})
    if (opt->count() > 0 && (value < 1 || value > kMax))
      return Usage(o, opt->get_name() + " " + std::to_string(value) +
                          " must be between 1 and 2147483647");
  if (o.bitsGiven->count() > 0 && o.bits != 8 && o.bits != 16)
    return Usage(o, "--bits " + std::to_string(o.bits) + " must be 8 or 16");
  // Web players want 8 bits; --columns and CSV keep the 16 bits they always had.
  const bool was16 = o.columnsGiven->count() > 0 || kind == GraphOutput::kCsv;
  plan.bits = o.bitsGiven->count() > 0 ? int(o.bits) : was16 ? 16 : 8;
  const int32_t full = FullScale(plan.bits);
  if (o.heightGiven->count() > 0 && (o.height < 1 || o.height > full))
    return Usage(o, "--height " + std::to_string(o.height) + " must be between 1 and " +
                        std::to_string(full) + " for " + std::to_string(plan.bits) +
                        "-bit values");
  plan.scale = o.heightGiven->count() > 0 ? int32_t(o.height) : full;
  if (kind == GraphOutput::kDat && o.out.empty())
    return Usage(o, "binary .dat data goes to a file: -o OUT.dat (or -o - for standard output)");
  return kExitOk;
}

// The peaks of [start, start + len), at the resolution the options chose.
int ComputePeaks(const GraphOptions& o, const DataPlan& plan, AudioFile& af,
                 const std::string& source, int32_t start, int32_t len, WaveformPeaks& peaks) {
  peaks.sampleRate = af.mSampleRate;
  peaks.bits = plan.bits;
  PeakRequest r{.start = start, .frames = len, .splitChannels = o.splitChannels,
                .scale = plan.scale};
  if (o.columnsGiven->count() > 0) {
    if (o.columns > len)
      return Usage(o, "--columns " + std::to_string(o.columns) + " is more than the " +
                          std::to_string(len) + " frames to draw");
    // Whole columns of len / N frames; frames after the last are not drawn.
    r.samplesPerPixel = len / int32_t(o.columns);
    r.pixels = o.columns;
    r.padToPixels = true;
  } else if (o.pixelsPerSecondGiven->count() > 0) {
    if (o.pixelsPerSecond > af.mSampleRate)
      return Usage(o, "--pixels-per-second " + std::to_string(o.pixelsPerSecond) +
                          " is more than the file's " + std::to_string(af.mSampleRate) +
                          " frames per second");
    r.samplesPerPixel = int32_t(SamplesPerPixelFor(af.mSampleRate, o.pixelsPerSecond));
  } else {
    r.samplesPerPixel = o.samplesPerPixelGiven->count() > 0 ? int32_t(o.samplesPerPixel)
                                                            : kDefaultSamplesPerPixel;
  }
  if (r.pixels == 0) r.pixels = PixelsFor(len, r.samplesPerPixel);
  peaks.samplesPerPixel = r.samplesPerPixel;

  if (o.columnsGiven->count() > 0 && !o.splitChannels) {
    // The engine's own overview, exactly as this command always gave it.
    std::vector<int32_t> mins, maxs;
    const auto columns = int32_t(o.columns);
    const int rc = af.Audio2Graph(mins, maxs, columns, plan.scale, start, len);
    if (rc != 0 || mins.size() != size_t(columns) || maxs.size() != mins.size()) {
      PrintError("graph", o.file,
                 "the overview could not be computed (engine result " + std::to_string(rc) + ")");
      return kExitFailed;
    }
    peaks.channels = 1;
    peaks.values.clear();
    for (size_t c = 0; c < mins.size(); ++c) {
      peaks.values.push_back(mins[c]);
      peaks.values.push_back(maxs[c]);
    }
    return kExitOk;
  }
  if (std::string why = ReadPeaks(source, r, peaks); !why.empty()) {
    PrintError("graph", o.file, why);
    return kExitFailed;
  }
  return kExitOk;
}

int RunGraph(const GraphOptions& o) {
  DiagScope lines;
  const GraphOutput kind = ChooseOutput(o);
  if (kind == GraphOutput::kUnknown)
    return Usage(o, "--format " + o.format + " is not one of json, dat, csv, png");
  if (kind == GraphOutput::kPicture) {
    for (CLI::Option* data : {o.samplesPerPixelGiven, o.pixelsPerSecondGiven, o.bitsGiven})
      if (data->count() > 0)
        return Usage(o, data->get_name() + " does not apply to pictures; use --size WxH");
    if (o.splitChannels) return Usage(o, "--split-channels does not apply to pictures");
    return RunGraphPng(o);
  }
  DataPlan plan;
  if (int rc = CheckDataOptions(o, kind, plan); rc != kExitOk) return rc;
  if (!o.out.empty() && o.out != "-")
    if (int rc = RefuseInput("graph", o.out, o.file); rc != kExitOk) return rc;

  InputSource in;
  if (int rc = in.Prepare("graph", o.file); rc != kExitOk) return rc;
  AudioFile af;
  int32_t start = 0, len = 0;
  if (int rc = OpenAudioRange("graph", af, in.path(), o.range, start, len); rc != kExitOk)
    return rc;
  WaveformPeaks peaks;
  if (int rc = ComputePeaks(o, plan, af, in.path(), start, len, peaks); rc != kExitOk) return rc;
  const std::string text = kind == GraphOutput::kDat   ? PeaksDat(peaks)
                           : kind == GraphOutput::kCsv ? PeaksCsv(peaks)
                                                       : PeaksJson(peaks);
  return WriteResult("graph", o.out, text, o.file);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<GraphOptions>();
  CLI::App* sub = app.add_subcommand(
      "graph", "Waveform data for web players (min/max per pixel) or a waveform picture");
  sub->add_option("FILE", o->file, "Sound file")->required();
  AddRawInputOptions(sub);
  o->samplesPerPixelGiven = sub->add_option(
      "-z,--samples-per-pixel", o->samplesPerPixel,
      "Frames per pixel (default 256); the last pixel may hold fewer");
  o->pixelsPerSecondGiven = sub->add_option(
      "--pixels-per-second", o->pixelsPerSecond,
      "Pixels per second of sound (samples per pixel: the rate / N, rounded)");
  o->columnsGiven = sub->add_option(
      "--columns", o->columns,
      "Exactly N pixels of range/N frames (the remainder is not drawn); 16 bits by default");
  o->bitsGiven = sub->add_option(
      "--bits", o->bits,
      "8 or 16 bits per value. Default 8, which web players need (16 with --columns and "
      "for csv, as before)");
  sub->add_flag("--split-channels", o->splitChannels,
                "One min/max pair per channel per pixel instead of the mono mixdown");
  o->heightGiven = sub->add_option(
      "--height", o->height, "Value of a full-scale sample (default 127 for 8 bits, 32767 for 16)");
  AddRangeOptions(sub, o->range);
  o->formatGiven = sub->add_option(
      "--format", o->format,
      "json, dat, csv or png; default: the extension of -o (.json .dat .csv .png, any case), "
      "else json");
  o->sizeGiven = sub->add_option("--size", o->size, "Picture size WIDTHxHEIGHT in pixels (png)")
      ->capture_default_str();
  CLI::Option* silences =
      sub->add_flag("--silences", o->silences, "Shade the detected silences (png)");
  sub->add_flag("--labels", o->labels, "Write each shaded silence's start and end above it (png)")
      ->needs(silences);
  AddDetectOptions(sub, o->detect,
                   "Shorter sounds between silences count as silence, seconds (png --silences)");
  sub->add_option("-o,--output", o->out,
                  "Write the result to this file instead of standard output (dat: -o - for "
                  "standard output, with --format dat)");
  return [o] { return RunGraph(*o); };
}

CommandRegistration reg(20, &Setup);

}  // namespace
}  // namespace vxcli
