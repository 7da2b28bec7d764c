// Every file vxaudio writes goes through here, so that no command can lose
// data:
//
// - An output that names an input (the same path, another spelling of it, a
//   hard or symbolic link to it) is refused: a usage error, exit 2.
// - Nothing is written in place. A file is written under a temporary name in
//   its destination's folder, every write checked, synced, and renamed over
//   the final name only when complete; a failure removes the temporary and
//   leaves the old file exactly as it was.
// - Temporary names are ".vxaudio-tmp.<pid>.<6 random characters>.<final
//   name>" (the final name last, so that the extension still picks the
//   container), for files and for split's staging folders alike. The writer
//   holds an flock on each while it lives.
// - SIGINT, SIGTERM and SIGHUP remove every temporary (and folder made by
//   the run) not yet complete, then end the program with 128 + the signal.
// - A run that was killed outright (kill -9, power loss) leaves its
//   temporaries behind; the next run that writes into that folder removes
//   them (SweepStale).
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "AudioFile.h"

namespace vxcli {

// ---- the same-file rule ----

// True when writing `out` could touch `input`: both exist and are one file
// (symbolic links followed on both sides, so links of either kind count), or
// their paths are the same once "..", "." and repeated slashes are resolved.
bool NamesInput(const std::string& out, const std::string& input);

// When `out` names `input`, prints the error line and returns kExitUsage;
// kExitOk otherwise.
int RefuseInput(std::string_view command, const std::string& out, const std::string& input);

// ---- temporaries ----

inline constexpr std::string_view kTempPrefix = ".vxaudio-tmp.";

// Removes the stale temporaries in `dir`: files and staging folders named
// as above that no process holds a lock on and whose owner (the pid in the
// name) is gone, or that have not changed for ten minutes (a later process
// may have the pid). Where the file system has no locks, both the owner must
// be gone and ten minutes passed. A running writer holds its lock from the
// moment the name exists but for the instant between creating and locking,
// when its pid is alive and its age zero, so its temporaries are never taken.
// Done once per folder and run, before the first temporary is made there.
void SweepStale(const std::string& dir);

// A temporary file next to a destination, removed on every way out unless it
// was moved into place.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates it empty in `dest`'s folder, with the permissions of the file it
  // will replace or those of a new file. Returns 0 or an errno value.
  int Create(const std::string& dest);
  const std::string& path() const { return path_; }

  // Each returns 0 or the errno value of the first failure.
  int Write(std::string_view bytes);
  int Finish();  // fsync and close of the written data
  // Renames into place, `dest` replaced only when `replace` is set (an
  // existing one gives EEXIST, even one that appeared meanwhile).
  int MoveTo(const std::string& dest, bool replace);

 private:
  void Drop();
  std::string path_;
  int fd_ = -1;      // for writing; closed by Finish
  int lockFd_ = -1;  // keeps the lock until the temporary is gone
  int slot_ = -1;
};

// The file a write to `out` replaces: where a symbolic link at `out` leads
// when that is a regular file (the link stays and shows the new content),
// otherwise `out` itself.
std::string ReplacedPath(const std::string& out);

// Moves `from` to `to` without replacing an existing `to` (EEXIST), also on
// file systems without the no-replace rename. Returns 0 or an errno value.
int RenameNoReplace(const std::string& from, const std::string& to);

// ---- whole outputs ----

// A result file (-o of graph, silence, loudness; pictures): replaced when it
// exists, atomically. A device or pipe (/dev/stdout, a FIFO) is written as
// it is. Prints the error line; returns kExitOk or kExitFailed.
int WriteResultFile(std::string_view command, const std::string& out, std::string_view text);

// Writes `text` to `outPath`, or to standard output when it is empty or "-".
// A file is replaced atomically (WriteResultFile); an output naming
// `sourcePath` is refused (kExitUsage). Returns kExitOk, kExitFailed or
// kExitUsage (error printed).
int WriteResult(std::string_view command, const std::string& outPath, std::string_view text,
                const std::string& sourcePath = {});

// What one engine export writes.
struct SoundRange {
  ExportFormat format;  // the container and encoding (OutputFormats.h)
  int channels = 2;
  int32_t start = 0;
  int32_t len = 0;
};

struct ExportOutcome {
  std::string reason;  // why it failed; empty when it succeeded
  int writeError = 0;  // errno of a failed write, close or sync of the output
};

// Runs the engine's export into `path` (a temporary or a staged file) with
// every write checked, syncs the result unless `sync` is off (a staged set
// is synced as a whole when committed) and reads its description back into
// `written`. A failed write's reason is the system's ("No space left on
// device"), so that it is never mistaken for a fault of the source.
ExportOutcome ExportSound(AudioFile& af, const std::string& path, const SoundRange& piece,
                          SF_INFO& written, bool sync = true);

// A set of files that appears in OUTDIR all at once or not at all (split's
// pieces and index). Files are written into a hidden staging folder inside
// OUTDIR; Commit moves them into place. Without a successful commit, the
// staging folder is removed, and OUTDIR too when this run made it.
class OutputSet {
 public:
  OutputSet(std::string_view command, std::string dir);
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Makes OUTDIR (with its parents) when missing, removes stale temporaries
  // there and creates the staging folder. Prints the error line; returns
  // kExitOk or kExitFailed.
  int Open();
  // Where `name` is staged.
  std::string Staged(const std::string& name) const;
  // Stages a text file. Prints the error line; returns kExitOk or kExitFailed.
  int StageText(const std::string& name, std::string_view text);

  // Moves the staged `names` into OUTDIR. With `replace`, existing files of
  // those names and the `obsolete` ones are replaced or removed; without it,
  // an existing name (even one that appeared meanwhile) fails the commit.
  // Everything staged is synced to the disk first. All or nothing: on
  // failure OUTDIR is put back as it was. Signals wait until it is over. Prints the error line; returns kExitOk or kExitFailed.
  int Commit(const std::vector<std::string>& names, const std::vector<std::string>& obsolete,
             bool replace);

 private:
  int MakeDir();
  void Restore(const std::vector<std::string>& placed, const std::vector<std::string>& saved);

  std::string command_;
  std::string dir_;
  std::string staging_;
  int stagingLock_ = -1;
  int stagingSlot_ = -1;
  bool keepStaging_ = false;  // it holds replaced files that could not be put back
  std::vector<std::pair<std::string, int>> created_;  // folders made, outermost first, and slots
};

}  // namespace vxcli
