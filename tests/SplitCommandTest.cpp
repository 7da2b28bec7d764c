// vxaudio split as a user runs it: pieces on disk that hold exactly the
// source frames the index names, padding that never makes pieces overlap,
// and outputs that are never replaced without --force; cut at the silences
// of a label track as well as at detected ones.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
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
    at = edge, ++seed;
  }
  return v;
}

class Split : public ::testing::Test {
 protected:
  void SetUp() override { src = vxtest::WriteSound(dir.File("talk.wav"), Source(), 2, kRate); }
  vxtest::VxOutcome Vx(const std::string& args) { return vxtest::RunVx("VX " + args, dir.Path()); }
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
  ASSERT_EQ(j["pieces"].size(), kSounds.size()) << j.dump(1);
  std::string want = "index,file,start,end,frames,start_s,end_s\n";
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

    char row[200];
    std::snprintf(row, sizeof row, "%zu,piece-%03zu.wav,%lld,%lld,%lld,%.6f,%.6f\n", i + 1, i + 1,
                  (long long)start, (long long)end, (long long)(end - start), double(start) / kRate,
                  double(end) / kRate);
    want += row;

    // Stereo and sample for sample the source range.
    EXPECT_TRUE(vxtest::ReadSound(out + "/" + p["file"].get<std::string>()) ==
                std::vector<float>(source.begin() + start * 2, source.begin() + end * 2))
        << "piece " << i + 1 << " differs from its source range";
  }
  EXPECT_EQ(vxtest::Slurp(out + "/index.csv"), want);
  ExpectNoLeftovers(out);

  // Mono mixdown at 24 bits in AIFF: each frame is the mean of the channels.
  const std::string mono = dir.File("mono");
  ASSERT_EQ(Vx("split -q " + src + " " + mono + " --channels 1 --bits 24 --ext aif").status, 0);
  const auto p = Index(mono)["pieces"][1];
  const std::vector<float> piece = vxtest::ReadSound(mono + "/piece-002.aif");
  const int64_t start = p["start"];
  ASSERT_EQ(int64_t(piece.size()), p["end"].get<int64_t>() - start);
  for (size_t k = 0; k < piece.size(); ++k)
    ASSERT_NEAR(piece[k], (source[(start + k) * 2] + source[(start + k) * 2 + 1]) / 2, 2e-7) << k;
}

TEST_F(Split, PaddingStopsAtNeighboursAndAtTheFileEnds) {
  ASSERT_EQ(Vx("split -q " + src + " " + dir.File("tight")).status, 0);
  auto sounds = Index(dir.File("tight"))["pieces"];
  ASSERT_EQ(Vx("split -q " + src + " " + dir.File("padded") + " --pad 5").status, 0);
  auto pieces = Index(dir.File("padded"))["pieces"];
  ASSERT_EQ(pieces.size() + sounds.size(), 6u);
  EXPECT_EQ(pieces[0]["start"], 0);
  EXPECT_EQ(pieces[2]["end"], int64_t(5.0 * kRate));
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    // Both sides of a silence reach its middle, and not one frame further.
    const int64_t middle = (sounds[i]["end"].get<int64_t>() + sounds[i + 1]["start"].get<int64_t>()) / 2;
    EXPECT_EQ(pieces[i]["end"], middle);
    EXPECT_EQ(pieces[i + 1]["start"], middle);
  }

  // A click shorter than --min-sound (with the loudness model's fade) before
  // the first silence gets no piece.
  auto v = Source();
  for (int k = 0; k < 441; ++k) v[size_t(4410 + k) * 2] = v[size_t(4410 + k) * 2 + 1] = 0.6f;
  auto r = Vx("split -q " + vxtest::WriteSound(dir.File("click.wav"), v, 2, kRate) + " " +
              dir.File("c1") + " --min-sound 0.3");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Index(dir.File("c1"))["pieces"].size(), 3u);
}

TEST_F(Split, ExistingFilesAreKeptUnlessForced) {
  ASSERT_EQ(Vx("split -q talk.wav keep").status, 0);
  vxtest::WriteBytes(dir.File("keep/piece-002.wav"), "mine");
  auto r = Vx("split -q talk.wav keep");
  EXPECT_EQ(std::tuple(r.status, r.out, r.err),
            std::tuple(1, "",
                       "vxaudio split: keep/index.json: already exists (use --force to replace it)\n"));
  EXPECT_EQ(vxtest::Slurp(dir.File("keep/piece-002.wav")), "mine");

  // One clashing name anywhere stops the run before anything is written.
  fs::create_directory(dir.File("other"));
  vxtest::WriteBytes(dir.File("other/piece-003.wav"), "mine");
  r = Vx("split -q talk.wav other");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("other/piece-003.wav: already exists"), std::string::npos) << r.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("other")), {}), 1);

  ASSERT_EQ(Vx("split -q --force talk.wav keep").status, 0);
  EXPECT_FALSE(vxtest::ReadSound(dir.File("keep/piece-002.wav")).empty());
  ExpectNoLeftovers(dir.File("keep"));
}

