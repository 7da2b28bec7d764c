#include "fast.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vx {
namespace {

// Lanes: one float, or four or eight side by side in GCC's vector types, whose
// operators work lane by lane. Every kernel is written once over the lane type,
// so each lane performs the scalar operations in the same order (contraction is
// off for this library: no FMA) and the results are the same to the bit.
using F4 = float __attribute__((vector_size(16)));
using F8 = float __attribute__((vector_size(32)));  // used inside AVX functions only
using D4 = double __attribute__((vector_size(32)));
#define VX_INLINE [[gnu::always_inline]] inline

template <class V>
VX_INLINE void Load(V& v, const float* p) {
  std::memcpy(&v, p, sizeof v);
}
template <class V>
VX_INLINE void Store(float* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

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

// v a power of two.
inline int Log2(int32_t v) { return std::countr_zero(static_cast<uint32_t>(v)); }

// The mirror of i within its octave [2^p, 2^(p+1)): 3 * 2^p - 1 - i (i >= 1).
inline int32_t Mirror(int32_t i) {
  return 3 * static_cast<int32_t>(std::bit_floor(static_cast<uint32_t>(i))) - 1 - i;
}

// ---- the kernels ----

// Runs `kernel` on the values at index k of the runs, for every k in
// [from, to): four indices at a time in vector lanes, then one by one. The
// runs are distinct stretches of the array.
template <size_t N, class Kernel>
VX_INLINE void Stream(int32_t from, int32_t to, float* const (&runs)[N], Kernel kernel) {
  auto at = [&]<class V>(int32_t k, V) {
    V x[N];
#pragma GCC unroll 8
    for (size_t i = 0; i < N; ++i) Load(x[i], runs[i] + k);
    kernel(x);
#pragma GCC unroll 8
    for (size_t i = 0; i < N; ++i) Store(runs[i] + k, x[i]);
  };
  int32_t k = from;
  for (; k + 4 <= to; k += 4) at(k, F4{});
  for (; k < to; ++k) at(k, 0.0f);
}

// The butterfly of one group: a[0..3] are the values at its first run, a[4..7]
// those at its second, c1 and s1 the cosine and sine of its angle (one float
// for all lanes, or one lane per group).
template <class V, class W>
VX_INLINE void Butterfly(V (&a)[8], const W& c1, const W& s1) {
  const W c2 = c1 * c1 - s1 * s1, s2 = 2.0f * c1 * s1;
  const W c3 = c1 * c2 - s1 * s2, s3 = c2 * s1 + s2 * c1;
  const V r1 = a[1] * c1 - a[5] * s1, r5 = a[1] * s1 + a[5] * c1;
  const V u2 = a[2] * c2 - a[6] * s2, u6 = a[2] * s2 + a[6] * c2;
  const V u3 = a[3] * c3 - a[7] * s3, u7 = a[3] * s3 + a[7] * c3;
  const V t0 = a[0] + u2, t4 = a[4] + u6, t2 = a[0] - u2, t6 = a[4] - u6;
  const V t1 = r1 + u3, t5 = r5 + u7, t3 = r1 - u3, t7 = r5 - u7;
  a[0] = t0 + t1, a[7] = t4 + t5, a[6] = t0 - t1, a[1] = t5 - t4;
  a[2] = t2 - t7, a[5] = t6 + t3, a[4] = t2 + t7, a[3] = t3 - t6;
}

// The eighth-turn rotation, rounded from double precision.
VX_INLINE float Rotate(float x, double p7) {
  return static_cast<float>(p7 * static_cast<double>(x));
}
VX_INLINE F4 Rotate(const F4& x, double p7) {
  return __builtin_convertvector(p7 * __builtin_convertvector(x, D4), F4);
}

// The group with angle 0: a butterfly without twiddle factors on the first
// run of each block and, from the second pass on, the eighth-turn rotation
// on the fifth run.
void FirstGroup(int32_t span, int32_t nt, float* B0, float* B1, float* B2, float* B3) {
  Stream(0, span, {B0, B1, B2, B3}, [](auto& x) {
    const auto t0 = x[0] + x[2], t1 = x[1] + x[3];
    x[2] = x[0] - x[2], x[3] = x[1] - x[3], x[0] = t0 + t1, x[1] = t0 - t1;
  });
  if (nt <= 4) return;
  Stream(4 * span, 5 * span, {B0, B1, B2, B3}, [p7 = Consts().p7](auto& x) {
    const auto pr = Rotate(x[1] - x[3], p7), pi = Rotate(x[1] + x[3], p7);
    x[3] = x[2] + pi, x[1] = pi - x[2], x[2] = x[0] - pr, x[0] = x[0] + pr;
  });
}

// In the last pass (span 1) each group is one butterfly whose values lie in
// two runs of four, at 4*jr and 4*ji. Four groups (F4) or eight (F8, whose
// upper halves hold groups 4..7) go through the vector unit one per lane:
// loading group l's four values into x[l] and transposing each 128-bit half
// puts value r of every group into x[r]. The transposition is its own inverse.
VX_INLINE void Transpose(F4* x) {
  const F4 u0 = __builtin_shufflevector(x[0], x[1], 0, 4, 1, 5);
  const F4 u1 = __builtin_shufflevector(x[0], x[1], 2, 6, 3, 7);
  const F4 u2 = __builtin_shufflevector(x[2], x[3], 0, 4, 1, 5);
  const F4 u3 = __builtin_shufflevector(x[2], x[3], 2, 6, 3, 7);
  x[0] = __builtin_shufflevector(u0, u2, 0, 1, 4, 5);
  x[1] = __builtin_shufflevector(u0, u2, 2, 3, 6, 7);
  x[2] = __builtin_shufflevector(u1, u3, 0, 1, 4, 5);
  x[3] = __builtin_shufflevector(u1, u3, 2, 3, 6, 7);
}
VX_INLINE void Transpose(F8* x) {
  const F8 u0 = __builtin_shufflevector(x[0], x[1], 0, 8, 1, 9, 4, 12, 5, 13);
  const F8 u1 = __builtin_shufflevector(x[0], x[1], 2, 10, 3, 11, 6, 14, 7, 15);
  const F8 u2 = __builtin_shufflevector(x[2], x[3], 0, 8, 1, 9, 4, 12, 5, 13);
  const F8 u3 = __builtin_shufflevector(x[2], x[3], 2, 10, 3, 11, 6, 14, 7, 15);
  x[0] = __builtin_shufflevector(u0, u2, 0, 1, 8, 9, 4, 5, 12, 13);
  x[1] = __builtin_shufflevector(u0, u2, 2, 3, 10, 11, 6, 7, 14, 15);
  x[2] = __builtin_shufflevector(u1, u3, 0, 1, 8, 9, 4, 5, 12, 13);
  x[3] = __builtin_shufflevector(u1, u3, 2, 3, 10, 11, 6, 7, 14, 15);
}

VX_INLINE void Gather(F4* x, const float* b, const int32_t* j) {
#pragma GCC unroll 4
  for (int l = 0; l < 4; ++l) Load(x[l], b + 4 * j[l]);
  Transpose(x);
}
VX_INLINE void Gather(F8* x, const float* b, const int32_t* j) {
#pragma GCC unroll 4
  for (int l = 0; l < 4; ++l) {
    F4 lo, hi;
    Load(lo, b + 4 * j[l]);
    Load(hi, b + 4 * j[l + 4]);
    x[l] = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
  }
  Transpose(x);
}
VX_INLINE void Scatter(float* b, const int32_t* j, F4* x) {
  Transpose(x);
#pragma GCC unroll 4
  for (int l = 0; l < 4; ++l) Store(b + 4 * j[l], x[l]);
}
VX_INLINE void Scatter(float* b, const int32_t* j, F8* x) {
  Transpose(x);
  // Each half is stored straight from the register, the upper one without a shuffle.
#pragma GCC unroll 4
  for (int l = 0; l < 4; ++l) {
    std::memcpy(b + 4 * j[l], &x[l], 16);
    std::memcpy(b + 4 * j[l + 4], reinterpret_cast<const char*>(&x[l]) + 16, 16);
  }
}

// Groups g >= 1 of a pass, one array per field so that a batch fills the
// vector lanes with one load: the runs jr = 2g and ji (the mirror of jr
// within its octave, where the nest's counters put it) and the cosine and
// sine of the group's angle.
struct GroupRun {
  const int32_t* jr;
  const int32_t* ji;
  const float* c1;
  const float* s1;
};

// Four groups (F4) or eight (F8) of a span-1 pass, from the arrays' first entries.
template <class V>
VX_INLINE void Span1Groups(float* b, const int32_t* jr, const int32_t* ji, const float* c1s,
                           const float* s1s) {
  V a[8], c1, s1;
  Gather(a, b, jr);
  Gather(a + 4, b, ji);
  Load(c1, c1s);
  Load(s1, s1s);
  Butterfly(a, c1, s1);
  Scatter(b, jr, a);
  Scatter(b, ji, a + 4);
}

#if defined(__x86_64__)
__attribute__((target("avx"))) void Span1Groups8(float* b, const int32_t* jr, const int32_t* ji,
                                                 const float* c1, const float* s1) {
  Span1Groups<F8>(b, jr, ji, c1, s1);
}

bool HasAvx() {
  static const bool has = __builtin_cpu_supports("avx");
  return has;
}
#endif

// ---- the groups of a pass ----

// Group g >= 1 of the pass with nt (> 8): its runs, and its angle th2 * pi / nt
// (piovn = pi / nt) with th2 twice g reversed on the bits of the group count
// nt / 8 (bits = log2(nt / 8)).
void GroupAt(int32_t g, int bits, double piovn, int32_t& jr, int32_t& ji, float& c1, float& s1) {
  const int32_t th2 = 2 * BitReverse(static_cast<uint32_t>(g), bits);
  const double arg = th2 * piovn;
  jr = 2 * g;
  ji = Mirror(jr);
  c1 = static_cast<float>(std::cos(arg));
  s1 = static_cast<float>(std::sin(arg));
}

// The groups of every pass with nt up to kPlanNt, worked out once per process;
// a pass then only streams through its part of the table.
constexpr int32_t kPlanNt = 4096;

struct GroupPlan {
  static constexpr int kMaxM = 12;
  static constexpr int32_t kSize = kPlanNt / 4;  // > sum over m of nt/8 - 1
  int32_t first[kMaxM + 1] = {};
  int32_t jr[kSize] = {}, ji[kSize] = {};
  float c1[kSize] = {}, s1[kSize] = {};

  GroupPlan() {
    int32_t at = 0;
    for (int m = 4; m <= kMaxM; ++m) {
      first[m] = at;
      const int32_t nt = int32_t{1} << m;
      for (int32_t g = 1; g < nt / 8; ++g, ++at)
        GroupAt(g, m - 3, Consts().pi / nt, jr[at], ji[at], c1[at], s1[at]);
    }
  }
  GroupRun Of(int32_t nt) const {
    const int32_t at = first[Log2(nt)];
    return {jr + at, ji + at, c1 + at, s1 + at};
  }
};

const GroupPlan& Plan() {
  static const GroupPlan p;
  return p;
}

// ---- reordering ----

// Both reorderings and the unpacking in one gather through a stack copy.
// The first reordering reverses the imaginary parts of the pairs within each
// block [2^p, 2^(p+1)), the second moves pair i to the bit-reversed index r,
// and the unpacking moves the imaginary part of pair 0 to b[n] and negates
// the others. Pure data movement and sign flips, so the result is that of
// the separate steps to the bit (n from 8 to kGatherMax).
constexpr int32_t kGatherMax = 4096;

void GatherReorderUnpack(int32_t m, float* b) {
  const int32_t n = int32_t{1} << m;
  float copy[kGatherMax];
  std::memcpy(copy, b, sizeof(float) * n);
  // rev(i + pairs/4) = rev(i) + 2, rev(i + pairs/2) = rev(i) + 1: four
  // sources fill four neighbouring pairs. Pair i takes the imaginary part of
  // its mirror (pair 0 keeps its own); the three upper sources lie in the
  // octaves [q, 2q) and [2q, 4q), where their mirrors are plain.
  const int32_t q = n / 8;
  for (int32_t i = 0; i < q; ++i) {
    float* o = b + 2 * BitReverse(i, m - 1);
    o[0] = copy[2 * i];
    o[1] = -copy[2 * (i == 0 ? 0 : Mirror(i)) + 1];
    o[2] = copy[2 * (i + 2 * q)];
    o[3] = -copy[2 * (4 * q - 1 - i) + 1];
    o[4] = copy[2 * (i + q)];
    o[5] = -copy[2 * (2 * q - 1 - i) + 1];
    o[6] = copy[2 * (i + 3 * q)];
    o[7] = -copy[2 * (3 * q - 1 - i) + 1];
  }
  b[n] = copy[1];
  b[1] = 0.0f;
  b[n + 1] = 0.0f;
}

}  // namespace

void Radix2Pass(int32_t span, float* P, float* Q) {
  if (P + span <= Q || Q + span <= P) {
    Stream(0, span, {P, Q}, [](auto& x) {
      const auto t = x[0];
      x[0] = t + x[1], x[1] = t - x[1];
    });
    return;
  }
  // Overlapping runs (never in `fast`) keep the literal order of reads and writes.
  for (int32_t k = 0; k < span; ++k) {
    const float t = P[k];
    P[k] = t + Q[k];
    Q[k] = t - Q[k];
  }
}

void Radix4Pass(int32_t span, int32_t nt, float* B0, float* B1, float* B2, float* B3, float* B4,
                float* B5, float* B6, float* B7) {
  FirstGroup(span, nt, B0, B1, B2, B3);
  const int32_t count = std::max(nt / 8, 1) - 1;  // groups after the first
  const bool span1 = span == 1 && B1 == B0 + 1 && B2 == B0 + 2 && B3 == B0 + 3 && B4 == B0 &&
                     B5 == B1 && B6 == B2 && B7 == B3;
  // Groups touch disjoint values, so their order is free.
  auto run = [&](const GroupRun& g, int32_t n) {
    int32_t i = 0;
    if (span1) {
#if defined(__x86_64__)
      if (HasAvx())
        for (; i + 8 <= n; i += 8) Span1Groups8(B0, g.jr + i, g.ji + i, g.c1 + i, g.s1 + i);
#endif
      for (; i + 4 <= n; i += 4) Span1Groups<F4>(B0, g.jr + i, g.ji + i, g.c1 + i, g.s1 + i);
    }
    for (; i < n; ++i) {
      const int32_t j = g.jr[i] * 4 * span, k = g.ji[i] * 4 * span;
      const float c1 = g.c1[i], s1 = g.s1[i];
      Stream(0, span, {B0 + j, B1 + j, B2 + j, B3 + j, B4 + k, B5 + k, B6 + k, B7 + k},
             [c1, s1](auto& x) { Butterfly(x, c1, s1); });
    }
  };
  if (nt <= kPlanNt) return run(Plan().Of(nt), count);
  // Larger passes work out their groups a batch at a time.
  const int bits = Log2(nt / 8);
  const double piovn = Consts().pi / nt;
  int32_t jr[8], ji[8];
  float c1[8], s1[8];
  for (int32_t g = 1; g <= count; g += 8) {
    const int32_t n = std::min(8, count + 1 - g);
    for (int32_t l = 0; l < n; ++l) GroupAt(g + l, bits, piovn, jr[l], ji[l], c1[l], s1[l]);
    run({jr, ji, c1, s1}, n);
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
  if (n < 2 || n > (1 << 19) || !std::has_single_bit(static_cast<uint32_t>(n))) {
    std::fputs("fast: N is not an allowable power of two\n", stderr);
    std::fflush(stderr);
    std::exit(1);
  }
  const int m = std::countr_zero(static_cast<uint32_t>(n));
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
  if (n >= 8 && n <= kGatherMax) {
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
