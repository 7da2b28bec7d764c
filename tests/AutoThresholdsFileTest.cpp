// Automatic thresholds on whole files with digitally silent pauses, at every
// common rate: the model puts digital silence a hair on either side of zero
// depending on the rate, and the pauses must count as silence either way (the
// rule itself on such values is in SilenceCorpusTest).
#include <gtest/gtest.h>
#include <sndfile.h>

#include <nlohmann/json.hpp>
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

PausedWords MakePausedWords(int rate, int channels) {
  constexpr double kLoud = 0.1, kSoft = 0.003;
  // (seconds, amplitude); 0 is a pause.
  const std::pair<double, double> parts[] = {
      {0.5, 0}, {0.25, kLoud}, {0.3, kSoft}, {0.25, kLoud}, {0.4, 0},  {0.2, kLoud}, {0.35, kSoft},
      {0.3, kLoud}, {0.8, 0},  {0.4, kLoud},  {0.25, kSoft}, {0.2, kLoud}, {0.5, 0}};
  PausedWords w;
  double t = 0;
  uint32_t seed = 1;
  for (auto [seconds, amp] : parts) {
    const int64_t n = int64_t(seconds * rate + 0.5);
    if (amp == 0) w.pauses.push_back({t, t + double(n) / rate});
    const auto part = amp == 0 ? std::vector<float>(size_t(n * channels), 0.0f)
                               : vxtest::Noise(n, channels, seed++, amp);
    w.samples.insert(w.samples.end(), part.begin(), part.end());
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

// Through the model's own arithmetic; and the 48 kHz stereo 24-bit file also
// as the command line, with its fast arithmetic, analyses it.
TEST(AutoThresholds, FindExactlyTheDigitalPausesAtEveryRate) {
  vxtest::TempDir dir;
  for (int rate : {44100, 48000, 96000}) {
    SCOPED_TRACE(rate);
    const int ch = rate == 48000 ? 2 : 1;
    const PausedWords w = MakePausedWords(rate, ch);
    const int format = SF_FORMAT_WAV | (ch == 2 ? SF_FORMAT_PCM_24 : SF_FORMAT_FLOAT);
    const auto wav =
        vxtest::WriteSound(dir.File(std::to_string(rate) + ".wav"), w.samples, ch, rate, format);
    std::vector<float> loudness;
    FrameLayout layout;
    ASSERT_EQ(ComputeFrameLoudness(wav, 0, int32_t(w.samples.size() / ch), loudness, layout), 0);
    const AutoThresholds t = ChooseThresholds(loudness);
    std::vector<MarkData> marks;
    ASSERT_EQ(ClassifyFrames(loudness, t.silenceLoudness, t.modulationLoudness,
                             kDefaultMinSilence, kDefaultMinSound, 0, marks, layout),
              0);
    std::vector<Span> found;
    for (const MarkData& m : marks)
      found.push_back({double(m.area.start) / rate, double(m.area.end) / rate});
    ExpectThePauses(found, w.pauses);
    if (ch == 1) continue;
    const vxtest::VxOutcome r = vxtest::RunVx("VX silence --format json " + wav, dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    found.clear();
    for (const auto& s : j["silences_s"]) found.push_back({s[0], s[1]});
    ExpectThePauses(found, w.pauses);
  }
}

}  // namespace
