#include "fast.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "fast_kernels.h"
#include "fast_plan.h"

// As in fast_kernels.h: the vector helpers are all inlined.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vx {
namespace {

using namespace lanes;
using namespace plan;

// Both reorderings, for the lengths outside the fused last passes: plain
// scalar code, kept out of the flattened vector kernels.
[[gnu::noinline]] void Reorders(int32_t m, float* b) {
  Reorder1(m, b);
  Reorder2(m, b);
}

// ---- the passes, over lanes V ----

template <class V>
using Narrower = std::conditional_t<kWidth<V> == 16, F8, F4>;

// The factors of groups i .. i + kWidth<U> - 1 of g, one group per lane.
template <class U>
VX_INLINE Turns<U> TurnsAt(const GroupRun& g, int32_t i) {
  Turns<U> w;
  Load(w.c1, g.turn[0] + i), Load(w.s1, g.turn[1] + i), Load(w.c2, g.turn[2] + i);
  Load(w.s2, g.turn[3] + i), Load(w.c3, g.turn[4] + i), Load(w.s3, g.turn[5] + i);
  return w;
}

// The same, for the groups of a span-4 pass, one group to four lanes. (For
// sixteen lanes the four floats are doubled into eight first: widening them
// straight to sixteen goes through memory.)
template <class V, size_t... I>
VX_INLINE V Spread(const float* p, std::index_sequence<I...>) {
  F4 v;
  Load(v, p);
  if constexpr (kWidth<V> == 8) {
    return __builtin_shufflevector(v, v, static_cast<int>(I / 4)...);
  } else {
    const F8 twice = __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7);
    return __builtin_shufflevector(twice, twice, static_cast<int>(I / 4)...);
  }
}
template <class V>
VX_INLINE Turns<V> SpreadTurnsAt(const GroupRun& g, int32_t i) {
  constexpr auto kLanes = std::make_index_sequence<kWidth<V>>();
  return {Spread<V>(g.turn[0] + i, kLanes), Spread<V>(g.turn[1] + i, kLanes), Spread<V>(g.turn[2] + i, kLanes),
          Spread<V>(g.turn[3] + i, kLanes), Spread<V>(g.turn[4] + i, kLanes), Spread<V>(g.turn[5] + i, kLanes)};
}

// The first group of a pass; the first pass alone (nt = 4, a single group)
// may take its values from `in` instead of b.
template <class V>
VX_INLINE void FirstGroup(int32_t span, int32_t nt, float* b, float* in = nullptr) {
  if (in == nullptr) in = b;
  Stream<V>(0, span, {in, in + span, in + 2 * span, in + 3 * span}, {b, b + span, b + 2 * span, b + 3 * span},
            FirstButterfly{});
  if (nt <= 4) return;
  float* c = b + 4 * span;
  Stream<V>(0, span, {c, c + span, c + 2 * span, c + 3 * span}, EighthTurn{Consts().p7});
}

// Groups touch disjoint values, so their order is free.
template <class V>
VX_INLINE void WideGroups(int32_t span, float* b, const GroupRun& g, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    float* j = b + g.jr[i] * 4 * span;
    float* k = b + g.ji[i] * 4 * span;
    const GroupButterfly butterfly{{g.turn[0][i], g.turn[1][i], g.turn[2][i], g.turn[3][i], g.turn[4][i], g.turn[5][i]}};
    Stream<V>(0, span, {j, j + span, j + 2 * span, j + 3 * span, k, k + span, k + 2 * span, k + 3 * span}, butterfly);
  }
}

// Span 4 with eight or sixteen lanes: quarter q of each vector holds a run
// of group i + q.
template <class V>
VX_INLINE void Span4Groups(float* b, const GroupRun& g, int32_t count) {
  constexpr int32_t kGroups = kWidth<V> / 4;
  int32_t i = 0;
  for (; i + kGroups <= count; i += kGroups) {
    float* at[8][kGroups];
#pragma GCC unroll 4
    for (int32_t q = 0; q < kGroups; ++q)
#pragma GCC unroll 4
      for (int r = 0; r < 4; ++r) at[r][q] = b + 16 * g.jr[i + q] + 4 * r, at[4 + r][q] = b + 16 * g.ji[i + q] + 4 * r;
    V x[8];
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) x[r] = Concat<V>(at[r]);
    Butterfly(x, SpreadTurnsAt<V>(g, i));
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) Split(at[r], x[r]);
  }
  WideGroups<F4>(4, b, Skip(g, i), count - i);
}

