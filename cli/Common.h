// What every vxaudio subcommand shares: exit statuses, the one-line error
// report, the diagnostic sink that keeps standard output for results, frame
// ranges, opening a sound file, and writing results (text or JSON).
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class AudioFile;

namespace vxcli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation failed
inline constexpr int kExitUsage = 2;   // the command line asks for something impossible

// ---- diagnostics ----

// Adds --quiet (hide every engine line) to a subcommand.
void AddQuietFlag(CLI::App* sub);
bool Quiet();
void SetQuiet(bool quiet);

// Routes the engine's lines to standard error, standard-output lines
// included, and drops them all under --quiet. Every runner calls it first.
void InstallDiagSink();

// The single error line: "vxaudio <command>: <file>: <reason>". An empty
// file prints "vxaudio <command>: <reason>". Never hidden by --quiet.
void PrintError(std::string_view command, std::string_view file, std::string_view reason);

// ---- files ----

// Why `path` cannot be read as a file (missing, a directory, no permission),
// or nothing when it looks readable.
std::optional<std::string> UnreadableReason(const std::string& path);

// Describes `path` with the engine, printing the error line on failure.
// A file without frames or with only zero samples still opens: the caller
// checks af.HasFrames() when it needs frames. Returns kExitOk or kExitFailed.
int OpenAudio(std::string_view command, AudioFile& af, const std::string& path);

// ---- frame ranges ----

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

// ---- results ----

// Writes `text` to `outPath`, or to standard output when it is empty or "-".
// A file is replaced atomically (WriteResultFile); an output naming
// `sourcePath` is refused (kExitUsage). Returns kExitOk, kExitFailed or
// kExitUsage (error printed).
int WriteResult(std::string_view command, const std::string& outPath, std::string_view text,
                const std::string& sourcePath = {});

// A number for JSON output; NaN and infinities become null.
nlohmann::json JsonNumber(double value);

// Serialises with a final newline: `indent` spaces per level, or on one line
// when negative. Non-finite numbers that reach it are written as null.
std::string DumpJson(const nlohmann::json& value, int indent = 2);
// The same for objects whose keys must keep their insertion order.
std::string DumpJson(const nlohmann::ordered_json& value, int indent = 2);

// A float parameter as its shortest decimal form (0.15, not 0.15000000596...),
// so that the printed value read back gives the same float; null when not finite.
nlohmann::ordered_json FloatJson(float v);

// A frame position in seconds with six decimals.
std::string Seconds(int64_t frame, int32_t rate);

}  // namespace vxcli
