// Opening, description, frame areas and reading of AudioFile.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>

#include "AudioFile.h"
#include "SoundFixture.h"

using vxtest::DiagCapture;
using vxtest::DiagLines;
using vxtest::Err;
using vxtest::Out;

namespace {

const std::string kRule1 =
    "AudioFile::CheckFrameArea: WARNING: ioStart and/or ioLen are negatives => ioStart and ioLen "
    "put to 0";
const std::string kRule2 =
    "AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0";
const std::string kRule3 =
    "AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart";

float AbsMax(const std::vector<float>& v) {
  float m = 0;
  for (float x : v) m = std::max(m, std::fabs(x));
  return m;
}

struct OpenCase {
  const char* name;
  int channels, rate, format;
};

}  // namespace

TEST(AudioFileOpen, DescribesEveryEncodingAndFindsTheLargestSample) {
  const OpenCase cases[] = {
      {"s16.wav", 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
      {"u8.wav", 1, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
      {"s24.aif", 2, 48000, SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
      {"f32.wav", 3, 22050, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
      {"six.flac", 6, 44100, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
      {"four.wav", 4, 16000, SF_FORMAT_WAV | SF_FORMAT_PCM_24},  // 4098 values are not whole frames
      {"five.aif", 5, 11025, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
  };
  vxtest::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // 8196 mono frames are two full blocks of the scan: the peak sits in the last value.
    auto data = vxtest::Noise(8196, c.channels, 7, 0.5);
    data.back() = -0.875f;
    const auto path = vxtest::WriteSound(dir.File(c.name), data, c.channels, c.rate, c.format);
    AudioFile a;
    DiagCapture cap;
    ASSERT_EQ(a.InitAudio(path.c_str()), 0);
    EXPECT_EQ(cap.Lines(), DiagLines{Out("=>AudioFile::InitAudio=> " + path)});
    EXPECT_EQ(a.mSampleRate, c.rate);
    EXPECT_EQ(a.mChannels, c.channels);
    EXPECT_EQ(a.mSmpNb, 8196);
    EXPECT_EQ(a.GetMaxValue(), AbsMax(vxtest::ReadSound(path)));
    EXPECT_NEAR(a.GetMaxValue(), 0.875f, 0.01f);
    EXPECT_EQ(a.mFormatInfo.format, c.format & SF_FORMAT_TYPEMASK);
    EXPECT_EQ(a.mSubFormatInfo.format, c.format & SF_FORMAT_SUBMASK);
    EXPECT_TRUE(a.HasFrames());
    EXPECT_EQ(a.mSndFile, nullptr);
  }
}

TEST(AudioFileOpen, RefusesUnreadablePathsAndKeepsTheNewName) {
  vxtest::TempDir dir;
  const auto good = vxtest::WriteSound(dir.File("ok.wav"), vxtest::Sine(100, 1), 1);
  const std::string bad[] = {dir.File("missing.wav"), dir.Path(),
                             vxtest::WriteBytes(dir.File("text.wav"), "just some text\n")};
  for (const auto& path : bad) {
    AudioFile a;
    ASSERT_EQ(a.InitAudio(good.c_str()), 0);
    DiagCapture cap;
    EXPECT_EQ(a.InitAudio(path.c_str()), -1);
    EXPECT_EQ(cap.Lines(), (DiagLines{Out("=>AudioFile::InitAudio=> " + path),
                                      Err("AudioFile::InitAudio: ERROR: problem while openning " + path)}));
    EXPECT_EQ(a.GetFileName(), path);
    EXPECT_EQ(a.mSmpNb + a.mChannels + a.mSampleRate, 0);
    EXPECT_FALSE(a.HasFrames());
  }
}

TEST(AudioFileOpen, NoFramesOrOnlySilenceDescribesButReportsOne) {
  vxtest::TempDir dir;
  AudioFile a;
  DiagCapture cap;
  const auto empty = vxtest::WriteSound(dir.File("empty.wav"), {}, 2);
  EXPECT_EQ(a.InitAudio(empty.c_str()), 1);
  EXPECT_EQ(cap.Out(), (std::vector<std::string>{"=>AudioFile::InitAudio=> " + empty, kRule2}));
  EXPECT_EQ(a.mChannels, 2);
  cap.Clear();
  const auto silent = vxtest::WriteSound(dir.File("silent.wav"), std::vector<float>(500), 1, 8000);
  EXPECT_EQ(a.InitAudio(silent.c_str()), 1);
  EXPECT_EQ(cap.Lines().size(), 1u);
  EXPECT_EQ(a.mSmpNb, 500);
  EXPECT_EQ(a.mSampleRate, 8000);
  EXPECT_EQ(a.GetMaxValue(), 0.0f);
  EXPECT_EQ(a.mSndFile, nullptr);
}

TEST(AudioFileOpen, PrintInfoForDescribedAndBlankObjects) {
  vxtest::TempDir dir;
  const auto path =
      vxtest::WriteSound(dir.File("a.wav"), {0.25f, -1.0f, 0.5f, 0.0f}, 2, 8, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  AudioFile blank, a;
  ASSERT_EQ(a.InitAudio(path.c_str()), 0);
  DiagCapture cap;
  a.PrintInfo();
  blank.PrintInfo();  // no names, no rate: empty texts and a zero duration
  EXPECT_EQ(cap.Out(), (std::vector<std::string>{
                           "Sound File Info : ", " File Name    : " + path, " Format       : WAV (Microsoft)",
                           " Extension    : wav", " Storage type : 32 bit float", " Sample rate  : 8",
                           " Channels     : 2", " Nb of smp/ch : 2", " Duration     : 0.25 seconds",
                           " - Max value    : 1",
                           "Sound File Info : ", " File Name    : ", " Format       : ", " Extension    : ",
                           " Storage type : ", " Sample rate  : 0", " Channels     : 0", " Nb of smp/ch : 0",
                           " Duration     : 0 seconds", " - Max value    : 0"}));
}

TEST(AudioFileArea, ClampsWithOneWarningPerRule) {
  vxtest::TempDir dir;
  AudioFile a, blank;
  ASSERT_EQ(a.InitAudio(vxtest::WriteSound(dir.File("a.wav"), vxtest::Sine(100, 1), 1).c_str()), 0);
  struct Case {
    AudioFile* f;
    int32_t start, len, wantStart, wantLen;
    std::vector<std::string> warnings;
  } cases[] = {
      {&a, 5, 20, 5, 20, {}},
      {&a, -1, 10, 0, 0, {kRule1}},
      {&blank, -1, 10, 0, 0, {kRule1, kRule2}},
      {&a, 100, 10, 0, 0, {kRule2}},
      {&a, 10, INT32_MAX, 10, 90, {kRule3}},
      {&a, 0, INT32_MIN, 0, 0, {kRule1}},
  };
  for (auto& c : cases) {
    DiagCapture cap;
    c.f->CheckFrameArea(c.start, c.len);
    EXPECT_EQ(c.start, c.wantStart);
    EXPECT_EQ(c.len, c.wantLen);
    EXPECT_EQ(cap.Out(), c.warnings);
  }
}

TEST(AudioFileRead, MonoIsTheChannelMeanAndStereoDuplicatesMono) {
  vxtest::TempDir dir;
  auto six = vxtest::Noise(3000, 6, 3);
  AudioFile a6, a2, a1, a4;
  ASSERT_EQ(a6.InitAudio(vxtest::WriteSound(dir.File("6.wav"), six, 6, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT).c_str()), 0);
  ASSERT_EQ(a2.InitAudio(vxtest::WriteSound(dir.File("2.wav"), {0.5f, -0.25f, 0.f, 0.f}, 2).c_str()), 0);
  ASSERT_EQ(a1.InitAudio(vxtest::WriteSound(dir.File("1.wav"), {0.1f, 0.2f}, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT).c_str()), 0);
  ASSERT_EQ(a4.InitAudio(vxtest::WriteSound(dir.File("4.wav"), vxtest::Sine(10, 4), 4).c_str()), 0);

  std::vector<float> v{9.f};
  EXPECT_EQ(a6.ReadMonoData(v, 1000, 2000), 2000);
  for (int i = 0; i < 2000; ++i) {
    double sum = 0;
    for (int c = 0; c < 6; ++c) sum += six[size_t((1000 + i) * 6 + c)];
    ASSERT_NEAR(v[size_t(i)], sum / 6, 1e-6) << i;
  }
  EXPECT_EQ(a2.ReadMonoData(v, 0, 1), 1);
  EXPECT_EQ(v, std::vector<float>{0.125f});

  DiagCapture cap;
  EXPECT_EQ(a1.ReadStereoData(v, 0, 2), 2);
  EXPECT_EQ(v, (std::vector<float>{0.1f, 0.1f, 0.2f, 0.2f}));
  EXPECT_EQ(a1.ReadMonoData(v, 1, 0), 0);  // empty area: silent
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(a1.ReadStereoData(v, 1, 0), 0);
  EXPECT_EQ(a4.ReadStereoData(v, 0, 5), 0);
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(cap.Out(), (std::vector<std::string>{"AudioFile::ReadStereoData: WARNING: nothing to read",
                                                 "AudioFile::ReadStereoData: WARNING: more than 2 channels, read nothing"}));
}

TEST(AudioFileRead, ShortFilesAndVanishedFiles) {
  vxtest::TempDir dir;
  const auto data = vxtest::Sine(4000, 2);
  const auto path = vxtest::WriteSound(dir.File("a.wav"), data, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  AudioFile a;
  ASSERT_EQ(a.InitAudio(path.c_str()), 0);

  std::vector<float> buf(20, 7.f);
  EXPECT_EQ(a.ReadData(buf.data(), 3995, 10), 0);  // clamped to 5 frames, the rest untouched
  EXPECT_EQ(std::vector<float>(buf.begin(), buf.begin() + 10), std::vector<float>(data.end() - 10, data.end()));
  EXPECT_EQ(buf[10], 7.f);

  // The file loses its second half after the description: reads give what is there.
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 2000 * 8);
  std::vector<float> v;
  EXPECT_EQ(a.ReadMonoData(v, 1500, 1000), 500);
  EXPECT_EQ(a.ReadStereoData(v, 1900, 1000), 100);

  // A header that claims more frames than the file holds is described by what it holds.
  AudioFile over;
  EXPECT_EQ(over.InitAudio(vxtest::WriteOverclaimingWav(dir.File("o.wav"), data, 2, 100000).c_str()), 0);
  EXPECT_EQ(over.mSmpNb, 4000);

  std::filesystem::remove(path);
  DiagCapture cap;
  v.assign(3, 1.f);
  EXPECT_EQ(a.ReadMonoData(v, 0, 10), -1);
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(a.ReadData(buf.data(), 0, 10), -1);
  EXPECT_EQ(a.ReadStereoData(v, 0, 10), -1);
  EXPECT_EQ(cap.Err(), std::vector<std::string>(3, "AudioFile::InitAudio: ERROR: problem while openning " + path));
}
