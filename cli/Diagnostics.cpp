#include "Diagnostics.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>

namespace vxcli {

namespace {

std::atomic<bool> gQuietAsked{false};
std::atomic<bool> gVerboseAsked{false};
std::atomic<LineCollector*> gCollector{nullptr};

}  // namespace

void AddVerbosityFlags(CLI::App* app) {
  app->add_flag_callback("-q,--quiet", [] { gQuietAsked.store(true); },
                         "Print nothing but the result and errors (no warnings)");
  app->add_flag_callback("-v,--verbose", [] { gVerboseAsked.store(true); },
                         "Also show the engine's diagnostic lines and the detector's reports "
                         "on standard error");
}

Verbosity CurrentVerbosity() {
  return gVerboseAsked.load() ? Verbosity::kVerbose
         : gQuietAsked.load() ? Verbosity::kQuiet
                              : Verbosity::kNormal;
}

// stdio's per-call lock (in the default sink) keeps the audio thread's lines whole.
void ToStandardError(vx::DiagStream, std::string_view line) {
  if (Verbose()) vx::DefaultDiagSink(vx::DiagStream::Err, line);
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

void PrintWarning(std::string_view command, std::string_view file, std::string_view text) {
  if (!Quiet()) PrintError(command, file, "warning: " + std::string(text));
}

}  // namespace vxcli