// Span 1 outside the fused last passes: one group per lane, as many groups
// at a time as U holds, from group i on while they fill it.
template <class U>
VX_INLINE void Span1Batches(float* b, const GroupRun& g, int32_t& i, int32_t count) {
  for (; i + kWidth<U> <= count; i += kWidth<U>) {
    U a[8];
    Gather(a, b, g.jr + i);
    Gather(a + 4, b, g.ji + i);
    Butterfly(a, TurnsAt<U>(g, i));
    Scatter(b, g.jr + i, a);
    Scatter(b, g.ji + i, a + 4);
  }
}
template <class V>
VX_INLINE void Span1Groups(float* b, const GroupRun& g, int32_t count) {
  int32_t i = 0;
  if constexpr (kWidth<V> >= 8) Span1Batches<F8>(b, g, i, count);
  Span1Batches<F4>(b, g, i, count);
  WideGroups<float>(1, b, Skip(g, i), count - i);
}

template <class V>
VX_INLINE void Groups(int32_t span, float* b, const GroupRun& g, int32_t count) {
  if (span >= kWidth<V>) return WideGroups<V>(span, b, g, count);
  if constexpr (kWidth<V> > 4)
    if (span == 4) return Span4Groups<V>(b, g, count);
  Span1Groups<V>(b, g, count);
}

template <class V>
VX_INLINE void Pass(int32_t span, int32_t nt, float* b) {
  FirstGroup<V>(span, nt, b);
  const int32_t count = std::max(nt / 8, 1) - 1;  // groups after the first
  if (nt <= kPlanNt) return Groups<V>(span, b, PassGroups(nt), count);
  // Larger passes work out their groups a batch at a time.
  const int bits = Log2(nt / 8);
  const double piovn = Consts().pi / nt;
  GroupTable<8> t;
  for (int32_t g = 1; g <= count; g += 8) {
    const int32_t n = std::min(8, count + 1 - g);
    for (int32_t l = 0; l < n; ++l) {
      int32_t jr, ji;
      Turns<float> w;
      GroupAt(g + l, bits, piovn, jr, ji, w);
      t.Set(l, jr, ji, w);
    }
    Groups<V>(span, b, t.From(0), n);
  }
}

// Group 0 of the last pass of n, from the values of its two blocks in c[0 .. 7]
// (changed), overwriting what a dummy left at its pairs 0, n/4, n/8 and 3n/8.
void GroupZero(int32_t n, float* b, float* c) {
  FirstGroup<float>(1, n, c);
  const int32_t q = n / 4, half = n / 2;
  b[0] = c[0], b[1] = 0.0f, b[n] = c[1], b[n + 1] = 0.0f;
  b[half] = c[2], b[half + 1] = -c[3];
  b[q] = c[4], b[q + 1] = -c[7];
  b[half + q] = c[6], b[half + q + 1] = -c[5];
}

// The last pass of n = 2^m (32 <= n <= kPlanNt) with both reorderings and
// the unpacking: the imaginary part of pair 0 moves to b[n], the others are
// negated, and pair i of the result takes the real part of pair rev(i) and
// the imaginary part of its mirror (the same group's values; see LastGroups).
template <class V>
VX_INLINE void LastPass(int m, float* copy, float* b) {
  if constexpr (kWidth<V> > 4)
    if ((int32_t{1} << m) / 8 < kWidth<V>) return LastPass<Narrower<V>>(m, copy, b);
  constexpr int32_t w = kWidth<V>;
  const int32_t n = int32_t{1} << m, q = n / 4, half = n / 2;
  const GroupRun g = LastGroups(m);
  for (int32_t h = 0; h < n / 8; h += w) {
    V a[8];
    Gather(a, copy, g.jr + h);
    Gather(a + 4, copy, g.ji + h);
    Butterfly(a, TurnsAt<V>(g, h));
    StorePairs<false>(b + 2 * h, a[0], -a[7]);
    StorePairs<false>(b + 2 * (q + h), a[2], -a[5]);
    StorePairs<true>(b + 2 * (q - h - w + 1), a[4], -a[3]);
    StorePairs<true>(b + 2 * (half - h - w + 1), a[6], -a[1]);
  }
  GroupZero(n, b, copy);
}

