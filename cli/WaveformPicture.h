// A waveform drawn as a picture: one vertical stroke per pixel column from
// the column's minimum to its maximum, optional shaded stretches (the
// silences) behind it, and a time axis in seconds along the bottom. Encoded
// as an 8-bit RGB PNG.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vxcli {

inline constexpr int kPictureMinWidth = 200, kPictureMinHeight = 80;
inline constexpr int kPictureMaxWidth = 8000, kPictureMaxHeight = 2000;
inline constexpr int kPictureAxisHeight = 24;  // bottom rows: axis line, ticks, labels

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};
inline constexpr Rgb kPictureBackground{255, 255, 255};
inline constexpr Rgb kPictureWave{40, 70, 160};
inline constexpr Rgb kPictureShade{250, 214, 150};
inline constexpr Rgb kPictureInk{0, 0, 0};

struct WaveformData {
  // Per data column, in fractions of full scale (-1..1); stretched across
  // the picture's width when there are fewer columns than pixels.
  std::vector<float> mins, maxs;
  double startSeconds = 0.0;  // time at the left edge
  double seconds = 0.0;       // time covered by all columns
  std::vector<std::pair<double, double>> shaded;  // [from, to) in seconds
};

class WaveformPicture {
 public:
  WaveformPicture(int width, int height);  // within the limits above
  void Draw(const WaveformData& data);
  std::string EncodePng() const;  // empty when encoding fails

  Rgb At(int x, int y) const;
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  void Set(int x, int y, Rgb c);
  void Fill(int x0, int y0, int x1, int y1, Rgb c);  // [x0, x1) x [y0, y1), clipped
  void Text(int x, int y, const std::string& s);
  void Axis(const WaveformData& data);

  int width_, height_;
  std::vector<uint8_t> rgb_;
};

// "WxH" into its two numbers; nothing else is accepted. Values too long for
// an int come back as INT64 max, so that they are capped like any huge size.
bool ParsePictureSize(const std::string& text, int64_t& w, int64_t& h);

}  // namespace vxcli
