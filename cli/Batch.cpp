#include "Batch.h"

#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "Diagnostics.h"
#include "ExitStatus.h"
#include "InputFile.h"
#include "JsonOut.h"
#include "SilenceDetector.h"
#include "StandardInput.h"

namespace vxcli {

namespace {

// ---- the engine's lines, per file ----
//
// The diagnostic sink is one for the whole process, so lines from files
// analysed at the same time would interleave. In a batch each worker points
// the sink at the capture of the file it is on: reports and warnings are
// dropped, error lines kept to explain a failure. With a single worker the
// detector may spread one file over threads of its own, which have no
// pointer of their own; they fall back to the shared capture.
struct Capture {
  std::mutex m;
  std::vector<std::string> errors;
};

thread_local Capture* tCapture = nullptr;
std::atomic<Capture*> gSharedCapture{nullptr};

void BatchSink(vx::DiagStream stream, std::string_view line) {
  if (stream != vx::DiagStream::Err) return;
  Capture* c = tCapture ? tCapture : gSharedCapture.load();
  if (!c) return;
  std::lock_guard lock(c->m);
  c->errors.emplace_back(line);
}

// The capture of the file a worker is on, for as long as it works on it.
class WorkerCapture {
 public:
  explicit WorkerCapture(bool shared) : mShared(shared) {
    tCapture = &mCapture;
    if (mShared) gSharedCapture.store(&mCapture);
  }
  ~WorkerCapture() {
    if (mShared) gSharedCapture.store(nullptr);
    tCapture = nullptr;
  }
  WorkerCapture(const WorkerCapture&) = delete;
  WorkerCapture& operator=(const WorkerCapture&) = delete;

 private:
  Capture mCapture;
  const bool mShared;
};

// ---- the file list ----

bool ReadList(std::istream& in, std::vector<std::string>& ioFiles) {
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) ioFiles.push_back(std::move(line));
  }
  return !in.bad();
}

// Two spellings of one file are the same file: compare device and inode
// when the file exists, the path text otherwise.
std::string Identity(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0)
    return "i" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  return "p" + path;
}

// ---- progress on a terminal ----

std::string Clock(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

class Progress {
 public:
  Progress(size_t total) : mTotal(total), mOn(isatty(STDERR_FILENO) == 1 && !Quiet()) {}

  void Draw(size_t done) {
    if (!mOn) return;
    const double elapsed = Elapsed();
    constexpr size_t kWidth = 24;
    const size_t filled = mTotal ? done * kWidth / mTotal : kWidth;
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '.');
    std::string left = done > 0 && done < mTotal
                           ? "~" + Clock(elapsed / done * (mTotal - done)) + " left"
                           : (done == mTotal ? "done" : "estimating");
    std::fprintf(stderr, "\r\033[K[%s] %zu/%zu files  %s elapsed  %s", bar.c_str(), done, mTotal,
                 Clock(elapsed).c_str(), left.c_str());
    std::fflush(stderr);
    mShown = true;
  }
  // Clears the bar so that an error line starts on a clean line.
  void Clear() {
    if (!mShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    mShown = false;
  }
  bool On() const { return mOn; }

 private:
  double Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - mStart).count();
  }
  size_t mTotal;
  bool mOn;
  bool mShown = false;
  std::chrono::steady_clock::time_point mStart = std::chrono::steady_clock::now();
};

}  // namespace

void AddBatchOptions(CLI::App* sub, BatchOptions& o, const std::string& fileHelp) {
  sub->add_option("FILE", o.files, fileHelp);
  sub->add_option("-j,--jobs", o.jobs,
                  "Files analysed at the same time in a batch (default, or 0: one per processor)")
      ->check(CLI::Range(0, 1024));
  sub->add_option("--files-from", o.filesFrom,
                  "Read more files from LIST, one path per line (- for standard input)");
}

bool IsBatch(const BatchOptions& o) {
  return o.files.size() != 1 || !o.filesFrom.empty() || o.jobs.has_value();
}

std::string FirstCapturedError() {
  Capture* c = tCapture ? tCapture : gSharedCapture.load();
  if (!c) return "no reason given";
  std::lock_guard lock(c->m);
  return c->errors.empty() ? std::string("no reason given") : c->errors.front();
}

