// Specific loudness per frame: band layout, masking, the loudness law, the
// run's fixed parameters, and the per-record tables against a literal
// per-frame computation.
#include "SpezLautheit.h"
#include "SpezLautheitSteps.h"
#include "WinFFTBetragPhase.h"
#include "fast.h"
#include "generalstruct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>
#include <random>
#include <vector>

// Counts every allocation of the process, to show that frames after the
// first obtain no memory. The replacements pair malloc with free; GCC cannot
// see that once it has inlined them, hence the pragma.
static std::atomic<long> gAllocations{0};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++gAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using vx::generalstruct;

// The silence detector's parameters at 44.1 kHz.
constexpr int32_t kN = 512, kBands = 25, kHop = 220;
constexpr float kRate = 44100, kLow = 16, kHigh = 22050, kOffset = 94;
struct Params {
  int32_t bands = kBands, hop = kHop;
  float rate = kRate, low = kLow, high = kHigh, offset = kOffset;
};

void Call(const std::vector<float>& x, int32_t len, float* out, generalstruct& gs,
          const Params& r = {}) {
  vx::SpezLautheitByFFT(x.data(), len, out, r.bands, r.hop, r.rate, r.low, r.high, r.offset, gs);
}
std::vector<float> Frame(const std::vector<float>& x, generalstruct& gs) {
  std::vector<float> out(kBands + 1);
  Call(x, kN, out.data(), gs);
  return out;
}
std::vector<float> Sine(double amp, double hz) {
  std::vector<float> x(kN);
  for (int32_t j = 0; j < kN; ++j) x[j] = static_cast<float>(amp * std::sin(2 * M_PI * hz * j / kRate));
  return x;
}
double Total(const std::vector<float>& s) { return std::accumulate(s.begin(), s.end() - 1, 0.0); }

TEST(SpezLautheit, WorkedExampleAt44100) {
  generalstruct gs, a, b;
  const std::vector<float> loud = Frame(Sine(1.0, 1000), gs), silence(kN, 0.0f);
  EXPECT_NEAR(Total(loud), 47, 0.5);
  EXPECT_EQ(std::max_element(loud.begin(), loud.end() - 1) - loud.begin(), 8);
  EXPECT_NEAR(loud[8], 11.7, 0.1);
  // Silent frames after it: the masked threshold decays 500 dB/s ...
  for (double want : {41, 35, 30, 26, 23}) EXPECT_NEAR(Total(Frame(silence, gs)), want, 0.5);
  // ... until it rests on the threshold in quiet, where nothing is heard.
  for (int i = 0; i < 60; ++i) Frame(silence, gs);
  for (float v : Frame(silence, gs)) EXPECT_LT(std::fabs(v), 1e-6);
  EXPECT_NEAR(Total(Frame(Sine(0.1, 1000), a)), 11, 0.5);
  EXPECT_NEAR(Total(Frame(Sine(0.01, 1000), b)), 2.9, 0.1);
}

