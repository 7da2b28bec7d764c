// Automatic thresholds: the rule on synthetic loudness distributions, and the
// whole automatic detection on a small speech/pause corpus, where it must keep
// finding the pauses in every recording condition.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AutoThresholds.h"
#include "CorpusScore.h"
#include "SilenceDetector.h"

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

TEST(ChooseThresholds, PlacesThresholdsBetweenFloorAndSoundLevel) {
  for (auto [quiet, loud] : {std::pair{0.0f, 20.0f}, {0.3f, 20.0f}, {2.0f, 40.0f}}) {
    SCOPED_TRACE(testing::Message() << quiet << " / " << loud);
    auto v = TwoLevels(quiet, loud);
    AutoThresholds t = ChooseThresholds(v);
    EXPECT_GT(t.silenceLoudness, quiet * 1.2f) << "every quiet frame must count as silence";
    EXPECT_LE(t.silenceLoudness, t.modulationLoudness);
    EXPECT_LT(t.modulationLoudness, loud) << "the sound must end a silence";
  }
}

TEST(ChooseThresholds, FollowsTheLevelOfTheFile) {
  // The same recording 20 dB quieter is the same recording: above the
  // absolute floors, thresholds scale with the loudness.
  auto v = TwoLevels(1.0f, 30.0f);
  std::vector<float> scaled;
  for (float x : v) scaled.push_back(x * 0.25f);
  AutoThresholds a = ChooseThresholds(v), b = ChooseThresholds(scaled);
  EXPECT_NEAR(b.silenceLoudness, a.silenceLoudness * 0.25f, 1e-3f * a.silenceLoudness);
  EXPECT_NEAR(b.modulationLoudness, a.modulationLoudness * 0.25f, 1e-3f * a.modulationLoudness);
}

TEST(ChooseThresholds, UniformFilesAndInvalidValues) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  auto positiveOrdered = [](AutoThresholds t) {
    EXPECT_TRUE(std::isfinite(t.silenceLoudness) && std::isfinite(t.modulationLoudness));
    EXPECT_GT(t.silenceLoudness, 0.0f);
    EXPECT_LE(t.silenceLoudness, t.modulationLoudness);
  };
  // Nothing usable: still finite thresholds that keep digital silence silent.
  for (const auto& v : {std::vector<float>{}, std::vector<float>(100, nan),
                        std::vector<float>{inf, -inf, nan, -1.0f}}) {
    positiveOrdered(ChooseThresholds(v));
  }
  // Digital silence throughout, and faint dither: all of it is silence.
  for (float level : {0.0f, 0.02f}) {
    AutoThresholds t = ChooseThresholds(std::vector<float>(500, level));
    positiveOrdered(t);
    EXPECT_GT(t.silenceLoudness, level);
  }
  // Steady sound throughout: nothing in it is silence.
  auto sound = TwoLevels(18.0f, 20.0f);
  AutoThresholds t = ChooseThresholds(sound);
  positiveOrdered(t);
  EXPECT_LT(t.modulationLoudness, 18.0f);
  // Invalid frames among valid ones are ignored, not counted as quiet or loud.
  auto v = TwoLevels(0.5f, 25.0f);
  auto polluted = v;
  for (size_t i = 0; i < 400; ++i) polluted.push_back(i % 2 ? nan : inf);
  polluted.push_back(-inf);
  AutoThresholds clean = ChooseThresholds(v), dirty = ChooseThresholds(polluted);
  EXPECT_FLOAT_EQ(clean.silenceLoudness, dirty.silenceLoudness);
  EXPECT_FLOAT_EQ(clean.modulationLoudness, dirty.modulationLoudness);
}

TEST(CorpusScore, MatchesPausesOneToOne) {
  using corpus::Span;
  // Pauses: a short one (not scored), then two scored ones.
  std::vector<Span> truth{{1.0, 1.1}, {2.0, 3.0}, {4.0, 4.5}};
  // Half of a pause is enough; less is a miss plus a false alarm.
  auto s = corpus::ScoreFile(truth, {{2.5, 3.0}, {4.0, 4.2}});
  EXPECT_EQ(s.hits, 1);
  EXPECT_EQ(s.misses, 1);
  EXPECT_EQ(s.falseAlarms, 1);
  EXPECT_NEAR(s.BoundaryErrMs(), 250.0, 1e-6);
  // One detection bridging both pauses serves one of them only; finding the
  // short pause is not a false alarm, a silence inside speech is.
  s = corpus::ScoreFile(truth, {{1.0, 1.1}, {1.9, 4.6}, {5.0, 5.5}});
  EXPECT_EQ(s.hits, 1);
  EXPECT_EQ(s.misses, 1);
  EXPECT_EQ(s.falseAlarms, 1);
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
  static std::vector<File>* files_;
  static std::string error_;

  static void SetUpTestSuite() {
    files_ = new std::vector<File>();
    std::string cmd = std::string(VX_SOURCE_DIR) + "/scripts/make-corpus.sh small";
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
    char buf[4096] = {};
    std::string dir;
    if (p && std::fgets(buf, sizeof buf, p.get())) dir = buf;
    while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r')) dir.pop_back();
    std::vector<corpus::Entry> entries;
    if (dir.empty() || !corpus::LoadCorpus(dir, entries, error_)) {
      error_ = "corpus generation failed (" + cmd + "): " + error_;
      return;
    }
    for (auto& e : entries) {
      File f{e, {}, {}};
      SF_INFO info{};
      SNDFILE* sf = sf_open(e.wav.c_str(), SFM_READ, &info);
      if (!sf) {
        error_ = "cannot open " + e.wav;
        return;
      }
      sf_close(sf);
      if (ComputeFrameLoudness(e.wav, 0, int32_t(info.frames), f.loudness, f.layout) != 0) {
        error_ = "loudness failed on " + e.wav;
        return;
      }
      files_->push_back(std::move(f));
    }
  }
  static void TearDownTestSuite() {
    delete files_;
    files_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(error_.empty()) << error_; }
};
std::vector<SilenceCorpus::File>* SilenceCorpus::files_ = nullptr;
std::string SilenceCorpus::error_;

TEST_F(SilenceCorpus, AutomaticModeFindsThePausesInEveryCondition) {
  std::map<std::string, corpus::Score> by;
  for (const File& f : *files_) {
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
  }
  ASSERT_EQ(by.size(), 8u);
  for (const auto& [condition, s] : by) {
    SCOPED_TRACE(condition);
    EXPECT_GE(s.F1(), 0.9) << "recall " << s.Recall() << " precision " << s.Precision();
    // Frames are 5 ms apart: a boundary drifting far beyond that means the
    // marks and the frame positions no longer line up.
    EXPECT_LT(s.BoundaryErrMs(), 60.0);
  }
}

}  // namespace
