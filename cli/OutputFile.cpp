// The same-file rule, temporary files and single outputs (results and sound
// files). Split's sets of files are in OutputSet.cpp.
#include "OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <utility>

#include "AudioFile.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "OpenError.h"
#include "OutputPaths.h"
#include "SndFile.h"
#include "TempRegistry.h"

namespace vxcli {

namespace {

// Temporaries untouched for this long are stale even when their pid is in
// use (by a later process that got the same number).
constexpr time_t kStaleSeconds = 600;

// "<pid>.<6 characters>.<rest>" after the prefix; the pid, or 0.
pid_t OwnerOf(std::string_view name) {
  if (name.substr(0, kTempPrefix.size()) != kTempPrefix) return 0;
  name.remove_prefix(kTempPrefix.size());
  size_t digits = 0;
  long long pid = 0;
  while (digits < name.size() && digits < 10 && name[digits] >= '0' && name[digits] <= '9')
    pid = pid * 10 + (name[digits++] - '0');
  const bool shaped = digits > 0 && name.size() > digits + 8 && name[digits] == '.' &&
                      name[digits + 7] == '.';
  return shaped && pid > 0 && pid <= INT32_MAX ? pid_t(pid) : 0;
}

// Decides and removes under the candidate's lock, so two sweepers never
// race a writer that is just starting.
void SweepOne(const std::string& path, pid_t owner) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return;
  bool lockFree = flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
  if (!lockFree && errno == EWOULDBLOCK) return;  // its writer is running
  const bool gone = kill(owner, 0) != 0 && errno == ESRCH;
  const bool old = std::time(nullptr) - st.st_mtime > kStaleSeconds;
  // Without working locks only the pid and the age can tell.
  if (!(lockFree ? gone || old : gone && old)) return;
  std::error_code ec;
  if (S_ISDIR(st.st_mode))
    std::filesystem::remove_all(path, ec);
  else
    unlink(path.c_str());
}

std::string EngineReason(int rc) {
  switch (rc) {
    case kExportCannotOpen: return "the output file could not be opened for writing";
    case kExportBadBits: return "unsupported bit depth";
    case kExportBadChannels: return "unsupported channel count";
    case kExportBadFormat: return "this container does not take these settings";
    case kExportMetadata: return "the source's text metadata could not be copied";
    case kExportReadFailed: return "reading the source failed";
    default: return "export failed (engine result " + std::to_string(rc) + ")";
  }
}

}  // namespace

// ---- the same-file rule ----

bool NamesInput(const std::string& out, const std::string& input) {
  struct stat so {}, si {};
  if (stat(out.c_str(), &so) == 0 && stat(input.c_str(), &si) == 0)
    return so.st_dev == si.st_dev && so.st_ino == si.st_ino;
  std::error_code e1, e2;
  const auto a = std::filesystem::weakly_canonical(out, e1);
  const auto b = std::filesystem::weakly_canonical(input, e2);
  return !e1 && !e2 && a == b;
}

int RefuseInput(std::string_view command, const std::string& out, const std::string& input) {
  if (!NamesInput(out, input)) return kExitOk;
  PrintError(command, out, "names the source file itself; refusing to overwrite it");
  return kExitUsage;
}

// ---- temporaries ----

std::string TempName(std::string_view finalName) {
  static std::mt19937 rng{std::random_device{}() ^ uint32_t(getpid())};
  static constexpr char kChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name(kTempPrefix);
  name += std::to_string(getpid()) + ".";
  for (int i = 0; i < 6; ++i) name += kChars[rng() % (sizeof kChars - 1)];
  name += '.';
  // Within the file system's 255 bytes a name allows; the extension stays.
  if (name.size() + finalName.size() > 255) {
    const auto dot = finalName.rfind('.');
    finalName = dot == std::string_view::npos ? "tmp" : finalName.substr(dot + 1, 16);
  }
  name += finalName;
  return name;
}

void SweepStale(const std::string& dir) {
  static std::set<std::pair<dev_t, ino_t>> swept;
  const std::string where = dir.empty() ? "." : dir;
  struct stat st {};
  if (stat(where.c_str(), &st) != 0 || !swept.insert({st.st_dev, st.st_ino}).second) return;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(where.c_str()), &closedir);
  if (!d) return;
  std::vector<std::pair<std::string, pid_t>> found;
  while (const dirent* e = readdir(d.get()))
    if (pid_t owner = OwnerOf(e->d_name)) found.emplace_back(where + "/" + e->d_name, owner);
  for (const auto& [path, owner] : found) SweepOne(path, owner);
}

TempFile::~TempFile() { Drop(); }

void TempFile::Drop() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
  temps::Unregister(slot_);
  slot_ = -1;
  if (lockFd_ >= 0) close(lockFd_);
  lockFd_ = -1;
}