// The first call fixes the run: a shorter frame (zero-padded) is silent, a
// later length is no parameter change, and no later frame obtains memory.
TEST(SpezLautheit, FirstFrameSetsUpTheRunAndLaterOnesNeedNoMemory) {
  generalstruct gs;
  const std::vector<float> loud = Sine(1.0, 1000), soft = Sine(0.001, 3000), quiet(kN, 0.0f);
  std::vector<float> out(kBands + 1, 99.0f);
  const long start = gAllocations;
  Call(quiet, 424, out.data(), gs);
  for (float v : out) EXPECT_LT(std::fabs(v), 1e-6);
  EXPECT_GT(gAllocations, start);  // the first frame builds the record's tables
  testing::internal::CaptureStderr();
  const long before = gAllocations;
  for (int i = 0; i < 30; ++i)
    Call(i % 3 == 0 ? loud : i % 3 == 1 ? soft : quiet, kN - i % 2 * 112, out.data(), gs);
  EXPECT_EQ(gAllocations - before, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(SpezLautheit, ChangedParametersWarnAndKeepTheFirstOnes) {
  const std::vector<float> x = Sine(0.3, 2500);
  generalstruct ref;
  Frame(x, ref);
  const std::vector<float> want = Frame(x, ref);
  for (const Params& c : {Params{.bands = 24}, Params{.hop = 441}, Params{.rate = 48000},
                          Params{.low = 20}, Params{.high = 20000}, Params{.offset = NAN}}) {
    generalstruct gs;
    std::vector<float> got = Frame(x, gs);
    testing::internal::CaptureStderr();
    Call(x, kN, got.data(), gs, c);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SpezLautheitCalc: Warning: Parameters of first call are used\n");
    EXPECT_EQ(got, want);
  }
}

TEST(BarkBandsByFFT, BandWidthsInBins) {
  // A spectrum of ones gives each band's width in bins: the first band takes
  // half of bin 0 and 0.27 of bin 1, band 8 spans 901..1055 Hz; the last one
  // counts bin 256 23.14 times.
  generalstruct gs, g48;
  const double df = kRate / kN;
  std::vector<float> ones(kN + 5, 1.0f), nyq(kN + 5, 0.0f), bands(kBands + 1, -7.0f);
  nyq[kN] = 1.0f;
  vx::BarkBandsByFFT(ones.data(), kN, 2, bands.data(), kBands, kRate, kLow, kHigh, gs);
  EXPECT_NEAR(bands[0], 0.5 + 0.27, 0.01);
  EXPECT_NEAR(bands[8], (1055 - 901) / df, 1e-3);
  EXPECT_NEAR(bands[24], (24000 - vx::BarkLowerEdge(22051, gs)) / df, 1e-3);
  EXPECT_EQ(bands[25], -7.0f);
  vx::BarkBandsByFFT(nyq.data(), kN, 2, bands.data(), kBands, kRate, kLow, kHigh, gs);
  EXPECT_NEAR(bands[24], 279.14 - 256, 0.01);
  // At 48 kHz the last band ends half way through bin 256.
  vx::BarkBandsByFFT(nyq.data(), kN, 2, bands.data(), kBands, 48000, kLow, 24000, g48);
  EXPECT_NEAR(bands[24], 0.5, 1e-5);
}

TEST(CalcMithoerschw, SpreadingSlopesFollowTheLevel) {
  // One band sounding, the others silent: 27 dB per Bark downward, and an
  // upward slope that flattens as the band gets louder.
  const float spl[] = {80.5f, 80, 60, 40, 39}, slope[] = {-6, -9, -12, -15, -15};
  for (int c = 0; c < 5; ++c) {
    generalstruct gs;
    std::vector<float> lv(kBands + 1, -120.0f);
    const float l = lv[10] = spl[c] - kOffset;
    vx::CalcMithoerschw(lv.data(), kBands, kHop, kRate, kLow, kHigh, kOffset, gs);
    const double dz = (vx::HzToBark(kHigh, gs) - vx::HzToBark(kLow, gs)) / (kBands - 1);
    EXPECT_NEAR(lv[10], l, 1e-4);
    EXPECT_NEAR(lv[11], l + slope[c] * dz, 1e-4) << spl[c];
    EXPECT_NEAR(lv[9], l - 27 * dz, 1e-4) << spl[c];
  }
}

// The masked threshold as the model's loop nest computes it: decay and rest
// on the threshold in quiet, then walks from each band that stop at the
// first spread level below -120 dB.
void LoopNestMasking(std::vector<float>& m, const std::vector<float>& H, float* L, int32_t bands,
                     int32_t hop, float rate, float low, float high, float offset,
                     generalstruct& gs) {
  const float zLowF = vx::HzToBark(low, gs), dzF = (vx::HzToBark(high, gs) - zLowF) / (bands - 1);
  const double zLow = zLowF, dz = dzF;
  for (int k = 0; k < bands; ++k) {
    m[k] = static_cast<float>(m[k] - 500.0 * (static_cast<double>(hop) / rate));
    const double quiet = double{H[k]} - offset;
    if (quiet > m[k]) m[k] = static_cast<float>(quiet);
  }
  double zi = zLow;
  for (int i = 0; i < bands; ++i, zi += dz) {
    const double spl = double{L[i]} + offset;
    const double up = spl > 80 ? -6.0 : spl > 60 ? -9.0 : spl > 40 ? -12.0 : -15.0;
    for (int dir : {-1, 1}) {
      for (int j = dir < 0 ? i - 1 : i; j >= 0 && j <= bands; j += dir) {
        const double v = (j * dz + zLow - zi) * (dir < 0 ? 27.0 : up) + L[i];
        if (v > m[j]) m[j] = static_cast<float>(v);
        if (v < -120.0) break;
      }
    }
  }
  for (int k = 0; k <= bands; ++k) L[k] = m[k];
}

// One frame computed literally from the weighted power spectrum P: band
// powers, decay of the masked threshold, spreading, the loudness law.
void RefLoudness(const float* P, float* L, generalstruct& gs) {
  const float df = kRate / kN, halfDf = 0.5f * df, invDf = 1.0f / df;
  const float zLow = vx::HzToBark(kLow, gs), dz = (vx::HzToBark(kHigh, gs) - zLow) / (kBands - 1);
  float z = zLow;
  for (int b = 0; b < kBands; ++b, z = z + dz) {
    const float fc = vx::BarkToHz(z, gs);
    const float posLo = static_cast<float>((double{vx::BarkLowerEdge(fc, gs)} + halfDf) * invDf);
    const float posHi = static_cast<float>((double{vx::BarkUpperEdge(fc, gs)} + halfDf) * invDf);
    const int iLo = static_cast<int>(posLo), iHi = std::min(static_cast<int>(posHi), kN / 2);
    double acc = 0;
    for (int j = iLo + 1; j < iHi; ++j) acc += P[2 * j];
    const float power = static_cast<float>(acc + (1.0 - (double{posLo} - iLo)) * P[2 * iLo] +
                                           (double{posHi} - iHi) * P[2 * iHi]);
    L[b] = power < 1e-12 ? -120.0f : static_cast<float>(10 * std::log10(double{power}));
  }
  auto& h = gs.hoerschw_data;
  LoopNestMasking(h.mithoerschw, h.hoerschw, L, kBands, kHop, kRate, kLow, kHigh, kOffset, gs);
  for (int k = 0; k <= kBands; ++k) {
    const double etq = std::pow(10.0, 0.1 * h.hoerschw[k]);
    const double e = std::pow(10.0, 0.1 * (double{kOffset} + L[k]));
    L[k] = static_cast<float>(0.08 * std::pow(2.5 * etq, 0.23) *
                              (std::pow(0.5 * (e / etq + 1.0), 0.23) - 1.0));
  }
}

TEST(SpezLautheit, EveryFrameMatchesTheLiteralComputation) {
  generalstruct gs, ref;
  vx::InitAussenOhrUebrtrgmss(kRate, kN, 2, ref);
  vx::inithoerschw(kRate, kLow, kHigh, kBands, kOffset, ref);
  std::vector<float> spectrum(kN + 5), want(kBands + 1);
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (int frame = 0; frame < 200; ++frame) {
    // Loud bursts, quiet stretches and silence, so that the masking walks
    // and the decay take every path.
    const double amp = frame % 40 < 5 ? 0.0 : std::pow(10.0, -(frame % 7) * 0.8);
    std::vector<float> x = Sine(amp, 200 + 97.0 * (frame % 53));
    for (float& v : x) v += static_cast<float>(amp * 0.05) * noise(rng);
    vx::WinFFTBetragPhase(x.data(), spectrum.data(), kN, 0, 0, ref);
    vx::ApplyAussenOhrUebrtrgmss(spectrum.data(), kN, 2, ref);
    RefLoudness(spectrum.data(), want.data(), ref);
    ASSERT_EQ(Frame(x, gs), want) << "frame " << frame;
  }
}

// The same bits; with `anyNaN`, any NaN equals any other.
bool SameBits(const std::vector<float>& a, const std::vector<float>& b, bool anyNaN = false) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0 && !(anyNaN && std::isnan(a[i]) && std::isnan(b[i])))
      return false;
  return true;
}

