// Waveform overview of AudioFile, and the proof that holding one handle per
// operation changes nothing: a per-block reference, opening the file for
// every read, seeking before every read and allocating every buffer, must
// give the same values, files and printed lines as the engine.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>

#include "AudioFile.h"
#include "SoundFixture.h"

using vxtest::DiagCapture;
using vxtest::DiagLines;
using vxtest::Err;
using vxtest::Out;

namespace {

// Half up, from the float product: an independent restatement.
int32_t Dot(int32_t y, float v) { return int32_t(std::floor(double(float(y) * v) + 0.5)); }

// ---- the reference: every step as first described ----
struct PerBlock {
  std::string name;
  int32_t smpNb, channels;
  SF_INFO info{};
  SNDFILE* h = nullptr;

  bool Open() {
    if (!h) h = sf_open(name.c_str(), SFM_READ, &info);
    if (!h) vx::DiagErr("AudioFile::InitAudio: ERROR: problem while openning " + name);
    return h;
  }
  void Close() {
    if (h) sf_close(h);
    h = nullptr;
  }
  void Check(int32_t& s, int32_t& l) {
    if (s < 0 || l < 0) {
      vx::DiagOut("AudioFile::CheckFrameArea: WARNING: ioStart and/or ioLen are negatives => ioStart and ioLen put to 0");
      s = l = 0;
    }
    if (s >= smpNb) {
      vx::DiagOut("AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0");
      s = l = 0;
    }
    if (l > smpNb - s) {
      vx::DiagOut("AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart");
      l = smpNb - s;
    }
  }
  int Mono(std::vector<float>& o, int32_t s, int32_t l) {
    const bool opened = !h;
    if (opened && !Open()) return -1;
    Check(s, l);
    o.clear();
    if (l == 0) {
      if (opened) Close();
      return 0;
    }
    std::vector<float> buf(size_t(l) * size_t(channels));
    sf_seek(h, s, SEEK_SET);
    const sf_count_t n = sf_readf_float(h, buf.data(), l);
    const double r = 1.0 / channels;
    for (sf_count_t i = 0; i < n; ++i) {
      double sum = 0;
      for (int c = 0; c < channels; ++c) sum += buf[size_t(i * channels + c)] * r;
      o.push_back(float(sum));
    }
    if (opened) Close();
    return int(n);
  }
  int Stereo(std::vector<float>& o, int32_t s, int32_t l) {
    Check(s, l);
    o.clear();
    if (l == 0) return vx::DiagOut("AudioFile::ReadStereoData: WARNING: nothing to read"), 0;
    if (channels > 2) return vx::DiagOut("AudioFile::ReadStereoData: WARNING: more than 2 channels, read nothing"), 0;
    std::vector<float> buf(size_t(l) * size_t(channels));
    if (!Open()) return -1;
    sf_seek(h, s, SEEK_SET);
    const sf_count_t n = sf_readf_float(h, buf.data(), l);
    for (sf_count_t i = 0; i < n * 2; ++i) o.push_back(channels == 2 ? buf[size_t(i)] : buf[size_t(i / 2)]);
    Close();
    return int(n);
  }
  int MinMax(float* mn, float* mx, int32_t s, int32_t l) {
    Check(s, l);
    if (l == 0) return vx::DiagOut("AudioFile::SearchMinMax: ERROR: nothing to read for getting max"), -1;
    std::vector<float> data;
    int32_t done = 0;
    int n = Mono(data, s, std::min(l, 4098));
    *mn = *mx = n > 0 ? data[0] : 0.f;
    while (n > 0) {
      for (int i = 0; i < n; ++i)
        if (data[size_t(i)] > *mx) *mx = data[size_t(i)];
        else if (data[size_t(i)] < *mn) *mn = data[size_t(i)];
      s += n;
      done += n;
      n = Mono(data, s, std::min(n, l - done));
    }
    return n < 0 ? 1 : 0;
  }
  int Graph(std::vector<int32_t>& oMin, std::vector<int32_t>& oMax, int32_t x, int32_t y, int32_t s, int32_t l) {
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
  // The main path of an export (valid arguments).
  int Export(const std::string& path, int ch, int32_t s, int32_t l) {
    Check(s, l);
    if (l == 0) return vx::DiagOut("AudioFile::Export: WARNING: nothing to export"), 0;
    if (!Open()) return -1;
    SF_INFO oi = info;
    oi.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    oi.channels = ch;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &oi);
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    for (int k = SF_STR_TITLE; k <= SF_STR_DATE; ++k)
      if (const char* t = sf_get_string(h, k)) sf_set_string(out, k, t);
    std::vector<float> data;
    int32_t done = 0, block = std::min(4098 / ch, l);
    int n = ch == 1 ? Mono(data, s, block) : Stereo(data, s, block);
    while (n > 0) {
      sf_writef_float(out, data.data(), n);
      s += n;
      done += n;
      const int32_t next = done >= l ? 0 : std::min(n, l - done);
      n = ch == 1 ? Mono(data, s, next) : Stereo(data, s, next);
    }
    Close();
    sf_close(out);
    return n < 0 ? 4 : 0;
  }
};

}  // namespace

