// Playback tests hear what PortAudio sends to ALSA's default device by
// pointing that device at ALSA's file plugin: a configuration of our own,
// chosen through ALSA_CONFIG_PATH for this process only, writes every frame
// to a WAV file instead of a sound card. That configuration is the whole of
// what ALSA reads, so neither the machine's cards nor its plugins (PulseAudio,
// JACK, with threads and leaks of their own) are ever probed. A notifier that
// records what the audio thread reports lets the tests wait for the end
// instead of sleeping.
#pragma once

#include <portaudio.h>
#include <sndfile.h>
#include <stdlib.h>

#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "PlayNotifier.h"

namespace vxtest {

// Default devices for UseAlsaDefault: every frame written to `capture`; a
// device that accepts two channels and refuses the rest; no device at all.
inline std::string FilePcm(const std::string& capture) {
  return "type file slave.pcm null format wav file \"" + capture + "\"";
}
inline const std::string kTwoChannelPcm =
    "type multi slaves.a.pcm null slaves.a.channels 2 "
    "bindings.0 { slave a; channel 0 } bindings.1 { slave a; channel 1 }";
inline const std::string kNoCardPcm = "type hw card 7";

// Writes the ALSA configuration and selects it. Each call replaces the file
// (new inode), so ALSA reloads it at the next Pa_Initialize.
//
// The file is complete in itself: it includes neither ALSA's alsa.conf (which
// pulls in alsa.conf.d, /etc/asound.conf and ~/.asoundrc) nor anything else.
// PortAudio lists the pcm definitions it finds there (it skips `null`) and
// opens each card through `ctl.hw`, which is not defined: no real card shows
// and `default` is its one device. The hint lists it for snd_device_name_hint
// too. The built-in pcm types (file, null, multi, hw) need no definition.
inline void UseAlsaDefault(const std::string& dir, const std::string& pcm) {
  const std::string conf = dir + "/asound.conf";
  std::ofstream(conf + ".new") << "pcm.null { type null }\n"
                               << "pcm.default { " << pcm << " hint.description \"vxaudio test output\" }\n";
  std::filesystem::rename(conf + ".new", conf);
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  // PortAudio also probes JACK: a machine with jackd installed must not start
  // a server for a test, nor reach one already running (a server name nobody
  // uses).
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", "vxaudio-test-none", 1);
}

// What the output heard: the frames after the silence it primes itself
// with, interleaved, full scale 1.0.
struct Capture {
  int channels = 0, rate = 0;
  std::vector<float> heard;
};

// The file plugin labels float frames as 32-bit PCM (PortAudio asks the null
// device for float first and gets it), so the 32-bit words are floats.
inline Capture ReadCapture(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f && (info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_32) sf_close(f), f = nullptr;
  if (!f) throw std::runtime_error("no 32-bit WAV capture in " + path);
  std::vector<int32_t> words(size_t(info.frames * info.channels));
  words.resize(size_t(sf_readf_int(f, words.data(), info.frames) * info.channels));
  sf_close(f);
  Capture c{info.channels, info.samplerate, {}};
  for (int32_t w : words) c.heard.push_back(std::bit_cast<float>(w));
  size_t first = 0;  // the leading silence, in whole frames
  while (first < c.heard.size() && c.heard[first] == 0.0f) ++first;
  c.heard.erase(c.heard.begin(), c.heard.begin() + std::ptrdiff_t(first - first % size_t(c.channels)));
  return c;
}

// Records notifications as text ("pos 1024", "end", "error") for readable
// failures; the audio thread only appends under a short lock.
class RecordingNotifier : public PlayNotifier {
 public:
  void NotifyPosition(int32_t iPos) override { Add("pos " + std::to_string(iPos)); }
  void NotifyEnd() override { Add("end"); }
  void NotifyError() override { Add("error"); }

  // Waits until the playback ends or fails (untilDone) or for the first
  // notification of any kind; false after a generous deadline.
  bool Wait(bool untilDone = true) {
    std::unique_lock lock(mMutex);
    return mCv.wait_for(lock, std::chrono::seconds(60), [&] { return untilDone ? mDone : !mEvents.empty(); });
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mMutex);
    return mEvents;
  }

 private:
  void Add(std::string e) {
    std::lock_guard lock(mMutex);
    mDone = mDone || e == "end" || e == "error";
    mEvents.push_back(std::move(e));
    mCv.notify_all();
  }
  std::mutex mMutex;
  std::condition_variable mCv;
  std::vector<std::string> mEvents;
  bool mDone = false;
};

// True when no PortAudio session is left open in this process.
inline bool PortAudioShutDown() { return Pa_GetDeviceCount() == paNotInitialized; }

}  // namespace vxtest
