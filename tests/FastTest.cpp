#include "fast.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

std::vector<float> RandomFrame(int32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> b(n + 2, 9.0f);  // the two extra slots must be overwritten
  for (int32_t i = 0; i < n; ++i) b[i] = u(rng);
  return b;
}

// Bin k of the DFT with the negative-exponent convention, in double precision.
std::complex<double> DirectBin(const std::vector<float>& x, int32_t n, int32_t k) {
  std::complex<double> s = 0;
  for (int32_t j = 0; j < n; ++j) {
    // Reduce j*k modulo n first so the angle stays exact for large n.
    const double a = -2.0 * M_PI * static_cast<double>((int64_t{j} * k) % n) / n;
    s += static_cast<double>(x[j]) * std::complex<double>(std::cos(a), std::sin(a));
  }
  return s;
}

// The nineteen nested loops: level 1 from 2 to L[18] step 2, level l from the
// value of level l-1 to L[19-l] step L[20-l]; `work` gets every level-19 value.
template <class F>
void Nest19(const int32_t (&L)[19], F&& work, int l = 1, int32_t from = 2) {
  for (int32_t v = from; v <= (l == 1 ? L[18] : L[19 - l]); v += l == 1 ? 2 : L[20 - l])
    l < 19 ? Nest19(L, work, l + 1, v) : work(v);
}

// One radix-4 pass written plainly, scalar, in the nest's group order with
// the twiddle factors computed per group.
void NestedRadix4Pass(int32_t span, int32_t nt, float* b) {
  int32_t L[19] = {nt / 4};
  for (int k = 1; k <= 18; ++k) {
    if (L[k - 1] < 2) L[k - 1] = 2;
    L[k] = L[k - 1] == 2 ? 2 : L[k - 1] / 2;
  }
  float *B0 = b, *B1 = b + span, *B2 = b + 2 * span, *B3 = b + 3 * span;
  const double pi = 4.0 * std::atan(1.0), p7 = 1.0 / std::sqrt(2.0);
  int32_t jr = 2, ji = 3, jl = 2;
  Nest19(L, [&](int32_t jthet) {
    const int32_t th2 = jthet - 2;
    if (th2 == 0) {
      for (int32_t k = 0; k < span; ++k) {
        const float t0 = B0[k] + B2[k], t1 = B1[k] + B3[k];
        B2[k] = B0[k] - B2[k];
        B3[k] = B1[k] - B3[k];
        B0[k] = t0 + t1;
        B1[k] = t0 - t1;
      }
      for (int32_t k = 4 * span; nt > 4 && k < 5 * span; ++k) {
        const float pr = static_cast<float>(p7 * double{B1[k] - B3[k]});
        const float pi4 = static_cast<float>(p7 * double{B1[k] + B3[k]});
        B3[k] = B2[k] + pi4;
        B1[k] = pi4 - B2[k];
        B2[k] = B0[k] - pr;
        B0[k] = B0[k] + pr;
      }
      return;
    }
    const double arg = th2 * (pi / nt);
    const float c1 = static_cast<float>(std::cos(arg)), s1 = static_cast<float>(std::sin(arg));
    const float c2 = c1 * c1 - s1 * s1, s2 = 2.0f * c1 * s1;
    const float c3 = c1 * c2 - s1 * s2, s3 = c2 * s1 + s2 * c1;
    for (int32_t d = 0, j = jr * 4 * span, k = ji * 4 * span; d < span; ++d, ++j, ++k) {
      const float r1 = B1[j] * c1 - B1[k] * s1, r5 = B1[j] * s1 + B1[k] * c1;
      const float u2 = B2[j] * c2 - B2[k] * s2, u6 = B2[j] * s2 + B2[k] * c2;
      const float u3 = B3[j] * c3 - B3[k] * s3, u7 = B3[j] * s3 + B3[k] * c3;
      const float t0 = B0[j] + u2, t4 = B0[k] + u6, t2 = B0[j] - u2, t6 = B0[k] - u6;
      const float t1 = r1 + u3, t5 = r5 + u7, t3 = r1 - u3, t7 = r5 - u7;
      B0[j] = t0 + t1;
      B3[k] = t4 + t5;
      B2[k] = t0 - t1;
      B1[j] = t5 - t4;
      B2[j] = t2 - t7;
      B1[k] = t6 + t3;
      B0[k] = t2 + t7;
      B3[j] = t3 - t6;
    }
    jr += 2;
    ji -= 2;
    if (ji <= jl) ji = 2 * jr - 1, jl = jr;
  });
}

