// The containers the engine's Export writes, chosen by the output's
// extension. The commands have a longer, case-insensitive list of their own
// (cli/OutputFormats.h) and hand the engine the format through ExportAs.
#pragma once

#include <sndfile.h>

#include <array>
#include <string_view>

struct ExportContainer {
  std::string_view ext;  // exact and case-sensitive: "WAV" is not "wav"
  int majorFormat;       // libsndfile's SF_FORMAT_* container
};

// olvex and sf are the two names of the IRCAM container.
static_assert(SF_FORMAT_IRCAM == 0x0A0000);
inline constexpr std::array<ExportContainer, 5> kExportContainers = {{{"aif", SF_FORMAT_AIFF},
                                                                      {"wav", SF_FORMAT_WAV},
                                                                      {"snd", SF_FORMAT_AU},
                                                                      {"olvex", SF_FORMAT_IRCAM},
                                                                      {"sf", SF_FORMAT_IRCAM}}};

// The container of extension `ext`, or 0 when none has it.
constexpr int ContainerForExtension(std::string_view ext) {
  for (const ExportContainer& c : kExportContainers)
    if (c.ext == ext) return c.majorFormat;
  return 0;
}

// The container for an output path, as Export picks it: the text after the
// last '.' of the whole path (all of it when there is none), or 0.
constexpr int ContainerForPath(std::string_view path) {
  const size_t dot = path.rfind('.');
  return ContainerForExtension(dot == std::string_view::npos ? path : path.substr(dot + 1));
}
