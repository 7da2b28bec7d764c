#pragma once
// The band filters of BandLevels and the kernels that run them over lanes of
// doubles: second-order Butterworth sections, high- and low-pass, and the
// loop that filters stretches side by side and sums the squares of each
// block. Internal to BandLevels.cpp, which alone includes it.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <type_traits>
#include <utility>

// Every lane performs the same operations in the same order: no contraction
// into fused multiply-adds, which the wider instruction sets would allow.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("fp-contract=off")
#endif

namespace bandfilters {

// Lanes of doubles filtered side by side: the two channels of a stretch, and
// as many stretches as fill the vector. Their filters are independent
// chains, so a vector of them costs about the time of one lane. The wider
// vectors in AVX and AVX-512 functions only.
using Lanes2 = double __attribute__((vector_size(16)));
using Lanes4 = double __attribute__((vector_size(32)));
using Lanes8 = double __attribute__((vector_size(64)));
#define VX_INLINE [[gnu::always_inline]] inline

// 16-bit samples scale to exactly the floats the library would give.
constexpr double kShortScale = 1.0 / 32768;

// One second-order Butterworth section, high- or low-pass.
struct Coeffs {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

  // A corner at or near the Nyquist frequency passes everything.
  static Coeffs Make(bool highPass, double hz, double rate) {
    Coeffs q;
    if (!(hz > 0) || hz >= 0.45 * rate) return q;
    const double w = 2 * std::numbers::pi * hz / rate, c = std::cos(w);
    const double alpha = std::sin(w) / std::numbers::sqrt2, a0 = 1 + alpha;
    q.b0 = (highPass ? (1 + c) / 2 : (1 - c) / 2) / a0;
    q.b1 = (highPass ? -(1 + c) : 1 - c) / a0;
    q.b2 = q.b0;
    q.a1 = -2 * c / a0;
    q.a2 = (1 - alpha) / a0;
    return q;
  }
};
template <typename V>
struct Section {
  V b0, b1, b2, a1, a2;
  V x1{}, x2{}, y1{}, y2{};

  VX_INLINE explicit Section(const Coeffs& c)
      : b0(V{} + c.b0), b1(V{} + c.b1), b2(V{} + c.b2), a1(V{} + c.a1), a2(V{} + c.a2) {}
  // Filters x in place.
  VX_INLINE void Run(V& x) {
    const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    x = y;
  }
  // The state, four vectors, from and to `s`.
  VX_INLINE void Load(const double* s) {
    for (V* v : {&x1, &x2, &y1, &y2}) std::memcpy(v, s, sizeof(V)), s += sizeof(V) / sizeof(double);
  }
  VX_INLINE void Store(double* s) const {
    for (const V* v : {&x1, &x2, &y1, &y2})
      std::memcpy(s, v, sizeof(V)), s += sizeof(V) / sizeof(double);
  }
};

// Stretches side by side, kChannels lanes each, every one from its own
// frames at in[s]: `blocks` blocks of `length` frames, the filters' state
// carried over in `state`; the sums of squares of each block, lane by lane,
// to `sums`. A block's samples are made doubles, stretch by stretch, in
// `scratch` before they are gathered into the lanes.
template <typename V, int kChannels, typename Sample, size_t... kLane>
VX_INLINE void LaneKernel(const Coeffs& hc, const Coeffs& lc, double* state,
                          const Sample* const* in, int64_t blocks, int64_t length, double* scratch,
                          double* sums, std::index_sequence<kLane...>) {
  constexpr int kWidth = sizeof(V) / sizeof(double), kSlots = kWidth / kChannels;
  Section<V> high(hc), low(lc);
  high.Load(state);
  low.Load(state + 4 * kWidth);
  const int64_t n = length * kChannels;
  for (int64_t b = 0; b < blocks; ++b) {
    for (int s = 0; s < kSlots; ++s) {
      const Sample* x = in[s] + b * n;
      double* d = scratch + s * n;
      for (int64_t i = 0; i < n; ++i)
        d[i] = std::is_integral_v<Sample> ? double(x[i]) * kShortScale : double(x[i]);
    }
    V sum{};
    for (int64_t i = 0; i < length; ++i) {
      V y{scratch[kLane / kChannels * n + i * kChannels + kLane % kChannels]...};
      high.Run(y);
      low.Run(y);
      sum += y * y;
    }
    std::memcpy(sums + b * kWidth, &sum, sizeof sum);
  }
  high.Store(state);
  low.Store(state + 4 * kWidth);
}
template <typename Sample>
using Kernel = void (*)(const Coeffs&, const Coeffs&, double*, const Sample* const*, int64_t,
                        int64_t, double*, double*);
template <int kChannels, typename Sample>
void Kernel2(const Coeffs& hc, const Coeffs& lc, double* state, const Sample* const* in,
             int64_t blocks, int64_t length, double* scratch, double* sums) {
  LaneKernel<Lanes2, kChannels>(hc, lc, state, in, blocks, length, scratch, sums,
                                std::make_index_sequence<2>{});
}
#if defined(__x86_64__)
template <int kChannels, typename Sample>
__attribute__((target("avx"))) void Kernel4(const Coeffs& hc, const Coeffs& lc, double* state,
                                            const Sample* const* in, int64_t blocks, int64_t length,
                                            double* scratch, double* sums) {
  LaneKernel<Lanes4, kChannels>(hc, lc, state, in, blocks, length, scratch, sums,
                                std::make_index_sequence<4>{});
}
template <int kChannels, typename Sample>
__attribute__((target("avx512f"))) void Kernel8(const Coeffs& hc, const Coeffs& lc, double* state,
                                                const Sample* const* in, int64_t blocks,
                                                int64_t length, double* scratch, double* sums) {
  LaneKernel<Lanes8, kChannels>(hc, lc, state, in, blocks, length, scratch, sums,
                                std::make_index_sequence<8>{});
}
// Doubles in a vector: 8 with AVX-512, 4 with AVX, else 2.
inline int LaneWidth() {
  static const int width = __builtin_cpu_supports("avx512f") ? 8
                           : __builtin_cpu_supports("avx")   ? 4
                                                             : 2;
  return width;
}
template <typename Sample>
Kernel<Sample> KernelFor(int width, int channels) {
  if (width == 8) return channels == 1 ? Kernel8<1, Sample> : Kernel8<2, Sample>;
  if (width == 4) return channels == 1 ? Kernel4<1, Sample> : Kernel4<2, Sample>;
  return channels == 1 ? Kernel2<1, Sample> : Kernel2<2, Sample>;
}
#else
inline int LaneWidth() { return 2; }
template <typename Sample>
Kernel<Sample> KernelFor(int, int channels) {
  return channels == 1 ? Kernel2<1, Sample> : Kernel2<2, Sample>;
}
#endif

}  // namespace bandfilters
