// The vxaudio program as a user meets it: run as a subprocess, judged by its
// exit status, standard output (results only) and standard error (one error
// line on failure).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "SoundFixture.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

class Cli : public ::testing::Test {
 protected:
  // Arguments are single-quoted for the shell; test paths hold no quotes.
  Outcome Vx(const std::string& args, const std::string& stdoutTo = "") {
    const std::string out = dir.File("stdout"), err = dir.File("stderr");
    std::string cmd = std::string(VX_BUILD_DIR) + "/vxaudio " + args + " >" +
                      (stdoutTo.empty() ? out : stdoutTo) + " 2>" + err;
    int raw = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = stdoutTo.empty() ? Slurp(out) : "";
    r.err = Slurp(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
  }
  // A failure must say exactly one thing, naming the command and the file.
  void ExpectOneError(const Outcome& r, int status, const std::string& prefix,
                      const std::string& needle = "") {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.out, "");
    auto lines = r.ErrLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(needle), std::string::npos) << lines[0];
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir.Path()))
      names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  vxtest::TempDir dir;
};

TEST_F(Cli, InfoDescribesTheFileAsTextAndJson) {
  auto wav = vxtest::WriteSound(dir.File("s.wav"), vxtest::Sine(22050, 2), 2, 44100);
  Outcome text = Vx("info " + wav);
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("frames       22050\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("duration     0.500 s"), std::string::npos);
  EXPECT_NE(text.err.find("InitAudio"), std::string::npos) << "engine lines go to stderr";
  EXPECT_EQ(text.out.find("InitAudio"), std::string::npos) << "and never to stdout";

  Outcome js = Vx("info --quiet --json " + wav);
  EXPECT_EQ(js.status, 0);
  EXPECT_EQ(js.err, "");
  auto j = nlohmann::json::parse(js.out);
  EXPECT_EQ(j["sample_rate"], 44100);
  EXPECT_EQ(j["channels"], 2);
  EXPECT_EQ(j["frames"], 22050);
  EXPECT_EQ(j["extension"], "wav");
  EXPECT_NEAR(j["duration"].get<double>(), 0.5, 1e-9);
  EXPECT_NEAR(j["peak"].get<double>(), 0.5, 1e-3);

  // A silent file and one without frames are described, not refused.
  auto silent = vxtest::WriteSound(dir.File("z.wav"), std::vector<float>(300, 0.f), 3);
  auto empty = vxtest::WriteSound(dir.File("e.wav"), {}, 1);
  for (auto& f : {silent, empty}) {
    Outcome r = Vx("info -q --json " + f);
    EXPECT_EQ(r.status, 0) << f << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["peak"], 0.0);
  }
}

TEST_F(Cli, UnreadableInputsFailWithOneLineNamingTheFile) {
  auto text = vxtest::WriteBytes(dir.File("text.wav"), "this is not a sound file\n");
  std::filesystem::create_directory(dir.File("d.wav"));
  const std::string missing = dir.File("missing.wav");
  for (const auto& cmd : {"info", "graph", "export"}) {
    for (const auto& f : {missing, dir.File("d.wav"), text}) {
      std::string args = std::string(cmd) + " -q " + f;
      if (std::string(cmd) == "graph") args += " --columns 10";
      if (std::string(cmd) == "export") args += " " + dir.File("out.wav");
      ExpectOneError(Vx(args), 1, "vxaudio " + std::string(cmd) + ": " + f + ": ");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.wav")));
}

TEST_F(Cli, GraphMatchesAnIndependentMinMaxPerColumn) {
  // Stereo, so the overview must be drawn from the mean of the channels.
  const int columns = 7, height = 1000;
  auto samples = vxtest::Noise(1000, 2, 7, 0.8);
  auto wav = vxtest::WriteSound(dir.File("n.wav"), samples, 2, 22050,
                                SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  const int width = 100, start = 250;
  Outcome js = Vx("graph -q " + wav + " --columns 7 --height 1000 --start 250 --length 700");
  ASSERT_EQ(js.status, 0) << js.err;
  auto j = nlohmann::json::parse(js.out);
  EXPECT_EQ(js.out.rfind(R"({"version":2,"channels":1,"sample_rate":22050,"samples_per_pixel":100,)"
                         R"("bits":16,"length":7,"data":[)", 0), 0u) << js.out.substr(0, 120);
  ASSERT_EQ(j["data"].size(), size_t(2 * columns));
  for (int c = 0; c < columns; ++c) {
    double lo = 1e9, hi = -1e9;
    for (int i = start + c * width; i < start + (c + 1) * width; ++i) {
      double m = float((double(samples[2 * i]) + samples[2 * i + 1]) * 0.5);
      lo = std::min(lo, m);
      hi = std::max(hi, m);
    }
    // Halves round up; +-1 leaves room for the float product's rounding.
    EXPECT_NEAR(j["data"][2 * c].get<int>(), std::floor(lo * height + 0.5), 1) << c;
    EXPECT_NEAR(j["data"][2 * c + 1].get<int>(), std::floor(hi * height + 0.5), 1) << c;
  }

  const std::string csvPath = dir.File("g.csv");
  Outcome csv = Vx("graph -q " + wav + " --columns 7 --height 1000 --start 250 --length 700 "
               "--format csv -o " + csvPath);
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "");
  std::istringstream in(Slurp(csvPath));
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "column,min,max");
  for (int c = 0; c < columns; ++c) {
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, std::to_string(c) + "," + j["data"][2 * c].dump() + "," +
                        j["data"][2 * c + 1].dump());
  }
  EXPECT_FALSE(std::getline(in, line));
}

