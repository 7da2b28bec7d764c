// Standard input and output as the files of a command, and headerless sound.
//
// A command's FILE may be "-": standard input is copied to a temporary file
// in $TMPDIR (the engine and the detector open their input by name, often
// more than once, and seek in it), removed when the command ends and by the
// signal handlers of TempRegistry.h when a signal stops it. Results and
// messages keep calling it "-" (ShownName). Standard input can be read once
// per run, so "-" may appear only once.
//
// --raw-rate, --raw-channels and --raw-encoding describe headerless PCM,
// read from "-" or from a named file; it is turned into a WAV temporary that
// the engine can open.
//
// Sound written to "-" is made in a temporary file too (WAV, AU and FLAC
// headers are finished by seeking back), then copied to standard output,
// which must not be a terminal.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace CLI {
class App;
}  // namespace CLI

namespace vxcli {

class TempFile;

// Adds --raw-rate, --raw-channels and --raw-encoding to a subcommand.
void AddRawInputOptions(CLI::App* sub);

// All three raw options or none: prints the error line and returns
// kExitUsage when only some were given, else kExitOk.
int CheckRawOptions(std::string_view command);

// The folder for temporaries that belong nowhere else: $TMPDIR or /tmp.
std::string TempDir();

// What the user called the input now at `path`: "-" for the copy of
// standard input, the named file for a converted headerless one, otherwise
// `path` itself.
std::string ShownName(const std::string& path);

// One input, ready to be opened by name; its temporaries live as long as it.
class InputSource {
 public:
  InputSource();
  ~InputSource();
  InputSource(const InputSource&) = delete;
  InputSource& operator=(const InputSource&) = delete;

  // Readies `named` ("-" or a path). Returns kExitOk, or kExitUsage or
  // kExitFailed with the reason in `oWhy` (nothing printed, so that batch
  // workers can use it).
  int TryPrepare(const std::string& named, std::string& oWhy);
  // The same, with the error line printed.
  int Prepare(std::string_view command, const std::string& named);

  // What to open: the temporary made from the input, or the named file.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::unique_ptr<TempFile> spool_;  // standard input as it came
  std::unique_ptr<TempFile> wav_;    // headerless sound turned into WAV
};

// For sound written to "-": refuses a terminal (kExitUsage, error printed),
// else kExitOk.
int CheckSoundToStandardOutput(std::string_view command);

// Copies the finished file at `path` to standard output. Prints the error
// line; returns kExitOk or kExitFailed.
int CopyToStandardOutput(std::string_view command, const std::string& path);

}  // namespace vxcli
