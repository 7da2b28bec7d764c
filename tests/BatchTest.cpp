// vxaudio over many files, run as a subprocess: one JSON line per input in
// input order, failures in place, file lists, and the same work spread by
// GNU parallel.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

using nlohmann::json;

struct Outcome {
  int status;
  std::vector<std::string> out, err;  // lines
};

class Batch : public ::testing::Test {
 protected:
  // `cmd` is a shell command line run in the scratch directory; "VX" stands for the program.
  Outcome Sh(const std::string& cmd) {
    auto r = vxtest::RunVx(cmd, dir.Path());
    return {r.status, vxtest::Lines(r.out), vxtest::Lines(r.err)};
  }
  // Tone, a stretch of digital silence `gap` seconds long, tone: one silence
  // to find, at a place that differs from file to file.
  std::string Sound(const std::string& name, double lead, double gap) {
    const int rate = 44100;
    std::vector<float> v = vxtest::Sine(int64_t(lead * rate), 1, rate, 441.0, 0.5);
    v.resize(v.size() + size_t(gap * rate), 0.0f);
    auto tail = vxtest::Sine(rate / 2, 1, rate, 441.0, 0.5);
    v.insert(v.end(), tail.begin(), tail.end());
    return vxtest::WriteSound(dir.File(name), v, 1, rate);
  }

  vxtest::TempDir dir;
};

// Five sounds with their silence at different places, the first far longer:
// with two jobs, later files finish first, and a result given to another
// file's line shows.
TEST_F(Batch, LinesFollowTheInputAndFailuresKeepTheirPlace) {
  std::vector<json> alone;  // each sound's one-file result
  for (int k = 0; k < 5; ++k) {
    const double lead = k == 0 ? 20.0 : 0.5, gap = k == 0 ? 0.8 : 0.2 + 0.1 * k;
    const std::string name = "s" + std::to_string(k) + ".wav";
    Sound(name, lead, gap);
    alone.push_back(json::parse(vxtest::RunVx("VX silence --format json " + name, dir.Path()).out));
    // Inside the gap (the detector's decaying threshold starts it late).
    const json& s = alone.back()["silences_s"];
    ASSERT_EQ(s.size(), 1u) << name;
    EXPECT_GE(s[0][0].get<double>(), lead - 0.01) << name;
    EXPECT_LE(s[0][1].get<double>(), lead + gap + 0.01) << name;
    EXPECT_GT(s[0][1].get<double>(), lead + gap - 0.1) << name;
  }
  // 200 entries, the long sound first: every ninth is not a sound, f100 is missing.
  auto sound = [](int i) { return i == 0 ? 0 : 1 + i % 4; };
  std::string list;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "f" + std::to_string(i) + ".wav";
    if (i % 9 == 8)
      vxtest::WriteBytes(dir.File(name), "broken\n");
    else if (i != 100)
      std::filesystem::copy_file(dir.File("s" + std::to_string(sound(i)) + ".wav"), dir.File(name));
    list += " " + name;
  }
  for (const std::string cmd : {"info", "silence"}) {
    Outcome two = Sh("VX " + cmd + " --jobs 2" + list);
    EXPECT_EQ(two.status, 1) << cmd;
    ASSERT_EQ(two.out.size(), 200u) << cmd;
    // Standard error: one line per failed file in input order, nothing from the engine.
    ASSERT_EQ(two.err.size(), 23u) << cmd;
    EXPECT_EQ(two.err[0].rfind("vxaudio " + cmd + ": f8.wav: ", 0), 0u) << two.err[0];
    EXPECT_EQ(two.err[11], "vxaudio " + cmd + ": f100.wav: no such file");
    for (int i = 0; i < 200; ++i) {
      json line = json::parse(two.out[size_t(i)]);
      EXPECT_EQ(line["file"], "f" + std::to_string(i) + ".wav") << cmd;
      if (i % 9 == 8 || i == 100) {
        EXPECT_TRUE(line.size() == 2 && line["error"].is_string()) << two.out[size_t(i)];
      } else if (cmd == "silence") {  // the same result as the one-file command
        line["file"] = alone[size_t(sound(i))]["file"];
        EXPECT_EQ(line, alone[size_t(sound(i))]) << i;
      }
    }
    // One worker or two: the same bytes.
    EXPECT_EQ(Sh("VX " + cmd + " --jobs 1" + list).out, two.out) << cmd;
  }
}

