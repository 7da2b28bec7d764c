// Waveform overview of AudioFile, and the proof that holding one handle per
// operation changes nothing: a per-block reference that opens, seeks and
// reads the file anew for every block must give the same values, files and
// printed lines as the engine.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>

#include "AudioFile.h"
#include "SoundFixture.h"
#include "VxProcess.h"

using vxtest::DiagCapture;
using vxtest::DiagLines;
using vxtest::Err;
using vxtest::Out;

namespace {

// Half up, from the float product: an independent restatement.
int32_t Dot(int32_t y, float v) { return int32_t(std::floor(double(float(y) * v) + 0.5)); }

// ---- the reference: every step as first described, one open per read ----
struct PerBlock {
  std::string name;
  int32_t smpNb, channels;

  void Check(int32_t& s, int32_t& l) const {
    const std::string w = "AudioFile::CheckFrameArea: WARNING: ";
    if (s < 0 || l < 0) vx::DiagOut(w + "ioStart and/or ioLen are negatives => ioStart and ioLen put to 0"), s = l = 0;
    if (s >= smpNb) vx::DiagOut(w + "ioStart >= mSmpNb => ioStart and ioLen put to 0"), s = l = 0;
    if (l > smpNb - s) vx::DiagOut(w + "ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart"), l = smpNb - s;
  }
  // ReadMonoData (the mean of the channels) or ReadStereoData (mono doubled).
  int Read(std::vector<float>& o, int32_t s, int32_t l, bool stereo) const {
    Check(s, l);
    o.clear();
    if (stereo && l == 0) return vx::DiagOut("AudioFile::ReadStereoData: WARNING: nothing to read"), 0;
    if (stereo && channels > 2)
      return vx::DiagOut("AudioFile::ReadStereoData: WARNING: more than 2 channels, read nothing"), 0;
    if (l == 0) return 0;
    std::vector<float> buf(size_t(l) * size_t(channels));
    SF_INFO info{};
    SNDFILE* h = sf_open(name.c_str(), SFM_READ, &info);
    sf_seek(h, s, SEEK_SET);
    const int n = int(sf_readf_float(h, buf.data(), l));
    sf_close(h);
    for (int i = 0; i < n; ++i) {
      double sum = 0;
      for (int c = 0; c < channels; ++c) sum += buf[size_t(i * channels + c)] * (1.0 / channels);
      for (int c = 0; c < (stereo ? 2 : 0); ++c) o.push_back(buf[size_t(i * channels + c % channels)]);
      if (!stereo) o.push_back(float(sum));
    }
    return n;
  }
  int MinMax(float* mn, float* mx, int32_t s, int32_t l) const {
    Check(s, l);
    if (l == 0) return vx::DiagOut("AudioFile::SearchMinMax: ERROR: nothing to read for getting max"), -1;
    std::vector<float> data;
    int32_t done = 0;
    int n = Read(data, s, std::min(l, 4098), false);
    *mn = *mx = n > 0 ? data[0] : 0.f;
    for (; n > 0; n = Read(data, s, std::min(n, l - done), false)) {
      for (int i = 0; i < n; ++i)
        if (data[size_t(i)] > *mx) *mx = data[size_t(i)];
        else if (data[size_t(i)] < *mn) *mn = data[size_t(i)];
      s += n, done += n;
    }
    return n < 0 ? 1 : 0;
  }
  int Graph(std::vector<int32_t>& oMin, std::vector<int32_t>& oMax, int32_t x, int32_t y, int32_t s, int32_t l) const {
    Check(s, l);
    oMin.clear(), oMax.clear();
    if (l == 0) return vx::DiagOut("AudioFile::Audio2Graph: WARNING: nothing to read"), 0;
    float mn = 0, mx = 0;
    for (int32_t c = 0; c < x; ++c) {
      if (MinMax(&mn, &mx, s + c * (l / x), l / x) != 0)
        vx::DiagErr("AudioFile::Audio2Graph: ERROR: internal failure with SearchMonoMinMax");
      oMin.push_back(Dot(y, mn));
      oMax.push_back(Dot(y, mx));
    }
    return 0;
  }
  // The main path of an export (valid arguments) to 16-bit WAV.
  int Export(const std::string& path, int ch, int32_t s, int32_t l) const {
    Check(s, l);
    if (l == 0) return vx::DiagOut("AudioFile::Export: WARNING: nothing to export"), 0;
    SF_INFO info{};
    SNDFILE* src = sf_open(name.c_str(), SFM_READ, &info);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    info.channels = ch;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    for (int k = SF_STR_TITLE; k <= SF_STR_DATE; ++k)
      if (const char* t = sf_get_string(src, k)) sf_set_string(out, k, t);
    sf_close(src);
    std::vector<float> data;
    int32_t done = 0;
    int n = Read(data, s, std::min(4098 / ch, l), ch == 2);
    for (; n > 0; n = Read(data, s, done >= l ? 0 : std::min(n, l - done), ch == 2)) {
      sf_writef_float(out, data.data(), n);
      s += n, done += n;
    }
    sf_close(out);
    return n < 0 ? 4 : 0;
  }
};

// The result of `op` with the lines it printed.
template <class Op> std::pair<int, DiagLines> Printed(Op op) {
  DiagCapture cap;
  const int r = op();
  return {r, cap.Lines()};
}

}  // namespace

