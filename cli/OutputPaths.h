// Small pieces the output module shares between its files: path splitting,
// temporary names, folder syncing and an owned descriptor.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

namespace vxcli {

// A descriptor closed when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// {folder, name}; the folder is empty for a bare name (the current folder).
inline std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

inline std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Makes renames and removals in `dir` durable; failures change nothing the
// user could act on, so they are not reported.
inline void SyncDir(const std::string& dir) {
  UniqueFd fd(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) fsync(fd.get());
}

// Writes all of `bytes`; 0 or the errno value of the failed write.
inline int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t w = ::write(fd, bytes.data(), bytes.size());
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return w < 0 ? errno : EIO;
    bytes.remove_prefix(size_t(w));
  }
  return 0;
}

// The permissions a newly created file gets (0666 less the umask).
inline mode_t NewFileMode() {
  static const mode_t mode = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
  }();
  return mode;
}

// ".vxaudio-tmp.<pid>.<6 random characters>.<finalName>", at most 255 bytes
// (a long final name is cut down to its extension).
std::string TempName(std::string_view finalName);

}  // namespace vxcli