TEST_F(Batch, FileListsAndWhatMakesABatch) {
  Sound("a.wav", 0.5, 0.4);
  Sound("b.wav", 0.5, 0.5);
  vxtest::WriteBytes(dir.File("list"), "b.wav\n\ngone.wav\r\na.wav\n");
  // One file keeps its output unless a batch is asked for.
  const std::string plain = vxtest::RunVx("VX info -q --json a.wav", dir.Path()).out;
  EXPECT_GT(vxtest::Lines(plain).size(), 5u) << "indented as before";
  Outcome one = Sh("VX info --jobs 1 a.wav");
  ASSERT_EQ(one.out.size(), 1u);
  EXPECT_EQ(json::parse(one.out[0]), json::parse(plain));

  // Command-line files first, then the list; blank lines skipped, CRLF read.
  Outcome r = Sh("VX info --files-from list a.wav");
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.out.size(), 4u);
  std::vector<std::string> files;
  for (auto& l : r.out) files.push_back(json::parse(l)["file"]);
  EXPECT_EQ(files, (std::vector<std::string>{"a.wav", "b.wav", "gone.wav", "a.wav"}));
  EXPECT_EQ(json::parse(r.out[2])["error"], "no such file");
  EXPECT_EQ(json::parse(r.out[1])["frames"], 3 * 44100 / 2);
  // a.wav twice: worked on once, said once, both lines alike.
  EXPECT_EQ(r.out[3], r.out[0]);
  ASSERT_EQ(r.err.size(), 2u);
  EXPECT_NE(r.err[0].find("a.wav: warning: listed again as entry 4"), std::string::npos) << r.err[0];

  Outcome in = Sh("printf 'a.wav\\nb.wav\\n' | VX silence --files-from -");
  ASSERT_EQ(std::tuple(in.status, in.out.size(), in.err.size()), std::tuple(0, 2u, 0u));
  EXPECT_EQ(json::parse(in.out[1])["file"], "b.wav");

  // A list that cannot be read, or holds nothing: usage errors, no output.
  for (const char* cmd : {"VX info --files-from nolist", "VX silence --files-from - </dev/null"}) {
    Outcome bad = Sh(cmd);
    EXPECT_EQ(std::tuple(bad.status, bad.out.size(), bad.err.size()), std::tuple(2, 0u, 1u)) << cmd;
  }
  // Options that would put something else than JSON Lines on standard output.
  for (const char* opt : {"--format csv", "-o out.txt", "-v", "--jobs -1"}) {
    Outcome refused = Sh(std::string("VX silence a.wav a.wav ") + opt);
    EXPECT_EQ(std::pair(refused.status, refused.out.size()), std::pair(2, size_t{0})) << opt;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.txt")));
}

TEST_F(Batch, GnuParallelRecipeGathersTheSameLines) {
  if (Sh("parallel --version").status != 0) GTEST_SKIP() << "GNU parallel not installed";
  std::string names;
  for (int i = 0; i < 8; ++i) names += " " + Sound("p" + std::to_string(i) + ".wav", 0.3 + 0.1 * i, 0.3);
  names += " missing.wav";
  Outcome local = Sh("VX silence --jobs 2" + names);
  // ":" is this machine in the host list; -k keeps the input order.
  Outcome par = Sh("parallel --will-cite -k --sshlogin 2/: VX silence --format json --jobs 1 {} :::" + names);
  EXPECT_EQ(par.status, 1) << "one failed job";
  EXPECT_EQ(par.out, local.out);
  // Per-host batches of several files each give the same lines too.
  Outcome chunked = Sh("parallel --will-cite -k --sshlogin 1/: -N 4 VX silence --jobs 2 {} :::" + names);
  EXPECT_EQ(chunked.out, local.out);
}

}  // namespace
