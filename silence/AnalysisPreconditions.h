// What a sound file and a range of it must satisfy before the detector
// analyses them, kept as one ordered table of checks. The detector walks it
// when it opens a range: at the first row that fails it prints its own line
// and stops with its own result. AnalysisRefusal walks the same rows over the
// whole file to tell a user, in plain words, why it would be refused.
//
// Some rows speak to one side only. The range rows concern the detector
// alone (a user asks for the whole file). The channel count and a length
// beyond 32 bits concern the user alone: the detector reads a file of more
// channels as empty and reports it too short, and sees a longer file's
// length in the low 32 bits, which its range rows then judge.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>

#include "generalstruct.h"

namespace vxsilence {

// A file as libsndfile opened it (or did not), with the range asked of it.
struct AnalysisSubject {
  const std::string& fileName;
  bool opened = false;
  SF_INFO info{};      // as filled by the open; zero when it failed
  int32_t start = 0;   // first frame of the range
  int64_t length = 0;  // frames of the range, cut at the end of the file by a check
  // The model N is worked out with, once the rate is known to be supported.
  vx::generalstruct& model;

  int32_t FrameLength() const;  // N
  int32_t Hop() const;          // H
};

// The detector's checks, in order. The first failing row prints its line on
// the error output and gives its result; one row only warns and corrects
// ioSubject.length. kDetectOk when the range can be analysed.
int CheckForDetector(AnalysisSubject& ioSubject);

// The user's words for the first row that fails for iSubject (the whole file:
// start 0, the header's frame count), or an empty string. Prints nothing.
std::string RefusalFor(const AnalysisSubject& iSubject);

}  // namespace vxsilence
