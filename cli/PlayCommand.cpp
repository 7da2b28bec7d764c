// vxaudio play FILE [--start T] [--length T | --end T] [--speed X] [--interval F]:
// plays a range through the default output device, with a progress line on
// standard error when that is a terminal. Ctrl-C stops cleanly (exit 130).
//
// The command holds a PortAudio session of its own for its whole run. That
// lets it ask about the output device before playing, with the audio
// libraries' start-up chatter kept off the terminal, and the engine's own
// initialise/terminate pair then only counts references.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <portaudio.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "AudioFile.h"
#include "Command.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"
#include "InputFile.h"
#include "StandardInput.h"

namespace vxcli {
namespace {

struct PlayOptions {
  std::string file;
  FrameRange range;  // --end 0 stands for the end of the file
  float speed = 1.0f;
  std::optional<int64_t> interval;
};

volatile sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

// Restores the previous SIGINT disposition on every way out.
class InterruptGuard {
 public:
  InterruptGuard() {
    struct sigaction sa {};
    sa.sa_handler = &OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &mOld);
  }
  ~InterruptGuard() { sigaction(SIGINT, &mOld, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction mOld {};
};

// Sends standard error to /dev/null while it lives: ALSA and JACK print
// device probing noise there that says nothing to the user.
class QuietStderr {
 public:
  QuietStderr() {
    std::fflush(stderr);
    mSaved = dup(STDERR_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (mSaved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~QuietStderr() {
    if (mSaved < 0) return;
    dup2(mSaved, STDERR_FILENO);
    close(mSaved);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int mSaved = -1;
};

// Our PortAudio session; terminated on every way out.
class PortAudioSession {
 public:
  PortAudioSession() {
    QuietStderr quiet;
    mOk = Pa_Initialize() == paNoError;
  }
  ~PortAudioSession() {
    if (mOk) Pa_Terminate();
  }
  PortAudioSession(const PortAudioSession&) = delete;
  PortAudioSession& operator=(const PortAudioSession&) = delete;
  bool Ok() const { return mOk; }

 private:
  bool mOk = false;
};

// Called on the audio thread: stores and wakes the waiting host thread.
class CliNotifier : public PlayNotifier {
 public:
  void NotifyPosition(int32_t iPos) override { mPos.store(iPos); }
  void NotifyEnd() override { Finish(kEnded); }
  void NotifyError() override { Finish(kFailed); }

  enum State { kPlaying, kEnded, kFailed };
  // Waits for the end, a failure or the timeout; returns the state.
  State Wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mMutex);
    mCv.wait_for(lock, limit, [this] { return mState != kPlaying; });
    return mState;
  }
  int32_t Position() const { return mPos.load(); }

 private:
  void Finish(State s) {
    {
      std::lock_guard lock(mMutex);
      mState = s;
    }
    mCv.notify_all();
  }
  std::atomic<int32_t> mPos{0};
  std::mutex mMutex;
  std::condition_variable mCv;
  State mState = kPlaying;
};

// The usual sink, but while the progress line is up an engine line (a range
// warning from the audio thread) first clears it so that the two do not run
// together.
std::atomic<bool> gProgressUp{false};
void PlayDiagSink(vx::DiagStream, std::string_view line) {
  if (!Verbose()) return;
  flockfile(stderr);
  if (gProgressUp.load()) std::fputs("\r\033[K", stderr);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  funlockfile(stderr);
}

std::string Clock(double seconds) {
  char buf[32];
  const int whole = static_cast<int>(seconds);
  std::snprintf(buf, sizeof buf, "%d:%02d.%d", whole / 60, whole % 60,
                static_cast<int>((seconds - whole) * 10));
  return buf;
}

void ShowProgress(int32_t pos, int32_t total, int rate) {
  const double r = rate > 0 ? rate : 1;
  std::fprintf(stderr, "\r%s / %s  frame %d of %d   ", Clock(pos / r).c_str(),
               Clock(total / r).c_str(), static_cast<int>(pos), static_cast<int>(total));
  std::fflush(stderr);
}

int RunPlay(const PlayOptions& o) {
  gProgressUp = false;
  DiagScope lines(&PlayDiagSink);
  gInterrupted = 0;
  InterruptGuard interrupt;

  if (!(o.speed >= 0.1f && o.speed <= 5.0f)) {
    char speed[32];
    std::snprintf(speed, sizeof speed, "%g", static_cast<double>(o.speed));
    PrintError("play", "", std::string("--speed ") + speed + " is outside 0.1 to 5.0");
    return kExitUsage;
  }
  if (int rc = CheckRangeSigns("play", "", o.range); rc != kExitOk) return rc;
  if (o.interval && (*o.interval < 0 || *o.interval > INT32_MAX)) {
    PrintError("play", "", "--interval " + std::to_string(*o.interval) + " is out of range");
    return kExitUsage;
  }

  // Before the file: without a device nothing else is worth saying, and the
  // engine, destroyed first, hands PortAudio back before this session does.
  PortAudioSession session;
  if (!session.Ok()) {
    PrintError("play", "", "the audio system cannot be initialised");
    return kExitFailed;
  }
  const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
  if (device == paNoDevice) {
    PrintError("play", "", "no audio output device");
    return kExitFailed;
  }

  InputSource in;  // outlives the engine, which reads it while playing
  if (int rc = in.Prepare("play", o.file); rc != kExitOk) return rc;
  AudioFile af;
  if (int rc = OpenAudio("play", af, in.path()); rc != kExitOk) return rc;
  const int64_t frames = af.mSmpNb;
  // --end 0 has always meant the end of the file here.
  FrameRange range = o.range;
  if (range.end && range.end->IsZero()) range.end.reset();
  int32_t start = 0, len = 0;
  if (int rc = CheckRange("play", o.file, range, frames, af.mSampleRate, start, len);
      rc != kExitOk)
    return rc;
  // The engine takes 0 as the end of the file, which is where a range
  // reaching the last frame stops.
  const int32_t stop = start + len;
  const int32_t end = stop >= frames ? 0 : stop;
  const int32_t interval =
      o.interval ? static_cast<int32_t>(*o.interval) : std::max(1, af.mSampleRate / 10);

  // Asked up front so that the usual refusal gets a precise message; the
  // device list already knows it, no trial open is needed.
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  if (info && info->maxOutputChannels < af.mChannels) {
    PrintError("play", o.file,
               "the default output device plays at most " + std::to_string(info->maxOutputChannels) +
                   " channels, the file has " + std::to_string(af.mChannels));
    return kExitFailed;
  }

  if (gInterrupted) return kExitInterrupted;
  const bool progress = isatty(STDERR_FILENO) && !Quiet();
  CliNotifier notifier;
  {
    int rc;
    {
      // The engine's own error line would only repeat the one printed below.
      // PortAudio's own complaints about a refused stream go to the void too.
      DiagScope engineHushed(&Discard);
      QuietStderr hush;
      rc = af.StartPlayAudio(start, end, o.speed, &notifier, interval);
    }
    if (rc != 0) {
      const double rate = static_cast<double>(af.mSampleRate) * o.speed;
      PrintError("play", o.file,
                 "the default output device refused " + std::to_string(af.mChannels) +
                     " channels at " + std::to_string(std::lround(rate)) + " Hz");
      return kExitFailed;
    }
  }

  CliNotifier::State state = CliNotifier::kPlaying;
  int32_t shown = -1;
  while (!gInterrupted) {
    state = notifier.Wait(std::chrono::milliseconds(100));
    const int32_t pos = state == CliNotifier::kEnded ? stop : std::max(start, notifier.Position());
    if (progress && pos != shown) {
      ShowProgress(pos, static_cast<int32_t>(frames), af.mSampleRate);
      gProgressUp = true;
    }
    shown = pos;
    if (state != CliNotifier::kPlaying) break;
  }
  if (progress) {
    gProgressUp = false;
    std::fputc('\n', stderr);
  }

  // Stopping lets what is queued play out, then closes the stream; the
  // session above terminates PortAudio on the way out.
  af.StopPlayAudio();
  if (gInterrupted) return kExitInterrupted;
  if (state == CliNotifier::kFailed) {
    PrintError("play", o.file, "reading the file failed during playback");
    return kExitFailed;
  }
  return kExitOk;
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<PlayOptions>();
  CLI::App* sub = app.add_subcommand("play", "Play a range of a file through the default output");
  sub->add_option("FILE", o->file, "Sound file")->required();
  AddRawInputOptions(sub);
  AddRangeOptions(sub, o->range,
                  "Where to stop (not included): a time as for --start; 0 is the end of the file");
  sub->add_option("--speed", o->speed, "Speed and pitch factor, 0.1 to 5.0 (default 1.0)");
  sub->add_option("--interval", o->interval,
                  "Frames between progress updates (default: a tenth of a second)");
  return [o] { return RunPlay(*o); };
}

CommandRegistration reg(50, &Setup);

}  // namespace
}  // namespace vxcli
