// The arithmetic and data movement of `fast`, written once over the lane type.
//
// A lane type is one float or four, eight or sixteen side by side in GCC's
// vector types, whose operators work lane by lane; every kernel performs in
// each lane the scalar operations of the plain loop nest in the same order
// (the library is built without contraction: no FMA), so every width gives
// the same results to the bit. The eight- and sixteen-lane types are used
// only inside functions compiled for AVX2 or AVX-512; everything here is
// inlined into them. Internal to the transform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

// Every helper here is inlined, so no vector crosses a call and the note that
// returning one without AVX changes the calling convention does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vx::lanes {

using F4 = float __attribute__((vector_size(16)));
using F8 = float __attribute__((vector_size(32)));
using F16 = float __attribute__((vector_size(64)));
using D4 = double __attribute__((vector_size(32)));
using D16 = double __attribute__((vector_size(128)));
#define VX_INLINE [[gnu::always_inline]] inline

template <class V>
inline constexpr int32_t kWidth = sizeof(V) / sizeof(float);

template <class V>
VX_INLINE void Load(V& v, const float* p) {
  std::memcpy(&v, p, sizeof v);
}
template <class V>
VX_INLINE void Store(float* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

// ---- arithmetic ----

// The twiddle factors of a group: the cosine and sine of its angle and of
// twice and three times it, the latter two built from the first in float.
template <class W>
struct Turns {
  W c1, s1, c2, s2, c3, s3;
};
template <class W>
VX_INLINE Turns<W> MakeTurns(const W& c1, const W& s1) {
  const W c2 = c1 * c1 - s1 * s1, s2 = 2.0f * c1 * s1;
  const W c3 = c1 * c2 - s1 * s2, s3 = c2 * s1 + s2 * c1;
  return {c1, s1, c2, s2, c3, s3};
}

// The butterfly of one group: a[0..3] are the values at its first run,
// a[4..7] those at its second; the factors are one float for all lanes or
// one lane per group.
template <class V, class W>
VX_INLINE void Butterfly(V (&a)[8], const Turns<W>& w) {
  const V r1 = a[1] * w.c1 - a[5] * w.s1, r5 = a[1] * w.s1 + a[5] * w.c1;
  const V u2 = a[2] * w.c2 - a[6] * w.s2, u6 = a[2] * w.s2 + a[6] * w.c2;
  const V u3 = a[3] * w.c3 - a[7] * w.s3, u7 = a[3] * w.s3 + a[7] * w.c3;
  const V t0 = a[0] + u2, t4 = a[4] + u6, t2 = a[0] - u2, t6 = a[4] - u6;
  const V t1 = r1 + u3, t5 = r5 + u7, t3 = r1 - u3, t7 = r5 - u7;
  a[0] = t0 + t1, a[7] = t4 + t5, a[6] = t0 - t1, a[1] = t5 - t4;
  a[2] = t2 - t7, a[5] = t6 + t3, a[4] = t2 + t7, a[3] = t3 - t6;
}

// The eighth-turn rotation, rounded from double precision. Eight floats go
// through two halves, as eight doubles need AVX-512; sixteen (used with
// AVX-512 only) convert whole, which GCC does in two 512-bit halves.
VX_INLINE float Rotate(float x, double p7) { return static_cast<float>(p7 * static_cast<double>(x)); }
VX_INLINE F4 Rotate(const F4& x, double p7) {
  return __builtin_convertvector(p7 * __builtin_convertvector(x, D4), F4);
}
VX_INLINE F8 Rotate(const F8& x, double p7) {
  const F4 lo = Rotate(__builtin_shufflevector(x, x, 0, 1, 2, 3), p7);
  const F4 hi = Rotate(__builtin_shufflevector(x, x, 4, 5, 6, 7), p7);
  return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
}
VX_INLINE F16 Rotate(const F16& x, double p7) {
  return __builtin_convertvector(p7 * __builtin_convertvector(x, D16), F16);
}

// The group with angle 0 (values x[0..3] at its four runs), and from the
// second pass on the eighth-turn rotation on the block after it.
struct FirstButterfly {
  template <class V>
  VX_INLINE void operator()(V (&x)[4]) const {
    const V t0 = x[0] + x[2], t1 = x[1] + x[3];
    x[2] = x[0] - x[2], x[3] = x[1] - x[3], x[0] = t0 + t1, x[1] = t0 - t1;
  }
};
struct EighthTurn {
  double p7;
  template <class V>
  VX_INLINE void operator()(V (&x)[4]) const {
    const V pr = Rotate(x[1] - x[3], p7), pi = Rotate(x[1] + x[3], p7);
    x[3] = x[2] + pi, x[1] = pi - x[2], x[2] = x[0] - pr, x[0] = x[0] + pr;
  }
};
struct GroupButterfly {
  Turns<float> w;
  template <class V>
  VX_INLINE void operator()(V (&x)[8]) const {
    Butterfly(x, w);
  }
};
struct Halves {
  template <class V>
  VX_INLINE void operator()(V (&x)[2]) const {
    const V t = x[0];
    x[0] = t + x[1], x[1] = t - x[1];
  }
};

// ---- streaming over runs ----

// Runs `kernel` on the values at index k of the runs `in`, for every k in
// [from, to), and stores the results at index k of the runs `out` (the same
// runs, or runs that overlap none of them): as many at a time as V holds,
// then four, then one. The runs are distinct stretches of the array.
template <class U, size_t N, class Kernel>
VX_INLINE void StreamAt(int32_t k, float* const (&in)[N], float* const (&out)[N], const Kernel& kernel) {
  U x[N];
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) Load(x[i], in[i] + k);
  kernel(x);
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) Store(out[i] + k, x[i]);
}
template <class V, size_t N, class Kernel>
VX_INLINE void Stream(int32_t from, int32_t to, float* const (&in)[N], float* const (&out)[N],
                      const Kernel& kernel) {
  int32_t k = from;
  if constexpr (kWidth<V> > 4)
    for (; k + kWidth<V> <= to; k += kWidth<V>) StreamAt<V>(k, in, out, kernel);
  for (; k + 4 <= to; k += 4) StreamAt<F4>(k, in, out, kernel);
  for (; k < to; ++k) StreamAt<float>(k, in, out, kernel);
}
template <class V, size_t N, class Kernel>
VX_INLINE void Stream(int32_t from, int32_t to, float* const (&runs)[N], const Kernel& kernel) {
  Stream<V>(from, to, runs, runs, kernel);
}

