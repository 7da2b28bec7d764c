// vxaudio split as a user runs it: pieces on disk that hold exactly the
// source frames the index names, padding that never makes pieces overlap,
// and outputs that are never replaced without --force.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

namespace fs = std::filesystem;
constexpr int kRate = 44100;

// Three bursts of noise (seconds [0.5, 1.5), [2.3, 3.0), [4.0, 4.6)) over a
// floor 74 dB down, stereo with different channels, 5 s in all.
const std::vector<std::pair<double, double>> kSounds = {{0.5, 1.5}, {2.3, 3.0}, {4.0, 4.6}};

std::vector<float> Source() {
  std::vector<float> v;
  double at = 0.0;
  uint32_t seed = 7;
  for (double edge : {0.5, 1.5, 2.3, 3.0, 4.0, 4.6, 5.0}) {
    auto part = vxtest::Noise(std::llround((edge - at) * kRate), 2, seed, seed % 2 ? 2e-4 : 0.5);
    v.insert(v.end(), part.begin(), part.end());
    at = edge;
    ++seed;
  }
  return v;
}

class Split : public ::testing::Test {
 protected:
  void SetUp() override { src = vxtest::WriteSound(dir.File("talk.wav"), Source(), 2, kRate); }
  vxtest::VxOutcome Vx(const std::string& args) { return vxtest::RunVx(args, dir.Path()); }
  nlohmann::json Index(const std::string& out) {
    return nlohmann::json::parse(vxtest::Slurp(out + "/index.json"));
  }
  // Nothing half-written may stay behind under a hidden name.
  void ExpectNoLeftovers(const std::string& out) {
    for (auto& e : fs::directory_iterator(out))
      EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
  }

  vxtest::TempDir dir;
  std::string src;
};

TEST_F(Split, PiecesHoldTheSourceRangesTheIndexNames) {
  SF_INFO srcInfo{};
  const std::vector<float> source = vxtest::ReadSound(src, &srcInfo);
  const std::string out = dir.File("out");
  auto r = Vx("split -q " + src + " " + out + " --pad 0.05");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("3 pieces in " + out), std::string::npos) << r.out;

  auto j = Index(out);
  EXPECT_EQ(j["frames"], srcInfo.frames);
  EXPECT_EQ(j["sample_rate"], kRate);
  ASSERT_EQ(j["pieces"].size(), kSounds.size()) << j.dump(1);
  std::istringstream csv(vxtest::Slurp(out + "/index.csv"));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "index,file,start,end,frames,start_s,end_s");
  for (size_t i = 0; i < kSounds.size(); ++i) {
    const auto& p = j["pieces"][i];
    const int64_t start = p["start"], end = p["end"];
    // The bursts plus 50 ms on each side, give or take the detector's
    // frames; the loudness model hears a sound fade for a moment after it.
    EXPECT_NEAR(start, (kSounds[i].first - 0.05) * kRate, 0.03 * kRate) << i;
    EXPECT_GT(end, (kSounds[i].second + 0.05 - 0.03) * kRate) << i;
    EXPECT_LT(end, (kSounds[i].second + 0.05 + 0.2) * kRate) << i;
    EXPECT_DOUBLE_EQ(p["start_s"].get<double>(), double(start) / kRate);
    EXPECT_DOUBLE_EQ(p["end_s"].get<double>(), double(end) / kRate);

    char expect[200];
    std::snprintf(expect, sizeof expect, "%zu,piece-%03zu.wav,%lld,%lld,%lld,%.6f,%.6f", i + 1,
                  i + 1, (long long)start, (long long)end, (long long)(end - start),
                  double(start) / kRate, double(end) / kRate);
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line, expect);

    SF_INFO info{};
    const std::vector<float> piece = vxtest::ReadSound(out + "/" + p["file"].get<std::string>(), &info);
    EXPECT_EQ(info.channels, 2);
    ASSERT_EQ(int64_t(info.frames), end - start);
    const std::vector<float> want(source.begin() + start * 2, source.begin() + end * 2);
    EXPECT_TRUE(piece == want) << "piece " << i + 1 << " differs from its source range";
  }
  EXPECT_FALSE(std::getline(csv, line));
  ExpectNoLeftovers(out);

  // Mono mixdown at 24 bits in AIFF: each frame is the mean of the channels.
  const std::string mono = dir.File("mono");
  r = Vx("split -q " + src + " " + mono + " --channels 1 --bits 24 --ext aif");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto p = Index(mono)["pieces"][1];
  SF_INFO info{};
  const std::vector<float> piece = vxtest::ReadSound(mono + "/piece-002.aif", &info);
  ASSERT_EQ(info.channels, 1);
  const int64_t start = p["start"];
  ASSERT_EQ(int64_t(piece.size()), p["end"].get<int64_t>() - start);
  for (size_t k = 0; k < piece.size(); ++k)
    ASSERT_NEAR(piece[k], (source[(start + k) * 2] + source[(start + k) * 2 + 1]) / 2, 2e-7) << k;
}

