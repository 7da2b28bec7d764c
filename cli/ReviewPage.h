// The review page as text: the template filled with the page's data, its
// code and the libraries, every piece escaped for where it goes, so that the
// result is one file that opens offline.
#pragma once

#include <string>
#include <string_view>

namespace vxcli {

struct ReviewPageParts {
  std::string title;        // the sound's name, as text
  std::string dataJson;     // the detection and the file's description (JSON)
  std::string peaks;        // binary waveform data (WaveformData.h's .dat encoding)
  std::string audioUrl;     // a relative URL or a data: URL
  std::string loudness;     // one byte per analysis frame (ReviewCommand.cpp), or nothing
};

std::string BuildReviewPage(const ReviewPageParts& parts);

// Standard base64 with padding.
std::string Base64(std::string_view bytes);

// A relative (or absolute) file path as a URL path: every byte but
// unreserved characters and '/' percent-encoded.
std::string PathToUrl(std::string_view path);

}  // namespace vxcli
