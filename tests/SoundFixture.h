// Shared test helpers: sound files written with libsndfile into a private
// temporary directory, and a capture of the diagnostic lines (vx::Diag*).
//
//   vxtest::TempDir dir;                                   // removed with its content
//   auto path = vxtest::WriteSound(dir.File("a.wav"), samples, 2, 44100);
//   auto flac = vxtest::WriteSound(dir.File("a.flac"), samples, 1, 48000,
//                                  SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
//   vxtest::DiagCapture cap;                               // installed until destroyed
//   ...; EXPECT_EQ(cap.Lines(), (vxtest::DiagLines{{vx::DiagStream::Out, "..."}}));
#pragma once

#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Diag.h"

namespace vxtest {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vxtest-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
    mPath = tmpl;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
  }
  const std::string& Path() const { return mPath; }
  std::string File(std::string_view name) const { return mPath + "/" + std::string(name); }

 private:
  std::string mPath;
};

// Text strings to store in a written file: (SF_STR_TITLE..SF_STR_DATE, text).
using SoundStrings = std::vector<std::pair<int, std::string>>;

// Writes `interleaved` (frames x channels floats, full scale 1.0) to `path`
// in `format` (container | encoding). Float samples beyond full scale are
// stored as they are in float files and clipped in integer ones. Returns path.
inline std::string WriteSound(const std::string& path, const std::vector<float>& interleaved,
                              int channels, int rate = 44100,
                              int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                              const SoundStrings& strings = {}) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
  // Integer files clip rather than wrap, so over-range test data stays sane.
  sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  for (const auto& [kind, text] : strings) sf_set_string(f, kind, text.c_str());
  const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
  const sf_count_t written = frames ? sf_writef_float(f, interleaved.data(), frames) : 0;
  sf_close(f);
  if (written != frames) throw std::runtime_error("short write to " + path);
  return path;
}

// `frames` frames of a sine of `freq` Hz and amplitude `amp`; channel c is
// scaled by 1/(c+1) so that channels differ.
inline std::vector<float> Sine(int64_t frames, int channels, int rate = 44100,
                               double freq = 441.0, double amp = 0.5) {
  std::vector<float> v(static_cast<size_t>(frames * channels));
  for (int64_t i = 0; i < frames; ++i) {
    const double s = amp * std::sin(2.0 * std::numbers::pi * freq * double(i) / rate);
    for (int c = 0; c < channels; ++c) v[size_t(i * channels + c)] = float(s / (c + 1));
  }
  return v;
}

// Deterministic pseudo-random samples in [-amp, amp) (a small LCG, so that
// files are the same on every machine).
inline std::vector<float> Noise(int64_t frames, int channels, uint32_t seed = 1,
                                double amp = 0.9) {
  std::vector<float> v(static_cast<size_t>(frames * channels));
  uint32_t x = seed ? seed : 1;
  for (auto& s : v) {
    x = x * 1664525u + 1013904223u;
    s = float(amp * (double(x >> 8) / double(1u << 23) - 1.0));
  }
  return v;
}

// A 16-bit PCM WAV whose header claims `claimedFrames` frames while the data
// that follows holds only the frames of `interleaved` (a file cut short).
inline std::string WriteOverclaimingWav(const std::string& path,
                                        const std::vector<float>& interleaved, int channels,
                                        int64_t claimedFrames, int rate = 44100) {
  WriteSound(path, interleaved, channels, rate, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = char((v >> (8 * i)) & 0xFF);
  };
  // Find the "data" chunk and overstate its length, and the RIFF length.
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id(bytes.data() + at, 4);
    uint32_t len = 0;
    for (int i = 0; i < 4; ++i) len |= uint32_t(uint8_t(bytes[at + 4 + size_t(i)])) << (8 * i);
    if (id == "data") {
      const uint32_t claimed = uint32_t(claimedFrames * channels * 2);
      put32(at + 4, claimed);
      put32(4, uint32_t(at + 8 - 8) + claimed);
      f.seekp(0);
      f.write(bytes.data(), std::streamsize(bytes.size()));
      return path;
    }
    at += 8 + len + (len & 1);
  }
  throw std::runtime_error("no data chunk in " + path);
}

// A file with arbitrary bytes (a text file named .wav, and the like).
inline std::string WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Every sample of a sound file as interleaved floats, with its info record.
inline std::vector<float> ReadSound(const std::string& path, SF_INFO* oInfo = nullptr) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::vector<float> v(size_t(info.frames * info.channels));
  const sf_count_t got = sf_readf_float(f, v.data(), info.frames);
  v.resize(size_t(got * info.channels));
  sf_close(f);
  if (oInfo) *oInfo = info;
  return v;
}

// ---- diagnostic capture ----

using DiagLine = std::pair<vx::DiagStream, std::string>;
using DiagLines = std::vector<DiagLine>;

// Installs a sink recording every (stream, line) while it lives; the default
// sink comes back on destruction. One capture at a time (the sink is global).
class DiagCapture {
 public:
  DiagCapture() {
    Clear();
    vx::SetDiagSink(&Sink);
  }
  DiagCapture(const DiagCapture&) = delete;
  DiagCapture& operator=(const DiagCapture&) = delete;
  ~DiagCapture() { vx::SetDiagSink(nullptr); }

  DiagLines Lines() const {
    std::lock_guard lock(Mutex());
    return Store();
  }
  // The texts on one stream only, in order.
  std::vector<std::string> Texts(vx::DiagStream s) const {
    std::lock_guard lock(Mutex());
    std::vector<std::string> out;
    for (const auto& [st, text] : Store())
      if (st == s) out.push_back(text);
    return out;
  }
  std::vector<std::string> Out() const { return Texts(vx::DiagStream::Out); }
  std::vector<std::string> Err() const { return Texts(vx::DiagStream::Err); }
  void Clear() {
    std::lock_guard lock(Mutex());
    Store().clear();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static DiagLines& Store() {
    static DiagLines lines;
    return lines;
  }
  // The playback thread may print too, hence the lock.
  static void Sink(vx::DiagStream s, std::string_view line) {
    std::lock_guard lock(Mutex());
    Store().emplace_back(s, std::string(line));
  }
};

inline DiagLine Out(std::string text) { return {vx::DiagStream::Out, std::move(text)}; }
inline DiagLine Err(std::string text) { return {vx::DiagStream::Err, std::move(text)}; }

}  // namespace vxtest

namespace vx {
// Readable stream names in GoogleTest failure output.
inline void PrintTo(DiagStream s, std::ostream* os) { *os << (s == DiagStream::Out ? "Out" : "Err"); }
}  // namespace vx
