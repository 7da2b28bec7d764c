// vxaudio graph --format png: the decoded picture shows the signal where the
// file is loud, shades the silences only when asked, carries a time axis,
// and refuses or caps sizes it cannot draw.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <string>
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
  Picture p;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
  image.format = PNG_FORMAT_RGB;
  p.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr)) {
    png_image_free(&image);
    return {};
  }
  p.width = int(image.width);
  p.height = int(image.height);
  return p;
}

class GraphPng : public ::testing::Test {
 protected:
  // 3 s mono: noise at 0.8 of full scale, a second of near silence, noise
  // at 0.4.
  void SetUp() override {
    std::vector<float> v = vxtest::Noise(kRate, 1, 3, 0.8);
    auto quiet = vxtest::Noise(kRate, 1, 4, 2e-4), soft = vxtest::Noise(kRate, 1, 5, 0.4);
    v.insert(v.end(), quiet.begin(), quiet.end());
    v.insert(v.end(), soft.begin(), soft.end());
    src = vxtest::WriteSound(dir.File("s.wav"), v, 1, kRate);
  }
  vxtest::VxOutcome Vx(const std::string& args) { return vxtest::RunVx(args, dir.Path()); }

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
  ASSERT_EQ(s.width, 630);
  ASSERT_EQ(s.height, 200);
  ASSERT_EQ(p.width, 630);

  // Rows of the plot at a given fraction of full scale above the centre.
  const int plotH = 200 - vxcli::kPictureAxisHeight;
  auto row = [&](double level) {
    return int(std::lround((plotH - 1) / 2.0 - level * (plotH - 2) / 2.0));
  };
  // A second is 210 pixels: the middle of each stretch is at 105, 315, 525.
  for (const Picture* pic : {&s, &p}) {
    EXPECT_EQ(pic->At(105, row(0.7)), vxcli::kPictureWave);
    EXPECT_EQ(pic->At(105, row(-0.7)), vxcli::kPictureWave);
    EXPECT_NE(pic->At(105, row(0.9)), vxcli::kPictureWave) << "peak is 0.8";
    EXPECT_EQ(pic->At(525, row(0.35)), vxcli::kPictureWave);
    EXPECT_NE(pic->At(525, row(0.5)), vxcli::kPictureWave) << "peak is 0.4";
    EXPECT_EQ(pic->At(315, row(0.0)), vxcli::kPictureWave) << "silence still shows its line";
  }
  // The quiet second is shaded only in the picture asked to; the loudness
  // model hears the end of a sound for a moment longer than it lasts.
  for (int x : {280, 315, 400}) {
    EXPECT_EQ(s.At(x, row(0.5)), vxcli::kPictureShade) << x;
    EXPECT_EQ(p.At(x, row(0.5)), vxcli::kPictureBackground) << x;
  }
  for (int x : {105, 525}) EXPECT_EQ(s.At(x, row(0.95)), vxcli::kPictureBackground) << x;

  // Axis: a line on top of the axis rows, ticks at whole seconds with a
  // label below, and nothing between the ticks.
  const int axis = 200 - vxcli::kPictureAxisHeight;
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
  struct Case {
    std::string size;
    int w, h;
  };
  for (const Case& c : {Case{"0x0", vxcli::kPictureMinWidth, vxcli::kPictureMinHeight},
                        Case{"99999999999999999999999x300", vxcli::kPictureMaxWidth, 300}}) {
    const std::string out = dir.File("c.png");
    auto r = Vx("graph -q " + src + " --format png -o " + out + " --size " + c.size);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string said = "drawing " + std::to_string(c.w) + "x" + std::to_string(c.h) + "\n";
    EXPECT_EQ(r.err.rfind("vxaudio graph: " + out + ": --size " + c.size + " is outside", 0), 0u)
        << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - said.size()), said) << r.err;
    const Picture p = Decode(out);
    EXPECT_EQ(p.width, c.w);
    EXPECT_EQ(p.height, c.h);
  }
  // What cannot be drawn at all is a usage error, and writes nothing.
  for (std::string args : {"--size 12", "--size x300", "--size -5x10", "--columns 10",
                                  "--silences --min-silence -1"}) {
    auto r = Vx("graph -q " + src + " --format png -o " + dir.File("u.png") + " " + args);
    EXPECT_EQ(r.status, 2) << args << r.err;
  }
  EXPECT_EQ(Vx("graph -q " + src + " --format png").status, 2);
  EXPECT_FALSE(std::filesystem::exists(dir.File("u.png")));
}

}  // namespace
