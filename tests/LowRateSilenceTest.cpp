// Telephone and wideband speech rates as a user analyses them: the command
// line resamples such files for the detector and reports every position in
// the file's own frames, leaving no temporary behind.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

namespace fs = std::filesystem;

// Tone bursts with pauses of exact zeros at [1.0, 1.5) and [2.5, 3.2) s,
// 4 s in all.
const std::vector<std::pair<double, double>> kPauses = {{1.0, 1.5}, {2.5, 3.2}};

std::vector<float> Bursts(int rate, int channels) {
  std::vector<float> v;
  double at = 0.0;
  bool tone = true;
  for (double edge : {1.0, 1.5, 2.5, 3.2, 4.0}) {
    const int64_t n = std::llround(edge * rate) - std::llround(at * rate);
    auto part = tone ? vxtest::Sine(n, channels, rate, 441.0, 0.5)
                     : std::vector<float>(size_t(n * channels), 0.0f);
    v.insert(v.end(), part.begin(), part.end());
    at = edge, tone = !tone;
  }
  return v;
}

class LowRate : public ::testing::Test {
 protected:
  // Runs with its own temporary folder, which must be empty afterwards.
  vxtest::VxOutcome Vx(const std::string& args) {
    fs::create_directories(tmp);
    auto r = vxtest::RunVx("TMPDIR=" + tmp + " VX " + args, dir.Path());
    EXPECT_TRUE(fs::is_empty(tmp)) << "temporary left behind after: " << args;
    return r;
  }

  vxtest::TempDir dir;
  std::string tmp = dir.File("tmp");
};

TEST_F(LowRate, PausesAreFoundInTheFilesOwnFrames) {
  // (16 kHz mono is in EdgeRefinementTest.)
  for (auto [rate, channels] : {std::pair{8000, 1}, {22050, 1}, {16000, 2}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels");
    const auto r = Vx("silence --format json " +
                      vxtest::WriteSound(dir.File("talk" + std::to_string(rate) + ".wav"),
                                         Bursts(rate, channels), channels, rate));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["sample_rate"], rate);
    EXPECT_EQ(j["frames"], std::llround(4.0 * rate));
    ASSERT_EQ(j["silences"].size(), kPauses.size()) << j.dump();
    for (size_t i = 0; i < kPauses.size(); ++i) {
      const int64_t start = j["silences"][i][0], end = j["silences"][i][1];
      const double startS = j["silences_s"][i][0], endS = j["silences_s"][i][1];
      EXPECT_NEAR(startS, double(start) / rate, 1e-6);
      EXPECT_NEAR(endS, double(end) / rate, 1e-6);
      // On the signal, as at the detector's own rate: within 20 ms of the
      // pause's true edges.
      EXPECT_NEAR(startS, kPauses[i].first, 0.02) << i;
      EXPECT_NEAR(endS, kPauses[i].second, 0.02) << i;
    }
  }
}

TEST_F(LowRate, SplitKeepsTheFilesRate) {
  const std::vector<float> source = Bursts(16000, 1);
  const std::string file = vxtest::WriteSound(dir.File("talk.wav"), source, 1, 16000);
  const std::string out = dir.File("out");
  // Padding to the middle of each pause: the pieces tile the file.
  auto r = Vx("split -q " + file + " " + out + " --pad 5");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto index = nlohmann::json::parse(vxtest::Slurp(out + "/index.json"));
  ASSERT_EQ(index["pieces"].size(), kPauses.size() + 1) << index.dump();
  int64_t total = 0;
  for (const auto& p : index["pieces"]) {
    SF_INFO info{};
    vxtest::ReadSound(out + "/" + p["file"].get<std::string>(), &info);
    EXPECT_EQ(info.samplerate, 16000);
    EXPECT_EQ(info.frames, p["end"].get<int64_t>() - p["start"].get<int64_t>());
    EXPECT_EQ(p["start"].get<int64_t>(), total);
    total += info.frames;
  }
  EXPECT_EQ(total, int64_t(source.size()));
}

TEST_F(LowRate, AbsurdRatesAreStillRefused) {
  const std::string file =
      vxtest::WriteSound(dir.File("hum.wav"), Bursts(3000, 1), 1, 3000);
  auto r = Vx("silence " + file);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("sample rate 3000 Hz is below 4000 Hz"), std::string::npos) << r.err;
}

}  // namespace
