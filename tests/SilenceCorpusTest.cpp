// Automatic thresholds: the rule on synthetic loudness distributions, and the
// whole automatic detection on a small speech/pause corpus, where it must keep
// finding the pauses in every recording condition.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cctype>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "AutoThresholds.h"
#include "CorpusScore.h"
#include "SilenceDetector.h"
#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

// 30 % of the frames near `quiet`, the rest near `loud`, with a little spread.
std::vector<float> TwoLevels(float quiet, float loud, size_t n = 2000) {
  std::vector<float> v;
  for (size_t i = 0; i < n; ++i) {
    float wobble = 1.0f + 0.2f * float((i * 7919) % 100) / 100.0f;
    v.push_back((i % 10 < 3 ? quiet : loud) * wobble);
  }
  return v;
}

TEST(ChooseThresholds, SilenceAboveTheFloorAndModulationBelowTheSound) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // Digital silence at every `every`-th frame of speech between 20 and 26.
  auto speech = [](size_t every) {
    std::vector<float> v;
    for (size_t i = 0; i < 3000; ++i) v.push_back(i % every == 0 ? 0.0f : 20.0f + float(i % 7));
    return v;
  };
  using Case = std::tuple<const char*, std::vector<float>, float, float>;
  // (name, loudness, silence threshold above, modulation threshold below)
  for (const auto& [name, v, silenceAbove, modulationBelow] : {
      // Every quiet frame (up to 1.2 times the quiet level) is silence; the
      // sound ends it.
      Case{"0.3/20", TwoLevels(0.3f, 20.0f), 0.3f * 1.2f, 20.0f},
      Case{"2/40", TwoLevels(2.0f, 40.0f), 2.0f * 1.2f, 40.0f},
      // Digital silence under speech: a threshold placed from the floor alone
      // would lie in the model's decay after each word, so at least 2 % of
      // the speech, under a tenth. Pauses that make up only a few percent of
      // the file must still set the floor, not the speech.
      Case{"speech 1/3 pauses", speech(3), std::nextafter(0.02f * 20.0f, 0.0f), 0.1f * 20.0f},
      Case{"speech 1/12 pauses", speech(12), std::nextafter(0.02f * 20.0f, 0.0f), 0.1f * 20.0f},
      // Nothing usable: still finite thresholds that keep digital silence silent.
      Case{"empty", {}, 0.0f, inf}, Case{"all NaN", std::vector<float>(100, nan), 0.0f, inf},
      Case{"invalid", {inf, -inf, nan, -1.0f}, 0.0f, inf},
      // Digital silence throughout, and faint dither: all of it is silence;
      // steady sound throughout: nothing in it is.
      Case{"digital silence", std::vector<float>(500, 0.0f), 0.0f, inf},
      Case{"dither", std::vector<float>(500, 0.02f), 0.02f, inf},
      Case{"steady sound", TwoLevels(18.0f, 20.0f), 0.0f, 18.0f}}) {
    SCOPED_TRACE(name);
    const AutoThresholds t = ChooseThresholds(v);
    EXPECT_TRUE(std::isfinite(t.silenceLoudness) && std::isfinite(t.modulationLoudness));
    EXPECT_GT(t.silenceLoudness, 0.0f);
    EXPECT_GT(t.silenceLoudness, silenceAbove);
    EXPECT_LE(t.silenceLoudness, t.modulationLoudness);
    EXPECT_LT(t.modulationLoudness, modulationBelow);
  }
}

