#include "TempRegistry.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

namespace vxcli::temps {
namespace {

// A run has at most a handful of live temporaries (an export's file, or a
// split's created folders, its staging folder and the file being written).
constexpr int kSlots = 32;

struct Slot {
  std::atomic<int> kind{0};  // 0: free; written last on registration
  char path[PATH_MAX];
};
Slot gSlots[kSlots];

std::atomic<int> gHeld{0};     // depth of Hold
std::atomic<int> gPending{0};  // a signal that arrived during a hold
static_assert(std::atomic<int>::is_always_lock_free, "the handlers read these");

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the entries of an open folder, one level deep. Reading a folder
// while removing from it may skip names, so it reads again until a pass
// finds nothing left.
void EmptyFolder(int fd) {
  alignas(8) char buf[4096];
  for (int pass = 0; pass < 8; ++pass) {
    if (lseek(fd, 0, SEEK_SET) < 0) return;
    bool removed = false;
    for (;;) {
      const long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
        unsigned short reclen;
        std::memcpy(&reclen, buf + at + 16, sizeof reclen);
        const char* name = buf + at + 19;
        at += reclen;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        if (unlinkat(fd, name, 0) == 0 || unlinkat(fd, name, AT_REMOVEDIR) == 0) removed = true;
      }
    }
    if (!removed) return;
  }
}

// Everything still registered: files, then staging folders, then the
// folders this run made (deepest first, which the repeated passes give:
// a parent's rmdir fails until its child is gone).
void RemoveLive() {
  for (Slot& s : gSlots)
    if (s.kind.load(std::memory_order_acquire) == int(Kind::kFile)) unlink(s.path);
  for (Slot& s : gSlots)
    if (s.kind.load(std::memory_order_acquire) == int(Kind::kTree)) {
      const int fd = open(s.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) {
        EmptyFolder(fd);
        close(fd);
      }
      rmdir(s.path);
    }
  for (int pass = 0; pass < kSlots; ++pass) {
    bool removed = false;
    for (Slot& s : gSlots)
      if (s.kind.load(std::memory_order_acquire) == int(Kind::kFolder) && rmdir(s.path) == 0) {
        s.kind.store(0, std::memory_order_relaxed);
        removed = true;
      }
    if (!removed) break;
  }
}

void OnSignal(int sig) {
  if (gHeld.load() > 0) {
    gPending.store(sig);
    return;
  }
  RemoveLive();
  _exit(128 + sig);
}

void InstallHandlers() {
  // A file-size limit then shows as a failed write ("File too large") that
  // is reported and cleaned up, instead of ending the program on the spot.
  signal(SIGXFSZ, SIG_IGN);
  for (int sig : kSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = &OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int other : kSignals) sigaddset(&sa.sa_mask, other);  // one handler at a time
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
  }
}

}  // namespace

int Register(const std::string& path, Kind kind) {
  static std::once_flag once;
  std::call_once(once, InstallHandlers);
  if (path.empty() || path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    // Claim with a marker no handler acts on, fill in, then publish.
    if (!gSlots[i].kind.compare_exchange_strong(expected, -1)) continue;
    std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
    gSlots[i].kind.store(int(kind), std::memory_order_release);
    return i;
  }
  return -1;
}

void Unregister(int slot) {
  if (slot >= 0 && slot < kSlots) gSlots[slot].kind.store(0, std::memory_order_release);
}

Hold::Hold() {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : kSignals) sigaddset(&block, sig);
  gHeld.fetch_add(1);
  pthread_sigmask(SIG_BLOCK, &block, &old_);
}

Hold::~Hold() {
  const bool outermost = gHeld.fetch_sub(1) == 1;
  // A signal blocked meanwhile is delivered here and handled at once.
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  // One that reached another thread during the hold was only noted.
  if (outermost)
    if (const int sig = gPending.exchange(0)) OnSignal(sig);
}

}  // namespace vxcli::temps
