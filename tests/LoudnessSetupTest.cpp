// Set-up of the loudness model and its windowed spectrum: Bark scale, table
// drawing, outer-ear transfer, thresholds, FFT length and analysis window.
#include "WinFFTBetragPhase.h"
#include "generalstruct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

namespace {

using vx::generalstruct;
using HzPairs = std::initializer_list<std::pair<float, float>>;

TEST(Barkscale, TableLookupsEdgesAndFFTLength) {
  generalstruct gs;
  for (auto [hz, bark] : HzPairs{{100, 0.98673f}, {1000, 8.51053f}, {16000, 24.09445f},
                                 {22050, 24.74018f}, {24000, 24.86542f}, {0, 0}})
    EXPECT_NEAR(vx::HzToBark(hz, gs), bark, 1e-5) << hz;
  EXPECT_EQ(vx::HzToBark(999.9f, gs), vx::HzToBark(999, gs));
  for (auto [z, hz] : HzPairs{{0.5f, 50}, {1, 102}, {10, 1254}, {24, 15429}})
    EXPECT_EQ(vx::BarkToHz(z, gs), hz) << z;
  for (auto [f, lo] : HzPairs{{16, 0}, {50, 0}, {51, 1}, {1000, 924}, {22050, 16993}})
    EXPECT_EQ(vx::BarkLowerEdge(f, gs), lo) << f;
  for (auto [f, hi] : HzPairs{{16, 66}, {1000, 1080}, {17979, 24000}, {22050, 24000}})
    EXPECT_EQ(vx::BarkUpperEdge(f, gs), hi) << f;
  EXPECT_LT(vx::BarkUpperEdge(17978, gs), 24000.0f);

  // The FFT length: a power of two at least rate / (second centre - first).
  for (auto [rate, len] : HzPairs{{44100, 512}, {48000, 512}, {96000, 1024}, {8000, 128}}) {
    int32_t got = -1;
    vx::SpezLautheitFFTLength(rate, 25, 16, std::min(rate / 2, 24000.0f), got, gs);
    EXPECT_EQ(got, len) << rate;
  }
}

TEST(InterpolSegment, StraightCurvedAndDegenerate) {
  std::vector<float> out(4, -1.0f);
  vx::InterpolSegment(0, 0, 10, 3, out.data());
  EXPECT_EQ(out, (std::vector<float>{0, 5, 10, -1}));
  vx::InterpolSegment(7, -2, 3, 1, out.data());
  vx::InterpolSegment(9, 0, 9, 0, out.data());
  EXPECT_EQ(out, (std::vector<float>{7, 5, 10, -1}));
  // Negative curvature: most of the change happens near the start.
  std::vector<float> c(11);
  vx::InterpolSegment(80, -2, 42, 11, c.data());
  EXPECT_NEAR(c[5], 80 - 38 * (1 - std::exp(-1.0)) / (1 - std::exp(-2.0)), 1e-4);
  EXPECT_NEAR(c[10], 42.0f, 1e-5);
}

TEST(AussenOhrAndHoerschw, CurvesAt44100AndModes) {
  const float every16[] = {0.0f,   2.333f, 1.475f, -2.786f, -5.59f, -6.95f, -6.667f, -4.758f, -2.45f,
                           -0.12f, 1.907f, 3.8f,   5.4f,    6.976f, 8.184f, 9.392f, 10.6f};
  generalstruct db, pw;
  vx::InitAussenOhrUebrtrgmss(44100, 512, 3, db);
  vx::InitAussenOhrUebrtrgmss(44100, 512, 2, pw);
  const std::vector<float>&d = db.aussnorh_data.uebrtrgmss, &p = pw.aussnorh_data.uebrtrgmss;
  ASSERT_EQ(d.size(), 257u);
  for (int i = 0; i <= 16; ++i) EXPECT_NEAR(d[16 * i], every16[i], 2e-3) << 16 * i;
  for (int k = 0; k < 256; ++k) EXPECT_NEAR(p[k] / std::pow(10.0, d[k] / 10), 1.0, 1e-5) << k;
  EXPECT_EQ(p[256], d[256]);  // the Nyquist entry stays in dB
  generalstruct g48;  // all break points admitted: 13500 Hz on the last bin
  vx::InitAussenOhrUebrtrgmss(48000, 512, 3, g48);
  EXPECT_NEAR(g48.aussnorh_data.uebrtrgmss[256], 23.5f, 1e-5);

  // The threshold in quiet on the detector's 25 bands.
  const double want[] = {80,  42, 29.06, 22.41, 19.0, 13.88, 12.0, 10.31, 9.45, 9.0, 7.54, 7.0, 6.44,
                         6.15, 6.0, 5.44, 5.15, 5.0,  4.27,  4.0,  4.0,   4.0,  4.0, 4.0,  4.0, 4.0};
  generalstruct gs, narrow;
  vx::inithoerschw(44100, 16, 22050, 25, 94, gs);
  const auto& h = gs.hoerschw_data;
  ASSERT_EQ(h.hoerschw.size(), 26u);
  EXPECT_EQ(h.initialised, 1);
  for (int k = 0; k <= 25; ++k) EXPECT_NEAR(h.hoerschw[k], want[k], 0.006) << k;
  // Too narrow a layout draws nothing: zeros, not initialised.
  vx::inithoerschw(8000, 16, 200, 25, 94, narrow);
  EXPECT_EQ(narrow.hoerschw_data.initialised, 0);
  EXPECT_EQ(narrow.hoerschw_data.hoerschw, std::vector<float>(26, 0.0f));
}

std::vector<float> Window(int32_t n) {
  generalstruct gs;
  std::vector<float> in(n, 1.0f), out(n + 2);
  vx::WinFFTBetragPhase(in.data(), out.data(), n, 0, 0, gs);
  return gs.WinFFTBetragPhase_data.anaWin;
}

TEST(AnalysisWindow, BesselValuesSymmetryAndScale) {
  for (float x : {0.5f, 3.0f, 6.2831855f, 10.0f}) {  // the series in long double
    long double s = 0, term = 1;
    for (int i = 1; i < 60; ++i, term *= (x / 2.0L) / (i - 1)) s += term * term;
    EXPECT_NEAR(vx::BesselI0(x) / static_cast<double>(s), 1.0, 1e-6) << x;
  }
  const std::vector<float> w8 = Window(8);
  const float want8[] = {0, 0.162033f, 0.494558f, 0.686818f, 0.494558f, 0.162033f, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(w8[i], want8[i], 2e-6) << i;
  EXPECT_EQ(Window(4), (std::vector<float>{0, 2, 0, 0}));
  const std::vector<float> w = Window(512);
  EXPECT_NEAR(w[255], 0.0080168, 1e-7);
  EXPECT_TRUE(w[0] == 0 && w[510] == 0 && w[511] == 0);
  for (int d = 1; d <= 254; ++d) ASSERT_EQ(w[255 - d], w[255 + d]) << d;
  EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 2.0, 1e-5);
}

TEST(WinFFTBetragPhase, PowerMagnitudePhaseAndFixedWindow) {
  // A bin-centred sine of amplitude a shows a^2 as power and a as magnitude.
  const int32_t n = 512;
  std::vector<float> sine(n), out(n + 2), zero(n, 0.0f), ones(n, 1.0f);
  for (int j = 0; j < n; ++j) sine[j] = static_cast<float>(0.5 * std::sin(2 * M_PI * 64 * j / n));
  generalstruct gs;
  for (int mag : {0, 1}) {
    vx::WinFFTBetragPhase(sine.data(), out.data(), n, mag, 0, gs);
    EXPECT_NEAR(out[128], mag ? 0.5 : 0.25, 1e-3) << mag;
    EXPECT_TRUE(out[1] == 0 && out[n + 1] == 0);
  }
  vx::WinFFTBetragPhase(sine.data(), out.data(), n, 0, 1, gs);
  EXPECT_NEAR(std::fabs(out[129]), M_PI / 2, 0.05);
  vx::WinFFTBetragPhase(zero.data(), out.data(), n, 0, 1, gs);
  EXPECT_EQ(out, std::vector<float>(n + 2, 0.0f));
  // A later call with another length keeps the first window.
  vx::WinFFTBetragPhase(ones.data(), out.data(), 8, 0, 1, gs);
  const auto& w = gs.WinFFTBetragPhase_data.anaWin;
  const double dc = std::accumulate(w.begin(), w.begin() + 8, 0.0);
  EXPECT_NEAR(out[0], dc * dc, 1e-9);
}

TEST(LoudnessSetupDeathTest, FatalPathsExitWithTheirMessage) {
  for (int mode : {0, -1}) {
    EXPECT_EXIT({ generalstruct gs; vx::InitAussenOhrUebrtrgmss(44100, 512, mode, gs); },
                ::testing::ExitedWithCode(1), "^generalstruct.aussnorh_data.uebrtrgmss: wrong mode\n$");
  }
  std::vector<float> s(1 << 10);
  EXPECT_EXIT({ generalstruct gs; vx::ApplyAussenOhrUebrtrgmss(s.data(), 512, 2, gs); },
              ::testing::ExitedWithCode(1), "^use InitAussenOhrUebrtrgmss first\n$");
  for (int32_t n : {0, 3, 1 << 20}) {
    EXPECT_EXIT({ generalstruct gs; vx::WinFFTBetragPhase(s.data(), s.data(), n, 0, 0, gs); },
                ::testing::ExitedWithCode(1), "^fast: N is not an allowable power of two\n$");
  }
}

}  // namespace