TEST(ChooseThresholds, FollowTheLevelAndLeaveOutWhatIsNotLoudness) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto expectSame = [](const std::vector<float>& a, const std::vector<float>& b, float quiet) {
    const AutoThresholds x = ChooseThresholds(a), y = ChooseThresholds(b);
    EXPECT_FLOAT_EQ(x.silenceLoudness, y.silenceLoudness) << quiet;
    EXPECT_FLOAT_EQ(x.modulationLoudness, y.modulationLoudness) << quiet;
  };
  // The same recording 20 dB quieter is the same recording: above the
  // absolute floors, thresholds scale with the loudness.
  const auto v = TwoLevels(1.0f, 30.0f);
  std::vector<float> scaled;
  for (float x : v) scaled.push_back(x * 0.25f);
  const AutoThresholds a = ChooseThresholds(v), b = ChooseThresholds(scaled);
  EXPECT_NEAR(b.silenceLoudness, a.silenceLoudness * 0.25f, 1e-3f * a.silenceLoudness);
  EXPECT_NEAR(b.modulationLoudness, a.modulationLoudness * 0.25f, 1e-3f * a.modulationLoudness);
  // Invalid frames among valid ones are ignored, not counted as quiet or loud.
  auto polluted = TwoLevels(0.5f, 25.0f);
  for (size_t i = 0; i < 400; ++i) polluted.push_back(i % 2 ? nan : inf);
  polluted.push_back(-inf);
  expectSame(polluted, TwoLevels(0.5f, 25.0f), nan);
  // The model puts digital silence a hair on either side of zero depending
  // on the rate: 30 % such frames give the thresholds of exact zeros, while
  // clearly negative values are invalid.
  auto with = [](float quiet) {
    std::vector<float> v;
    for (int i = 0; i < 1000; ++i) v.push_back(i % 10 < 3 ? quiet : 10.0f + float(i % 7));
    return v;
  };
  for (float quiet : {8.6e-9f, -1.08e-9f, -2.4e-5f}) expectSame(with(quiet), with(0.0f), quiet);
  expectSame(with(-1e-3f), with(nan), -1e-3f);
  EXPECT_NE(ChooseThresholds(with(nan)).silenceLoudness,
            ChooseThresholds(with(0.0f)).silenceLoudness);
}

TEST(CorpusScore, MatchesPausesOneToOneAndAddsUpOverTheCorpus) {
  using corpus::Span;
  // Pauses: a short one (not scored), then two scored ones.
  std::vector<Span> truth{{1.0, 1.1}, {2.0, 3.0}, {4.0, 4.5}};
  // Half of a pause is enough; less is a miss plus a false alarm.
  auto s = corpus::ScoreFile(truth, {{2.5, 3.0}, {4.0, 4.2}});
  EXPECT_EQ(std::tuple(s.hits, s.misses, s.falseAlarms), std::tuple(1, 1, 1));
  EXPECT_NEAR(s.MeanEdgeErrMs(), 250.0, 1e-6);
  // One detection bridging both pauses serves one of them only; finding the
  // short pause is not a false alarm, a silence inside speech is.
  s = corpus::ScoreFile(truth, {{1.0, 1.1}, {1.9, 4.6}, {5.0, 5.5}});
  EXPECT_EQ(std::tuple(s.hits, s.misses, s.falseAlarms), std::tuple(1, 1, 1));

  // Over a corpus, edge errors 10, 20, 30 and 400 ms: the median is robust to
  // the outlier.
  truth.erase(truth.begin());
  std::vector<corpus::Entry> entries{{"clean", "", "clean/a.wav", "report", truth},
                                     {"clean", "", "clean/b.wav", "report", truth},
                                     {"noisy", "", "noisy/a.wav", "report", truth}};
  std::vector<std::vector<Span>> det{{{2.01, 3.02}, {4.03, 4.9}},
                                     {{2.0, 3.0}, {4.0, 4.5}, {6.0, 7.0}},  // a false alarm
                                     {{2.0, 3.0}}};                          // a miss
  corpus::Results r = corpus::ScoreCorpus(entries, det);
  ASSERT_EQ(r.files.size(), 3u);
  ASSERT_EQ(r.conditions.size(), 2u);
  EXPECT_NEAR(r.files[0].MedianEdgeErrMs(), 25.0, 1e-6);
  EXPECT_NEAR(r.files[0].MeanEdgeErrMs(), 115.0, 1e-6);
  EXPECT_NEAR(r.conditions.at("clean").MedianEdgeErrMs(), 5.0, 1e-6);  // 4 of 8 edges exact
  EXPECT_NEAR(r.MedianEdgeErrMs("clean"), 5.0, 1e-6);
  EXPECT_NEAR(r.MedianEdgeErrMs("noisy"), 0.0, 1e-6);
  // Per file: 1, 0.8 and 2/3; per condition: clean 4 hits + 1 false alarm.
  EXPECT_EQ(r.WeakestFile(), 2u);
  EXPECT_NEAR(r.files[1].F1(), 0.8, 1e-9);
  EXPECT_NEAR(r.MeanF1(), (8.0 / 9.0 + 2.0 / 3.0) / 2, 1e-9);
  EXPECT_NEAR(r.MinF1(), 2.0 / 3.0, 1e-9);
  EXPECT_TRUE(std::isnan(corpus::ScoreFile(truth, {}).MedianEdgeErrMs()));
}

