// Opening, description, frame areas and reading of AudioFile.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "AudioFile.h"
#include "SoundFixture.h"

using vxtest::DiagCapture;
using vxtest::DiagLines;
using vxtest::Out;
using Texts = std::vector<std::string>;

const std::string kRule1 =
    "AudioFile::CheckFrameArea: WARNING: ioStart and/or ioLen are negatives => ioStart and ioLen put to 0";
const std::string kRule2 = "AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0";
const std::string kOpenError = "AudioFile::InitAudio: ERROR: problem while openning ";

TEST(AudioFileOpen, DescribesEveryEncodingAndFindsTheLargestSample) {
  const struct { const char* name; int channels, rate, format; } cases[] = {
      {"s16.wav", 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16},  {"u8.wav", 1, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
      {"s24.aif", 2, 48000, SF_FORMAT_AIFF | SF_FORMAT_PCM_24}, {"f32.wav", 3, 22050, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
      {"six.flac", 6, 44100, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
      {"five.aif", 5, 11025, SF_FORMAT_AIFF | SF_FORMAT_PCM_24},  // blocks cut to whole frames
  };
  vxtest::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = vxtest::Noise(8196, c.channels, 7, 0.5);
    data.back() = -0.875f;  // the peak in the very last value, exact in every encoding
    const auto path = vxtest::WriteSound(dir.File(c.name), data, c.channels, c.rate, c.format);
    AudioFile a;
    DiagCapture cap;
    ASSERT_EQ(a.InitAudio(path.c_str()), 0);
    EXPECT_EQ(cap.Lines(), DiagLines{Out("=>AudioFile::InitAudio=> " + path)});
    EXPECT_EQ(std::tie(a.mSampleRate, a.mChannels, a.mSmpNb), std::make_tuple(c.rate, c.channels, 8196));
    EXPECT_EQ(a.GetMaxValue(), 0.875f);
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
    EXPECT_EQ(cap.Lines(), (DiagLines{Out("=>AudioFile::InitAudio=> " + path), vxtest::Err(kOpenError + path)}));
    EXPECT_EQ(a.GetFileName(), path);
    EXPECT_EQ(a.mSmpNb + a.mChannels + a.mSampleRate, 0);
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

// The values of mono and stereo reads are proven against a per-block
// reference in AudioFileGraphTest; here, the areas they are given and files
// that change under them.
TEST(AudioFileRead, AreasShortAndVanishedFiles) {
  vxtest::TempDir dir;
  const auto data = vxtest::Sine(4000, 2);
  const auto path = vxtest::WriteSound(dir.File("a.wav"), data, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  AudioFile a, blank;
  ASSERT_EQ(a.InitAudio(path.c_str()), 0);
  std::vector<float> v{9.f}, buf(20, 7.f);
  EXPECT_EQ(a.ReadData(buf.data(), 3995, 10), 0);  // clamped to 5 frames, the rest untouched
  EXPECT_EQ(std::vector<float>(buf.begin(), buf.begin() + 10), std::vector<float>(data.end() - 10, data.end()));
  EXPECT_EQ(buf[10], 7.f);
  DiagCapture cap;
  EXPECT_EQ(a.ReadMonoData(v, 1, 0), 0);  // an empty area is silent here...
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(a.ReadStereoData(v, 1, 0), 0);  // ...and warned about here
  EXPECT_EQ(a.ReadMonoData(v, 10, INT32_MAX), 3990);  // the end is clamped without overflow
  EXPECT_EQ(a.ReadMonoData(v, -1, 10), 0);
  EXPECT_EQ(blank.ReadStereoData(v, -1, 10), 0);
  EXPECT_EQ(cap.Out(), (Texts{"AudioFile::ReadStereoData: WARNING: nothing to read",
                              "AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart",
                              kRule1, kRule1, kRule2, "AudioFile::ReadStereoData: WARNING: nothing to read"}));
  // Cut to half after the description: reads give what is there.
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 2000 * 8);
  EXPECT_EQ(a.ReadMonoData(v, 1500, 1000), 500);
  EXPECT_EQ(a.ReadStereoData(v, 1900, 1000), 100);
  // A header claiming more frames than follow is described by what follows.
  AudioFile over;
  EXPECT_EQ(over.InitAudio(vxtest::WriteOverclaimingWav(dir.File("o.wav"), data, 2, 100000).c_str()), 0);
  EXPECT_EQ(over.mSmpNb, 4000);

  cap.Clear();
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
