// Playback through PortAudio into ALSA's file plugin: what is heard, at which
// rate, and what the notifier is told; then the play command around it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AudioFile.h"
#include "PlaybackCapture.h"
#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

using vxtest::RecordingNotifier;
using Texts = std::vector<std::string>;
using Outcome = std::pair<int, Texts>;  // exit status, the command's own stderr lines

// `vxaudio play` as run by RunVx: its status and its own lines on standard
// error, whatever ALSA adds there.
Outcome PlayOutcome(const vxtest::VxOutcome& r) {
  Outcome o{r.status, {}};
  for (const std::string& line : vxtest::Lines(r.err))
    if (line.rfind("vxaudio play:", 0) == 0) o.second.push_back(line);
  return o;
}

class Playback : public ::testing::Test {
 protected:
  void SetUp() override {
    mCapture = mDir.File("capture.wav");
    vxtest::UseAlsaDefault(mDir.Path(), vxtest::FilePcm(mCapture));
  }

  // Float noise: exact through the float stream, and no value in the first
  // million is zero, so leading silence, channel order and offsets all show.
  std::string Sound(int64_t frames, int channels) {
    mSamples = vxtest::Noise(frames, channels, 3);
    return vxtest::WriteSound(mDir.File("in.wav"), mSamples, channels, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  }

  // Plays to the end, stops (which flushes the capture) and returns what the
  // notifier heard; `during` runs while it plays.
  Texts Play(AudioFile& af, int32_t start, int32_t end, float speed = 1.0f, int32_t interval = 0,
             const std::function<void()>& during = {}) {
    RecordingNotifier n;
    EXPECT_EQ(af.StartPlayAudio(start, end, speed, &n, interval), 0);
    if (during) during();
    EXPECT_TRUE(n.Wait()) << "no end notification";
    EXPECT_EQ(af.StopPlayAudio(), 0);
    EXPECT_TRUE(vxtest::PortAudioShutDown());
    return n.Events();
  }

  // After the leading silence the capture, at `rate`, must hold the file's
  // frames [start, start + count), then silence only.
  void ExpectHeard(int32_t start, int64_t count, int channels, int rate = 44100) {
    const vxtest::Capture c = vxtest::ReadCapture(mCapture);
    ASSERT_EQ(std::make_pair(c.channels, c.rate), std::make_pair(channels, rate));
    const size_t n = size_t(count * channels);
    ASSERT_GE(c.heard.size(), n);
    for (size_t i = 0; i < c.heard.size(); ++i)
      ASSERT_EQ(c.heard[i], i < n ? mSamples[size_t(start * channels) + i] : 0.0f) << "value " << i;
  }

  vxtest::TempDir mDir;
  std::string mCapture;
  std::vector<float> mSamples;
};

TEST_F(Playback, RangeAndSpeedDecideNotificationsAndWhatIsHeard) {
  using vxtest::Out;
  const auto kPastEnd = Out("AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart");
  const auto kPastStart = Out("AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0");
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    int64_t frames; int channels; int32_t start, end; float speed; int32_t interval;
    Texts events; int64_t heard; vxtest::DiagLines lines; int rate = 44100;
  } cases[] = {
      // To the end of the file: the last buffer is clamped, with its warning.
      {5000, 2, 700, 0, 1.0f, 0, {"pos 1724", "pos 2748", "pos 3772", "pos 4796", "end"}, 4300, {kPastEnd}},
      // The buffer that crosses an explicit end still plays whole.
      {10000, 3, 0, 3000, 1.0f, 0, {"pos 1024", "pos 2048", "pos 3072", "end"}, 3072, {}},
      // 44100 frames take 44 buffers; top speed keeps it short.
      {200000, 2, 0, 0, 5.0f, 44100, {"pos 45056", "pos 90112", "pos 135168", "pos 180224", "end"}, 200000,
       {kPastEnd}, 220500},
      {8192, 1, 6144, 0, 1.0f, -5, {"pos 7168", "end"}, 2048, {}},
      {4000, 2, 4000, 0, 1.0f, 0, {"end"}, 0, {kPastStart}},
      {4000, 2, 2000, 1000, 1.0f, 0, {"end"}, 0, {}},
      // The stream rate follows the speed; outside 0.1 to 5, normal speed.
      {1024, 1, 0, 0, 2.0f, 0, {"end"}, 1024, {}, 88200},  {1024, 1, 0, 0, 0.1f, 0, {"end"}, 1024, {}, 4410},
      {1024, 1, 0, 0, 0.05f, 0, {"end"}, 1024, {}, 44100}, {1024, 1, 0, 0, 7.0f, 0, {"end"}, 1024, {}, 44100},
      {1024, 1, 0, 0, -2.0f, 0, {"end"}, 1024, {}, 44100}, {1024, 1, 0, 0, nan, 0, {"end"}, 1024, {}, 44100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.frames << " frames, " << c.start << " to " << c.end << " at " << c.speed);
    AudioFile af;
    ASSERT_EQ(af.InitAudio(Sound(c.frames, c.channels).c_str()), 0);
    const int32_t len = int32_t(std::min<int64_t>(c.frames, 3000));
    std::vector<float> before, again;
    ASSERT_EQ(af.ReadMonoData(before, 0, len), len);
    vxtest::DiagCapture diag;
    // Reads while it plays use a handle of their own: the same values, and
    // what is heard is undisturbed.
    EXPECT_EQ(Play(af, c.start, c.end, c.speed, c.interval, [&] {
      for (int i = 0; i < 20; ++i) ASSERT_TRUE(af.ReadMonoData(again, 0, len) == len && again == before) << i;
    }), c.events);
    EXPECT_EQ(diag.Lines(), c.lines);
    ExpectHeard(c.start, c.heard, c.channels, c.rate);
  }
}

