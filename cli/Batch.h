// Many files through one command: a small runner with N worker threads over a
// file list, whose results come out in input order as JSON Lines (one object
// per line per file). A file that fails yields a line with its error and the
// batch goes on; the exit status is 1 when any file failed.
//
// Batch mode starts when a command gets more than one FILE, --files-from or
// --jobs; one FILE alone keeps the command's usual output.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace vxcli {

struct BatchOptions {
  std::vector<std::string> files;  // FILE... from the command line
  std::string filesFrom;           // --files-from LIST ("-" for standard input)
  std::optional<int> jobs;         // --jobs N; unset or 0: one per processor
};

// Adds FILE... (the positional files, `fileHelp`), --jobs and --files-from.
void AddBatchOptions(CLI::App* sub, BatchOptions& o, const std::string& fileHelp);

bool IsBatch(const BatchOptions& o);

// What one file gave: an object for its line (without "file", which the
// runner puts first), or the reason it failed.
struct BatchItem {
  nlohmann::ordered_json result;
  std::string error;  // empty on success
};

// Runs on a worker thread, once per distinct file. Must not print: the engine's
// lines are captured per file (see FirstCapturedError), and the runner writes
// the result line and the error line.
using BatchJob = std::function<BatchItem(const std::string& file)>;

// Collects the file list, runs `job` over it and writes the JSON Lines to
// standard output. Returns 0, 1 (some file failed) or 2 (usage: no files,
// unreadable list, bad --jobs).
int RunBatch(std::string_view command, const BatchOptions& o, const BatchJob& job);

// The first error line the engine or the detector printed for the file the
// calling worker is on, or "no reason given".
std::string FirstCapturedError();

}  // namespace vxcli
