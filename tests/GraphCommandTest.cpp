// vxaudio graph's waveform data: the resolution options, per-channel peaks,
// bit depths and their clamping, the output picked by -o's extension, and
// the requests it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

using nlohmann::json;

class Graph : public ::testing::Test {
 protected:
  vxtest::VxOutcome Vx(const std::string& args, const std::string& stdoutTo = "") {
    return vxtest::RunVx("VX graph -q " + args, dir.Path(), stdoutTo);
  }
  json Json(const std::string& args) {
    auto r = Vx(args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    return json::parse(r.out, nullptr, false);
  }
  std::string FloatWav(const std::string& name, const std::vector<float>& v, int channels,
                       int rate = 22050) {
    return vxtest::WriteSound(dir.File(name), v, channels, rate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  }
  vxtest::TempDir dir;
};

std::string Le(uint32_t v, int bytes = 4) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += char((v >> (8 * i)) & 0xFF);
  return s;
}

TEST_F(Graph, PixelsFollowTheResolutionAndAgreeWithTheEngine) {
  const auto noise = vxtest::Noise(1000, 2, 7, 0.8);
  const auto wav = FloatWav("n.wav", noise, 2);
  // Stereo: each column is the min and max of the channels' mean, halves
  // rounded up (+-1 for the float product's rounding); the header comes first.
  const auto r = Vx(wav + " --columns 7 --height 1000 --start 250s --length 700s");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind(R"({"version":2,"channels":1,"sample_rate":22050,"samples_per_pixel":100,)"
                        R"("bits":16,"length":7,"data":[)", 0), 0u) << r.out.substr(0, 120);
  const json columns = json::parse(r.out)["data"];
  ASSERT_EQ(columns.size(), 14u);
  for (int c = 0; c < 7; ++c) {
    double lo = 1e9, hi = -1e9;
    for (int i = 250 + c * 100; i < 350 + c * 100; ++i) {
      const double m = float((double(noise[2 * i]) + noise[2 * i + 1]) * 0.5);
      lo = std::min(lo, m), hi = std::max(hi, m);
    }
    EXPECT_NEAR(columns[2 * c].get<int>(), std::floor(lo * 1000 + 0.5), 1) << c;
    EXPECT_NEAR(columns[2 * c + 1].get<int>(), std::floor(hi * 1000 + 0.5), 1) << c;
  }
  // Where pixels cover the engine's columns, the mixdown's peaks are its own.
  for (const char* bits : {"8", "16"})
    EXPECT_EQ(Json(wav + " -z 100 --bits " + bits)["data"],
              Json(wav + " --columns 10 --bits " + bits)["data"]) << bits;
  // The last pixel holds the peaks of the 100 frames it has.
  const json all = Json(wav + " -z 300")["data"], last = Json(wav + " -z 300 --start 900s")["data"];
  EXPECT_EQ(json({all[6], all[7]}), last);

  for (auto [args, spp, length, channels, bits] :
       {std::tuple{"", 256, 4, 1, 8}, {"-z 300", 300, 4, 1, 8}, {"-z 5000", 5000, 1, 1, 8},
        {"--pixels-per-second 100", 221, 5, 1, 8}, {"--samples-per-pixel 1", 1, 1000, 1, 8},
        {"--columns 3", 333, 3, 1, 16}, {"--columns 3 --split-channels", 333, 3, 2, 16},
        {"--split-channels --bits 16", 256, 4, 2, 16}}) {
    const json j = Json(wav + " " + args);
    EXPECT_EQ(json({j["channels"], j["sample_rate"], j["samples_per_pixel"], j["bits"],
                    j["length"]}),
              json({channels, 22050, spp, bits, length})) << args;
    EXPECT_EQ(j["data"].size(), size_t(2 * length * channels)) << args;
  }
}

TEST_F(Graph, SplitChannelsGiveEachChannelAsIfAlone) {
  const auto both = vxtest::Noise(1000, 2, 9, 0.8);
  std::vector<float> left, right;
  for (size_t i = 0; i < both.size(); i += 2) left.push_back(both[i]), right.push_back(both[i + 1]);
  const auto stereo = FloatWav("s.wav", both, 2);
  const json l = Json(FloatWav("l.wav", left, 1) + " -z 250")["data"];
  const json r = Json(FloatWav("r.wav", right, 1) + " -z 250")["data"];
  const json split = Json(stereo + " --split-channels -z 250")["data"];
  ASSERT_EQ(l.size(), 8u);
  ASSERT_EQ(split.size(), 16u);
  for (size_t p = 0; p < 4; ++p)
    EXPECT_EQ(json({split[4 * p], split[4 * p + 1], split[4 * p + 2], split[4 * p + 3]}),
              json({l[2 * p], l[2 * p + 1], r[2 * p], r[2 * p + 1]})) << p;
  EXPECT_EQ(Json(stereo + " --split-channels --columns 4 --bits 8")["data"], split);
}

