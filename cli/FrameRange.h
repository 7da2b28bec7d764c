// Ranges given on the command line (--start, --length, --end) as times,
// resolved against a file's rate, checked against its length and narrowed to
// the engine's 32-bit positions; and frame positions written as times.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace CLI {
class App;
}  // namespace CLI

namespace vxcli {

// Frame positions are 32-bit throughout the engine.
inline constexpr int64_t kMaxFrame = std::numeric_limits<int32_t>::max();

// A time as written: seconds (`90`, `1.5`, `1:30`, `0:01:30.25`) or, with a
// trailing `s`, a count of frames (`88200s`). A leading minus is kept so that
// CheckRange can say the value is negative rather than malformed.
struct TimeValue {
  std::string text;  // as given, for messages
  bool negative = false;
  bool inFrames = false;
  int64_t frames = 0;    // inFrames: the magnitude
  double seconds = 0.0;  // otherwise: the magnitude

  // Parses `text`; nothing when it is neither form.
  static std::optional<TimeValue> Parse(std::string_view text);
  // Frames at `rate`: seconds are rounded to the nearest frame. Saturates far
  // beyond kMaxFrame instead of overflowing.
  int64_t Frames(int32_t rate) const;
  bool IsZero() const { return inFrames ? frames == 0 : seconds == 0.0; }
};

struct FrameRange {
  std::optional<TimeValue> start;   // unset: the first frame
  std::optional<TimeValue> length;  // unset: up to --end, or the end of the file
  std::optional<TimeValue> end;     // exclusive; not with --length
};
// --start, --length and --end; bad syntax and --length with --end are usage
// errors of the parser. `endHelp` replaces the usual --end help.
void AddRangeOptions(CLI::App* sub, FrameRange& range, const std::string& endHelp = {});

// Whether the range asks for anything but the whole file.
inline bool IsWholeFile(const FrameRange& r) { return !r.start && !r.length && !r.end; }

// The checks that need no file: a negative value is a usage error (2).
// Prints the error line itself.
int CheckRangeSigns(std::string_view command, const std::string& file, const FrameRange& range);

// A range resolved against a file, or why it cannot be.
struct ResolvedRange {
  int status = 0;      // kExitOk, kExitUsage or kExitFailed
  std::string reason;  // when refused
  int32_t start = 0;
  int32_t len = 0;
};
// CheckRange without the printing, for batch workers.
ResolvedRange ResolveRange(const FrameRange& range, int64_t frames, int32_t rate);

// Resolves a range against a file of `frames` frames at `rate` Hz and narrows
// it to the engine's 32-bit positions. A negative or oversized value, an
// empty length or an --end not after --start is a usage error (2); a start
// at or past the end of the file is a failure (1); a length or end running
// past the end is cut to the end. Prints the error line itself.
int CheckRange(std::string_view command, const std::string& file, const FrameRange& range,
               int64_t frames, int32_t rate, int32_t& oStart, int32_t& oLen);

// A frame position in seconds with six decimals.
std::string Seconds(int64_t frame, int32_t rate);

}  // namespace vxcli
