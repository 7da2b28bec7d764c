#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>

#include "AudioSegment.h"
#include "AutoThresholds.h"
#include "ParallelLoudness.h"
#include "SilenceDetector.h"
#include "SoundFixture.h"
#include "SpezLautheit.h"

namespace {

using Spans = std::vector<std::pair<int32_t, int32_t>>;
using Range = std::pair<int32_t, int32_t>;
using vxtest::Err;

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
  EXPECT_EQ(ClassifyFrames(loudness, sil, mod, 0, 0, verbose, marks, 512, 220, 44100, framesRead), 0);
  return SpansOf(marks);
}
int32_t FullEnd(size_t frames) { return 256 + 220 * int32_t(frames - 1); }

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
  // reported once, with the long rule and the state it leaves: silence.
  cap.Clear();
  Classify({0, 5, 0}, 1, 2, FullEnd(3), 1);
  out = cap.Out();
  auto rule = std::find(out.begin(), out.end(), "==================");
  ASSERT_GE(out.end() - rule, 7);
  EXPECT_EQ(std::vector<std::string>(rule + 1, rule + 7),
            (std::vector<std::string>{"current loudness : 0", "silence : 1", "time : 0.00997732",
                                      "silenceSmpBegin : 440", "silenceSmpEnd : 695", "nbFrames : 1"}));
  EXPECT_EQ(std::count(out.begin(), out.end(), "=================="), 1);
}

class SilenceDetectorFile : public ::testing::Test {
 protected:
  vxtest::TempDir dir;
  std::vector<MarkData> marks;
  std::string Write(const std::string& name, const std::vector<float>& v, int ch, int rate = 44100,
                    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT) {
    return vxtest::WriteSound(dir.File(name), v, ch, rate, format);
  }
};

TEST_F(SilenceDetectorFile, SetUpChecksRefuseWhatCannotBeAnalysed) {
  vxtest::DiagCapture cap;
  std::vector<MarkPair> pairs{{1, 2}};
  EXPECT_EQ(AudioSegment::SilenceDetect("", pairs, 1, 2, 0.1f, 0.05f, 1), -1);
  EXPECT_TRUE(pairs.empty());
  EXPECT_EQ(cap.Lines(), (vxtest::DiagLines{
                             Err("SilenceDetector: Error: Not able to open current file "),
                             Err("AudioSegment::SilenceDetect: ERROR: internal failure")}));

  using Case = std::tuple<std::string, int32_t, int32_t, int, std::string>;
  const std::string ok = Write("ok.wav", std::vector<float>(2 * 44100), 2);
  for (const auto& [path, start, len, rc, err] : {
           Case{ok, -1, 100, -1, "SilenceDetector: Error: negatif iStartSmp and/or iLenSmp"},
           Case{ok, 44100, 1, -1, "SilenceDetector: Error: iStartSmp superior to number of samples of file"},
           Case{Write("low.wav", std::vector<float>(2 * 44100), 2, 22050), 0, 44100, 1,
                "SilenceDetector: Seems not to be working for rates lower 44100"},
           Case{Write("732.wav", std::vector<float>(732), 1), 0, 732, 1,
                "SilenceDetector: not enough sample too read / file too short, minimum length : 733 "
                "samples / 0.0166213 seconds"},
           Case{Write("3ch.wav", std::vector<float>(3 * 4410), 3), 0, 4410, 1,
                "SilenceDetector : only 0 input samples. File too short"}}) {
    cap.Clear();
    EXPECT_EQ(SilenceDetector(path, marks, start, len, 1, 2, 0, 0, 0), rc) << err;
    EXPECT_EQ(cap.Err(), std::vector<std::string>{err});
  }
  EXPECT_EQ(SilenceDetector(Write("733.wav", std::vector<float>(733), 1), marks, 1, 2, 0, 0, 0), 0);
  EXPECT_EQ(SpansOf(marks), (Spans{{0, 732}}));
}

