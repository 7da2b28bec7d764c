// corpus_eval: scores silence detection on the speech/pause corpus.
//
//   corpus_eval CORPUS [--vxaudio PATH [--vxaudio-args ARGS]] [--ffmpeg] [--tune]
//               [--half tune|report|all] [--jobs N]
//
// --half          the tracks the tables are about (default report). Whatever
//                 is chosen from a sweep is chosen on the tune half, so the
//                 report half shows how the choice carries over to new voices.
// --vxaudio PATH  runs `PATH silence FILE --format json ARGS` (automatic
//                 thresholds, default durations unless ARGS say otherwise) on
//                 every file and scores it.
// --ffmpeg        runs ffmpeg's silencedetect over a sweep of noise levels and
//                 minimum durations and scores the single setting that does
//                 best on the tune half, the same for every condition.
// --tune          computes each file's loudness curve once and sweeps the
//                 automatic rule and the duration defaults over the curves of
//                 the tune half.
// Prints a per-condition table (Markdown) of recall, precision, F1 and the
// median edge error of matched pauses, then per tool: the mean F1 over
// conditions, the weakest file, and the median edge error over the clean
// conditions.
#include <sndfile.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
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
using corpus::Results;
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

double FileSeconds(const Entry& e) {
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
    double len = FileSeconds(*e);
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

std::optional<std::vector<Span>> CliSilences(const std::string& vxaudio, const std::string& args,
                                             const Entry& e) {
  auto out = Capture(Quote(vxaudio) + " silence " + Quote(e.wav) + " --format json " + args +
                     " 2>/dev/null");
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

bool FileLoudness(const std::string& wav, Curve& c) {
  SF_INFO info{};
  SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
  if (!f) return false;
  sf_close(f);
  return ComputeFrameLoudness(wav, 0, int32_t(info.frames), c.loudness, c.layout) == 0;
}

// A file below the detector's rate is analysed, as the command line does,
// through a 44.1 kHz copy (made here by sox); truth is in seconds, so the
// copy's spans score as they are.
bool LoadCurve(const Entry& e, size_t index, Curve& c) {
  SF_INFO info{};
  SNDFILE* f = sf_open(e.wav.c_str(), SFM_READ, &info);
  if (!f) return false;
  sf_close(f);
  if (info.samplerate >= 44100) return FileLoudness(e.wav, c);
  struct Removed {
    std::string path;
    ~Removed() { std::remove(path.c_str()); }
  } copy{(std::filesystem::temp_directory_path() /
          ("corpus_eval-" + std::to_string(getpid()) + "-" + std::to_string(index) + ".wav"))
             .string()};
  return Capture("sox " + Quote(e.wav) + " -b 32 -e floating-point " + Quote(copy.path) +
                 " rate -h 44100") &&
         FileLoudness(copy.path, c);
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

// Which entries of the corpus a table or a sweep is about.
struct Subset {
  std::vector<size_t> index;  // into the corpus
  std::vector<Entry> entries;
};

Subset Half(const std::vector<Entry>& corpus, const std::string& half) {
  Subset s;
  for (size_t i = 0; i < corpus.size(); ++i)
    if (half == "all" || corpus[i].half == half) {
      s.index.push_back(i);
      s.entries.push_back(corpus[i]);
    }
  return s;
}

// Scores the subset, given detections for every file of the corpus (only the
// subset's are read).
Results ScoreSubset(const Subset& s, const std::vector<std::vector<Span>>& all) {
  std::vector<std::vector<Span>> det;
  for (size_t i : s.index) det.push_back(all[i]);
  return corpus::ScoreCorpus(s.entries, det);
}

double EdgeOrWorst(double ms) { return std::isnan(ms) ? 1e9 : ms; }

std::string Ms(double ms) {
  char buf[32];
  if (std::isnan(ms)) return "-";
  std::snprintf(buf, sizeof buf, "%.1f", ms);
  return buf;
}

std::string Cells(const Score& s) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%.3f | %.3f | %.3f | %s", s.Recall(), s.Precision(), s.F1(),
                Ms(s.MedianEdgeErrMs()).c_str());
  return buf;
}

struct Tool {
  std::string name;
  Results results;
};

void PrintTable(const std::vector<std::string>& conditions, const std::vector<Tool>& tools) {
  std::cout << "| condition |";
  for (const Tool& t : tools) std::cout << ' ' << t.name << " recall | precision | F1 | median edge ms |";
  std::cout << "\n|---|";
  for (size_t i = 0; i < tools.size(); ++i) std::cout << "---:|---:|---:|---:|";
  std::cout << '\n';
  for (const std::string& c : conditions) {
    std::cout << "| " << c << " |";
    for (const Tool& t : tools) {
      auto it = t.results.conditions.find(c);
      std::cout << ' '
                << (it == t.results.conditions.end() ? std::string("- | - | - | -")
                                                     : Cells(it->second))
                << " |";
    }
    std::cout << '\n';
  }
}

void PrintSummary(const Subset& shown, const std::vector<Tool>& tools) {
  std::cout << '\n';
  for (const Tool& t : tools) {
    const Results& r = t.results;
    size_t w = r.WeakestFile();
    std::printf("- %s: mean F1 %.3f over %zu conditions; lowest file F1 %.3f (%s); median edge "
                "error over the clean conditions %s ms\n",
                t.name.c_str(), r.MeanF1(), r.conditions.size(),
                w < r.files.size() ? r.files[w].F1() : NAN,
                w < r.files.size() ? shown.entries[w].name.c_str() : "-",
                Ms(r.MedianEdgeErrMs("clean")).c_str());
  }
}

int Usage() {
  std::cerr << "usage: corpus_eval CORPUS [--vxaudio PATH [--vxaudio-args ARGS]] [--ffmpeg] "
               "[--tune] [--half tune|report|all] [--jobs N]\n";
  return 2;
}

// ---- runs ----

struct Options {
  std::string vxaudio, vxaudioArgs, half = "report";
  bool ffmpeg = false, tune = false;
  int jobs = 2;
};

bool RunTune(const std::vector<Entry>& corpus, const Subset& tuneSet, const Subset& shown,
             const Options& o, std::vector<Tool>& tools) {
  std::vector<Curve> curves(corpus.size());
  std::vector<size_t> need = tuneSet.index;
  for (size_t i : shown.index)
    if (std::find(need.begin(), need.end(), i) == need.end()) need.push_back(i);
  std::atomic<bool> bad{false};
  ParallelFor(need.size(), o.jobs, [&](size_t k) {
    if (!LoadCurve(corpus[need[k]], need[k], curves[need[k]])) bad = true;
  });
  if (bad) {
    std::cerr << "corpus_eval: loudness curve failed\n";
    return false;
  }
  auto detect = [&](const Subset& s, const Setting& setting) {
    std::vector<std::vector<Span>> det(corpus.size());
    for (size_t i : s.index) det[i] = Classify(curves[i], setting);
    return ScoreSubset(s, det);
  };
  std::vector<Setting> grid;
  for (float lo : {0.02f, 0.05f, 0.1f, 0.2f})
    for (float hi : {0.9f, 0.95f})
      for (float sp : {0.05f, 0.1f, 0.15f})
        for (float mp : {0.1f, 0.15f, 0.2f, 0.3f})
          for (float lf : {0.0f, 0.01f, 0.02f, 0.05f, 0.1f}) {
            if (mp < sp) continue;
            // Fields of the rule not swept keep their default.
            AutoRule rule = kDefaultAutoRule;
            rule.floorPercentile = lo;
            rule.levelPercentile = hi;
            rule.silencePosition = sp;
            rule.modulationPosition = mp;
            rule.levelFraction = lf;
            grid.push_back({rule, kDefaultMinSilence, kDefaultMinSound});
          }
  std::vector<Results> results(grid.size());
  ParallelFor(grid.size(), o.jobs, [&](size_t g) { results[g] = detect(tuneSet, grid[g]); });
  // Best by the weakest condition first (the goal is every condition),
  // then by the mean, then by the edge error.
  std::vector<size_t> order(grid.size());
  for (size_t g = 0; g < grid.size(); ++g) order[g] = g;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    double ma = results[a].MinF1(), mb = results[b].MinF1();
    if (std::fabs(ma - mb) > 1e-9) return ma > mb;
    double fa = results[a].MeanF1(), fb = results[b].MeanF1();
    if (std::fabs(fa - fb) > 1e-9) return fa > fb;
    return EdgeOrWorst(results[a].MedianEdgeErrMs()) < EdgeOrWorst(results[b].MedianEdgeErrMs());
  });
  std::printf("# rule sweep on the tune half: %zu settings; best ten (min F1, mean F1, median "
              "edge), also on the %s half\n",
              grid.size(), o.half.c_str());
  Results best;
  for (size_t k = 0; k < std::min<size_t>(10, order.size()); ++k) {
    const Setting& s = grid[order[k]];
    const Results& t = results[order[k]];
    Results r = detect(shown, s);
    std::printf("floor p%.2f level p%.2f sil %.2f mod %.2f level fraction %.2f  "
                "tune: %.3f %.3f %s ms  %s: %.3f %.3f %s ms\n",
                s.rule.floorPercentile, s.rule.levelPercentile, s.rule.silencePosition,
                s.rule.modulationPosition, s.rule.levelFraction, t.MinF1(), t.MeanF1(),
                Ms(t.MedianEdgeErrMs()).c_str(), o.half.c_str(), r.MinF1(), r.MeanF1(),
                Ms(r.MedianEdgeErrMs()).c_str());
    if (k == 0) best = std::move(r);
  }
  tools.push_back({"defaults", detect(shown, {kDefaultAutoRule, kDefaultMinSilence, kDefaultMinSound})});
  tools.push_back({"best", std::move(best)});
  return true;
}

