// Set-up of the loudness model and its windowed spectrum: Bark scale, table
// drawing, outer-ear transfer, thresholds, FFT length and analysis window.
#include "SpezLautheit.h"
#include "WinFFTBetragPhase.h"
#include "generalstruct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace {

using vx::generalstruct;

TEST(Barkscale, TableAndLookups) {
  generalstruct gs;
  EXPECT_NEAR(vx::HzToBark(100, gs), 0.98673, 1e-5);
  EXPECT_NEAR(vx::HzToBark(1000, gs), 8.51053, 1e-5);
  EXPECT_NEAR(vx::HzToBark(16000, gs), 24.09445, 1e-5);
  EXPECT_NEAR(vx::HzToBark(22050, gs), 24.74018, 1e-5);
  EXPECT_NEAR(vx::HzToBark(24000, gs), 24.86542, 1e-5);
  EXPECT_EQ(gs.barkscale_data.needsInit, 0);
  EXPECT_EQ(vx::HzToBark(0, gs), 0.0f);
  EXPECT_EQ(vx::HzToBark(999.9f, gs), vx::HzToBark(999, gs));

  EXPECT_EQ(vx::BarkToHz(0.5f, gs), 50.0f);
  EXPECT_EQ(vx::BarkToHz(1.0f, gs), 102.0f);
  EXPECT_EQ(vx::BarkToHz(10.0f, gs), 1254.0f);
  EXPECT_EQ(vx::BarkToHz(24.0f, gs), 15429.0f);

  EXPECT_EQ(vx::BarkLowerEdge(16, gs), 0.0f);
  EXPECT_EQ(vx::BarkLowerEdge(1000, gs), 924.0f);
  EXPECT_EQ(vx::BarkLowerEdge(22050, gs), 16993.0f);
  EXPECT_EQ(vx::BarkUpperEdge(16, gs), 66.0f);
  EXPECT_EQ(vx::BarkUpperEdge(1000, gs), 1080.0f);
  EXPECT_EQ(vx::BarkUpperEdge(22050, gs), 24000.0f);
  for (int f = 0; f <= 50; ++f) EXPECT_EQ(vx::BarkLowerEdge(f, gs), 0.0f) << f;
  EXPECT_EQ(vx::BarkLowerEdge(51, gs), 1.0f);
  EXPECT_LT(vx::BarkUpperEdge(17978, gs), 24000.0f);
  for (int f = 17979; f <= 24000; f += 7) EXPECT_EQ(vx::BarkUpperEdge(f, gs), 24000.0f) << f;

  // The edges are the outermost whole frequencies within half a Bark.
  for (int f : {200, 3000, 9000}) {
    const float z = vx::HzToBark(f, gs);
    const int lo = static_cast<int>(vx::BarkLowerEdge(f, gs));
    const int hi = static_cast<int>(vx::BarkUpperEdge(f, gs));
    EXPECT_GT(vx::HzToBark(lo, gs), z - 0.5f);
    EXPECT_LE(vx::HzToBark(lo - 1, gs), z - 0.5f);
    EXPECT_LT(vx::HzToBark(hi, gs), z + 0.5f);
    EXPECT_GE(vx::HzToBark(hi + 1, gs), z + 0.5f);
  }
}

TEST(InterpolSegment, StraightCurvedAndDegenerate) {
  std::vector<float> out(4, -1.0f);
  vx::InterpolSegment(0, 0, 10, 3, out.data());
  EXPECT_EQ(out, (std::vector<float>{0, 5, 10, -1}));
  vx::InterpolSegment(7, -2, 3, 1, out.data());
  EXPECT_EQ(out[0], 7.0f);
  EXPECT_EQ(out[1], 5.0f);
  vx::InterpolSegment(9, 0, 9, 0, out.data());
  EXPECT_EQ(out[0], 7.0f);

  // Negative curvature: most of the change happens near the start.
  std::vector<float> c(11);
  vx::InterpolSegment(80, -2, 42, 11, c.data());
  EXPECT_EQ(c[0], 80.0f);
  EXPECT_NEAR(c[10], 42.0f, 1e-5);
  const double expect5 = 80 + (42 - 80) * (1 - std::exp(-1.0)) / (1 - std::exp(-2.0));
  EXPECT_NEAR(c[5], expect5, 1e-4);
  for (int k = 1; k <= 10; ++k) EXPECT_LT(c[k], c[k - 1]) << k;
  EXPECT_GT(c[0] - c[1], c[9] - c[10]);
}

