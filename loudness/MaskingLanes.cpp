// The masked threshold's decay and spreading four bands at a time (AVX2),
// for the bands and parameters the silence detector uses.
#include <cmath>
#include <exception>

#include "SpezLautheitSteps.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace vx::detail {

namespace {

constexpr int32_t kMaxLaneBands = 64;  // nBands + 1 thresholds at most

// A nonzero value this close to 0 could give a spread level that rounds to
// a float zero of the other sign than the loop nest gives (see MaskAvx2).
bool Tiny(double x) { return x != 0.0 && std::fabs(x) < 0x1p-68; }

__attribute__((target("avx2"), always_inline)) inline __m256d RoundToFloat(__m256d x) {
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(x));
}

int32_t LanesFor(int32_t nBands) { return (nBands + 1 + 3) / 4 * 4; }

// The spread table for the walk's layout, built on a run's first frame
// whichever way that frame's walks go: later frames obtain no memory.
const double* SpreadTable(HoerschwData& h, const MaskingWalk& w) {
  const int32_t lanes = LanesFor(w.nBands);
  if (h.spreadBands == w.nBands && h.spreadLow == w.zLow && h.spreadStep == w.dz)
    return h.spread.data();
  const size_t rows = static_cast<size_t>(w.nBands) * 4;
  try {
    h.spread.assign(rows * static_cast<size_t>(lanes), 0.0);
  } catch (const std::exception&) {
    FatalError("CalcMithoerschw: insufficient memory", 1);
  }
  for (int32_t s = 0; s < 4; ++s) {
    double zi = w.zLow;
    for (int32_t i = 0; i < w.nBands; ++i, zi += w.dz) {
      double* row = h.spread.data() + (static_cast<size_t>(s) * w.nBands + i) * lanes;
      for (int32_t j = 0; j < lanes; ++j)
        row[j] = (static_cast<double>(j) * w.dz + w.zLow - zi) * (j < i ? 27.0 : kUpwardSlopes[s]);
    }
  }
  h.spreadBands = w.nBands;
  h.spreadLow = w.zLow;
  h.spreadStep = w.dz;
  return h.spread.data();
}

// The loop nest walks from each band outward and stops at the first spread
// level below -120 dB. With the band positions rising, a walk's levels only
// fall, and the thresholds only rise during the walks; so while none of
// them lies below -120 dB after the decay (the threshold in quiet keeps
// them above -90 dB with the detector's offset), no level past a stop could
// raise one, and the walks here cover every band instead.
//
// Threshold j meets band i's level on the downward slope for j < i, on the
// upward one otherwise, for i in the same order as in the loop nest, and is
// kept in double until the end: it ends with the largest level that
// exceeded it, or its own value. The loop nest compares each level with the
// threshold rounded to float so far and rounds each raise; that gives the
// same float, since a level between a threshold and its rounding rounds to
// that same float. Zeros agree in sign too unless a nonzero level lies
// closer to 0 than the smallest float, which none can while positions,
// spacing and levels are 0 or at least 2^-68 (every level is then a
// multiple of 2^-120).
__attribute__((target("avx2"))) bool MaskAvx2(HoerschwData& h, const double* spread,
                                              double decay, const MaskingWalk& w) {
  float* m = h.mithoerschw.data();
  const float* H = h.hoerschw.data();
  const int32_t nBands = w.nBands, count = nBands + 1;
  const int32_t lanes = LanesFor(nBands);
  alignas(32) double top[kMaxLaneBands];
  const __m256d step = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
  const __m256d dec = _mm256_set1_pd(decay), off = _mm256_set1_pd(w.offset);
  const __m256d decayed = _mm256_set1_pd(nBands), floor = _mm256_set1_pd(-120.0);
  __m256d low = _mm256_setzero_pd();
  for (int32_t j = 0; j < lanes; j += 4) {
    const __m128i inside =
        _mm_cmplt_epi32(_mm_setr_epi32(j, j + 1, j + 2, j + 3), _mm_set1_epi32(count));
    const __m256d index = _mm256_add_pd(step, _mm256_set1_pd(j));
    // Every threshold but the last one decays and rests on the threshold in
    // quiet; lanes past the last hold 0.
    const __m256d t = _mm256_cvtps_pd(_mm_maskload_ps(m + j, inside));
    const __m256d faded = RoundToFloat(_mm256_sub_pd(t, dec));
    const __m256d quiet = _mm256_sub_pd(_mm256_cvtps_pd(_mm_maskload_ps(H + j, inside)), off);
    const __m256d rest = _mm256_blendv_pd(faded, RoundToFloat(quiet),
                                          _mm256_cmp_pd(quiet, faded, _CMP_GT_OQ));
    const __m256d now = _mm256_blendv_pd(t, rest, _mm256_cmp_pd(index, decayed, _CMP_LT_OQ));
    low = _mm256_or_pd(low, _mm256_cmp_pd(now, floor, _CMP_LT_OQ));
    _mm256_store_pd(top + j, now);
  }
  if (_mm256_movemask_pd(low) != 0) return false;
  for (int32_t i = 0; i < nBands; ++i)
    if (Tiny(w.levels[i])) return false;

  for (int32_t i = 0; i < nBands; ++i) {
    const double Li = w.levels[i];
    const __m256d L = _mm256_set1_pd(Li);
    const size_t slope = static_cast<size_t>(UpwardSlopeIndex(Li, w.offset));
    const double* row = spread + (slope * nBands + i) * lanes;
    for (int32_t j = 0; j < lanes; j += 4) {
      const __m256d v = _mm256_add_pd(_mm256_loadu_pd(row + j), L);
      // max(v, t) is t when v is NaN or equal to t: "raise t if v > t".
      _mm256_store_pd(top + j, _mm256_max_pd(v, _mm256_load_pd(top + j)));
    }
  }
  for (int32_t j = 0; j < lanes; j += 4) {
    const __m128i inside =
        _mm_cmplt_epi32(_mm_setr_epi32(j, j + 1, j + 2, j + 3), _mm_set1_epi32(count));
    _mm_maskstore_ps(m + j, inside, _mm256_cvtpd_ps(_mm256_load_pd(top + j)));
  }
  return true;
}

}  // namespace

bool MaskInLanes(HoerschwData& h, double decay, const MaskingWalk& walk) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (!avx2 || walk.nBands < 0 || walk.nBands + 1 > kMaxLaneBands) return false;
  if (!(std::isfinite(walk.dz) && walk.dz > 0.0) || Tiny(walk.dz) || Tiny(walk.zLow)) return false;
  return MaskAvx2(h, SpreadTable(h, walk), decay, walk);
}

}  // namespace vx::detail

#else

namespace vx::detail {
bool MaskInLanes(HoerschwData&, double, const MaskingWalk&) { return false; }
}  // namespace vx::detail

#endif
