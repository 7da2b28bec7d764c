#include "fast.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define VX_FFT_AVX 1
#endif

namespace vx {
namespace {

struct Constants {
  double pi;
  double p7;  // 1/sqrt(2)
};

// The values are the same for every call, so one initialisation serves the
// whole process and no two threads ever write them concurrently.
const Constants& Consts() {
  static const Constants c{4.0 * std::atan(1.0), 1.0 / std::sqrt(2.0)};
  return c;
}

// Twiddle angles are th2 * pi / nt with nt a power of two. Dividing pi by a
// power of two is exact, so th2 * (pi / nt) equals (th2 * kTwNt / nt) *
// (pi / kTwNt) to the last bit, and the float cosine and sine of every group
// with nt <= kTwNt can be read from one table built once per process.
// Larger transforms compute theirs per group.
constexpr int32_t kTwNt = 4096;

struct Twiddles {
  float c[kTwNt / 4 + 1];
  float s[kTwNt / 4 + 1];
  Twiddles() {
    const double piovn = Consts().pi / kTwNt;
    for (int32_t t = 0; t <= kTwNt / 4; ++t) {
      const double arg = t * piovn;
      c[t] = static_cast<float>(std::cos(arg));
      s[t] = static_cast<float>(std::sin(arg));
    }
  }
};

const Twiddles& Tw() {
  static const Twiddles t;
  return t;
}

// The nineteen nested loops of the radix-4 pass and of the second reordering
// (level 1 from 2 to L[18] step 2, level l from the value of level l-1 to
// L[19-l] step L[20-l], with L halving down to 2) visit the level-19 values
// 2 + 2 * r, where r runs through 0 .. count-1 in bit-reversed order. A
// table-driven reversal gives the same values in the same order without the
// nest's carries, which would mispredict on almost every step.
struct Rev8 {
  uint8_t t[256];
  constexpr Rev8() : t{} {
    for (int i = 0; i < 256; ++i) {
      int r = 0;
      for (int k = 0; k < 8; ++k) r |= ((i >> k) & 1) << (7 - k);
      t[i] = static_cast<uint8_t>(r);
    }
  }
};
constexpr Rev8 kRev8;

// i reversed on `bits` bits (0 <= bits <= 18).
inline int32_t BitReverse(uint32_t i, int bits) {
  const uint32_t r = (uint32_t{kRev8.t[i & 0xff]} << 24) | (uint32_t{kRev8.t[(i >> 8) & 0xff]} << 16) |
                     (uint32_t{kRev8.t[(i >> 16) & 0xff]} << 8);
  return bits == 0 ? 0 : static_cast<int32_t>(r >> (32 - bits));
}

inline int Log2(int32_t v) {
  int b = 0;
  while ((int32_t{1} << b) < v) ++b;
  return b;
}

// One butterfly group: the eight quarter-block runs of `span` values are
// distinct stretches of the array, which lets the compiler keep several
// butterflies in one vector register.
inline void Butterflies(int32_t span, float* __restrict a0, float* __restrict a1,
                        float* __restrict a2, float* __restrict a3, float* __restrict a4,
                        float* __restrict a5, float* __restrict a6, float* __restrict a7, float c1,
                        float s1, float c2, float s2, float c3, float s3) {
  int32_t d = 0;
#if defined(__SSE2__)
  // Written out for the vector unit so that an -O2 build gets it too; each
  // lane does the scalar operations below in the same order.
  const __m128 vc1 = _mm_set1_ps(c1), vs1 = _mm_set1_ps(s1), vc2 = _mm_set1_ps(c2);
  const __m128 vs2 = _mm_set1_ps(s2), vc3 = _mm_set1_ps(c3), vs3 = _mm_set1_ps(s3);
  for (; d + 4 <= span; d += 4) {
    const __m128 x0 = _mm_loadu_ps(a0 + d), x1 = _mm_loadu_ps(a1 + d);
    const __m128 x2 = _mm_loadu_ps(a2 + d), x3 = _mm_loadu_ps(a3 + d);
    const __m128 x4 = _mm_loadu_ps(a4 + d), x5 = _mm_loadu_ps(a5 + d);
    const __m128 x6 = _mm_loadu_ps(a6 + d), x7 = _mm_loadu_ps(a7 + d);
    const __m128 r1 = _mm_sub_ps(_mm_mul_ps(x1, vc1), _mm_mul_ps(x5, vs1));
    const __m128 r5 = _mm_add_ps(_mm_mul_ps(x1, vs1), _mm_mul_ps(x5, vc1));
    __m128 t2 = _mm_sub_ps(_mm_mul_ps(x2, vc2), _mm_mul_ps(x6, vs2));
    __m128 t6 = _mm_add_ps(_mm_mul_ps(x2, vs2), _mm_mul_ps(x6, vc2));
    __m128 t3 = _mm_sub_ps(_mm_mul_ps(x3, vc3), _mm_mul_ps(x7, vs3));
    __m128 t7 = _mm_add_ps(_mm_mul_ps(x3, vs3), _mm_mul_ps(x7, vc3));
    const __m128 t0 = _mm_add_ps(x0, t2);
    const __m128 t4 = _mm_add_ps(x4, t6);
    t2 = _mm_sub_ps(x0, t2);
    t6 = _mm_sub_ps(x4, t6);
    const __m128 t1 = _mm_add_ps(r1, t3);
    const __m128 t5 = _mm_add_ps(r5, t7);
    t3 = _mm_sub_ps(r1, t3);
    t7 = _mm_sub_ps(r5, t7);
    _mm_storeu_ps(a0 + d, _mm_add_ps(t0, t1));
    _mm_storeu_ps(a7 + d, _mm_add_ps(t4, t5));
    _mm_storeu_ps(a6 + d, _mm_sub_ps(t0, t1));
    _mm_storeu_ps(a1 + d, _mm_sub_ps(t5, t4));
    _mm_storeu_ps(a2 + d, _mm_sub_ps(t2, t7));
    _mm_storeu_ps(a5 + d, _mm_add_ps(t6, t3));
    _mm_storeu_ps(a4 + d, _mm_add_ps(t2, t7));
    _mm_storeu_ps(a3 + d, _mm_sub_ps(t3, t6));
  }
#endif
  for (; d < span; ++d) {
    const float r1 = a1[d] * c1 - a5[d] * s1;
    const float r5 = a1[d] * s1 + a5[d] * c1;
    float t2 = a2[d] * c2 - a6[d] * s2;
    float t6 = a2[d] * s2 + a6[d] * c2;
    float t3 = a3[d] * c3 - a7[d] * s3;
    float t7 = a3[d] * s3 + a7[d] * c3;
    const float t0 = a0[d] + t2;
    const float t4 = a4[d] + t6;
    t2 = a0[d] - t2;
    t6 = a4[d] - t6;
    const float t1 = r1 + t3;
    const float t5 = r5 + t7;
    t3 = r1 - t3;
    t7 = r5 - t7;
    a0[d] = t0 + t1;
    a7[d] = t4 + t5;
    a6[d] = t0 - t1;
    a1[d] = t5 - t4;
    a2[d] = t2 - t7;
    a5[d] = t6 + t3;
    a4[d] = t2 + t7;
    a3[d] = t3 - t6;
  }
}

// A group with its twiddle factors by the double- and triple-angle products.
inline void SingleGroup(int32_t span, float* B0, float* B1, float* B2, float* B3, float* B4,
                        float* B5, float* B6, float* B7, int32_t jr, int32_t ji, float c1,
                        float s1) {
  const float c2 = c1 * c1 - s1 * s1;
  const float s2 = 2.0f * c1 * s1;
  const float c3 = c1 * c2 - s1 * s2;
  const float s3 = c2 * s1 + s2 * c1;
  const int32_t j0 = jr * 4 * span;
  const int32_t k0 = ji * 4 * span;
  Butterflies(span, B0 + j0, B1 + j0, B2 + j0, B3 + j0, B4 + k0, B5 + k0, B6 + k0, B7 + k0, c1, s1,
              c2, s2, c3, s3);
}

#if defined(__SSE2__)
// Four groups of a span-1 pass at once, one group per vector lane. Each
// group's eight values are two runs of four (a0..a3 at 4*jr, a4..a7 at
// 4*ji); a 4x4 transpose puts the same role of every group into one vector.
// Every lane performs the scalar butterfly's operations in the same order,
// so the results are the same to the bit.
void Span1Groups4(float* b, const int32_t* jr, const int32_t* ji, const float* c1s,
                  const float* s1s) {
  __m128 a0 = _mm_loadu_ps(b + 4 * jr[0]), a1 = _mm_loadu_ps(b + 4 * jr[1]);
  __m128 a2 = _mm_loadu_ps(b + 4 * jr[2]), a3 = _mm_loadu_ps(b + 4 * jr[3]);
  __m128 a4 = _mm_loadu_ps(b + 4 * ji[0]), a5 = _mm_loadu_ps(b + 4 * ji[1]);
  __m128 a6 = _mm_loadu_ps(b + 4 * ji[2]), a7 = _mm_loadu_ps(b + 4 * ji[3]);
  _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
  _MM_TRANSPOSE4_PS(a4, a5, a6, a7);
  // Built lane by lane: a vector load right after four scalar stores would
  // wait for them to retire.
  const __m128 c1 = _mm_setr_ps(c1s[0], c1s[1], c1s[2], c1s[3]);
  const __m128 s1 = _mm_setr_ps(s1s[0], s1s[1], s1s[2], s1s[3]);
  const __m128 c2 = _mm_sub_ps(_mm_mul_ps(c1, c1), _mm_mul_ps(s1, s1));
  const __m128 s2 = _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(2.0f), c1), s1);
  const __m128 c3 = _mm_sub_ps(_mm_mul_ps(c1, c2), _mm_mul_ps(s1, s2));
  const __m128 s3 = _mm_add_ps(_mm_mul_ps(c2, s1), _mm_mul_ps(s2, c1));
  const __m128 r1 = _mm_sub_ps(_mm_mul_ps(a1, c1), _mm_mul_ps(a5, s1));
  const __m128 r5 = _mm_add_ps(_mm_mul_ps(a1, s1), _mm_mul_ps(a5, c1));
  __m128 t2 = _mm_sub_ps(_mm_mul_ps(a2, c2), _mm_mul_ps(a6, s2));
  __m128 t6 = _mm_add_ps(_mm_mul_ps(a2, s2), _mm_mul_ps(a6, c2));
  __m128 t3 = _mm_sub_ps(_mm_mul_ps(a3, c3), _mm_mul_ps(a7, s3));
  __m128 t7 = _mm_add_ps(_mm_mul_ps(a3, s3), _mm_mul_ps(a7, c3));
  const __m128 t0 = _mm_add_ps(a0, t2);
  const __m128 t4 = _mm_add_ps(a4, t6);
  t2 = _mm_sub_ps(a0, t2);
  t6 = _mm_sub_ps(a4, t6);
  const __m128 t1 = _mm_add_ps(r1, t3);
  const __m128 t5 = _mm_add_ps(r5, t7);
  t3 = _mm_sub_ps(r1, t3);
  t7 = _mm_sub_ps(r5, t7);
  a0 = _mm_add_ps(t0, t1);
  a7 = _mm_add_ps(t4, t5);
  a6 = _mm_sub_ps(t0, t1);
  a1 = _mm_sub_ps(t5, t4);
  a2 = _mm_sub_ps(t2, t7);
  a5 = _mm_add_ps(t6, t3);
  a4 = _mm_add_ps(t2, t7);
  a3 = _mm_sub_ps(t3, t6);
  _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
  _MM_TRANSPOSE4_PS(a4, a5, a6, a7);
  _mm_storeu_ps(b + 4 * jr[0], a0);
  _mm_storeu_ps(b + 4 * jr[1], a1);
  _mm_storeu_ps(b + 4 * jr[2], a2);
  _mm_storeu_ps(b + 4 * jr[3], a3);
  _mm_storeu_ps(b + 4 * ji[0], a4);
  _mm_storeu_ps(b + 4 * ji[1], a5);
  _mm_storeu_ps(b + 4 * ji[2], a6);
  _mm_storeu_ps(b + 4 * ji[3], a7);
}
#endif