TEST(AussenOhr, CurveAt44100AndModes) {
  const float every16[] = {0.0f,  2.333f, 1.475f, -2.786f, -5.59f, -6.95f, -6.667f, -4.758f, -2.45f,
                           -0.12f, 1.907f, 3.8f,   5.4f,    6.976f, 8.184f, 9.392f, 10.6f};
  generalstruct db;
  vx::InitAussenOhrUebrtrgmss(44100, 512, 3, db);
  ASSERT_EQ(db.aussnorh_data.uebrtrgmss.size(), 257u);
  for (int i = 0; i <= 16; ++i)
    EXPECT_NEAR(db.aussnorh_data.uebrtrgmss[16 * i], every16[i], 2e-3) << "entry " << 16 * i;

  generalstruct pw;
  vx::InitAussenOhrUebrtrgmss(44100, 512, 2, pw);
  generalstruct amp;
  vx::InitAussenOhrUebrtrgmss(44100, 512, 1, amp);
  for (int k = 0; k < 256; ++k) {
    const double d = db.aussnorh_data.uebrtrgmss[k];
    EXPECT_NEAR(pw.aussnorh_data.uebrtrgmss[k], std::pow(10.0, d / 10), 1e-5 * std::pow(10.0, d / 10));
    EXPECT_NEAR(amp.aussnorh_data.uebrtrgmss[k], std::pow(10.0, d / 20), 1e-5 * std::pow(10.0, d / 20));
  }
  // The Nyquist entry is never weighted and stays in dB.
  EXPECT_EQ(pw.aussnorh_data.uebrtrgmss[256], db.aussnorh_data.uebrtrgmss[256]);

  // Power mode divides the even entries below n by the factors.
  std::vector<float> spec(514, 4.0f);
  vx::ApplyAussenOhrUebrtrgmss(spec.data(), 512, 2, pw);
  for (int k = 0; k < 256; ++k) {
    EXPECT_FLOAT_EQ(spec[2 * k], 4.0f / pw.aussnorh_data.uebrtrgmss[k]);
    EXPECT_EQ(spec[2 * k + 1], 4.0f);
  }
  EXPECT_EQ(spec[512], 4.0f);

  // At 48 kHz 13500 Hz lands on the last bin.
  generalstruct g48;
  vx::InitAussenOhrUebrtrgmss(48000, 512, 3, g48);
  EXPECT_NEAR(g48.aussnorh_data.uebrtrgmss[256], 23.5f, 1e-5);

  generalstruct m4;
  vx::InitAussenOhrUebrtrgmss(44100, 512, 4, m4);
  EXPECT_EQ(m4.aussnorh_data.mode, 4);
  EXPECT_EQ(m4.aussnorh_data.uebrtrgmss, db.aussnorh_data.uebrtrgmss);
  std::vector<float> same(514, 3.0f);
  vx::ApplyAussenOhrUebrtrgmss(same.data(), 512, 2, m4);
  EXPECT_EQ(same, std::vector<float>(514, 3.0f));
}

TEST(Hoerschw, ThresholdForDetectorLayout) {
  const double want[] = {80,   42,  29.06, 22.41, 19.0, 13.88, 12.0, 10.31, 9.45,
                         9.0,  7.54, 7.0,  6.44,  6.15, 6.0,   5.44, 5.15,  5.0,
                         4.27, 4.0, 4.0,   4.0,   4.0,  4.0,   4.0,  4.0};
  generalstruct gs;
  vx::inithoerschw(44100, 16, 22050, 25, 94, gs);
  const auto& h = gs.hoerschw_data;
  EXPECT_EQ(h.initialised, 1);
  ASSERT_EQ(h.hoerschw.size(), 26u);
  for (int k = 0; k <= 25; ++k) EXPECT_NEAR(h.hoerschw[k], want[k], 0.006) << "band " << k;
  EXPECT_FLOAT_EQ(h.mithoerschw[0], -14.0f);
  EXPECT_FLOAT_EQ(h.mithoerschw[25], -90.0f);

  // Up to 24000 Hz all break points count and 1370 Hz lands on the last band.
  generalstruct wide;
  vx::inithoerschw(48000, 16, 24000, 25, 94, wide);
  EXPECT_NEAR(wide.hoerschw_data.hoerschw[25], 4.0, 1e-5);
  EXPECT_NEAR(wide.hoerschw_data.freq[11], 25.0, 1e-4);

  // Too narrow a layout draws nothing: zeros, not initialised.
  generalstruct narrow;
  vx::inithoerschw(8000, 16, 200, 25, 94, narrow);
  EXPECT_EQ(narrow.hoerschw_data.initialised, 0);
  EXPECT_EQ(narrow.hoerschw_data.hoerschw, std::vector<float>(26, 0.0f));
}

TEST(SpezLautheitFFTLength, PowerOfTwoAtCommonRates) {
  struct Case {
    float rate, fHigh;
    int32_t want;
  } cases[] = {{44100, 22050, 512}, {48000, 24000, 512}, {96000, 24000, 1024},
               {22050, 11025, 256}, {8000, 4000, 128}};
  for (const Case& c : cases) {
    generalstruct gs;
    int32_t len = -1;
    vx::SpezLautheitFFTLength(c.rate, 25, 16, c.fHigh, len, gs);
    EXPECT_EQ(len, c.want) << c.rate;
  }
}

