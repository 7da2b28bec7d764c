// Opening, description, frame areas and reading of AudioFile.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "AudioFile.h"
#include "SoundFixture.h"

using vxtest::DiagCapture;
using vxtest::DiagLines;
using vxtest::Err;
using vxtest::Out;
using Texts = std::vector<std::string>;

namespace {
const std::string kRule1 =
    "AudioFile::CheckFrameArea: WARNING: ioStart and/or ioLen are negatives => ioStart and ioLen put to 0";
const std::string kRule2 = "AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0";
const std::string kOpenError = "AudioFile::InitAudio: ERROR: problem while openning ";
}  // namespace

TEST(AudioFileOpen, DescribesEveryEncodingAndFindsTheLargestSample) {
  const struct {
    const char* name;
    int channels, rate, format;
  } cases[] = {
      {"s16.wav", 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16},  {"u8.wav", 1, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
      {"s24.aif", 2, 48000, SF_FORMAT_AIFF | SF_FORMAT_PCM_24}, {"f32.wav", 3, 22050, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
      {"six.flac", 6, 44100, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
      {"four.wav", 4, 16000, SF_FORMAT_WAV | SF_FORMAT_PCM_24},  // blocks of whole frames
      {"five.aif", 5, 11025, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
  };
  vxtest::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = vxtest::Noise(8196, c.channels, 7, 0.5);
    data.back() = -0.875f;  // the peak in the very last value
    const auto path = vxtest::WriteSound(dir.File(c.name), data, c.channels, c.rate, c.format);
    float peak = 0;
    for (float v : vxtest::ReadSound(path)) peak = std::max(peak, std::fabs(v));
    AudioFile a;
    DiagCapture cap;
    ASSERT_EQ(a.InitAudio(path.c_str()), 0);
    EXPECT_EQ(cap.Lines(), DiagLines{Out("=>AudioFile::InitAudio=> " + path)});
    EXPECT_EQ(std::tie(a.mSampleRate, a.mChannels, a.mSmpNb), std::make_tuple(c.rate, c.channels, 8196));
    EXPECT_EQ(a.GetMaxValue(), peak);
    EXPECT_NEAR(peak, 0.875f, 0.01f);
    EXPECT_EQ(a.mFormatInfo.format | a.mSubFormatInfo.format, c.format);
    EXPECT_EQ(a.mSndFile, nullptr);
  }
}

TEST(AudioFileOpen, FailuresEmptyFilesAndSilence) {
  vxtest::TempDir dir;
  const auto good = vxtest::WriteSound(dir.File("ok.wav"), vxtest::Sine(100, 1), 1);
  for (const auto& path : {dir.File("missing.wav"), dir.Path(), vxtest::WriteBytes(dir.File("text.wav"), "text\n")}) {
    AudioFile a;
    ASSERT_EQ(a.InitAudio(good.c_str()), 0);
    DiagCapture cap;
    EXPECT_EQ(a.InitAudio(path.c_str()), -1);
    EXPECT_EQ(cap.Lines(), (DiagLines{Out("=>AudioFile::InitAudio=> " + path), Err(kOpenError + path)}));
    EXPECT_EQ(a.GetFileName(), path);
    EXPECT_EQ(a.mSmpNb + a.mChannels + a.mSampleRate, 0);
    EXPECT_FALSE(a.HasFrames());
  }
  AudioFile a;
  DiagCapture cap;
  const auto empty = vxtest::WriteSound(dir.File("empty.wav"), {}, 2);
  EXPECT_EQ(a.InitAudio(empty.c_str()), 1);
  EXPECT_EQ(cap.Out(), (Texts{"=>AudioFile::InitAudio=> " + empty, kRule2}));
  EXPECT_EQ(a.mChannels, 2);
  const auto silent = vxtest::WriteSound(dir.File("silent.wav"), std::vector<float>(500), 1, 8000);
  EXPECT_EQ(a.InitAudio(silent.c_str()), 1);  // described all the same, maximum 0
  EXPECT_EQ(std::tie(a.mSmpNb, a.mSampleRate, a.mMaxValue), std::make_tuple(500, 8000, 0.0f));
}

TEST(AudioFileOpen, PrintInfoForDescribedAndBlankObjects) {
  vxtest::TempDir dir;
  const auto path = vxtest::WriteSound(dir.File("a.wav"), {0.25f, -1.0f, 0.5f, 0.0f}, 2, 8, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  AudioFile blank, a;
  ASSERT_EQ(a.InitAudio(path.c_str()), 0);
  DiagCapture cap;
  a.PrintInfo();
  blank.PrintInfo();  // no names, no rate: empty texts and a zero duration
  EXPECT_EQ(cap.Out(), (Texts{"Sound File Info : ", " File Name    : " + path, " Format       : WAV (Microsoft)",
                              " Extension    : wav", " Storage type : 32 bit float", " Sample rate  : 8",
                              " Channels     : 2", " Nb of smp/ch : 2", " Duration     : 0.25 seconds",
                              " - Max value    : 1", "Sound File Info : ", " File Name    : ", " Format       : ",
                              " Extension    : ", " Storage type : ", " Sample rate  : 0", " Channels     : 0",
                              " Nb of smp/ch : 0", " Duration     : 0 seconds", " - Max value    : 0"}));
}

TEST(AudioFileRead, MixdownDuplicationAndAreas) {
  vxtest::TempDir dir;
  const auto six = vxtest::Noise(3000, 6, 3);
  AudioFile a6, a2, a1, blank;
  ASSERT_EQ(a6.InitAudio(vxtest::WriteSound(dir.File("6.wav"), six, 6, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT).c_str()), 0);
  ASSERT_EQ(a2.InitAudio(vxtest::WriteSound(dir.File("2.wav"), {0.5f, -0.25f, 0.f, 0.f}, 2).c_str()), 0);
  ASSERT_EQ(a1.InitAudio(vxtest::WriteSound(dir.File("1.wav"), {0.1f, 0.2f}, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT).c_str()), 0);

  std::vector<float> v{9.f};
  EXPECT_EQ(a6.ReadMonoData(v, 1000, 2000), 2000);
  for (int i = 0; i < 2000; ++i) {
    double sum = 0;
    for (int c = 0; c < 6; ++c) sum += six[size_t((1000 + i) * 6 + c)];
    ASSERT_NEAR(v[size_t(i)], sum / 6, 1e-6) << i;
  }
  EXPECT_EQ(a2.ReadMonoData(v, 0, 1), 1);
  EXPECT_EQ(v, std::vector<float>{0.125f});
  EXPECT_EQ(a1.ReadStereoData(v, 0, 2), 2);
  EXPECT_EQ(v, (std::vector<float>{0.1f, 0.1f, 0.2f, 0.2f}));

  DiagCapture cap;
  EXPECT_EQ(a1.ReadMonoData(v, 1, 0), 0);  // an empty area is silent here...
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(a1.ReadStereoData(v, 1, 0), 0);  // ...and warned about here
  EXPECT_EQ(a6.ReadMonoData(v, 10, INT32_MAX), 2990);  // the end is clamped without overflow
  EXPECT_EQ(a6.ReadMonoData(v, -1, 10), 0);
  EXPECT_EQ(blank.ReadStereoData(v, -1, 10), 0);
  EXPECT_EQ(cap.Out(), (Texts{"AudioFile::ReadStereoData: WARNING: nothing to read",
                              "AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart",
                              kRule1, kRule1, kRule2, "AudioFile::ReadStereoData: WARNING: nothing to read"}));
}

TEST(AudioFileRead, ShortAndVanishedFiles) {
  vxtest::TempDir dir;
  const auto data = vxtest::Sine(4000, 2);
  const auto path = vxtest::WriteSound(dir.File("a.wav"), data, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  AudioFile a;
  ASSERT_EQ(a.InitAudio(path.c_str()), 0);
  std::vector<float> buf(20, 7.f);
  EXPECT_EQ(a.ReadData(buf.data(), 3995, 10), 0);  // clamped to 5 frames, the rest untouched
  EXPECT_EQ(std::vector<float>(buf.begin(), buf.begin() + 10), std::vector<float>(data.end() - 10, data.end()));
  EXPECT_EQ(buf[10], 7.f);

  // Cut to half after the description: reads give what is there.
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 2000 * 8);
  std::vector<float> v;
  EXPECT_EQ(a.ReadMonoData(v, 1500, 1000), 500);
  EXPECT_EQ(a.ReadStereoData(v, 1900, 1000), 100);
  // A header claiming more frames than follow is described by what follows.
  AudioFile over;
  EXPECT_EQ(over.InitAudio(vxtest::WriteOverclaimingWav(dir.File("o.wav"), data, 2, 100000).c_str()), 0);
  EXPECT_EQ(over.mSmpNb, 4000);

  DiagCapture cap;
  vxtest::WriteSound(path, vxtest::Sine(5000, 3), 3);  // replaced: the buffers would not fit
  EXPECT_EQ(a.ReadStereoData(v, 0, 10), -1);
  std::filesystem::remove(path);
  v.assign(3, 1.f);
  EXPECT_EQ(a.ReadMonoData(v, 0, 10), -1);
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(a.ReadData(buf.data(), 0, 10), -1);
  EXPECT_EQ(a.ReadStereoData(v, 0, 10), -1);
  EXPECT_EQ(cap.Err(), Texts(4, kOpenError + path));
}