bool RunVxaudio(const Subset& shown, const Options& o, std::vector<Tool>& tools) {
  std::vector<std::vector<Span>> det(shown.entries.size());
  std::atomic<bool> bad{false};
  ParallelFor(shown.entries.size(), o.jobs, [&](size_t i) {
    auto s = CliSilences(o.vxaudio, o.vxaudioArgs, shown.entries[i]);
    if (!s) {
      std::cerr << "corpus_eval: vxaudio failed on " << shown.entries[i].wav << '\n';
      bad = true;
    } else {
      det[i] = *s;
    }
  });
  tools.push_back({"vxaudio", corpus::ScoreCorpus(shown.entries, det)});
  if (!o.vxaudioArgs.empty()) std::cout << "# vxaudio run with: " << o.vxaudioArgs << '\n';
  return !bad;
}

bool RunFfmpeg(const std::vector<Entry>& corpus, const Subset& tuneSet, const Subset& shown,
               const Options& o, std::vector<Tool>& tools) {
  const std::vector<double> durations{0.05, 0.1, 0.15, 0.2, 0.25, 0.3};
  std::vector<int> levels;
  for (int db = -70; db <= -20; db += 2) levels.push_back(db);
  // Files of either subset, one group per condition (one format per group).
  std::vector<std::vector<size_t>> groups;
  for (const std::string& c : corpus::Conditions(corpus)) {
    groups.emplace_back();
    for (const Subset* s : {&tuneSet, &shown})
      for (size_t i : s->index)
        if (corpus[i].condition == c &&
            std::find(groups.back().begin(), groups.back().end(), i) == groups.back().end())
          groups.back().push_back(i);
    if (groups.back().empty()) groups.pop_back();
  }
  // raw[l][i]: file i at level l with the smallest duration.
  std::vector<std::vector<std::vector<Span>>> raw(levels.size(),
                                                  std::vector<std::vector<Span>>(corpus.size()));
  std::atomic<bool> bad{false};
  ParallelFor(levels.size() * groups.size(), o.jobs, [&](size_t k) {
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
    return false;
  }
  auto at = [&](size_t l, double d) {
    std::vector<std::vector<Span>> det(corpus.size());
    for (size_t i = 0; i < corpus.size(); ++i) det[i] = LongerThan(raw[l][i], d);
    return det;
  };
  double bestMean = -1, bestD = 0;
  size_t bestL = 0;
  for (size_t l = 0; l < levels.size(); ++l)
    for (double d : durations) {
      double mean = ScoreSubset(tuneSet, at(l, d)).MeanF1();
      if (mean > bestMean + 1e-12) {
        bestMean = mean;
        bestL = l;
        bestD = d;
      }
    }
  Results shownBest = ScoreSubset(shown, at(bestL, bestD));
  std::printf("# ffmpeg silencedetect best single setting, chosen on the tune half: n=%ddB "
              "d=%.2f (tune mean F1 %.3f); scored below on the %s half\n",
              levels[bestL], bestD, bestMean, o.half.c_str());
  // The everyday setting, for a sense of what a single guess costs.
  for (size_t l = 0; l < levels.size(); ++l)
    if (levels[l] == -50)
      std::printf("# ffmpeg at n=-50dB d=0.30: mean F1 %.3f on the %s half\n",
                  ScoreSubset(shown, at(l, 0.3)).MeanF1(), o.half.c_str());
  tools.push_back({"ffmpeg", std::move(shownBest)});
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string dir = argv[1];
  Options o;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--vxaudio" && i + 1 < argc) o.vxaudio = argv[++i];
    else if (a == "--vxaudio-args" && i + 1 < argc) o.vxaudioArgs = argv[++i];
    else if (a == "--ffmpeg") o.ffmpeg = true;
    else if (a == "--tune") o.tune = true;
    else if (a == "--half" && i + 1 < argc) o.half = argv[++i];
    else if (a == "--jobs" && i + 1 < argc) o.jobs = std::max(1, std::atoi(argv[++i]));
    else return Usage();
  }
  if (o.half != "tune" && o.half != "report" && o.half != "all") return Usage();
  if (!o.vxaudioArgs.empty() && o.vxaudio.empty()) return Usage();
  std::vector<Entry> corpus;
  std::string why;
  if (!corpus::LoadCorpus(dir, corpus, why)) {
    std::cerr << "corpus_eval: " << why << '\n';
    return 1;
  }
  const Subset shown = Half(corpus, o.half), tuneSet = Half(corpus, "tune");
  if (shown.entries.empty() || tuneSet.entries.empty()) {
    std::cerr << "corpus_eval: the corpus has no " << (shown.entries.empty() ? o.half : "tune")
              << " half\n";
    return 1;
  }
  std::vector<Tool> tools;
  bool ok = true;
  if (o.tune && !RunTune(corpus, tuneSet, shown, o, tools)) return 1;
  if (!o.vxaudio.empty()) ok = RunVxaudio(shown, o, tools);
  if (o.ffmpeg && !RunFfmpeg(corpus, tuneSet, shown, o, tools)) return 1;
  if (tools.empty()) return Usage();
  std::cout << "# " << o.half << " half: " << shown.entries.size() << " files\n";
  PrintTable(corpus::Conditions(shown.entries), tools);
  PrintSummary(shown, tools);
  return ok ? 0 : 1;
}
