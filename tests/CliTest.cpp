// The vxaudio program as a user meets it: run as a subprocess, judged by its
// exit status, standard output (results only) and standard error (one error
// line on failure).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <tuple>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

using vxtest::Slurp;
using Outcome = vxtest::VxOutcome;

class Cli : public ::testing::Test {
 protected:
  Outcome Vx(const std::string& args, const std::string& stdoutTo = "") {
    return vxtest::RunVx("VX " + args, dir.Path(), stdoutTo);
  }
  // A failure must say exactly one thing, naming the command and the file.
  void ExpectOneError(const Outcome& r, int status, const std::string& prefix,
                      const std::string& needle = "") {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
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
  EXPECT_EQ((nlohmann::json{j["sample_rate"], j["channels"], j["frames"], j["extension"]}),
            nlohmann::json::parse(R"([44100, 2, 22050, "wav"])"));
  EXPECT_NEAR(j["duration"].get<double>(), 0.5, 1e-9);
  EXPECT_NEAR(j["peak"].get<double>(), 0.5, 1e-3);

  // A silent file and one without frames are described, not refused.
  for (auto& f : {vxtest::WriteSound(dir.File("z.wav"), std::vector<float>(300, 0.f), 3),
                  vxtest::WriteSound(dir.File("e.wav"), {}, 1)}) {
    Outcome r = Vx("info -q --json " + f);
    EXPECT_EQ(r.status, 0) << f << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["peak"], 0.0);
  }
}

TEST_F(Cli, UnreadableInputsFailWithOneLineNamingTheFile) {
  auto text = vxtest::WriteBytes(dir.File("text.wav"), "this is not a sound file\n");
  std::filesystem::create_directory(dir.File("d.wav"));
  for (auto [cmd, rest] : {std::pair{"info", ""}, {"graph", " --columns 10"}, {"export", " out.wav"}})
    for (const auto& f : {dir.File("missing.wav"), dir.File("d.wav"), text})
      ExpectOneError(Vx(std::string(cmd) + " -q " + f + rest), 1,
                     std::string("vxaudio ") + cmd + ": " + f + ": ");
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.wav")));
}

TEST_F(Cli, GraphMatchesAnIndependentMinMaxPerColumn) {
  // Stereo, so the overview must be drawn from the mean of the channels.
  const int columns = 7, height = 1000, width = 100, start = 250;
  auto samples = vxtest::Noise(1000, 2, 7, 0.8);
  auto wav = vxtest::WriteSound(dir.File("n.wav"), samples, 2, 22050,
                                SF_FORMAT_WAV | SF_FORMAT_FLOAT);
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
      lo = std::min(lo, m), hi = std::max(hi, m);
    }
    // Halves round up; +-1 leaves room for the float product's rounding.
    EXPECT_NEAR(j["data"][2 * c].get<int>(), std::floor(lo * height + 0.5), 1) << c;
    EXPECT_NEAR(j["data"][2 * c + 1].get<int>(), std::floor(hi * height + 0.5), 1) << c;
  }

  // The same columns as CSV, written to a file and not to standard output.
  Outcome csv = Vx("graph -q " + wav + " --columns 7 --height 1000 --start 250 --length 700 "
                   "--format csv -o " + dir.File("g.csv"));
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "");
  std::string want = "column,min,max\n";
  for (int c = 0; c < columns; ++c)
    want += std::to_string(c) + "," + j["data"][2 * c].dump() + "," + j["data"][2 * c + 1].dump() + "\n";
  EXPECT_EQ(Slurp(dir.File("g.csv")), want);
}

