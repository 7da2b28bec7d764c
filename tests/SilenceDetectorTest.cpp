#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "AudioSegment.h"
#include "AutoThresholds.h"
#include "SilenceDetector.h"
#include "SoundFixture.h"
#include "SpezLautheit.h"

namespace {

using Spans = std::vector<std::pair<int32_t, int32_t>>;
using vxtest::Err;
using vxtest::Out;

Spans SpansOf(const std::vector<MarkData>& marks) {
  Spans out;
  for (const auto& m : marks) out.emplace_back(m.area.start, m.area.end);
  return out;
}

// 44.1 kHz layout: N = 512, H = 220. Frame k < last ends 256 + 220 k frames
// into the stream; the last one ends at `framesRead`.
Spans Classify(const std::vector<float>& loudness, float sil, float mod, int32_t framesRead,
               int32_t verbose = 0) {
  std::vector<MarkData> marks;
  EXPECT_EQ(ClassifyFrames(loudness, sil, mod, 0.0f, 0.0f, verbose, marks, 512, 220, 44100,
                           framesRead),
            0);
  return SpansOf(marks);
}
int32_t FullEnd(size_t frames) { return 256 + 220 * int32_t(frames - 1); }

// Silence, a 1 kHz burst, silence: stereo, float samples.
std::vector<float> Burst(int64_t frames, int64_t from, int64_t to, double amp = 0.5) {
  std::vector<float> v(size_t(frames * 2), 0.0f);
  for (int64_t i = from; i < to; ++i) {
    float s = float(amp * std::sin(2 * M_PI * 1000.0 * double(i) / 44100));
    v[size_t(2 * i)] = s;
    v[size_t(2 * i + 1)] = 0.5f * s;
  }
  return v;
}

}  // namespace

TEST(ClassifyFrames, HysteresisSharesBoundariesAndEndsAtTheLastFrameRead) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Quiet, loud, quiet: boundaries at the centres of the frames that cross.
  EXPECT_EQ(Classify({0, 0, 5, 5, 0, 0, 0}, 1, 2, FullEnd(7)), (Spans{{0, 440}, {880, 1575}}));
  // Loud from the first frame: no silence at 0.
  EXPECT_EQ(Classify({5, 5, 0, 0}, 1, 2, 1000), (Spans{{440, 999}}));
  // Between the thresholds the state holds, in either state.
  EXPECT_EQ(Classify({0, 1.5, 3, 1.5, 1.5, 0.5, 1.5, 0}, 1, 2, FullEnd(8)),
            (Spans{{0, 440}, {1100, 1795}}));
  // Modulation below silence: a value between them toggles at every frame,
  // and the last frame, quiet, is a one-frame silence of its own.
  EXPECT_EQ(Classify({0, 1.5, 1.5, 1.5, 0}, 2, 1, FullEnd(5)),
            (Spans{{0, 220}, {440, 660}, {880, 1135}}));
  // A loud last frame ends the silence at its centre and is not silence.
  EXPECT_EQ(Classify({0, 0, 5}, 1, 2, 600), (Spans{{0, 344}}));
  // Modulation 0 means twice the silence loudness: 2.5 stays below 3.
  EXPECT_EQ(Classify({0, 2.5, 0}, 1.5, 0, FullEnd(3)), (Spans{{0, 695}}));
  // NaN loudness keeps the state; zero thresholds give NaN weights, no stop.
  EXPECT_EQ(Classify({0, nan, 0, nan}, 1, 2, FullEnd(4)), (Spans{{0, 915}}));
  EXPECT_EQ(Classify({0, 0, 0}, 0, 0, FullEnd(3)), (Spans{{0, 695}}));
}

