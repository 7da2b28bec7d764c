// The masked threshold's decay and spreading over lanes of doubles, eight
// at a time with AVX-512 and four with AVX2, for the bands and parameters
// the silence detector uses.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <vector>

#include "SpezLautheitSteps.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace vx::detail {

namespace {

constexpr int32_t kMaxLaneBands = 64;  // nBands + 1 thresholds at most

// A nonzero value this close to 0 could give a spread level that rounds to
// a float zero of the other sign than the loop nest gives (see MaskInLanes).
bool Tiny(double x) { return x != 0.0 && std::fabs(x) < 0x1p-68; }

// Thresholds per row of the spread table: a whole number of the widest
// lanes, so that one table serves every width.
int32_t StrideFor(int32_t nBands) { return (nBands + 1 + 7) / 8 * 8; }

// The spread table for the walk's layout, built on a run's first frame
// whichever way that frame's walks go: later frames obtain no memory.
const double* SpreadTable(HoerschwData& h, const MaskingWalk& w) {
  const int32_t stride = StrideFor(w.nBands);
  if (h.spreadBands == w.nBands && h.spreadLow == w.zLow && h.spreadStep == w.dz)
    return h.spread.data();
  const size_t rows = static_cast<size_t>(w.nBands) * 4;
  try {
    h.spread.assign(rows * static_cast<size_t>(stride), 0.0);
  } catch (const std::exception&) {
    FatalError("CalcMithoerschw: insufficient memory", 1);
  }
  double* table = h.spread.data();
  for (int32_t s = 0; s < 4; ++s) {
    double zi = w.zLow;
    for (int32_t i = 0; i < w.nBands; ++i, zi += w.dz) {
      double* row = table + (static_cast<size_t>(s) * w.nBands + i) * stride;
      for (int32_t j = 0; j < stride; ++j)
        row[j] = (static_cast<double>(j) * w.dz + w.zLow - zi) * (j < i ? 27.0 : kUpwardSlopes[s]);
    }
  }
  h.spreadBands = w.nBands;
  h.spreadLow = w.zLow;
  h.spreadStep = w.dz;
  return table;
}

// Which of lanes j .. j + 7 hold one of `count` values.
__mmask8 InsideMask(int32_t j, int32_t count) {
  return static_cast<__mmask8>((1u << std::clamp(count - j, 0, 8)) - 1);
}

// GCC 12 takes the unmasked AVX-512 conversions and maxima for reads of an
// uninitialised value; with every lane selected, their zero-masked forms
// are the same instructions.
constexpr __mmask8 kAll = 0xFF;

__attribute__((target("avx512f"), always_inline)) inline __m512d ToDouble(__m256 x) {
  return _mm512_maskz_cvtps_pd(kAll, x);
}
__attribute__((target("avx512f"), always_inline)) inline __m256 ToFloat(__m512d x) {
  return _mm512_maskz_cvtpd_ps(kAll, x);
}

// Where band i's row for its level's upward slope starts in the table, in
// rows[i] (without branches: the levels of a sound change slopes too often
// for a good guess); false when a level lies too close to 0 for the lanes.
__attribute__((target("avx512f,avx512vl"))) bool RowsAvx512(const MaskingWalk& w,
                                                            int32_t* rows) {
  const int32_t stride = StrideFor(w.nBands);
  const __m256i perSlope = _mm256_set1_epi32(stride * w.nBands);
  const __m512d off = _mm512_set1_pd(w.offset), zero = _mm512_setzero_pd();
  const __m512d tinyBelow = _mm512_set1_pd(0x1p-68);
  const __m256i first = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                           _mm256_set1_epi32(stride));
  __m256i at = _mm256_add_epi32(first, _mm256_set1_epi32(3 * stride * w.nBands));
  __mmask8 tiny = 0;
  for (int32_t i = 0; i < w.nBands; i += 8) {
    const __mmask8 inside = InsideMask(i, w.nBands);
    const __m512d L = ToDouble(_mm256_maskz_loadu_ps(inside, w.levels + i));
    tiny |= _mm512_cmp_pd_mask(_mm512_abs_pd(L), tinyBelow, _CMP_LT_OQ) &
            _mm512_cmp_pd_mask(L, zero, _CMP_NEQ_OQ);
    const __m512d lspl = _mm512_add_pd(L, off);
    __m256i row = at;
    for (const double flatter : {40.0, 60.0, 80.0})
      row = _mm256_mask_sub_epi32(
          row, _mm512_cmp_pd_mask(lspl, _mm512_set1_pd(flatter), _CMP_GT_OQ), row, perSlope);
    _mm256_mask_storeu_epi32(rows + i, inside, row);
    at = _mm256_add_epi32(at, _mm256_set1_epi32(8 * stride));
  }
  return tiny == 0;
}

