// One small sink for every diagnostic line the engine and the detector print.
// Each message is one line; the sink appends the end of line and flushes.
// By default Out lines go to standard output and Err lines to standard error;
// a program that keeps standard output for results (the CLI) installs its own.
#pragma once

#include <string_view>

namespace vx {

enum class DiagStream { Out, Err };

using DiagSinkFn = void (*)(DiagStream stream, std::string_view line);

// nullptr restores the default (stdout / stderr). Install before any worker
// thread (playback) may print. Returns the sink it replaces (nullptr for the
// default), so that whoever installs one can put the previous one back.
DiagSinkFn SetDiagSink(DiagSinkFn fn);

void Diag(DiagStream stream, std::string_view line);
inline void DiagOut(std::string_view line) { Diag(DiagStream::Out, line); }
inline void DiagErr(std::string_view line) { Diag(DiagStream::Err, line); }

// The default sink, for sinks that only filter or redirect.
void DefaultDiagSink(DiagStream stream, std::string_view line);

}  // namespace vx
