#include <gtest/gtest.h>

#include <cmath>

#include "MarkData.h"
#include "SoundFixture.h"

namespace {

constexpr float kRate = 44100.0f;
using Spans = std::vector<std::pair<int32_t, int32_t>>;

// A raw mark as the detector leaves it: running sums, not yet finalised.
MarkData Raw(int32_t start, int32_t end, std::vector<float> loudness, float noise = 0.0f) {
  MarkData m;
  m.area = {start, end};
  for (float l : loudness) {
    ++m.nbFrames;
    m.loudMean += l;
    m.loudStdErr += l * l;
  }
  m.noiseLoudMean = noise;
  return m;
}

Spans SpansOf(const std::vector<MarkData>& marks) {
  Spans out;
  for (const auto& m : marks) out.emplace_back(m.area.start, m.area.end);
  return out;
}

}  // namespace

// The spread of several frames is checked where ProcessMarks finalises a mark.
TEST(MarkData, SpreadIsZeroForOneFrameAndForConstantLoudness) {
  EXPECT_EQ(Raw(0, 1, {7.5f}).RunningSpread(), 0.0);
  // Constant loudness whose squares do not round-trip must not give NaN.
  EXPECT_EQ(Raw(0, 1, {0.1f, 0.1f, 0.1f}).RunningSpread(), 0.0);
}

TEST(ProcessMarks, ShortSoundJoinsBothNeighboursKeepingFirstNoiseWeight) {
  std::vector<MarkData> sounds{Raw(1000, 1100, {4.0f})};
  std::vector<MarkData> silences{Raw(0, 1000, {0.1f, 0.2f, 0.3f}, 0.9f),
                                 Raw(1100, 5000, {0.4f, 0.5f}, 0.7f)};
  ASSERT_EQ(ProcessMarks(sounds, silences, kRate, 0.01f, 0.0f, 0), 0);
  ASSERT_EQ(SpansOf(silences), (Spans{{0, 5000}}));
  const MarkData& m = silences[0];
  EXPECT_EQ(m.nbFrames, 6);
  EXPECT_FLOAT_EQ(m.noiseLoudMean, 0.9f);
  // Over all six frames: sum 5.5, square sum 16.55; the spread is the
  // population deviation.
  EXPECT_NEAR(m.loudMean, 5.5 / 6, 1e-5);
  EXPECT_NEAR(m.loudStdErr, std::sqrt(16.55 / 6 - (5.5 / 6) * (5.5 / 6)), 1e-4);
}

TEST(ProcessMarks, RunOfBlipsCollapsesAndIsJudgedOnItsGrownSpan) {
  std::vector<MarkData> sounds{Raw(100, 200, {3}), Raw(300, 400, {3}), Raw(500, 44100, {3, 3})};
  std::vector<MarkData> silences{Raw(0, 100, {0}), Raw(200, 300, {0}), Raw(400, 500, {0}),
                                 Raw(44100, 50000, {0})};
  // Each 100-frame silence alone is shorter than 5 ms; joined they are not.
  ASSERT_EQ(ProcessMarks(sounds, silences, kRate, 0.01f, 0.005f, 0), 0);
  EXPECT_EQ(SpansOf(silences), (Spans{{0, 500}, {44100, 50000}}));
  EXPECT_EQ(silences[0].nbFrames, 5);
}

TEST(ProcessMarks, LimitsAreStrictAndEdgesOfTheStreamJoinTheirSilence) {
  auto run = [](std::vector<MarkData> sounds, std::vector<MarkData> silences, float minSound,
                float minSilence) {
    EXPECT_EQ(ProcessMarks(sounds, silences, kRate, minSound, minSilence, 0), 0);
    return SpansOf(silences);
  };
  // Sound 0..4410 and silence 4410..8820 last exactly 0.1 s each; a short
  // first sound at frame 0 belongs to the silence after it.
  EXPECT_EQ(run({Raw(0, 4410, {5})}, {Raw(4410, 8820, {0})}, 0.1f, 0.1f), (Spans{{4410, 8820}}));
  EXPECT_EQ(run({Raw(0, 4410, {5})}, {Raw(4410, 8820, {0})}, 0.1001f, 0.1f), (Spans{{0, 8820}}));
  EXPECT_EQ(run({Raw(0, 4410, {5})}, {Raw(4410, 8820, {0})}, 0.1f, 0.1001f), Spans{});
  // A short sound after the last silence extends it to the end of the stream.
  EXPECT_EQ(run({Raw(1000, 1100, {5})}, {Raw(0, 1000, {0})}, 0.01f, 0), (Spans{{0, 1100}}));
  // The whole stream one short sound: nothing to extend, no silence made up.
  EXPECT_EQ(run({Raw(0, 100, {5})}, {}, 0.01f, 0), Spans{});
}

TEST(ProcessMarks, ShortSoundWithoutSilenceBeforeItIsAnInconsistency) {
  vxtest::DiagCapture cap;
  std::vector<MarkData> silences{Raw(0, 400, {0})};
  EXPECT_EQ(ProcessMarks({Raw(500, 600, {5})}, silences, kRate, 0.01f, 0.0f, 0), 1);
  EXPECT_EQ(cap.Lines(), (vxtest::DiagLines{
                             vxtest::Err("SilenceDetector: Error with silence/sound parts"),
                             vxtest::Err("Searching soundData[0].area.start : 500 in "
                                         "oSilenceData.area and cannot find it")}));
}

TEST(ProcessMarks, TablesPrintOnlyWhenVerbose) {
  using vxtest::Out;
  for (int verbose : {1, 0}) {
    vxtest::DiagCapture cap;
    std::vector<MarkData> silences{Raw(0, 220, {1}, 0.5f), Raw(440, 700, {0}, 1.0f)};
    ASSERT_EQ(ProcessMarks({Raw(220, 440, {6, 8})}, silences, kRate, 0.0f, 0.0055f, verbose), 0);
    EXPECT_EQ(SpansOf(silences), (Spans{{440, 700}}));
    EXPECT_EQ(cap.Lines(), (verbose ? vxtest::DiagLines{
        Out("============\n=========="),
        Out("Sound Marks\tnbFrames\tloudness mean\tloudness standart error \tnoise loud mean : "),
        Out("220\t440\t2\t\t7\t\t1\t\t0"),
        Out("Silence Marks\tnbFrames\tloudness mean\tloudness standart error \tnoise loud mean : "),
        Out("0\t220\t1\t\t1\t\t0\t\t0.5"), Out("440\t700\t1\t\t0\t\t0\t\t1"),
        Out("Final Silence Marks : "),
        Out("Silence Marks, loudness mean, loudness standart error, noise loud mean : "),
        Out("440\t700\t0\t0\t1")} : vxtest::DiagLines{}));
  }
}