// The V vectors of thresholds in registers: every threshold but the last
// one decays and rests on the threshold in quiet (the lanes past the last
// hold 0); unless one of them then lies below -120 dB, every band in turn
// raises them, and they end rounded to the model's floats. max(v, t) is t
// when v is NaN or equal to t: "raise t if v > t".
template <int V>
__attribute__((target("avx512f,avx512vl"))) bool MaskAvx512(HoerschwData& h, double decay,
                                                            const MaskingWalk& w,
                                                            const double* table,
                                                            const int32_t* rows) {
  float* m = h.mithoerschw.data();
  const float* H = h.hoerschw.data();
  const int32_t nBands = w.nBands;
  const __m512d dec = _mm512_set1_pd(decay), off = _mm512_set1_pd(w.offset);
  const __m512d floor = _mm512_set1_pd(-120.0);
  __m512d t[V];
  __mmask8 low = 0;
#pragma GCC unroll 8
  for (int k = 0; k < V; ++k) {
    const __mmask8 inside = InsideMask(8 * k, nBands + 1), decays = InsideMask(8 * k, nBands);
    const __m512d was = ToDouble(_mm256_maskz_loadu_ps(inside, m + 8 * k));
    const __m512d faded = ToDouble(ToFloat(_mm512_sub_pd(was, dec)));
    const __m512d quiet = _mm512_sub_pd(ToDouble(_mm256_maskz_loadu_ps(inside, H + 8 * k)), off);
    const __mmask8 rests = _mm512_cmp_pd_mask(quiet, faded, _CMP_GT_OQ);
    const __m512d rest = _mm512_mask_blend_pd(rests, faded, ToDouble(ToFloat(quiet)));
    t[k] = _mm512_mask_blend_pd(decays, was, rest);
    low |= _mm512_cmp_pd_mask(t[k], floor, _CMP_LT_OQ);
  }
  if (low != 0) return false;
  for (int32_t i = 0; i < nBands; ++i) {
    const __m512d L = _mm512_set1_pd(w.levels[i]);
    const double* row = table + rows[i];
#pragma GCC unroll 8
    for (int k = 0; k < V; ++k)
      t[k] = _mm512_maskz_max_pd(kAll, _mm512_add_pd(_mm512_loadu_pd(row + 8 * k), L), t[k]);
  }
#pragma GCC unroll 8
  for (int k = 0; k < V; ++k)
    _mm256_mask_storeu_ps(m + 8 * k, InsideMask(8 * k, nBands + 1), ToFloat(t[k]));
  return true;
}

