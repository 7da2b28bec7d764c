// Waveform data as web waveform players load it: per pixel, the minimum and
// the maximum of each channel (or of the mono mixdown), and its three
// encodings.
//
// - JSON, one line: {"version":2,"channels":C,"sample_rate":R,
//   "samples_per_pixel":Z,"bits":B,"length":L,"data":[...]}.
// - Binary .dat, little-endian: int32 version (2), uint32 flags (bit 0 set
//   for 8-bit values), int32 sample rate, int32 samples per pixel, uint32
//   length (pixels), int32 channels, then the L x C x 2 values as int8 or
//   int16.
// - CSV: "column,min,max" for one channel, "column,min0,max0,min1,max1,..."
//   for more.
//
// Values are in both binary layouts, and in the JSON "data", ordered pixel
// by pixel: min and max of channel 0, min and max of channel 1, ...
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxcli {

// The largest value of a sample of `bits` bits (8 or 16): a full-scale
// sample is drawn as this value, so that -1.0 and 1.0 stay symmetric.
constexpr int32_t FullScale(int bits) { return bits == 8 ? 127 : 32767; }

// The samples per pixel that give `pixelsPerSecond` pixels for a second of
// `sampleRate` frames: the nearest whole number, at least 1.
int64_t SamplesPerPixelFor(int32_t sampleRate, int64_t pixelsPerSecond);

// Pixels for `frames` frames at `samplesPerPixel`: a last partial pixel
// counts (it holds the peaks of the frames it has).
int64_t PixelsFor(int64_t frames, int64_t samplesPerPixel);

// `v` (full scale 1.0) times `scale` as the engine's overview rounds it:
// formed as a float, halves rounded up, saturated to the 32-bit range, 0 for
// NaN. Not yet limited to any bit depth.
int32_t ScalePeak(float v, int32_t scale);

struct WaveformPeaks {
  int32_t sampleRate = 0;
  int32_t samplesPerPixel = 0;
  int bits = 16;     // of the JSON and .dat encodings: values are clamped to it there
  int channels = 1;  // channels per pixel in `values`
  std::vector<int32_t> values;  // per pixel: min, max of channel 0, min, max of channel 1...

  size_t Length() const { return values.size() / (2 * size_t(channels)); }
};

std::string PeaksJson(const WaveformPeaks& p);
std::string PeaksDat(const WaveformPeaks& p);
// Values as computed, not clamped: a float file beyond full scale shows it.
std::string PeaksCsv(const WaveformPeaks& p);

}  // namespace vxcli