int TempFile::Create(const std::string& dest) {
  Drop();
  const auto [dir, base] = SplitPath(dest);
  SweepStale(dir);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = JoinPath(dir, TempName(base));
    temps::Hold hold;  // registered and created as one step
    const int slot = temps::Register(path, temps::Kind::kFile);
    if (slot < 0) return ENAMETOOLONG;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      const int err = errno;
      temps::Unregister(slot);
      if (err == EEXIST) continue;
      return err;
    }
    path_ = path;
    fd_ = fd;
    slot_ = slot;
    lockFd_ = dup(fd);
    if (lockFd_ >= 0) flock(lockFd_, LOCK_EX);
    return 0;
  }
  return EEXIST;
}

int TempFile::Write(std::string_view bytes) { return WriteAll(fd_, bytes); }

int TempFile::Finish() {
  int err = fsync(fd_) == 0 ? 0 : errno;
  if (close(fd_) != 0 && err == 0 && errno != EINTR) err = errno;
  fd_ = -1;
  return err;
}

std::string ReplacedPath(const std::string& out) {
  struct stat link {}, target {};
  if (lstat(out.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) ||
      stat(out.c_str(), &target) != 0 || !S_ISREG(target.st_mode))
    return out;
  std::error_code ec;
  const auto resolved = std::filesystem::canonical(out, ec);
  return ec ? out : resolved.string();
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without the no-replace rename: a hard link refuses an
  // existing name the same way.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return errno;
  // Nor hard links (FAT): look first, the best that can be done there.
  struct stat st {};
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int TempFile::MoveTo(const std::string& dest, bool replace) {
  // The result gets the permissions of what it replaces, or a new file's;
  // set only now, so that the writer could open a temporary that will end
  // up read-only.
  struct stat st {};
  const mode_t mode =
      stat(dest.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_mode & 0777 : NewFileMode();
  fchmod(lockFd_, mode);
  temps::Hold hold;  // renamed and forgotten as one step
  const int err = replace ? (rename(path_.c_str(), dest.c_str()) == 0 ? 0 : errno)
                          : RenameNoReplace(path_, dest);
  if (err != 0) return err;
  path_.clear();
  Drop();
  SyncDir(SplitPath(dest).first);
  return 0;
}

// ---- whole outputs ----

int WriteResultFile(std::string_view command, const std::string& out, std::string_view text) {
  struct stat st {};
  const bool exists = stat(out.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    PrintError(command, out, "is a directory");
    return kExitFailed;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    // Nothing to keep and nothing to rename over: a device or a pipe.
    UniqueFd fd(open(out.c_str(), O_WRONLY | O_CLOEXEC));
    int err = fd ? WriteAll(fd.get(), text) : errno;
    if (err == 0 && close(fd.release()) != 0 && errno != EINTR) err = errno;
    if (err == 0) return kExitOk;
    PrintError(command, out, std::strerror(err));
    return kExitFailed;
  }
  const std::string target = ReplacedPath(out);
  TempFile tmp;
  if (int err = tmp.Create(target)) {
    PrintError(command, out, std::string("cannot create: ") + std::strerror(err));
    return kExitFailed;
  }
  int err = tmp.Write(text);
  if (err == 0) err = tmp.Finish();
  if (err == 0 && (err = tmp.MoveTo(target, true)) != 0) {
    PrintError(command, out, std::string("cannot move the result into place: ") + std::strerror(err));
    return kExitFailed;
  }
  if (err != 0) {
    PrintError(command, out, std::strerror(err));
    return kExitFailed;
  }
  return kExitOk;
}

int WriteResult(std::string_view command, const std::string& outPath, std::string_view text,
                const std::string& sourcePath) {
  if (outPath.empty() || outPath == "-") {
    errno = 0;
    fwrite(text.data(), 1, text.size(), stdout);
    if (fflush(stdout) != 0 || ferror(stdout)) {
      PrintError(command, "standard output",
                 std::string("write failed: ") + std::strerror(errno ? errno : EIO));
      return kExitFailed;
    }
    return kExitOk;
  }
  if (!sourcePath.empty())
    if (int rc = RefuseInput(command, outPath, sourcePath); rc != kExitOk) return rc;
  return WriteResultFile(command, outPath, text);
}

ExportOutcome ExportSound(AudioFile& af, const std::string& path, const SoundRange& piece,
                          SF_INFO& written, bool sync) {
  auto writeFailed = [](int err) { return ExportOutcome{std::strerror(err), err}; };
  af.SetCheckedWrites(true);
  const int rc = af.ExportAs(path.c_str(), piece.format, piece.channels, piece.start, piece.len);
  // A failed write is what the user must hear about, whatever else the
  // engine then ran into, and even when it came too late to change the result.
  if (af.LastWriteError() != 0) return writeFailed(af.LastWriteError());
  if (rc == kExportWriteFailed) return writeFailed(EIO);
  if (rc != kExportOk) return {EngineReason(rc), 0};
  // On the disk before it gets its final name; a file system that only now
  // finds no room says so here.
  if (sync) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || fsync(fd.get()) != 0) return writeFailed(errno);
  }
  written = SF_INFO{};
  SndFilePtr check(sf_open(path.c_str(), SFM_READ, &written));
  if (!check) return {"the written file does not read back: " + SoundFileOpenError(path), 0};
  return {};
}

}  // namespace vxcli