#if defined(VX_FFT_AVX)
// Eight span-1 groups at once where the processor has 256-bit vectors: the
// low 128-bit half of each register carries groups 0..3, the high half
// groups 4..7, and the in-lane shuffles transpose both halves together.
// Lane by lane the operations are those of the scalar butterfly.
#define VX_LOAD2(x, y) \
  _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(b + 4 * (x))), _mm_loadu_ps(b + 4 * (y)), 1)
#define VX_TRANSPOSE(r0, r1, r2, r3)          \
  do {                                         \
    const __m256 u0 = _mm256_unpacklo_ps(r0, r1); \
    const __m256 u1 = _mm256_unpackhi_ps(r0, r1); \
    const __m256 u2 = _mm256_unpacklo_ps(r2, r3); \
    const __m256 u3 = _mm256_unpackhi_ps(r2, r3); \
    r0 = _mm256_shuffle_ps(u0, u2, 0x44);       \
    r1 = _mm256_shuffle_ps(u0, u2, 0xEE);       \
    r2 = _mm256_shuffle_ps(u1, u3, 0x44);       \
    r3 = _mm256_shuffle_ps(u1, u3, 0xEE);       \
  } while (0)
#define VX_STORE2(x, y, r)                                   \
  do {                                                      \
    _mm_storeu_ps(b + 4 * (x), _mm256_castps256_ps128(r));   \
    _mm_storeu_ps(b + 4 * (y), _mm256_extractf128_ps(r, 1)); \
  } while (0)

