// Export of AudioFile: layouts, encodings, containers, clipping, metadata,
// the order of the argument checks and the messages of the last block.
// (Block by block, exports are also compared byte for byte with a per-block
// reference in AudioFileGraphTest.)
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "AudioFile.h"
#include "SoundFixture.h"
#include "VxProcess.h"

using vxtest::DiagCapture;
using vxtest::DiagLines;
using vxtest::Err;
using vxtest::Out;
using Texts = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const std::string kRule2 = "AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0";

class ExportTest : public ::testing::Test {
 protected:
  // `frames` stereo 16-bit frames at 32 kHz with a title and an artist.
  void Open(int64_t frames) {
    mSource = vxtest::WriteSound(mDir.File("src.wav"), vxtest::Noise(frames, 2, 11), 2, 32000,
                                 SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                 {{SF_STR_TITLE, "Take one"}, {SF_STR_ARTIST, "Tester"}});
    ASSERT_EQ(mFile.InitAudio(mSource.c_str()), 0);
  }
  vxtest::TempDir mDir;
  std::string mSource;
  AudioFile mFile;
};

// Files of this process may not grow beyond `bytes` while it lives; writes
// past it fail with EFBIG (SIGXFSZ ignored) instead of killing the process.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) : oldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit lim{bytes, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
  }
  void (*oldHandler)(int);
  rlimit old{};
};

}  // namespace

