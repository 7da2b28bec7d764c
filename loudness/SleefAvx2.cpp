// The fast frame's steps on four lanes with SLEEF's AVX2 functions, in the
// base-2 forms argued for in SpezLautheitFast.cpp. This file alone is
// compiled for AVX2 (and without fused multiply-adds), so it uses nothing
// but intrinsics and plain loops: no inline function of a shared header may
// end up compiled for AVX2 here.
#include <sleef.h>

#include "SleefKernels.h"

namespace vx::detail {

namespace {

// The lanes of one step; a last group of fewer than four values is staged
// through a local copy, padded with `pad`.
struct Group {
  float* at;
  int32_t n;
  float staged[4];

  Group(float* values, int32_t count, int32_t i, float pad) : at(values + i) {
    n = count - i < 4 ? count - i : 4;
    for (int32_t l = 0; l < 4; ++l) staged[l] = l < n ? at[l] : pad;
  }
  __m256d Load() const { return _mm256_cvtps_pd(_mm_loadu_ps(staged)); }
  void Store(__m256d x) {
    _mm_storeu_ps(staged, _mm256_cvtpd_ps(x));
    Flush();
  }
  void Flush() {
    for (int32_t l = 0; l < n; ++l) at[l] = staged[l];
  }
};

}  // namespace

void LinToDBAvx2(float* values, int32_t count) {
  const __m256d dbPerOctave = _mm256_set1_pd(3.0102999566398119521);  // 10 log10 2
  const __m256d least = _mm256_set1_pd(1.0e-12), quietDB = _mm256_set1_pd(-120.0);
  int32_t i = 0;
  auto step = [&](__m256d x) {
    const __m256d db = _mm256_mul_pd(dbPerOctave, Sleef_log2d4_u35avx2(x));
    return _mm256_blendv_pd(db, quietDB, _mm256_cmp_pd(x, least, _CMP_LT_OQ));
  };
  for (; i + 4 <= count; i += 4)
    _mm_storeu_ps(values + i, _mm256_cvtpd_ps(step(_mm256_cvtps_pd(_mm_loadu_ps(values + i)))));
  if (i < count) {
    Group g(values, count, i, 1.0f);
    g.Store(step(g.Load()));
  }
}

// Eight groups at a time, each function over all of them before the next:
// the groups' chains of exp10, log2 and exp2 then overlap instead of each
// waiting on the one before.
void LoudnessLawAvx2(float* values, const double* etq, const double* etqScale, int32_t count,
                     double levelOffset) {
  constexpr int32_t kGroups = 8;
  const __m256d offset = _mm256_set1_pd(levelOffset), tenth = _mm256_set1_pd(0.1);
  const __m256d one = _mm256_set1_pd(1.0), half = _mm256_set1_pd(0.5);
  const __m256d exponent = _mm256_set1_pd(0.23);
  const int32_t whole = count / 4 * 4;
  Group tail(values, count, whole, 0.0f);
  double tailQ[4] = {1.0, 1.0, 1.0, 1.0}, tailS[4] = {};
  for (int32_t l = 0; l < tail.n; ++l) {
    tailQ[l] = etq[whole + l];
    tailS[l] = etqScale[whole + l];
  }
  auto level = [&](int32_t at) { return at < whole ? values + at : tail.staged; };
  auto q = [&](int32_t at) { return _mm256_loadu_pd(at < whole ? etq + at : tailQ); };
  auto s = [&](int32_t at) { return _mm256_loadu_pd(at < whole ? etqScale + at : tailS); };
  for (int32_t i = 0; i < count; i += 4 * kGroups) {
    const int32_t groups = count - i >= 4 * kGroups ? kGroups : (count - i + 3) / 4;
    __m256d x[kGroups];
    for (int32_t k = 0; k < groups; ++k) {
      const __m256d db = _mm256_cvtps_pd(_mm_loadu_ps(level(i + 4 * k)));
      x[k] = Sleef_exp10d4_u10avx2(_mm256_mul_pd(tenth, _mm256_add_pd(offset, db)));
    }
    for (int32_t k = 0; k < groups; ++k) {
      const __m256d r = _mm256_mul_pd(half, _mm256_add_pd(_mm256_div_pd(x[k], q(i + 4 * k)), one));
      x[k] = Sleef_log2d4_u35avx2(r);
    }
    for (int32_t k = 0; k < groups; ++k)
      x[k] = Sleef_exp2d4_u10avx2(_mm256_mul_pd(exponent, x[k]));
    for (int32_t k = 0; k < groups; ++k)
      _mm_storeu_ps(level(i + 4 * k),
                    _mm256_cvtpd_ps(_mm256_mul_pd(s(i + 4 * k), _mm256_sub_pd(x[k], one))));
  }
  tail.Flush();
}

}  // namespace vx::detail
