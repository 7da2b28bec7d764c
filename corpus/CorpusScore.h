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

Score ScoreFile(const std::vector<Span>& truth, const std::vector<Span>& detected);

// Reads manifest.tsv of a corpus directory. Returns false with a reason when
// the directory is not a complete corpus.
bool LoadCorpus(const std::string& dir, std::vector<Entry>& out, std::string& why);

// Conditions in their manifest order.
std::vector<std::string> Conditions(const std::vector<Entry>& corpus);

}  // namespace corpus
