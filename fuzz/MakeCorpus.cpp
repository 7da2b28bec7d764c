// Writes the fuzzer's seed corpus into a directory: small sound files of
// every container the engine meets (WAV, AIFF, AU, FLAC, Ogg Vorbis) in each
// of their sample encodings, with 0, 1 and 732 frames, 1 to 6 channels,
// 44.1 to 96 kHz, NaN and infinite floats, files cut short, and headers that
// claim absurd sizes, rates or channel counts.
//   vxfuzz_corpus OUTDIR
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<char>;

struct Container {
  const char* ext;
  int major;
  std::vector<int> encodings;
};

const Container kContainers[] = {
    {"wav", SF_FORMAT_WAV,
     {SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT}},
    {"aif", SF_FORMAT_AIFF,
     {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT}},
    {"au", SF_FORMAT_AU,
     {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT}},
    {"flac", SF_FORMAT_FLAC, {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24}},
    {"ogg", SF_FORMAT_OGG, {SF_FORMAT_VORBIS}},
};
const int kChannels[] = {1, 2, 3, 6};
const int kRates[] = {44100, 48000, 96000};
const int kFrames[] = {0, 1, 732};

// A tone with a burst of noise, and optionally NaN and infinite samples.
std::vector<float> Samples(int frames, int channels, bool nonFinite) {
  std::vector<float> v(size_t(frames) * size_t(channels));
  uint32_t x = 12345;
  for (size_t i = 0; i < v.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    const double noise = double(x >> 8) / double(1u << 23) - 1.0;
    v[i] = float(0.5 * std::sin(double(i) * 0.05) + (i % 200 < 40 ? 0.4 * noise : 0.0));
  }
  if (nonFinite && v.size() > 8) {
    v[3] = std::numeric_limits<float>::quiet_NaN();
    v[5] = std::numeric_limits<float>::infinity();
    v[7] = -std::numeric_limits<float>::infinity();
    v[v.size() / 2] = 1e30f;
  }
  return v;
}

bool Write(const std::string& path, int format, int channels, int rate,
           const std::vector<float>& data) {
  SF_INFO info{};
  info.format = format;
  info.channels = channels;
  info.samplerate = rate;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  sf_set_string(f, SF_STR_TITLE, "seed");
  const sf_count_t frames = sf_count_t(data.size()) / channels;
  if (frames) sf_writef_float(f, data.data(), frames);
  sf_close(f);
  return true;
}

Bytes Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void Save(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(b.data(), std::streamsize(b.size()));
}

size_t Find(const Bytes& b, const char* tag, size_t from = 0) {
  const std::string t(tag);
  for (size_t i = from; i + t.size() <= b.size(); ++i)
    if (std::equal(t.begin(), t.end(), b.begin() + long(i))) return i;
  return std::string::npos;
}

void PutLE32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = char(v >> (8 * i));
}
void PutBE32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = char(v >> (8 * (3 - i)));
}
void PutBE16(Bytes& b, size_t at, uint16_t v) {
  b[at] = char(v >> 8);
  b[at + 1] = char(v);
}

// FLAC STREAMINFO total-samples field (36 bits at byte 13 of the block, the
// block following "fLaC" and its 4-byte header).
void PutFlacTotal(Bytes& b, uint64_t total) {
  b[21] = char((b[21] & 0xF0) | char((total >> 32) & 0x0F));
  PutBE32(b, 22, uint32_t(total));
}

// Variants of one valid file whose header says something absurd.
void Hostile(const std::string& dir, const std::string& name, const Bytes& b) {
  auto save = [&](const std::string& tag, const Bytes& v) { Save(dir + "/" + name + "-" + tag, v); };
  if (Find(b, "fLaC") == 0 && b.size() > 26) {
    for (uint64_t total : {uint64_t(3000000000u), uint64_t(2147483648u), uint64_t(4294967295u),
                           uint64_t(2147483647u), (uint64_t(1) << 32) + 100, uint64_t(0)}) {
      Bytes v = b;
      PutFlacTotal(v, total);
      save("total" + std::to_string(total), v);
    }
  }
  if (Find(b, "RIFF") == 0 && Find(b, "WAVE") == 8) {
    if (size_t d = Find(b, "data"); d != std::string::npos) {
      Bytes v = b;
      PutLE32(v, d + 4, 0xFFFFFFF0u);
      PutLE32(v, 4, 0xFFFFFFF8u);
      save("datalen", v);
    }
    if (size_t f = Find(b, "fmt "); f != std::string::npos) {
      Bytes v = b;
      PutLE32(v, f + 12, 0x7FFFFFFFu);  // sample rate
      save("rate", v);
      v = b;
      v[f + 10] = char(0xFF);  // channels
      v[f + 11] = char(0x7F);
      save("channels", v);
    }
  }
  if (Find(b, "FORM") == 0) {
    if (size_t c = Find(b, "COMM"); c != std::string::npos) {
      Bytes v = b;
      PutBE32(v, c + 10, 0x7FFFFFFFu);  // frames
      save("frames", v);
      v = b;
      PutBE16(v, c + 8, 0x7FFF);  // channels
      save("channels", v);
      v = b;
      v[c + 16] = char(0x40);  // 80-bit rate: exponent near 2^63
      v[c + 17] = char(0x3E);
      save("rate", v);
    }
  }
  if (Find(b, ".snd") == 0 && b.size() > 24) {
    Bytes v = b;
    PutBE32(v, 8, 0xFFFFFFF0u);  // data size
    save("datalen", v);
    v = b;
    PutBE32(v, 16, 0x7FFFFFFFu);  // sample rate
    save("rate", v);
  }
  // Cut short: header and half of the data, and the header alone.
  if (b.size() > 64) {
    save("half", Bytes(b.begin(), b.begin() + long(b.size() / 2)));
    save("head", Bytes(b.begin(), b.begin() + 48));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  int n = 0, written = 0;
  for (const Container& c : kContainers)
    for (int enc : c.encodings)
      for (int frames : kFrames) {
        const int channels = kChannels[n % 4];
        const int rate = kRates[(n / 4) % 3];
        ++n;
        const bool nonFinite = frames > 1 && (enc == SF_FORMAT_FLOAT || n % 2);
        const std::string name = std::string(c.ext) + "-" + std::to_string(enc) + "-" +
                                 std::to_string(frames) + "x" + std::to_string(channels) + "-" +
                                 std::to_string(rate);
        const std::string path = dir + "/" + name;
        if (!Write(path, c.major | enc, channels, rate, Samples(frames, channels, nonFinite)))
          continue;
        ++written;
        if (frames == 732) Hostile(dir, name, Slurp(path));
      }
  std::printf("vxfuzz_corpus: %d seed files written to %s\n", written, dir.c_str());
  return written > 0 ? 0 : 1;
}