// The walks over the V vectors of thresholds from lane j on, held in
// registers while every band in turn raises them; then rounded to the
// model's floats. max(v, t) is t when v is NaN or equal to t: "raise t if
// v > t".
// The same steps four lanes at a time. The decayed thresholds wait in
// memory: with more than eight vectors of them, the walks go over eight at
// a time, and none may be stored before all of them are known to be usable.
__attribute__((target("avx2"))) bool RowsAvx2(const MaskingWalk& w, int32_t* rows) {
  const int32_t stride = StrideFor(w.nBands);
  const __m256d perSlope = _mm256_set1_pd(stride * w.nBands);
  const __m256d off = _mm256_set1_pd(w.offset), zero = _mm256_setzero_pd();
  const __m256d tinyBelow = _mm256_set1_pd(0x1p-68), sign = _mm256_set1_pd(-0.0);
  const __m128i count = _mm_set1_epi32(w.nBands);
  const __m256d first = _mm256_setr_pd(0.0, stride, 2.0 * stride, 3.0 * stride);
  __m256d at = _mm256_add_pd(first, _mm256_set1_pd(3 * stride * w.nBands));
  __m256d tiny = zero;
  for (int32_t i = 0; i < w.nBands; i += 4) {
    const __m128i inside = _mm_cmplt_epi32(_mm_setr_epi32(i, i + 1, i + 2, i + 3), count);
    const __m256d L = _mm256_cvtps_pd(_mm_maskload_ps(w.levels + i, inside));
    tiny = _mm256_or_pd(tiny, _mm256_and_pd(
                                  _mm256_cmp_pd(_mm256_andnot_pd(sign, L), tinyBelow, _CMP_LT_OQ),
                                  _mm256_cmp_pd(L, zero, _CMP_NEQ_OQ)));
    const __m256d lspl = _mm256_add_pd(L, off);
    __m256d row = at;
    for (const double flatter : {40.0, 60.0, 80.0}) {
      const __m256d louder = _mm256_cmp_pd(lspl, _mm256_set1_pd(flatter), _CMP_GT_OQ);
      row = _mm256_sub_pd(row, _mm256_and_pd(louder, perSlope));
    }
    _mm_maskstore_epi32(rows + i, inside, _mm256_cvtpd_epi32(row));
    at = _mm256_add_pd(at, _mm256_set1_pd(4 * stride));
  }
  return _mm256_movemask_pd(tiny) == 0;
}

__attribute__((target("avx2"))) bool DecayAvx2(const HoerschwData& h, double decay,
                                               const MaskingWalk& w, double* top) {
  const float* m = h.mithoerschw.data();
  const float* H = h.hoerschw.data();
  const __m256d step = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
  const __m256d dec = _mm256_set1_pd(decay), off = _mm256_set1_pd(w.offset);
  const __m256d decayed = _mm256_set1_pd(w.nBands), floor = _mm256_set1_pd(-120.0);
  const __m128i count = _mm_set1_epi32(w.nBands + 1);
  __m256d low = _mm256_setzero_pd();
  for (int32_t j = 0; j < StrideFor(w.nBands); j += 4) {
    const __m128i inside = _mm_cmplt_epi32(_mm_setr_epi32(j, j + 1, j + 2, j + 3), count);
    const __m256d index = _mm256_add_pd(step, _mm256_set1_pd(j));
    const __m256d t = _mm256_cvtps_pd(_mm_maskload_ps(m + j, inside));
    const __m256d faded = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_sub_pd(t, dec)));
    const __m256d quiet = _mm256_sub_pd(_mm256_cvtps_pd(_mm_maskload_ps(H + j, inside)), off);
    const __m256d rest = _mm256_blendv_pd(faded, _mm256_cvtps_pd(_mm256_cvtpd_ps(quiet)),
                                          _mm256_cmp_pd(quiet, faded, _CMP_GT_OQ));
    const __m256d now = _mm256_blendv_pd(t, rest, _mm256_cmp_pd(index, decayed, _CMP_LT_OQ));
    low = _mm256_or_pd(low, _mm256_cmp_pd(now, floor, _CMP_LT_OQ));
    _mm256_store_pd(top + j, now);
  }
  return _mm256_movemask_pd(low) == 0;
}