// ---- shuffles ----

// Index patterns for __builtin_shufflevector over two V's (b's lanes count
// from kWidth<V>). Within each 128-bit quarter: the low or high float pairs
// interleaved (as unpcklps/unpckhps), or the low or high halves joined (as
// unpcklpd/unpckhpd). Across the whole vector: a and b interleaved, lane by
// lane from the low or high half, forwards or in reverse.
constexpr int32_t Unpack(size_t i, bool high, int32_t w) {
  return static_cast<int32_t>(i / 4 * 4 + (high ? 2 : 0) + i % 4 / 2 + i % 2 * w);
}
constexpr int32_t Join64(size_t i, bool high, int32_t w) {
  return static_cast<int32_t>(i / 4 * 4 + (high ? 2 : 0) + i % 2 + i % 4 / 2 * w);
}
constexpr int32_t Interleave(size_t i, bool high, bool reverse, int32_t w) {
  const int32_t lane = static_cast<int32_t>(i / 2) + (high ? w / 2 : 0);
  return (reverse ? w - 1 - lane : lane) + static_cast<int32_t>(i % 2) * w;
}

template <class V, size_t... I>
VX_INLINE void Transpose(V* x, std::index_sequence<I...>) {
  constexpr int32_t w = kWidth<V>;
  const V u0 = __builtin_shufflevector(x[0], x[1], Unpack(I, false, w)...);
  const V u1 = __builtin_shufflevector(x[0], x[1], Unpack(I, true, w)...);
  const V u2 = __builtin_shufflevector(x[2], x[3], Unpack(I, false, w)...);
  const V u3 = __builtin_shufflevector(x[2], x[3], Unpack(I, true, w)...);
  x[0] = __builtin_shufflevector(u0, u2, Join64(I, false, w)...);
  x[1] = __builtin_shufflevector(u0, u2, Join64(I, true, w)...);
  x[2] = __builtin_shufflevector(u1, u3, Join64(I, false, w)...);
  x[3] = __builtin_shufflevector(u1, u3, Join64(I, true, w)...);
}

// Transposes each 128-bit quarter of x[0..3] as a 4x4 matrix; its own inverse.
template <class V>
VX_INLINE void Transpose(V* x) {
  Transpose(x, std::make_index_sequence<kWidth<V>>());
}

