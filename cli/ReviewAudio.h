// The sound a review page plays: the file itself by a relative path when
// browsers play its format, otherwise a FLAC copy written beside the page;
// or either inlined as a data: URL (--embed-audio).
#pragma once

#include <cstdint>
#include <string>

class AudioFile;

namespace vxcli {

// The largest sound --embed-audio inlines: the page grows by a third more.
inline constexpr int64_t kEmbedLimitBytes = 50 << 20;

struct ReviewAudioRequest {
  std::string named;  // FILE as given ("-" for standard input)
  std::string path;   // what is opened (a temporary for "-" or headerless sound)
  std::string page;   // where the page goes
  bool embed = false;
  int32_t frames = 0;  // of the sound, for a copy
};

struct ReviewAudio {
  std::string url;        // for the page's audio element
  std::string described;  // for the summary line
};

// The FLAC copy's path for `page`: its name with .review.flac for the
// extension, a name that says whose it is (an older one is replaced).
std::string AudioCopyPath(const std::string& page);

// Chooses, and writes the copy when one is needed (through a temporary,
// replacing an older copy). Prints the error line; returns kExitOk,
// kExitFailed or kExitUsage (a copy that would replace the input).
int PrepareReviewAudio(const ReviewAudioRequest& r, AudioFile& af, ReviewAudio& out);

}  // namespace vxcli