// Restores the machine's widest lanes when a test is done with them.
struct WidestLanes {
  ~WidestLanes() { vx::detail::NarrowMaskLanes(8), vx::detail::NarrowSpectrumLanes(16); }
};

// Frame after frame of random levels with the odd -120, 0, -0, tiny, huge,
// infinite or NaN one: the same floats, bit for bit, as the loop nest, for
// the detector's layouts and for layouts where the walks' stop matters, on
// every width of lanes the machine has and on none.
TEST(CalcMithoerschw, SameFloatsAsTheLoopNest) {
  struct Case {
    int32_t bands = kBands, hop = kHop;
    float rate = kRate, low = kLow, high = kHigh, offset = kOffset;
    double special = 0.05;  // share of special levels
    float quietest = -130, loudest = 30;
  };
  const Case cases[] = {
      {},
      {.special = 0.0},
      {.hop = 240, .rate = 48000, .high = 24000},
      {.hop = 480, .rate = 96000, .high = 24000, .special = 0.3},
      {.bands = 2}, {.bands = 3}, {.bands = 4}, {.bands = 7}, {.bands = 32}, {.bands = 63},
      {.bands = 80},                     // more bands than the lanes take
      {.quietest = -200, .loudest = -100},
      // Thresholds below -120 dB: the stop matters.
      {.offset = 200, .quietest = -200, .loudest = -80},
      {.low = 20000, .high = 100, .quietest = -400, .loudest = -150},  // positions falling
      {.low = 0, .high = 1000},          // first band at 0 Bark
  };
  const float specials[] = {-120.0f, 0.0f, -0.0f, 1e-30f, -1e-30f, 1e-45f, 300.0f, -14.0f,
                            -34.0f, -54.0f, -INFINITY, NAN, INFINITY};
  const WidestLanes restore;
  for (const int32_t width : {8, 4, 0}) {
    if (vx::detail::NarrowMaskLanes(width) != width) continue;  // not on this machine
    if (width > 0) {
      // The lanes take the detector's frames.
      generalstruct gs;
      vx::inithoerschw(kRate, kLow, kHigh, kBands, kOffset, gs);
      const std::vector<float> levels(kBands + 1, -30.0f);
      const vx::detail::Layout lay = vx::detail::BandLayoutOf(kBands, kLow, kHigh, gs);
      EXPECT_TRUE(vx::detail::MaskInLanes(gs.hoerschw_data, 500.0 * kHop / kRate,
                                          {levels.data(), kBands, lay.zLow, lay.dz, kOffset}))
          << width;
    }
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (const Case& c : cases) {
      std::uniform_real_distribution<float> level(c.quietest, c.loudest);
      for (int run = 0; run < 3; ++run) {
        generalstruct gs;
        vx::inithoerschw(c.rate, c.low, c.high, c.bands, c.offset, gs);
        const std::vector<float> H = gs.hoerschw_data.hoerschw;
        std::vector<float> m = gs.hoerschw_data.mithoerschw, got(c.bands + 1), want;
        for (int frame = 0; frame < 40; ++frame) {
          for (float& v : got) {
            v = level(rng);
            // Infinite levels stay in the thresholds for good: only in the
            // last run, late.
            const int pick = static_cast<int>(unit(rng) * (run == 2 && frame > 30 ? 13 : 12));
            if (unit(rng) < c.special) v = specials[std::min(pick, 12)];
          }
          want = got;
          vx::CalcMithoerschw(got.data(), c.bands, c.hop, c.rate, c.low, c.high, c.offset, gs);
          LoopNestMasking(m, H, want.data(), c.bands, c.hop, c.rate, c.low, c.high, c.offset, gs);
          ASSERT_TRUE(SameBits(got, want)) << width << " lanes, " << c.bands << " bands, offset "
                                           << c.offset << ", run " << run << ", frame " << frame;
          ASSERT_TRUE(SameBits(gs.hoerschw_data.mithoerschw, m));
        }
      }
    }
  }
}

