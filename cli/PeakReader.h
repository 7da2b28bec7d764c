// The per-pixel minimum and maximum of a range of a sound file, per channel
// or of the mono mixdown, read straight from the file in blocks so that
// memory follows the number of pixels, never the length of the file.
//
// The mixdown is the engine's (the mean of a frame's channels, formed in
// double and stored as a float) and so is the rounding (ScalePeak), so a
// mono result is the engine's overview wherever the pixels cover the same
// frames as its columns.
#pragma once

#include <cstdint>
#include <string>

#include "WaveformData.h"

namespace vxcli {

struct PeakRequest {
  int32_t start = 0;   // first frame of the range
  int32_t frames = 0;  // frames in the range
  int32_t samplesPerPixel = 256;
  // Pixels wanted; frames past pixels x samplesPerPixel are not read. A last
  // pixel with fewer frames holds the peaks of those it has.
  int64_t pixels = 0;
  // When the file ends before the frames its header promised: pad with
  // silent pixels up to `pixels` (a fixed column count), or stop where the
  // data stops.
  bool padToPixels = false;
  bool splitChannels = false;  // one min/max pair per channel, else the mixdown
  int32_t scale = 127;         // value of a full-scale sample
};

// Fills out.values and out.channels. Returns an empty string, or why the
// file could not be read.
std::string ReadPeaks(const std::string& path, const PeakRequest& r, WaveformPeaks& out);

}  // namespace vxcli