TEST_F(Split, BadOutputsAndInputsFailWithOneLine) {
  vxtest::WriteBytes(dir.File("plain"), "x");
  // Paths are relative to the scratch directory the program runs in.
  for (auto [args, status, err] :
       {std::tuple{"talk.wav plain/sub", 1, "plain/sub: cannot create the output directory: "},
        {"talk.wav plain", 1, "plain: is not a directory"},
        {"missing.wav m", 1, "missing.wav: no such file"},
        {"plain t", 1, "plain: "},
        {"talk.wav b --bits 12", 2, "--bits 12 must be 8, 16 or 24"},
        {"talk.wav p --pad -1", 2, "--pad must be"},
        {"talk.wav e --bits 8", 2, "the wav container cannot hold"},
        {"talk.wav s --thresholds fixed", 2, "fixed thresholds need --silence-loudness"},
        {"talk.wav x --ext xyz", 2, "--ext xyz must be one of "},
        {"talk.wav o --ext ogg --bits 16", 2, "--bits applies to PCM formats; ogg is lossy"},
        {"talk.wav r --ext opus", 2, "the opus format cannot hold stereo sound at 44100 Hz"}}) {
    SCOPED_TRACE(args);
    vxtest::ExpectOneError(Vx(std::string("split -q ") + args), status,
                           std::string("vxaudio split: ") + err);
  }
  // A failed run leaves no output directory behind.
  for (const char* d : {"m", "t", "b", "p", "e", "s", "x", "o", "r"})
    EXPECT_FALSE(fs::exists(dir.File(d))) << d;
}

TEST_F(Split, LabelTrackOfTheDetectedSilencesCutsTheSamePieces) {
  ASSERT_EQ(Vx("silence -q talk.wav --format labels -o talk.txt --start 0.2").status, 0);
  ASSERT_EQ(Vx("split -q talk.wav found --pad 0.05 --start 0.2").status, 0);
  auto r = Vx("split -q talk.wav labelled --labels talk.txt --pad 0.05 --start 0.2");
  ASSERT_EQ(r.status, 0) << r.err;

  EXPECT_EQ(vxtest::Slurp(dir.File("labelled/index.csv")),
            vxtest::Slurp(dir.File("found/index.csv")));
  auto j = Index(dir.File("labelled"));
  EXPECT_EQ(j["pieces"], Index(dir.File("found"))["pieces"]);
  EXPECT_EQ(std::tuple(j["thresholds"], j["labels"]), std::tuple("labels", "talk.txt"));
  for (const auto& p : j["pieces"]) {
    const std::string name = p["file"];
    EXPECT_EQ(vxtest::Slurp(dir.File("labelled/" + name)), vxtest::Slurp(dir.File("found/" + name)))
        << name;
  }
}

TEST_F(Split, EditedLabelTrackGivesThePiecesItSays) {
  // The detected track with the silence after the second sound ended later,
  // the one after it removed, two overlapping ones added out of order, a
  // point label, another kind of label, a spectral label's frequency line,
  // CRLF ends and one line separated by spaces.
  vxtest::WriteBytes(dir.File("edited.txt"),
                     "0.000000\t0.500000\tsilence\r\n"
                     "0.800000\t0.800000\tsilence\r\n"
                     "1.000000\t1.200000\tcough and breath \r\n"
                     "1.500000\t2.500000\tsilence\r\n"
                     "\\\t120.000000\t3400.000000\r\n"
                     "3.300000 3.600000 silence  \r\n"
                     "3.200000\t3.400000\tSilence\r\n"
                     "\r\n"
                     "4.600000\t9.000000\tsilence\r\n");
  auto r = Vx("split -q talk.wav edited --labels edited.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  auto frames = [](const nlohmann::json& pieces) {
    std::vector<std::pair<int64_t, int64_t>> v;
    for (const auto& p : pieces) v.emplace_back(p["start"], p["end"]);
    return v;
  };
  using Spans = std::vector<std::pair<int64_t, int64_t>>;
  EXPECT_EQ(frames(Index(dir.File("edited"))["pieces"]),
            (Spans{{22050, 66150}, {110250, 141120}, {158760, 202860}}));

  // No region label says silence (a point label is none): every one is
  // taken. From standard input.
  vxtest::WriteBytes(dir.File("pauses.txt"), "0\t0.5\tpause\n2\t2\tsilence\n4.6\t5\tend\n");
  r = Vx("split -q talk.wav pauses --labels - <pauses.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(frames(Index(dir.File("pauses"))["pieces"]), (Spans{{22050, 202860}}));
}

TEST_F(Split, BadLabelTracksAreRefusedBeforeAnythingIsWritten) {
  vxtest::WriteBytes(dir.File("good.txt"), "0\t0.5\tsilence\n");
  for (auto [track, args, status, err] : {
           std::tuple{"0\t1\tsilence\n\n2.5\tx\tsilence\n", "", 1,
                      "bad.txt:3: not a label line: \"x\" is not a time in seconds\n"},
           {"0\t1\r\n1.5\r\n", "", 1, "bad.txt:2: not a label line: no end time after 1.5\n"},
           {"0\tnan\tsilence\n", "", 1, "bad.txt:1: not a label line: \"nan\" is not a time"},
           {"0\t-1\tsilence\n", "", 1, "bad.txt:1: negative time -1\n"},
           {"\xEF\xBB\xBF" "2\t1.5\tsilence\n", "", 1,
            "bad.txt:1: the label ends (1.5 s) before it starts (2 s)\n"},
           // The command line: the track is an input like the source.
           {"", "talk.wav out --labels missing.txt", 1, "missing.txt: no such file\n"},
           {"", "talk.wav out --labels out/index.csv", 2,
            "out/index.csv: names the label track itself"},
           {"", "talk.wav out --labels good.txt --min-silence 0.3", 2,
            "--min-silence excludes --labels\n"},
           {"", "- out --labels - <talk.wav", 2, "--labels - and FILE - would both read"}}) {
    if (*track) vxtest::WriteBytes(dir.File("bad.txt"), track);
    SCOPED_TRACE(std::string(track) + args);
    const std::string line = *args ? args : "talk.wav out --labels bad.txt";
    vxtest::ExpectOneError(Vx("split -q " + line), status, std::string("vxaudio split: ") + err);
    EXPECT_FALSE(fs::exists(dir.File("out")));
  }
}

}  // namespace
