// The fast frame: the literal frame's steps, with LinToDB and the loudness
// law replaced by their SLEEF versions for the instruction set at hand.
//
// Why their floats are the literal frame's: the model keeps floats, and a
// double d ulp away from libm's rounds to another float only when a float's
// rounding boundary lies between the two, about d times in 2^29 values.
// An hour at 44.1 kHz takes 1.8e7 logarithms and 1.9e7 powers.
//
// SSE2 takes SLEEF's 1-ulp functions: 10 log10 x, and r^0.23 as
// exp(0.23 ln r), for a third of pow's time. r is at least 0.5, and the
// rounding of the product adds about |0.23 ln r| ulp to the result, under
// 7 ulp for every level up to 120 dB above full scale.
//
// AVX2 and AVX-512 take base-2 forms, whose 3.5-ulp log2 costs half the
// 1-ulp logarithm on eight lanes and two thirds on four:
// - 10 log10 x as (10 log10 2) log2 x: within 3.5 + 1 ulp by the bounds.
//   In fact every float from 1e-12 up gives the literal frame's float, on
//   both sets (all 1.4e9 of them checked against libm, SLEEF 3.5).
// - r^0.23 as exp2(0.23 log2 r): the product y is within 4 ulp of
//   0.23 log2 r, which moves the result by 2.8 |y| ulp, and exp2 adds 1:
//   7 ulp 30 dB above the threshold in quiet, 26 ulp 120 dB above it, by
//   the bounds. Measured, log2 stays under 2.9 ulp and the doubles lie
//   2.5 ulp from pow's on average (2.0 for exp(0.23 ln r)): about one float
//   apart in 2e8 values, one in ten hours. Over 8e8 levels from -125 to
//   160 dB at every band at 44.1, 48 and 96 kHz, half of them within 6 dB
//   of the threshold in quiet where r - 1 cancels, AVX-512 gave no float
//   apart and AVX2 two (the exp(0.23 ln r) form: one and four); the speech
//   hours at 44.1 and 48 kHz none, frame by frame.
// The power of ten stays the 1-ulp exp10 of the literal frame's argument:
// the 3.5-ulp version is no faster, and exp2 of a rescaled argument would
// round that argument otherwise, tens of ulp away.
#include "SpezLautheitFast.h"

#include "SleefKernels.h"
#include "SpezLautheit.h"
#include "SpezLautheitSteps.h"

#if defined(__x86_64__)
#define VX_SLEEF_X86 1
#include <sleef.h>
#endif

