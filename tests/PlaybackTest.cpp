// Playback through PortAudio into ALSA's file plugin: what is heard, at which
// rate, and what the notifier is told.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AudioFile.h"
#include "PlaybackCapture.h"
#include "SoundFixture.h"

namespace {

using vxtest::RecordingNotifier;
using Events = std::vector<std::string>;

const std::string kPastEnd =
    "AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart";

// Never zero, and different in every channel, so leading silence, channel
// order and offsets all show.
std::vector<float> Ramp(int64_t frames, int channels) {
  std::vector<float> v(size_t(frames * channels));
  for (int64_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      v[size_t(i * channels + c)] =
          float((c % 2 ? -1 : 1) * (0.05 + 0.1 * c + 0.5 * double((i * 7) % 1000) / 1000.0));
  return v;
}

class Playback : public ::testing::Test {
 protected:
  void SetUp() override {
    mCapture = mDir.File("capture.wav");
    vxtest::UseAlsaCapture(mDir.Path(), mCapture);
  }

  std::string Sound(int64_t frames, int channels, int rate = 44100) {
    mSamples = Ramp(frames, channels);
    return vxtest::WriteSound(mDir.File("in.wav"), mSamples, channels, rate,
                              SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  }

  // Plays to the end, stops (which flushes the capture) and returns what the
  // notifier heard.
  Events Play(AudioFile& af, int32_t start, int32_t end, float speed = 1.0f, int32_t interval = 0) {
    RecordingNotifier n;
    EXPECT_EQ(af.StartPlayAudio(start, end, speed, &n, interval), 0);
    EXPECT_TRUE(n.WaitDone()) << "no end notification";
    EXPECT_EQ(af.StopPlayAudio(), 0);
    EXPECT_TRUE(vxtest::PortAudioShutDown());
    return n.Events();
  }

  // The captured frames after the leading silence must be the file's frames
  // [start, start + count) followed by silence only.
  void ExpectHeard(int32_t start, int64_t count, int channels) {
    const vxtest::Capture c = vxtest::ReadCapture(mCapture);
    ASSERT_EQ(c.channels, channels);
    const std::vector<float> heard = c.Heard();
    const size_t n = size_t(count * channels);
    ASSERT_GE(heard.size(), n);
    const float tol = c.bits == 16 ? 1.0f / 32768 : 0.0f;
    for (size_t i = 0; i < n; ++i)
      ASSERT_NEAR(heard[i], mSamples[size_t(start) * size_t(channels) + i], tol) << "value " << i;
    for (size_t i = n; i < heard.size(); ++i) ASSERT_EQ(heard[i], 0.0f) << "value " << i;
  }

  vxtest::TempDir mDir;
  std::string mCapture;
  std::vector<float> mSamples;
};

TEST_F(Playback, RangeDecidesNotificationsAndWhatIsHeard) {
  const std::string kPastStart =
      "AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0";
  const struct {
    int64_t frames;
    int channels;
    int32_t start, end;
    float speed;
    int32_t interval;
    Events events;
    int64_t heard;
    std::vector<std::string> out;
  } cases[] = {
      // To the end of the file: the last buffer is clamped, with its warning.
      {5000, 2, 700, 0, 1.0f, 0, {"pos 1724", "pos 2748", "pos 3772", "pos 4796", "end"}, 4300,
       {kPastEnd}},
      // The buffer that crosses an explicit end still plays whole.
      {10000, 3, 0, 3000, 1.0f, 0, {"pos 1024", "pos 2048", "pos 3072", "end"}, 3072, {}},
      // 44100 frames take 44 buffers; top speed keeps it short.
      {100000, 1, 0, 0, 5.0f, 44100, {"pos 45056", "pos 90112", "end"}, 100000, {kPastEnd}},
      {8192, 1, 6144, 0, 1.0f, -5, {"pos 7168", "end"}, 2048, {}},
      {4000, 2, 4000, 0, 1.0f, 0, {"end"}, 0, {kPastStart}},
      {4000, 2, 2000, 1000, 1.0f, 0, {"end"}, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.frames << " frames from " << c.start << " to " << c.end);
    AudioFile af;
    ASSERT_EQ(af.InitAudio(Sound(c.frames, c.channels).c_str()), 0);
    vxtest::DiagCapture diag;
    EXPECT_EQ(Play(af, c.start, c.end, c.speed, c.interval), c.events);
    EXPECT_EQ(diag.Out(), c.out);
    EXPECT_TRUE(diag.Err().empty());
    ExpectHeard(c.start, c.heard, c.channels);
  }
}

TEST_F(Playback, SpeedScalesTheStreamRateAndFallsBackToNormal) {
  AudioFile af;
  ASSERT_EQ(af.InitAudio(Sound(1024, 1).c_str()), 0);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float speeds[] = {1.0f, 2.0f, 0.1f, 5.0f, 0.05f, 7.0f, -2.0f, nan};
  const int rates[] = {44100, 88200, 4410, 220500, 44100, 44100, 44100, 44100};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(Play(af, 0, 0, speeds[i]), (Events{"end"}));
    EXPECT_EQ(vxtest::ReadCapture(mCapture).rate, rates[i]) << "speed " << speeds[i];
  }
}

TEST_F(Playback, StartingAgainStopsTheOlderStreamFirst) {
  AudioFile af;
  ASSERT_EQ(af.InitAudio(Sound(8192, 2).c_str()), 0);
  RecordingNotifier first;
  // Ends inside the file so that neither stream prints a range warning.
  ASSERT_EQ(af.StartPlayAudio(0, 4096, 1.0f, &first, 0), 0);
  ASSERT_TRUE(first.WaitAny());

  vxtest::DiagCapture diag;
  const Events second = Play(af, 4096, 0);
  EXPECT_EQ(second, (Events{"pos 5120", "pos 6144", "pos 7168", "end"}));
  EXPECT_EQ(diag.Out(), (std::vector<std::string>{"AudioFile::StartPlayAudio: WARNING: stream "
                                                   "already opened/used, stop stream and restart"}));
  ExpectHeard(4096, 4096, 2);
  // Stopping again, or an object that never played, is silent.
  diag.Clear();
  EXPECT_EQ(af.StopPlayAudio(), 0);
  EXPECT_EQ(AudioFile().StopPlayAudio(), 0);
  EXPECT_TRUE(diag.Lines().empty());
}

TEST_F(Playback, FileGoneBeforePlayingIsReportedAsAnError) {
  AudioFile af;
  const std::string path = Sound(4096, 2);
  ASSERT_EQ(af.InitAudio(path.c_str()), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);
  vxtest::DiagCapture diag;
  EXPECT_EQ(Play(af, 0, 0), (Events{"error"}));
  EXPECT_EQ(diag.Err(),
            (std::vector<std::string>{"AudioFile::InitAudio: ERROR: problem while openning " + path}));
}

TEST_F(Playback, HostReadsWhilePlayingUseTheirOwnHandle) {
  AudioFile af;
  ASSERT_EQ(af.InitAudio(Sound(200000, 2).c_str()), 0);
  std::vector<float> before;
  ASSERT_EQ(af.ReadMonoData(before, 1000, 3000), 3000);
  RecordingNotifier n;
  ASSERT_EQ(af.StartPlayAudio(0, 0, 5.0f, &n, 0), 0);
  for (int i = 0; i < 20; ++i) {
    std::vector<float> again;
    ASSERT_EQ(af.ReadMonoData(again, 1000, 3000), 3000);
    ASSERT_EQ(again, before);
  }
  ASSERT_TRUE(n.WaitDone());
  EXPECT_EQ(n.Events().back(), "end");
  EXPECT_EQ(af.StopPlayAudio(), 0);
  ExpectHeard(0, 200000, 2);
}

TEST_F(Playback, DestroyingWhilePlayingShutsEverythingDown) {
  auto af = std::make_unique<AudioFile>();
  ASSERT_EQ(af->InitAudio(Sound(441000, 1).c_str()), 0);
  RecordingNotifier n;
  ASSERT_EQ(af->StartPlayAudio(0, 0, 1.0f, &n, 0), 0);
  ASSERT_TRUE(n.WaitAny());
  af.reset();
  EXPECT_TRUE(vxtest::PortAudioShutDown());
}

TEST_F(Playback, RefusedStreamLeavesNothingOpen) {
  AudioFile six;
  ASSERT_EQ(six.InitAudio(Sound(2048, 6).c_str()), 0);
  vxtest::UseAlsaCapture(mDir.Path(), mCapture, /*twoChannelsOnly=*/true);
  RecordingNotifier n;
  {
    vxtest::DiagCapture diag;
    EXPECT_EQ(six.StartPlayAudio(0, 0, 1.0f, &n, 0), -1);
    EXPECT_EQ(diag.Err(), (std::vector<std::string>{"AudioFile::StartPlayAudio: ERROR: cannot open stream"}));
  }
  EXPECT_FALSE(six.mStreamOpened);
  // A refused open leaves PortAudio initialised (nothing else open).
  EXPECT_FALSE(vxtest::PortAudioShutDown());
  Pa_Terminate();
  EXPECT_EQ(six.StopPlayAudio(), 0);
  // An object that never described a file has no rate to play at.
  AudioFile none;
  EXPECT_EQ(none.StartPlayAudio(0, 0, 1.0f, &n, 0), -1);
  Pa_Terminate();
  EXPECT_TRUE(vxtest::PortAudioShutDown());
  EXPECT_TRUE(n.Events().empty());
}

// ---- vxaudio play ----

struct CliRun {
  int status = -1;  // exit status, or 128 + signal
  std::vector<std::string> toolLines;  // stderr lines of the command itself
};

// Runs build/vxaudio with the test's ALSA setup; `during` runs while the
// child lives (to signal it).
CliRun RunPlay(const std::vector<std::string>& args, const std::string& errPath,
               const std::function<void(pid_t)>& during = {}) {
  std::vector<std::string> argv{std::string(VX_BUILD_DIR) + "/vxaudio", "play"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  CliRun r;
  const int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return r;
  if (during) during(pid);
  int ws = 0;
  waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  std::ifstream err(errPath);
  for (std::string line; std::getline(err, line);)
    if (line.rfind("vxaudio play:", 0) == 0) r.toolLines.push_back(line);
  return r;
}

TEST_F(Playback, CommandPlaysTheRangeOrSaysWhyNot) {
  const std::string path = Sound(3000, 2);
  const std::string err = mDir.File("err.txt");
  CliRun r = RunPlay({path, "--start", "1000", "--interval", "512"}, err);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.toolLines.empty());
  ExpectHeard(1000, 2000, 2);

  r = RunPlay({path, "--speed", "nan"}, err);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.toolLines.size(), 1u);

  const std::string six = vxtest::WriteSound(mDir.File("six.wav"), Ramp(1000, 6), 6);
  vxtest::UseAlsaCapture(mDir.Path(), mCapture, /*twoChannelsOnly=*/true);
  r = RunPlay({six}, err);
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.toolLines.size(), 1u);
  EXPECT_NE(r.toolLines[0].find("the file has 6"), std::string::npos) << r.toolLines[0];

