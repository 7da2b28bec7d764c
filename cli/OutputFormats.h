// The sound formats the commands write, picked by the output's extension in
// any case (.WAV is .wav). The engine's plain Export keeps its own shorter,
// case-sensitive list; the commands hand it the format chosen here instead
// (AudioFile::ExportAs).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "AudioFile.h"

namespace vxcli {

struct OutputFormat {
  std::string_view ext;    // lower case
  int container;           // libsndfile's SF_FORMAT_* major format
  int lossyEncoding;       // the codec of a lossy format; 0 for PCM
  std::string_view codec;  // the codec's name; empty for PCM
  unsigned depths;         // PCM bit depths held: 1 = 8 (signed), 2 = 16, 4 = 24, 8 = 32
  bool text;               // holds text metadata (title, artist, ...)

  bool Lossy() const { return lossyEncoding != 0; }
};

// The format of extension `ext` (any case), or nullptr.
const OutputFormat* FormatForExtension(std::string_view ext);

// The extension of a path's file name ("" when it has none): a dot in a
// folder name does not count.
std::string ExtensionOf(std::string_view path);

// "aif, aiff, au, ...": every extension, for help texts and refusals.
std::string ExtensionList();
// The extensions of the formats that hold `bits`-bit PCM ("aif, aiff, ...").
std::string ExtensionsHolding(int bits);

// True when `bits` is a PCM depth some format holds (8, 16, 24, 32).
bool IsPcmDepth(int bits);
// True when `format` holds `bits`-bit PCM (never for a lossy format).
bool Holds(const OutputFormat& format, int bits);
// "16, 24 or 32": the depths `format` holds.
std::string DepthList(const OutputFormat& format);

// The PCM depth of a source's libsndfile format, 0 when not integer PCM.
int PcmDepthOf(int sfFormat);

// What the engine writes for `format` at `bits` (ignored when lossy).
ExportFormat EngineFormat(const OutputFormat& format, int bits);

// Why libsndfile cannot write `engine` with `channels` channels at `rate`
// Hz (opus at 44100 Hz, say), or nothing when it can. Tried on a sink that
// keeps nothing, so no file is touched.
std::optional<std::string> Unwritable(const OutputFormat& format, const ExportFormat& engine,
                                      int channels, int rate);

}  // namespace vxcli
