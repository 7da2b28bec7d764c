#include "WinFFTBetragPhase.h"

#include <cmath>
#include <exception>

#include "fast.h"

namespace vx {

namespace {

bool AllowedLength(int32_t n) { return n >= 2 && n <= (1 << 19) && (n & (n - 1)) == 0; }

// Kaiser window with beta = 2*pi, centred on index n/2 - 1, zero on indices
// 0, n-2 and n-1, scaled so that its entries add up to 2: a sinusoid on a bin
// centre then shows its squared amplitude as that bin's power.
void BuildAnaWin(int32_t n, std::vector<float>& w) {
  try {
    w.assign(static_cast<size_t>(n), 0.0f);
  } catch (const std::exception&) {
    FatalError("generalstruct.WinFFTBetragPhase_data.anaWin: insufficient memory", 1);
  }
  const int32_t h = (n - 2) / 2;
  KaiserWindow(n - 1, w.data() + h, h, 1, 6.2831855f);
  for (int32_t d = 1; d <= h; ++d) w[h - d] = w[h + d];
  double s = w[h];
  for (int32_t d = 1; d <= h; ++d) s += static_cast<double>(w[h + d]) + w[h - d];
  // n = 2 leaves a window without any non-zero entry; keep it all zero
  // instead of scaling by an infinite factor.
  const float factor = s > 0.0 ? static_cast<float>(2.0 / s) : 0.0f;
  w[h] *= factor;
  for (int32_t d = 1; d <= h; ++d) {
    w[h - d] *= factor;
    w[h + d] = w[h - d];
  }
  w[n - 1] = 0.0f;
}

}  // namespace

double BesselI0(float x) {
  const float y = x * 0.5f;
  float d = 1.0f;
  double e = 1.0;
  for (int i = 1; i <= 25; ++i) {
    d = d * y / static_cast<float>(i);
    const float t = d * d;
    e += t;
    if (t < static_cast<double>(1.0e-8f) * e) break;
  }
  return e;
}

void KaiserWindow(int32_t nf, float* output, int32_t count, int32_t odd, float beta) {
  const double nf1 = static_cast<double>(nf) - 1.0;
  const float r = static_cast<float>(1.0 / (nf1 * nf1));
  const float q = static_cast<float>(1.0 / BesselI0(beta));
  for (int32_t i = 0; i < count; ++i) {
    const double x = odd != 0 ? i : i + 0.5;
    const double arg = static_cast<double>(beta) * std::sqrt(1.0 - 4.0 * x * x * r);
    output[i] = static_cast<float>(BesselI0(static_cast<float>(arg)) * q);
  }
}

void WinFFTBetragPhase(const float* input, float* output, int32_t n, int32_t magnitude,
                       int32_t phase, generalstruct& gs) {
  WinFFTBetragPhaseData& wd = gs.WinFFTBetragPhase_data;
  if (wd.needsInit != 0) {
    // The transform owns the refusal of lengths; let it speak before a
    // window of a meaningless size is built.
    if (!AllowedLength(n)) fast(output, n);
    BuildAnaWin(n, wd.anaWin);
    wd.needsInit = 0;
  }
  // The window belongs to the record's first length; a longer frame than the
  // window would read past it, so only the window's entries are weighted.
  const int32_t nw = static_cast<int32_t>(wd.anaWin.size()) < n
                         ? static_cast<int32_t>(wd.anaWin.size())
                         : n;
  const float* w = wd.anaWin.data();
  for (int32_t j = 0; j < nw; ++j) output[j] = w[j] * input[j];
  for (int32_t j = nw; j < n; ++j) output[j] = 0.0f;
  fast(output, n);
  for (int32_t k = 0; k <= n / 2; ++k) {
    const double re = output[2 * k];
    const double im = output[2 * k + 1];
    const double p = re * re + im * im;
    const float v = static_cast<float>(magnitude != 0 ? std::sqrt(p) : p);
    output[2 * k] = v;
    if (phase != 0) output[2 * k + 1] = v == 0.0f ? 0.0f : static_cast<float>(std::atan2(im, re));
  }
}

}  // namespace vx