TEST_F(Cli, GraphRefusesImpossibleRequests) {
  auto wav = vxtest::WriteSound(dir.File("s.wav"), vxtest::Sine(100, 1), 1);
  const std::string p = "vxaudio graph: " + wav + ": ";
  ExpectOneError(Vx("graph -q " + wav + " --columns 0"), 2, p, "--columns");
  ExpectOneError(Vx("graph -q " + wav + " --columns 101"), 2, p, "--columns");
  ExpectOneError(Vx("graph -q " + wav + " --columns 10 --height 0"), 2, p, "--height");
  ExpectOneError(Vx("graph -q " + wav + " --columns 10 --format xml"), 2, p, "--format");
  ExpectOneError(Vx("graph -q " + wav + " --columns 10 --start -1"), 2, p, "--start");
  ExpectOneError(Vx("graph -q " + wav + " --columns 10 --start 4294967396"), 2, p, "--start");
  ExpectOneError(Vx("graph -q " + wav + " --columns 10 --length -5"), 2, p, "--length");
  ExpectOneError(Vx("graph -q " + wav + " --columns 10 --start 100"), 1, p, "past the end");
  // A length past the end is cut to the end: 50 frames in 10 columns of 5.
  Outcome cut = Vx("graph -q " + wav + " --columns 10 --start 50 --length 2147483647");
  EXPECT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(nlohmann::json::parse(cut.out)["samples_per_pixel"], 5);
  auto empty = vxtest::WriteSound(dir.File("e.wav"), {}, 1);
  ExpectOneError(Vx("graph -q " + empty + " --columns 1"), 1, "vxaudio graph: " + empty + ": ",
                 "no frames");
  // The overview never overwrites the file it draws.
  const std::string before = Slurp(wav);
  ExpectOneError(Vx("graph -q " + wav + " --columns 10 -o " + wav), 2, "vxaudio graph: ");
  EXPECT_EQ(Slurp(wav), before);
  // A full disk is reported, not ignored.
  ExpectOneError(Vx("graph -q " + wav + " --columns 10", "/dev/full"), 1,
                 "vxaudio graph: standard output: ");
}

