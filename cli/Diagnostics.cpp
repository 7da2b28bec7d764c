#include "Diagnostics.h"

#include <atomic>
#include <cstdio>

namespace vxcli {

namespace {

std::atomic<bool> gQuiet{false};
std::atomic<LineCollector*> gCollector{nullptr};

}  // namespace

void AddQuietFlag(CLI::App* sub) {
  sub->add_flag_callback("-q,--quiet", [] { gQuiet.store(true); },
                         "Hide the engine's diagnostic lines (errors still show)");
}

bool Quiet() { return gQuiet.load(); }

// stdio's per-call lock (in the default sink) keeps the audio thread's lines whole.
void ToStandardError(vx::DiagStream, std::string_view line) {
  if (!Quiet()) vx::DefaultDiagSink(vx::DiagStream::Err, line);
}

void Discard(vx::DiagStream, std::string_view) {}

DiagScope::DiagScope(vx::DiagSinkFn sink) : mPrevious(vx::SetDiagSink(sink)) {}

DiagScope::~DiagScope() { vx::SetDiagSink(mPrevious); }

LineCollector::LineCollector(bool showReports, bool showErrors)
    : mShowReports(showReports), mShowErrors(showErrors) {
  gCollector.store(this);
  mScope.emplace(&Sink);
}

LineCollector::~LineCollector() {
  mScope.reset();
  gCollector.store(nullptr);
}

void LineCollector::Sink(vx::DiagStream stream, std::string_view line) {
  LineCollector* self = gCollector.load();
  if (!self) return;
  const bool error = stream == vx::DiagStream::Err;
  if (error) {
    std::lock_guard lock(self->mMutex);
    if (!self->mFirstError) self->mFirstError.emplace(line);
  }
  if (error ? self->mShowErrors : self->mShowReports)
    vx::DefaultDiagSink(vx::DiagStream::Err, line);
}

bool LineCollector::HasError() const {
  std::lock_guard lock(mMutex);
  return mFirstError.has_value();
}

std::string LineCollector::FirstError() const {
  std::lock_guard lock(mMutex);
  return mFirstError.value_or("no reason given");
}

void PrintError(std::string_view command, std::string_view file, std::string_view reason) {
  std::string line = "vxaudio ";
  line += command;
  line += ": ";
  if (!file.empty()) {
    line += file;
    line += ": ";
  }
  line += reason;
  line += '\n';
  flockfile(stderr);
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
  funlockfile(stderr);
}

}  // namespace vxcli
