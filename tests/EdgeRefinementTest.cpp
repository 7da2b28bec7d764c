// Silence edges as a user gets them: by default placed on the signal, within
// a few milliseconds of where the sound really stops and starts, where the
// loudness model lags behind; with --edges model exactly the detector's. And
// the same edges to the bit however a file lays out the same samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "BandLevels.h"
#include "EdgeRefinement.h"
#include "SilenceDetector.h"
#include "SoundFixture.h"
#include "VxProcess.h"

namespace {

struct Span {
  double start, end;  // seconds
};

// Speech-like bursts between pauses of exact zeros: harmonic tones and
// noise, each rising in 5 ms and dying away in an exponential tail that is
// cut where it falls 60 dB below the burst (-70 dB of full scale), so that
// the true edges are exact. A noise bed, if any, covers everything.
struct Talk {
  std::vector<float> samples;
  std::vector<Span> pauses;
};

Talk MakeTalk(int rate, int channels, double bed) {
  const double bursts[] = {0.45, 0.3, 0.6, 0.25, 0.5, 0.4};
  const double pauses[] = {0.5, 0.35, 0.8, 0.3, 0.6, 0.45, 0.5};
  Talk t;
  std::vector<float> mono;
  auto pause = [&](double seconds) {
    const double at = double(mono.size()) / rate;
    mono.resize(mono.size() + size_t(std::llround(seconds * rate)), 0.0f);
    t.pauses.push_back({at, double(mono.size()) / rate});
  };
  const std::vector<float> noise = vxtest::Noise(rate, 1, 5, 1.0);
  pause(pauses[0]);
  for (size_t b = 0; b < std::size(bursts); ++b) {
    const double tau = 0.004 + 0.002 * double(b % 3), tail = tau * std::log(1000.0);
    const auto n = int64_t((bursts[b] + tail) * rate);
    const double f0 = 110.0 + 40.0 * double(b);
    for (int64_t i = 0; i < n; ++i) {
      const double s = double(i) / rate;
      const double env = std::min(1.0, s / 0.005) *
                         (s < bursts[b] ? 1.0 : std::exp(-(s - bursts[b]) / tau));
      double x = 0;
      if (b % 2 == 0)
        for (int h = 1; h <= 12; ++h) x += std::sin(2 * std::numbers::pi * f0 * h * s) / h;
      else
        x = 1.5 * noise[size_t(i % rate)];
      mono.push_back(float(0.3 * env * x));
    }
    pause(pauses[b + 1]);
  }
  const std::vector<float> hiss = vxtest::Noise(int64_t(mono.size()), channels, 9, bed);
  for (size_t i = 0; i < mono.size(); ++i)
    for (int c = 0; c < channels; ++c)
      t.samples.push_back(float(mono[i] * (c ? 0.7 : 1.0)) + hiss[i * channels + size_t(c)]);
  return t;
}

// How close to the true edges the signal puts them on clean sound: one
// threshold for the whole file meets tails of different levels a few
// milliseconds apart.
constexpr double kFewMs = 6.0;

class Edges : public ::testing::Test {
 protected:
  nlohmann::json Silence(const std::string& args) {
    auto r = vxtest::RunVx("VX silence --format json " + args, dir.Path());
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    return r.status == 0 ? nlohmann::json::parse(r.out) : nlohmann::json{};
  }

  vxtest::TempDir dir;
};

// Sorted distances in ms between each detected edge and the true one; the
// detections must match the pauses one to one, and be ordered, not
// overlapping, non-empty and within the file.
std::vector<double> EdgeErrors(const nlohmann::json& j, const std::vector<Span>& pauses) {
  std::vector<double> ms;
  const auto& s = j["silences_s"];
  EXPECT_EQ(s.size(), pauses.size()) << s.dump();
  int64_t last = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const int64_t a = j["silences"][i][0], b = j["silences"][i][1];
    EXPECT_TRUE(last <= a && a < b) << j["silences"].dump();
    last = b;
    if (i >= pauses.size()) continue;
    ms.push_back(1000 * std::fabs(s[i][0].get<double>() - pauses[i].start));
    ms.push_back(1000 * std::fabs(s[i][1].get<double>() - pauses[i].end));
  }
  EXPECT_LE(last, j["frames"].get<int64_t>());
  std::sort(ms.begin(), ms.end());
  return ms;
}

