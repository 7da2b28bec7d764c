// Frame ranges given on the command line (--start, --length), checked
// against a file and narrowed to the engine's 32-bit positions, and frame
// positions written as times.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace vxcli {

// Frame positions are 32-bit throughout the engine.
inline constexpr int64_t kMaxFrame = std::numeric_limits<int32_t>::max();

// --start F / --length F, parsed wide so that negative and oversized values
// reach CheckRange and get a clear message instead of wrapping.
struct FrameRange {
  int64_t start = 0;
  std::optional<int64_t> length;  // unset: up to the end of the file
};
void AddRangeOptions(CLI::App* sub, FrameRange& range);

// Checks a range against a file of `frames` frames and narrows it to the
// engine's 32-bit positions. A negative or oversized value is a usage error
// (2); a start at or past the end of the file is a failure (1); a length
// running past the end is cut to the end. Prints the error line itself.
int CheckRange(std::string_view command, const std::string& file, const FrameRange& range,
               int64_t frames, int32_t& oStart, int32_t& oLen);

// A frame position in seconds with six decimals.
std::string Seconds(int64_t frame, int32_t rate);

}  // namespace vxcli
