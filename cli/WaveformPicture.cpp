#include "WaveformPicture.h"

#include <png.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vxcli {
namespace {

// A 3x5 pixel font for the axis labels: five rows of three bits each, the
// high bit on the left. Only what a time in seconds needs.
struct Glyph {
  char c;
  uint8_t rows[5];
};
constexpr Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}},
    {'3', {7, 1, 7, 1, 7}}, {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}},
    {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}}, {'8', {7, 5, 7, 5, 7}},
    {'9', {7, 5, 7, 1, 7}}, {'.', {0, 0, 0, 0, 2}}, {'-', {0, 0, 7, 0, 0}},
    {'s', {0, 3, 4, 1, 6}},
};
constexpr int kScale = 2;                    // font pixels per glyph pixel
constexpr int kAdvance = 4 * kScale;         // glyph width plus one blank column
constexpr int kMinTickSpacing = 90;          // pixels between ticks, room for a label

const Glyph* Find(char c) {
  for (const Glyph& g : kFont)
    if (g.c == c) return &g;
  return nullptr;
}

// The smallest 1, 2 or 5 times a power of ten that keeps ticks at least
// kMinTickSpacing pixels apart.
double TickStep(double seconds, int width) {
  const double minStep = seconds * kMinTickSpacing / width;
  double p = std::pow(10.0, std::floor(std::log10(minStep)));
  for (;; p *= 10.0)
    for (double k : {1.0, 2.0, 5.0})
      if (k * p >= minStep * (1.0 - 1e-9)) return k * p;
}

}  // namespace

WaveformPicture::WaveformPicture(int width, int height)
    : width_(width), height_(height), rgb_(size_t(width) * size_t(height) * 3, 255) {}

Rgb WaveformPicture::At(int x, int y) const {
  const size_t i = (size_t(y) * size_t(width_) + size_t(x)) * 3;
  return {rgb_[i], rgb_[i + 1], rgb_[i + 2]};
}

void WaveformPicture::Set(int x, int y, Rgb c) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  const size_t i = (size_t(y) * size_t(width_) + size_t(x)) * 3;
  rgb_[i] = c.r;
  rgb_[i + 1] = c.g;
  rgb_[i + 2] = c.b;
}

void WaveformPicture::Fill(int x0, int y0, int x1, int y1, Rgb c) {
  for (int y = std::max(0, y0); y < std::min(height_, y1); ++y)
    for (int x = std::max(0, x0); x < std::min(width_, x1); ++x) Set(x, y, c);
}

void WaveformPicture::Text(int x, int y, const std::string& s) {
  for (char ch : s) {
    if (const Glyph* g = Find(ch))
      for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 3; ++col)
          if (g->rows[row] & (4 >> col))
            Fill(x + col * kScale, y + row * kScale, x + (col + 1) * kScale,
                 y + (row + 1) * kScale, kPictureInk);
    x += kAdvance;
  }
}

void WaveformPicture::Draw(const WaveformData& d) {
  const int plotH = height_ - kPictureAxisHeight;
  Fill(0, 0, width_, height_, kPictureBackground);
  const double perPixel = d.seconds > 0 ? d.seconds / width_ : 0.0;

  // Shading first, so that the waveform stays visible on top of it. A
  // stretch covers the pixel columns whose centre time lies inside it.
  for (const auto& [from, to] : d.shaded) {
    if (perPixel <= 0 || to <= from) continue;
    const double x0 = (from - d.startSeconds) / perPixel - 0.5;
    const double x1 = (to - d.startSeconds) / perPixel - 0.5;
    Fill(int(std::ceil(std::max(x0, -1.0))), 0, int(std::ceil(std::min(x1, double(width_)))),
         plotH, kPictureShade);
  }

  const double mid = (plotH - 1) / 2.0, half = (plotH - 2) / 2.0;
  const size_t cols = std::min(d.mins.size(), d.maxs.size());
  for (int x = 0; cols > 0 && x < width_; ++x) {
    const size_t c = std::min(cols - 1, size_t(int64_t(x) * int64_t(cols) / width_));
    const double hi = std::clamp(double(d.maxs[c]), -1.0, 1.0);
    const double lo = std::clamp(double(d.mins[c]), -1.0, hi);
    // Every column gets at least its centre pixel, so that silence still
    // reads as a line.
    const int y0 = int(std::lround(mid - hi * half));
    const int y1 = int(std::lround(mid - lo * half));
    Fill(x, y0, x + 1, y1 + 1, kPictureWave);
  }
  Axis(d);
}

void WaveformPicture::Axis(const WaveformData& d) {
  const int top = height_ - kPictureAxisHeight;
  Fill(0, top, width_, top + 1, kPictureInk);
  if (!(d.seconds > 0)) return;
  const double step = TickStep(d.seconds, width_);
  const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
  const double perPixel = d.seconds / width_;
  for (double k = std::ceil(d.startSeconds / step - 1e-9);; k += 1.0) {
    const double t = k == 0.0 ? 0.0 : k * step;  // never "-0s"
    const double xf = (t - d.startSeconds) / perPixel;
    if (xf > width_ - 0.5) break;
    const int x = std::clamp(int(std::lround(xf)), 0, width_ - 1);
    Fill(x, top + 1, x + 1, top + 6, kPictureInk);
    char label[32];
    std::snprintf(label, sizeof label, "%.*fs", decimals, t);
    const int w = int(std::string(label).size()) * kAdvance - kScale;
    Text(std::clamp(x - w / 2, 0, std::max(0, width_ - w)), top + 9, label);
  }
}

std::string WaveformPicture::EncodePng() const {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(width_);
  image.height = png_uint_32(height_);
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgb_.data(), 0, nullptr)) return {};
  std::string bytes(size, '\0');
  if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, rgb_.data(), 0, nullptr)) {
    png_image_free(&image);
    return {};
  }
  bytes.resize(size);
  return bytes;
}

bool ParsePictureSize(const std::string& text, int64_t& w, int64_t& h) {
  const auto x = text.find('x');
  if (x == std::string::npos || x == 0 || x + 1 == text.size()) return false;
  auto number = [](std::string_view s, int64_t& v) {
    if (s.find_first_not_of("0123456789") != std::string_view::npos) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec == std::errc::result_out_of_range) v = std::numeric_limits<int64_t>::max();
    return ec == std::errc() || ec == std::errc::result_out_of_range;
  };
  return number(std::string_view(text).substr(0, x), w) &&
         number(std::string_view(text).substr(x + 1), h);
}

}  // namespace vxcli