TEST_F(Edges, SignalEdgesLieOnTheSoundWhereTheModelLags) {
  const struct {
    const char* name;
    int rate, channels, format;
    double bed, tolerance;  // ms, for every edge
  } kCases[] = {
      {"clean", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0.0, kFewMs},
      // A bed 55 dB under the bursts hides the ends of their tails.
      {"noise-bed", 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1e-3, 10.0},
      {"48k-stereo", 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 0.0, kFewMs},
      {"16k-resampled", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0.0, kFewMs}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Talk t = MakeTalk(c.rate, c.channels, c.bed);
    const std::string wav = vxtest::WriteSound(dir.File(std::string(c.name) + ".wav"), t.samples,
                                               c.channels, c.rate, c.format);
    const auto signal = Silence(wav), model = Silence(wav + " --edges model");
    ASSERT_FALSE(signal.is_null() || model.is_null());
    EXPECT_EQ(signal["parameters"]["edges"], "signal");
    EXPECT_EQ(model["parameters"]["edges"], "model");
    const auto s = EdgeErrors(signal, t.pauses), m = EdgeErrors(model, t.pauses);
    ASSERT_FALSE(s.empty());
    EXPECT_LE(s.back(), c.tolerance) << "worst edge";
    // The model's silences start late, by far more.
    EXPECT_GT(m[m.size() * 3 / 4], 20.0);
    // No edge moved further than the model can smear.
    for (size_t i = 0; i < signal["silences"].size(); ++i)
      for (int e : {0, 1})
        EXPECT_LE(std::abs(signal["silences"][i][e].get<int64_t>() -
                           model["silences"][i][e].get<int64_t>()),
                  int64_t(0.15 * c.rate) + 1);
  }
}

TEST_F(Edges, ModelEdgesAreTheDetectorsAndSignalEdgesComeBackOutOfTheSound) {
  const Talk t = MakeTalk(44100, 1, 0.0);
  const std::string wav = vxtest::WriteSound(dir.File("talk.wav"), t.samples, 1);
  std::vector<MarkData> marks;
  ASSERT_EQ(SilenceDetector(wav, marks, 0.3f, 0.0f, 0.15f, 0.02f, 0), 0);
  ASSERT_EQ(marks.size(), t.pauses.size());
  const auto j = Silence(wav + " --thresholds fixed --silence-loudness 0.3 --edges model");
  ASSERT_EQ(j["silences"].size(), marks.size());
  for (size_t i = 0; i < marks.size(); ++i)
    EXPECT_EQ(j["silences"][i], nlohmann::json({marks[i].area.start, marks[i].area.end})) << i;

  // So high a threshold puts some of the model's edges inside the bursts;
  // the signal edges come back out to where the bursts stop and start.
  const std::string high = wav + " --thresholds fixed --silence-loudness 10";
  const auto model = Silence(high + " --edges model"), signal = Silence(high);
  int inside = 0;
  for (size_t i = 0; i < std::min(model["silences_s"].size(), t.pauses.size()); ++i)
    inside += (model["silences_s"][i][0].get<double>() < t.pauses[i].start - 0.001) +
              (model["silences_s"][i][1].get<double>() > t.pauses[i].end + 0.001);
  EXPECT_GE(inside, 2);
  EXPECT_LE(EdgeErrors(signal, t.pauses).back(), kFewMs);

  // split cuts at the signal edges too: with no padding, a piece per burst.
  ASSERT_EQ(vxtest::RunVx("VX split -q " + wav + " out --pad 0", dir.Path()).status, 0);
  const auto pieces = nlohmann::json::parse(vxtest::Slurp(dir.File("out/index.json")))["pieces"];
  ASSERT_EQ(pieces.size() + 1, t.pauses.size());
  for (size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_NEAR(pieces[i]["start_s"].get<double>(), t.pauses[i].end, kFewMs / 1000) << i;
    EXPECT_NEAR(pieces[i]["end_s"].get<double>(), t.pauses[i + 1].start, kFewMs / 1000) << i;
  }
}

// Refines a copy of `marks`: the edges and the report, to compare to the bit.
auto Refined(const std::string& file, std::vector<MarkData> marks, int threads = 1) {
  EdgeReport r;
  EXPECT_EQ(RefineEdges(file, marks, r, EdgeRule{}, threads), "");
  std::vector<std::pair<int32_t, int32_t>> edges;
  for (const MarkData& m : marks) edges.emplace_back(m.area.start, m.area.end);
  return std::tuple(edges, r.quietLevel, r.soundLevel, r.threshold, r.moved);
}

