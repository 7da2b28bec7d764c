#include "WinFFTBetragPhase.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "SpezLautheitSteps.h"
#include "fast.h"

namespace vx {

namespace {

bool AllowedLength(int32_t n) { return n >= 2 && n <= (1 << 19) && (n & (n - 1)) == 0; }

typedef float Floats8 __attribute__((vector_size(8 * sizeof(float))));

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

// Builds the window on the record's first call and writes the windowed
// samples; returns how many were written (the window's length or n).
int32_t WindowedFrame(const float* input, float* output, int32_t n, generalstruct& gs) {
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
  int32_t j = 0;
  for (; j + 8 <= nw; j += 8) {
    Floats8 a, b;
    std::memcpy(&a, w + j, sizeof a);
    std::memcpy(&b, input + j, sizeof b);
    a *= b;
    std::memcpy(output + j, &a, sizeof a);
  }
  for (; j < nw; ++j) output[j] = w[j] * input[j];
  return nw;
}

#if defined(__x86_64__)
// Power of bins k .. k+3 rounded to float and divided by their transfer
// factors, bin by bin as the scalar loop does; the imaginary parts are
// written back unchanged. Each returns the first bin it left.
int32_t WeightBinsSse2(float* spectrum, const float* u, int32_t weighted) {
  int32_t k = 0;
  for (; k + 4 <= weighted; k += 4) {
    const __m128 x0 = _mm_loadu_ps(spectrum + 2 * k), x1 = _mm_loadu_ps(spectrum + 2 * k + 4);
    const __m128 re = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 im = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128d r0 = _mm_cvtps_pd(re), r1 = _mm_cvtps_pd(_mm_movehl_ps(re, re));
    const __m128d i0 = _mm_cvtps_pd(im), i1 = _mm_cvtps_pd(_mm_movehl_ps(im, im));
    const __m128d p0 = _mm_add_pd(_mm_mul_pd(r0, r0), _mm_mul_pd(i0, i0));
    const __m128d p1 = _mm_add_pd(_mm_mul_pd(r1, r1), _mm_mul_pd(i1, i1));
    const __m128 p = _mm_movelh_ps(_mm_cvtpd_ps(p0), _mm_cvtpd_ps(p1));
    const __m128 q = _mm_div_ps(p, _mm_loadu_ps(u + k));
    _mm_storeu_ps(spectrum + 2 * k, _mm_unpacklo_ps(q, im));
    _mm_storeu_ps(spectrum + 2 * k + 4, _mm_unpackhi_ps(q, im));
  }
  return k;
}

__attribute__((target("avx2"))) int32_t WeightBinsAvx2(float* spectrum, const float* u,
                                                       int32_t weighted) {
  int32_t k = 0;
  for (; k + 4 <= weighted; k += 4) {
    const __m128 x0 = _mm_loadu_ps(spectrum + 2 * k), x1 = _mm_loadu_ps(spectrum + 2 * k + 4);
    const __m128 re = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 im = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 1, 3, 1));
    const __m256d r = _mm256_cvtps_pd(re), i = _mm256_cvtps_pd(im);
    const __m256d p = _mm256_add_pd(_mm256_mul_pd(r, r), _mm256_mul_pd(i, i));
    const __m128 q = _mm_div_ps(_mm256_cvtpd_ps(p), _mm_loadu_ps(u + k));
    _mm_storeu_ps(spectrum + 2 * k, _mm_unpacklo_ps(q, im));
    _mm_storeu_ps(spectrum + 2 * k + 4, _mm_unpackhi_ps(q, im));
  }
  return k;
}

int32_t WeightBins(float* spectrum, const float* u, int32_t weighted) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 ? WeightBinsAvx2(spectrum, u, weighted) : WeightBinsSse2(spectrum, u, weighted);
}
#else
int32_t WeightBins(float*, const float*, int32_t) { return 0; }
#endif

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
  const int32_t nw = WindowedFrame(input, output, n, gs);
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

namespace detail {

void WeightedPowerSpectrum(const float* frame, float* spectrum, int32_t n, generalstruct& gs) {
  const AussnorhData& a = gs.aussnorh_data;
  if (a.mode != 2) {
    WinFFTBetragPhase(frame, spectrum, n, 0, 0, gs);
    ApplyAussenOhrUebrtrgmss(spectrum, n, 2, gs);
    return;
  }
  const int32_t nw = WindowedFrame(frame, spectrum, n, gs);
  for (int32_t j = nw; j < n; ++j) spectrum[j] = 0.0f;
  fast(spectrum, n);
  // Bin k's power, rounded to float, then divided by its transfer factor:
  // every bin below n/2 that has one (the weighting's stride of 2 ends
  // before bin n/2). The imaginary parts stay as the transform left them.
  const float* u = a.uebrtrgmss.data();
  const int32_t weighted = std::min(n / 2, static_cast<int32_t>(a.uebrtrgmss.size()));
  int32_t k = WeightBins(spectrum, u, weighted);
  for (; k <= n / 2; ++k) {
    const double re = spectrum[2 * k];
    const double im = spectrum[2 * k + 1];
    float v = static_cast<float>(re * re + im * im);
    if (k < weighted) v /= u[k];
    spectrum[2 * k] = v;
  }
}

}  // namespace detail

}  // namespace vx
