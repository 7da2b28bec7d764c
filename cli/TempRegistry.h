// The process-wide list of temporaries that are still incomplete, and the
// SIGINT/SIGTERM/SIGHUP handlers that remove them before the program ends.
// Part of the output module (OutputFile.h); commands do not use it directly.
//
// The handlers do only what is safe inside a signal handler: they walk a
// fixed array of paths, unlink/rmdir them (a staging folder's own entries
// first, read with the getdents64 system call), and _exit(128 + signal).
// They are installed with the first registration, so commands that never
// write a file (play, info) keep the dispositions they had; a signal that
// was ignored when the program started (nohup, background jobs) stays
// ignored.
#pragma once

#include <signal.h>

#include <string>

namespace vxcli::temps {

enum class Kind : int {
  kFile = 1,    // unlinked
  kFolder = 2,  // a folder this run created: rmdir, only when empty
  kTree = 3,    // a staging folder: its entries (one level deep), then itself
};

// Adds `path` (at most PATH_MAX bytes; relative paths are fine, the program
// never changes its directory). Returns a slot id, or -1 when the list is full
// or the path too long; the caller must then not create the temporary.
int Register(const std::string& path, Kind kind);
// The temporary is complete or gone: the handlers leave it alone.
void Unregister(int slot);

// Defers the three signals while alive, so that a step and its bookkeeping
// (a rename and the unregistering of the old name, a whole commit of a set
// of files) are never separated by a handler. A signal that arrived meanwhile
// is acted on when the outermost hold ends.
class Hold {
 public:
  Hold();
  ~Hold();
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  sigset_t old_{};
};

}  // namespace vxcli::temps
