// Scoring of detected silences against the known pauses of the speech corpus
// (scripts/make-corpus.sh). Shared by the corpus benchmark and its test.
//
// A true pause counts when it lasts at least kScoredPause seconds. A detected
// silence matches a counted pause when their overlap is at least half of the
// pause; each pause and each detection is matched at most once. Detections
// left over are false alarms, except those that cover at least half of a
// shorter pause: finding a real pause below the scored length is not a fault.
#pragma once

#include <cmath>
#include <cstddef>
#include <map>
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
  std::string wav;          // absolute path
  std::string name;         // path within the corpus, e.g. "clean/t1.wav"
  std::string half;         // "tune" or "report": settings are chosen on one, shown on the other
  std::vector<Span> truth;  // every pause, scored or not, in time order
};

// Counts add over files; the ratios are taken at the end.
struct Score {
  int hits = 0;          // matched pauses
  int misses = 0;        // scored pauses without a match
  int falseAlarms = 0;   // detections matching no pause
  std::vector<double> edgeErrors;  // seconds: |start error| and |end error| of every hit

  void Add(const Score& o) {
    hits += o.hits;
    misses += o.misses;
    falseAlarms += o.falseAlarms;
    edgeErrors.insert(edgeErrors.end(), o.edgeErrors.begin(), o.edgeErrors.end());
  }
  double Recall() const { return hits + misses ? double(hits) / (hits + misses) : 1.0; }
  double Precision() const {
    return hits + falseAlarms ? double(hits) / (hits + falseAlarms) : 1.0;
  }
  double F1() const {
    double p = Precision(), r = Recall();
    return p + r > 0 ? 2 * p * r / (p + r) : 0.0;
  }
  double MeanEdgeErrMs() const;
  double MedianEdgeErrMs() const;  // NaN without hits
};

Score ScoreFile(const std::vector<Span>& truth, const std::vector<Span>& detected);

// Median of edge errors (seconds) in milliseconds; NaN when there are none.
double MedianMs(std::vector<double> errors);

// One detector's run over (part of) a corpus.
struct Results {
  std::vector<Score> files;                  // parallel to the entries scored
  std::map<std::string, Score> conditions;   // files added up per condition

  double MeanF1() const;  // over conditions, each weighing the same
  double MinF1() const;   // of the weakest condition
  // Index of the file with the lowest F1 (the first of equals); files.size()
  // when there is none.
  size_t WeakestFile() const;
  // Median edge error over all conditions whose name starts with `prefix`.
  double MedianEdgeErrMs(const std::string& prefix = "") const;
};

Results ScoreCorpus(const std::vector<Entry>& entries,
                    const std::vector<std::vector<Span>>& detections);

// Reads manifest.tsv of a corpus directory. Returns false with a reason when
// the directory is not a complete corpus.
bool LoadCorpus(const std::string& dir, std::vector<Entry>& out, std::string& why);

// The entries of one half ("tune" or "report"); "all" keeps every entry.
std::vector<Entry> InHalf(const std::vector<Entry>& corpus, const std::string& half);

// Conditions in their manifest order.
std::vector<std::string> Conditions(const std::vector<Entry>& corpus);

}  // namespace corpus
