// Masked threshold of one frame: the threshold carried from the previous
// frame decays and rests on the threshold in quiet, then each band's level
// spreads over its neighbours, 27 dB per Bark downward and 6 to 15 dB per
// Bark upward.
#include <cmath>

#include "SpezLautheit.h"
#include "SpezLautheitSteps.h"

namespace vx {

namespace {

void Decay(float* m, const float* H, int32_t nBands, double decay, double offset) {
  for (int32_t k = 0; k < nBands; ++k) {
    m[k] = static_cast<float>(m[k] - decay);
    const double quiet = static_cast<double>(H[k]) - offset;
    if (quiet > m[k]) m[k] = static_cast<float>(quiet);
  }
}

// Each band's walk in either direction stops at the first spread level
// below -120 dB.
void WalksThatStop(float* m, const float* levels, int32_t nBands, double zLow, double dz,
                   double offset) {
  double zi = zLow;
  for (int32_t i = 0; i < nBands; ++i, zi += dz) {
    const double Li = levels[i];
    for (int32_t j = i - 1; j >= 0; --j) {
      const double v = (static_cast<double>(j) * dz + zLow - zi) * 27.0 + Li;
      if (v > m[j]) m[j] = static_cast<float>(v);
      if (v < -120.0) break;
    }
    const double s = detail::UpwardSlope(Li, offset);
    for (int32_t j = i; j <= nBands; ++j) {
      const double v = (static_cast<double>(j) * dz + zLow - zi) * s + Li;
      if (v > m[j]) m[j] = static_cast<float>(v);
      if (v < -120.0) break;
    }
  }
}

}  // namespace

void CalcMithoerschw(float* levels, int32_t nBands, int32_t hop, float sampleRate, float fLow,
                     float fHigh, float levelOffset, generalstruct& gs) {
  if (!detail::ThresholdsFor(sampleRate, fLow, fHigh, nBands, levelOffset, gs)) return;
  HoerschwData& hd = gs.hoerschw_data;
  float* m = hd.mithoerschw.data();
  const float* H = hd.hoerschw.data();
  const detail::Layout lay = detail::BandLayoutOf(nBands, fLow, fHigh, gs);
  const double dt = static_cast<double>(hop) / static_cast<double>(sampleRate);
  const double decay = 500.0 * dt;
  const double offset = levelOffset;
  const detail::MaskingWalk walk{levels, nBands, lay.zLow, lay.dz, offset};
  if (!detail::MaskInLanes(hd, decay, walk)) {
    Decay(m, H, nBands, decay, offset);
    WalksThatStop(m, levels, nBands, walk.zLow, walk.dz, offset);
  }
  for (int32_t k = 0; k <= nBands; ++k) levels[k] = m[k];
}

}  // namespace vx