template <int V>
__attribute__((target("avx2"))) void WalkAvx2(const MaskingWalk& w, const double* table,
                                              const int32_t* rows, const double* top, int32_t j,
                                              float* m) {
  __m256d t[V];
#pragma GCC unroll 8
  for (int k = 0; k < V; ++k) t[k] = _mm256_load_pd(top + j + 4 * k);
  for (int32_t i = 0; i < w.nBands; ++i) {
    const __m256d L = _mm256_set1_pd(w.levels[i]);
    const double* row = table + rows[i] + j;
#pragma GCC unroll 8
    for (int k = 0; k < V; ++k)
      t[k] = _mm256_max_pd(_mm256_add_pd(_mm256_loadu_pd(row + 4 * k), L), t[k]);
  }
  const __m128i count = _mm_set1_epi32(w.nBands + 1);
#pragma GCC unroll 8
  for (int k = 0; k < V; ++k) {
    const int32_t at = j + 4 * k;
    const __m128i inside = _mm_cmplt_epi32(_mm_setr_epi32(at, at + 1, at + 2, at + 3), count);
    _mm_maskstore_ps(m + at, inside, _mm256_cvtpd_ps(t[k]));
  }
}

// By the number of vectors.
using Mask = bool (*)(HoerschwData&, double, const MaskingWalk&, const double*, const int32_t*);
constexpr Mask kMasksAvx512[] = {nullptr,       MaskAvx512<1>, MaskAvx512<2>,
                                 MaskAvx512<3>, MaskAvx512<4>, MaskAvx512<5>,
                                 MaskAvx512<6>, MaskAvx512<7>, MaskAvx512<8>};
using Walk = void (*)(const MaskingWalk&, const double*, const int32_t*, const double*, int32_t,
                     float*);
constexpr Walk kWalksAvx2[] = {nullptr,     WalkAvx2<1>, WalkAvx2<2>, WalkAvx2<3>, WalkAvx2<4>,
                               WalkAvx2<5>, WalkAvx2<6>, WalkAvx2<7>, WalkAvx2<8>};

int32_t MachineWidth() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return 8;
  return __builtin_cpu_supports("avx2") ? 4 : 0;
}

std::atomic<int32_t>& Width() {
  static std::atomic<int32_t> width{MachineWidth()};
  return width;
}

}  // namespace

int32_t NarrowMaskLanes(int32_t widest) {
  const int32_t machine = MachineWidth();
  const int32_t width = widest >= 8 ? machine : widest >= 4 && machine >= 4 ? 4 : 0;
  Width().store(width, std::memory_order_relaxed);
  return width;
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
bool MaskInLanes(HoerschwData& h, double decay, const MaskingWalk& walk) {
  const int32_t width = Width().load(std::memory_order_relaxed);
  if (width == 0 || walk.nBands < 0 || walk.nBands + 1 > kMaxLaneBands) return false;
  if (!(std::isfinite(walk.dz) && walk.dz > 0.0) || Tiny(walk.dz) || Tiny(walk.zLow)) return false;
  const double* table = SpreadTable(h, walk);
  int32_t rows[kMaxLaneBands];
  alignas(64) double top[kMaxLaneBands];
  const int32_t count = walk.nBands + 1;
  float* m = h.mithoerschw.data();
  if (width == 8)
    return RowsAvx512(walk, rows) && kMasksAvx512[(count + 7) / 8](h, decay, walk, table, rows);
  if (!RowsAvx2(walk, rows) || !DecayAvx2(h, decay, walk, top)) return false;
  for (int32_t j = 0; j < count; j += 32)
    kWalksAvx2[std::min(8, (count - j + 3) / 4)](walk, table, rows, top, j, m);
  return true;
}

}  // namespace vx::detail

#else

namespace vx::detail {
bool MaskInLanes(HoerschwData&, double, const MaskingWalk&) { return false; }
int32_t NarrowMaskLanes(int32_t) { return 0; }
}  // namespace vx::detail

#endif
