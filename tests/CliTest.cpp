// The vxaudio program as a user meets it: run as a subprocess, judged by its
// exit status, standard output (results only) and standard error (one error
// line on failure).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <tuple>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

using vxtest::ExpectOneError;
using vxtest::Slurp;
using Outcome = vxtest::VxOutcome;

class Cli : public ::testing::Test {
 protected:
  Outcome Vx(const std::string& args, const std::string& stdoutTo = "") {
    return vxtest::RunVx("VX " + args, dir.Path(), stdoutTo);
  }

  vxtest::TempDir dir;
};

TEST_F(Cli, UnreadableInputsFailWithOneLineNamingTheFile) {
  auto text = vxtest::WriteBytes(dir.File("text.wav"), "this is not a sound file\n");
  std::filesystem::create_directory(dir.File("d.wav"));
  for (auto [cmd, rest] : {std::pair{"info", ""}, {"info", " --no-peak"},
                           {"graph", " --columns 10"}, {"export", " out.wav"}})
    for (const auto& f : {dir.File("missing.wav"), dir.File("d.wav"), text})
      ExpectOneError(Vx(std::string(cmd) + " -q " + f + rest), 1,
                     std::string("vxaudio ") + cmd + ": " + f + ": ");
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.wav")));
}

TEST_F(Cli, ExportKeepsOrSetsTheLayout) {
  // The source's channels unless --channels says otherwise; more than two
  // channels give their mean in mono.
  auto mono = vxtest::Sine(3000, 1);
  auto stereo = vxtest::Noise(3000, 2, 3);
  auto six = vxtest::Noise(3000, 6, 5);
  const std::string m =
      vxtest::WriteSound(dir.File("m.flac"), mono, 1, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  const std::string s =
      vxtest::WriteSound(dir.File("s.wav"), stereo, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  const std::string x = vxtest::WriteSound(dir.File("x.wav"), six, 6);
  auto mean = [](const std::vector<float>& v, int ch, int i) {
    double sum = 0;
    for (int c = 0; c < ch; ++c) sum += v[size_t(i * ch + c)];
    return sum / ch;
  };
  SF_INFO info{};
  for (auto [src, in, inCh, opts, outCh] :
       {std::tuple{m, &mono, 1, "", 1}, {m, &mono, 1, " --channels 2", 2},
        {s, &stereo, 2, "", 2}, {s, &stereo, 2, " --channels 1", 1},
        {x, &six, 6, "", 1}, {x, &six, 6, " --channels 1", 1}}) {
    SCOPED_TRACE(src + opts);
    std::filesystem::remove(dir.File("o.aif"));
    Outcome r = Vx("export -q " + src + " " + dir.File("o.aif") + " --bits 24" + opts);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(outCh == 1 ? ", mono," : ", stereo,"), std::string::npos) << r.out;
    auto out = vxtest::ReadSound(dir.File("o.aif"), &info);
    ASSERT_EQ(std::tuple(info.channels, info.frames), std::tuple(outCh, 3000));
    for (int i = 0; i < 3000; i += 37)
      for (int k = 0; k < outCh; ++k) {
        const double want = outCh == 1 || inCh == 1 ? mean(*in, inCh, i) : (*in)[size_t(2 * i + k)];
        ASSERT_NEAR(out[size_t(i * outCh + k)], want, 1e-4) << i;
      }
  }
  // Stereo out of six channels is refused before anything is written.
  ExpectOneError(Vx("export -q " + x + " " + dir.File("x2.wav") + " --channels 2"), 2,
                 "vxaudio export: " + x + ": ", "--channels 1");
  EXPECT_FALSE(std::filesystem::exists(dir.File("x2.wav")));

  // The default depth is the source's when the container holds it, else 16.
  const std::string deep =
      vxtest::WriteSound(dir.File("d.wav"), stereo, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
  for (auto [to, format] : {std::pair{"d.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                            {"d.sf", SF_FORMAT_IRCAM | SF_FORMAT_PCM_16}}) {
    ASSERT_EQ(Vx("export -q " + deep + " " + dir.File(to)).status, 0);
    vxtest::ReadSound(dir.File(to), &info);
    EXPECT_EQ(info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK), format) << to;
  }

  // Integer output clips samples beyond full scale instead of wrapping.
  auto loud = vxtest::WriteSound(dir.File("loud.wav"), {1.5f, -1.5f, 0.25f, 2.0f}, 1, 44100,
                                 SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  ASSERT_EQ(Vx("export -q " + loud + " " + dir.File("c.snd") + " --bits 8").status, 0);
  auto out = vxtest::ReadSound(dir.File("c.snd"), &info);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_TRUE(out[0] > 0.99f && out[1] < -0.99f && out[3] > 0.99f) << out[0] << out[1] << out[3];

  // A header promising more than the file holds still exports what is there.
  auto cut = vxtest::WriteOverclaimingWav(dir.File("cut.wav"), vxtest::Sine(1000, 1), 1, 5000);
  Outcome r = Vx("export -q " + cut + " " + dir.File("cut2.wav"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LE(vxtest::ReadSound(dir.File("cut2.wav")).size(), 5000u);
}

TEST_F(Cli, ExportWritesEveryFormatItsExtensionNames) {
  // 48 kHz, which every format takes (Opus takes no 44.1 kHz).
  auto samples = vxtest::Sine(4800, 2, 48000);
  const std::string src =
      vxtest::WriteSound(dir.File("src.wav"), samples, 2, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                         {{SF_STR_TITLE, "Take one"}});
  // Extension, format, and whether the container keeps the title.
  const int pcm = SF_FORMAT_PCM_16;
  for (auto [ext, format, text] :
       {std::tuple{"aif", SF_FORMAT_AIFF | pcm, true}, {"AIFF", SF_FORMAT_AIFF | pcm, true},
        {"au", SF_FORMAT_AU | pcm, false}, {"snd", SF_FORMAT_AU | pcm, false},
        {"caf", SF_FORMAT_CAF | pcm, true}, {"Flac", SF_FORMAT_FLAC | pcm, true},
        {"olvex", SF_FORMAT_IRCAM | pcm, false}, {"sf", SF_FORMAT_IRCAM | pcm, false},
        {"rf64", SF_FORMAT_RF64 | pcm, true}, {"w64", SF_FORMAT_W64 | pcm, false},
        {"WAV", SF_FORMAT_WAV | pcm, true}, {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, true},
        {"OPUS", SF_FORMAT_OGG | SF_FORMAT_OPUS, true},
        {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, true}}) {
    SCOPED_TRACE(ext);
    const std::string out = dir.File(std::string("o.") + ext);
    Outcome r = Vx("export -q " + src + " " + out);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(out + ": 4800 frames, ", 0), 0u) << r.out;
    SF_INFO info{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> back(sf_open(out.c_str(), SFM_READ, &info),
                                                     &sf_close);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tuple(info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK), info.channels,
                         info.samplerate, info.frames),
              std::tuple(format, 2, 48000, 4800));
    const char* title = sf_get_string(back.get(), SF_STR_TITLE);
    EXPECT_EQ(title && std::string(title) == "Take one", text);
    // PCM is the very samples; a lossy codec only resembles them.
    std::vector<float> got(samples.size());
    ASSERT_EQ(sf_readf_float(back.get(), got.data(), 4800), 4800);
    double err = 0, power = 0;
    for (size_t i = 0; i < got.size(); ++i)
      err += (got[i] - samples[i]) * (got[i] - samples[i]), power += samples[i] * samples[i];
    EXPECT_LT(err, (format & SF_FORMAT_SUBMASK) == pcm ? 1e-7 * power : 0.1 * power);
  }

  // Every depth a container takes is written at that depth; the others are
  // refused before anything is written, never failed while writing.
  const std::set<std::string> refused = {"flac32", "olvex8", "olvex24", "rf648", "w648", "WAV8"};
  for (const std::string ext : {"aif", "au", "caf", "flac", "olvex", "rf64", "w64", "WAV"})
    for (auto [bits, subtype] : {std::pair{8, SF_FORMAT_PCM_S8}, {16, SF_FORMAT_PCM_16},
                                 {24, SF_FORMAT_PCM_24}, {32, SF_FORMAT_PCM_32}}) {
      const std::string depth = std::to_string(bits);
      const std::string out = dir.File(ext + depth + "." + ext);
      SCOPED_TRACE(out);
      Outcome r = Vx("export -q " + src + " " + out + " --bits " + depth);
      if (refused.count(ext + depth)) {
        ExpectOneError(r, 2, "vxaudio export: " + out + ": ", depth + "-bit");
        EXPECT_FALSE(std::filesystem::exists(out));
        continue;
      }
      ASSERT_EQ(r.status, 0) << r.err;
      SF_INFO info{};
      vxtest::ReadSound(out, &info);
      EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, subtype);
    }
}

TEST_F(Cli, ExportNeverHarmsExistingFilesAndLeavesNothingOnFailure) {
  auto src = vxtest::WriteSound(dir.File("src.wav"), vxtest::Sine(2000, 2), 2);
  const char* kinds = "one of aif, aiff, au, caf, flac, mp3, ogg";
  for (auto [to, status, needle] :
       {std::tuple{"noext", 2, kinds}, {"o.xyz", 2, kinds}, {"o.", 2, kinds},
        {"o.wav --bits 12", 2, "--bits"}, {"o.wav --channels 3", 2, "--channels"},
        {"o.ogg --bits 16", 2, "lossy"}, {"o.opus --bits 16", 2, "lossy"},
        {"o.Mp3 --bits 24", 2, "lossy"}, {"o.opus", 2, "44100 Hz"},
        {"o.wav --start 2000s", 1, "past the end"}, {"nodir/o.wav", 1, ""}})
    ExpectOneError(Vx("export -q " + src + " " + dir.File(to)), status, "vxaudio export: ", needle);
  // Only src.wav: no output and no temporary file left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

  // An existing output is replaced only when asked, and then completely.
  auto keep = vxtest::WriteBytes(dir.File("keep.wav"), "precious");
  ExpectOneError(Vx("export -q " + src + " " + keep), 1, "vxaudio export: " + keep + ": ",
                 "--force");
  EXPECT_EQ(Slurp(keep), "precious");
  EXPECT_EQ(Vx("export -q " + src + " " + keep + " --force").status, 0);
  EXPECT_EQ(vxtest::ReadSound(keep).size(), 2u * 2000);
}

TEST_F(Cli, SplitWritesPiecesInAnyOutputFormat) {
  // Sound, a pause, sound at 48 kHz: two pieces.
  auto samples = vxtest::Sine(24000, 1, 48000);
  samples.insert(samples.end(), 24000, 0.0f);
  auto tail = vxtest::Sine(24000, 1, 48000);
  samples.insert(samples.end(), tail.begin(), tail.end());
  auto wav = vxtest::WriteSound(dir.File("p.wav"), samples, 1, 48000);
  Outcome r = Vx("split -q " + wav + " " + dir.File("parts") + " --ext Opus");
  ASSERT_EQ(r.status, 0) << r.err;
  auto index = nlohmann::json::parse(Slurp(dir.File("parts/index.json")));
  ASSERT_EQ(index["pieces"].size(), 2u);
  EXPECT_TRUE(index["bits"].is_null());
  for (const auto& piece : index["pieces"]) {
    SF_INFO info{};
    vxtest::ReadSound(dir.File("parts/" + piece["file"].get<std::string>()), &info);
    EXPECT_EQ(piece["file"].get<std::string>().substr(9), ".opus");  // lower case
    EXPECT_EQ(std::tuple(info.format, info.channels, int64_t(info.frames)),
              std::tuple(SF_FORMAT_OGG | SF_FORMAT_OPUS, 1, piece["frames"].get<int64_t>()));
  }
}

TEST_F(Cli, SilenceLabelsTheSilencesTheSoundsOrBoth) {
  // Sound, a pause, sound, so that sounds lie before, between and after.
  auto samples = vxtest::Sine(26460, 1);
  samples.insert(samples.end(), 22050, 0.0f);
  auto tail = vxtest::Sine(22050, 1);
  samples.insert(samples.end(), tail.begin(), tail.end());
  samples.insert(samples.begin(), 17640, 0.0f);
  auto wav = vxtest::WriteSound(dir.File("p.wav"), samples, 1);
  auto labels = [&](const std::string& what) {
    Outcome r = Vx("silence " + wav + " --format labels" + what);
    EXPECT_EQ(r.status, 0) << what << ": " << r.err;
    return vxtest::Lines(r.out);
  };
  // The same silences and sounds whichever are asked for; both together
  // cover the file, each stretch starting where the last ended, the last
  // sound running to the end.
  const auto silences = labels(""), sounds = labels(" --what sound"), both = labels(" --what both");
  EXPECT_EQ(labels(" --what silence"), silences);
  ASSERT_EQ(std::tuple(silences.size(), sounds.size()), std::tuple(2u, 2u));
  EXPECT_EQ(both, (std::vector<std::string>{silences[0], sounds[0], silences[1], sounds[1]}));
  std::string at = "0.000000";
  for (size_t i = 0; i < both.size(); ++i) {
    std::istringstream in(both[i]);
    std::string from, to, text;
    std::getline(in, from, '\t'), std::getline(in, to, '\t'), std::getline(in, text);
    EXPECT_EQ(std::tuple(from, text), std::tuple(at, i % 2 ? "sound" : "silence")) << both[i];
    at = to;
  }
  EXPECT_EQ(at, "2.000000");

  // --what is for labels only; an unknown kind is a usage error too.
  for (auto args : {" --what sound", " --format json --what both", " --format csv --what silence",
                    " --format labels --what noise"})
    ExpectOneError(Vx("silence " + wav + args), 2, "vxaudio", "--what");
}

TEST_F(Cli, TimesInEverySyntaxGiveTheSameRange) {
  auto wav = vxtest::WriteSound(dir.File("n.wav"), vxtest::Noise(88200, 2, 7), 2);
  // 1.5 s to 1.75 s, that is frames 66150 to 77175.
  std::string first;
  for (const char* range : {"--start 1.5 --length 0.25", "--start 0:01.5 --length 0:00.25",
                            "--start 0:00:01.500 --end 1.75", "--start 66150s --length 11025s",
                            "--start 66150s --end 0:01.75"}) {
    SCOPED_TRACE(range);
    Outcome r = Vx("export " + wav + " " + dir.File("r.wav") + " --force " + range);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    SF_INFO info{};
    vxtest::ReadSound(dir.File("r.wav"), &info);
    EXPECT_EQ(info.frames, 11025);
    if (first.empty()) first = Slurp(dir.File("r.wav"));
    EXPECT_EQ(Slurp(dir.File("r.wav")), first);
  }
  // An end past the file is cut to it; the loudness curve keeps the file's times.
  SF_INFO info{};
  ASSERT_EQ(Vx("export " + wav + " " + dir.File("t.wav") + " --start 1.5 --end 9").status, 0);
  vxtest::ReadSound(dir.File("t.wav"), &info);
  EXPECT_EQ(info.frames, 22050);
  auto rows = vxtest::Lines(Vx("loudness " + wav + " --start 0.5 --length 0.1").out);
  ASSERT_GT(rows.size(), 3u);
  EXPECT_EQ(rows[1].substr(0, 9), "0.500000,");
  EXPECT_LT(std::stod(rows.back()), 0.6);

  const std::string p = "vxaudio export: ";
  for (auto [args, needle] :
       {std::pair{"--start 1:xx", "--start: '1:xx'"}, {"--start 0:60", "'0:60'"},
        {"--length 5ss", "--length: '5ss'"}, {"--end 1e3", "--end: '1e3'"},
        {"--start 1.2.3", "'1.2.3'"}, {"--length 1 --end 2", "--length excludes --end"},
                              {"--start 1 --end 0.5", "--end 0.5 must come after --start 1"},
                              {"--length 0.00001", "--length 0.00001"},
                              {"--start -0:01", "--start -0:01 is negative"}})
    ExpectOneError(Vx("export " + wav + " " + dir.File("bad.wav") + " " + args), 2, p, needle);
  ExpectOneError(Vx("export " + wav + " " + dir.File("bad.wav") + " --start 2"), 1, p,
                 "past the end");
  EXPECT_FALSE(std::filesystem::exists(dir.File("bad.wav")));
}

TEST_F(Cli, SilenceAndSplitOverARangeKeepTheFilesTimes) {
  // Sound and silence in turns of a second, from sound: silences at 1-2 s and 3-4 s.
  std::vector<float> samples;
  for (int k = 0; k < 5; ++k) {
    auto part = k % 2 ? std::vector<float>(44100, 0.0f) : vxtest::Sine(44100, 1);
    samples.insert(samples.end(), part.begin(), part.end());
  }
  auto wav = vxtest::WriteSound(dir.File("turns.wav"), samples, 1);
  auto silences = [&](const std::string& range) {
    Outcome r = Vx("silence " + wav + " --format json " + range);
    EXPECT_EQ(r.status, 0) << r.err;
    return nlohmann::json::parse(r.out)["silences"];
  };
  const auto whole = silences("");
  ASSERT_EQ(whole.size(), 2u) << whole;
  EXPECT_EQ(silences("--start 0.5 --end 4.5"), whole);
  EXPECT_EQ(silences("--start 0:02.5"), nlohmann::json::array({whole[1]}));

  // Pieces stay inside the range, counted in the file's frames.
  ASSERT_EQ(Vx("split -q " + wav + " " + dir.File("parts") + " --start 0.5 --end 4.5").status, 0);
  auto pieces = nlohmann::json::parse(Slurp(dir.File("parts/index.json")))["pieces"];
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0]["start"], 22050);
  EXPECT_EQ(pieces[2]["end"], 198450);
}

TEST_F(Cli, SuccessIsQuietAndEveryCommandTakesTheSameSwitches) {
  auto wav = vxtest::WriteSound(dir.File("s.wav"), vxtest::Sine(4410, 2), 2);
  // A whole stereo export is where the engine's warnings used to show.
  Outcome plain = Vx("export " + wav + " " + dir.File("a.wav"));
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, "");
  EXPECT_NE(plain.out.find("a.wav: 4410 frames"), std::string::npos) << plain.out;
  for (const char* line : {"-v export S OUT", "export -v S OUT", "export --verbose S OUT"}) {
    std::string cmd = line;
    cmd.replace(cmd.find("OUT"), 3, dir.File("v.wav") + " --force");
    cmd.replace(cmd.find('S'), 1, wav);  // the first S: it precedes the output path
    Outcome r = Vx(cmd);
    EXPECT_EQ(r.status, 0) << line;
    EXPECT_EQ(r.out, dir.File("v.wav") + plain.out.substr(dir.File("a.wav").size())) << line;
    EXPECT_NE(r.err.find("=>AudioFile::InitAudio=>"), std::string::npos) << line << r.err;
  }
  // The command's own warning shows unless -q, before or after the command.
  EXPECT_NE(Vx("silence " + wav + " " + wav).err.find("warning: listed again"), std::string::npos);
  for (const char* q : {"-q silence", "silence --quiet"}) {
    Outcome r = Vx(std::string(q) + " " + wav + " " + wav);
    EXPECT_EQ(std::tuple(r.status, r.err), std::tuple(0, "")) << q;
  }
  for (const char* command : {"info", "graph", "export", "silence", "loudness", "split", "play", "review"}) {
    const std::string help = Vx(std::string(command) + " --help").out;
    EXPECT_NE(help.find("-q,--quiet"), std::string::npos) << command;
    EXPECT_NE(help.find("-v,--verbose"), std::string::npos) << command;
  }
}

TEST_F(Cli, NoOrUnknownCommandIsAUsageErrorAndVersionIsQuiet) {
  Outcome unknown = Vx("foo " + dir.File("x.wav"));
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err.rfind("vxaudio: unknown command 'foo'\n", 0), 0u) << unknown.err;
  EXPECT_NE(unknown.err.find("\n  loudness"), std::string::npos) << unknown.err;
  Outcome none = Vx("-v");
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("usage: vxaudio"), std::string::npos) << none.err;
  EXPECT_NE(none.err.find("\n  split"), std::string::npos) << none.err;
  for (const char* v : {"-V", "--version"}) {
    Outcome r = Vx(v);
    EXPECT_EQ(std::tuple(r.status, r.out.rfind("vxaudio ", 0), r.err), std::tuple(0, 0u, ""))
        << v;
  }
}

}  // namespace
