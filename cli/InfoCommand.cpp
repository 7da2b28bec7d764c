// vxaudio info FILE [--json]: what the engine learns when it opens a file.
// Many files (or --jobs, --files-from) give one JSON object per line.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "AudioFile.h"
#include "Batch.h"
#include "Command.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "InputFile.h"
#include "JsonOut.h"
#include "OutputFile.h"

namespace vxcli {
namespace {

struct InfoOptions {
  BatchOptions batch;
  bool json = false;
};

// libsndfile leaves a name null when it does not know the format code.
std::string NameOr(const char* s, const char* fallback) { return s && *s ? s : fallback; }

nlohmann::ordered_json InfoJson(AudioFile& af, const std::string& file) {
  const double duration =
      af.mSampleRate > 0 ? static_cast<double>(af.mSmpNb) / af.mSampleRate : std::nan("");
  nlohmann::ordered_json j;
  j["file"] = file;
  j["container"] = NameOr(af.mFormatInfo.name, "unknown");
  j["extension"] = NameOr(af.mFormatInfo.extension, "");
  j["encoding"] = NameOr(af.mSubFormatInfo.name, "unknown");
  j["sample_rate"] = af.mSampleRate;
  j["channels"] = af.mChannels;
  j["frames"] = af.mSmpNb;
  j["duration"] = JsonNumber(duration);
  j["peak"] = JsonNumber(af.GetMaxValue());
  return j;
}

// One file of a batch: the checks of OpenAudio, returned instead of printed
// and without libsndfile's reason (another worker may overwrite it).
BatchItem InfoOne(const std::string& file) {
  BatchItem item;
  AudioFile af;
  if (auto why = OpenFailure(af, file, false))
    item.error = *why;
  else
    item.result = InfoJson(af, file);
  return item;
}

int RunInfo(const InfoOptions& o) {
  DiagScope lines;
  if (IsBatch(o.batch)) return RunBatch("info", o.batch, &InfoOne);
  const std::string& file = o.batch.files.front();
  AudioFile af;
  if (int rc = OpenAudio("info", af, file); rc != kExitOk) return rc;

  const std::string container = NameOr(af.mFormatInfo.name, "unknown");
  const std::string encoding = NameOr(af.mSubFormatInfo.name, "unknown");
  const double duration =
      af.mSampleRate > 0 ? static_cast<double>(af.mSmpNb) / af.mSampleRate : std::nan("");
  const double peak = af.GetMaxValue();

  std::string text;
  if (o.json) {
    text = DumpJson(InfoJson(af, file));
  } else {
    char buf[160];
    auto line = [&text](const char* key, const std::string& value) {
      text += key;
      text.append(13 - std::string_view(key).size(), ' ');
      text += value;
      text += '\n';
    };
    line("file", file);
    line("container", container);
    line("encoding", encoding);
    line("sample rate", std::to_string(af.mSampleRate) + " Hz");
    line("channels", std::to_string(af.mChannels));
    line("frames", std::to_string(af.mSmpNb));
    if (std::isfinite(duration)) {
      std::snprintf(buf, sizeof buf, "%.3f s", duration);
      line("duration", buf);
    } else {
      line("duration", "unknown");
    }
    if (peak > 0 && std::isfinite(peak)) {
      std::snprintf(buf, sizeof buf, "%.6g (%.2f dBFS)", peak, 20.0 * std::log10(peak));
      line("peak", buf);
    } else if (peak == 0) {
      line("peak", af.HasFrames() ? "0 (every sample is zero)" : "0 (no frames)");
    } else {
      std::snprintf(buf, sizeof buf, "%g", peak);
      line("peak", buf);
    }
  }
  return WriteResult("info", "", text);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<InfoOptions>();
  CLI::App* sub = app.add_subcommand("info", "Sample rate, channels, length, format and peak of a file");
  AddBatchOptions(sub, o->batch, "Sound file; several files give one JSON line each");
  sub->add_flag("--json", o->json,
                "Print one JSON object instead of text (a batch always prints JSON Lines)");
  AddQuietFlag(sub);
  return [o] { return RunInfo(*o); };
}

CommandRegistration reg(10, &Setup);

}  // namespace
}  // namespace vxcli
