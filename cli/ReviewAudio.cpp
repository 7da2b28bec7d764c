#include "ReviewAudio.h"

#include <sndfile.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "AudioFile.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "OutputFile.h"
#include "OutputFormats.h"
#include "OutputPaths.h"
#include "ReviewPage.h"
#include "StandardInput.h"

namespace vxcli {
namespace {

namespace fs = std::filesystem;

// The media type of a format Chromium and Firefox both play, or nullptr:
// WAV only as 16 or 24-bit integers, FLAC, Ogg (Vorbis or Opus) and MP3.
const char* BrowserType(int sfFormat) {
  const int sub = sfFormat & SF_FORMAT_SUBMASK;
  switch (sfFormat & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
      return sub == SF_FORMAT_PCM_16 || sub == SF_FORMAT_PCM_24 ? "audio/wav" : nullptr;
    case SF_FORMAT_FLAC: return "audio/flac";
    case SF_FORMAT_OGG:
      return sub == SF_FORMAT_VORBIS || sub == SF_FORMAT_OPUS ? "audio/ogg" : nullptr;
    case SF_FORMAT_MPEG: return "audio/mpeg";
    default: return nullptr;
  }
}

// The whole file, or an empty string with `why` set.
std::string ReadAll(const std::string& path, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) why = std::string("cannot read it: ") + std::strerror(errno);
  return bytes;
}

int DataUrl(const std::string& shown, const std::string& path, const char* type,
            ReviewAudio& out) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (!ec && size > uint64_t(kEmbedLimitBytes)) {
    PrintError("review", shown,
               "is " + std::to_string(size >> 20) + " MB; --embed-audio takes up to " +
                   std::to_string(kEmbedLimitBytes >> 20) +
                   " MB (without it the page refers to the sound by its path)");
    return kExitFailed;
  }
  std::string why;
  const std::string bytes = ReadAll(path, why);
  if (!why.empty()) {
    PrintError("review", shown, why);
    return kExitFailed;
  }
  out.url = std::string("data:") + type + ";base64," + Base64(bytes);
  out.described = "embedded (" + std::to_string((bytes.size() + 1023) / 1024) + " kB)";
  return kExitOk;
}

// The path of `file` from the page's folder, as URLs resolve it: ".."
// taken lexically, as the browser will.
std::string RelativeUrl(const std::string& file, const std::string& page) {
  std::error_code soundError, pageError;
  const fs::path sound = fs::absolute(file, soundError).lexically_normal();
  const fs::path dir = fs::absolute(page, pageError).parent_path().lexically_normal();
  const fs::path rel = sound.lexically_relative(dir);
  if (soundError || pageError || rel.empty()) return "file://" + PathToUrl(sound.string());
  return PathToUrl(rel.generic_string());
}

// Writes the FLAC copy of the whole sound to `dest` through a temporary;
// with `replace`, over an older file. The temporary stays in `tmp`.
int WriteCopy(const ReviewAudioRequest& r, AudioFile& af, TempFile& tmp,
              const std::string& dest) {
  const OutputFormat& flac = *FormatForExtension("flac");
  const int depth = PcmDepthOf(af.mSfInfo ? af.mSfInfo->format : 0);
  const int bits = Holds(flac, depth) ? depth : 24;  // float and 32-bit sound: 24 bits
  const int channels = af.mChannels == 1 ? 1 : 2;
  const ExportFormat engine = EngineFormat(flac, bits);
  if (auto why = Unwritable(flac, engine, channels, af.mSampleRate)) {
    PrintError("review", dest, *why);
    return kExitFailed;
  }
  if (int err = tmp.Create(dest)) {
    PrintError("review", dest, std::string("cannot create the copy: ") + std::strerror(err));
    return kExitFailed;
  }
  SF_INFO written{};
  const ExportOutcome e = ExportSound(af, tmp.path(), {engine, channels, 0, r.frames}, written);
  if (!e.reason.empty()) {
    PrintError("review", dest, e.reason);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

std::string AudioCopyPath(const std::string& page) {
  const auto [dir, name] = SplitPath(page);
  const auto dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  return JoinPath(dir, stem + ".review.flac");
}

int PrepareReviewAudio(const ReviewAudioRequest& r, AudioFile& af, ReviewAudio& out) {
  const char* type = BrowserType(af.mSfInfo ? af.mSfInfo->format : 0);
  // Standard input and headerless sound exist only as temporaries.
  const bool byPath = type && r.named != "-" && r.path == r.named;
  if (byPath) {
    if (r.embed) return DataUrl(r.named, r.path, type, out);
    out.url = RelativeUrl(r.named, r.page);
    out.described = r.named;
    return kExitOk;
  }
  TempFile tmp;
  if (r.embed) {
    if (int rc = WriteCopy(r, af, tmp, JoinPath(TempDir(), "review.flac")); rc != kExitOk)
      return rc;
    return DataUrl(r.named, tmp.path(), "audio/flac", out);
  }
  const std::string dest = AudioCopyPath(r.page);
  if (int rc = RefuseInput("review", dest, r.named); rc != kExitOk) return rc;
  const std::string target = ReplacedPath(dest);
  if (int rc = WriteCopy(r, af, tmp, target); rc != kExitOk) return rc;
  if (int err = tmp.MoveTo(target, true)) {
    PrintError("review", dest,
               std::string("cannot move the copy into place: ") + std::strerror(err));
    return kExitFailed;
  }
  out.url = PathToUrl(SplitPath(dest).second);
  out.described = dest + " (a FLAC copy the browser can play)";
  return kExitOk;
}

}  // namespace vxcli
