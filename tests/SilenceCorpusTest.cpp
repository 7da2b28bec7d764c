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

TEST(ChooseThresholds, CleanFilesAreJudgedAgainstTheirSpeechToo) {
  // Digital silence under speech: a threshold placed from the floor alone
  // would lie in the model's decay after each word. Pauses that make up only
  // a few percent of the file must still set the floor, not the speech.
  for (size_t every : {3u, 12u}) {
    SCOPED_TRACE(every);
    std::vector<float> v;
    for (size_t i = 0; i < 3000; ++i) v.push_back(i % every == 0 ? 0.0f : 20.0f + float(i % 7));
    AutoThresholds t = ChooseThresholds(v);
    EXPECT_GE(t.silenceLoudness, 0.02f * 20.0f);
    EXPECT_LT(t.modulationLoudness, 0.1f * 20.0f);
  }
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
  EXPECT_NEAR(s.MeanEdgeErrMs(), 250.0, 1e-6);
  // One detection bridging both pauses serves one of them only; finding the
  // short pause is not a false alarm, a silence inside speech is.
  s = corpus::ScoreFile(truth, {{1.0, 1.1}, {1.9, 4.6}, {5.0, 5.5}});
  EXPECT_EQ(s.hits, 1);
  EXPECT_EQ(s.misses, 1);
  EXPECT_EQ(s.falseAlarms, 1);
}

TEST(CorpusScore, EdgeErrorsAndWeakestFile) {
  using corpus::Entry;
  using corpus::Span;
  const std::vector<Span> truth{{2.0, 3.0}, {4.0, 4.5}};
  // Edge errors 10, 20, 30 and 400 ms: the median is robust to the outlier.
  std::vector<Entry> entries{{"clean", "", "clean/a.wav", "report", truth},
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
      if (!Loudness(e.wav, f)) {
        error_ = "loudness failed on " + e.wav;
        return;
      }
      files_->push_back(std::move(f));
    }
  }
  // A file below the detector's rate is analysed, as the command line does,
  // through a 44.1 kHz copy (made here by sox). The truth is in seconds, so
  // the copy's spans score as they are.
  static bool Loudness(const std::string& wav, File& f) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(wav.c_str(), SFM_READ, &info);
    if (!sf) return false;
    sf_close(sf);
    if (info.samplerate >= 44100)
      return ComputeFrameLoudness(wav, 0, int32_t(info.frames), f.loudness, f.layout) == 0;
    const std::string copy = std::string(VX_BUILD_DIR) + "/silence-corpus-copy.wav";
    std::string cmd = "sox '" + wav + "' -b 32 -e floating-point '" + copy + "' rate -h 44100";
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
    if (!p || pclose(p.release()) != 0) return false;
    info = {};
    sf = sf_open(copy.c_str(), SFM_READ, &info);
    bool ok = sf != nullptr;
    if (sf) sf_close(sf);
    ok = ok && ComputeFrameLoudness(copy, 0, int32_t(info.frames), f.loudness, f.layout) == 0;
    std::remove(copy.c_str());
    return ok;
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
  std::map<std::string, int> halves;
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
