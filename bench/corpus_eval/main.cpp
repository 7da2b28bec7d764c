// corpus_eval: scores silence detection on the speech/pause corpus.
//
//   corpus_eval CORPUS [--vxaudio PATH] [--ffmpeg] [--tune] [--jobs N]
//
// --vxaudio PATH  runs `PATH silence FILE --format json` (automatic
//                 thresholds, default durations) on every file and scores it.
// --ffmpeg        runs ffmpeg's silencedetect over a sweep of noise levels and
//                 minimum durations and scores the best single setting, the
//                 same for every condition.
// --tune          computes each file's loudness curve once and sweeps the
//                 automatic rule and the duration defaults over the curves.
// Prints a per-condition table (Markdown) of recall, precision, F1 and the
// mean boundary error of matched pauses.
#include <sndfile.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AutoThresholds.h"
#include "CorpusScore.h"
#include "SilenceDetector.h"

using corpus::Entry;
using corpus::Score;
using corpus::Span;

namespace {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command and returns its standard output (nothing on failure).
std::optional<std::string> Capture(const std::string& cmd) {
  struct Closer {
    void operator()(FILE* f) const { pclose(f); }
  };
  std::unique_ptr<FILE, Closer> p(popen(cmd.c_str(), "r"));
  if (!p) return std::nullopt;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p.get())) > 0) out.append(buf, n);
  int st = pclose(p.release());
  if (st != 0) return std::nullopt;
  return out;
}

// Runs fn(i) for i in [0, n) on `jobs` threads.
void ParallelFor(size_t n, int jobs, const std::function<void(size_t)>& fn) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> pool;
  for (int j = 0; j < std::max(1, jobs); ++j)
    pool.emplace_back([&] {
      for (size_t i; (i = next++) < n;) fn(i);
    });
  for (auto& t : pool) t.join();
}

// ---- ffmpeg ----

double FileFrames(const Entry& e) {
  SF_INFO info{};
  SNDFILE* f = sf_open(e.wav.c_str(), SFM_READ, &info);
  if (!f) return -1;
  sf_close(f);
  return double(info.frames) / info.samplerate;
}

// Silences reported by silencedetect at noise level `db` with the smallest
// duration `d`, for the files `group` (all of one condition), as spans per
// file. Longer minimum durations are applied afterwards, which gives the same
// spans as running the filter with them (it reports a run once it has lasted
// d, from the run's first sample). The files are joined into one stream to
// save a process start per file; spans are cut at the joins, which is what
// separate runs would report (a silence open at the end runs to the end).
std::optional<std::vector<std::vector<Span>>> FfmpegSilences(const std::vector<const Entry*>& group,
                                                             int db, double d) {
  std::ostringstream cmd;
  cmd << "ffmpeg -hide_banner -nostats -nostdin";
  std::vector<double> offsets{0.0};
  for (const Entry* e : group) {
    cmd << " -i " << Quote(e->wav);
    double len = FileFrames(*e);
    if (len < 0) return std::nullopt;
    offsets.push_back(offsets.back() + len);
  }
  cmd << " -filter_complex '";
  for (size_t i = 0; i < group.size(); ++i) cmd << '[' << i << ":a]";
  cmd << "concat=n=" << group.size() << ":v=0:a=1,silencedetect=n=" << db << "dB:d=" << d
      << "' -f null - 2>&1";
  auto out = Capture(cmd.str());
  if (!out) return std::nullopt;
  std::vector<Span> joined;
  std::istringstream ls(*out);
  std::string line;
  double openAt = -1;  // start of the silence reported but not yet ended
  while (std::getline(ls, line)) {
    size_t p;
    if ((p = line.find("silence_start: ")) != std::string::npos) {
      openAt = std::max(0.0, std::stod(line.substr(p + 15)));
    } else if ((p = line.find("silence_end: ")) != std::string::npos && openAt >= 0) {
      joined.push_back({openAt, std::stod(line.substr(p + 13))});
      openAt = -1;
    }
  }
  if (openAt >= 0) joined.push_back({openAt, offsets.back()});
  std::vector<std::vector<Span>> perFile(group.size());
  for (size_t i = 0; i < group.size(); ++i)
    for (const Span& s : joined) {
      double a = std::max(s.start, offsets[i]), b = std::min(s.end, offsets[i + 1]);
      if (b - a > 0) perFile[i].push_back({a - offsets[i], b - offsets[i]});
    }
  return perFile;
}

