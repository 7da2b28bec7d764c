// A set of files that replaces what was in a folder all at once: staged in a
// hidden folder inside it, then moved into place with the files it replaces
// kept aside until every move has succeeded.
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Diagnostics.h"
#include "ExitStatus.h"
#include "OutputFile.h"
#include "OutputPaths.h"
#include "TempRegistry.h"

namespace vxcli {

namespace {
// Inside the staging folder: the files a forced commit replaces, until it is
// complete.
constexpr const char* kReplaced = ".replaced";
}  // namespace

OutputSet::OutputSet(std::string_view command, std::string dir)
    : command_(command), dir_(std::move(dir)) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

OutputSet::~OutputSet() {
  temps::Hold hold;
  if (!staging_.empty()) {
    std::error_code ec;
    if (!keepStaging_) std::filesystem::remove_all(staging_, ec);
    temps::Unregister(stagingSlot_);
  }
  if (stagingLock_ >= 0) close(stagingLock_);
  // Folders this run made, innermost first; they hold nothing of value.
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
    rmdir(it->first.c_str());
    temps::Unregister(it->second);
  }
}

int OutputSet::MakeDir() {
  struct stat st {};
  if (stat(dir_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return kExitOk;
    PrintError(command_, dir_, "is not a directory");
    return kExitFailed;
  }
  // Each missing level is made and registered as one step, so that an
  // interrupt removes exactly the folders this run made.
  for (size_t at = dir_.find('/', 1);; at = dir_.find('/', at + 1)) {
    const std::string level = at == std::string::npos ? dir_ : dir_.substr(0, at);
    if (stat(level.c_str(), &st) != 0) {
      temps::Hold hold;
      const int slot = temps::Register(level, temps::Kind::kFolder);
      const int err = slot < 0 ? ENAMETOOLONG : mkdir(level.c_str(), 0777) == 0 ? 0 : errno;
      if (err == 0) {
        created_.emplace_back(level, slot);
      } else {
        temps::Unregister(slot);
        if (err != EEXIST) {
          PrintError(command_, dir_,
                     std::string("cannot create the output directory: ") + std::strerror(err));
          return kExitFailed;
        }
      }
    }
    if (at == std::string::npos) return kExitOk;
  }
}

int OutputSet::Open() {
  if (int rc = MakeDir(); rc != kExitOk) return rc;
  SweepStale(dir_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = JoinPath(dir_, TempName(command_));
    temps::Hold hold;
    const int slot = temps::Register(path, temps::Kind::kTree);
    const int err = slot < 0 ? ENAMETOOLONG : mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
    if (err == EEXIST) {
      temps::Unregister(slot);
      continue;
    }
    if (err != 0) {
      temps::Unregister(slot);
      PrintError(command_, dir_,
                 std::string("cannot write in the output directory: ") + std::strerror(err));
      return kExitFailed;
    }
    staging_ = path;
    stagingSlot_ = slot;
    stagingLock_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (stagingLock_ < 0) {
      PrintError(command_, dir_,
                 std::string("cannot write in the output directory: ") + std::strerror(errno));
      return kExitFailed;
    }
    flock(stagingLock_, LOCK_EX);
    return kExitOk;
  }
  PrintError(command_, dir_, "cannot write in the output directory: no free temporary name");
  return kExitFailed;
}

std::string OutputSet::Staged(const std::string& name) const { return staging_ + "/" + name; }

int OutputSet::StageText(const std::string& name, std::string_view text) {
  UniqueFd fd(open(Staged(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  int err = fd ? WriteAll(fd.get(), text) : errno;
  if (err == 0 && close(fd.release()) != 0 && errno != EINTR) err = errno;
  if (err == 0) return kExitOk;
  PrintError(command_, JoinPath(dir_, name), std::strerror(err));
  return kExitFailed;
}

void OutputSet::Restore(const std::vector<std::string>& placed,
                        const std::vector<std::string>& saved) {
  // The new files leave first, so that the old names are free again.
  for (const std::string& name : placed)
    if (rename(JoinPath(dir_, name).c_str(), Staged(name).c_str()) != 0)
      unlink(JoinPath(dir_, name).c_str());
  const std::string replaced = Staged(kReplaced);
  for (const std::string& name : saved) {
    const int err = RenameNoReplace(replaced + "/" + name, JoinPath(dir_, name));
    if (err == 0) continue;
    keepStaging_ = true;
    PrintError(command_, JoinPath(dir_, name),
               std::string("could not be put back (") + std::strerror(err) + "); it is kept as " +
                   replaced + "/" + name);
  }
}

int OutputSet::Commit(const std::vector<std::string>& names,
                      const std::vector<std::string>& obsolete, bool replace) {
  temps::Hold hold;  // a signal waits until the folder is consistent again
  std::vector<std::string> placed, saved;
  auto fail = [&](const std::string& name, int err) {
    Restore(placed, saved);
    PrintError(command_, JoinPath(dir_, name),
               err == EEXIST ? std::string("already exists (use --force to replace it)")
                             : std::string("cannot move into place: ") + std::strerror(err));
    return kExitFailed;
  };
  // One sync of the file system instead of one per file: a split may stage
  // a thousand pieces. It also reports a write the disk refused late.
  if (syncfs(stagingLock_) != 0) {
    PrintError(command_, dir_, std::strerror(errno));
    return kExitFailed;
  }
  const std::string replaced = Staged(kReplaced);
  if (replace) {
    std::vector<std::string> old = names;
    old.insert(old.end(), obsolete.begin(), obsolete.end());
    for (const std::string& name : old) {
      struct stat st {};
      if (lstat(JoinPath(dir_, name).c_str(), &st) != 0) continue;
      if (saved.empty() && mkdir(replaced.c_str(), 0700) != 0) return fail(name, errno);
      if (rename(JoinPath(dir_, name).c_str(), (replaced + "/" + name).c_str()) != 0)
        return fail(name, errno);
      saved.push_back(name);
    }
  }
  for (const std::string& name : names) {
    chmod(Staged(name).c_str(), NewFileMode());
    if (int err = RenameNoReplace(Staged(name), JoinPath(dir_, name))) return fail(name, err);
    placed.push_back(name);
  }
  // Complete: what was replaced goes, and the folder is the user's now.
  for (const std::string& name : saved) unlink((replaced + "/" + name).c_str());
  rmdir(replaced.c_str());
  rmdir(staging_.c_str());
  temps::Unregister(stagingSlot_);
  staging_.clear();
  for (const auto& [path, slot] : created_) temps::Unregister(slot);
  created_.clear();
  SyncDir(dir_);
  return kExitOk;
}

}  // namespace vxcli
