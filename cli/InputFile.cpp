#include "InputFile.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "AudioFile.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"
#include "OpenError.h"
#include "StandardInput.h"

namespace vxcli {

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

std::optional<std::string> OpenFailure(AudioFile& af, const std::string& path,
                                       bool libraryReason) {
  if (auto why = UnreadableReason(path)) return why;
  const int rc = af.InitAudio(path.c_str());
  if (rc == kInitCannotOpen) {
    std::string why = "not a sound file that can be read";
    if (libraryReason) why += " (" + SoundFileOpenError(path) + ")";
    return why;
  }
  // No largest sample (no frames, or all zero) still leaves a valid
  // description, so it is not a failure of opening.
  if (rc != kInitOk && rc != kInitNoPeak)
    return "opening failed (engine result " + std::to_string(rc) + ")";
  // A longer file would be described and drawn wrongly, so say so instead.
  if (af.mSfInfo && af.mSfInfo->frames > kMaxFrame)
    return "has " + std::to_string(af.mSfInfo->frames) + " frames, more than the " +
           std::to_string(kMaxFrame) + " this tool can address";
  return std::nullopt;
}

int OpenAudio(std::string_view command, AudioFile& af, const std::string& path) {
  if (auto why = OpenFailure(af, path, true)) {
    PrintError(command, ShownName(path), *why);
    return kExitFailed;
  }
  return kExitOk;
}

int OpenAudioRange(std::string_view command, AudioFile& af, const std::string& path,
                   const FrameRange& range, int32_t& oStart, int32_t& oLen) {
  if (int rc = OpenAudio(command, af, path); rc != kExitOk) return rc;
  return CheckRange(command, ShownName(path), range, af.mSmpNb, af.mSampleRate, oStart, oLen);
}

}  // namespace vxcli
