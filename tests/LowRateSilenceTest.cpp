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
  nlohmann::json Silences(const std::string& file) {
    auto r = Vx("silence --format json " + file);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? nlohmann::json::parse(r.out) : nlohmann::json{};
  }

  vxtest::TempDir dir;
  std::string tmp = dir.File("tmp");
};

TEST_F(LowRate, PausesAreFoundInTheFilesOwnFrames) {
  // What the detector finds in the same bursts at its own rate: a pause is
  // marked a little after it begins, as the model hears the tone fade.
  const auto reference = Silences(
      vxtest::WriteSound(dir.File("ref.wav"), Bursts(44100, 1), 1, 44100))["silences_s"];
  ASSERT_EQ(reference.size(), kPauses.size()) << reference.dump();

  const struct {
    int rate, channels;
  } kCases[] = {{8000, 1}, {16000, 1}, {22050, 1}, {16000, 2}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
    const std::string file = vxtest::WriteSound(
        dir.File("talk" + std::to_string(c.rate) + ".wav"), Bursts(c.rate, c.channels),
        c.channels, c.rate);
    const auto j = Silences(file);
    ASSERT_FALSE(j.is_null());
    EXPECT_EQ(j["sample_rate"], c.rate);
    EXPECT_EQ(j["frames"], std::llround(4.0 * c.rate));
    ASSERT_EQ(j["silences"].size(), kPauses.size()) << j.dump();
    for (size_t i = 0; i < kPauses.size(); ++i) {
      const int64_t start = j["silences"][i][0], end = j["silences"][i][1];
      const double startS = j["silences_s"][i][0], endS = j["silences_s"][i][1];
      EXPECT_NEAR(startS, double(start) / c.rate, 1e-6);
      EXPECT_NEAR(endS, double(end) / c.rate, 1e-6);
      // Where the detector puts it at 44.1 kHz, within 20 ms, and inside
      // the pause.
      EXPECT_NEAR(startS, reference[i][0].get<double>(), 0.02) << i;
      EXPECT_NEAR(endS, reference[i][1].get<double>(), 0.02) << i;
      EXPECT_GE(startS, kPauses[i].first - 0.02) << i;
      EXPECT_LE(endS, kPauses[i].second + 0.02) << i;
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
