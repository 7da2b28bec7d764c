// Files below the detector's lowest rate (telephone and wideband speech at 8,
// 16, 22.05, 32 kHz) are analysed through a copy resampled to 44.1 kHz; the
// marks found in the copy are then mapped back to the file's own frames.
#pragma once

#include <cstdint>
#include <string>

#include "OutputFile.h"

namespace vxcli {

// The rate the copy is made at: the lowest the detector analyses.
inline constexpr int32_t kAnalysisRate = 44100;
// Below this a file is refused: no speech worth analysing is recorded there,
// and the copy would be more than eleven times the file.
inline constexpr int32_t kLowestResampledRate = 4000;

inline bool NeedsResampling(int32_t rate) { return rate < kAnalysisRate; }

// Frames of the copy of `frames` frames at `rate`.
int64_t ResampledLength(int64_t frames, int32_t rate);
// The file frame at copy frame `pos`: the nearest, within 0..`frames`.
int32_t ToFileFrame(int64_t pos, int32_t rate, int32_t frames);

// Why a file at `rate` (below kAnalysisRate) with `frames` frames, which the
// detector would take at kAnalysisRate, cannot be analysed through a copy, or
// an empty string.
std::string ResampledRefusal(int32_t rate, int64_t frames);

// The copy: a 32-bit float file at kAnalysisRate in the system's temporary
// folder, written block by block (memory stays flat whatever the length),
// removed when this object goes and by the signal handlers. Safe to use from
// several threads, one object each.
class ResampledCopy {
 public:
  // Writes the copy of `file` (mono or stereo, any rate). Returns an empty
  // string, or why it could not be made.
  std::string Make(const std::string& file);
  const std::string& path() const { return tmp_.path(); }
  int32_t frames() const { return frames_; }

 private:
  TempFile tmp_;
  int32_t frames_ = 0;
};

}  // namespace vxcli