TEST(ClassifyFrames, ReportsEveryClosedMarkAndTheParameters) {
  vxtest::DiagCapture cap;
  Classify({0, 0, 5}, 1.5, 0, FullEnd(3), 1);
  std::vector<std::string> out = cap.Out();
  ASSERT_GE(out.size(), 27u);
  EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 27),
            (std::vector<std::string>{
                "Analysis parameters:", "\tSilence loudness 1.5 sone",
                "\tModulation loudness 3 sone", "\tMinimal silence duration 0 sec",
                "\tMinimal sound duration 0 sec",
                // the loud last frame closes the silence ...
                "===============", "current loudness : 5", "silence : 0", "time : 0.00997732",
                "silenceSmpBegin : 0", "silenceSmpEnd : 440", "nbFrames : 2", "loudMean : 0",
                "tmpPow : 0", "loudStdErr : 0", "noiseLoudMean : 1",
                // ... and is a one-frame sound up to the last frame read
                "===============", "current loudness : 5", "silence : 0", "time : 0.00997732",
                "silenceSmpBegin : 440", "silenceSmpEnd : 695", "nbFrames : 1", "loudMean : 5",
                "tmpPow : 25", "loudStdErr : 0", "============\n=========="}));
  EXPECT_TRUE(cap.Err().empty());

  // A quiet last frame after a sound is a one-frame silence of its own,
  // reported with the long rule and the state it leaves: silence.
  cap.Clear();
  Classify({0, 5, 0}, 1, 2, FullEnd(3), 1);
  out = cap.Out();
  auto rule = std::find(out.begin(), out.end(), "==================");
  ASSERT_NE(rule, out.end());
  ASSERT_GE(out.end() - rule, 7);
  EXPECT_EQ(std::vector<std::string>(rule + 1, rule + 7),
            (std::vector<std::string>{"current loudness : 0", "silence : 1", "time : 0.00997732",
                                      "silenceSmpBegin : 440", "silenceSmpEnd : 695",
                                      "nbFrames : 1"}));
  EXPECT_EQ(std::count(out.begin(), out.end(), "=================="), 1);
}

class SilenceDetectorFile : public ::testing::Test {
 protected:
  vxtest::TempDir dir;
  std::string Write(const std::string& name, const std::vector<float>& v, int ch, int rate = 44100,
                    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT) {
    return vxtest::WriteSound(dir.File(name), v, ch, rate, format);
  }
};

TEST_F(SilenceDetectorFile, SetUpChecksRefuseWhatCannotBeAnalysed) {
  vxtest::DiagCapture cap;
  std::vector<MarkData> marks;
  auto last = [&] { auto e = cap.Err(); return e.empty() ? std::string() : e.back(); };

  std::vector<MarkPair> pairs{{1, 2}};
  EXPECT_EQ(AudioSegment::SilenceDetect("", pairs, 1, 2, 0.1f, 0.05f, 1), -1);
  EXPECT_TRUE(pairs.empty());
  EXPECT_EQ(cap.Lines(), (vxtest::DiagLines{
                             Err("SilenceDetector: Error: Not able to open current file "),
                             Err("AudioSegment::SilenceDetect: ERROR: internal failure")}));

  auto ok = Write("ok.wav", Burst(44100, 0, 0), 2);
  EXPECT_EQ(SilenceDetector(ok, marks, -1, 100, 1, 2, 0, 0, 0), -1);
  EXPECT_EQ(last(), "SilenceDetector: Error: negatif iStartSmp and/or iLenSmp");
  EXPECT_EQ(SilenceDetector(ok, marks, 44100, 1, 1, 2, 0, 0, 0), -1);
  EXPECT_EQ(last(), "SilenceDetector: Error: iStartSmp superior to number of samples of file");

  EXPECT_EQ(SilenceDetector(Write("low.wav", Burst(44100, 0, 0), 2, 22050), marks, 1, 2, 0, 0, 0),
            1);
  EXPECT_EQ(last(), "SilenceDetector: Seems not to be working for rates lower 44100");

  EXPECT_EQ(SilenceDetector(Write("732.wav", std::vector<float>(732), 1), marks, 1, 2, 0, 0, 0), 1);
  EXPECT_EQ(last(),
            "SilenceDetector: not enough sample too read / file too short, minimum length : 733 "
            "samples / 0.0166213 seconds");
  EXPECT_EQ(SilenceDetector(Write("733.wav", std::vector<float>(733), 1), marks, 1, 2, 0, 0, 0), 0);
  EXPECT_EQ(SpansOf(marks), (Spans{{0, 732}}));

  EXPECT_EQ(SilenceDetector(Write("3ch.wav", std::vector<float>(3 * 4410), 3), marks, 1, 2, 0, 0, 0),
            1);
  EXPECT_EQ(last(), "SilenceDetector : only 0 input samples. File too short");
}