// The levels are computed in whichever lanes suit the file: as many
// stretches of a mono or stereo file side by side as the vector takes, two
// channels side by side, an odd channel doubled, 16-bit samples (FLAC too)
// scaled without the library, a FLAC file read on through short gaps where
// the others seek. The same samples must give the same edges and levels to
// the bit in every layout, and in each the loudest channel counts.
TEST_F(Edges, TheSameSamplesInAnyLayoutGiveTheSameEdges) {
  Talk t = MakeTalk(44100, 1, 2e-4);
  // Under half of full scale, whole 16-bit steps: every format below holds
  // these values exactly.
  for (float& x : t.samples) x = float(std::lround(0.5 * x * 32768) / 32768.0);
  auto spread = [&](int channels, int at) {
    std::vector<float> v;
    for (float x : t.samples)
      for (int c = 0; c < channels; ++c) v.push_back(at < 0 || c == at ? x : 0.0f);
    return v;
  };
  // Marks as the model leaves them: starts late, ends a little into the
  // sound, and one start back inside the sound before it.
  std::vector<MarkData> marks;
  for (const Span& p : t.pauses)
    marks.push_back({.area = {int32_t(std::lround((p.start > 0 ? p.start + 0.04 : 0.0) * 44100)),
                              int32_t(std::min(std::lround((p.end + 0.004) * 44100),
                                               long(t.samples.size())))}});
  marks[3].area.start -= int32_t(0.07 * 44100);

  const int pcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16, flt = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  const struct {
    const char* name;
    int channels, at, format;  // at: the channel that holds the sound, -1 for all
  } kLayouts[] = {{"mono16", 1, 0, pcm16},
                  {"mono-float", 1, 0, flt},
                  {"mono-aiff", 1, 0, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
                  {"mono-flac", 1, 0, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                  {"stereo16", 2, -1, pcm16},
                  {"stereo-flac-left", 2, 0, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                  {"stereo-float-right", 2, 1, flt},
                  {"three24-last", 3, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                  {"three16-first", 3, 0, pcm16}};
  decltype(Refined("", {})) first;
  for (const auto& l : kLayouts) {
    const bool flac = (l.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
    const std::string file =
        vxtest::WriteSound(dir.File(l.name + std::string(flac ? ".flac" : ".wav")),
                           spread(l.channels, l.at), l.channels, 44100, l.format);
    const auto got = Refined(file, marks);
    if (&l == kLayouts) {
      first = got;
      EXPECT_GT(std::get<4>(got), int(marks.size()));  // edges moved
      EXPECT_GT(std::get<1>(got), 0.0);                 // quiet level
    }
    EXPECT_EQ(got, first) << l.name;
  }
}

// Stretches measured together, side by side in the vector lanes and from
// frames read once, give what a run of their own gives, to the bit: forward
// and backward, at the ends of the file (a short warm-up, a short last
// block), long and short, a quiet one taking a lane just after a loud one.
TEST_F(Edges, MeasuredStretchesAreTheirOwnRunsToTheBit) {
  const int64_t rate = 44100, frames = 3 * rate + 17;
  for (const auto& [name, channels, format] :
       {std::tuple{"m.wav", 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"s.flac", 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16}}) {
    SCOPED_TRACE(name);
    std::vector<float> v = vxtest::Noise(frames, channels, 3, 0.5);
    for (int64_t i = 0; i < frames; ++i) {
      const int64_t part = i / (rate / 5) % 3;  // loud, faint, digital silence
      for (int c = 0; c < channels; ++c)
        v[size_t(i * channels + c)] *= part == 0 ? 1.0f : part == 1 ? 1e-4f : 0.0f;
    }
    const std::string file = vxtest::WriteSound(dir.File(name), v, channels, int(rate), format);
    BandLevels all, one;
    ASSERT_TRUE(all.Open(file, 300, 4000, 0.001f) && one.Open(file, 300, 4000, 0.001f));
    std::vector<Stretch> stretches{
        {0, 40}, {3, 500}, {all.blocks() - 30, 30}, {all.blocks(), 90, Pass::kBackward}};
    for (int64_t k = 1; k < 140; ++k)
      stretches.push_back({k * 21, 20 + k * 7 % 150, k % 3 ? Pass::kForward : Pass::kBackward});
    size_t seen = 0;
    all.Measure(stretches, [&](size_t i, const std::vector<double>& levels) {
      std::vector<double> expect;
      one.Start(stretches[i].first, stretches[i].pass);
      one.Next(stretches[i].count, expect);
      EXPECT_EQ(levels, expect) << i;
      ++seen;
    });
    EXPECT_EQ(seen, stretches.size());
  }
}

// Threads take runs of silences and must give the serial edges and report:
// on a file with many silences whose stretches differ in level (so that the
// measures of every thread count); with each pause in two pieces, the start
// of the second held back by the end of the first (a thread may take over
// only after a silence no edge before can reach); and with marks too close
// together for threads to take over anywhere.
TEST_F(Edges, ThreadsGiveTheSerialEdges) {
  const Talk t = MakeTalk(44100, 2, 2e-4);
  const double seconds = double(t.samples.size() / 2) / 44100;
  std::vector<float> samples;
  std::vector<Span> pauses;
  for (int r = 0; r < 8; ++r) {
    for (float x : t.samples) samples.push_back(float(0.25 + 0.1 * r) * x);
    for (const Span& p : t.pauses) {
      if (p.start == 0 && !pauses.empty())
        pauses.back().end = r * seconds + p.end;  // the pause that ended the time before
      else
        pauses.push_back({r * seconds + p.start, r * seconds + p.end});
    }
  }
  const double end = double(samples.size() / 2) / 44100;
  auto mark = [&](double from, double to) {
    return MarkData{.area = {int32_t(std::lround(from * 44100)),
                             int32_t(std::lround(std::min(to, end) * 44100))}};
  };
  std::vector<MarkData> apart, pieces, close;
  for (const Span& p : pauses) {
    const double start = p.start > 0 ? p.start + 0.04 : 0.0;  // late, as the model puts it
    apart.push_back(mark(start, p.end + 0.004));
    pieces.push_back(mark(start, start + 0.03));
    pieces.push_back(mark(start + 0.06, p.end + 0.004));
  }
  for (double s = 0.1; s + 0.3 < end; s += 0.3) close.push_back(mark(s, s + 0.2));
  const std::string wav = vxtest::WriteSound(dir.File("long.wav"), samples, 2);
  for (const auto* marks : {&apart, &pieces, &close}) {
    const auto serial = Refined(wav, *marks);
    EXPECT_GT(std::get<4>(serial), 0);  // edges moved
    for (int threads : {2, 3, 0}) EXPECT_EQ(Refined(wav, *marks, threads), serial) << threads;
  }
}


// The levels come from an even sample of the silences in a long file: on one
// whose noise floor rises 20 dB from start to end, the sample must give the
// quiet level, and so the edges, of a survey of every silence; a sample
// drawn from one part of the file would miss it by several dB.
TEST_F(Edges, SurveyOfASampleOfTheSilencesGivesTheirLevels) {
  constexpr int kRate = 16000, kRepeats = 24;
  std::vector<float> samples;
  std::vector<MarkData> marks;
  for (int r = 0; r < kRepeats; ++r) {
    const Talk t = MakeTalk(kRate, 1, 3e-4 * std::pow(10.0, r / (kRepeats - 1.0)));
    const auto at = int32_t(samples.size());
    for (const Span& p : t.pauses) {
      const auto from = at + int32_t(std::lround(p.start * kRate));
      const auto to = at + int32_t(std::lround(p.end * kRate));
      if (!marks.empty() && marks.back().area.end == from)
        marks.back().area.end = to;  // the pause that ended the time before
      else
        marks.push_back(MarkData{.area = {from + (from > 0 ? kRate / 25 : 0), to}});
    }
    samples.insert(samples.end(), t.samples.begin(), t.samples.end());
  }
  const std::string wav = vxtest::WriteSound(dir.File("rising.wav"), samples, 1, kRate);
  EdgeRule all, some;
  all.surveyedSilences = int(marks.size());
  some.surveyedSilences = 16;  // every 9th of the 145
  std::vector<MarkData> full = marks, sampled = marks;
  EdgeReport fullReport, sampledReport;
  ASSERT_EQ(RefineEdges(wav, full, fullReport, all), "");
  ASSERT_EQ(RefineEdges(wav, sampled, sampledReport, some), "");
  EXPECT_NEAR(20 * std::log10(sampledReport.quietLevel / fullReport.quietLevel), 0.0, 0.5);
  ASSERT_EQ(full.size(), sampled.size());
  for (size_t i = 0; i < full.size(); ++i) {
    EXPECT_NEAR(sampled[i].area.start, full[i].area.start, kRate / 500) << i;
    EXPECT_NEAR(sampled[i].area.end, full[i].area.end, kRate / 500) << i;
  }
}

}  // namespace
