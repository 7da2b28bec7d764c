// vxaudio info FILE [--json] [--no-peak]: how a file is stored, how long it
// is, its text tags and its largest sample. Many files (or --jobs,
// --files-from) give one JSON object per line.
#include <CLI/CLI.hpp>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AudioFile.h"
#include "Batch.h"
#include "Command.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"
#include "InputFile.h"
#include "JsonOut.h"
#include "OpenError.h"
#include "OutputFile.h"
#include "SndFile.h"
#include "StandardInput.h"

namespace vxcli {
namespace {

struct InfoOptions {
  BatchOptions batch;
  bool json = false;
  bool noPeak = false;
};

// The stored sample: its width and kind. Adaptive and lossy codecs store no
// sample of a fixed width, so neither is known for them.
struct SampleKind {
  std::optional<int> bits;
  const char* kind = nullptr;
};

SampleKind KindOf(int encoding) {
  switch (encoding) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_DPCM_8: return {8, "integer"};
    case SF_FORMAT_DWVW_12: return {12, "integer"};
    case SF_FORMAT_PCM_16: case SF_FORMAT_DPCM_16: case SF_FORMAT_DWVW_16: case SF_FORMAT_ALAC_16:
      return {16, "integer"};
    case SF_FORMAT_ALAC_20: return {20, "integer"};
    case SF_FORMAT_PCM_24: case SF_FORMAT_DWVW_24: case SF_FORMAT_ALAC_24: return {24, "integer"};
    case SF_FORMAT_PCM_32: case SF_FORMAT_ALAC_32: return {32, "integer"};
    case SF_FORMAT_FLOAT: return {32, "float"};
    case SF_FORMAT_DOUBLE: return {64, "float"};
    case SF_FORMAT_ULAW: return {8, "mu-law"};
    case SF_FORMAT_ALAW: return {8, "a-law"};
    default: return {};
  }
}

constexpr std::pair<int, const char*> kTags[] = {
    {SF_STR_TITLE, "title"},     {SF_STR_COPYRIGHT, "copyright"},
    {SF_STR_SOFTWARE, "software"}, {SF_STR_ARTIST, "artist"},
    {SF_STR_COMMENT, "comment"}, {SF_STR_DATE, "date"},
    {SF_STR_ALBUM, "album"},     {SF_STR_LICENSE, "license"},
    {SF_STR_TRACKNUMBER, "tracknumber"}, {SF_STR_GENRE, "genre"}};

struct Description {
  std::string container, extension, encoding;
  SampleKind sample;
  int32_t sampleRate = 0, channels = 0, frames = 0;
  std::optional<int64_t> fileSize;  // regular files only
  std::vector<std::pair<const char*, std::string>> tags;
  std::optional<float> peak;  // not scanned with --no-peak
};

double Seconds(const Description& d) {
  return d.sampleRate > 0 ? static_cast<double>(d.frames) / d.sampleRate : std::nan("");
}

// "hh:mm:ss.mmm", rounded to the millisecond; hours grow past two digits.
std::optional<std::string> Clock(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
  const long long ms = std::llround(seconds * 1000.0);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return buf;
}

// libsndfile leaves a name null when it does not know the format code.
std::string FormatName(SNDFILE* f, int code, bool extension = false) {
  SF_FORMAT_INFO fi{};
  fi.format = code;
  sf_command(f, SFC_GET_FORMAT_INFO, &fi, sizeof fi);
  const char* s = extension ? fi.extension : fi.name;
  return s && *s ? s : extension ? "" : "unknown";
}

// Fills `d`, or says why `path` cannot be described. With `withPeak` the
// engine opens the file first, with its own checks, and scans it for its
// largest sample. The rest comes from an open of our own either way, since
// the engine keeps no handle and reads no tags; so both modes agree on every
// other field. `libraryReason` as in OpenFailure.
std::optional<std::string> Describe(const std::string& path, bool withPeak, bool libraryReason,
                                    Description& d) {
  if (withPeak) {
    AudioFile af;
    if (auto why = OpenFailure(af, path, libraryReason)) return why;
    d.peak = af.GetMaxValue();
  } else if (auto why = UnreadableReason(path)) {
    return why;
  }
  SF_INFO info{};
  SndFilePtr f(sf_open(path.c_str(), SFM_READ, &info));
  if (!f) {
    std::string why = "not a sound file that can be read";
    if (libraryReason) why += " (" + SoundFileOpenError(path) + ")";
    return why;
  }
  if (info.frames > kMaxFrame)
    return "has " + std::to_string(info.frames) + " frames, more than the " +
           std::to_string(kMaxFrame) + " this tool can address";
  d.container = FormatName(f.get(), info.format & SF_FORMAT_TYPEMASK);
  d.extension = FormatName(f.get(), info.format & SF_FORMAT_TYPEMASK, true);
  d.encoding = FormatName(f.get(), info.format & SF_FORMAT_SUBMASK);
  d.sample = KindOf(info.format & SF_FORMAT_SUBMASK);
  d.sampleRate = info.samplerate;
  d.channels = info.channels;
  d.frames = static_cast<int32_t>(info.frames);
  for (auto [id, name] : kTags)
    if (const char* s = sf_get_string(f.get(), id); s && *s) d.tags.emplace_back(name, s);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) d.fileSize = st.st_size;
  return std::nullopt;
}