__attribute__((target("avx"))) void Span1Groups8(float* b, const int32_t* jr, const int32_t* ji,
                                                 const float* c1s, const float* s1s) {
  __m256 a0 = VX_LOAD2(jr[0], jr[4]), a1 = VX_LOAD2(jr[1], jr[5]);
  __m256 a2 = VX_LOAD2(jr[2], jr[6]), a3 = VX_LOAD2(jr[3], jr[7]);
  __m256 a4 = VX_LOAD2(ji[0], ji[4]), a5 = VX_LOAD2(ji[1], ji[5]);
  __m256 a6 = VX_LOAD2(ji[2], ji[6]), a7 = VX_LOAD2(ji[3], ji[7]);
  VX_TRANSPOSE(a0, a1, a2, a3);
  VX_TRANSPOSE(a4, a5, a6, a7);
  const __m256 c1 = _mm256_setr_ps(c1s[0], c1s[1], c1s[2], c1s[3], c1s[4], c1s[5], c1s[6], c1s[7]);
  const __m256 s1 = _mm256_setr_ps(s1s[0], s1s[1], s1s[2], s1s[3], s1s[4], s1s[5], s1s[6], s1s[7]);
  const __m256 c2 = _mm256_sub_ps(_mm256_mul_ps(c1, c1), _mm256_mul_ps(s1, s1));
  const __m256 s2 = _mm256_mul_ps(_mm256_mul_ps(_mm256_set1_ps(2.0f), c1), s1);
  const __m256 c3 = _mm256_sub_ps(_mm256_mul_ps(c1, c2), _mm256_mul_ps(s1, s2));
  const __m256 s3 = _mm256_add_ps(_mm256_mul_ps(c2, s1), _mm256_mul_ps(s2, c1));
  const __m256 r1 = _mm256_sub_ps(_mm256_mul_ps(a1, c1), _mm256_mul_ps(a5, s1));
  const __m256 r5 = _mm256_add_ps(_mm256_mul_ps(a1, s1), _mm256_mul_ps(a5, c1));
  __m256 t2 = _mm256_sub_ps(_mm256_mul_ps(a2, c2), _mm256_mul_ps(a6, s2));
  __m256 t6 = _mm256_add_ps(_mm256_mul_ps(a2, s2), _mm256_mul_ps(a6, c2));
  __m256 t3 = _mm256_sub_ps(_mm256_mul_ps(a3, c3), _mm256_mul_ps(a7, s3));
  __m256 t7 = _mm256_add_ps(_mm256_mul_ps(a3, s3), _mm256_mul_ps(a7, c3));
  const __m256 t0 = _mm256_add_ps(a0, t2);
  const __m256 t4 = _mm256_add_ps(a4, t6);
  t2 = _mm256_sub_ps(a0, t2);
  t6 = _mm256_sub_ps(a4, t6);
  const __m256 t1 = _mm256_add_ps(r1, t3);
  const __m256 t5 = _mm256_add_ps(r5, t7);
  t3 = _mm256_sub_ps(r1, t3);
  t7 = _mm256_sub_ps(r5, t7);
  a0 = _mm256_add_ps(t0, t1);
  a7 = _mm256_add_ps(t4, t5);
  a6 = _mm256_sub_ps(t0, t1);
  a1 = _mm256_sub_ps(t5, t4);
  a2 = _mm256_sub_ps(t2, t7);
  a5 = _mm256_add_ps(t6, t3);
  a4 = _mm256_add_ps(t2, t7);
  a3 = _mm256_sub_ps(t3, t6);
  VX_TRANSPOSE(a0, a1, a2, a3);
  VX_TRANSPOSE(a4, a5, a6, a7);
  VX_STORE2(jr[0], jr[4], a0);
  VX_STORE2(jr[1], jr[5], a1);
  VX_STORE2(jr[2], jr[6], a2);
  VX_STORE2(jr[3], jr[7], a3);
  VX_STORE2(ji[0], ji[4], a4);
  VX_STORE2(ji[1], ji[5], a5);
  VX_STORE2(ji[2], ji[6], a6);
  VX_STORE2(ji[3], ji[7], a7);
}
#undef VX_LOAD2
#undef VX_TRANSPOSE
#undef VX_STORE2