TEST(AnalysisWindow, ValuesSymmetryAndScale) {
  EXPECT_NEAR(vx::BesselI0(6.2831855f), 87.10852, 1e-4);
  // Independent series in long double.
  for (float x : {0.5f, 3.0f, 10.0f}) {
    long double s = 0, term = 1;
    for (int i = 1; i < 60; ++i) {
      s += term * term;
      term *= (x / 2.0L) / i;
    }
    EXPECT_NEAR(vx::BesselI0(x), static_cast<double>(s), 1e-6 * static_cast<double>(s)) << x;
  }

  auto window = [](int32_t n) {
    generalstruct gs;
    std::vector<float> in(n, 1.0f), out(n + 2);
    vx::WinFFTBetragPhase(in.data(), out.data(), n, 0, 0, gs);
    return gs.WinFFTBetragPhase_data.anaWin;
  };
  const std::vector<float> w8 = window(8);
  const float want8[] = {0, 0.162033f, 0.494558f, 0.686818f, 0.494558f, 0.162033f, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(w8[i], want8[i], 2e-6) << i;
  EXPECT_EQ(window(4), (std::vector<float>{0, 2, 0, 0}));

  const std::vector<float> w = window(512);
  EXPECT_NEAR(w[255], 0.0080168, 1e-7);
  EXPECT_NEAR(w[1], 9.928e-05, 1e-8);
  EXPECT_NEAR(w[509], 9.928e-05, 1e-8);
  EXPECT_EQ(w[0], 0.0f);
  EXPECT_EQ(w[510], 0.0f);
  EXPECT_EQ(w[511], 0.0f);
  for (int d = 1; d <= 254; ++d) EXPECT_EQ(w[255 - d], w[255 + d]) << d;
  EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 2.0, 1e-5);
}

TEST(WinFFTBetragPhase, PowerMagnitudePhaseAndFixedWindow) {
  const int32_t n = 512;
  std::vector<float> sine(n), out(n + 2);
  for (int j = 0; j < n; ++j) sine[j] = static_cast<float>(std::sin(2 * M_PI * 64 * j / n));
  generalstruct gs;
  vx::WinFFTBetragPhase(sine.data(), out.data(), n, 0, 0, gs);
  EXPECT_NEAR(out[128], 1.0, 1e-3);
  EXPECT_EQ(out[1], 0.0f);
  EXPECT_EQ(out[n + 1], 0.0f);
  vx::WinFFTBetragPhase(sine.data(), out.data(), n, 1, 0, gs);
  EXPECT_NEAR(out[128], 1.0, 1e-3);

  // Phase: atan2 of the transform, and 0 where the power is exactly 0.
  vx::WinFFTBetragPhase(sine.data(), out.data(), n, 0, 1, gs);
  EXPECT_NEAR(std::fabs(out[129]), M_PI / 2, 0.05);
  std::vector<float> zero(n, 0.0f);
  vx::WinFFTBetragPhase(zero.data(), out.data(), n, 0, 1, gs);
  EXPECT_EQ(out, std::vector<float>(n + 2, 0.0f));

  // Later calls keep the window of the first length.
  generalstruct first;
  std::vector<float> ones(n, 1.0f), o(n + 2);
  vx::WinFFTBetragPhase(ones.data(), o.data(), n, 0, 0, first);
  vx::WinFFTBetragPhase(ones.data(), o.data(), 8, 0, 1, first);
  const auto& w = first.WinFFTBetragPhase_data.anaWin;
  ASSERT_EQ(w.size(), 512u);
  const double dc = std::accumulate(w.begin(), w.begin() + 8, 0.0);
  EXPECT_NEAR(o[0], dc * dc, 1e-9);
}

using LoudnessSetupDeathTest = ::testing::Test;

TEST_F(LoudnessSetupDeathTest, FatalPathsExitWithTheirMessage) {
  EXPECT_EXIT(vx::FatalError("some message", 1), ::testing::ExitedWithCode(1), "^some message\n$");
  for (int mode : {0, -1}) {
    EXPECT_EXIT(
        {
          generalstruct gs;
          vx::InitAussenOhrUebrtrgmss(44100, 512, mode, gs);
        },
        ::testing::ExitedWithCode(1), "^generalstruct.aussnorh_data.uebrtrgmss: wrong mode\n$");
  }
  EXPECT_EXIT(
      {
        generalstruct gs;
        std::vector<float> s(514);
        vx::ApplyAussenOhrUebrtrgmss(s.data(), 512, 2, gs);
      },
      ::testing::ExitedWithCode(1), "^use InitAussenOhrUebrtrgmss first\n$");
  for (int32_t n : {0, 3, 1 << 20}) {
    EXPECT_EXIT(
        {
          generalstruct gs;
          std::vector<float> in(8);
          std::vector<float> out(10);
          vx::WinFFTBetragPhase(in.data(), out.data(), n, 0, 0, gs);
        },
        ::testing::ExitedWithCode(1), "^fast: N is not an allowable power of two\n$");
  }
}

}  // namespace
