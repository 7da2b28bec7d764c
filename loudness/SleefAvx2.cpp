// The fast frame's steps on four lanes with SLEEF's AVX2 functions. This
// file alone is compiled for AVX2 (and without fused multiply-adds), so it
// uses nothing but intrinsics and plain loops: no inline function of a
// shared header may end up compiled for AVX2 here.
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
    for (int32_t l = 0; l < n; ++l) at[l] = staged[l];
  }
};

}  // namespace

void LinToDBAvx2(float* values, int32_t count) {
  const __m256d ten = _mm256_set1_pd(10.0), least = _mm256_set1_pd(1.0e-12);
  const __m256d quietDB = _mm256_set1_pd(-120.0);
  int32_t i = 0;
  auto step = [&](__m256d x) {
    const __m256d db = _mm256_mul_pd(ten, Sleef_log10d4_u10avx2(x));
    return _mm256_blendv_pd(db, quietDB, _mm256_cmp_pd(x, least, _CMP_LT_OQ));
  };
  for (; i + 4 <= count; i += 4)
    _mm_storeu_ps(values + i, _mm256_cvtpd_ps(step(_mm256_cvtps_pd(_mm_loadu_ps(values + i)))));
  if (i < count) {
    Group g(values, count, i, 1.0f);
    g.Store(step(g.Load()));
  }
}

void LoudnessLawAvx2(float* values, const double* etq, const double* etqScale, int32_t count,
                     double levelOffset) {
  const __m256d offset = _mm256_set1_pd(levelOffset), tenth = _mm256_set1_pd(0.1);
  const __m256d one = _mm256_set1_pd(1.0), half = _mm256_set1_pd(0.5);
  const __m256d exponent = _mm256_set1_pd(0.23);
  auto step = [&](__m256d level, __m256d q, __m256d s) {
    const __m256d e = Sleef_exp10d4_u10avx2(_mm256_mul_pd(tenth, _mm256_add_pd(offset, level)));
    const __m256d r = _mm256_mul_pd(half, _mm256_add_pd(_mm256_div_pd(e, q), one));
    const __m256d p = Sleef_expd4_u10avx2(_mm256_mul_pd(exponent, Sleef_logd4_u10avx2(r)));
    return _mm256_mul_pd(s, _mm256_sub_pd(p, one));
  };
  int32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d level = _mm256_cvtps_pd(_mm_loadu_ps(values + i));
    const __m256d r = step(level, _mm256_loadu_pd(etq + i), _mm256_loadu_pd(etqScale + i));
    _mm_storeu_ps(values + i, _mm256_cvtpd_ps(r));
  }
  if (i < count) {
    Group g(values, count, i, 0.0f);
    double q[4] = {1.0, 1.0, 1.0, 1.0}, s[4] = {};
    for (int32_t l = 0; l < g.n; ++l) {
      q[l] = etq[i + l];
      s[l] = etqScale[i + l];
    }
    g.Store(step(g.Load(), _mm256_loadu_pd(q), _mm256_loadu_pd(s)));
  }
}

}  // namespace vx::detail
