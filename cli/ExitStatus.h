// vxaudio's exit statuses.
#pragma once

namespace vxcli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;         // the operation failed
inline constexpr int kExitUsage = 2;          // the command line asks for something impossible
inline constexpr int kExitInterrupted = 130;  // play stopped by Ctrl-C (128 + SIGINT)

}  // namespace vxcli