TEST_F(Playback, RestartStopAndDestroyLeaveNothingOpen) {
  auto af = std::make_unique<AudioFile>();
  ASSERT_EQ(af->InitAudio(Sound(8192, 2).c_str()), 0);
  RecordingNotifier first;
  // Ends inside the file so that neither stream prints a range warning.
  ASSERT_EQ(af->StartPlayAudio(0, 4096, 1.0f, &first, 0), 0);
  ASSERT_TRUE(first.Wait(false));
  vxtest::DiagCapture diag;
  EXPECT_EQ(Play(*af, 4096, 0), (Texts{"pos 5120", "pos 6144", "pos 7168", "end"}));
  EXPECT_EQ(diag.Out(),
            Texts{"AudioFile::StartPlayAudio: WARNING: stream already opened/used, stop stream and restart"});
  ExpectHeard(4096, 4096, 2);
  // Stopping again, or an object that never played, is silent.
  diag.Clear();
  EXPECT_EQ(af->StopPlayAudio(), 0);
  EXPECT_EQ(AudioFile().StopPlayAudio(), 0);
  EXPECT_TRUE(diag.Lines().empty());
  // Destroyed while playing, it shuts the stream and PortAudio down.
  ASSERT_EQ(af->InitAudio(Sound(441000, 1).c_str()), 0);
  RecordingNotifier last;
  ASSERT_EQ(af->StartPlayAudio(0, 0, 1.0f, &last, 0), 0);
  ASSERT_TRUE(last.Wait(false));
  af.reset();
  EXPECT_TRUE(vxtest::PortAudioShutDown());
}

TEST_F(Playback, FailuresAreReportedAndLeaveNothingPlaying) {
  AudioFile gone, six, none;
  const std::string path = Sound(4096, 2);
  ASSERT_EQ(gone.InitAudio(path.c_str()), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);
  vxtest::DiagCapture diag;
  EXPECT_EQ(Play(gone, 0, 0), Texts{"error"});  // the stream opens the file anew
  EXPECT_EQ(diag.Err(), Texts{"AudioFile::InitAudio: ERROR: problem while openning " + path});

  ASSERT_EQ(six.InitAudio(Sound(2048, 6).c_str()), 0);
  vxtest::UseAlsaDefault(mDir.Path(), vxtest::kTwoChannelPcm);
  RecordingNotifier n;
  diag.Clear();
  EXPECT_EQ(six.StartPlayAudio(0, 0, 1.0f, &n, 0), -1);
  EXPECT_EQ(diag.Err(), Texts{"AudioFile::StartPlayAudio: ERROR: cannot open stream"});
  EXPECT_FALSE(six.mStreamOpened);
  // A refused open leaves PortAudio initialised (nothing else open).
  EXPECT_FALSE(vxtest::PortAudioShutDown());
  Pa_Terminate();
  EXPECT_EQ(six.StopPlayAudio(), 0);
  // An object that never described a file has no rate to play at.
  EXPECT_EQ(none.StartPlayAudio(0, 0, 1.0f, &n, 0), -1);
  Pa_Terminate();
  EXPECT_TRUE(vxtest::PortAudioShutDown());
  EXPECT_TRUE(n.Events().empty());
}

// ---- vxaudio play ----

TEST_F(Playback, CommandPlaysTheRangeOrSaysWhyNot) {
  const std::string path = Sound(3000, 2);
  const std::string six = vxtest::WriteSound(mDir.File("six.wav"), vxtest::Noise(1000, 6), 6);
  const struct { std::string pcm, args; Outcome want; } cases[] = {
      {vxtest::FilePcm(mCapture), path + " --start 1000s --interval 512", {0, {}}},
      {vxtest::FilePcm(mCapture), path + " --speed nan", {2, {"vxaudio play: --speed nan is outside 0.1 to 5.0"}}},
      {vxtest::kTwoChannelPcm, six, {1, {"vxaudio play: " + six + ": the default output device plays at most 2 "
                                         "channels, the file has 6"}}},
      {vxtest::kNoCardPcm, path, {1, {"vxaudio play: no audio output device"}}},
  };
  for (const auto& c : cases) {
    vxtest::UseAlsaDefault(mDir.Path(), c.pcm);
    EXPECT_EQ(PlayOutcome(vxtest::RunVx("VX play " + c.args, mDir.Path())), c.want) << c.args;
  }
  ExpectHeard(1000, 2000, 2);  // only the first run reached the device
}

TEST_F(Playback, CommandStopsCleanlyOnInterrupt) {
  // A pipe nobody reads yet stalls the output after its first bytes, so the
  // interrupt surely arrives while playing; draining it then lets the stop
  // finish.
  const std::string fifo = mDir.File("fifo.wav"), sound = Sound(441000, 1);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  vxtest::UseAlsaDefault(mDir.Path(), vxtest::FilePcm(fifo));
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  // The shell gives its process to the command, so the status is the
  // command's own: a death by the signal would not show as 130.
  vxtest::VxOutcome r;
  std::thread run([&] { r = vxtest::RunVx("echo $$ >pid && exec VX play " + sound, mDir.Path()); });
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 60000), 1) << "nothing played";
  if (const int pid = std::atoi(vxtest::Slurp(mDir.File("pid")).c_str()); pid > 0) kill(pid, SIGINT);
  // Read until the child closes its end (end of file).
  char buf[65536];
  while (poll(&p, 1, 60000) == 1 && read(fd, buf, sizeof buf) != 0) {
  }
  run.join();
  close(fd);
  EXPECT_EQ(PlayOutcome(r), (Outcome{130, {}}));  // an exit of its own, not death by the signal
}

}  // namespace
