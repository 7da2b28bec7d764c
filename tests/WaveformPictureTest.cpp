// vxaudio graph pictures: the decoded PNG shows the signal where the file is
// loud, shades the silences only when asked and only inside the drawn
// range, carries a readable time axis; SVG and PDF come from the same
// drawing; sizes it cannot draw are refused or capped.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"
#include "WaveformPicture.h"

namespace {

using vxcli::Rgb;
constexpr int kRate = 44100;

// A decoded PNG; empty (0x0) when the file is no PNG.
struct Picture {
  explicit Picture(const std::string& path)
      : s(cairo_image_surface_create_from_png(path.c_str()), &cairo_surface_destroy) {}
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> s;
  int width() const { return cairo_image_surface_get_width(s.get()); }
  int height() const { return cairo_image_surface_get_height(s.get()); }
  Rgb At(int x, int y) const {
    const unsigned char* row = cairo_image_surface_get_data(s.get()) + y * cairo_image_surface_get_stride(s.get());
    const uint32_t px = reinterpret_cast<const uint32_t*>(row)[x];
    return {uint8_t(px >> 16), uint8_t(px >> 8), uint8_t(px)};
  }
  // Pixels in [x0, x1) x [y0, y1) much darker than the shade: text or lines.
  int Dark(int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += At(x, y).r + At(x, y).g + At(x, y).b < 400;
    return n;
  }
};

class GraphPicture : public ::testing::Test {
 protected:
  // 3 s mono: noise at 0.8 of full scale, a second of near silence, noise
  // at 0.4.
  void SetUp() override {
    std::vector<float> v;
    for (auto [seed, level] : {std::pair{3u, 0.8}, {4u, 2e-4}, {5u, 0.4}})
      for (float x : vxtest::Noise(kRate, 1, seed, level)) v.push_back(x);
    src = vxtest::WriteSound(dir.File("s.wav"), v, 1, kRate);
  }
  vxtest::VxOutcome Vx(const std::string& args) { return vxtest::RunVx("VX " + args, dir.Path()); }

  vxtest::TempDir dir;
  std::string src;
};

TEST_F(GraphPicture, SignalShadedSilenceAndTimeAxisWhereTheyBelong) {
  const std::string shaded = dir.File("shaded.png"), plain = dir.File("plain.png");
  auto r = Vx("graph -q " + src + " -o " + shaded + " --size 630x200 --silences --labels");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("630x200"), std::string::npos) << r.out;
  ASSERT_EQ(Vx("graph -q " + src + " --format png -o " + plain + " --size 630x200").status, 0);
  const Picture s(shaded), p(plain);
  ASSERT_EQ(std::tuple(s.width(), s.height(), p.width(), p.height()), std::tuple(630, 200, 630, 200));

  // Rows of the plot at a given fraction of full scale above the centre.
  const int axis = 200 - vxcli::kPictureAxisHeight;
  auto row = [&](double level) { return int(std::lround(axis / 2.0 - level * (axis / 2.0 - 1))); };
  // A second is 210 pixels: the middle of each stretch is at 105, 315, 525.
  // Peaks are 0.8 and 0.4; the silence still shows its line.
  for (const Picture* pic : {&s, &p})
    for (auto [x, level, wave] : {std::tuple{105, 0.7, true}, {105, -0.7, true}, {105, 0.9, false},
                                  {525, 0.35, true}, {525, 0.5, false}, {315, 0.0, true}})
      EXPECT_EQ(pic->At(x, row(level)) == vxcli::kPictureWave, wave) << x << " at " << level;
  // The quiet second is shaded only in the picture asked to; the loudness
  // model hears the end of a sound for a moment longer than it lasts.
  for (int x : {280, 315, 400}) {
    EXPECT_EQ(s.At(x, row(0.5)), vxcli::kPictureShade) << x;
    EXPECT_EQ(p.At(x, row(0.5)), vxcli::kPictureBackground) << x;
  }
  for (int x : {105, 525}) EXPECT_EQ(s.At(x, row(0.95)), vxcli::kPictureBackground) << x;
  // --labels: the silence's times written at the top of its shade.
  EXPECT_GT(s.Dark(230, 0, 400, 16), 20);
  EXPECT_EQ(p.Dark(230, 0, 400, 16), 0);