// The producer against an independent reading of its contract: frame k is the
// mono mixdown centred on k * 220 of the samples libsndfile reads as floats,
// zeros outside the range, and frames go on until one reaches past the range
// end (whose short tail it still holds). Two seconds of digital silence let
// the model settle, where the producer stops computing frames of zeros; a NaN
// sample ends the stretch. 16-bit files, which the producer reads as stored,
// in WAV and FLAC, stereo and mono.
TEST_F(SilenceDetectorFile, FramesAreTheMixdownCentredOnEveryHop) {
  const int64_t total = 140000;  // several read blocks
  std::vector<float> v = vxtest::Noise(total, 2, 7, 0.3);
  std::fill(v.begin() + 2 * 30000, v.begin() + 2 * 120000, 0.0f);
  v[2 * 120000] = std::numeric_limits<float>::quiet_NaN();  // counts as 0
  const std::string noise = Write("noise.wav", v, 2);
  v[2 * 120000] = 0.0f;
  const std::vector<float> mono = vxtest::Noise(total, 1, 8, 0.9);
  const int pcm16 = SF_FORMAT_PCM_16;
  const std::string files[] = {noise, Write("s16.wav", v, 2, 44100, SF_FORMAT_WAV | pcm16),
                               Write("s16.flac", v, 2, 44100, SF_FORMAT_FLAC | pcm16),
                               Write("m16.wav", mono, 1, 44100, SF_FORMAT_WAV | pcm16)};
  for (const std::string& path : files) {
    SF_INFO info{};
    std::vector<float> x = vxtest::ReadSound(path, &info);
    const int ch = info.channels;
    for (auto [start, len] : {Range{0, int32_t(total)}, {1234, 120000}}) {
      std::vector<float> got, expect, frame(512), bands(26);
      FrameLayout layout;
      ASSERT_EQ(ComputeFrameLoudness(path, start, len, got, layout), 0);
      EXPECT_TRUE(layout.frameLen == 512 && layout.hop == 220 && layout.framesRead == len);
      vx::generalstruct gs;
      for (int64_t k = 0;; ++k) {
        for (int64_t j = 0, pos = k * 220 - 256; j < 512; ++j, ++pos) {
          const size_t at = size_t(ch * (start + pos));
          const float m = pos < 0 || pos >= len ? 0.0f : ch == 2 ? 0.5f * (x[at] + x[at + 1]) : x[at];
          frame[size_t(j)] = std::isfinite(m) ? m : 0.0f;
        }
        vx::SpezLautheitByFFT(frame.data(), 512, bands.data(), 25, 220, 44100.f, 16.f, 22050.f, 94.f, gs);
        expect.push_back(std::accumulate(bands.begin(), bands.end() - 1, 0.0f));
        if (k * 220 + 256 > len) break;
      }
      EXPECT_EQ(got, expect) << path << " range " << start << "+" << len;
    }
  }
}