template <class T>
nlohmann::ordered_json OrNull(const std::optional<T>& v) {
  return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json InfoJson(const Description& d, const std::string& file) {
  nlohmann::ordered_json j;
  j["file"] = file;
  j["file_size"] = OrNull(d.fileSize);
  j["container"] = d.container;
  j["extension"] = d.extension;
  j["encoding"] = d.encoding;
  j["bit_depth"] = OrNull(d.sample.bits);
  j["sample_format"] = d.sample.kind ? nlohmann::ordered_json(d.sample.kind) : nullptr;
  j["sample_rate"] = d.sampleRate;
  j["channels"] = d.channels;
  j["frames"] = d.frames;
  j["duration"] = JsonNumber(Seconds(d));
  j["duration_hms"] = OrNull(Clock(Seconds(d)));
  if (d.peak) j["peak"] = JsonNumber(*d.peak);
  j["tags"] = nlohmann::ordered_json::object();
  for (const auto& [name, value] : d.tags) j["tags"][name] = value;
  return j;
}

std::string InfoText(const Description& d, const std::string& file) {
  std::string text;
  char buf[160];
  // Key in a 13-column field; a value of several lines keeps its indent.
  auto line = [&text](const char* key, const std::string& value) {
    text += key;
    text.append(13 - std::string_view(key).size(), ' ');
    for (char c : value) {
      if (c == '\r') continue;
      text += c;
      if (c == '\n') text.append(13, ' ');
    }
    text += '\n';
  };
  line("file", file);
  if (d.fileSize) line("file size", std::to_string(*d.fileSize) + " bytes");
  line("container", d.container);
  line("encoding", d.encoding);
  if (d.sample.bits) line("bit depth", std::to_string(*d.sample.bits) + " (" + d.sample.kind + ")");
  line("sample rate", std::to_string(d.sampleRate) + " Hz");
  line("channels", std::to_string(d.channels));
  line("frames", std::to_string(d.frames));
  const double duration = Seconds(d);
  if (auto clock = Clock(duration)) {
    std::snprintf(buf, sizeof buf, "%.3f s (%s)", duration, clock->c_str());
    line("duration", buf);
  } else {
    line("duration", "unknown");
  }
  if (d.peak) {
    const double peak = *d.peak;
    if (peak > 0 && std::isfinite(peak)) {
      std::snprintf(buf, sizeof buf, "%.6g (%.2f dBFS)", peak, 20.0 * std::log10(peak));
      line("peak", buf);
    } else if (peak == 0) {
      line("peak", d.frames != 0 ? "0 (every sample is zero)" : "0 (no frames)");
    } else {
      std::snprintf(buf, sizeof buf, "%g", peak);
      line("peak", buf);
    }
  }
  for (const auto& [name, value] : d.tags) line(name, value);
  return text;
}

// One file of a batch: returned instead of printed, and without libsndfile's
// reason (another worker's open may overwrite it).
BatchItem InfoOne(const std::string& file, bool withPeak) {
  BatchItem item;
  Description d;
  if (auto why = Describe(file, withPeak, false, d))
    item.error = *why;
  else
    item.result = InfoJson(d, file);
  return item;
}

int RunInfo(const InfoOptions& o) {
  DiagScope lines;
  const bool withPeak = !o.noPeak;
  if (IsBatch(o.batch))
    return RunBatch("info", o.batch, [withPeak](const std::string& f) { return InfoOne(f, withPeak); });
  const std::string& file = o.batch.files.front();
  InputSource in;
  if (int rc = in.Prepare("info", file); rc != kExitOk) return rc;
  Description d;
  if (auto why = Describe(in.path(), withPeak, true, d)) {
    PrintError("info", file, *why);
    return kExitFailed;
  }
  return WriteResult("info", "", o.json ? DumpJson(InfoJson(d, file)) : InfoText(d, file));
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<InfoOptions>();
  CLI::App* sub = app.add_subcommand(
      "info", "Format, bit depth, size, length, text tags and peak of a file");
  AddBatchOptions(sub, o->batch, "Sound file; several files give one JSON line each");
  AddRawInputOptions(sub);
  sub->add_flag("--json", o->json,
                "Print one JSON object instead of text (a batch always prints JSON Lines)");
  sub->add_flag("--no-peak", o->noPeak,
                "Skip the scan for the largest sample, which reads the whole file: the "
                "\"peak\" field and line are left out");
  return [o] { return RunInfo(*o); };
}

CommandRegistration reg(10, &Setup);

}  // namespace
}  // namespace vxcli