// The producer against an independent reading of its contract: frame k is the
// mono mixdown centred on k * 220, zeros outside the range, and frames go on
// until one reaches past the range end (whose short tail it still holds).
TEST_F(SilenceDetectorFile, FramesAreTheMixdownCentredOnEveryHop) {
  const int64_t total = 40000;  // more than two read blocks
  std::vector<float> v = vxtest::Noise(total, 2, 7, 0.3);
  for (int64_t i = 30000; i < 31000; ++i) v[size_t(2 * i)] = v[size_t(2 * i + 1)] = 0.0f;
  v[2 * 35000] = std::numeric_limits<float>::quiet_NaN();  // counts as 0
  std::string path = Write("noise.wav", v, 2);
  std::vector<float> mono(total);
  for (int64_t i = 0; i < total; ++i)
    mono[size_t(i)] = i == 35000 ? 0.0f : 0.5f * (v[2 * i] + v[2 * i + 1]);

  for (auto [start, len] : {std::pair<int32_t, int32_t>{0, int32_t(total)}, {1234, 20000}}) {
    std::vector<float> got;
    FrameLayout layout;
    ASSERT_EQ(ComputeFrameLoudness(path, start, len, got, layout), 0);
    EXPECT_EQ(layout.frameLen, 512);
    EXPECT_EQ(layout.hop, 220);
    EXPECT_EQ(layout.framesRead, len);

    vx::generalstruct gs;
    std::vector<float> expect, frame(512), bands(26);
    for (int64_t k = 0;; ++k) {
      for (int64_t j = 0; j < 512; ++j) {
        int64_t pos = k * 220 - 256 + j;
        frame[size_t(j)] = pos >= 0 && pos < len ? mono[size_t(start + pos)] : 0.0f;
      }
      vx::SpezLautheitByFFT(frame.data(), 512, bands.data(), 25, 220, 44100.f, 16.f, 22050.f,
                            94.f, gs);
      float sum = 0;
      for (int b = 0; b < 25; ++b) sum += bands[size_t(b)];
      expect.push_back(sum);
      if (k * 220 + 256 > len) break;
    }
    EXPECT_EQ(got, expect) << "range " << start << "+" << len;
  }
}

// Producer then classifier gives what the detector gives, reports included,
// for thresholds chosen from the file's own loudness as the CLI does.
TEST_F(SilenceDetectorFile, SplitRunMatchesTheDetector) {
  std::vector<float> v = Burst(3 * 44100, 20000, 60000);
  std::vector<float> tail = Burst(3 * 44100, 90000, 90500, 0.05);
  for (size_t i = 0; i < v.size(); ++i) v[i] += tail[i];
  std::string path = Write("speech.wav", v, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

  for (auto [start, len] : {std::pair<int32_t, int32_t>{0, 3 * 44100}, {5000, 100000}}) {
    std::vector<MarkData> direct, split;
    vxtest::DiagCapture cap;
    std::vector<float> loud;
    FrameLayout layout;
    ASSERT_EQ(ComputeFrameLoudness(path, start, len, loud, layout), 0);
    AutoThresholds t = ChooseThresholds(loud);
    cap.Clear();
    ASSERT_EQ(SilenceDetector(path, direct, start, len, t.silenceLoudness, t.modulationLoudness,
                              0.1f, 0.02f, 1), 0);
    auto directLines = cap.Lines();
    cap.Clear();
    ASSERT_EQ(ClassifyFrames(loud, t.silenceLoudness, t.modulationLoudness, 0.1f, 0.02f, 1, split,
                             layout), 0);
    EXPECT_EQ(cap.Lines(), directLines);
    ASSERT_EQ(SpansOf(split), SpansOf(direct));
    ASSERT_GE(direct.size(), 2u);
    for (size_t i = 0; i < direct.size(); ++i) {
      EXPECT_EQ(split[i].nbFrames, direct[i].nbFrames);
      EXPECT_EQ(split[i].loudMean, direct[i].loudMean);
      EXPECT_EQ(split[i].noiseLoudMean, direct[i].noiseLoudMean);
    }
  }
}

TEST_F(SilenceDetectorFile, BurstSplitsTheFileAndTheRangeEndIsRespected) {
  std::string path = Write("burst.wav", Burst(2 * 44100, 30000, 50000), 2);
  std::vector<MarkData> marks;
  ASSERT_EQ(SilenceDetector(path, marks, 0.5f, 1.0f, 0.1f, 0.05f, 0), 0);
  ASSERT_EQ(marks.size(), 2u);
  // Boundaries fall on frame centres within half a frame of the burst edges;
  // the masked threshold, decaying after the burst, keeps its end later.
  EXPECT_EQ(marks[0].area.start, 0);
  EXPECT_EQ(marks[0].area.end % 220, 0);
  EXPECT_NEAR(marks[0].area.end, 30000, 300);
  EXPECT_GE(marks[1].area.start, 50000 - 256);
  EXPECT_LE(marks[1].area.start, 50000 + 30 * 220);
  EXPECT_EQ(marks[1].area.end, 2 * 44100 - 1);
  std::vector<MarkPair> pairs;
  ASSERT_EQ(AudioSegment::SilenceDetect(path, pairs, 0.5f, 1.0f, 0.1f, 0.05f, 0), 0);
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[1].start, marks[1].area.start);
  EXPECT_EQ(pairs[1].end, marks[1].area.end);

  // A range ends where asked: the silence that starts at 60000 stops there.
  ASSERT_EQ(SilenceDetector(path, marks, 40000, 20000, 0.5f, 1.0f, 0.05f, 0.05f, 0), 0);
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].area.end, 20000 - 1);

  // A length past the end is cut back, with a line saying so.
  vxtest::DiagCapture cap;
  ASSERT_EQ(SilenceDetector(path, marks, 60000, 1000000, 0.5f, 1.0f, 0.05f, 0.05f, 0), 0);
  EXPECT_EQ(SpansOf(marks), (Spans{{0, 2 * 44100 - 60000 - 1}}));
  EXPECT_EQ(cap.Err().size(), 1u);
}

