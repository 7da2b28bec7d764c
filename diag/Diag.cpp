#include "Diag.h"

#include <atomic>
#include <cstdio>

namespace vx {

namespace {
std::atomic<DiagSinkFn> gSink{nullptr};
}

void DefaultDiagSink(DiagStream stream, std::string_view line) {
  // stdio locks each call, so lines from the audio thread never interleave
  // mid-line with the host thread's.
  FILE* f = stream == DiagStream::Out ? stdout : stderr;
  flockfile(f);
  fwrite(line.data(), 1, line.size(), f);
  fputc('\n', f);
  fflush(f);
  funlockfile(f);
}

DiagSinkFn SetDiagSink(DiagSinkFn fn) { return gSink.exchange(fn); }

void Diag(DiagStream stream, std::string_view line) {
  DiagSinkFn fn = gSink.load();
  (fn ? fn : DefaultDiagSink)(stream, line);
}

}  // namespace vx