// The whole transform from the plain pieces: the radix-2 pass, the nest's
// radix-4 passes, both reorderings and the unpacking.
std::vector<float> PlainFast(std::vector<float> b, int32_t n) {
  const int m = std::countr_zero(static_cast<uint32_t>(n));
  int32_t nt = 1;
  if (m % 2 != 0) {
    for (int32_t k = 0; k < n / 2; ++k) {
      const float t = b[k];
      b[k] = t + b[k + n / 2];
      b[k + n / 2] = t - b[k + n / 2];
    }
    nt = 2;
  }
  for (int i = 0; i < m / 2; ++i) {
    nt *= 4;
    NestedRadix4Pass(n / nt, nt, b.data());
  }
  vx::Reorder1(m, b.data());
  vx::Reorder2(m, b.data());
  b[n] = b[1];
  b[1] = 0.0f;
  b[n + 1] = 0.0f;
  for (int32_t i = 3; i < n; i += 2) b[i] = -b[i];
  return b;
}

// Same bits, except that any NaN equals any other: which operand's NaN an
// operation passes on depends on the operand order the compiler picks.
bool SameValue(float x, float y) {
  return std::isnan(x) ? std::isnan(y) : std::memcmp(&x, &y, sizeof x) == 0;
}

// Every length against the direct DFT of random samples (every bin up to
// 4096, both ends and random bins beyond). Up to 2^16 the fused passes and
// reorderings also give the plain transform's values to the last bit, for
// infinities, NaNs, denormals and signed zeros too; past 4096 nothing is
// fused, so every radix-4 pass shape (planned and computed groups) is compared
// on its own values there.
TEST(Fast, MatchesDirectDftAndThePlainPiecesBitForBit) {
  const float specials[] = {INFINITY, -INFINITY, NAN, 1e-45f, -1e-40f, 0.0f, -0.0f, 3e38f};
  std::mt19937 rng(7);
  for (int32_t n = 2; n <= 1 << 19; n *= 2) {
    for (int kind = 0; kind < (n <= 1 << 16 ? 3 : 1); ++kind) {
      std::vector<float> b = RandomFrame(n, 1234u + n + kind);
      for (int32_t i = 0; kind > 0 && i < n; ++i)
        if (rng() % (kind == 1 ? 64 : 4) == 0) b[i] = specials[rng() % std::size(specials)];
      const std::vector<float> x = b, plain = n <= 1 << 16 ? PlainFast(b, n) : b;
      vx::fast(b.data(), n);
      for (int32_t i = 0; n <= 1 << 16 && i < n + 2; ++i)
        ASSERT_TRUE(SameValue(b[i], plain[i])) << "n=" << n << " kind " << kind << " at " << i << ": "
                                               << b[i] << " != " << plain[i];
      if (kind > 0) continue;
      ASSERT_TRUE(b[1] == 0.0f && b[n + 1] == 0.0f) << "n=" << n;
      // Rounding of a float FFT grows with log2(n) and with the size of the
      // transform values (about sqrt(n) for inputs in [-1, 1]).
      const double tol = 4e-7 * std::log2(n) * std::sqrt(n) + 1e-6;
      std::vector<int32_t> bins{0, 1, n / 4, n / 2 - 1, n / 2};
      if (n <= 4096) bins.resize(n / 2 + 1), std::iota(bins.begin(), bins.end(), 0);
      for (int i = 0; n > 4096 && i < 8; ++i) bins.push_back(static_cast<int32_t>(rng() % (n / 2 + 1)));
      for (int32_t k : bins) {
        const std::complex<double> want = DirectBin(x, n, k);
        ASSERT_NEAR(b[2 * k], want.real(), tol) << "n=" << n << " bin " << k;
        ASSERT_NEAR(b[2 * k + 1], want.imag(), tol) << "n=" << n << " bin " << k;
      }
    }
  }
}

TEST(FastDeathTest, RefusesLengthsThatAreNotAllowedPowersOfTwo) {
  for (int32_t n : {1, 3, 6, 0, -8, 1000, 1 << 20}) {
    std::vector<float> b(8, 0.0f);
    EXPECT_EXIT(vx::fast(b.data(), n), ::testing::ExitedWithCode(1),
                "^fast: N is not an allowable power of two\n$") << "n=" << n;
  }
}

}  // namespace
