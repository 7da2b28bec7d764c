#include "ReviewPage.h"

#include <cstdint>

#include "ReviewAssets.h"

namespace vxcli {
namespace {

std::string HtmlText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// JSON inside a <script> element: a '<' (only ever inside a string there)
// written as \u003c, so that no file name can close the element.
std::string ScriptJson(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  for (char c : json) {
    if (c == '<')
      out += "\\u003c";
    else
      out += c;
  }
  return out;
}

std::string Libraries() {
  // Konva and waveform-data first: the peaks build picks them up as globals.
  std::string out;
  for (std::string_view lib : {kReviewKonva, kReviewWaveformData, kReviewPeaks}) {
    out += "<script>";
    out += lib;
    out += "</script>\n";
  }
  return out;
}

}  // namespace

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                       uint8_t(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += kDigits[(v >> shift) & 63];
  }
  if (const size_t left = bytes.size() - i; left > 0) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (left == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += left == 2 ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string PathToUrl(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : path) {
    const auto u = static_cast<unsigned char>(c);
    const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

std::string BuildReviewPage(const ReviewPageParts& parts) {
  auto fill = [&](std::string_view key) -> std::string {
    if (key == "title") return HtmlText(parts.title);
    if (key == "style") return std::string(kReviewCss);
    if (key == "libraries") return Libraries();
    if (key == "script") return std::string(kReviewScript);
    if (key == "data") return ScriptJson(parts.dataJson);
    if (key == "peaks") return Base64(parts.peaks);
    if (key == "loudness") return Base64(parts.loudness);
    if (key == "audio") return HtmlText(parts.audioUrl);
    return "{{" + std::string(key) + "}}";
  };
  // One pass over the template: what was filled in is never scanned again.
  const std::string_view t = kReviewTemplate;
  std::string page;
  page.reserve(t.size() + kReviewKonva.size() + kReviewPeaks.size() + kReviewWaveformData.size() +
               (parts.peaks.size() + parts.loudness.size()) * 4 / 3 + parts.audioUrl.size() + parts.dataJson.size() + 4096);
  size_t at = 0;
  while (at < t.size()) {
    const size_t open = t.find("{{", at);
    const size_t close = open == std::string_view::npos ? open : t.find("}}", open + 2);
    if (close == std::string_view::npos) {
      page += t.substr(at);
      break;
    }
    page += t.substr(at, open - at);
    page += fill(t.substr(open + 2, close - open - 2));
    at = close + 2;
  }
  return page;
}

}  // namespace vxcli