TEST(SpezLautheitDeathTest, UnusableRunParameters) {
  const std::vector<float> x(kN, 0.0f);
  std::vector<float> out(kBands + 1);
  EXPECT_EXIT({ generalstruct gs; Call(x, kN, out.data(), gs, Params{.bands = 1}); },
              ::testing::ExitedWithCode(1), "^SpezLautheitByFFT: needs at least 2 bands");
  EXPECT_EXIT({ generalstruct gs; Call(x, 1 << 20, out.data(), gs); },
              ::testing::ExitedWithCode(1), "^fast: N is not an allowable power of two\n$");
}

// Window, transform, power and weighting in the frame's one pass over the
// bins, on every width of lanes the machine has: the floats of the public
// steps and of the literal ones, bit for bit, for noise, powers too small or
// too large for a float, silence, and infinite or NaN samples. A NaN bin only
// has to be NaN: which of two NaN terms a sum passes on is the compiler's
// choice of operand order, in the literal steps as well.
TEST(SpezLautheit, WeightedPowerOnEveryLaneWidth) {
  const WidestLanes restore;
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (const int32_t width : {16, 8, 4}) {
    if (vx::detail::NarrowSpectrumLanes(width) != width) continue;  // not on this machine
    for (const int32_t n : {8, 16, 32, 64, 512, 1024, 4096}) {
      generalstruct gs, steps;
      vx::InitAussenOhrUebrtrgmss(kRate, n, 2, gs);
      vx::InitAussenOhrUebrtrgmss(kRate, n, 2, steps);
      std::vector<float> x(n), got(n + 5), want(n + 5), viaSteps(n + 5);
      for (int frame = 0; frame < 6; ++frame) {
        SCOPED_TRACE(testing::Message() << width << " lanes, n = " << n << ", frame " << frame);
        const float scale = frame == 1 ? 1e-25f : frame == 2 ? 1e18f : frame == 3 ? 0.0f : 1.0f;
        for (float& v : x) v = noise(rng) * scale;
        if (frame == 4) x[n / 3] = INFINITY;
        if (frame == 5) x[n / 4] = NAN, x[n / 2] = -INFINITY;
        vx::detail::WeightedPowerSpectrum(x.data(), got.data(), n, gs);
        vx::WinFFTBetragPhase(x.data(), viaSteps.data(), n, 0, 0, steps);
        vx::ApplyAussenOhrUebrtrgmss(viaSteps.data(), n, 2, steps);
        const std::vector<float>& w = gs.WinFFTBetragPhase_data.anaWin;
        const std::vector<float>& u = gs.aussnorh_data.uebrtrgmss;
        for (int32_t j = 0; j < n; ++j) want[j] = w[j] * x[j];
        vx::fast(want.data(), n);
        for (int32_t k = 0; k <= n / 2; ++k) {
          const double re = want[2 * k], im = want[2 * k + 1];
          want[2 * k] = static_cast<float>(re * re + im * im);
          if (k < n / 2) want[2 * k] /= u[k];
        }
        ASSERT_TRUE(SameBits(got, want, true)) << "against the literal steps";
        ASSERT_TRUE(SameBits(got, viaSteps, true)) << "against the public steps";
      }
    }
  }
}

}  // namespace
