// Playback tests hear what PortAudio sends to ALSA's default device by
// pointing that device at ALSA's file plugin: a configuration of our own,
// chosen through ALSA_CONFIG_PATH for this process only, writes every frame
// to a WAV file instead of a sound card. A notifier that records what the
// audio thread reports lets the tests wait for the end instead of sleeping.
#pragma once

#include <portaudio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "PlayNotifier.h"

namespace vxtest {

// Writes the ALSA configuration and selects it. Each call replaces the file
// (new inode), so ALSA reloads it at the next Pa_Initialize.
// twoChannelsOnly: a device that accepts two channels and refuses the rest.
inline void UseAlsaCapture(const std::string& dir, const std::string& capture,
                           bool twoChannelsOnly = false) {
  const std::string conf = dir + "/asound.conf";
  const std::string tmp = conf + ".new";
  {
    std::ofstream f(tmp);
    f << "</usr/share/alsa/alsa.conf>\n";
    if (twoChannelsOnly) {
      f << "pcm.!default {\n  type multi\n  slaves.a.pcm \"null\"\n  slaves.a.channels 2\n"
           "  bindings.0 { slave a; channel 0 }\n  bindings.1 { slave a; channel 1 }\n}\n";
    } else {
      f << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << capture
        << "\"\n  format \"wav\"\n}\n";
    }
  }
  std::filesystem::rename(tmp, conf);
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  // PortAudio also probes JACK; a machine with jackd installed must not
  // start a server for a test.
  setenv("JACK_NO_START_SERVER", "1", 1);
}

struct Capture {
  int channels = 0;
  int rate = 0;
  int bits = 0;
  std::vector<float> samples;  // interleaved, full scale 1.0

  // The frames after the silence the output primes itself with.
  std::vector<float> Heard() const {
    size_t first = 0;
    while (first < samples.size() && samples[first] == 0.0f) ++first;
    first -= first % size_t(channels ? channels : 1);
    return {samples.begin() + std::ptrdiff_t(first), samples.end()};
  }
};

// The file plugin labels float frames as 32-bit PCM; PortAudio asks the null
// device for float first and gets it, so 32-bit data is read as float.
inline Capture ReadCapture(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto u16 = [&](size_t at) { return unsigned(uint8_t(b[at])) | unsigned(uint8_t(b[at + 1])) << 8; };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
    throw std::runtime_error("no WAV capture in " + path);
  Capture c;
  for (size_t at = 12; at + 8 <= b.size();) {
    const std::string id(b.data() + at, 4);
    const size_t len = u32(at + 4);
    if (id == "fmt ") {
      c.channels = int(u16(at + 10));
      c.rate = int(u32(at + 12));
      c.bits = int(u16(at + 22));
    } else if (id == "data") {
      // The length may still be a placeholder: take everything that follows.
      const char* p = b.data() + at + 8;
      const size_t bytes = b.size() - (at + 8);
      if (c.bits == 16) {
        for (size_t i = 0; i + 2 <= bytes; i += 2)
          c.samples.push_back(float(int16_t(u16(at + 8 + i))) / 32768.0f);
      } else if (c.bits == 32) {
        c.samples.resize(bytes / 4);
        std::memcpy(c.samples.data(), p, c.samples.size() * 4);
      } else {
        throw std::runtime_error("unexpected capture sample size " + std::to_string(c.bits));
      }
      return c;
    }
    at += 8 + len + (len & 1);
  }
  throw std::runtime_error("no data chunk in " + path);
}

// Records notifications as text ("pos 1024", "end", "error") for readable
// failures; the audio thread only appends under a short lock.
class RecordingNotifier : public PlayNotifier {
 public:
  void NotifyPosition(int32_t iPos) override { Add("pos " + std::to_string(iPos)); }
  void NotifyEnd() override { Add("end"); }
  void NotifyError() override { Add("error"); }

  // Waits until the playback ends or fails; false after a generous deadline.
  bool WaitDone(std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock lock(mMutex);
    return mCv.wait_for(lock, limit, [this] { return mDone; });
  }
  // Waits for the first notification of any kind.
  bool WaitAny(std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock lock(mMutex);
    return mCv.wait_for(lock, limit, [this] { return !mEvents.empty(); });
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mMutex);
    return mEvents;
  }

 private:
  void Add(std::string e) {
    std::lock_guard lock(mMutex);
    if (e == "end" || e == "error") mDone = true;
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
