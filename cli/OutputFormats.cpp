#include "OutputFormats.h"

#include <sndfile.h>

#include <array>
#include <cctype>

#include "SndFile.h"

namespace vxcli {
namespace {

constexpr unsigned k8 = 1, k16 = 2, k24 = 4, k32 = 8;
constexpr std::array<int, 4> kDepths = {8, 16, 24, 32};
constexpr std::array<int, 4> kPcm = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24,
                                     SF_FORMAT_PCM_32};

// The depths are those libsndfile writes in each container. 8-bit means
// signed samples, as in the engine: WAV, W64 and RF64 only know unsigned
// 8-bit ones. IRCAM (olvex, sf) has no 8 or 24-bit integers; FLAC no 32.
// AU, IRCAM and W64 have no place for text metadata.
constexpr OutputFormat kFormats[] = {
    {"aif", SF_FORMAT_AIFF, 0, "", k8 | k16 | k24 | k32, true},
    {"aiff", SF_FORMAT_AIFF, 0, "", k8 | k16 | k24 | k32, true},
    {"au", SF_FORMAT_AU, 0, "", k8 | k16 | k24 | k32, false},
    {"caf", SF_FORMAT_CAF, 0, "", k8 | k16 | k24 | k32, true},
    {"flac", SF_FORMAT_FLAC, 0, "", k8 | k16 | k24, true},
    {"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III, "MPEG layer III", 0, true},
    {"ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS, "Vorbis", 0, true},
    {"olvex", SF_FORMAT_IRCAM, 0, "", k16 | k32, false},
    {"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS, "Opus", 0, true},
    {"rf64", SF_FORMAT_RF64, 0, "", k16 | k24 | k32, true},
    {"sf", SF_FORMAT_IRCAM, 0, "", k16 | k32, false},
    {"snd", SF_FORMAT_AU, 0, "", k8 | k16 | k24 | k32, false},
    {"w64", SF_FORMAT_W64, 0, "", k16 | k24 | k32, false},
    {"wav", SF_FORMAT_WAV, 0, "", k16 | k24 | k32, true},
};

// Index of `bits` in kDepths, or -1.
int DepthIndex(int bits) {
  for (size_t i = 0; i < kDepths.size(); ++i)
    if (kDepths[i] == bits) return int(i);
  return -1;
}

// "a, b or c".
std::string Enumerate(const std::string& items, const std::string& last) {
  return items.empty() ? last : items + " or " + last;
}

// A sink for trying an output: takes every byte and keeps none.
struct NullSink {
  sf_count_t at = 0, size = 0;

  static NullSink& Self(void* p) { return *static_cast<NullSink*>(p); }
  static sf_count_t Length(void* p) { return Self(p).size; }
  static sf_count_t Seek(sf_count_t off, int whence, void* p) {
    NullSink& s = Self(p);
    s.at = whence == SEEK_SET ? off : whence == SEEK_CUR ? s.at + off : s.size + off;
    return s.at;
  }
  static sf_count_t Read(void*, sf_count_t, void*) { return 0; }
  static sf_count_t Write(const void*, sf_count_t n, void* p) {
    NullSink& s = Self(p);
    s.at += n;
    if (s.at > s.size) s.size = s.at;
    return n;
  }
  static sf_count_t Tell(void* p) { return Self(p).at; }
};

}  // namespace

const OutputFormat* FormatForExtension(std::string_view ext) {
  std::string lower(ext);
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (const OutputFormat& f : kFormats)
    if (f.ext == lower) return &f;
  return nullptr;
}

std::string ExtensionOf(std::string_view path) {
  const auto slash = path.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = base.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(base.substr(dot + 1));
}

std::string ExtensionList() {
  std::string list;
  for (const OutputFormat& f : kFormats) list += (list.empty() ? "" : ", ") + std::string(f.ext);
  return list;
}

std::string ExtensionsHolding(int bits) {
  std::string list, last;
  for (const OutputFormat& f : kFormats) {
    if (!Holds(f, bits)) continue;
    if (!last.empty()) list += (list.empty() ? "" : ", ") + last;
    last = f.ext;
  }
  return Enumerate(list, last);
}

bool IsPcmDepth(int bits) { return DepthIndex(bits) >= 0; }

bool Holds(const OutputFormat& format, int bits) {
  const int i = DepthIndex(bits);
  return i >= 0 && (format.depths & (1u << i)) != 0;
}

std::string DepthList(const OutputFormat& format) {
  std::string list, last;
  for (int bits : kDepths) {
    if (!Holds(format, bits)) continue;
    if (!last.empty()) list += (list.empty() ? "" : ", ") + last;
    last = std::to_string(bits);
  }
  return Enumerate(list, last);
}

int PcmDepthOf(int sfFormat) {
  switch (sfFormat & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return 8;
    case SF_FORMAT_PCM_16: return 16;
    case SF_FORMAT_PCM_24: return 24;
    case SF_FORMAT_PCM_32: return 32;
    default: return 0;
  }
}

ExportFormat EngineFormat(const OutputFormat& format, int bits) {
  const int i = DepthIndex(bits);
  const int encoding = format.Lossy() ? format.lossyEncoding : kPcm[size_t(i < 0 ? 1 : i)];
  return {format.container | encoding, format.text};
}

std::optional<std::string> Unwritable(const OutputFormat& format, const ExportFormat& engine,
                                      int channels, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = engine.format;
  const std::string what = "the " + std::string(format.ext) + " format cannot hold " +
                           (channels == 1 ? "mono" : "stereo") + " sound at " +
                           std::to_string(rate) + " Hz";
  if (!sf_format_check(&info)) return what;
  // Some limits (Opus and MPEG sample rates) only show when an encoder starts.
  static SF_VIRTUAL_IO io{&NullSink::Length, &NullSink::Seek, &NullSink::Read, &NullSink::Write,
                          &NullSink::Tell};
  NullSink sink;
  SndFilePtr trial(sf_open_virtual(&io, SFM_WRITE, &info, &sink));
  if (trial) return std::nullopt;
  std::string why = sf_strerror(nullptr);
  if (why.rfind("Error : ", 0) == 0) why.erase(0, 8);
  if (!why.empty() && why.back() == '.') why.pop_back();
  return why.empty() ? what : what + " (" + why + ")";
}

}  // namespace vxcli