bool HasAvx() {
  static const bool has = __builtin_cpu_supports("avx");
  return has;
}
#endif

// The groups of every radix-4 pass with nt up to kTwNt, worked out once per
// process: for each group g = 1 .. nt/8 - 1 in the order of the general loop,
// its two runs jr = 2g and ji (the mirror of jr within its octave, where the
// loop's counters put it) and its twiddle factors. A pass then only streams
// through the table.
struct GroupPlan {
  static constexpr int kMaxM = 12;
  static constexpr int32_t kSize = kTwNt / 4;  // > sum over m of nt/8 - 1
  int32_t first[kMaxM + 1] = {};
  int32_t jr[kSize] = {};
  int32_t ji[kSize] = {};
  float c1[kSize] = {};
  float s1[kSize] = {};

  GroupPlan() {
    const Twiddles& tw = Tw();
    int32_t at = 0;
    for (int m = 2; m <= kMaxM; ++m) {
      first[m] = at;
      const int32_t nt = int32_t{1} << m;
      const int32_t groups = nt / 4 < 2 ? 1 : nt / 8;
      const int bits = Log2(groups);
      for (int32_t g = 1; g < groups; ++g, ++at) {
        const int32_t th2 = 2 * BitReverse(static_cast<uint32_t>(g), bits);
        jr[at] = 2 * g;
        ji[at] = 3 * static_cast<int32_t>(std::bit_floor(static_cast<uint32_t>(jr[at]))) - 1 - jr[at];
        c1[at] = tw.c[th2 * (kTwNt / nt)];
        s1[at] = tw.s[th2 * (kTwNt / nt)];
      }
    }
  }
};

