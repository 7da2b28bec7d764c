// vxaudio info as a listing of an archive: how each file is stored, its size,
// length and text tags, and --no-peak giving that listing without the scan.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

using json = nlohmann::json;

class Info : public ::testing::Test {
 protected:
  vxtest::VxOutcome Vx(const std::string& args) { return vxtest::RunVx("VX " + args, dir.Path()); }
  // One file's output, which must succeed without a word on standard error.
  std::string Out(const std::string& args) {
    auto r = Vx("info -q " + args);
    EXPECT_EQ(std::tuple(r.status, r.err), std::tuple(0, "")) << args;
    return r.out;
  }
  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
  vxtest::TempDir dir;
};

TEST_F(Info, EachKindOfFileWithAndWithoutThePeakScan) {
  const vxtest::SoundStrings tags = {{SF_STR_TITLE, "Interview 3"},
                                     {SF_STR_ARTIST, "A. Person"},
                                     {SF_STR_COMMENT, "tape 2\nside B"},
                                     {SF_STR_DATE, "1987-05-01"},
                                     {SF_STR_TRACKNUMBER, "3"}};
  struct Case {
    const char *name, *container;  // the container's usual extension
    int format;
    json bits, kind;
    vxtest::SoundStrings tags;
  };
  const std::vector<Case> cases = {
      {"i16.wav", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16, "integer", {}},
      {"i24.wav", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 24, "integer", {}},
      {"f32.wav", "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 32, "float", {}},
      {"mu.wav", "wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 8, "mu-law", {}},
      {"tagged.flac", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 24, "integer", tags},
      {"lossy.ogg", "oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS, nullptr, nullptr, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = vxtest::WriteSound(dir.File(c.name), vxtest::Sine(66150, 2), 2, 44100,
                                         c.format, c.tags);
    const json j = json::parse(Out("--json " + path));
    EXPECT_EQ(json({j["file_size"], j["sample_rate"], j["channels"], j["frames"], j["extension"]}),
              json({std::filesystem::file_size(path), 44100, 2, 66150, c.container}));
    EXPECT_EQ(j["bit_depth"], c.bits);
    EXPECT_EQ(j["sample_format"], c.kind);
    EXPECT_EQ(j["duration"], 1.5);
    EXPECT_EQ(j["duration_hms"], "00:00:01.500");
    EXPECT_NEAR(j["peak"].get<double>(), 0.5, 0.02);  // mu-law and Vorbis round
    const json tagged = {{"title", "Interview 3"}, {"artist", "A. Person"},
                          {"comment", "tape 2\nside B"}, {"date", "1987-05-01"},
                          {"tracknumber", "3"}};
    EXPECT_EQ(j["tags"], c.tags.empty() ? json::object() : tagged);

    const std::string text = Out(path);
    EXPECT_TRUE(Has(text, "\nfile size    " + std::to_string(j["file_size"].get<long>()) +
                              " bytes\n")) << text;
    EXPECT_EQ(Has(text, "\nbit depth    "), !c.bits.is_null()) << text;
    if (!c.bits.is_null()) {
      EXPECT_TRUE(Has(text, "\nbit depth    " + c.bits.dump() + " (" +
                                c.kind.get<std::string>() + ")\n")) << text;
    }
    EXPECT_TRUE(Has(text, "\nduration     1.500 s (00:00:01.500)\n")) << text;
    // -v adds the engine's lines on standard error and nothing on standard output.
    const auto verbose = Vx("info -v " + path);
    EXPECT_EQ(verbose.out, text);
    EXPECT_NE(verbose.err.find("=>AudioFile::InitAudio=>"), std::string::npos) << verbose.err;
    EXPECT_EQ(Has(text, "\ntitle        Interview 3\n"
                        "artist       A. Person\n"
                        "comment      tape 2\n"
                        "             side B\n"),
              !c.tags.empty()) << text;

    // --no-peak: the same listing, less the peak.
    json lessPeak = j;
    lessPeak.erase("peak");
    EXPECT_EQ(json::parse(Out("--no-peak --json " + path)), lessPeak);
    std::string textLessPeak = text;
    const size_t at = text.find("\npeak ");
    ASSERT_NE(at, std::string::npos);
    textLessPeak.erase(at + 1, text.find('\n', at + 1) - at);
    EXPECT_EQ(Out("--no-peak " + path), textLessPeak);
  }
}

TEST_F(Info, ClockCountsHoursAndRoundsToTheMillisecondAndNothingIsRefused) {
  // 11171 frames at 3 Hz: 3723.666... s.
  auto slow = vxtest::WriteSound(dir.File("slow.wav"), vxtest::Noise(11171, 1), 1, 3);
  auto empty = vxtest::WriteSound(dir.File("empty.wav"), {}, 1);
  EXPECT_EQ(json::parse(Out("--json " + slow))["duration_hms"], "01:02:03.667");
  EXPECT_EQ(json::parse(Out("--json --no-peak " + empty))["duration_hms"], "00:00:00.000");
  // A file without frames and a silent one are described, not refused.
  auto silent = vxtest::WriteSound(dir.File("silent.wav"), std::vector<float>(300, 0.f), 3);
  for (auto [file, peak] :
       {std::pair{empty, "0 (no frames)"}, {silent, "0 (every sample is zero)"}}) {
    EXPECT_EQ(json::parse(Out("--json " + file))["peak"], 0.0) << file;
    EXPECT_TRUE(Has(Out(file), "\npeak         " + std::string(peak) + "\n")) << file;
  }
}

TEST_F(Info, NoPeakBatchesLikeTheFullListing) {
  vxtest::WriteSound(dir.File("a.wav"), vxtest::Sine(1000, 1), 1);
  vxtest::WriteSound(dir.File("b.flac"), vxtest::Sine(500, 2), 2, 48000,
                              SF_FORMAT_FLAC | SF_FORMAT_PCM_16, {{SF_STR_ALBUM, "Reels"}});
  auto batch = Vx("info --no-peak --jobs 2 a.wav b.flac missing.wav");
  EXPECT_EQ(batch.status, 1);
  const auto lines = vxtest::Lines(batch.out);
  ASSERT_EQ(lines.size(), 3u) << batch.out;
  EXPECT_EQ(json::parse(lines[0]), json::parse(Out("--no-peak --json a.wav")));
  EXPECT_EQ(json::parse(lines[1]), json::parse(Out("--no-peak --json b.flac")));
  EXPECT_EQ(json::parse(lines[1])["tags"], json({{"album", "Reels"}}));
  EXPECT_EQ(json::parse(lines[2])["error"], "no such file");
}

}  // namespace