// The text strings are among the bytes compared in AudioFileGraphTest.
// Large enough (1.2 MB) to flush the 1 MiB write buffer inside the loop.
TEST_F(ExportTest, DefaultsGiveTheWholeFileInSixteenBitStereo) {
  Open(300000);
  const auto out = mDir.File("out.wav");
  DiagCapture cap;
  ASSERT_EQ(mFile.Export(out.c_str()), 0);
  // The last request (0 frames, past the end) warns twice; nothing else is printed.
  EXPECT_EQ(cap.Lines(), (DiagLines{Out(kRule2), Out("AudioFile::ReadStereoData: WARNING: nothing to read")}));
  SF_INFO info{};
  EXPECT_EQ(vxtest::ReadSound(out, &info), vxtest::ReadSound(mSource));  // 16 -> 16 bits is lossless
  EXPECT_EQ(std::tie(info.samplerate, info.format), std::make_tuple(32000, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
  EXPECT_EQ(mFile.mSndFile, nullptr);
  // Nothing failing: checked writes give the same bytes, and no error is left over.
  mFile.SetCheckedWrites(true);
  ASSERT_EQ(mFile.Export(mDir.File("c.wav").c_str()), kExportOk);
  EXPECT_EQ(mFile.LastWriteError(), 0);
  EXPECT_TRUE(vxtest::Slurp(mDir.File("c.wav")) == vxtest::Slurp(out));
}

TEST_F(ExportTest, ChannelLayoutsClippingAndBlockEdges) {
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

  // A mono float source goes to both channels, clipped rather than wrapped
  // beyond full scale. (Three channels, an empty stereo file, are compared
  // with the reference in AudioFileGraphTest.)
  AudioFile one;
  const auto m = vxtest::WriteSound(mDir.File("m.wav"), {1.5f, -3.0f, 0.5f}, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  ASSERT_EQ(one.InitAudio(m.c_str()), 0);
  ASSERT_EQ(one.Export(mDir.File("m2.snd").c_str(), 8, 2, 0, 3), 0);
  EXPECT_EQ(vxtest::ReadSound(mDir.File("m2.snd"), &info),
            (std::vector<float>{127 / 128.f, 127 / 128.f, -1, -1, 0.5f, 0.5f}));
  EXPECT_EQ(info.format, SF_FORMAT_AU | SF_FORMAT_PCM_S8);
  ASSERT_EQ(one.Export(mDir.File("m2.sf").c_str(), 16, 2, 0, 3), 0);
  vxtest::ReadSound(mDir.File("m2.sf"), &info);
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_IRCAM);
}

TEST_F(ExportTest, ArgumentChecksRunInOrderAndLeaveNoFile) {
  Open(100);
  const auto kInvalid = Err("AudioFile::Export: ERROR: output file format is invalid.");
  struct { const char* out; int bits, channels, start, len, result; DiagLines lines; } cases[] = {
      {"a.wav", 32, 0, 500, 10, 0, {Out(kRule2), Out("AudioFile::Export: WARNING: nothing to export")}},
      {"a.wav", 32, 0, 0, 10, -3, {Out("AudioFile::Export: ERROR: iChannels must be 1 (mono) or 2 (stereo)")}},
      {"a.xyz", 32, 2, 0, 10, -2, {Out("AudioFile::Export: ERROR: Unrecognized bits format")}},
      {"a.WAV", 16, 2, 0, 10, 2, {kInvalid}},
      {"nodot", 16, 2, 0, 10, 2, {kInvalid}},
      {"a.wav", 8, 1, 0, 10, 2, {kInvalid}},
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

TEST_F(ExportTest, FailedOutputsStayClosedAndLeaveTheSourceAlone) {
  Open(300);
  // The header goes out while the output opens: a device that refuses it
  // means the output did not open, in either mode.
  const auto full = mDir.File("full.wav");
  fs::create_symlink("/dev/full", full);
  for (bool checked : {true, false}) {
    mFile.SetCheckedWrites(checked);
    DiagCapture cap;
    EXPECT_EQ(mFile.Export(full.c_str()), kExportCannotOpen) << checked;
    EXPECT_EQ(cap.Lines(), DiagLines{Err("AudioFile::Export: ERROR: Not able to open output file " + full)});
    EXPECT_EQ(mFile.LastWriteError(), ENOSPC);
    EXPECT_EQ(mFile.mSndFile, nullptr);
  }
  const std::string before = vxtest::Slurp(mSource);
  const std::string alias = mDir.Path() + "/./src.wav";
  DiagCapture cap;
  EXPECT_EQ(mFile.Export(alias.c_str()), -1);  // the source itself is never opened for writing
  // A container without text strings refuses the metadata: an empty output stays.
  const auto snd = mDir.File("a.snd");
  EXPECT_EQ(mFile.Export(snd.c_str()), 3);
  EXPECT_TRUE(fs::exists(snd) && vxtest::ReadSound(snd).empty());
  EXPECT_TRUE(vxtest::Slurp(mSource) == before);
  fs::remove(mSource);
  EXPECT_EQ(mFile.Export(mDir.File("x.wav").c_str()), -1);
  EXPECT_FALSE(fs::exists(mDir.File("x.wav")));
  EXPECT_EQ(cap.Err(), (Texts{"AudioFile::Export: ERROR: Not able to open output file " + alias,
                              "AudioFile:CopyMetaData: ERROR : Not able to copy meta data",
                              "AudioFile::Export: ERROR: Problem while copying metadata",
                              "AudioFile::InitAudio: ERROR: problem while openning " + mSource}));
  EXPECT_EQ(mFile.mSndFile, nullptr);
}

// A file-size limit lets the header through and stops the samples: at the
// final flush (small export) or at a buffer flush inside the loop (large).
// Unchecked, that goes unnoticed as it always has; checked, it is the result.
TEST_F(ExportTest, CheckedWritesReportTheFirstFailedWrite) {
  Open(300000);  // 1.2 MB of 16-bit stereo: more than the 1 MiB buffer
  struct { int32_t frames; bool checked; int result; } cases[] = {
      {20000, false, kExportOk}, {20000, true, kExportWriteFailed},
      {300000, false, kExportOk}, {300000, true, kExportWriteFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frames << (c.checked ? " checked" : " unchecked"));
    const auto out = mDir.File("limited.wav");
    mFile.SetCheckedWrites(c.checked);
    DiagCapture cap;
    EXPECT_EQ([&] { FileSizeLimit limit(16384); return mFile.Export(out.c_str(), 16, 2, 0, c.frames); }(), c.result);
    EXPECT_EQ(mFile.LastWriteError(), EFBIG);
    EXPECT_EQ(cap.Err(), c.checked ? Texts{"AudioFile::Export: ERROR: writing the output failed: " +
                                           std::string(std::strerror(EFBIG))}
                                   : Texts{});
    EXPECT_EQ(fs::file_size(out), 16384u);
    EXPECT_EQ(mFile.mSndFile, nullptr);
  }
}