TEST_F(Cli, GraphRefusesImpossibleRequests) {
  auto wav = vxtest::WriteSound(dir.File("s.wav"), vxtest::Sine(100, 1), 1);
  const std::string p = "vxaudio graph: " + wav + ": ";
  for (auto [opt, named] : {std::pair{"0", "--columns"}, {"101", "--columns"},
                            {"10 --height 0", "--height"},
                            {"10 --format xml", "--format"}, {"10 --start -1", "--start"},
                            {"10 --start 4294967396", "--start"}, {"10 --length -5", "--length"}})
    ExpectOneError(Vx("graph -q " + wav + " --columns " + opt), 2, p, named);
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
  EXPECT_EQ(std::tuple(info.format, info.channels, info.samplerate),
            std::tuple(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 48000));
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
  EXPECT_TRUE(out[0] > 0.99f && out[2] < -0.99f && out[6] > 0.99f) << out[0] << out[2] << out[6];

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

  const char* kinds = "aif, wav, snd, olvex, sf";
  for (auto [to, status, needle] :
       {std::tuple{"o.WAV", 2, kinds}, {"noext", 2, kinds}, {"o.mp3", 2, kinds}, {"o.", 2, kinds},
        {"o.wav --bits 32", 2, "--bits"}, {"o.wav --channels 3", 2, "--channels"},
        {"o.wav --bits 8", 2, "8-bit"}, {"o.wav --start 2000", 1, "past the end"},
        {"nodir/o.wav", 1, ""}})
    ExpectOneError(Vx("export -q " + src + " " + dir.File(to)), status, "vxaudio export: ", needle);
  // Only hard.wav, src.wav and sub: no output and no temporary file left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);

  // An existing output is replaced only when asked, and then completely.
  auto keep = vxtest::WriteBytes(dir.File("keep.wav"), "precious");
  ExpectOneError(Vx("export -q " + src + " " + keep), 1, "vxaudio export: " + keep + ": ",
                 "--force");
  EXPECT_EQ(Slurp(keep), "precious");
  EXPECT_EQ(Vx("export -q " + src + " " + keep + " --force").status, 0);
  EXPECT_EQ(vxtest::ReadSound(keep).size(), 2u * 2000);
}

TEST_F(Cli, SilenceLabelsTheSilencesTheSoundsOrBoth) {
  // Sound, a pause, sound, so that sounds lie before, between and after.
  auto samples = vxtest::Sine(26460, 1);
  samples.insert(samples.end(), 22050, 0.0f);
  auto tail = vxtest::Sine(22050, 1);
  samples.insert(samples.end(), tail.begin(), tail.end());
  samples.insert(samples.begin(), 17640, 0.0f);
  auto wav = vxtest::WriteSound(dir.File("p.wav"), samples, 1);
  const std::string end = "2.000000";  // the last sound runs to the end of the file
  std::vector<std::vector<std::string>> all;
  for (auto [what, kinds] :
       {std::pair<std::string, std::vector<std::string>>{"", {"silence", "silence"}},
        {" --what silence", {"silence", "silence"}},
        {" --what sound", {"sound", "sound"}},
        {" --what both", {"silence", "sound", "silence", "sound"}}}) {
    SCOPED_TRACE(what);
    Outcome r = Vx("silence " + wav + " --format labels" + what);
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = vxtest::Lines(r.out);
    ASSERT_EQ(lines.size(), kinds.size()) << r.out;
    std::string at = "0.000000";
    for (size_t i = 0; i < lines.size(); ++i) {
      std::istringstream in(lines[i]);
      std::string from, to, text;
      std::getline(in, from, '\t'), std::getline(in, to, '\t'), std::getline(in, text);
      EXPECT_EQ(text, kinds[i]) << lines[i];
      // Both together cover the file, each stretch starting where the last ended.
      if (what == " --what both") {
        EXPECT_EQ(from, at) << lines[i];
      }
      at = to;
    }
    if (kinds.back() == "sound") {
      EXPECT_EQ(at, end);
    }
    all.push_back(lines);
  }
  // The same silences and sounds, whichever are asked for.
  EXPECT_EQ(all[0], all[1]);
  EXPECT_EQ(all[3], (std::vector<std::string>{all[0][0], all[2][0], all[0][1], all[2][1]}));

  // --what is for labels only; an unknown kind is a usage error too.
  for (auto args : {" --what sound", " --format json --what both", " --format csv --what silence",
                    " --format labels --what noise"})
    ExpectOneError(Vx("silence " + wav + args), 2, "vxaudio", "--what");
}

}  // namespace
