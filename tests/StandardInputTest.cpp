// "-" as a command's input (standard input, spooled to a temporary file) and
// as export's output, and headerless sound described by the --raw options.
// Every run gets its own TMPDIR, which must be empty once it ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kRaw = " --raw-rate 44100 --raw-channels 1 --raw-encoding s16le";

class StandardInput : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(spool);
    // Sound, a pause, sound: something for the detector to find.
    samples = vxtest::Sine(26460, 1);
    samples.insert(samples.end(), 22050, 0.0f);
    const auto tail = vxtest::Sine(22050, 1);
    samples.insert(samples.end(), tail.begin(), tail.end());
    wav = vxtest::WriteSound(dir.File("talk.wav"), samples, 1);
  }
  // "VX" runs with TMPDIR pointing at the spool folder.
  vxtest::VxOutcome Vx(std::string cmd, const std::string& stdoutTo = "") {
    const std::string with = "TMPDIR=" + spool + " VX ";
    for (size_t at = 0; (at = cmd.find("VX ", at)) != std::string::npos; at += with.size())
      cmd.replace(at, 3, with);
    return vxtest::RunVx(cmd, dir.Path(), stdoutTo);
  }
  void ExpectSpoolEmpty() {
    EXPECT_TRUE(fs::is_empty(spool)) << fs::directory_iterator(spool)->path();
  }

  vxtest::TempDir dir;
  std::string spool = dir.File("spool");
  std::vector<float> samples;
  std::string wav;
};

TEST_F(StandardInput, PipedSoundGivesWhatTheNamedFileGives) {
  const std::string flac = vxtest::WriteSound(dir.File("talk.flac"), samples, 1, 44100,
                                              SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  const std::string ogg = vxtest::WriteSound(dir.File("talk.ogg"), samples, 1, 44100,
                                             SF_FORMAT_OGG | SF_FORMAT_VORBIS);
  const std::string raw = vxtest::WriteSound(dir.File("talk.pcm"), samples, 1, 44100,
                                             SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE);
  struct Case {
    std::string piped, options, named;  // the named file gives the expected result
  };
  for (const Case& c : std::vector<Case>{{wav, "", wav},
                                         {flac, "", flac},
                                         {ogg, "", ogg},
                                         {raw, kRaw, wav}}) {
    SCOPED_TRACE(c.piped);
    const auto expected = Vx("VX silence " + c.named + " --format labels");
    ASSERT_EQ(expected.status, 0) << expected.err;
    ASSERT_FALSE(expected.out.empty());
    const auto piped = Vx("cat " + c.piped + " | VX silence - --format labels" + c.options);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, expected.out);

    const auto info = Vx("VX info -q --json -" + c.options + " < " + c.piped);
    ASSERT_EQ(info.status, 0) << info.err;
    const json j = json::parse(info.out);
    EXPECT_EQ(j["file"], "-");
    EXPECT_EQ(j["frames"], samples.size());
    EXPECT_EQ(j["sample_rate"], 44100);
    ExpectSpoolEmpty();
  }
  // A named headerless file takes the same options.
  const auto named = Vx("VX silence " + raw + " --format labels" + kRaw);
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(named.out, Vx("VX silence " + wav + " --format labels").out);
  // In a batch, "-" is one entry among the others and keeps its name.
  const auto batch = Vx("cat " + flac + " | VX info -q " + wav + " -");
  ASSERT_EQ(batch.status, 0) << batch.err;
  const auto lines = vxtest::Lines(batch.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(json::parse(lines[1])["file"], "-");
  EXPECT_EQ(json::parse(lines[1])["frames"], samples.size());
  ExpectSpoolEmpty();
}

TEST_F(StandardInput, ExportReadsAndWritesStandardStreams) {
  const std::string flac = vxtest::WriteSound(dir.File("in.flac"), samples, 1, 44100,
                                              SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  auto r = Vx("cat " + flac + " | VX export -q - out.wav");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(vxtest::ReadSound(dir.File("out.wav")) == vxtest::ReadSound(flac));

  // Through a pipe, byte for byte what a named OUT gets.
  ASSERT_EQ(Vx("VX export -q " + wav + " direct.wav").status, 0);
  r = Vx("VX export -q " + wav + " - | cat", dir.File("piped.wav"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(vxtest::Slurp(dir.File("piped.wav")) == vxtest::Slurp(dir.File("direct.wav")));
  // --type picks another format; standard input to standard output works too.
  r = Vx("VX export -q - - --type flac < " + wav, dir.File("piped.flac"));
  ASSERT_EQ(r.status, 0) << r.err;
  SF_INFO info{};
  EXPECT_TRUE(vxtest::ReadSound(dir.File("piped.flac"), &info) == vxtest::ReadSound(wav));
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
  ExpectSpoolEmpty();
}

TEST_F(StandardInput, RefusalsAreUsageErrors) {
  for (const std::string& cmd :
       {"VX info " + wav + " - - < " + wav,                    // standard input twice
        "echo " + wav + " | VX info - --files-from - < " + wav,  // both read it
        "VX silence - --raw-rate 44100 < " + wav,                // raw options in part
        "VX export " + wav + " - --type xyz",                    // no such format
        "VX export " + wav + " out.wav --type wav"}) {           // --type is for - only
    SCOPED_TRACE(cmd);
    const size_t at = cmd.find("VX ") + 3;
    vxtest::ExpectOneError(Vx(cmd), 2, "vxaudio " + cmd.substr(at, cmd.find(' ', at) - at) + ": ");
    EXPECT_FALSE(fs::exists(dir.File("out.wav")));
  }
  // Nothing piped in is a failure of the input, named as "-".
  vxtest::ExpectOneError(Vx("VX info - < /dev/null"), 1,
                         "vxaudio info: -: standard input is empty");
  ExpectSpoolEmpty();
}

TEST_F(StandardInput, TerminationWhileReadingLeavesNoTemporary) {
  // A writer that stalls after a header's worth of bytes; vxaudio is the last
  // command of the pipeline, so $! is its pid.
  const auto r = Vx("{ (head -c 4096 " + wav + "; sleep 2) | VX info - & pid=$!; "
                    "for i in $(seq 100); do [ -n \"$(ls -A spool)\" ] && break; sleep 0.05; done; "
                    "kill -TERM $pid; wait $pid; echo $?; }");
  EXPECT_EQ(r.out, "143\n") << r.err;
  ExpectSpoolEmpty();
}

}  // namespace
