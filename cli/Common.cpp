#include "Common.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "AudioFile.h"
#include "Diag.h"
#include "OutputFile.h"

namespace vxcli {

namespace {

std::atomic<bool> gQuiet{false};

// Standard output belongs to results, so both engine streams end up on
// standard error; stdio's per-call lock keeps the audio thread's lines whole.
void CliDiagSink(vx::DiagStream, std::string_view line) {
  if (gQuiet.load(std::memory_order_relaxed)) return;
  flockfile(stderr);
  fwrite(line.data(), 1, line.size(), stderr);
  fputc('\n', stderr);
  fflush(stderr);
  funlockfile(stderr);
}

constexpr int64_t kMaxFrame = std::numeric_limits<int32_t>::max();

}  // namespace

void AddQuietFlag(CLI::App* sub) {
  sub->add_flag_callback("-q,--quiet", [] { SetQuiet(true); },
                         "Hide the engine's diagnostic lines (errors still show)");
}

bool Quiet() { return gQuiet.load(); }
void SetQuiet(bool quiet) { gQuiet.store(quiet); }

void InstallDiagSink() { vx::SetDiagSink(&CliDiagSink); }

void PrintError(std::string_view command, std::string_view file, std::string_view reason) {
  std::string line = "vxaudio ";
  line += command;
  line += ": ";
  if (!file.empty()) {
    line += file;
    line += ": ";
  }
  line += reason;
  line += '\n';
  flockfile(stderr);
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
  funlockfile(stderr);
}

std::optional<std::string> UnreadableReason(const std::string& path) {
  if (path.empty()) return "empty path";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return "no such file";
    return std::strerror(errno);
  }
  if (S_ISDIR(st.st_mode)) return "is a directory, not a sound file";
  if (access(path.c_str(), R_OK) != 0) return std::string("cannot read: ") + std::strerror(errno);
  return std::nullopt;
}

int OpenAudio(std::string_view command, AudioFile& af, const std::string& path) {
  if (auto why = UnreadableReason(path)) {
    PrintError(command, path, *why);
    return kExitFailed;
  }
  int rc = af.InitAudio(path.c_str());
  if (rc < 0) {
    // libsndfile keeps the reason of the last failed open.
    PrintError(command, path,
               std::string("not a sound file that can be read (") + sf_strerror(nullptr) + ")");
    return kExitFailed;
  }
  // 1 means described but no largest sample (no frames, or all zero): the
  // description is still valid, so this is not a failure of opening.
  if (rc > 1) {
    PrintError(command, path, "opening failed (engine result " + std::to_string(rc) + ")");
    return kExitFailed;
  }
  // Frame positions are 32-bit throughout the engine; a longer file would be
  // described and drawn wrongly, so say so instead.
  if (af.mSfInfo && af.mSfInfo->frames > kMaxFrame) {
    PrintError(command, path,
               "has " + std::to_string(af.mSfInfo->frames) + " frames, more than the " +
                   std::to_string(kMaxFrame) + " this tool can address");
    return kExitFailed;
  }
  return kExitOk;
}

void AddRangeOptions(CLI::App* sub, FrameRange& range) {
  sub->add_option("--start", range.start, "First frame (default 0)");
  sub->add_option("--length", range.length, "Number of frames (default: to the end)");
}

int CheckRange(std::string_view command, const std::string& file, const FrameRange& range,
               int64_t frames, int32_t& oStart, int32_t& oLen) {
  if (range.start < 0) {
    PrintError(command, file, "--start " + std::to_string(range.start) + " is negative");
    return kExitUsage;
  }
  if (range.start > kMaxFrame) {
    PrintError(command, file,
               "--start " + std::to_string(range.start) + " is beyond the largest frame position " +
                   std::to_string(kMaxFrame));
    return kExitUsage;
  }
  if (range.length) {
    if (*range.length <= 0) {
      PrintError(command, file, "--length " + std::to_string(*range.length) + " must be at least 1");
      return kExitUsage;
    }
    if (*range.length > kMaxFrame) {
      PrintError(command, file,
                 "--length " + std::to_string(*range.length) + " is beyond the largest frame count " +
                     std::to_string(kMaxFrame));
      return kExitUsage;
    }
  }
  if (frames <= 0) {
    PrintError(command, file, "the file has no frames");
    return kExitFailed;
  }
  if (range.start >= frames) {
    PrintError(command, file,
               "--start " + std::to_string(range.start) + " is past the end of the file (" +
                   std::to_string(frames) + " frames)");
    return kExitFailed;
  }
  int64_t len = range.length ? *range.length : frames - range.start;
  if (len > frames - range.start) len = frames - range.start;
  oStart = static_cast<int32_t>(range.start);
  oLen = static_cast<int32_t>(len);
  return kExitOk;
}

int WriteResult(std::string_view command, const std::string& outPath, std::string_view text,
                const std::string& sourcePath) {
  if (outPath.empty() || outPath == "-") {
    errno = 0;
    fwrite(text.data(), 1, text.size(), stdout);
    if (fflush(stdout) != 0 || ferror(stdout)) {
      PrintError(command, "standard output",
                 std::string("write failed: ") + std::strerror(errno ? errno : EIO));
      return kExitFailed;
    }
    return kExitOk;
  }
  if (!sourcePath.empty())
    if (int rc = RefuseInput(command, outPath, sourcePath); rc != kExitOk) return rc;
  return WriteResultFile(command, outPath, text);
}

nlohmann::json JsonNumber(double value) {
  if (!std::isfinite(value)) return nullptr;
  return value;
}

std::string DumpJson(const nlohmann::json& value, int indent) {
  // Replace rather than throw on names that are not valid UTF-8: a file
  // name is whatever bytes the file system holds.
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string DumpJson(const nlohmann::ordered_json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

nlohmann::ordered_json FloatJson(float v) {
  if (!std::isfinite(v)) return nullptr;
  char buf[32];
  auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::strtod(std::string(buf, end).c_str(), nullptr);
}

std::string Seconds(int64_t frame, int32_t rate) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6f", static_cast<double>(frame) / rate);
  return buf;
}

}  // namespace vxcli