TEST(AudioFileGraph, ColumnsMatchAnIndependentMixdown) {
  vxtest::TempDir dir;
  const auto path = vxtest::WriteSound(dir.File("n.wav"), vxtest::Noise(50000, 2, 5), 2);
  const auto pcm = vxtest::ReadSound(path);
  AudioFile a;
  ASSERT_EQ(a.InitAudio(path.c_str()), 0);
  // 7 columns of 5000 frames (wider than one block) from frame 1234.
  std::vector<int32_t> mn, mx;
  ASSERT_EQ(a.Audio2Graph(mn, mx, 7, 32767, 1234, 35006), 0);
  ASSERT_EQ(mn.size(), 7u);
  for (int c = 0; c < 7; ++c) {
    double lo = 1e9, hi = -1e9;
    for (int i = 1234 + c * 5000; i < 1234 + (c + 1) * 5000; ++i) {
      const double m = (double(pcm[size_t(2 * i)]) + pcm[size_t(2 * i + 1)]) / 2;
      lo = std::min(lo, m), hi = std::max(hi, m);
    }
    EXPECT_EQ(mn[size_t(c)], Dot(32767, float(lo)));
    EXPECT_EQ(mx[size_t(c)], Dot(32767, float(hi)));
  }
}

TEST(AudioFileGraph, RoundsHalvesUpAndSaturates) {
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
  EXPECT_EQ(mn.back(), INT32_MIN);
  EXPECT_EQ(mx.back(), INT32_MAX);
}

TEST(AudioFileGraph, BadArgumentsAndEmptyColumns) {
  vxtest::TempDir dir;
  AudioFile a;
  ASSERT_EQ(a.InitAudio(vxtest::WriteSound(dir.File("a.wav"), vxtest::Sine(100, 1), 1).c_str()), 0);
  std::vector<int32_t> mn{1}, mx{1};
  const std::string kEmpty = "AudioFile::SearchMinMax: ERROR: nothing to read for getting max";
  const std::string kFail = "AudioFile::Audio2Graph: ERROR: internal failure with SearchMonoMinMax";
  struct Case {
    int32_t x, y, start, len, result;
    DiagLines lines;
  } cases[] = {
      {0, 0, 100, 5, 0,
       {Out("AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0"),
        Out("AudioFile::Audio2Graph: WARNING: nothing to read")}},
      {0, 10, 0, 100, -3, {Err("AudioFile::Audio2Graph: ERROR: iXDot and/or iYDot <= 0")}},
      {101, 10, 0, 100, -2, {Err("AudioFile::Audio2Graph: ERROR: iXDot > iLen")}},
      // Clamped to 2 frames in 3 columns: width 0, three empty searches.
      {3, 10, 98, 3, 0,
       {Out("AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart"), Out(kEmpty),
        Err(kFail), Out(kEmpty), Err(kFail), Out(kEmpty), Err(kFail)}},
  };
  for (const auto& c : cases) {
    DiagCapture cap;
    EXPECT_EQ(a.Audio2Graph(mn, mx, c.x, c.y, c.start, c.len), c.result);
    EXPECT_EQ(cap.Lines(), c.lines);
    EXPECT_EQ(mn, std::vector<int32_t>(c.lines.size() > 3 ? 3 : 0, 0));
  }
}

TEST(AudioFileHeldHandle, SameResultsAndLinesAsPerBlockReads) {
  vxtest::TempDir dir;
  struct Source {
    const char* name;
    int channels, format;
  } sources[] = {{"s.flac", 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                 {"m.wav", 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                 {"f.wav", 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                 {"s.aif", 2, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
                 {"t.wav", 3, SF_FORMAT_WAV | SF_FORMAT_PCM_16}};
  struct Range {
    int32_t x, start, len;
  } ranges[] = {{300, 0, 70001}, {7, 20000, 50011}, {13, 69000, 5000}, {4, -5, 100}, {25, 10, INT32_MAX}};
  for (const auto& s : sources) {
    SCOPED_TRACE(s.name);
    auto data = vxtest::Noise(70001, s.channels, 9, 1.0);
    data[100] = 1.25f;  // beyond full scale in the float source
    const auto path = vxtest::WriteSound(dir.File(s.name), data, s.channels, 44100, s.format,
                                         {{SF_STR_COMMENT, "kept"}});
    AudioFile a;
    ASSERT_EQ(a.InitAudio(path.c_str()), 0);
    PerBlock ref{path, a.mSmpNb, a.mChannels};
    for (const auto& r : ranges) {
      std::vector<int32_t> mn, mx, rmn, rmx;
      DiagCapture cap;
      const int got = a.Audio2Graph(mn, mx, r.x, 1000, r.start, r.len);
      const DiagLines lines = cap.Lines();
      cap.Clear();
      EXPECT_EQ(ref.Graph(rmn, rmx, r.x, 1000, r.start, r.len), got);
      EXPECT_EQ(cap.Lines(), lines);
      EXPECT_EQ(mn, rmn);
      EXPECT_EQ(mx, rmx);
      for (int ch = 1; ch <= 2; ++ch) {
        cap.Clear();
        const auto mine = dir.File("mine.wav"), theirs = dir.File("ref.wav");
        std::filesystem::remove(mine);
        std::filesystem::remove(theirs);
        EXPECT_EQ(a.Export(mine.c_str(), 16, ch, r.start, r.len), 0);
        const DiagLines exportLines = cap.Lines();
        cap.Clear();
        EXPECT_EQ(ref.Export(theirs, ch, r.start, r.len), 0);
        EXPECT_EQ(cap.Lines(), exportLines);
        ASSERT_EQ(std::filesystem::exists(mine), std::filesystem::exists(theirs));
        if (std::filesystem::exists(mine)) {
          EXPECT_EQ(vxtest::ReadSound(mine), vxtest::ReadSound(theirs));
        }
      }
    }
  }
}
