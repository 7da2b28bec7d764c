// vxaudio graph FILE --columns N: the waveform overview, one minimum and one
// maximum of the mono mixdown per column, as JSON or CSV; or, with --format
// png, the waveform drawn as a picture with a time axis and, with
// --silences, the detected silences shaded.
#include <algorithm>
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
#include "JsonOut.h"
#include "OutputFile.h"
#include "WaveformPicture.h"

namespace vxcli {
namespace {

constexpr int64_t kMaxHeight = 32767;  // the JSON layout declares 16-bit values

struct GraphOptions {
  std::string file;
  int64_t columns = 0;
  int64_t height = kMaxHeight;
  FrameRange range;
  std::string format = "json";
  std::string out;
  CLI::Option* columnsGiven = nullptr;
  // Picture only.
  std::string size = "1200x300";
  CLI::Option* sizeGiven = nullptr;
  bool silences = false;
  DetectOptions detect;
};

std::string ToJson(const AudioFile& af, int32_t width,
                   const std::vector<int32_t>& mins, const std::vector<int32_t>& maxs) {
  // Players read the data as 16-bit integers; a float source beyond full
  // scale must not wrap around in them.
  auto clamp16 = [](int32_t v) {
    return std::clamp<int32_t>(v, std::numeric_limits<int16_t>::min(),
                               std::numeric_limits<int16_t>::max());
  };
  nlohmann::ordered_json j;
  j["version"] = 2;
  j["channels"] = 1;
  j["sample_rate"] = af.mSampleRate;
  j["samples_per_pixel"] = width;
  j["bits"] = 16;
  j["length"] = mins.size();
  nlohmann::ordered_json data = nlohmann::ordered_json::array();
  data.get_ref<nlohmann::ordered_json::array_t&>().reserve(2 * mins.size());
  for (size_t c = 0; c < mins.size(); ++c) {
    data.push_back(clamp16(mins[c]));
    data.push_back(clamp16(maxs[c]));
  }
  j["data"] = std::move(data);
  return DumpJson(j, -1);
}

std::string ToCsv(const std::vector<int32_t>& mins, const std::vector<int32_t>& maxs) {
  std::string text = "column,min,max\n";
  text.reserve(text.size() + mins.size() * 20);
  for (size_t c = 0; c < mins.size(); ++c) {
    text += std::to_string(c);
    text += ',';
    text += std::to_string(mins[c]);
    text += ',';
    text += std::to_string(maxs[c]);
    text += '\n';
  }
  return text;
}

// Brings a requested picture size inside the drawable limits; says so when
// it had to.
void CapSize(const GraphOptions& o, int64_t w, int64_t h, int& oW, int& oH) {
  oW = int(std::clamp<int64_t>(w, kPictureMinWidth, kPictureMaxWidth));
  oH = int(std::clamp<int64_t>(h, kPictureMinHeight, kPictureMaxHeight));
  if (oW != w || oH != h)
    PrintError("graph", o.out,
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
    PrintError("graph", o.file, "--format png needs -o OUT.png");
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

  AudioFile af;
  int32_t start = 0, len = 0;
  if (int rc = OpenAudioRange("graph", af, o.file, o.range, start, len); rc != kExitOk) return rc;
  Detection found;
  if (o.silences)
    if (int rc = DetectSilences("graph", o.file, o.detect, found); rc != kExitOk) return rc;

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
  for (const MarkData& m : found.silences)
    data.shaded.emplace_back(m.area.start / rate, m.area.end / rate);

  WaveformPicture picture(width, height);
  picture.Draw(data);
  const std::string png = picture.EncodePng();
  if (png.empty()) {
    PrintError("graph", o.out, "the picture could not be encoded");
    return kExitFailed;
  }
  if (int wrc = WriteResult("graph", o.out, png, o.file); wrc != kExitOk) return wrc;
  char summary[512];
  std::snprintf(summary, sizeof summary, "%s: %dx%d, %.3f s from %.3f s", o.out.c_str(), width,
                height, data.seconds, data.startSeconds);
  std::string line = summary;
  if (o.silences)
    line += ", " + std::to_string(found.silences.size()) + " silence" +
            (found.silences.size() == 1 ? "" : "s") + " shaded";
  return WriteResult("graph", "", line + "\n");
}

int RunGraph(const GraphOptions& o) {
  DiagScope lines;
  if (o.format == "png") return RunGraphPng(o);
  if (o.columnsGiven->count() == 0) {
    std::fprintf(stderr, "vxaudio: --columns is required\n");
    return kExitUsage;
  }
  if (o.silences || o.sizeGiven->count() > 0) {
    PrintError("graph", o.file, "--size and --silences apply to --format png only");
    return kExitUsage;
  }
  if (o.format != "json" && o.format != "csv") {
    PrintError("graph", o.file, "--format " + o.format + " is not one of json, csv");
    return kExitUsage;
  }
  if (o.columns < 1 || o.columns > std::numeric_limits<int32_t>::max()) {
    PrintError("graph", o.file, "--columns " + std::to_string(o.columns) +
                                    " must be between 1 and 2147483647");
    return kExitUsage;
  }
  if (o.height < 1 || o.height > kMaxHeight) {
    PrintError("graph", o.file,
               "--height " + std::to_string(o.height) + " must be between 1 and 32767");
    return kExitUsage;
  }
  if (!o.out.empty() && o.out != "-")
    if (int rc = RefuseInput("graph", o.out, o.file); rc != kExitOk) return rc;

  AudioFile af;
  int32_t start = 0, len = 0;
  if (int rc = OpenAudioRange("graph", af, o.file, o.range, start, len); rc != kExitOk) return rc;
  if (o.columns > len) {
    PrintError("graph", o.file,
               "--columns " + std::to_string(o.columns) + " is more than the " +
                   std::to_string(len) + " frames to draw");
    return kExitUsage;
  }

  std::vector<int32_t> mins, maxs;
  const auto columns = static_cast<int32_t>(o.columns);
  int rc = af.Audio2Graph(mins, maxs, columns, static_cast<int32_t>(o.height), start, len);
  if (rc != 0 || mins.size() != static_cast<size_t>(columns) || maxs.size() != mins.size()) {
    PrintError("graph", o.file,
               "the overview could not be computed (engine result " + std::to_string(rc) + ")");
    return kExitFailed;
  }
  const int32_t width = len / columns;
  std::string text = o.format == "csv" ? ToCsv(mins, maxs) : ToJson(af, width, mins, maxs);
  return WriteResult("graph", o.out, text, o.file);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<GraphOptions>();
  CLI::App* sub = app.add_subcommand("graph", "Waveform overview: minimum and maximum per column");
  sub->add_option("FILE", o->file, "Sound file")->required();
  o->columnsGiven =
      sub->add_option("--columns", o->columns, "Number of columns (json and csv; required there)");
  sub->add_option("--height", o->height, "Value of a full-scale sample (default 32767)");
  AddRangeOptions(sub, o->range);
  sub->add_option("--format", o->format, "json (default), csv or png (a picture; needs -o)");
  o->sizeGiven = sub->add_option("--size", o->size, "Picture size WIDTHxHEIGHT in pixels (png)")
      ->capture_default_str();
  sub->add_flag("--silences", o->silences, "Shade the detected silences (png)");
  AddDetectOptions(sub, o->detect,
                   "Shorter sounds between silences count as silence, seconds (png --silences)");
  sub->add_option("-o,--output", o->out, "Write the result to this file instead of standard output");
  AddQuietFlag(sub);
  return [o] { return RunGraph(*o); };
}

CommandRegistration reg(20, &Setup);

}  // namespace
}  // namespace vxcli
