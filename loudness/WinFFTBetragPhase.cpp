#include "WinFFTBetragPhase.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "SpezLautheitSteps.h"
#include "fast.h"

namespace vx {

namespace {

bool AllowedLength(int32_t n) { return n >= 2 && n <= (1 << 19) && (n & (n - 1)) == 0; }

// Lanes of floats the window and the weighting use: 16 (AVX-512), 8 (AVX2)
// or 4 (SSE2); the processor's widest unless a test narrows them.
std::atomic<int32_t> gNarrowest{16};

int32_t MachineLanes() {
#if defined(__x86_64__)
  static const int32_t lanes = __builtin_cpu_supports("avx512f") ? 16
                               : __builtin_cpu_supports("avx2")  ? 8
                                                                  : 4;
  return lanes;
#else
  return 4;
#endif
}

int32_t Lanes() { return std::min(MachineLanes(), gNarrowest.load(std::memory_order_relaxed)); }

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

// output = w * input, entry by entry: 16 at a time with AVX-512, else 4.
#if defined(__x86_64__)
__attribute__((target("avx512f"))) int32_t WindowedAvx512(const float* w, const float* input,
                                                          float* output, int32_t count) {
  int32_t j = 0;
  for (; j + 16 <= count; j += 16)
    _mm512_storeu_ps(output + j, _mm512_mul_ps(_mm512_loadu_ps(w + j), _mm512_loadu_ps(input + j)));
  return j;
}
#endif

void Windowed(const float* w, const float* input, float* output, int32_t count) {
  int32_t j = 0;
#if defined(__x86_64__)
  if (Lanes() == 16) j = WindowedAvx512(w, input, output, count);
  for (; j + 4 <= count; j += 4)
    _mm_storeu_ps(output + j, _mm_mul_ps(_mm_loadu_ps(w + j), _mm_loadu_ps(input + j)));
#endif
  for (; j < count; ++j) output[j] = w[j] * input[j];
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
  Windowed(wd.anaWin.data(), input, output, nw);
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

// Lower (0) or upper (1) eight floats. The masked forms, which pass zeros,
// not undefined lanes, keep GCC 12's uninitialised-value warning quiet.
template <int kHalf>
__attribute__((target("avx512f"), always_inline)) inline __m256 Half(__m512 x) {
  return _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, _mm512_castps_pd(x), kHalf));
}

// Eight bins a step. One permutation puts the eight real parts before the
// eight imaginary ones, so that each half converts to doubles at once; a
// second one sets the quotients back between the imaginary parts as loaded.
__attribute__((target("avx512f"))) int32_t WeightBinsAvx512(float* spectrum, const float* u,
                                                           int32_t weighted) {
  const __m512i split = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  const __m512i merge =
      _mm512_setr_epi32(0, 17, 1, 19, 2, 21, 3, 23, 4, 25, 5, 27, 6, 29, 7, 31);
  int32_t k = 0;
  for (; k + 8 <= weighted; k += 8) {
    const __m512 x = _mm512_loadu_ps(spectrum + 2 * k);
    const __m512 parts = _mm512_maskz_permutexvar_ps(0xffff, split, x);
    const __m512d re = _mm512_maskz_cvtps_pd(0xff, Half<0>(parts));
    const __m512d im = _mm512_maskz_cvtps_pd(0xff, Half<1>(parts));
    const __m512d p = _mm512_add_pd(_mm512_mul_pd(re, re), _mm512_mul_pd(im, im));
    const __m256 q = _mm256_div_ps(_mm512_maskz_cvtpd_ps(0xff, p), _mm256_loadu_ps(u + k));
    _mm512_storeu_ps(spectrum + 2 * k,
                     _mm512_permutex2var_ps(_mm512_castps256_ps512(q), merge, x));
  }
  return k;
}

int32_t WeightBins(float* spectrum, const float* u, int32_t weighted) {
  switch (Lanes()) {
    case 16: {
      // The bins an eight-bin step leaves go four at a time.
      const int32_t k = WeightBinsAvx512(spectrum, u, weighted);
      return k + WeightBinsAvx2(spectrum + 2 * k, u + k, weighted - k);
    }
    case 8: return WeightBinsAvx2(spectrum, u, weighted);
    default: return WeightBinsSse2(spectrum, u, weighted);
  }
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

int32_t NarrowSpectrumLanes(int32_t widest) {
  gNarrowest.store(widest, std::memory_order_relaxed);
  return Lanes();
}

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