TEST_F(Graph, ValuesAreScaledToTheirBitsAndClampedThere) {
  // Pixel 0 beyond full scale (a float file), pixel 1 within it.
  const auto wav =
      vxtest::WriteSound(dir.File("f.wav"), {1.5f, -1.5f, 0, 0, 0.5f, -0.25f, 0.1f, 0}, 1, 44100,
                         SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  for (auto [args, data] :
       {std::pair{"-z 4", json{-128, 127, -32, 64}},
        {"-z 4 --bits 16", json{-32768, 32767, -8192, 16384}},
        {"-z 4 --height 100", json{-128, 127, -25, 50}}})
    EXPECT_EQ(Json(wav + " " + args)["data"], data) << args;
  // CSV shows the values as computed, 16-bit scale by default.
  EXPECT_EQ(Vx(wav + " -z 4 --format csv").out, "column,min,max\n0,-49150,49151\n1,-8192,16384\n");

  ASSERT_EQ(Vx(wav + " -z 4 -o b.dat").status, 0);
  ASSERT_EQ(Vx(wav + " -z 4 --bits 16 -o w.dat").status, 0);
  const std::string header = Le(44100) + Le(4) + Le(2) + Le(1);
  EXPECT_EQ(vxtest::Slurp(dir.File("b.dat")),
            Le(2) + Le(1) + header + Le(uint8_t(-128), 1) + Le(127, 1) + Le(uint8_t(-32), 1) +
                Le(64, 1));
  EXPECT_EQ(vxtest::Slurp(dir.File("w.dat")),
            Le(2) + Le(0) + header + Le(uint16_t(-32768), 2) + Le(32767, 2) +
                Le(uint16_t(-8192), 2) + Le(16384, 2));
}

TEST_F(Graph, OutputFollowsTheExtensionUnlessFormatSays) {
  const auto wav = vxtest::WriteSound(dir.File("s.wav"), vxtest::Sine(2000, 1), 1);
  const std::string dat8 = Le(2) + Le(1);
  for (auto [args, file, start] :
       {std::tuple{"-o a.JSON", "a.JSON", "{\"version\":2,"}, {"-o a.Dat", "a.Dat", dat8.c_str()},
        {"-o a.csv", "a.csv", "column,min,max\n"}, {"-o a.txt", "a.txt", "{\"version\":2,"},
        {"--format csv -o b.json", "b.json", "column,"}, {"-o p.png", "p.png", "\x89PNG"}}) {
    const auto r = Vx(wav + " " + args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    EXPECT_TRUE(*file == 'p' || r.out.empty()) << args << ": " << r.out;  // data: the file only
    EXPECT_EQ(vxtest::Slurp(dir.File(file)).rfind(start, 0), 0u) << args;
  }
  // Binary data reaches standard output only when asked for by name.
  EXPECT_EQ(Vx(wav + " --format dat -o -").out.rfind(dat8, 0), 0u);
}

TEST_F(Graph, RefusesImpossibleRequestsWithOneLine) {
  const auto wav = vxtest::WriteSound(dir.File("s.wav"), vxtest::Sine(1000, 1), 1, 22050);
  for (auto [args, status, needle] :
       {std::tuple{"--columns 10 -z 5", 2, "give one of"},
        {"-z 5 --pixels-per-second 10", 2, "give one of"},
        {"-z 0", 2, "--samples-per-pixel 0"},
        {"--pixels-per-second 22051", 2, "more than the file's 22050"},
        {"--columns 0", 2, "--columns 0"},
        {"--columns 1001", 2, "--columns 1001 is more than the 1000 frames"},
        {"--height 0", 2, "--height 0"},
        {"--bits 12", 2, "--bits 12"},
        {"--bits 8 --height 200", 2, "between 1 and 127"},
        {"--format xml", 2, "--format xml"},
        {"--format dat", 2, "-o OUT.dat"},
        {"--start -1", 2, "--start -1 is negative"},
        // 2^32 + 500 frames: wrapped to 32 bits it would land inside the file.
        {"--start 4294967796s", 2, "--start 4294967796s is beyond"},
        {"--length -5", 2, "--length -5 is negative"},
        {"--start 1000s", 1, "past the end"},
        {"-z 10 -o p.png", 2, "--samples-per-pixel does not apply to pictures"},
        {"--split-channels -o p.svg", 2, "--split-channels does not apply"},
        {"--size 300x100 -o a.json", 2, "--size"}}) {
    SCOPED_TRACE(args);
    vxtest::ExpectOneError(Vx(wav + " " + args), status, "vxaudio graph: " + wav + ": ", needle);
  }
  for (const char* f : {"p.png", "p.svg", "a.json"})
    EXPECT_FALSE(std::filesystem::exists(dir.File(f))) << f;
  // A length past the end is cut to the end: 50 frames in 10 columns of 5.
  EXPECT_EQ(Json(wav + " --columns 10 --start 950s --length 2147483647s")["samples_per_pixel"], 5);
  // An empty file, and a full disk (reported, not ignored).
  const auto empty = vxtest::WriteSound(dir.File("e.wav"), {}, 1);
  for (const auto& [r, err] :
       {std::pair{Vx(empty + " --columns 1"),
                  "vxaudio graph: " + empty + ": the file has no frames\n"},
        {Vx(wav + " --columns 10", "/dev/full"),
         "vxaudio graph: standard output: write failed: No space left on device\n"}})
    EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(1, "", err));
}

}  // namespace