// The small corpus, generated once for this program, with each file's
// loudness curve.
class SilenceCorpus : public testing::Test {
 protected:
  struct File {
    corpus::Entry entry;
    std::vector<float> loudness;
    FrameLayout layout;
  };
  static inline std::optional<vxtest::TempDir> tmp_;  // capture files, 44.1 kHz copies
  static inline std::vector<File> files_;
  static inline std::string error_;

  static void SetUpTestSuite() {
    const std::string cmd = std::string(VX_SOURCE_DIR) + "/scripts/make-corpus.sh small";
    const vxtest::VxOutcome made = vxtest::RunVx(cmd, tmp_.emplace().Path());
    std::string dir = made.out;
    while (!dir.empty() && std::isspace(static_cast<unsigned char>(dir.back()))) dir.pop_back();
    std::vector<corpus::Entry> entries;
    if (made.status != 0 || !corpus::LoadCorpus(dir, entries, error_)) {
      error_ = "corpus generation failed (" + cmd + "): " + made.err + error_;
      return;
    }
    for (auto& e : entries) {
      files_.push_back({e, {}, {}});
      if (!Loudness(e.wav, files_.back())) {
        error_ = "loudness failed on " + e.wav;
        return;
      }
    }
  }
  // A file below the detector's rate is analysed, as the command line does,
  // through a 44.1 kHz copy (made here by sox). The truth is in seconds, so
  // the copy's spans score as they are.
  static bool Loudness(const std::string& wav, File& f) {
    auto open = [](const std::string& path) {
      SF_INFO info{};
      SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
      if (sf) sf_close(sf);
      return sf ? info : SF_INFO{};
    };
    SF_INFO info = open(wav);
    std::string path = wav;
    if (info.samplerate > 0 && info.samplerate < 44100) {
      path = tmp_->File("copy.wav");
      const std::string sox =
          "sox '" + wav + "' -b 32 -e floating-point " + path + " rate -h 44100";
      info = vxtest::RunVx(sox, tmp_->Path()).status == 0 ? open(path) : SF_INFO{};
    }
    return info.samplerate > 0 &&
           ComputeFrameLoudness(path, 0, int32_t(info.frames), f.loudness, f.layout) == 0;
  }
  static void TearDownTestSuite() {
    files_.clear();
    tmp_.reset();
  }
  void SetUp() override { ASSERT_TRUE(error_.empty()) << error_; }
};

TEST_F(SilenceCorpus, AutomaticModeFindsThePausesInEveryCondition) {
  std::map<std::string, corpus::Score> by;
  std::map<std::string, int> halves;
  for (const File& f : files_) {
    AutoThresholds t = ChooseThresholds(f.loudness);
    std::vector<MarkData> marks;
    ASSERT_EQ(ClassifyFrames(f.loudness, t.silenceLoudness, t.modulationLoudness,
                             kDefaultMinSilence, kDefaultMinSound, 0, marks, f.layout),
              0);
    std::vector<corpus::Span> det;
    for (const MarkData& m : marks)
      det.push_back({m.area.start / double(f.layout.sampleRate),
                     m.area.end / double(f.layout.sampleRate)});
    by[f.entry.condition].Add(corpus::ScoreFile(f.entry.truth, det));
    ++halves[f.entry.half];
  }
  // Level changes and noise beds at 44.1 kHz; 48 kHz stereo 24-bit, 16 kHz,
  // and pauses all close to the shortest scored.
  ASSERT_EQ(by.size(), 11u);
  EXPECT_EQ(halves["tune"], halves["report"]);
  for (const auto& [condition, s] : by) {
    SCOPED_TRACE(condition);
    EXPECT_GE(s.F1(), 0.9) << "recall " << s.Recall() << " precision " << s.Precision();
    // Frames are 5 ms apart: edges drifting far beyond that mean the marks and
    // the frame positions (or the file's own rate) no longer line up.
    EXPECT_LT(s.MedianEdgeErrMs(), 30.0);
  }
}

}  // namespace
