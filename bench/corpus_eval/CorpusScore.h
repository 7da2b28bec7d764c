// Scoring of detected silences against the known pauses of the speech corpus
// (scripts/make-corpus.sh). Shared by the corpus benchmark and its test.
//
// A true pause counts when it lasts at least kScoredPause seconds. A detected
// silence matches a counted pause when their overlap is at least half of the
// pause; each pause and each detection is matched at most once. Detections
// left over are false alarms, except those that cover at least half of a
// shorter pause: finding a real pause below the scored length is not a fault.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace corpus {

constexpr double kScoredPause = 0.25;  // seconds
constexpr double kCorpusRate = 44100.0;

struct Span {
  double start = 0;  // seconds
  double end = 0;
};

struct Entry {
  std::string condition;
  std::string wav;         // absolute path
  std::vector<Span> truth; // every pause, scored or not, in time order
};

// Counts add over files; the ratios are taken at the end.
struct Score {
  int hits = 0;          // matched pauses
  int misses = 0;        // scored pauses without a match
  int falseAlarms = 0;   // detections matching no pause
  double boundaryErrSum = 0;  // seconds, sum over hits of (|ds| + |de|) / 2

  void Add(const Score& o) {
    hits += o.hits;
    misses += o.misses;
    falseAlarms += o.falseAlarms;
    boundaryErrSum += o.boundaryErrSum;
  }
  double Recall() const { return hits + misses ? double(hits) / (hits + misses) : 1.0; }
  double Precision() const {
    return hits + falseAlarms ? double(hits) / (hits + falseAlarms) : 1.0;
  }
  double F1() const {
    double p = Precision(), r = Recall();
    return p + r > 0 ? 2 * p * r / (p + r) : 0.0;
  }
  double BoundaryErrMs() const { return hits ? 1000.0 * boundaryErrSum / hits : NAN; }
};

inline double Overlap(const Span& a, const Span& b) {
  return std::max(0.0, std::min(a.end, b.end) - std::max(a.start, b.start));
}

inline Score ScoreFile(const std::vector<Span>& truth, const std::vector<Span>& detected) {
  Score s;
  std::vector<bool> used(detected.size(), false);
  std::vector<const Span*> shortPauses;
  for (const Span& t : truth) {
    double len = t.end - t.start;
    if (len < kScoredPause - 1e-9) {
      shortPauses.push_back(&t);
      continue;
    }
    // Among unused detections covering at least half the pause, the one that
    // covers most of it; a detection bridging two pauses serves only one.
    int best = -1;
    double bestOv = 0;
    for (size_t k = 0; k < detected.size(); ++k) {
      if (used[k]) continue;
      double ov = Overlap(t, detected[k]);
      if (ov >= 0.5 * len && ov > bestOv) {
        best = int(k);
        bestOv = ov;
      }
    }
    if (best < 0) {
      ++s.misses;
      continue;
    }
    used[size_t(best)] = true;
    ++s.hits;
    s.boundaryErrSum += 0.5 * (std::fabs(detected[size_t(best)].start - t.start) +
                               std::fabs(detected[size_t(best)].end - t.end));
  }
  for (size_t k = 0; k < detected.size(); ++k) {
    if (used[k]) continue;
    bool excused = false;
    for (const Span* t : shortPauses)
      excused = excused || Overlap(*t, detected[k]) >= 0.5 * (t->end - t->start);
    if (!excused) ++s.falseAlarms;
  }
  return s;
}

// Reads manifest.tsv of a corpus directory. Returns false with a reason when
// the directory is not a complete corpus.
inline bool LoadCorpus(const std::string& dir, std::vector<Entry>& out, std::string& why) {
  out.clear();
  std::ifstream mf(dir + "/manifest.tsv");
  if (!mf) {
    why = "no manifest.tsv in " + dir;
    return false;
  }
  std::map<std::string, std::vector<Span>> truths;
  std::string line;
  while (std::getline(mf, line)) {
    if (line.empty()) continue;
    std::istringstream ls(line);
    Entry e;
    std::string wav, truth;
    if (!std::getline(ls, e.condition, '\t') || !std::getline(ls, wav, '\t') ||
        !std::getline(ls, truth)) {
      why = "bad manifest line: " + line;
      return false;
    }
    auto it = truths.find(truth);
    if (it == truths.end()) {
      std::ifstream tf(dir + "/" + truth);
      if (!tf) {
        why = "missing " + truth;
        return false;
      }
      std::vector<Span> spans;
      int64_t a = 0, b = 0;
      while (tf >> a >> b) spans.push_back({a / kCorpusRate, b / kCorpusRate});
      it = truths.emplace(truth, std::move(spans)).first;
    }
    e.wav = dir + "/" + wav;
    e.truth = it->second;
    out.push_back(std::move(e));
  }
  if (out.empty()) {
    why = "empty corpus in " + dir;
    return false;
  }
  return true;
}

// Conditions in their manifest order.
inline std::vector<std::string> Conditions(const std::vector<Entry>& corpus) {
  std::vector<std::string> names;
  for (const Entry& e : corpus)
    if (std::find(names.begin(), names.end(), e.condition) == names.end())
      names.push_back(e.condition);
  return names;
}

}  // namespace corpus
