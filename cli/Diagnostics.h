// Where the engine's lines go while a command runs, and the command's own
// error line.
//
// Standard output belongs to results, so the engine's lines (both of its
// streams) go to standard error, and only under -v: a run that succeeds
// prints its result and nothing else. A command's own warnings show unless
// -q; its error line always does. A command
// says where they go with scopes: each installs a sink when made and puts
// the previous one back when it ends, so where a line goes depends only on
// the scopes alive at that moment, never on what ran before.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Diag.h"

namespace CLI {
class App;
}  // namespace CLI

namespace vxcli {

// How much a run says besides its result: -q only errors, the default also
// the command's own warnings, -v also the engine's lines and the detector's
// reports. One setting for the whole process.
enum class Verbosity { kQuiet, kNormal, kVerbose };

// Adds -q/--quiet and -v/--verbose to the program or one of its commands,
// before or after the command name alike; given both, -v wins.
void AddVerbosityFlags(CLI::App* app);
Verbosity CurrentVerbosity();
inline bool Quiet() { return CurrentVerbosity() == Verbosity::kQuiet; }
inline bool Verbose() { return CurrentVerbosity() == Verbosity::kVerbose; }

// The usual sink: every engine line on standard error under -v, else none.
void ToStandardError(vx::DiagStream stream, std::string_view line);
// Drops every line.
void Discard(vx::DiagStream stream, std::string_view line);

// `sink` takes the engine's lines while the scope lives. Sinks are plain
// functions, so a line from another thread (playback's) never reaches an
// object that is gone.
class DiagScope {
 public:
  explicit DiagScope(vx::DiagSinkFn sink = &ToStandardError);
  ~DiagScope();
  DiagScope(const DiagScope&) = delete;
  DiagScope& operator=(const DiagScope&) = delete;

 private:
  vx::DiagSinkFn mPrevious;
};

// While it lives, the engine's and the detector's lines are held back: the
// first error line is kept to explain a failure in one line of ours, and
// lines are shown on standard error only as asked (reports: the engine's
// standard-output stream; errors: its standard-error one). Lines from the
// detector's worker threads are taken too, so only around work whose threads
// end within the collector's life (not playback); one collector at a time.
class LineCollector {
 public:
  LineCollector(bool showReports, bool showErrors);
  ~LineCollector();
  LineCollector(const LineCollector&) = delete;
  LineCollector& operator=(const LineCollector&) = delete;

  bool HasError() const;
  // The first error line, or "no reason given".
  std::string FirstError() const;

 private:
  static void Sink(vx::DiagStream stream, std::string_view line);

  const bool mShowReports;
  const bool mShowErrors;
  mutable std::mutex mMutex;
  std::optional<std::string> mFirstError;
  std::optional<DiagScope> mScope;  // installed once the collector is ready
};

// The single error line: "vxaudio <command>: <file>: <reason>". An empty
// file prints "vxaudio <command>: <reason>". Never hidden by --quiet.
void PrintError(std::string_view command, std::string_view file, std::string_view reason);

// A warning of the command's own, in the same form with "warning: " before
// the text; hidden by -q.
void PrintWarning(std::string_view command, std::string_view file, std::string_view text);

}  // namespace vxcli