TEST_F(SilenceDetectorFile, RatesWithALongHopAndTheShortLastReadAreAnalysed) {
  // 52000 Hz: the hop (260) is longer than half a frame (256).
  std::vector<float> v = Burst(52000, 20000, 30000);
  std::vector<MarkData> marks;
  ASSERT_EQ(SilenceDetector(Write("52k.wav", v, 2, 52000), marks, 0.5f, 1.0f, 0.1f, 0.05f, 0), 0);
  ASSERT_EQ(marks.size(), 2u);
  EXPECT_EQ(marks[0].area.end % 260, 0);
  EXPECT_NEAR(marks[0].area.end, 20000, 300);

  // 10000 frames: the last read brings 10000 - 36 - 45 * 220 = 64 frames; a
  // click among them must reach the last frame.
  std::vector<float> mono(10000, 0.0f);
  for (int i = 9950; i < 9990; ++i) mono[size_t(i)] = (i % 2) ? 0.8f : -0.8f;
  std::vector<float> loud;
  int32_t hop = 0, rate = 0;
  ASSERT_EQ(ComputeFrameLoudness(Write("click.wav", mono, 1), 0, 10000, loud, hop, rate), 0);
  ASSERT_EQ(loud.size(), 46u);
  EXPECT_LT(loud[44], 1e-3f);
  EXPECT_GT(loud[45], 0.1f);
}

// Chunks computed side by side must give the frames of one serial pass, also
// where the model's memory never fades (values far beyond full scale) and
// where the file holds fewer frames than its header claims.
TEST_F(SilenceDetectorFile, ParallelChunksGiveTheSerialFrames) {
  std::vector<float> v = vxtest::Noise(12 * 44100, 2, 3, 0.4);
  for (size_t i = 0; i < v.size(); ++i)
    if ((i / 2 / 20000) % 3 == 1) v[i] *= 0.001f;
  std::vector<float> huge = v;
  huge[2 * 150000] = 1e30f;
  const std::string files[] = {
      Write("plain.wav", v, 2), Write("huge.wav", huge, 2),
      vxtest::WriteOverclaimingWav(dir.File("cut.wav"), v, 2, 14 * 44100)};
  for (const std::string& path : files) {
    for (auto [start, len] : {std::pair<int32_t, int32_t>{0, 14 * 44100}, {777, 400001}}) {
      std::vector<float> serial, parallel;
      FrameLayout ls, lp;
      SetAnalysisParallelism(1, 0);
      ASSERT_EQ(ComputeFrameLoudness(path, start, len, serial, ls), 0);
      SetAnalysisParallelism(3, 512);
      ASSERT_EQ(ComputeFrameLoudness(path, start, len, parallel, lp), 0);
      SetAnalysisParallelism(0, 0);
      EXPECT_EQ(parallel, serial) << path << " " << start;
      EXPECT_EQ(lp.framesRead, ls.framesRead);
    }
  }
}