TEST_F(Split, PaddingStopsAtNeighboursAndAtTheFileEnds) {
  ASSERT_EQ(Vx("split -q " + src + " " + dir.File("tight")).status, 0);
  auto sounds = Index(dir.File("tight"))["pieces"];
  auto r = Vx("split -q " + src + " " + dir.File("padded") + " --pad 5");
  ASSERT_EQ(r.status, 0) << r.err;
  auto pieces = Index(dir.File("padded"))["pieces"];
  ASSERT_EQ(pieces.size(), 3u);
  ASSERT_EQ(sounds.size(), 3u);
  EXPECT_EQ(pieces[0]["start"], 0);
  EXPECT_EQ(pieces[2]["end"], int64_t(5.0 * kRate));
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    // Both sides of a silence reach its middle, and not one frame further.
    const int64_t middle =
        (sounds[i]["end"].get<int64_t>() + sounds[i + 1]["start"].get<int64_t>()) / 2;
    EXPECT_EQ(pieces[i]["end"], middle);
    EXPECT_EQ(pieces[i + 1]["start"], middle);
  }

  // A click shorter than --min-sound (with the loudness model's fade) before
  // the first silence gets no piece.
  auto v = Source();
  for (int k = 0; k < 441; ++k) v[size_t(4410 + k) * 2] = v[size_t(4410 + k) * 2 + 1] = 0.6f;
  auto click = vxtest::WriteSound(dir.File("click.wav"), v, 2, kRate);
  r = Vx("split -q " + click + " " + dir.File("c1") + " --min-sound 0.3");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Index(dir.File("c1"))["pieces"].size(), 3u);
}

TEST_F(Split, ExistingFilesAreKeptUnlessForced) {
  const std::string out = dir.File("keep");
  ASSERT_EQ(Vx("split -q " + src + " " + out).status, 0);
  vxtest::WriteBytes(out + "/piece-002.wav", "mine");

  auto r = Vx("split -q " + src + " " + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vxaudio split: " + out + "/index.json: already exists (use --force to replace it)\n");
  EXPECT_EQ(vxtest::Slurp(out + "/piece-002.wav"), "mine");

  // One clashing name anywhere stops the run before anything is written.
  const std::string other = dir.File("other");
  fs::create_directory(other);
  vxtest::WriteBytes(other + "/piece-003.wav", "mine");
  r = Vx("split -q " + src + " " + other);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(other + "/piece-003.wav: already exists"), std::string::npos) << r.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(other), fs::directory_iterator()), 1);

  r = Vx("split -q --force " + src + " " + out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(vxtest::ReadSound(out + "/piece-002.wav").empty());
  ExpectNoLeftovers(out);
}

TEST_F(Split, BadOutputsAndInputsFailWithOneLine) {
  const std::string file = vxtest::WriteBytes(dir.File("plain"), "x");
  struct Case {
    std::string args;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {src + " " + file + "/sub", 1,
       "vxaudio split: " + file + "/sub: cannot create the output directory: "},
      {src + " " + file, 1, "vxaudio split: " + file + ": is not a directory"},
      {dir.File("missing.wav") + " " + dir.File("m"), 1,
       "vxaudio split: " + dir.File("missing.wav") + ": no such file"},
      {file + " " + dir.File("t"), 1, "vxaudio split: " + file + ": "},
      {src + " " + dir.File("b") + " --bits 12", 2, "vxaudio split: --bits 12 must be 8, 16 or 24"},
      {src + " " + dir.File("p") + " --pad -1", 2, "vxaudio split: --pad must be"},
      {src + " " + dir.File("e") + " --bits 8", 2, "vxaudio split: the wav container cannot hold"},
      {src + " " + dir.File("s") + " --thresholds fixed", 2,
       "vxaudio split: fixed thresholds need --silence-loudness"},
  };
  for (const Case& c : cases) {
    auto r = Vx("split -q " + c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  // A failed run leaves no output directory behind.
  for (const char* d : {"m", "t", "b", "p", "e", "s"}) EXPECT_FALSE(fs::exists(dir.File(d))) << d;
}

}  // namespace
