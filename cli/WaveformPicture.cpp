#include "WaveformPicture.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace vxcli {
namespace {

constexpr int kMinTickSpacing = 90;  // pixels between ticks, room for a label
constexpr double kAxisFontSize = 11, kLabelFontSize = 10, kCaptionFontSize = 11;
constexpr Rgb kLabelInk{110, 70, 10};  // silence times, readable on the shade
constexpr Rgb kCaptionInk{70, 70, 70};

struct SurfaceFree {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using Context = std::unique_ptr<cairo_t, ContextFree>;

void Colour(cairo_t* cr, Rgb c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

// The smallest round step that keeps ticks at least minStep seconds apart:
// 1, 2 or 5 times a power of ten, or on a clock face 1, 2, 5, 10, 15 or 30
// seconds or minutes first.
double TickStep(double minStep, bool clock) {
  if (clock && minStep > 1.0)
    for (double s : {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600})
      if (s >= minStep * (1.0 - 1e-9)) return s;
  const double unit = clock && minStep > 1.0 ? 3600.0 : 1.0;  // beyond an hour, round hours
  double p = std::pow(10.0, std::floor(std::log10(minStep / unit)));
  for (;; p *= 10.0)
    for (double k : {1.0, 2.0, 5.0})
      if (k * p * unit >= minStep * (1.0 - 1e-9)) return k * p * unit;
}

// "12.5" in seconds, or "1:02.5" / "1:00:02.5" on a clock face. Rounded once,
// so that 59.96 s never reads as "0:60.0".
std::string TimeText(double t, int decimals, bool clock) {
  char text[64];
  if (!clock) {
    std::snprintf(text, sizeof text, "%.*f", decimals, t);
    return text;
  }
  decimals = std::clamp(decimals, 0, 9);
  const long long scale = std::llround(std::pow(10.0, decimals));
  const long long units = std::llround(std::max(0.0, t) * double(scale));
  const long long whole = units / scale, frac = units % scale;
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  std::string s = text;
  if (decimals > 0) {
    std::snprintf(text, sizeof text, ".%0*lld", decimals, frac);
    s += text;
  }
  return s;
}

double TextWidth(cairo_t* cr, const std::string& s) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, s.c_str(), &e);
  return e.x_advance;
}

void Text(cairo_t* cr, double x, double baseline, const std::string& s, Rgb c) {
  Colour(cr, c);
  cairo_move_to(cr, x, baseline);
  cairo_show_text(cr, s.c_str());
}

class Painter {
 public:
  Painter(cairo_t* cr, const WaveformData& d, int w, int h)
      : cr_(cr), d_(d), w_(w),
        top_(d.caption.empty() ? 0 : kPictureCaptionHeight),
        bottom_(h - kPictureAxisHeight),
        perPixel_(d.seconds > 0 ? d.seconds / w : 0.0),
        clock_(d.startSeconds + d.seconds >= 60.0) {}

