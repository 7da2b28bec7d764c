// Automatic thresholds on whole files with digitally silent pauses, at every
// common rate: the model puts digital silence a hair on either side of zero
// depending on the rate, and the pauses must count as silence either way.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "AutoThresholds.h"
#include "SilenceDetector.h"
#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

struct Span {
  double start, end;  // seconds
};

// Words of loud noise with a soft middle stretch (30 dB down, long enough to
// be a silence if the thresholds went above it) between exact-zero pauses.
// The soft parts are over a quarter of the sound, so without the pauses in the
// distribution the floor percentile would land on them.
struct PausedWords {
  std::vector<float> samples;
  std::vector<Span> pauses;
};

constexpr double kLoud = 0.1, kSoft = 0.003;

PausedWords MakePausedWords(int rate, int channels) {
  // (seconds, amplitude); 0 is a pause.
  const std::pair<double, double> parts[] = {
      {0.5, 0}, {0.25, kLoud}, {0.3, kSoft}, {0.25, kLoud}, {0.4, 0},  {0.2, kLoud}, {0.35, kSoft},
      {0.3, kLoud}, {0.8, 0},  {0.4, kLoud},  {0.25, kSoft}, {0.2, kLoud}, {0.5, 0}};
  PausedWords w;
  double t = 0;
  uint32_t seed = 1;
  for (auto [seconds, amp] : parts) {
    const int64_t n = int64_t(seconds * rate + 0.5);
    if (amp == 0) {
      w.samples.insert(w.samples.end(), size_t(n * channels), 0.0f);
      w.pauses.push_back({t, t + double(n) / rate});
    } else {
      auto noise = vxtest::Noise(n, channels, seed++, amp);
      w.samples.insert(w.samples.end(), noise.begin(), noise.end());
    }
    t += double(n) / rate;
  }
  return w;
}

// Each pause found once and nothing else: a detected silence lies inside its
// pause (its start lags the end of the sound while the masking of the loud
// noise decays) and covers most of it.
void ExpectThePauses(const std::vector<Span>& found, const std::vector<Span>& pauses) {
  ASSERT_EQ(found.size(), pauses.size()) << "a silence inside the sound, or a pause missed";
  for (size_t i = 0; i < found.size(); ++i) {
    SCOPED_TRACE(i);
    const Span& p = pauses[i];
    EXPECT_GE(found[i].start, p.start - 0.01);
    EXPECT_LE(found[i].end, p.end + 0.01);
    EXPECT_GT(found[i].end - found[i].start, 0.5 * (p.end - p.start));
  }
}

TEST(AutoThresholds, DigitalSilenceOnEitherSideOfZeroIsSilence) {
  // 30 % silence, the rest sound: the same thresholds whichever rounding
  // the silence got, while clearly negative values stay invalid.
  auto with = [](float quiet) {
    std::vector<float> v;
    for (int i = 0; i < 1000; ++i) v.push_back(i % 10 < 3 ? quiet : 10.0f + float(i % 7));
    return ChooseThresholds(v);
  };
  const AutoThresholds zero = with(0.0f);
  for (float quiet : {8.6e-9f, -1.08e-9f, -2.4e-5f}) {
    SCOPED_TRACE(quiet);
    EXPECT_FLOAT_EQ(with(quiet).silenceLoudness, zero.silenceLoudness);
    EXPECT_FLOAT_EQ(with(quiet).modulationLoudness, zero.modulationLoudness);
  }
  const AutoThresholds invalid = with(std::numeric_limits<float>::quiet_NaN());
  EXPECT_FLOAT_EQ(with(-1e-3f).silenceLoudness, invalid.silenceLoudness);
  EXPECT_NE(invalid.silenceLoudness, zero.silenceLoudness);
}

TEST(AutoThresholds, FindExactlyTheDigitalPausesAtEveryRate) {
  vxtest::TempDir dir;
  for (int rate : {44100, 48000, 96000}) {
    SCOPED_TRACE(rate);
    const PausedWords w = MakePausedWords(rate, 1);
    const auto wav = vxtest::WriteSound(dir.File(std::to_string(rate) + ".wav"), w.samples, 1,
                                        rate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::vector<float> loudness;
    FrameLayout layout;
    ASSERT_EQ(ComputeFrameLoudness(wav, 0, int32_t(w.samples.size()), loudness, layout), 0);
    const AutoThresholds t = ChooseThresholds(loudness);
    std::vector<MarkData> marks;
    ASSERT_EQ(ClassifyFrames(loudness, t.silenceLoudness, t.modulationLoudness,
                             kDefaultMinSilence, kDefaultMinSound, 0, marks, layout),
              0);
    std::vector<Span> found;
    for (const MarkData& m : marks)
      found.push_back({double(m.area.start) / rate, double(m.area.end) / rate});
    ExpectThePauses(found, w.pauses);
  }
}

TEST(AutoThresholds, SilenceCommandFindsThePausesOfA48kStereo24BitFile) {
  vxtest::TempDir dir;
  const PausedWords w = MakePausedWords(48000, 2);
  const auto wav = vxtest::WriteSound(dir.File("w.wav"), w.samples, 2, 48000,
                                      SF_FORMAT_WAV | SF_FORMAT_PCM_24);
  const vxtest::VxOutcome r =
      vxtest::RunVx("VX silence " + wav + " --format labels", dir.Path());
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Span> found;
  for (const std::string& line : vxtest::Lines(r.out)) {
    Span s{};
    char text[16] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf\t%lf\t%15s", &s.start, &s.end, text), 3) << line;
    EXPECT_STREQ(text, "silence");
    found.push_back(s);
  }
  ExpectThePauses(found, w.pauses);
}

}  // namespace