// The four output pairs of last-pass groups, one per lane: pairs h, n/4 + h,
// n/4 - h and n/2 - h (see LastGroups), with h = h0 + l in lane l, or h0 - l
// if `descending`.
template <bool descending, class V>
VX_INLINE void StoreGroups(float* b, int32_t n, int32_t h0, const V (&a)[8]) {
  constexpr int32_t w = kWidth<V>;
  const int32_t q = n / 4, half = n / 2, low = descending ? h0 - w + 1 : h0;
  const int32_t mirrored = descending ? h0 : h0 + w - 1;  // the h of the lowest pair n/4 - h
  StorePairs<descending>(b + 2 * low, a[0], -a[7]);
  StorePairs<descending>(b + 2 * (q + low), a[2], -a[5]);
  StorePairs<!descending>(b + 2 * (q - mirrored), a[4], -a[3]);
  StorePairs<!descending>(b + 2 * (half - mirrored), a[6], -a[1]);
}

template <class V, size_t... I>
VX_INLINE V Reversed(const V& v, std::index_sequence<I...>) {
  return __builtin_shufflevector(v, v, (kWidth<V> - 1 - static_cast<int>(I))...);
}
// The factors of the last-pass groups h0, h0 - 1, ... in lanes 0, 1, ...
template <class V>
VX_INLINE Turns<V> DescendingTurnsAt(const GroupRun& g, int32_t h0) {
  const Turns<V> w = TurnsAt<V>(g, h0 - kWidth<V> + 1);
  constexpr auto kLanes = std::make_index_sequence<kWidth<V>>();
  return {Reversed(w.c1, kLanes), Reversed(w.s1, kLanes), Reversed(w.c2, kLanes),
          Reversed(w.s2, kLanes), Reversed(w.c3, kLanes), Reversed(w.s3, kLanes)};
}

// The last two passes of n = 2^m (32 * kWidth<V> <= n <= kPlanNt) with both
// reorderings and the unpacking. A batch holds span-4 groups G in its lanes,
// listed by H = rev(G) like the last pass's groups (the span-4 pass's plan
// is the last pass's for n/4). Transposing their two blocks of 16 floats
// puts value k of run r in x[4r + k] (y for the second block); after the
// span-4 butterflies, run r of a block is a block of the last pass, and the
// four last-pass groups 4G, 4G + 1, 2J and 2J + 1 (J the block paired with
// 2G) find their values in the same lanes, with h = H, n/16 + H, n/16 - H
// and n/8 - H. Lane 0 of the first batch, span-4 group 0, has its own
// butterflies: it runs as a dummy, then its last-pass groups 0 to 3 are done
// apart.
template <class V>
VX_INLINE void LastTwoPasses(int m, float* copy, float* b) {
  constexpr int32_t w = kWidth<V>;
  const int32_t n = int32_t{1} << m, groups = n / 8;
  FirstGroup<V>(4, n / 4, copy);
  const GroupRun outer = LastGroups(m - 2), last = LastGroups(m);
  for (int32_t h0 = 0; h0 < n / 32; h0 += w) {
    V x[16], y[16];
    const float* rows[w];
    for (int32_t l = 0; l < w; ++l) rows[l] = copy + 16 * outer.jr[h0 + l];
    TransposeBlocks(x, rows);
    for (int32_t l = 0; l < w; ++l) rows[l] = copy + 16 * outer.ji[h0 + l];
    TransposeBlocks(y, rows);
    const Turns<V> turns = TurnsAt<V>(outer, h0);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      V a[8] = {x[k], x[4 + k], x[8 + k], x[12 + k], y[k], y[4 + k], y[8 + k], y[12 + k]};
      Butterfly(a, turns);
      x[k] = a[0], x[4 + k] = a[1], x[8 + k] = a[2], x[12 + k] = a[3];
      y[k] = a[4], y[4 + k] = a[5], y[8 + k] = a[6], y[12 + k] = a[7];
    }
    V a[8] = {x[0], x[1], x[2], x[3], y[12], y[13], y[14], y[15]};  // group 4G
    Butterfly(a, TurnsAt<V>(last, h0));
    StoreGroups<false>(b, n, h0, a);
    V c[8] = {x[8], x[9], x[10], x[11], y[4], y[5], y[6], y[7]};  // group 4G + 1
    Butterfly(c, TurnsAt<V>(last, groups / 2 + h0));
    StoreGroups<false>(b, n, groups / 2 + h0, c);
    V d[8] = {y[0], y[1], y[2], y[3], x[12], x[13], x[14], x[15]};  // group 2J
    Butterfly(d, DescendingTurnsAt<V>(last, groups / 2 - h0));
    StoreGroups<true>(b, n, groups / 2 - h0, d);
    V e[8] = {y[8], y[9], y[10], y[11], x[4], x[5], x[6], x[7]};  // group 2J + 1
    Butterfly(e, DescendingTurnsAt<V>(last, groups - h0));
    StoreGroups<true>(b, n, groups - h0, e);
  }
  // Last-pass groups 1 to 3, then 0, overwrite the dummy's values.
  for (int32_t g = 1; g < 4; ++g) {
    const int32_t h = BitReverse(static_cast<uint32_t>(g), m - 3), jr = 2 * g, ji = Mirror(jr);
    float a[8];
    for (int r = 0; r < 4; ++r) a[r] = copy[4 * jr + r], a[4 + r] = copy[4 * ji + r];
    Butterfly(a, TurnsAt<float>(last, h));
    const int32_t q = n / 4, half = n / 2;
    b[2 * h] = a[0], b[2 * h + 1] = -a[7], b[2 * (q + h)] = a[2], b[2 * (q + h) + 1] = -a[5];
    b[2 * (q - h)] = a[4], b[2 * (q - h) + 1] = -a[3], b[2 * (half - h)] = a[6], b[2 * (half - h) + 1] = -a[1];
  }
  GroupZero(n, b, copy);
}

