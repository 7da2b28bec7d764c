// vxaudio graph --format png: the decoded picture shows the signal where the
// file is loud, shades the silences only when asked, carries a time axis,
// and refuses or caps sizes it cannot draw.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "SoundFixture.h"
#include "VxProcess.h"
#include "WaveformPicture.h"

namespace {

using vxcli::Rgb;
constexpr int kRate = 44100;

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  Rgb At(int x, int y) const {
    const size_t i = (size_t(y) * size_t(width) + size_t(x)) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

Picture Decode(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_RGB;
  Picture p{int(image.width), int(image.height), std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
  if (png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr)) return p;
  png_image_free(&image);
  return {};
}

class GraphPng : public ::testing::Test {
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

TEST_F(GraphPng, SignalShadedSilenceAndTimeAxisWhereTheyBelong) {
  const std::string shaded = dir.File("shaded.png"), plain = dir.File("plain.png");
  auto r = Vx("graph -q " + src + " --format png -o " + shaded + " --size 630x200 --silences");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("630x200"), std::string::npos) << r.out;
  ASSERT_EQ(Vx("graph -q " + src + " --format png -o " + plain + " --size 630x200").status, 0);
  const Picture s = Decode(shaded), p = Decode(plain);
  ASSERT_EQ(std::tuple(s.width, s.height, p.width, p.height), std::tuple(630, 200, 630, 200));

  // Rows of the plot at a given fraction of full scale above the centre.
  const int plotH = 200 - vxcli::kPictureAxisHeight, axis = plotH;
  auto row = [&](double level) {
    return int(std::lround((plotH - 1) / 2.0 - level * (plotH - 2) / 2.0));
  };
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

  // Axis: a line on top of the axis rows, ticks at whole seconds with a
  // label below, and nothing between the ticks.
  for (int x : {0, 315, 629}) EXPECT_EQ(s.At(x, axis), vxcli::kPictureInk);
  for (int x : {210, 420}) {
    EXPECT_EQ(s.At(x, axis + 3), vxcli::kPictureInk) << x;
    int ink = 0;
    for (int y = axis + 8; y < 200; ++y)
      for (int dx = -8; dx <= 8; ++dx) ink += s.At(x + dx, y) == vxcli::kPictureInk;
    EXPECT_GT(ink, 10) << "label under the tick at " << x;
  }
  EXPECT_EQ(s.At(262, axis + 3), vxcli::kPictureBackground);
}

TEST_F(GraphPng, SizesOutsideTheLimitsAreCappedAndSaid) {
  for (auto [size, w, h] : {std::tuple{"0x0", vxcli::kPictureMinWidth, vxcli::kPictureMinHeight},
                            {"99999999999999999999999x300", vxcli::kPictureMaxWidth, 300}}) {
    const std::string out = dir.File("c.png");
    auto r = Vx("graph -q " + src + " --format png -o " + out + " --size " + size);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string said = "drawing " + std::to_string(w) + "x" + std::to_string(h) + "\n";
    EXPECT_EQ(r.err.rfind("vxaudio graph: " + out + ": --size " + size + " is outside", 0), 0u)
        << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - said.size()), said) << r.err;
    const Picture p = Decode(out);
    EXPECT_EQ(std::pair(p.width, p.height), std::pair(w, h));
  }
  // What cannot be drawn at all is a usage error, and writes nothing.
  for (std::string args : {"-o u.png --size 12", "-o u.png --size x300", "-o u.png --size -5x10",
                           "-o u.png --columns 10", "-o u.png --silences --min-silence -1", ""})
    EXPECT_EQ(Vx("graph -q s.wav --format png " + args).status, 2) << args;
  EXPECT_FALSE(std::filesystem::exists(dir.File("u.png")));
}

}  // namespace