const GroupPlan& Plan() {
  static const GroupPlan p;
  return p;
}

// Both reorderings and the unpacking in one gather through a stack copy.
// The first reordering reverses the imaginary parts of the pairs within each
// block [2^p, 2^(p+1)), the second moves pair i to the bit-reversed index r,
// and the unpacking moves the imaginary part of pair 0 to b[n] and negates
// the others. Pure data movement and sign flips, so the result is that of
// the separate steps to the bit.
constexpr int32_t kGatherMax = 4096;

// Where the imaginary part that the first reordering brings to pair i
// comes from.
inline int32_t ImagSource(int32_t i) {
  if (i == 0) return 0;
  return 3 * static_cast<int32_t>(std::bit_floor(static_cast<uint32_t>(i))) - 1 - i;
}

void GatherReorderUnpack(int32_t m, float* b) {
  const int32_t n = int32_t{1} << m;
  float copy[kGatherMax];
  std::memcpy(copy, b, sizeof(float) * n);
  const int32_t pairs = n / 2;
  auto move = [&](int32_t i, int32_t r) {
    b[2 * r] = copy[2 * i];
    b[2 * r + 1] = -copy[2 * ImagSource(i) + 1];
  };
  if (pairs < 4) {
    for (int32_t i = 0; i < pairs; ++i) move(i, BitReverse(i, m - 1));
  } else {
    // rev(i + pairs/4) = rev(i) + 2, rev(i + pairs/2) = rev(i) + 1: four
    // sources fill four neighbouring pairs. The three upper sources lie in
    // the octaves [q, 2q) and [2q, 4q), where their mirrors are plain.
    const int32_t q = pairs / 4;
    for (int32_t i = 0; i < q; ++i) {
      float* o = b + 2 * BitReverse(i, m - 1);
      o[0] = copy[2 * i];
      o[1] = -copy[2 * ImagSource(i) + 1];
      o[2] = copy[2 * (i + 2 * q)];
      o[3] = -copy[2 * (4 * q - 1 - i) + 1];
      o[4] = copy[2 * (i + q)];
      o[5] = -copy[2 * (2 * q - 1 - i) + 1];
      o[6] = copy[2 * (i + 3 * q)];
      o[7] = -copy[2 * (3 * q - 1 - i) + 1];
    }
  }
  b[n] = copy[1];
  b[1] = 0.0f;
  b[n + 1] = 0.0f;
}