// For 32 <= n <= kPlanNt the passes run in a copy on the stack, filled by
// the first, and the last two (or, for fewer groups than lanes, the last one)
// write b in the final order. Other lengths run in place and reorder after.
template <class V>
VX_INLINE void Transform(float* b, int32_t n) {
  const int m = Log2(n);
  const int fused = n > kPlanNt ? 0 : n >= 32 * kWidth<V> ? 2 : n >= 32 ? 1 : 0;
  float copy[kPlanNt];
  float* work = fused != 0 ? copy : b;
  int32_t nt = 1, i = 0;
  if (m % 2 != 0) {
    Stream<V>(0, n / 2, {b, b + n / 2}, {work, work + n / 2}, Halves{});
    nt = 2;
  } else if (fused != 0) {
    nt = 4, i = 1;
    FirstGroup<V>(n / 4, nt, work, b);
  }
  for (; i < m / 2 - fused; ++i) {
    nt *= 4;
    Pass<V>(n / nt, nt, work);
  }
  if (fused == 2) return LastTwoPasses<V>(m, work, b);
  if (fused == 1) return LastPass<V>(m, work, b);
  Reorders(m, b);
  b[n] = b[1];
  b[1] = 0.0f;
  b[n + 1] = 0.0f;
  for (int32_t i = 3; i < n; i += 2) b[i] = -b[i];
}

// ---- one set of compiled kernels per instruction set, chosen once ----

struct Kernels {
  void (*transform)(float* b, int32_t n);
  void (*pass)(int32_t span, int32_t nt, float* b);
};

[[gnu::flatten]] void TransformF4(float* b, int32_t n) { Transform<F4>(b, n); }
[[gnu::flatten]] void PassF4(int32_t span, int32_t nt, float* b) { Pass<F4>(span, nt, b); }
#if defined(__x86_64__)
__attribute__((target("avx2"), flatten)) void TransformF8(float* b, int32_t n) { Transform<F8>(b, n); }
__attribute__((target("avx2"), flatten)) void PassF8(int32_t span, int32_t nt, float* b) { Pass<F8>(span, nt, b); }
__attribute__((target("avx512f"), flatten)) void TransformF16(float* b, int32_t n) { Transform<F16>(b, n); }
__attribute__((target("avx512f"), flatten)) void PassF16(int32_t span, int32_t nt, float* b) {
  Pass<F16>(span, nt, b);
}
#endif

const Kernels& Best() {
  static const Kernels k = [] {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) return Kernels{TransformF16, PassF16};
    if (__builtin_cpu_supports("avx2")) return Kernels{TransformF8, PassF8};
#endif
    return Kernels{TransformF4, PassF4};
  }();
  return k;
}

}  // namespace

void Radix2Pass(int32_t span, float* P, float* Q) {
  if (P + span <= Q || Q + span <= P) return Stream<F4>(0, span, {P, Q}, Halves{});
  // Overlapping runs (never in `fast`) keep the literal order of reads and writes.
  for (int32_t k = 0; k < span; ++k) {
    const float t = P[k];
    P[k] = t + Q[k];
    Q[k] = t - Q[k];
  }
}

void Radix4Pass(int32_t span, int32_t nt, float* b) { Best().pass(span, nt, b); }

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
  Best().transform(b, n);
}

}  // namespace vx
