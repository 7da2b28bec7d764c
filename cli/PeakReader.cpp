#include "PeakReader.h"

#include <sndfile.h>

#include <algorithm>
#include <vector>

#include "MixDown.h"
#include "OpenError.h"
#include "SndFile.h"

namespace vxcli {
namespace {

// Interleaved values per read: big enough that reads cost little, small
// enough that any file is read in the same few hundred kilobytes.
constexpr int64_t kBlockValues = 65536;

// Folds v[0], v[stride], ... (n values) into lo / hi; `fresh` starts them
// at the first value. Two independent strict comparisons give the engine's
// "above the maximum, else below the minimum" while lo <= hi, NaN included;
// eight lanes let the compiler use vector instructions.
void FoldMinMax(const float* v, int64_t n, int stride, bool fresh, float& lo, float& hi) {
  if (fresh) lo = hi = v[0];
  float l[8], h[8];
  std::fill(l, l + 8, lo);
  std::fill(h, h + 8, hi);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) {
      const float x = v[(i + k) * stride];
      h[k] = x > h[k] ? x : h[k];
      l[k] = x < l[k] ? x : l[k];
    }
  for (; i < n; ++i) {
    const float x = v[i * stride];
    h[0] = x > h[0] ? x : h[0];
    l[0] = x < l[0] ? x : l[0];
  }
  for (int k = 0; k < 8; ++k) {
    hi = h[k] > hi ? h[k] : hi;
    lo = l[k] < lo ? l[k] : lo;
  }
}

}  // namespace

std::string ReadPeaks(const std::string& path, const PeakRequest& r, WaveformPeaks& out) {
  SF_INFO info{};
  SndFilePtr file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) return "not a sound file that can be read (" + SoundFileOpenError(path) + ")";
  const int channels = std::max(info.channels, 1);
  const int outChannels = r.splitChannels ? channels : 1;
  if (r.start > 0 && sf_seek(file.get(), r.start, SEEK_SET) != r.start)
    return "cannot seek to frame " + std::to_string(r.start);

  out.channels = outChannels;
  out.values.clear();
  out.values.reserve(size_t(r.pixels) * 2 * size_t(outChannels));
  const int64_t spp = std::max(r.samplesPerPixel, 1);
  const int64_t blockFrames = std::max<int64_t>(1, kBlockValues / channels);
  std::vector<float> block(size_t(blockFrames * channels));
  std::vector<float> mono(r.splitChannels || channels == 1 ? 0 : size_t(blockFrames));
  std::vector<float> lo(static_cast<size_t>(outChannels)), hi(lo);
  int64_t filled = 0;  // frames in the pixel being formed
  auto flush = [&] {
    for (int k = 0; k < outChannels; ++k) {
      out.values.push_back(ScalePeak(lo[size_t(k)], r.scale));
      out.values.push_back(ScalePeak(hi[size_t(k)], r.scale));
    }
    filled = 0;
  };

  int64_t left = std::min<int64_t>(r.frames, r.pixels * spp);
  while (left > 0) {
    const sf_count_t got = sf_readf_float(file.get(), block.data(), std::min(blockFrames, left));
    if (got <= 0) break;  // the data ends before the header said
    const float* src = block.data();
    int stride = channels;
    if (!mono.empty()) {
      MixDown(block.data(), got, channels, mono.data());
      src = mono.data();
      stride = 1;
    }
    for (int64_t i = 0; i < got;) {
      const int64_t n = std::min<int64_t>(got - i, spp - filled);
      for (int k = 0; k < outChannels; ++k)
        FoldMinMax(src + i * stride + k, n, stride, filled == 0, lo[size_t(k)], hi[size_t(k)]);
      filled += n;
      i += n;
      if (filled == spp) flush();
    }
    left -= got;
  }
  if (filled > 0) flush();
  if (r.padToPixels) out.values.resize(size_t(r.pixels) * 2 * size_t(outChannels), 0);
  return {};
}

}  // namespace vxcli