// The group with angle 0: a plain radix-4 butterfly on the first run of
// each block and, from the second pass on, the eighth-turn rotation by
// 1/sqrt(2) on the fifth run.
void FirstGroup(int32_t span, int32_t nt, double p7, float* __restrict B0, float* __restrict B1,
                float* __restrict B2, float* __restrict B3) {
  int32_t k = 0;
#if defined(__SSE2__)
  for (; k + 4 <= span; k += 4) {
    const __m128 x0 = _mm_loadu_ps(B0 + k), x1 = _mm_loadu_ps(B1 + k);
    const __m128 x2 = _mm_loadu_ps(B2 + k), x3 = _mm_loadu_ps(B3 + k);
    const __m128 t0 = _mm_add_ps(x0, x2), t1 = _mm_add_ps(x1, x3);
    _mm_storeu_ps(B2 + k, _mm_sub_ps(x0, x2));
    _mm_storeu_ps(B3 + k, _mm_sub_ps(x1, x3));
    _mm_storeu_ps(B0 + k, _mm_add_ps(t0, t1));
    _mm_storeu_ps(B1 + k, _mm_sub_ps(t0, t1));
  }
#endif
  for (; k < span; ++k) {
    const float t0 = B0[k] + B2[k];
    const float t1 = B1[k] + B3[k];
    B2[k] = B0[k] - B2[k];
    B3[k] = B1[k] - B3[k];
    B0[k] = t0 + t1;
    B1[k] = t0 - t1;
  }
  if (nt <= 4) return;
  k = 4 * span;
#if defined(__SSE2__)
  // The rotation is rounded from double precision, two lanes at a time.
  const __m128d vp7 = _mm_set1_pd(p7);
  auto rotate = [&](__m128 x) {
    const __m128 lo = _mm_cvtpd_ps(_mm_mul_pd(vp7, _mm_cvtps_pd(x)));
    const __m128 hi = _mm_cvtpd_ps(_mm_mul_pd(vp7, _mm_cvtps_pd(_mm_movehl_ps(x, x))));
    return _mm_movelh_ps(lo, hi);
  };
  for (; k + 4 <= 5 * span; k += 4) {
    const __m128 x0 = _mm_loadu_ps(B0 + k), x1 = _mm_loadu_ps(B1 + k);
    const __m128 x2 = _mm_loadu_ps(B2 + k), x3 = _mm_loadu_ps(B3 + k);
    const __m128 pr = rotate(_mm_sub_ps(x1, x3));
    const __m128 pi = rotate(_mm_add_ps(x1, x3));
    _mm_storeu_ps(B3 + k, _mm_add_ps(x2, pi));
    _mm_storeu_ps(B1 + k, _mm_sub_ps(pi, x2));
    _mm_storeu_ps(B2 + k, _mm_sub_ps(x0, pr));
    _mm_storeu_ps(B0 + k, _mm_add_ps(x0, pr));
  }
#endif
  for (; k < 5 * span; ++k) {
    const float pr = static_cast<float>(p7 * static_cast<double>(B1[k] - B3[k]));
    const float pi = static_cast<float>(p7 * static_cast<double>(B1[k] + B3[k]));
    B3[k] = B2[k] + pi;
    B1[k] = pi - B2[k];
    B2[k] = B0[k] - pr;
    B0[k] = B0[k] + pr;
  }
}

}  // namespace