std::vector<Span> LongerThan(const std::vector<Span>& s, double d) {
  std::vector<Span> out;
  for (const Span& x : s)
    if (x.end - x.start >= d - 1e-6) out.push_back(x);
  return out;
}

// ---- ours ----

std::optional<std::vector<Span>> CliSilences(const std::string& vxaudio, const Entry& e) {
  auto out = Capture(Quote(vxaudio) + " silence " + Quote(e.wav) + " --format json 2>/dev/null");
  if (!out) return std::nullopt;
  try {
    auto j = nlohmann::json::parse(*out);
    double rate = j.at("sample_rate").get<double>();
    std::vector<Span> spans;
    for (const auto& s : j.at("silences"))
      spans.push_back({s.at(0).get<double>() / rate, s.at(1).get<double>() / rate});
    return spans;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

struct Curve {
  std::vector<float> loudness;
  FrameLayout layout;
};

bool LoadCurve(const Entry& e, Curve& c) {
  SF_INFO info{};
  SNDFILE* f = sf_open(e.wav.c_str(), SFM_READ, &info);
  if (!f) return false;
  sf_close(f);
  return ComputeFrameLoudness(e.wav, 0, int32_t(info.frames), c.loudness, c.layout) == 0;
}

struct Setting {
  AutoRule rule;
  float minSilence;
  float minSound;
};

std::vector<Span> Classify(const Curve& c, const Setting& s) {
  AutoThresholds t = ChooseThresholds(c.loudness, s.rule);
  std::vector<MarkData> marks;
  std::vector<Span> spans;
  if (ClassifyFrames(c.loudness, t.silenceLoudness, t.modulationLoudness, s.minSilence,
                     s.minSound, 0, marks, c.layout) != 0)
    return spans;
  double r = c.layout.sampleRate;
  for (const MarkData& m : marks) spans.push_back({m.area.start / r, m.area.end / r});
  return spans;
}

// ---- tables ----

using ByCondition = std::map<std::string, Score>;

ByCondition ScoreAll(const std::vector<Entry>& corpus,
                     const std::vector<std::vector<Span>>& detections) {
  ByCondition by;
  for (size_t i = 0; i < corpus.size(); ++i)
    by[corpus[i].condition].Add(corpus::ScoreFile(corpus[i].truth, detections[i]));
  return by;
}

double MeanF1(const ByCondition& by) {
  double s = 0;
  for (const auto& [_, sc] : by) s += sc.F1();
  return by.empty() ? 0 : s / double(by.size());
}

double MeanBoundaryMs(const ByCondition& by) {
  double s = 0;
  for (const auto& [_, sc] : by) s += std::isnan(sc.BoundaryErrMs()) ? 1e3 : sc.BoundaryErrMs();
  return by.empty() ? 0 : s / double(by.size());
}

double MinF1(const ByCondition& by) {
  double m = 1;
  for (const auto& [_, sc] : by) m = std::min(m, sc.F1());
  return m;
}

std::string Cells(const Score& s) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%.3f | %.3f | %.3f | %.1f", s.Recall(), s.Precision(), s.F1(),
                s.BoundaryErrMs());
  return buf;
}