namespace vx {

namespace detail {

#if VX_SLEEF_X86
// SSE2 has no blend: the lanes are picked with masks.
void LinToDBSse2(float* values, int32_t count) {
  const __m128d ten = _mm_set1_pd(10.0), least = _mm_set1_pd(1.0e-12);
  const __m128d quietDB = _mm_set1_pd(-120.0);
  for (int32_t i = 0; i < count; i += 2) {
    const int32_t n = count - i < 2 ? count - i : 2;
    double x[2] = {1.0, 1.0};
    for (int32_t l = 0; l < n; ++l) x[l] = values[i + l];
    const __m128d v = _mm_loadu_pd(x);
    const __m128d db = _mm_mul_pd(ten, Sleef_log10d2_u10sse2(v));
    const __m128d quiet = _mm_cmplt_pd(v, least);
    _mm_storeu_pd(x, _mm_or_pd(_mm_and_pd(quiet, quietDB), _mm_andnot_pd(quiet, db)));
    for (int32_t l = 0; l < n; ++l) values[i + l] = static_cast<float>(x[l]);
  }
}

void LoudnessLawSse2(float* values, const double* etq, const double* etqScale, int32_t count,
                     double levelOffset) {
  const __m128d offset = _mm_set1_pd(levelOffset), tenth = _mm_set1_pd(0.1);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d half = _mm_set1_pd(0.5), exponent = _mm_set1_pd(0.23);
  for (int32_t i = 0; i < count; i += 2) {
    const int32_t n = count - i < 2 ? count - i : 2;
    double x[2] = {}, q[2] = {1.0, 1.0}, s[2] = {};
    for (int32_t l = 0; l < n; ++l) {
      x[l] = values[i + l];
      q[l] = etq[i + l];
      s[l] = etqScale[i + l];
    }
    const __m128d e = Sleef_exp10d2_u10sse2(_mm_mul_pd(tenth, _mm_add_pd(offset, _mm_loadu_pd(x))));
    const __m128d r = _mm_mul_pd(half, _mm_add_pd(_mm_div_pd(e, _mm_loadu_pd(q)), one));
    const __m128d p = Sleef_expd2_u10sse2(_mm_mul_pd(exponent, Sleef_logd2_u10sse2(r)));
    _mm_storeu_pd(x, _mm_mul_pd(_mm_loadu_pd(s), _mm_sub_pd(p, one)));
    for (int32_t l = 0; l < n; ++l) values[i + l] = static_cast<float>(x[l]);
  }
}
#endif

}  // namespace detail

bool FastKernelRuns(FastKernel kernel) {
  switch (kernel) {
    case FastKernel::kLibm:
      return true;
#if VX_SLEEF_X86
    case FastKernel::kSse2:
      return true;
    case FastKernel::kAvx2: {
      static const bool avx2 = __builtin_cpu_supports("avx2");
      return avx2;
    }
    case FastKernel::kAvx512: {
      static const bool avx512 =
          __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
      return avx512;
    }
#endif
    default:
      return false;
  }
}

FastKernel BestFastKernel() {
  for (FastKernel k : {FastKernel::kAvx512, FastKernel::kAvx2, FastKernel::kSse2})
    if (FastKernelRuns(k)) return k;
  return FastKernel::kLibm;
}

const char* FastKernelName(FastKernel kernel) {
  switch (kernel) {
    case FastKernel::kSse2:
      return "sse2";
    case FastKernel::kAvx2:
      return "avx2";
    case FastKernel::kAvx512:
      return "avx512";
    default:
      return "libm";
  }
}

void SpezLautheitByFFTFastWith(FastKernel kernel, const float* frame, int32_t frameLen,
                               float* specLoud, int32_t nBands, int32_t hop, float sampleRate,
                               float fLow, float fHigh, float levelOffset, generalstruct& gs) {
  if (!FastKernelRuns(kernel)) kernel = FastKernel::kLibm;
  detail::BandPowerOfFrame(frame, frameLen, specLoud, nBands, hop, sampleRate, fLow, fHigh,
                           levelOffset, gs);
  const SpezlautheitData& sd = gs.spezlautheit_data;
  if (kernel == FastKernel::kLibm) {
    LinToDB(specLoud, sd.nBands, 1);
    CalcMithoerschw(specLoud, sd.nBands, sd.hop, sd.sampleRate, sd.fLow, sd.fHigh,
                    sd.levelOffset, gs);
    CalcSpezLautheit(specLoud, sd.nBands, sd.sampleRate, sd.fLow, sd.fHigh, sd.levelOffset, gs);
    return;
  }
#if VX_SLEEF_X86
  struct Steps {
    void (*linToDB)(float*, int32_t);
    void (*law)(float*, const double*, const double*, int32_t, double);
  };
  const Steps steps = kernel == FastKernel::kAvx512
                          ? Steps{detail::LinToDBAvx512, detail::LoudnessLawAvx512}
                      : kernel == FastKernel::kAvx2
                          ? Steps{detail::LinToDBAvx2, detail::LoudnessLawAvx2}
                          : Steps{detail::LinToDBSse2, detail::LoudnessLawSse2};
  steps.linToDB(specLoud, sd.nBands);
  CalcMithoerschw(specLoud, sd.nBands, sd.hop, sd.sampleRate, sd.fLow, sd.fHigh, sd.levelOffset,
                  gs);
  if (!detail::ThresholdsFor(sd.sampleRate, sd.fLow, sd.fHigh, sd.nBands, sd.levelOffset, gs))
    return;
  const HoerschwData& hd = gs.hoerschw_data;
  steps.law(specLoud, hd.etq.data(), hd.etqScale.data(), sd.nBands + 1, sd.levelOffset);
#endif
}

void SpezLautheitByFFTFast(const float* frame, int32_t frameLen, float* specLoud, int32_t nBands,
                           int32_t hop, float sampleRate, float fLow, float fHigh,
                           float levelOffset, generalstruct& gs) {
  static const FastKernel best = BestFastKernel();
  SpezLautheitByFFTFastWith(best, frame, frameLen, specLoud, nBands, hop, sampleRate, fLow, fHigh,
                            levelOffset, gs);
}

}  // namespace vx
