// The fast frame's steps on eight lanes with SLEEF's AVX-512 functions, in
// the base-2 forms argued for in SpezLautheitFast.cpp. This file alone is
// compiled for AVX-512 (and without fused multiply-adds), so it uses nothing
// but intrinsics and plain loops: no inline function of a shared header may
// end up compiled for AVX-512 here.
#include <sleef.h>

#include "SleefKernels.h"

namespace vx::detail {

namespace {

// GCC 12 takes the unmasked AVX-512 conversions for reads of an
// uninitialised value; with every lane selected, their zero-masked forms
// are the same instructions.
constexpr __mmask8 kAll = 0xff;

__m512d ToDouble(const float* at) { return _mm512_maskz_cvtps_pd(kAll, _mm256_loadu_ps(at)); }
void ToFloat(float* at, __m512d x) { _mm256_storeu_ps(at, _mm512_maskz_cvtpd_ps(kAll, x)); }

// The lanes of one step; a last group of fewer than eight values is staged
// through a local copy, padded with `pad`. (Masked 512-bit loads and stores
// would save the copy, but made the step more than twice as slow.)
struct Group {
  float* at;
  int32_t n;
  float staged[8];

  Group(float* values, int32_t count, int32_t i, float pad) : at(values + i) {
    n = count - i < 8 ? count - i : 8;
    for (int32_t l = 0; l < 8; ++l) staged[l] = l < n ? at[l] : pad;
  }
  __m512d Load() const { return ToDouble(staged); }
  void Store(__m512d x) {
    ToFloat(staged, x);
    Flush();
  }
  void Flush() {
    for (int32_t l = 0; l < n; ++l) at[l] = staged[l];
  }
};

}  // namespace

void LinToDBAvx512(float* values, int32_t count) {
  const __m512d dbPerOctave = _mm512_set1_pd(3.0102999566398119521);  // 10 log10 2
  const __m512d least = _mm512_set1_pd(1.0e-12), quietDB = _mm512_set1_pd(-120.0);
  auto step = [&](__m512d x) {
    const __m512d db = _mm512_mul_pd(dbPerOctave, Sleef_log2d8_u35avx512f(x));
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, least, _CMP_LT_OQ), db, quietDB);
  };
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) ToFloat(values + i, step(ToDouble(values + i)));
  if (i < count) {
    Group g(values, count, i, 1.0f);
    g.Store(step(g.Load()));
  }
}

// Four groups at a time, each function over all of them before the next:
// the groups' chains of exp10, log2 and exp2 then overlap instead of each
// waiting on the one before.
void LoudnessLawAvx512(float* values, const double* etq, const double* etqScale, int32_t count,
                       double levelOffset) {
  constexpr int32_t kGroups = 4;
  const __m512d offset = _mm512_set1_pd(levelOffset), tenth = _mm512_set1_pd(0.1);
  const __m512d one = _mm512_set1_pd(1.0), half = _mm512_set1_pd(0.5);
  const __m512d exponent = _mm512_set1_pd(0.23);
  const int32_t whole = count / 8 * 8;
  Group tail(values, count, whole, 0.0f);
  double tailQ[8] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0}, tailS[8] = {};
  for (int32_t l = 0; l < tail.n; ++l) {
    tailQ[l] = etq[whole + l];
    tailS[l] = etqScale[whole + l];
  }
  auto level = [&](int32_t at) { return at < whole ? values + at : tail.staged; };
  auto q = [&](int32_t at) { return _mm512_loadu_pd(at < whole ? etq + at : tailQ); };
  auto s = [&](int32_t at) { return _mm512_loadu_pd(at < whole ? etqScale + at : tailS); };
  for (int32_t i = 0; i < count; i += 8 * kGroups) {
    const int32_t groups = count - i >= 8 * kGroups ? kGroups : (count - i + 7) / 8;
    __m512d x[kGroups];
    for (int32_t k = 0; k < groups; ++k) {
      const __m512d db = ToDouble(level(i + 8 * k));
      x[k] = Sleef_exp10d8_u10avx512f(_mm512_mul_pd(tenth, _mm512_add_pd(offset, db)));
    }
    for (int32_t k = 0; k < groups; ++k) {
      const __m512d r = _mm512_mul_pd(half, _mm512_add_pd(_mm512_div_pd(x[k], q(i + 8 * k)), one));
      x[k] = Sleef_log2d8_u35avx512f(r);
    }
    for (int32_t k = 0; k < groups; ++k)
      x[k] = Sleef_exp2d8_u10avx512f(_mm512_mul_pd(exponent, x[k]));
    for (int32_t k = 0; k < groups; ++k)
      ToFloat(level(i + 8 * k), _mm512_mul_pd(s(i + 8 * k), _mm512_sub_pd(x[k], one)));
  }
  tail.Flush();
}

}  // namespace vx::detail
