#include "FrameRange.h"

#include <cstdio>

#include "Diagnostics.h"
#include "ExitStatus.h"

namespace vxcli {

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

std::string Seconds(int64_t frame, int32_t rate) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6f", static_cast<double>(frame) / rate);
  return buf;
}

}  // namespace vxcli
