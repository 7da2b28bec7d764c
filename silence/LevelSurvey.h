#pragma once
// What edge refinement measures before it places any edge: the distribution
// of the window levels inside the silences, the loudest window near each
// edge, and the first blocks of each edge's search, all read in one pass
// over the file. Internal to EdgeRefinement.cpp, which alone includes it.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "BandLevels.h"

namespace edgesurvey {

// Distribution of window levels in fixed bins of dB, so that measuring every
// silence of an hour-long file takes no more memory than measuring one, and
// the counts of several threads add up to those of one.
class LevelHistogram {
 public:
  void Add(double ms) {
    ++mTotal;
    if (!(ms > 0)) {
      ++mZeros;
      return;
    }
    const auto bin = int64_t(std::floor((10.0 * std::log10(ms) - kLowDb) / kStepDb));
    ++mCounts[size_t(std::clamp<int64_t>(bin, 0, kBins - 1))];
  }
  void Merge(const LevelHistogram& other) {
    for (size_t b = 0; b < mCounts.size(); ++b) mCounts[b] += other.mCounts[b];
    mZeros += other.mZeros;
    mTotal += other.mTotal;
  }
  // The mean square at or below which a fraction q of the levels lie (the
  // upper edge of the bin that reaches q); 0 for digital silence or when
  // nothing was measured.
  double Percentile(double q) const {
    const double want = std::clamp(q, 0.0, 1.0) * double(mTotal);
    int64_t seen = mZeros;
    if (mTotal == 0 || double(seen) >= want) return 0.0;
    for (int64_t b = 0; b < kBins; ++b) {
      seen += mCounts[size_t(b)];
      if (double(seen) >= want) return std::pow(10.0, (kLowDb + double(b + 1) * kStepDb) / 10.0);
    }
    return std::pow(10.0, kHighDb / 10.0);
  }

 private:
  static constexpr double kLowDb = -200.0, kHighDb = 40.0, kStepDb = 0.25;
  static constexpr auto kBins = int64_t((kHighDb - kLowDb) / kStepDb);
  std::array<int64_t, size_t(kBins)> mCounts{};
  int64_t mZeros = 0;
  int64_t mTotal = 0;
};

// The levels the threshold comes from: the windows inside the silences, and
// the loudest window near each edge; and, while the file is read there, the
// first blocks of the runs that will search for the edges. The stretches are
// gathered and then measured together, in the order of the file; neither the
// distribution nor the median of the loudest depends on the order in which
// they come back.
class Survey {
 public:
  Survey(BandLevels& in, int64_t half) : mIn(in), mHalf(half) {}
  enum Kind { kInside, kNearEdge };
  // Windows [first, last) of the file.
  void Add(Kind kind, int64_t first, int64_t last) {
    first = std::max<int64_t>(first, 0);
    last = std::min(last, mIn.blocks());
    if (last <= first) {
      if (kind == kNearEdge) loudest.push_back(0.0);
      return;
    }
    const auto [from, count] = Blocks(first, last);
    mWanted.push_back({kind, first, last, nullptr});
    mStretches.push_back({from, count});
  }
  // The blocks of `run`, to `to`.
  void Add(const Stretch& run, std::vector<double>& to) {
    mWanted.push_back({kInside, 0, 0, &to});
    mStretches.push_back(run);
  }
  void Finish() {
    mIn.Measure(mStretches, [&](size_t i, const std::vector<double>& levels) {
      const Wanted& w = mWanted[i];
      if (w.run)
        *w.run = levels;
      else
        Use(w.kind, w.first, w.last, levels);
    });
    mWanted.clear();
    mStretches.clear();
  }

  LevelHistogram quiet;
  std::vector<double> loudest;

 private:
  struct Wanted {
    Kind kind;
    int64_t first, last;       // windows
    std::vector<double>* run;  // or where a run's blocks go
  };
  // The blocks the windows [first, last) take: the first and how many.
  std::pair<int64_t, int64_t> Blocks(int64_t first, int64_t last) const {
    const int64_t from = std::max<int64_t>(first - mHalf, 0);
    return {from, std::min(last + mHalf, mIn.blocks()) - from};
  }
  // Windows from the levels of blocks from Blocks(first, last) on.
  void Use(Kind kind, int64_t first, int64_t last, const std::vector<double>& levels) {
    const int64_t from = Blocks(first, last).first;
    const int64_t end = std::min(from + int64_t(levels.size()), last + mHalf);
    double most = 0;
    for (int64_t k = first; k < last; ++k) {
      const int64_t a = std::max(k - mHalf, from), b = std::min(k + mHalf + 1, end);
      double sum = 0;
      for (int64_t j = a; j < b; ++j) sum += levels[size_t(j - from)];
      const double level = b > a ? sum / double(b - a) : 0.0;
      if (kind == kInside)
        quiet.Add(level);
      else
        most = std::max(most, level);
    }
    if (kind == kNearEdge) loudest.push_back(most);
  }

  BandLevels& mIn;
  int64_t mHalf;
  std::vector<Wanted> mWanted;
  std::vector<Stretch> mStretches;
};

}  // namespace edgesurvey
