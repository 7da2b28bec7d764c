#include "WaveformData.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vxcli {
namespace {

constexpr int32_t kVersion = 2;
constexpr uint32_t kFlag8Bit = 1;

int32_t ClampToBits(int32_t v, int bits) {
  return std::clamp<int32_t>(v, -FullScale(bits) - 1, FullScale(bits));
}

void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

}  // namespace

int64_t SamplesPerPixelFor(int32_t sampleRate, int64_t pixelsPerSecond) {
  if (pixelsPerSecond <= 0) return 1;
  return std::max<int64_t>(1, (int64_t(sampleRate) + pixelsPerSecond / 2) / pixelsPerSecond);
}

int64_t PixelsFor(int64_t frames, int64_t samplesPerPixel) {
  return samplesPerPixel > 0 ? (frames + samplesPerPixel - 1) / samplesPerPixel : 0;
}

int32_t ScalePeak(float v, int32_t scale) {
  const float t = static_cast<float>(scale) * v;
  if (std::isnan(t)) return 0;
  const float fl = std::floor(t);
  const float r = (t - fl) < 0.5f ? fl : std::ceil(t);
  if (r >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (r < -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(r);
}

std::string PeaksJson(const WaveformPeaks& p) {
  // Written directly rather than through a JSON tree: an hour at 256
  // samples per pixel is over a million values.
  std::string text = "{\"version\":" + std::to_string(kVersion) +
                     ",\"channels\":" + std::to_string(p.channels) +
                     ",\"sample_rate\":" + std::to_string(p.sampleRate) +
                     ",\"samples_per_pixel\":" + std::to_string(p.samplesPerPixel) +
                     ",\"bits\":" + std::to_string(p.bits) +
                     ",\"length\":" + std::to_string(p.Length()) + ",\"data\":[";
  text.reserve(text.size() + p.values.size() * 5 + 3);
  for (size_t i = 0; i < p.values.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(ClampToBits(p.values[i], p.bits));
  }
  text += "]}\n";
  return text;
}

std::string PeaksDat(const WaveformPeaks& p) {
  std::string out;
  const size_t width = p.bits == 8 ? 1 : 2;
  out.reserve(24 + p.values.size() * width);
  Put32(out, uint32_t(kVersion));
  Put32(out, p.bits == 8 ? kFlag8Bit : 0);
  Put32(out, uint32_t(p.sampleRate));
  Put32(out, uint32_t(p.samplesPerPixel));
  Put32(out, uint32_t(p.Length()));
  Put32(out, uint32_t(p.channels));
  for (int32_t v : p.values) {
    const auto u = uint16_t(int16_t(ClampToBits(v, p.bits)));
    out += char(u & 0xFF);
    if (width == 2) out += char(u >> 8);
  }
  return out;
}

std::string PeaksCsv(const WaveformPeaks& p) {
  std::string text = "column";
  if (p.channels == 1) {
    text += ",min,max";
  } else {
    for (int c = 0; c < p.channels; ++c)
      text += ",min" + std::to_string(c) + ",max" + std::to_string(c);
  }
  text += '\n';
  const size_t perPixel = 2 * size_t(p.channels);
  text.reserve(text.size() + p.values.size() * 8);
  for (size_t px = 0; px < p.Length(); ++px) {
    text += std::to_string(px);
    for (size_t k = 0; k < perPixel; ++k) {
      text += ',';
      text += std::to_string(p.values[px * perPixel + k]);
    }
    text += '\n';
  }
  return text;
}

}  // namespace vxcli