void Radix2Pass(int32_t span, float* P, float* Q) {
  int32_t k = 0;
#if defined(__SSE2__)
  if (P + span <= Q || Q + span <= P) {
    for (; k + 4 <= span; k += 4) {
      const __m128 p = _mm_loadu_ps(P + k), q = _mm_loadu_ps(Q + k);
      _mm_storeu_ps(P + k, _mm_add_ps(p, q));
      _mm_storeu_ps(Q + k, _mm_sub_ps(p, q));
    }
  }
#endif
  for (; k < span; ++k) {
    const float t = P[k];
    P[k] = t + Q[k];
    Q[k] = t - Q[k];
  }
}

void Radix4Pass(int32_t span, int32_t nt, float* B0, float* B1, float* B2, float* B3, float* B4,
                float* B5, float* B6, float* B7) {
  // Groups of the pass, as counted by the nest's table (at least one). The
  // group with angle 0 always comes first.
  const int32_t groups = nt / 4 < 2 ? 1 : nt / 8;
  const int groupBits = Log2(groups);
  const Constants& cs = Consts();
  const double piovn = cs.pi / nt;

  FirstGroup(span, nt, cs.p7, B0, B1, B2, B3);

  if (nt <= kTwNt) {
    // Up to kTwNt the groups, their runs and their twiddle factors come from
    // the process-wide plan of this nt.
    const GroupPlan& plan = Plan();
    const int32_t at = plan.first[Log2(nt)];
    const int32_t count = groups - 1;
    int32_t i = 0;
#if defined(__SSE2__)
    // In the last pass (span 1) every group is a single butterfly: four or
    // eight of them go through the vector unit together.
    if (span == 1 && B1 == B0 + 1 && B2 == B0 + 2 && B3 == B0 + 3 && B4 == B0 && B5 == B1 &&
        B6 == B2 && B7 == B3) {
#if defined(VX_FFT_AVX)
      if (HasAvx()) {
        for (; i + 8 <= count; i += 8)
          Span1Groups8(B0, plan.jr + at + i, plan.ji + at + i, plan.c1 + at + i, plan.s1 + at + i);
      }
#endif
      for (; i + 4 <= count; i += 4)
        Span1Groups4(B0, plan.jr + at + i, plan.ji + at + i, plan.c1 + at + i, plan.s1 + at + i);
    }
#endif
    for (; i < count; ++i) {
      SingleGroup(span, B0, B1, B2, B3, B4, B5, B6, B7, plan.jr[at + i], plan.ji[at + i],
                  plan.c1[at + i], plan.s1[at + i]);
    }
    return;
  }

  // Larger transforms work out their twiddle factors group by group.
  auto twiddle = [&](int32_t g, float& c1, float& s1) {
    const int32_t th2 = 2 * BitReverse(static_cast<uint32_t>(g), groupBits);
    const double arg = th2 * piovn;
    c1 = static_cast<float>(std::cos(arg));
    s1 = static_cast<float>(std::sin(arg));
  };

#if defined(__SSE2__)
  // In the last pass (span 1) every group is a single butterfly: four of
  // them go through the vector unit together. Groups touch disjoint values,
  // so their order is free; group g (g >= 1) works on jr = 2g and on its
  // mirror ji = 3 * 2^p - 1 - jr within jr's octave [2^p, 2^(p+1)), which is
  // where the counters of the general loop below put it.
  if (span == 1 && B1 == B0 + 1 && B2 == B0 + 2 && B3 == B0 + 3 && B4 == B0 && B5 == B1 &&
      B6 == B2 && B7 == B3) {
    int32_t g = 1;
    int32_t jr[8], ji[8];
    float c1[8], s1[8];
    auto place = [&](int32_t gg, int l) {
      jr[l] = 2 * gg;
      ji[l] = 3 * static_cast<int32_t>(std::bit_floor(static_cast<uint32_t>(jr[l]))) - 1 - jr[l];
      twiddle(gg, c1[l], s1[l]);
    };
#if defined(VX_FFT_AVX)
    if (HasAvx()) {
      for (; g + 8 <= groups; g += 8) {
        for (int l = 0; l < 8; ++l) place(g + l, l);
        Span1Groups8(B0, jr, ji, c1, s1);
      }
    }
#endif
    for (; g + 4 <= groups; g += 4) {
      for (int l = 0; l < 4; ++l) place(g + l, l);
      Span1Groups4(B0, jr, ji, c1, s1);
    }
    for (; g < groups; ++g) {
      place(g, 0);
      SingleGroup(span, B0, B1, B2, B3, B4, B5, B6, B7, jr[0], ji[0], c1[0], s1[0]);
    }
    return;
  }
#endif

  int32_t jr = 2, ji = 3, jl = 2;
  for (int32_t g = 1; g < groups; ++g) {
    float c1, s1;
    twiddle(g, c1, s1);
    SingleGroup(span, B0, B1, B2, B3, B4, B5, B6, B7, jr, ji, c1, s1);
    jr += 2;
    ji -= 2;
    if (ji <= jl) {
      ji = 2 * jr - 1;
      jl = jr;
    }
  }
}