// At 52000 Hz the hop (260) is longer than half a frame (256); the 44.1 kHz
// file comes last and serves the range checks after the loop.
TEST_F(SilenceDetectorFile, BurstSplitsTheFileAtEitherHopAndRangesAreRespected) {
  for (int32_t rate : {52000, 44100}) {
    const int32_t hop = rate == 44100 ? 220 : 260;
    // Silence, a 1 kHz burst over frames [30000, 50000), silence: stereo.
    std::vector<float> v = vxtest::Sine(2 * rate, 2, 44100, 1000.0, 0.5);
    std::fill(v.begin() + 2 * 50000, v.end(), 0.0f);
    std::fill(v.begin(), v.begin() + 2 * 30000, 0.0f);
    const std::string path = Write("burst.wav", v, 2, rate);
    ASSERT_EQ(SilenceDetector(path, marks, 0.5f, 1.0f, 0.1f, 0.05f, 0), 0);
    ASSERT_EQ(marks.size(), 2u) << rate;
    // Boundaries fall on frame centres within half a frame of the burst edges;
    // the masked threshold, decaying after the burst, keeps its end later.
    EXPECT_TRUE(marks[0].area.start == 0 && marks[0].area.end % hop == 0);
    EXPECT_NEAR(marks[0].area.end, 30000, 300);
    EXPECT_GE(marks[1].area.start, 50000 - 256);
    EXPECT_LE(marks[1].area.start, 50000 + 30 * hop);
    EXPECT_EQ(marks[1].area.end, 2 * rate - 1);
  }
  std::vector<MarkPair> pairs;
  const std::string path = dir.File("burst.wav");
  ASSERT_EQ(AudioSegment::SilenceDetect(path, pairs, 0.5f, 1.0f, 0.1f, 0.05f, 0), 0);
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_TRUE(pairs[1].start == marks[1].area.start && pairs[1].end == marks[1].area.end);

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

// Chunks computed side by side must give the frames of one serial pass, also
// where the model's memory never fades (values far beyond full scale) and
// where the file holds fewer frames than its header claims; classifying the
// kept frames gives what the detector gives, reports (so every mark's
// statistics) included, with thresholds chosen from them as the CLI does.
TEST_F(SilenceDetectorFile, ParallelChunksAndTheSplitRunMatchTheDetector) {
  std::vector<float> v = vxtest::Noise(12 * 44100, 2, 3, 0.4);
  for (size_t i = 0; i < v.size(); ++i)
    if ((i / 2 / 20000) % 3 == 1) v[i] *= 0.001f;
  std::vector<float> huge = v;
  huge[2 * 150000] = 1e30f;
  const std::string files[] = {Write("plain.wav", v, 2), Write("huge.wav", huge, 2),
                               vxtest::WriteOverclaimingWav(dir.File("cut.wav"), v, 2, 14 * 44100)};
  for (const std::string& path : files) {
    for (auto [start, len] : {Range{0, 14 * 44100}, {777, 400001}}) {
      std::vector<float> serial, parallel;
      std::vector<MarkData> split;
      FrameLayout ls, lp;
      ASSERT_EQ(ComputeFrameLoudness(path, start, len, serial, ls), 0);
      SetAnalysisMode({.threads = 3, .chunkFrames = 512});
      ASSERT_EQ(ComputeFrameLoudness(path, start, len, parallel, lp), 0);
      SetAnalysisMode({});
      EXPECT_EQ(parallel, serial) << path << " " << start;
      EXPECT_EQ(lp.framesRead, ls.framesRead);

      const AutoThresholds t = ChooseThresholds(serial);
      vxtest::DiagCapture cap;
      ASSERT_EQ(SilenceDetector(path, marks, start, len, t.silenceLoudness, t.modulationLoudness,
                                0.1f, 0.02f, 1), 0);
      const std::vector<std::string> direct = cap.Out();
      cap.Clear();
      ASSERT_EQ(ClassifyFrames(serial, t.silenceLoudness, t.modulationLoudness, 0.1f, 0.02f, 1, split,
                               ls), 0);
      EXPECT_EQ(cap.Out(), direct);
      EXPECT_EQ(SpansOf(split), SpansOf(marks));
      EXPECT_GE(marks.size(), 3u);
    }
  }
  // The workers' frames are the ones handed out, not computed again, where
  // the model's memory fades; a sample far beyond full scale never fades.
  auto recomputed = [](const std::string& path) {
    auto producer = std::make_unique<vxsilence::FrameProducer>();
    EXPECT_EQ(producer->Open(path, 0, std::nullopt), 0);
    vxsilence::LoudnessStream stream(std::move(producer), 3, 512);
    float loudness = 0;
    int32_t read = 0;
    bool last = false;
    while (stream.Next(loudness, read, last)) {
    }
    return stream.Recomputed();
  };
  EXPECT_EQ(recomputed(files[0]), 0);
  EXPECT_GT(recomputed(files[1]), 0);
}

// The fast arithmetic against the model as written, at the usual rates: each
// frame's loudness within 1e-9 (relative, or absolute for the rounding noise
// of digital silence), and the same marks with fixed thresholds and with the
// thresholds each run chooses from its own loudness. The material is syllable
// bursts of noise and tone from full scale down to -90 dBFS, separated by
// pauses of noise at -70 dBFS or of digital zeros.
TEST_F(SilenceDetectorFile, FastArithmeticFindsTheModelsMarks) {
  auto near = [](float a, float b) {
    const double d = std::fabs(double(a) - b);
    return d <= 1e-9 * std::max(std::fabs(double(a)), std::fabs(double(b))) || d <= 1e-12;
  };
  for (int rate : {44100, 48000, 96000}) {
    const int64_t frames = 24 * int64_t(rate);
    std::vector<float> v = vxtest::Noise(frames, 2, uint32_t(rate), 1.0);
    const std::vector<float> tone = vxtest::Sine(frames, 2, rate, 733.0, 1.0);
    uint32_t x = 99;
    for (int64_t at = 0, piece = 0; at < frames; ++piece) {
      x = x * 1664525u + 1013904223u;
      const int64_t len = int64_t(rate) * (piece % 2 ? 15 + x % 60 : 20 + x % 200) / 100;
      const double gain = piece % 2 ? (piece % 4 == 1 ? 0.0 : 3e-4) : std::pow(10.0, -double(x % 90) / 20.0);
      for (int64_t i = at; i < std::min(at + len, frames); ++i)
        for (int c = 0; c < 2; ++c) {
          const size_t k = size_t(2 * i + c);
          v[k] = float(gain * (piece % 3 ? v[k] : tone[k]));
        }
      at += len;
    }
    const std::string path = Write("varied.wav", v, 2, rate);
    std::vector<float> model, fast;
    FrameLayout layout, fastLayout;
    ASSERT_EQ(ComputeFrameLoudness(path, 0, int32_t(frames), model, layout), 0);
    SetAnalysisMode({.threads = 2, .chunkFrames = 700, .fastArithmetic = true});
    ASSERT_EQ(ComputeFrameLoudness(path, 0, int32_t(frames), fast, fastLayout), 0);
    SetAnalysisMode({});
    ASSERT_EQ(fast.size(), model.size());
    for (size_t k = 0; k < model.size(); ++k)
      ASSERT_TRUE(near(fast[k], model[k])) << rate << " Hz frame " << k << ": " << fast[k]
                                           << " against " << model[k];
    // The detector classifies the frames it computes as ClassifyFrames does
    // (checked above), so the marks are compared on the frames.
    const AutoThresholds fixed{0.5f, 0.0f};
    for (auto [m, f, least] : {std::tuple{fixed, fixed, 8u},
                               {ChooseThresholds(model), ChooseThresholds(fast), 6u}}) {
      std::vector<MarkData> modelMarks, fastMarks;
      ASSERT_EQ(ClassifyFrames(model, m.silenceLoudness, m.modulationLoudness, 0.15f, 0.02f, 0,
                               modelMarks, layout), 0);
      ASSERT_EQ(ClassifyFrames(fast, f.silenceLoudness, f.modulationLoudness, 0.15f, 0.02f, 0,
                               fastMarks, fastLayout), 0);
      EXPECT_EQ(SpansOf(fastMarks), SpansOf(modelMarks))
          << rate << " Hz, silence " << m.silenceLoudness;
      EXPECT_GE(modelMarks.size(), least) << rate;
    }
  }
}