  void Draw() {
    Colour(cr_, kPictureBackground);
    cairo_paint(cr_);
    cairo_select_font_face(cr_, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    if (!d_.caption.empty()) {
      cairo_set_font_size(cr_, kCaptionFontSize);
      Text(cr_, 4, kPictureCaptionHeight - 4, d_.caption, kCaptionInk);
    }
    // Shading first, so that the waveform stays visible on top of it; the
    // plot's own rows clip whatever lies outside the drawn time.
    cairo_save(cr_);
    cairo_rectangle(cr_, 0, top_, w_, bottom_ - top_);
    cairo_clip(cr_);
    Shades();
    Wave();
    if (d_.labels) ShadeLabels();
    cairo_restore(cr_);
    Axis();
  }

 private:
  double X(double t) const { return (t - d_.startSeconds) / perPixel_; }

  void Shades() {
    if (perPixel_ <= 0) return;
    Colour(cr_, kPictureShade);
    for (const auto& [from, to] : d_.shaded) {
      const double x0 = std::max(X(from), -1.0), x1 = std::min(X(to), w_ + 1.0);
      if (x1 > x0) cairo_rectangle(cr_, x0, top_, x1 - x0, bottom_ - top_);
    }
    cairo_fill(cr_);
  }

  // One closed outline: along the maxima left to right, back along the
  // minima. Points sit at the column centres, so a picture of few columns
  // is joined up rather than drawn in steps.
  void Wave() {
    const size_t cols = std::min(d_.mins.size(), d_.maxs.size());
    if (cols == 0) return;
    const double mid = (top_ + bottom_) / 2.0, half = (bottom_ - top_) / 2.0 - 1.0;
    const double colWidth = double(w_) / double(cols);
    std::vector<std::pair<double, double>> edges(cols);  // (upper y, lower y)
    for (size_t c = 0; c < cols; ++c) {
      const double hi = std::clamp(double(d_.maxs[c]), -1.0, 1.0);
      const double lo = std::clamp(double(d_.mins[c]), -1.0, hi);
      double y0 = mid - hi * half, y1 = mid - lo * half;
      // At least a pixel thick, so that silence still reads as a line; a
      // whole pixel row, so that the line stays sharp.
      if (y1 - y0 < 1.0) {
        y0 = std::floor((y0 + y1) / 2.0);
        y1 = y0 + 1.0;
      }
      edges[c] = {y0, y1};
    }
    cairo_move_to(cr_, 0, edges.front().first);
    auto x = [&](size_t c) { return (double(c) + 0.5) * colWidth; };
    for (size_t c = 0; c < cols; ++c) cairo_line_to(cr_, x(c), edges[c].first);
    cairo_line_to(cr_, w_, edges.back().first);
    cairo_line_to(cr_, w_, edges.back().second);
    for (size_t c = cols; c-- > 0;) cairo_line_to(cr_, x(c), edges[c].second);
    cairo_line_to(cr_, 0, edges.front().second);
    cairo_close_path(cr_);
    Colour(cr_, kPictureWave);
    cairo_fill(cr_);
  }

  // "1.20–2.35 s" centred at the top of each shade, where the shown part is
  // wide enough for it.
  void ShadeLabels() {
    if (perPixel_ <= 0) return;
    cairo_set_font_size(cr_, kLabelFontSize);
    for (const auto& [from, to] : d_.shaded) {
      const double x0 = std::max(X(from), 0.0), x1 = std::min(X(to), double(w_));
      const std::string s =
          TimeText(from, 2, clock_) + "\u2013" + TimeText(to, 2, clock_) + (clock_ ? "" : " s");
      const double tw = TextWidth(cr_, s);
      if (tw + 6 <= x1 - x0) Text(cr_, (x0 + x1 - tw) / 2.0, top_ + 12, s, kLabelInk);
    }
  }

  // A line on top of the axis rows, ticks at round times with their labels
  // below. Lines are whole pixels, so they stay sharp in the PNG.
  void Axis() {
    Colour(cr_, kPictureInk);
    cairo_rectangle(cr_, 0, bottom_, w_, 1);
    cairo_fill(cr_);
    if (perPixel_ <= 0) return;
    const double step = TickStep(perPixel_ * kMinTickSpacing, clock_);
    const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
    cairo_set_font_size(cr_, kAxisFontSize);
    for (double k = std::ceil(d_.startSeconds / step - 1e-9);; k += 1.0) {
      const double t = k == 0.0 ? 0.0 : k * step;  // never "-0"
      const double xf = X(t);
      if (xf > w_ - 0.5) break;
      const int x = std::clamp(int(std::lround(xf)), 0, w_ - 1);
      cairo_rectangle(cr_, x, bottom_ + 1, 1, 5);
      cairo_fill(cr_);
      const std::string s = TimeText(t, decimals, clock_) + (clock_ ? "" : " s");
      const double tw = TextWidth(cr_, s);
      Text(cr_, std::clamp(x - tw / 2.0, 1.0, std::max(1.0, w_ - 1.0 - tw)), bottom_ + 17, s,
           kPictureInk);
    }
  }

  cairo_t* cr_;
  const WaveformData& d_;
  const int w_, top_, bottom_;
  const double perPixel_;
  const bool clock_;  // times as m:ss once the picture reaches a minute
};

// The streams' write callback: collects the encoded bytes.
cairo_status_t Append(void* closure, const unsigned char* bytes, unsigned int length) {
  try {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(bytes), length);
    return CAIRO_STATUS_SUCCESS;
  } catch (...) {  // must not unwind through the library
    return CAIRO_STATUS_WRITE_ERROR;
  }
}

// cairo and fontconfig keep the fonts they load for the life of the process
// and never free some of it; given back at exit, a leak checker sees a
// clean run. Pictures are drawn on the main thread, and none is at exit.
void ReleaseFontCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace

std::string EncodePicture(const WaveformData& data, int width, int height, PictureFormat format) {
  static const bool released = std::atexit(ReleaseFontCaches) == 0;
  (void)released;
  std::string out;  // outlives the surface, which may still write on destruction
  Surface surface;
  switch (format) {
    case PictureFormat::kPng:
      surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
      break;
    case PictureFormat::kSvg:
      surface.reset(cairo_svg_surface_create_for_stream(Append, &out, width, height));
      cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_PX);
      break;
    case PictureFormat::kPdf:
      surface.reset(cairo_pdf_surface_create_for_stream(Append, &out, width, height));
      // An empty date leaves the creation time out, so that the same input
      // gives the same file.
      cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATE_DATE, "");
      cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATOR, "vxaudio");
      break;
  }
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  {
    Context cr(cairo_create(surface.get()));
    Painter(cr.get(), data, width, height).Draw();
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return {};
  }
  if (format == PictureFormat::kPng) {
    cairo_surface_flush(surface.get());
    if (cairo_surface_write_to_png_stream(surface.get(), Append, &out) != CAIRO_STATUS_SUCCESS)
      return {};
  } else {
    cairo_surface_finish(surface.get());
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  }
  return out;
}

PictureFormat PictureFormatFor(const std::string& path) {
  auto endsWith = [&](std::string_view ext) {
    if (path.size() < ext.size()) return false;
    for (size_t i = 0; i < ext.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(path[path.size() - ext.size() + i])) != ext[i])
        return false;
    return true;
  };
  if (endsWith(".svg")) return PictureFormat::kSvg;
  if (endsWith(".pdf")) return PictureFormat::kPdf;
  return PictureFormat::kPng;
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