void Reorder1(int32_t m, float* b) {
  const int32_t n = int32_t{1} << m;
  if (n < 4) return;
  // Positions count from 1: position p is b[p - 1].
  int32_t k = 4, kl = 2;
  for (int32_t j = 4; j <= n; j += 2) {
    if (k > j) std::swap(b[j - 1], b[k - 1]);
    k -= 2;
    if (k <= kl) {
      k = 2 * j;
      kl = j;
    }
  }
}

void Reorder2(int32_t m, float* b) {
  // Pair i (b[2i], b[2i+1]) trades places with the pair at the bit-reversed
  // index; each exchange happens once, from the lower index.
  const int32_t pairs = int32_t{1} << (m - 1);
  for (int32_t i = 0; i < pairs; ++i) {
    const int32_t r = BitReverse(i, m - 1);
    if (i < r) {
      std::swap(b[2 * i], b[2 * r]);
      std::swap(b[2 * i + 1], b[2 * r + 1]);
    }
  }
}

void fast(float* b, int32_t n) {
  int32_t m = 0;
  for (int32_t i = 1; i <= 19; ++i) {
    if ((int32_t{1} << i) == n) {
      m = i;
      break;
    }
  }
  if (m == 0) {
    std::fputs("fast: N is not an allowable power of two\n", stderr);
    std::fflush(stderr);
    std::exit(1);
  }
  int32_t nt = 1;
  if (m % 2 != 0) {
    Radix2Pass(n / 2, b, b + n / 2);
    nt = 2;
  }
  for (int32_t i = 0; i < m / 2; ++i) {
    nt *= 4;
    const int32_t span = n / nt;
    Radix4Pass(span, nt, b, b + span, b + 2 * span, b + 3 * span, b, b + span, b + 2 * span,
               b + 3 * span);
  }
  if (n <= kGatherMax) {
    GatherReorderUnpack(m, b);
    return;
  }
  Reorder1(m, b);
  Reorder2(m, b);
  b[n] = b[1];
  b[1] = 0.0f;
  b[n + 1] = 0.0f;
  for (int32_t i = 3; i < n; i += 2) b[i] = -b[i];
}

}  // namespace vx