  // Axis: a line on top of the axis rows, ticks at whole seconds with a
  // label below, and nothing between the ticks.
  for (int x : {0, 315, 629}) EXPECT_EQ(s.At(x, axis), vxcli::kPictureInk);
  for (int x : {210, 420}) {
    EXPECT_EQ(s.At(x, axis + 3), vxcli::kPictureInk) << x;
    EXPECT_GT(s.Dark(x - 12, axis + 7, x + 12, 200), 15) << "label under the tick at " << x;
  }
  EXPECT_EQ(s.At(262, axis + 3), vxcli::kPictureBackground);
}

TEST_F(GraphPicture, RangeShadesOnlyItsOwnPartAndSaysSo) {
  // 0.75 s to 1.75 s: the silence, heard from shortly after 1 s, starts in it.
  const std::string out = dir.File("range.png");
  auto r = Vx("graph -q " + src + " -o " + out + " --size 400x120 --silences --start 0.75 --length 1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 silence shaded"), std::string::npos) << r.out;
  const Picture p(out);
  ASSERT_EQ(std::pair(p.width(), p.height()), std::pair(400, 120));
  const int top = vxcli::kPictureCaptionHeight, axis = 120 - vxcli::kPictureAxisHeight;
  EXPECT_GT(p.Dark(0, 0, 200, top), 30) << "caption";
  for (int x : {20, 130, 399}) EXPECT_NE(p.At(x, top - 2), vxcli::kPictureShade) << x;
  for (int x : {20, 90}) EXPECT_EQ(p.At(x, top + 4), vxcli::kPictureBackground) << x;
  for (int x : {200, 300, 399}) {
    EXPECT_EQ(p.At(x, top + 4), vxcli::kPictureShade) << x;
    EXPECT_NE(p.At(x, axis + 3), vxcli::kPictureShade) << x;
  }
}

TEST_F(GraphPicture, SvgAndPdfFromTheSameDrawing) {
  auto r = Vx("graph -q " + src + " -o " + dir.File("p.SVG") + " --size 640x160 --silences");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string svg = vxtest::Slurp(dir.File("p.SVG"));
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("width=\"640px\" height=\"160px\""), std::string::npos) << svg.substr(0, 300);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);

  std::string pdfs[2];
  for (std::string& pdf : pdfs) {
    ASSERT_EQ(Vx("graph -q " + src + " -o " + dir.File("p.pdf") + " --silences --labels").status, 0);
    pdf = vxtest::Slurp(dir.File("p.pdf"));
  }
  EXPECT_EQ(pdfs[0].rfind("%PDF-", 0), 0u);
  size_t pages = 0;
  for (size_t at = 0; (at = pdfs[0].find("/Type /Page", at)) != std::string::npos; ++at)
    pages += pdfs[0].compare(at, 12, "/Type /Pages") != 0;
  EXPECT_EQ(pages, 1u);
  EXPECT_NE(pdfs[0].find("/MediaBox [ 0 0 1200 300 ]"), std::string::npos);
  EXPECT_EQ(pdfs[0], pdfs[1]) << "no timestamps: the same input gives the same file";
}

TEST_F(GraphPicture, SizesOutsideTheLimitsAreCappedAndSaid) {
  for (auto [size, w, h] : {std::tuple{"0x0", vxcli::kPictureMinWidth, vxcli::kPictureMinHeight},
                            {"99999999999999999999999x300", vxcli::kPictureMaxWidth, 300}}) {
    const std::string out = dir.File("c.png");
    // A warning: shown unless -q.
    EXPECT_EQ(Vx("graph -q " + src + " --format png -o " + out + " --size " + size).err, "");
    auto r = Vx("graph " + src + " --format png -o " + out + " --size " + size);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string said = "drawing " + std::to_string(w) + "x" + std::to_string(h) + "\n";
    EXPECT_EQ(r.err.rfind("vxaudio graph: " + out + ": warning: --size " + size + " is outside", 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - said.size()), said) << r.err;
    const Picture p(out);
    EXPECT_EQ(std::pair(p.width(), p.height()), std::pair(w, h));
  }
  // What cannot be drawn at all is a usage error, and writes nothing.
  for (std::string args : {"-o u.png --size 12", "-o u.png --size x300", "-o u.png --size -5x10",
                           "-o u.png --columns 10", "-o u.png --silences --min-silence -1",
                           "-o u.png --labels", ""})
    EXPECT_EQ(Vx("graph -q s.wav --format png " + args).status, 2) << args;
  EXPECT_FALSE(std::filesystem::exists(dir.File("u.png")));
}

}  // namespace
