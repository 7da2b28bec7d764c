// The fast frame (elementary functions over vector lanes) against the literal
// frame, frame after frame over 70 seconds of varied material at the
// detector's rates: the totals must agree to 1e-9 (1e-12 sone near zero).
// (Kept short for sanitizer builds; half-hour runs at each rate found no
// band value apart either.)
#include "SpezLautheit.h"
#include "SpezLautheitFast.h"
#include "generalstruct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace {

using vx::FastKernel;
using vx::generalstruct;

constexpr int32_t kBands = 25;
constexpr float kLow = 16, kOffset = 94;

// Sweeps, noise bursts from -100 dBFS to full scale, quiet stretches, exact
// zeros and a click far beyond full scale, then segments of random kind,
// length and level.
std::vector<float> Material(float rate, double seconds, uint32_t seed) {
  // A small generator of its own: the library's distributions dominate a
  // sanitizer build's run time.
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  auto unit = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) * 0x1p-53;
  };
  std::vector<float> x(static_cast<size_t>(seconds * rate) + static_cast<size_t>(rate));
  size_t at = 0;
  const auto samples = [&](double s) { return std::min<size_t>(s * rate, x.size() - at); };
  const auto amplitude = [](double dbfs) { return std::pow(10.0, dbfs / 20); };
  auto sweep = [&](double s, double dbfs, double f0, double f1) {
    const size_t len = samples(s);
    const double a = amplitude(dbfs), glide = std::pow(f1 / f0, 1.0 / len);
    double phase = 0, step = 2 * M_PI * f0 / rate;
    for (size_t t = 0; t < len; ++t, step *= glide) {
      phase += step;
      x[at++] = static_cast<float>(a * std::sin(phase));
    }
  };
  auto noise = [&](double s, double dbfs) {
    const double a = amplitude(dbfs) * 0.5;
    for (size_t t = samples(s); t > 0; --t) x[at++] = static_cast<float>(a * (unit() + unit() - 1));
  };
  auto zeros = [&](double s) { at += samples(s); };

  const double nyquist = std::min(rate / 2.0, 24000.0);
  sweep(2, -3, 20, nyquist);
  sweep(1, -60, nyquist, 20);
  for (int dbfs = -100; dbfs <= 0; dbfs += 10) {
    noise(0.15, dbfs);
    noise(0.05, -110);
    zeros(0.05);
  }
  zeros(0.2);
  x[at++] = 1.0e12f;  // its power still fits a float
  zeros(1.2);
  while (at < static_cast<size_t>(seconds * rate)) {
    const double s = 0.05 + 0.6 * unit(), dbfs = -100 + 100 * unit();
    const int kind = static_cast<int>(unit() * 5);
    if (kind == 0) noise(s, dbfs);
    if (kind == 1) zeros(s);
    if (kind == 2) sweep(s, dbfs, 30 + 3000 * unit(), 30 + nyquist * unit());
    if (kind == 3) sweep(s, dbfs, 200, 201);  // a steady tone
    if (kind == 4) noise(s, dbfs - 40);       // barely above the threshold in quiet
  }
  x.resize(at);
  return x;
}

float Total(const std::vector<float>& bands) {
  return std::accumulate(bands.begin(), bands.end() - 1, 0.0f);
}

// Runs both frames over x in the detector's layout at `rate`: every total
// within 1e-9 (1e-12 sone near zero), and the masked threshold carried to the
// next frame within a few ulps of a float dB value (1e-4 dB), since it is
// rounded from a log10 whose last bits may differ. `exact`: the same floats
// throughout. Counts the infinite totals into `infinite`.
void Compare(const std::vector<float>& x, float rate, FastKernel kernel, bool exact,
             int* infinite = nullptr) {
  const float high = std::min(rate / 2, 24000.0f);
  const int32_t hop = static_cast<int32_t>(rate * 0.005);
  int32_t n = 0;
  generalstruct setup;
  vx::SpezLautheitFFTLength(rate, kBands, kLow, high, n, setup);
  generalstruct literal, fast;
  std::vector<float> a(kBands + 1), b(kBands + 1);
  for (size_t start = 0; start + static_cast<size_t>(n) <= x.size(); start += hop) {
    vx::SpezLautheitByFFT(x.data() + start, n, a.data(), kBands, hop, rate, kLow, high, kOffset,
                          literal);
    vx::SpezLautheitByFFTFastWith(kernel, x.data() + start, n, b.data(), kBands, hop, rate, kLow,
                                  high, kOffset, fast);
    const std::vector<float>& ma = literal.hoerschw_data.mithoerschw;
    const std::vector<float>& mb = fast.hoerschw_data.mithoerschw;
    if (infinite) *infinite += std::isinf(Total(a));
    if (exact) {
      ASSERT_EQ(a, b) << "at " << start;
      ASSERT_EQ(ma, mb) << "at " << start;
      continue;
    }
    const double ta = Total(a), tb = Total(b), diff = std::fabs(ta - tb);
    ASSERT_TRUE(diff <= 1e-12 || diff <= 1e-9 * std::max(std::fabs(ta), std::fabs(tb)))
        << "frame at " << start << ", " << rate << " Hz, " << vx::FastKernelName(kernel)
        << ": " << ta << " vs " << tb;
    for (size_t k = 0; k < ma.size(); ++k) ASSERT_NEAR(ma[k], mb[k], 1e-4) << "at " << start;
  }
}

// The best kernel at each of the detector's rates, then every other
// instruction set the fast frame can use here; libm is the literal frame
// itself.
TEST(SpezLautheitFast, EveryKernelFollowsTheLiteralFrame) {
  const FastKernel best = vx::BestFastKernel();
  for (const float rate : {44100.0f, 48000.0f, 96000.0f})
    Compare(Material(rate, rate == 44100 ? 40 : 15, 7), rate, best, best == FastKernel::kLibm);
  const std::vector<float> x = Material(48000, 5, 11);
  for (FastKernel k : {FastKernel::kLibm, FastKernel::kSse2, FastKernel::kAvx2, FastKernel::kAvx512})
    if (vx::FastKernelRuns(k) && k != best) Compare(x, 48000, k, k == FastKernel::kLibm);
}

// A click whose power no float holds makes every later frame infinitely
// loud, on both paths alike.
TEST(SpezLautheitFast, InfinitePowerStaysInfinite) {
  std::vector<float> x(4 * 512, 0.0f);
  x[512] = 3.0e30f;
  int infinite = 0;
  Compare(x, 44100, vx::BestFastKernel(), true, &infinite);
  EXPECT_GT(infinite, 0);
}

}  // namespace