int RunBatch(std::string_view command, const BatchOptions& o, const BatchJob& job) {
  std::vector<std::string> files = o.files;
  if (!o.filesFrom.empty()) {
    bool ok;
    if (o.filesFrom == "-") {
      ok = ReadList(std::cin, files);
    } else {
      if (auto why = UnreadableReason(o.filesFrom)) {
        PrintError(command, o.filesFrom, "cannot read the file list: " + *why);
        return kExitUsage;
      }
      std::ifstream in(o.filesFrom);
      ok = in && ReadList(in, files);
    }
    if (!ok) {
      PrintError(command, o.filesFrom == "-" ? "standard input" : o.filesFrom,
                 "cannot read the file list");
      return kExitUsage;
    }
  }
  if (files.empty()) {
    PrintError(command, "", "no files given (FILE... or a non-empty --files-from LIST)");
    return kExitUsage;
  }
  // "-" is standard input: read once, here, before the workers start.
  const auto dashes = std::count(files.begin(), files.end(), std::string("-"));
  if (dashes > 0 && o.filesFrom == "-") {
    PrintError(command, "-", "both - and --files-from - would read standard input");
    return kExitUsage;
  }
  if (dashes > 1) {
    PrintError(command, "-", "standard input can be read only once; name - as one input only");
    return kExitUsage;
  }
  if (int rc = CheckRawOptions(command); rc != kExitOk) return rc;
  InputSource standardInput;
  std::string standardInputWhy;
  const bool standardInputOk =
      dashes == 0 || standardInput.TryPrepare("-", standardInputWhy) == kExitOk;

  // A file listed twice is worked on once; each occurrence still gets its
  // line, so that line k of the output always answers line k of the input.
  const size_t n = files.size();
  std::vector<size_t> owner(n);
  std::vector<size_t> lastUse(n);  // the last entry that needs a file's result
  std::vector<size_t> work;
  {
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < n; ++i) {
      auto [it, fresh] = seen.emplace(Identity(files[i]), i);
      owner[i] = it->second;
      lastUse[it->second] = i;
      if (fresh)
        work.push_back(i);
      else
        PrintWarning(command, files[i],
                     "listed again as entry " + std::to_string(i + 1) + " (first as entry " +
                         std::to_string(it->second + 1) + ": " + files[it->second] +
                         "); done once, its line repeated");
    }
  }

  size_t jobs = o.jobs.value_or(0) > 0 ? static_cast<size_t>(*o.jobs)
                                        : std::max<size_t>(1, std::thread::hardware_concurrency());
  jobs = std::min(jobs, work.size());
  // Files side by side already fill the processors; one file's analysis
  // split over threads on top of that would only oversubscribe them.
  AnalysisMode mode = CurrentAnalysisMode();
  mode.threads = jobs > 1 ? 1 : 0;
  SetAnalysisMode(mode);
  DiagScope lines(&BatchSink);

  std::mutex m;
  std::condition_variable cv;
  std::vector<BatchItem> results(n);
  std::vector<char> ready(n, 0);
  size_t completed = 0;
  std::atomic<size_t> next{0};

  auto worker = [&] {
    for (;;) {
      const size_t w = next.fetch_add(1);
      if (w >= work.size()) return;
      const size_t idx = work[w];
      BatchItem item;
      {
        WorkerCapture capture(jobs == 1);
        try {
          if (files[idx] == "-") {
            if (standardInputOk)
              item = job(standardInput.path());
            else
              item.error = standardInputWhy;
          } else {
            // Headerless files are turned into WAV temporaries one by one.
            InputSource in;
            if (in.TryPrepare(files[idx], item.error) == kExitOk) item = job(in.path());
          }
        } catch (const std::exception& e) {
          item = {};
          item.error = std::string("failed: ") + e.what();
        }
      }
      std::lock_guard lock(m);
      results[idx] = std::move(item);
      ready[idx] = 1;
      ++completed;
      cv.notify_all();
    }
  };

  Progress progress(work.size());
  bool anyFailed = false;
  bool outputFailed = false;
  {
    std::vector<std::jthread> threads;
    for (size_t t = 0; t < jobs; ++t) threads.emplace_back(worker);

    for (size_t i = 0; i < n && !outputFailed; ++i) {
      const size_t src = owner[i];
      size_t done;
      {
        std::unique_lock lock(m);
        while (!ready[src]) {
          done = completed;
          lock.unlock();
          progress.Draw(done);
          lock.lock();
          // Wake once a second so that the elapsed time keeps moving.
          cv.wait_for(lock, std::chrono::seconds(1), [&] { return ready[src] != 0; });
        }
        done = completed;
      }
      // Read without the lock: a ready slot is never written again.
      const BatchItem& item = results[src];
      nlohmann::ordered_json line;
      line["file"] = files[i];
      if (item.error.empty()) {
        for (auto& [key, value] : item.result.items())
          if (key != "file") line[key] = value;
      } else {
        line["error"] = item.error;
        anyFailed = true;
        if (src == i) {
          progress.Clear();
          PrintError(command, files[i], item.error);
        }
      }
      // An archive of many files must not keep every result until the end.
      if (lastUse[src] == i) results[src] = {};
      const std::string text = DumpJson(line, -1);
      errno = 0;
      std::fwrite(text.data(), 1, text.size(), stdout);
      if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int err = errno ? errno : EIO;
        progress.Clear();
        PrintError(command, "standard output", std::string("write failed: ") + std::strerror(err));
        outputFailed = true;
        next.store(work.size());  // no new files; the running ones finish
      }
      progress.Draw(done);
    }
  }  // workers joined
  progress.Clear();
  return anyFailed || outputFailed ? kExitFailed : kExitOk;
}

}  // namespace vxcli