  {
    std::ofstream(mDir.File("none.conf"))
        << "</usr/share/alsa/alsa.conf>\npcm.!default { type hw card 7 }\n";
    setenv("ALSA_CONFIG_PATH", mDir.File("none.conf").c_str(), 1);
  }
  r = RunPlay({path}, err);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.toolLines, (std::vector<std::string>{"vxaudio play: no audio output device"}));
}

TEST_F(Playback, CommandStopsCleanlyOnInterrupt) {
  // A pipe nobody reads yet stalls the output after its first bytes, so the
  // interrupt surely arrives while playing; draining it then lets the stop
  // finish.
  const std::string fifo = mDir.File("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  vxtest::UseAlsaCapture(mDir.Path(), fifo);
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  const std::string path = Sound(441000, 1);
  std::atomic<bool> done{false};
  std::thread drain;
  CliRun r = RunPlay({path}, mDir.File("err.txt"), [&](pid_t pid) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 60000) != 1) {
      ADD_FAILURE() << "nothing played";
      kill(pid, SIGKILL);
      return;
    }
    kill(pid, SIGINT);
    // Keeps reading until the child is gone, whoever writes meanwhile.
    drain = std::thread([&] {
      char buf[65536];
      while (!done) {
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, 50) == 1 && read(fd, buf, sizeof buf) <= 0) usleep(1000);
      }
    });
  });
  done = true;
  if (drain.joinable()) drain.join();
  close(fd);
  EXPECT_EQ(r.status, 130);
  EXPECT_TRUE(r.toolLines.empty());
}

}  // namespace