// Eight frames: half-way values round up, beyond full scale saturates; then
// the order of the argument checks and columns too narrow to hold a frame.
TEST(AudioFileGraph, RoundingBadArgumentsAndEmptyColumns) {
  vxtest::TempDir dir;
  const auto path = vxtest::WriteSound(dir.File("r.wav"), {-0.75f, 0.75f, -0.25f, 0.25f, 0.f, 0.f, 4.f, -4.f}, 1,
                                       8000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  AudioFile a;
  ASSERT_EQ(a.InitAudio(path.c_str()), 0);
  std::vector<int32_t> mn, mx;
  ASSERT_EQ(a.Audio2Graph(mn, mx, 4, 2), 0);
  EXPECT_EQ(mn, (std::vector<int32_t>{-1, 0, 0, -8}));
  EXPECT_EQ(mx, (std::vector<int32_t>{2, 1, 0, 8}));
  ASSERT_EQ(a.Audio2Graph(mn, mx, 4, INT32_MAX), 0);
  EXPECT_EQ(std::make_pair(mn.back(), mx.back()), std::make_pair(INT32_MIN, INT32_MAX));

  const auto kEmpty = Out("AudioFile::SearchMinMax: ERROR: nothing to read for getting max");
  const auto kFail = Err("AudioFile::Audio2Graph: ERROR: internal failure with SearchMonoMinMax");
  const struct { int32_t x, y, start, len, result; DiagLines lines; } cases[] = {
      {0, 0, 8, 5, 0,
       {Out("AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0"),
        Out("AudioFile::Audio2Graph: WARNING: nothing to read")}},
      {0, 10, 0, 8, -3, {Err("AudioFile::Audio2Graph: ERROR: iXDot and/or iYDot <= 0")}},
      {9, 10, 0, 8, -2, {Err("AudioFile::Audio2Graph: ERROR: iXDot > iLen")}},
      // Clamped to 2 frames in 3 columns: width 0, three empty searches.
      {3, 10, 6, 3, 0,
       {Out("AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart"), kEmpty, kFail,
        kEmpty, kFail, kEmpty, kFail}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Printed([&] { return a.Audio2Graph(mn, mx, c.x, c.y, c.start, c.len); }),
              std::make_pair(c.result, c.lines));
    EXPECT_EQ(mn, std::vector<int32_t>(c.lines.size() > 3 ? 3 : 0, 0));
  }
}

TEST(AudioFileHeldHandle, SameResultsFilesAndLinesAsPerBlockReads) {
  vxtest::TempDir dir;
  const struct { const char* name; int channels, format; } sources[] = {
      {"s.flac", 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16}, {"m.wav", 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
      {"f.wav", 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT},    {"s.aif", 2, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
      {"t.wav", 3, SF_FORMAT_WAV | SF_FORMAT_PCM_16}};
  const struct { int32_t x, start, len; } ranges[] = {
      {300, 0, 70001}, {7, 20000, 50011}, {13, 69000, 5000}, {4, -5, 100}, {25, 10, INT32_MAX}};
  const auto mine = dir.File("mine.wav"), theirs = dir.File("ref.wav");
  for (const auto& s : sources) {
    SCOPED_TRACE(s.name);
    auto data = vxtest::Noise(70001, s.channels, 9, 1.0);
    data[100] = 1.25f;  // beyond full scale in the float source
    const auto path =
        vxtest::WriteSound(dir.File(s.name), data, s.channels, 44100, s.format, {{SF_STR_COMMENT, "kept"}});
    AudioFile a;
    ASSERT_EQ(a.InitAudio(path.c_str()), 0);
    const PerBlock ref{path, a.mSmpNb, a.mChannels};
    for (const auto& r : ranges) {
      std::vector<int32_t> mn, mx, rmn, rmx;
      EXPECT_EQ(Printed([&] { return a.Audio2Graph(mn, mx, r.x, 1000, r.start, r.len); }),
                Printed([&] { return ref.Graph(rmn, rmx, r.x, 1000, r.start, r.len); }));
      EXPECT_EQ(std::tie(mn, mx), std::tie(rmn, rmx));
      for (int ch = 1; ch <= 2; ++ch) {
        std::filesystem::remove(mine), std::filesystem::remove(theirs);
        EXPECT_EQ(Printed([&] { return a.Export(mine.c_str(), 16, ch, r.start, r.len); }),
                  Printed([&] { return ref.Export(theirs, ch, r.start, r.len); }));
        EXPECT_TRUE(vxtest::Slurp(mine) == vxtest::Slurp(theirs));  // both absent, or the same bytes
      }
    }
  }
}