// A vector whose 128-bit quarter q is loaded from at[q], and the reverse.
VX_INLINE void Concat(F4& v, const float* const* at) { Load(v, at[0]); }
VX_INLINE void Concat(F8& v, const float* const* at) {
  F4 lo, hi;
  Concat(lo, at), Concat(hi, at + 1);
  v = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
}
VX_INLINE void Concat(F16& v, const float* const* at) {
  F8 lo, hi;
  Concat(lo, at), Concat(hi, at + 2);
  v = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
template <class V>
VX_INLINE V Concat(const float* const* at) {
  V v;
  Concat(v, at);
  return v;
}
// Each quarter is stored straight from the register, without a shuffle.
template <class V>
VX_INLINE void Split(float* const* at, const V& v) {
#pragma GCC unroll 4
  for (int32_t q = 0; q < kWidth<V> / 4; ++q) std::memcpy(at[q], reinterpret_cast<const char*>(&v) + 16 * q, 16);
}

// The values of the groups of a span-1 pass, four to a group at p + 4 * j[l]
// for lane l: x[r] gets value r of every group. Quarter q of x[l] is loaded
// with group l + 4q, and the transposition puts value r of that group in
// lane l + 4q of x[r]. Scatter is the inverse.
template <class V>
VX_INLINE void Gather(V* x, const float* p, const int32_t* j) {
  constexpr int32_t kQuarters = kWidth<V> / 4;
#pragma GCC unroll 4
  for (int l = 0; l < 4; ++l) {
    const float* at[kQuarters];
#pragma GCC unroll 4
    for (int32_t q = 0; q < kQuarters; ++q) at[q] = p + 4 * j[l + 4 * q];
    x[l] = Concat<V>(at);
  }
  Transpose(x);
}
template <class V>
VX_INLINE void Scatter(float* p, const int32_t* j, V* x) {
  constexpr int32_t kQuarters = kWidth<V> / 4;
  Transpose(x);
#pragma GCC unroll 4
  for (int l = 0; l < 4; ++l) {
    float* at[kQuarters];
#pragma GCC unroll 4
    for (int32_t q = 0; q < kQuarters; ++q) at[q] = p + 4 * j[l + 4 * q];
    Split(at, x[l]);
  }
}

// The transposition of kWidth<V> blocks of 16 floats: lane l of x[e] gets
// element e of rows[l]. Each run of four rows is transposed within 128-bit
// quarters, then the quarters are transposed across the runs: quarter c of
// t[4p + a] holds element 4c + a of rows 4p .. 4p+3, the quarter of x[4c + a]
// for those rows.
constexpr int32_t SwapQuarters(size_t i, int32_t s, bool high, int32_t w) {
  const int32_t c = static_cast<int32_t>(i) / 4, t = static_cast<int32_t>(i) % 4;
  if (high) return (c & s) ? w + 4 * c + t : 4 * (c + s) + t;
  return (c & s) ? w + 4 * (c - s) + t : 4 * c + t;
}
template <int32_t s, class V, size_t... I>
VX_INLINE void SwapQuarters(V& lo, V& hi, std::index_sequence<I...>) {
  constexpr int32_t w = kWidth<V>;
  const V a = lo, b = hi;
  lo = __builtin_shufflevector(a, b, SwapQuarters(I, s, false, w)...);
  hi = __builtin_shufflevector(a, b, SwapQuarters(I, s, true, w)...);
}
// The quarters of t[0], t[stride], t[2 * stride], ... transposed.
template <class V>
VX_INLINE void TransposeQuarters(V* t, int32_t stride) {
  constexpr auto kLanes = std::make_index_sequence<kWidth<V>>();
  if constexpr (kWidth<V> >= 8) {
    SwapQuarters<1>(t[0], t[stride], kLanes);
    if constexpr (kWidth<V> == 16) {
      SwapQuarters<1>(t[2 * stride], t[3 * stride], kLanes);
      SwapQuarters<2>(t[0], t[2 * stride], kLanes);
      SwapQuarters<2>(t[stride], t[3 * stride], kLanes);
    }
  }
}
template <class V>
VX_INLINE void TransposeBlocks(V (&x)[16], const float* const* rows) {
  constexpr int32_t w = kWidth<V>;
#pragma GCC unroll 4
  for (int32_t j = 0; j < 16 / w; ++j) {  // the part of the blocks one vector holds
    V t[w];
#pragma GCC unroll 16
    for (int32_t l = 0; l < w; ++l) Load(t[l], rows[l] + w * j);
#pragma GCC unroll 4
    for (int32_t p = 0; p < w / 4; ++p) Transpose(t + 4 * p);
#pragma GCC unroll 4
    for (int32_t a = 0; a < 4; ++a) {
      TransposeQuarters(t + a, 4);
#pragma GCC unroll 4
      for (int32_t c = 0; c < w / 4; ++c) x[w * j + 4 * c + a] = t[a + 4 * c];
    }
  }
}

// Stores re and im as kWidth<V> complex pairs from p on, lane l to pair l, or
// with `reverse` to pair kWidth<V> - 1 - l.
template <bool reverse, class V, size_t... I>
VX_INLINE void StorePairs(float* p, const V& re, const V& im, std::index_sequence<I...>) {
  constexpr int32_t w = kWidth<V>;
  Store(p, __builtin_shufflevector(re, im, Interleave(I, false, reverse, w)...));
  Store(p + w, __builtin_shufflevector(re, im, Interleave(I, true, reverse, w)...));
}
template <bool reverse, class V>
VX_INLINE void StorePairs(float* p, const V& re, const V& im) {
  StorePairs<reverse>(p, re, im, std::make_index_sequence<kWidth<V>>());
}

}  // namespace vx::lanes

#pragma GCC diagnostic pop
