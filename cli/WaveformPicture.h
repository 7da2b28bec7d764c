// A waveform drawn as a picture: the column minima and maxima as one filled,
// anti-aliased band, optional shaded stretches (the silences) behind it with
// their times written above them, a time axis along the bottom and an
// optional caption line on top. One drawing serves three encodings: PNG,
// SVG and PDF, each produced in memory so that the caller decides how the
// file is written.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vxcli {

inline constexpr int kPictureMinWidth = 200, kPictureMinHeight = 80;
inline constexpr int kPictureMaxWidth = 8000, kPictureMaxHeight = 2000;
inline constexpr int kPictureAxisHeight = 24;     // bottom rows: axis line, ticks, labels
inline constexpr int kPictureCaptionHeight = 16;  // top rows, only when there is a caption

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};
inline constexpr Rgb kPictureBackground{255, 255, 255};
inline constexpr Rgb kPictureWave{40, 70, 160};
inline constexpr Rgb kPictureShade{250, 214, 150};
inline constexpr Rgb kPictureInk{0, 0, 0};

enum class PictureFormat { kPng, kSvg, kPdf };

struct WaveformData {
  // Per data column, in fractions of full scale (-1..1); stretched across
  // the picture's width when there are fewer columns than pixels.
  std::vector<float> mins, maxs;
  double startSeconds = 0.0;  // time at the left edge
  double seconds = 0.0;       // time covered by all columns
  // [from, to) in seconds; only the part inside the drawn time is shaded.
  std::vector<std::pair<double, double>> shaded;
  bool labels = false;  // write each shaded stretch's times above it where they fit
  std::string caption;  // one line above the plot; none when empty
};

// The picture of `data`, width x height pixels (points for PDF), within the
// limits above, encoded in `format`. Empty when drawing or encoding fails.
// The same input gives the same bytes: no timestamps are embedded.
std::string EncodePicture(const WaveformData& data, int width, int height, PictureFormat format);

// The format an output name asks for by its extension: .svg or .pdf, in any
// letter case; everything else is PNG.
PictureFormat PictureFormatFor(const std::string& path);

// "WxH" into its two numbers; nothing else is accepted. Values too long for
// an int come back as INT64 max, so that they are capped like any huge size.
bool ParsePictureSize(const std::string& text, int64_t& w, int64_t& h);

}  // namespace vxcli