TEST_F(Cli, ExportWritesTheRequestedLayout) {
  auto mono = vxtest::Sine(5000, 1);
  auto src = vxtest::WriteSound(dir.File("m.flac"), mono, 1, 48000,
                                SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  Outcome r = Vx("export -q " + src + " " + dir.File("o.wav"));
  ASSERT_EQ(r.status, 0) << r.err;
  SF_INFO info{};
  auto out = vxtest::ReadSound(dir.File("o.wav"), &info);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.samplerate, 48000);
  ASSERT_EQ(info.frames, 5000);
  for (int i = 0; i < 5000; i += 37) {
    EXPECT_NEAR(out[2 * i], mono[i], 1e-4);
    EXPECT_EQ(out[2 * i], out[2 * i + 1]);
  }

  // Stereo to a range of mono 24-bit AIFF: the mean of the channels.
  auto stereo = vxtest::Noise(3000, 2, 3);
  auto s2 = vxtest::WriteSound(dir.File("s.wav"), stereo, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  r = Vx("export -q " + s2 + " " + dir.File("o.aif") + " --bits 24 --channels 1 --start 1000 --length 500");
  ASSERT_EQ(r.status, 0) << r.err;
  out = vxtest::ReadSound(dir.File("o.aif"), &info);
  EXPECT_EQ(info.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
  ASSERT_EQ(info.frames, 500);
  for (int i = 0; i < 500; i += 13)
    EXPECT_NEAR(out[i], (stereo[2 * (1000 + i)] + stereo[2 * (1000 + i) + 1]) / 2, 1e-6);

  // Integer output clips samples beyond full scale instead of wrapping.
  auto loud = vxtest::WriteSound(dir.File("loud.wav"), {1.5f, -1.5f, 0.25f, 2.0f}, 1, 44100,
                                 SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  ASSERT_EQ(Vx("export -q " + loud + " " + dir.File("c.snd") + " --bits 8").status, 0);
  out = vxtest::ReadSound(dir.File("c.snd"), &info);
  ASSERT_EQ(out.size(), 8u);
  EXPECT_GT(out[0], 0.99f);
  EXPECT_LT(out[2], -0.99f);
  EXPECT_GT(out[6], 0.99f);

  // Six channels only mix down to mono.
  auto six = vxtest::WriteSound(dir.File("six.wav"), vxtest::Noise(100, 6), 6);
  ExpectOneError(Vx("export -q " + six + " " + dir.File("six2.wav")), 1,
                 "vxaudio export: " + six + ": ", "--channels 1");
  EXPECT_EQ(Vx("export -q " + six + " " + dir.File("six1.wav") + " --channels 1").status, 0);

  // A header promising more than the file holds still exports what is there.
  auto cut = vxtest::WriteOverclaimingWav(dir.File("cut.wav"), vxtest::Sine(1000, 1), 1, 5000);
  r = Vx("export -q " + cut + " " + dir.File("cut2.wav"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LE(vxtest::ReadSound(dir.File("cut2.wav")).size(), 2u * 5000);
}

TEST_F(Cli, ExportNeverHarmsExistingFilesAndLeavesNothingOnFailure) {
  auto src = vxtest::WriteSound(dir.File("src.wav"), vxtest::Sine(2000, 2), 2);
  const std::string original = Slurp(src);
  std::filesystem::create_directory(dir.File("sub"));
  link(src.c_str(), dir.File("hard.wav").c_str());
  // The source itself, however it is spelled, is never an output.
  for (const auto& same : {src, dir.File("sub/../src.wav"), dir.File("hard.wav")})
    ExpectOneError(Vx("export -q " + src + " " + same + " --force"), 2,
                   "vxaudio export: " + same + ": ", "source");
  EXPECT_EQ(Slurp(src), original);

  for (const auto& bad : {"o.WAV", "noext", "o.mp3", "o."})
    ExpectOneError(Vx("export -q " + src + " " + dir.File(bad)), 2, "vxaudio export: ",
                   "aif, wav, snd, olvex, sf");
  ExpectOneError(Vx("export -q " + src + " " + dir.File("o.wav") + " --bits 32"), 2,
                 "vxaudio export: ", "--bits");
  ExpectOneError(Vx("export -q " + src + " " + dir.File("o.wav") + " --channels 3"), 2,
                 "vxaudio export: ", "--channels");
  ExpectOneError(Vx("export -q " + src + " " + dir.File("o.wav") + " --bits 8"), 2,
                 "vxaudio export: ", "8-bit");
  ExpectOneError(Vx("export -q " + src + " " + dir.File("o.wav") + " --start 2000"), 1,
                 "vxaudio export: ", "past the end");
  ExpectOneError(Vx("export -q " + src + " " + dir.File("nodir/o.wav")), 1, "vxaudio export: ");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"hard.wav", "src.wav", "sub"}))
      << "no output and no temporary file left behind";

  // An existing output is replaced only when asked, and then completely.
  auto keep = vxtest::WriteBytes(dir.File("keep.wav"), "precious");
  ExpectOneError(Vx("export -q " + src + " " + keep), 1, "vxaudio export: " + keep + ": ",
                 "--force");
  EXPECT_EQ(Slurp(keep), "precious");
  EXPECT_EQ(Vx("export -q " + src + " " + keep + " --force").status, 0);
  EXPECT_EQ(vxtest::ReadSound(keep).size(), 2u * 2000);
}

}  // namespace
