// Opening the sound file a command reads, with the reason in words when it
// cannot be used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class AudioFile;

namespace vxcli {

struct FrameRange;

// Why `path` cannot be read as a file (missing, a directory, no permission),
// or nothing when it looks readable.
std::optional<std::string> UnreadableReason(const std::string& path);

// Describes `path` with the engine; why it cannot be used, or nothing. A file
// without frames or with only zero samples still opens: the caller checks
// af.HasFrames() when it needs frames. `libraryReason` quotes libsndfile's
// reason for a refused file; that is process-wide state, which another
// thread's open may overwrite, so workers leave it out.
std::optional<std::string> OpenFailure(AudioFile& af, const std::string& path,
                                       bool libraryReason);

// OpenFailure with the error line printed. Returns kExitOk or kExitFailed.
int OpenAudio(std::string_view command, AudioFile& af, const std::string& path);

// OpenAudio, then CheckRange of `range` against the file. Returns kExitOk,
// kExitFailed or kExitUsage (error printed).
int OpenAudioRange(std::string_view command, AudioFile& af, const std::string& path,
                   const FrameRange& range, int32_t& oStart, int32_t& oLen);

}  // namespace vxcli
