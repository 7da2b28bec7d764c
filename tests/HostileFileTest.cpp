// Files whose headers claim more than they hold, or more than the engine's
// 32-bit frame positions address: every operation returns, nothing
// allocates from the claim alone, and the refusals are the usual messages.
// Fuzzer findings are kept here as regression cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>

#include "AudioFile.h"
#include "SilenceDetector.h"
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
const std::string kRule3 = "AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart";

// A real 16-bit FLAC of `frames` frames whose STREAMINFO then claims `total`
// (the 36-bit field at bytes 21..25 of the file: "fLaC", the block header,
// 13 bytes into the block).
std::string FlacClaiming(const vxtest::TempDir& dir, uint64_t total, int channels = 1,
                         const std::vector<float>& samples = vxtest::Noise(1000, 1, 5, 0.5)) {
  const auto path = dir.File("claims" + std::to_string(total) + ".flac");
  vxtest::WriteSound(path, samples, channels, 44100, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  b[21] = char((b[21] & 0xF0) | char((total >> 32) & 0x0F));
  for (int i = 0; i < 4; ++i) b[22 + size_t(i)] = char(total >> (8 * (3 - i)));
  f.seekp(0);
  f.write(b.data(), std::streamsize(b.size()));
  return path;
}

}  // namespace

// 2^31 .. 2^32 - 1 claimed frames: the low 32 bits are negative, every area
// of the file is empty, and the silence detector refuses the negative range.
TEST(HostileHeader, FrameCountsBeyondThirtyOneBitsReadNothing) {
  vxtest::TempDir dir;
  for (uint64_t total : {uint64_t(1) << 31, uint64_t(3000000000u), (uint64_t(1) << 32) - 1}) {
    SCOPED_TRACE(total);
    const auto path = FlacClaiming(dir, total);
    AudioFile f;
    DiagCapture cap;
    EXPECT_EQ(f.InitAudio(path.c_str()), 1);
    EXPECT_EQ(f.mSmpNb, int32_t(uint32_t(total)));
    EXPECT_EQ(cap.Lines(), (DiagLines{Out("=>AudioFile::InitAudio=> " + path), Out(kRule1),
                                      Out(kRule2), Out(kRule3)}));
    f.PrintInfo();

    cap.Clear();
    std::vector<float> v{1.0f};
    EXPECT_EQ(f.ReadMonoData(v, 0, 100), 0);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(f.ReadStereoData(v, 0, f.mSmpNb), 0);
    EXPECT_TRUE(v.empty());
    std::vector<int32_t> mn, mx;
    EXPECT_EQ(f.Audio2Graph(mn, mx, 10, 100), 0);
    EXPECT_TRUE(mn.empty() && mx.empty());
    EXPECT_EQ(f.Export(dir.File("out.wav").c_str()), kExportOk);
    EXPECT_FALSE(std::filesystem::exists(dir.File("out.wav")));
    EXPECT_EQ(cap.Out().back(), "AudioFile::Export: WARNING: nothing to export");

    cap.Clear();
    std::vector<MarkPair> marks;
    EXPECT_EQ(f.SilenceDetect(marks, 2.0f, 0.0f, 0.1f, 0.05f, 0), -1);
    EXPECT_EQ(cap.Err(), (Texts{"SilenceDetector: Error: negatif iStartSmp and/or iLenSmp",
                                "AudioSegment::SilenceDetect: ERROR: internal failure"}));
    std::vector<MarkData> silences;
    EXPECT_EQ(SilenceDetector(path, silences, 0, 1000, 2.0f, 0.0f, 0.1f, 0.05f, 0), -1);
  }
}

// Claims within 31 bits but far beyond the data: the reads stop at the real
// end, and buffers grow with what arrives, not with the claim.
TEST(HostileHeader, OverclaimsGiveWhatTheFileHoldsAndAllocateNothing) {
  vxtest::TempDir dir;
  const auto path = FlacClaiming(dir, 50000000, 2, vxtest::Noise(1000, 2, 5, 0.5));
  AudioFile f;
  DiagCapture cap;
  ASSERT_EQ(f.InitAudio(path.c_str()), 0);
  EXPECT_EQ(f.mSmpNb, 50000000);
  std::vector<float> v;
  EXPECT_EQ(f.ReadMonoData(v, 0, f.mSmpNb), 1000);
  EXPECT_LT(v.capacity(), size_t(1) << 20);
  EXPECT_EQ(f.ReadStereoData(v, 0, f.mSmpNb), 1000);
  EXPECT_LT(v.capacity(), size_t(1) << 20);
  const auto out = dir.File("out.wav");
  EXPECT_EQ(f.Export(out.c_str()), kExportOk);
  EXPECT_EQ(vxtest::ReadSound(out), vxtest::ReadSound(path));

  // The whole-file detector takes the low 32 bits as the length: a file of
  // 40000 silent frames claiming 2^32 + 800 is one silence of 800 frames.
  const auto wrapped = FlacClaiming(dir, (uint64_t(1) << 32) + 800, 1, std::vector<float>(40000));
  std::vector<MarkData> silences;
  ASSERT_EQ(SilenceDetector(wrapped, silences, 2.0f, 0.0f, 0.0f, 0.0f, 0), 0);
  ASSERT_EQ(silences.size(), 1u);
  EXPECT_EQ(silences[0].area.end, 799);

  // A sample rate of 2^31 - 1 Hz makes the analysis frame 2^28 samples: a
  // file far too short for one frame is refused before that buffer exists.
  const auto fast = vxtest::WriteSound(dir.File("fast.wav"), vxtest::Noise(732, 1), 1, 44100);
  {
    std::fstream file(fast, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(24);  // the fmt chunk's sample rate
    const char rate[4] = {char(0xFF), char(0xFF), char(0xFF), 0x7F};
    file.write(rate, 4);
  }
  cap.Clear();
  EXPECT_EQ(SilenceDetector(fast, silences, 2.0f, 0.0f, 0.1f, 0.05f, 0), 1);
  ASSERT_EQ(cap.Err().size(), 1u);
  EXPECT_EQ(cap.Err()[0].rfind("SilenceDetector: not enough sample too read / file too short", 0), 0u);
}
