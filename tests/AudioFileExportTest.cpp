// Export of AudioFile: layouts, encodings, containers, clipping, metadata,
// the order of the argument checks and the messages of the last block.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "AudioFile.h"
#include "SoundFixture.h"

using vxtest::DiagCapture;
using vxtest::DiagLines;
using vxtest::Err;
using vxtest::Out;
namespace fs = std::filesystem;

namespace {

const std::string kRule2 =
    "AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0";

std::string Bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

class ExportTest : public ::testing::Test {
 protected:
  // `frames` stereo 16-bit frames with a title and an artist.
  AudioFile& Open(int64_t frames, int channels = 2, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                  std::vector<float> data = {}) {
    if (data.empty()) data = vxtest::Noise(frames, channels, 11);
    mSource = vxtest::WriteSound(mDir.File("src.wav"), data, channels, 32000, format,
                                 {{SF_STR_TITLE, "Take one"}, {SF_STR_ARTIST, "Tester"}});
    EXPECT_EQ(mFile.InitAudio(mSource.c_str()), 0);
    return mFile;
  }
  vxtest::TempDir mDir;
  std::string mSource;
  AudioFile mFile;
};

}  // namespace

TEST_F(ExportTest, SixteenBitStereoKeepsSamplesRateAndText) {
  Open(10000);
  const auto out = mDir.File("out.wav");
  DiagCapture cap;
  ASSERT_EQ(mFile.Export(out.c_str()), 0);
  // The last request (0 frames, past the end) warns twice; nothing else is printed.
  EXPECT_EQ(cap.Out(), (std::vector<std::string>{kRule2, "AudioFile::ReadStereoData: WARNING: nothing to read"}));
  EXPECT_TRUE(cap.Err().empty());
  SF_INFO info{};
  EXPECT_EQ(vxtest::ReadSound(out, &info), vxtest::ReadSound(mSource));  // 16 -> 16 bits is lossless
  EXPECT_EQ(info.samplerate, 32000);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  SNDFILE* f = sf_open(out.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(sf_get_string(f, SF_STR_TITLE), "Take one");
  EXPECT_STREQ(sf_get_string(f, SF_STR_ARTIST), "Tester");
  sf_close(f);
  EXPECT_EQ(mFile.mSndFile, nullptr);
}

TEST_F(ExportTest, ChannelLayoutsAndBlockEdges) {
  Open(9000);
  const auto src = vxtest::ReadSound(mSource);
  // 4099 mono frames ending mid-file: no warning at all.
  const auto mono = mDir.File("mono.aif");
  DiagCapture cap;
  ASSERT_EQ(mFile.Export(mono.c_str(), 24, 1, 100, 4099), 0);
  EXPECT_TRUE(cap.Lines().empty());
  SF_INFO info{};
  const auto got = vxtest::ReadSound(mono, &info);
  EXPECT_EQ(info.format, SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
  ASSERT_EQ(got.size(), 4099u);
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_NEAR(got[i], (double(src[2 * (100 + i)]) + src[2 * (100 + i) + 1]) / 2, 1.0 / (1 << 23)) << i;

  // A mono source goes to both channels; three channels give an empty stereo file.
  AudioFile one, three;
  const auto m = vxtest::WriteSound(mDir.File("m.wav"), {0.5f, -0.5f, 0.25f}, 1);
  const auto t = vxtest::WriteSound(mDir.File("t.wav"), vxtest::Sine(50, 3), 3);
  ASSERT_EQ(one.InitAudio(m.c_str()), 0);
  ASSERT_EQ(three.InitAudio(t.c_str()), 0);
  ASSERT_EQ(one.Export(mDir.File("m2.snd").c_str(), 8, 2, 0, 3), 0);
  EXPECT_EQ(vxtest::ReadSound(mDir.File("m2.snd"), &info), (std::vector<float>{0.5f, 0.5f, -0.5f, -0.5f, 0.25f, 0.25f}));
  EXPECT_EQ(info.format, SF_FORMAT_AU | SF_FORMAT_PCM_S8);
  cap.Clear();
  ASSERT_EQ(three.Export(mDir.File("t2.sf").c_str(), 16, 2, 0, 50), 0);
  EXPECT_EQ(cap.Out(), std::vector<std::string>{"AudioFile::ReadStereoData: WARNING: more than 2 channels, read nothing"});
  EXPECT_TRUE(vxtest::ReadSound(mDir.File("t2.sf"), &info).empty());
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, 0x0A0000);
}

TEST_F(ExportTest, FloatBeyondFullScaleClipsInsteadOfWrapping) {
  Open(4, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, {1.5f, -3.0f, 0.5f, 1.0f});
  ASSERT_EQ(mFile.Export(mDir.File("c.wav").c_str(), 16, 1, 0, 4), 0);
  EXPECT_EQ(vxtest::ReadSound(mDir.File("c.wav")), (std::vector<float>{32767 / 32768.f, -1.f, 0.5f, 32767 / 32768.f}));
}

TEST_F(ExportTest, ArgumentChecksRunInOrderAndLeaveNoFile) {
  Open(100);
  struct Case {
    const char* out;
    int bits, channels, start, len, result;
    DiagLines lines;
  } cases[] = {
      {"a.wav", 32, 0, 500, 10, 0, {Out(kRule2), Out("AudioFile::Export: WARNING: nothing to export")}},
      {"a.wav", 32, 0, 0, 10, -3, {Out("AudioFile::Export: ERROR: iChannels must be 1 (mono) or 2 (stereo)")}},
      {"a.xyz", 32, 2, 0, 10, -2, {Out("AudioFile::Export: ERROR: Unrecognized bits format")}},
      {"a.WAV", 16, 2, 0, 10, 2, {Err("AudioFile::Export: ERROR: output file format is invalid.")}},
      {"nodot", 16, 2, 0, 10, 2, {Err("AudioFile::Export: ERROR: output file format is invalid.")}},
      {"a.wav", 8, 1, 0, 10, 2, {Err("AudioFile::Export: ERROR: output file format is invalid.")}},
      {"no/such/dir.wav", 16, 2, 0, 10, -1, {Err("AudioFile::Export: ERROR: Not able to open output file ")}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.out);
    const auto out = mDir.File(c.out);
    if (c.result == -1) c.lines.back().second += out;
    DiagCapture cap;
    EXPECT_EQ(mFile.Export(out.c_str(), c.bits, c.channels, c.start, c.len), c.result);
    EXPECT_EQ(cap.Lines(), c.lines);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(mFile.mSndFile, nullptr);
  }
}

TEST_F(ExportTest, FailuresLeaveTheSourceAlone) {
  Open(300);
  const std::string before = Bytes(mSource);
  const std::string alias = mDir.Path() + "/./src.wav";
  DiagCapture cap;
  EXPECT_EQ(mFile.Export(alias.c_str()), -1);  // the source itself is never opened for writing
  // A container without text strings refuses the metadata: an empty output stays.
  const auto snd = mDir.File("a.snd");
  EXPECT_EQ(mFile.Export(snd.c_str()), 3);
  EXPECT_TRUE(fs::exists(snd) && vxtest::ReadSound(snd).empty());
  EXPECT_EQ(Bytes(mSource), before);
  fs::remove(mSource);
  EXPECT_EQ(mFile.Export(mDir.File("x.wav").c_str()), -1);
  EXPECT_FALSE(fs::exists(mDir.File("x.wav")));
  EXPECT_EQ(cap.Err(), (std::vector<std::string>{"AudioFile::Export: ERROR: Not able to open output file " + alias,
                                                 "AudioFile:CopyMetaData: ERROR : Not able to copy meta data",
                                                 "AudioFile::Export: ERROR: Problem while copying metadata",
                                                 "AudioFile::InitAudio: ERROR: problem while openning " + mSource}));
  EXPECT_EQ(mFile.mSndFile, nullptr);
}
