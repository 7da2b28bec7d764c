// AudioFile: minimum / maximum of the mono mixdown and the waveform overview.
#include <algorithm>
#include <cmath>
#include <limits>

#include "AudioFile.h"
#include "Diag.h"
#include "HeldHandle.h"

namespace {

// Running minimum and maximum over v[0..n). "Greater than the maximum, else
// less than the minimum" equals two independent strict comparisons while
// min <= max, and a NaN start stays NaN either way, so eight lanes give the
// same result as the value-by-value rule.
void MinMaxOf(const float* v, size_t n, float& ioMin, float& ioMax) {
  float lo[8], hi[8];
  std::fill(lo, lo + 8, ioMin);
  std::fill(hi, hi + 8, ioMax);
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) {
      const float x = v[i + size_t(k)];
      hi[k] = x > hi[k] ? x : hi[k];
      lo[k] = x < lo[k] ? x : lo[k];
    }
  float mn = ioMin, mx = ioMax;
  for (; i < n; ++i) {
    if (v[i] > mx)
      mx = v[i];
    else if (v[i] < mn)
      mn = v[i];
  }
  for (int k = 0; k < 8; ++k) {
    mx = hi[k] > mx ? hi[k] : mx;
    mn = lo[k] < mn ? lo[k] : mn;
  }
  ioMin = mn;
  ioMax = mx;
}

// iYDot x value formed as a float, halves rounded up. Products beyond the
// 32-bit range (over-range samples with a huge scale) saturate; NaN gives 0.
int32_t ScaleToDot(int32_t iYDot, float iValue) {
  const float t = static_cast<float>(iYDot) * iValue;
  if (std::isnan(t)) return 0;
  const float fl = std::floor(t);
  const float r = (t - fl) < 0.5f ? fl : std::ceil(t);
  if (r >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (r < -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(r);
}

}  // namespace

int AudioFile::SearchMonoMinMax(float* oMin, float* oMax, int32_t iStart, int32_t iLen) {
  CheckFrameArea(iStart, iLen);
  if (iLen == 0) {
    vx::DiagOut("AudioFile::SearchMinMax: ERROR: nothing to read for getting max");
    return -1;
  }
  HeldHandle hold(*this);
  const int32_t block = std::min<int32_t>(iLen, 4098);
  std::vector<float>& data = mBlock;
  int32_t pos = iStart;
  int32_t consumed = 0;
  int n = ReadMonoData(data, pos, block);
  if (n < 0) {
    vx::DiagErr("AudioFile::SearchMonoMinMax: ERROR: internal failure with ReadMonoData");
    return 1;
  }
  float mn = n > 0 ? data[0] : 0.0f;
  float mx = mn;
  *oMin = mn;
  *oMax = mx;
  while (n > 0) {
    MinMaxOf(data.data(), size_t(n), mn, mx);
    *oMin = mn;
    *oMax = mx;
    pos += n;
    consumed += n;
    n = ReadMonoData(data, pos, std::min<int32_t>(n, iLen - consumed));
    if (n < 0) {
      vx::DiagErr("AudioFile::SearchMonoMinMax: ERROR: internal failure with ReadMonoData");
      return 1;
    }
  }
  return 0;
}

int AudioFile::Audio2Graph(std::vector<int32_t>& oMin, std::vector<int32_t>& oMax, int32_t iXDot,
                           int32_t iYDot) {
  return Audio2Graph(oMin, oMax, iXDot, iYDot, 0, mSmpNb);
}

int AudioFile::Audio2Graph(std::vector<int32_t>& oMin, std::vector<int32_t>& oMax, int32_t iXDot,
                           int32_t iYDot, int32_t iStart, int32_t iLen) {
  int32_t start = iStart;
  int32_t len = iLen;
  CheckFrameArea(start, len);
  oMin.clear();
  oMax.clear();
  if (len == 0) {
    vx::DiagOut("AudioFile::Audio2Graph: WARNING: nothing to read");
    return 0;
  }
  if (iXDot <= 0 || iYDot <= 0) {
    vx::DiagErr("AudioFile::Audio2Graph: ERROR: iXDot and/or iYDot <= 0");
    return -3;
  }
  if (iXDot > iLen) {
    vx::DiagErr("AudioFile::Audio2Graph: ERROR: iXDot > iLen");
    return -2;
  }
  const int32_t width = len / iXDot;
  float mn = 0.0f;
  float mx = 0.0f;
  // One handle for every column instead of two opens per column.
  HeldHandle hold(*this);
  oMin.reserve(size_t(iXDot));
  oMax.reserve(size_t(iXDot));
  for (int32_t c = 0; c < iXDot; ++c) {
    const int32_t from = static_cast<int32_t>(int64_t(start) + int64_t(c) * width);
    if (SearchMonoMinMax(&mn, &mx, from, width) != 0)
      vx::DiagErr("AudioFile::Audio2Graph: ERROR: internal failure with SearchMonoMinMax");
    oMin.push_back(ScaleToDot(iYDot, mn));
    oMax.push_back(ScaleToDot(iYDot, mx));
  }
  return 0;
}