void PrintTable(const std::vector<std::string>& conditions,
                const std::vector<std::pair<std::string, ByCondition>>& tools) {
  std::cout << "| condition |";
  for (const auto& [name, _] : tools)
    std::cout << ' ' << name << " recall | precision | F1 | boundary ms |";
  std::cout << "\n|---|";
  for (size_t i = 0; i < tools.size(); ++i) std::cout << "---:|---:|---:|---:|";
  std::cout << '\n';
  for (const std::string& c : conditions) {
    std::cout << "| " << c << " |";
    for (const auto& [_, by] : tools) {
      auto it = by.find(c);
      std::cout << ' ' << (it == by.end() ? std::string("- | - | - | -") : Cells(it->second))
                << " |";
    }
    std::cout << '\n';
  }
}

int Usage() {
  std::cerr << "usage: corpus_eval CORPUS [--vxaudio PATH] [--ffmpeg] [--tune] [--jobs N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string dir = argv[1], vxaudio;
  bool ffmpeg = false, tune = false;
  int jobs = 2;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--vxaudio" && i + 1 < argc) vxaudio = argv[++i];
    else if (a == "--ffmpeg") ffmpeg = true;
    else if (a == "--tune") tune = true;
    else if (a == "--jobs" && i + 1 < argc) jobs = std::max(1, std::atoi(argv[++i]));
    else return Usage();
  }
  std::vector<Entry> corpus;
  std::string why;
  if (!corpus::LoadCorpus(dir, corpus, why)) {
    std::cerr << "corpus_eval: " << why << '\n';
    return 1;
  }
  const auto conditions = corpus::Conditions(corpus);
  std::vector<std::pair<std::string, ByCondition>> tools;
  bool failed = false;

  if (tune) {
    std::vector<Curve> curves(corpus.size());
    std::atomic<bool> bad{false};
    ParallelFor(corpus.size(), jobs, [&](size_t i) {
      if (!LoadCurve(corpus[i], curves[i])) bad = true;
    });
    if (bad) {
      std::cerr << "corpus_eval: loudness curve failed\n";
      return 1;
    }
    std::vector<Setting> grid;
    for (float lo : {0.1f, 0.15f, 0.2f, 0.3f})
      for (float hi : {0.9f, 0.95f, 0.98f})
        for (float sp : {0.05f, 0.1f, 0.15f})
          for (float mp : {0.1f, 0.15f, 0.2f, 0.25f, 0.3f})
            for (float ms : {0.15f, 0.2f})
              for (float mn : {0.02f, 0.05f}) {
                if (mp < sp) continue;
                grid.push_back({{lo, hi, sp, mp}, ms, mn});
              }
    std::vector<ByCondition> results(grid.size());
    ParallelFor(grid.size(), jobs, [&](size_t g) {
      std::vector<std::vector<Span>> det(corpus.size());
      for (size_t i = 0; i < corpus.size(); ++i) det[i] = Classify(curves[i], grid[g]);
      results[g] = ScoreAll(corpus, det);
    });
    // Best by the weakest condition first (the goal is every condition),
    // then by the mean, then by the boundary error.
    std::vector<size_t> order(grid.size());
    for (size_t g = 0; g < grid.size(); ++g) order[g] = g;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      double ma = MinF1(results[a]), mb = MinF1(results[b]);
      if (std::fabs(ma - mb) > 1e-9) return ma > mb;
      double fa = MeanF1(results[a]), fb = MeanF1(results[b]);
      if (std::fabs(fa - fb) > 1e-9) return fa > fb;
      return MeanBoundaryMs(results[a]) < MeanBoundaryMs(results[b]);
    });
    std::cout << "# rule sweep: " << grid.size() << " settings; best ten (min F1, mean F1)\n";
    for (size_t k = 0; k < std::min<size_t>(10, order.size()); ++k) {
      const Setting& s = grid[order[k]];
      std::printf("floor p%.2f level p%.2f sil %.2f mod %.2f minSilence %.2f minSound %.2f  "
                  "min %.3f mean %.3f boundary %.1f ms\n",
                  s.rule.floorPercentile, s.rule.levelPercentile, s.rule.silencePosition,
                  s.rule.modulationPosition, s.minSilence, s.minSound, MinF1(results[order[k]]),
                  MeanF1(results[order[k]]), MeanBoundaryMs(results[order[k]]));
    }
    std::vector<std::vector<Span>> det(corpus.size());
    for (size_t i = 0; i < corpus.size(); ++i)
      det[i] = Classify(curves[i], {kDefaultAutoRule, kDefaultMinSilence, kDefaultMinSound});
    tools.emplace_back("defaults", ScoreAll(corpus, det));
    tools.emplace_back("best", results[order.front()]);
  }

  if (!vxaudio.empty()) {
    std::vector<std::vector<Span>> det(corpus.size());
    std::atomic<bool> bad{false};
    ParallelFor(corpus.size(), jobs, [&](size_t i) {
      auto s = CliSilences(vxaudio, corpus[i]);
      if (!s) {
        std::cerr << "corpus_eval: vxaudio failed on " << corpus[i].wav << '\n';
        bad = true;
      } else {
        det[i] = *s;
      }
    });
    if (bad) failed = true;
    tools.emplace_back("vxaudio", ScoreAll(corpus, det));
  }

  if (ffmpeg) {
    const std::vector<double> durations{0.05, 0.1, 0.15, 0.2, 0.25, 0.3};
    std::vector<int> levels;
    for (int db = -70; db <= -20; db += 2) levels.push_back(db);
    // raw[l][i]: file i at level l with the smallest duration.
    std::vector<std::vector<std::vector<Span>>> raw(levels.size(),
                                                    std::vector<std::vector<Span>>(corpus.size()));
    std::vector<std::vector<size_t>> groups;
    for (const std::string& c : conditions) {
      groups.emplace_back();
      for (size_t i = 0; i < corpus.size(); ++i)
        if (corpus[i].condition == c) groups.back().push_back(i);
    }
    std::atomic<bool> bad{false};
    ParallelFor(levels.size() * groups.size(), jobs, [&](size_t k) {
      size_t l = k / groups.size();
      const auto& idx = groups[k % groups.size()];
      std::vector<const Entry*> files;
      for (size_t i : idx) files.push_back(&corpus[i]);
      auto s = FfmpegSilences(files, levels[l], durations.front());
      if (!s) {
        bad = true;
        return;
      }
      for (size_t j = 0; j < idx.size(); ++j) raw[l][idx[j]] = std::move((*s)[j]);
    });
    if (bad) {
      std::cerr << "corpus_eval: ffmpeg failed\n";
      return 1;
    }
    ByCondition best;
    double bestMean = -1;
    int bestDb = 0;
    double bestD = 0;
    for (size_t l = 0; l < levels.size(); ++l)
      for (double d : durations) {
        std::vector<std::vector<Span>> det(corpus.size());
        for (size_t i = 0; i < corpus.size(); ++i) det[i] = LongerThan(raw[l][i], d);
        ByCondition by = ScoreAll(corpus, det);
        if (MeanF1(by) > bestMean + 1e-12) {
          bestMean = MeanF1(by);
          best = by;
          bestDb = levels[l];
          bestD = d;
        }
      }
    std::printf("# ffmpeg silencedetect best single setting: n=%ddB d=%.2f (mean F1 %.3f)\n",
                bestDb, bestD, bestMean);
    tools.emplace_back("ffmpeg", best);
    // Also the everyday setting n=-50dB d=0.3, for a sense of what a single
    // guess costs.
    for (size_t l = 0; l < levels.size(); ++l)
      if (levels[l] == -50) {
        std::vector<std::vector<Span>> det(corpus.size());
        for (size_t i = 0; i < corpus.size(); ++i) det[i] = LongerThan(raw[l][i], 0.3);
        tools.emplace_back("ffmpeg -50dB/0.3s", ScoreAll(corpus, det));
      }
  }

  if (tools.empty()) return Usage();
  PrintTable(conditions, tools);
  return failed ? 1 : 0;
}
