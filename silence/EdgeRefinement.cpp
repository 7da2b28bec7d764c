#include "EdgeRefinement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "BandLevels.h"
#include "LevelSurvey.h"

namespace {

using edgesurvey::LevelHistogram;
using edgesurvey::Survey;

// Window levels (mean squares), each window centred on its block and `half`
// blocks wide on either side (only the blocks inside the file count), over
// one run of the filters that goes as far as it is asked to. A block behind
// where the run started starts it again from further back, at most as far as
// the search that asks may look.
class Levels {
 public:
  Levels(BandLevels& in, int64_t half) : mIn(in), mHalf(half) {}
  int64_t half() const { return mHalf; }

  // A new run from block boundary `at`, which may have to restart from as
  // far back as `limit`. Its first blocks may have been measured already,
  // in `ready` (taken).
  void Begin(Pass pass, int64_t at, int64_t limit, std::vector<double>& ready) {
    mPass = pass;
    mLimit = limit;
    if (ready.empty()) return Restart(at);
    mStart = std::clamp<int64_t>(at, 0, mIn.blocks());
    mRun.swap(ready);
    mReady = true;
  }
  bool Has(int64_t k) const { return k >= 0 && k < mIn.blocks(); }
  double At(int64_t k) {
    const int64_t a = std::max<int64_t>(k - mHalf, 0), b = std::min(k + mHalf + 1, mIn.blocks());
    double sum = 0;
    int64_t n = 0;
    for (int64_t j = a; j < b; ++j, ++n) {
      const double x = Block(j);
      if (!mIn.Present(j)) break;
      sum += x;
    }
    return n > 0 ? sum / double(n) : 0.0;
  }
  bool BlockAbove(int64_t j, double threshold) {
    return j >= 0 && j < mIn.blocks() && Block(j) > threshold;
  }

 private:
  bool forward() const { return mPass == Pass::kForward; }
  void Restart(int64_t at) {
    mStart = std::clamp<int64_t>(at, 0, mIn.blocks());
    mRun.clear();
    mReady = false;
    mIn.Start(mStart, mPass);
  }
  // Block j; 0 past the audio.
  double Block(int64_t j) {
    if (!mIn.Present(j)) return 0.0;
    if (forward() && j < mStart)
      Restart(std::min(j, std::max(mLimit, j - std::max<int64_t>(kStep, mStart - j))));
    else if (!forward() && j >= mStart)
      Restart(std::max(j + 1, std::min(mLimit, j + 1 + std::max<int64_t>(kStep, j + 1 - mStart))));
    const auto i = size_t(forward() ? j - mStart : mStart - 1 - j);
    if (i >= mRun.size()) {
      if (mReady) Restart(mStart);  // on past the blocks measured before: run again
      mIn.Next(int64_t(i - mRun.size()) + kAhead, mRun);
    }
    return i < mRun.size() ? mRun[i] : 0.0;  // past the audio, which ends before block j
  }

  // A restart goes back at least this many blocks, and at least as far
  // again as the block asked for lies behind the run's start.
  static constexpr int64_t kStep = 32;
  // Blocks computed at a time past the one asked for.
  static constexpr int64_t kAhead = 8;

  BandLevels& mIn;
  int64_t mHalf;
  Pass mPass = Pass::kForward;
  int64_t mStart = 0, mLimit = 0;
  std::vector<double> mRun;  // the run's blocks, in its order
  bool mReady = false;       // measured before, with no run of the filters going on
};

// One edge to place: its mark, the frames it may take (both ends included)
// and how the level is judged.
struct Search {
  int64_t mark, lo, hi;
  double threshold;  // mean square: above it a window is sound
  int64_t hold;      // windows of quiet that end a sound
};

bool Quiet(Levels& lv, int64_t k, const Search& s) { return !lv.Has(k) || lv.At(k) <= s.threshold; }
bool QuietRun(Levels& lv, int64_t from, const Search& s) {
  for (int64_t k = from; k < from + s.hold; ++k)
    if (!Quiet(lv, k, s)) return false;
  return true;
}

// A loud window holds at least one block above the threshold. The sound
// stops after the last such block of the last loud window, and starts at the
// first such block of the first loud one: a window stays loud for as long as
// any of its blocks holds sound, half a window either side of it.
int64_t StopAfter(Levels& lv, int64_t k, int64_t block, const Search& s) {
  int64_t j = k + lv.half();
  while (j > k - lv.half() && !lv.BlockAbove(j, s.threshold)) --j;
  return (j + 1) * block;
}
int64_t StartAt(Levels& lv, int64_t k, int64_t block, const Search& s) {
  int64_t j = k - lv.half();
  while (j < k + lv.half() && !lv.BlockAbove(j, s.threshold)) ++j;
  return j * block;
}
// The run that searches for an edge at `mark`, from the mark's side: for a
// start a backward run from past the mark's window; for an end a forward one
// from early enough for the first stretch of quiet looked for behind the
// mark (the detector tends to end a silence a little into the sound). With
// the blocks it mostly takes.
Stretch FirstRun(bool start, int64_t mark, int64_t block, int64_t half, int64_t hold) {
  constexpr int64_t kMostly = 96;
  if (start) return {mark / block + half + 1, kMostly, Pass::kBackward};
  return {(mark - 1) / block - hold - half - 4, kMostly, Pass::kForward};
}

// A crossing out of reach leaves the mark where it is.
int64_t Within(int64_t at, const Search& s) { return at >= s.lo && at <= s.hi ? at : s.mark; }

// A silence start: the frame after the sound stopped. From a mark in quiet,
// back to the last loud window; from a mark in sound, forward to the first
// stretch of quiet windows long enough to end it. The windows it may look at
// are its span and a hold and half a window more on either side, their
// blocks half a window further; the filters run from the mark's side (a
// backward run for a start, a forward one for an end) only as far as the
// search goes.
int64_t PlaceStart(Levels& lv, int64_t block, const Search& s, std::vector<double>& ready) {
  const int64_t k0 = s.mark / block, more = s.hold + 2 * lv.half() + 3;
  const Stretch run = FirstRun(true, s.mark, block, lv.half(), s.hold);
  lv.Begin(run.pass, run.first, s.hi / block + more, ready);
  if (Quiet(lv, k0, s)) {
    for (int64_t k = k0 - 1; (k + 1 + lv.half()) * block > s.lo && lv.Has(k); --k)
      if (!Quiet(lv, k, s)) return Within(StopAfter(lv, k, block, s), s);
  } else {
    for (int64_t k = k0 + 1; (k - lv.half() - 1) * block < s.hi && lv.Has(k); ++k)
      if (QuietRun(lv, k, s)) return Within(StopAfter(lv, k - 1, block, s), s);
  }
  return s.mark;
}

// A silence end: the frame where the sound starts, found the same way the
// other way round.
int64_t PlaceEnd(Levels& lv, int64_t block, const Search& s, std::vector<double>& ready) {
  const int64_t k0 = (s.mark - 1) / block;  // the mark's last silent frame
  const int64_t more = s.hold + 2 * lv.half() + 2;
  const Stretch run = FirstRun(false, s.mark, block, lv.half(), s.hold);
  lv.Begin(run.pass, run.first, s.lo / block - more, ready);
  if (Quiet(lv, k0, s)) {
    for (int64_t k = k0 + 1; (k - lv.half()) * block < s.hi && lv.Has(k); ++k)
      if (!Quiet(lv, k, s)) return Within(StartAt(lv, k, block, s), s);
  } else {
    for (int64_t k = k0 - 1; (k + lv.half() + 1) * block > s.lo && lv.Has(k); --k)
      if (QuietRun(lv, k - s.hold + 1, s)) return Within(StartAt(lv, k + 1, block, s), s);
  }
  return s.mark;
}

// Silences [from, to), on one thread.
struct Part {
  size_t from, to;
};

// The silences cut into at most `count` parts of about equal length, each
// cut at a silence `allowed` to begin one, within `slack` silences of its
// even place (a cut with no such silence near is left out).
template <typename Allowed>
std::vector<Part> Cut(size_t silences, size_t count, size_t slack, Allowed allowed) {
  std::vector<Part> parts;
  size_t from = 0;
  for (size_t t = 1; t < count; ++t) {
    const size_t even = silences * t / count;
    for (size_t d = 0; d <= slack && d < even; ++d) {
      const size_t at = even - d, after = even + d;
      if (at > from && allowed(at)) {
        from = parts.emplace_back(Part{from, at}).to;
        break;
      }
      if (d > 0 && after < silences && allowed(after)) {
        from = parts.emplace_back(Part{from, after}).to;
        break;
      }
    }
  }
  parts.push_back({from, silences});
  return parts;
}

// Runs job(readers[p], parts[p], p) for every part p: the first on the
// calling thread, each other on a thread of its own (or on the calling one
// when no thread can be had). An exception in any is thrown here once all
// have finished.
template <typename Job>
void OnThreads(const std::vector<Part>& parts, std::vector<BandLevels>& readers, const Job& job) {
  std::vector<std::exception_ptr> failed(parts.size());
  auto run = [&](size_t p) {
    try {
      job(readers[p], parts[p], p);
    } catch (...) {
      failed[p] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(parts.size());
  for (size_t p = 1; p < parts.size(); ++p) {
    try {
      threads.emplace_back(run, p);
    } catch (const std::system_error&) {
      run(p);
    }
  }
  run(0);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& e : failed)
    if (e) std::rethrow_exception(e);
}

// Fewer silences than this are not worth a thread of their own.
constexpr size_t kMinSilencesPerThread = 8;

}  // namespace

std::string RefineEdges(const std::string& file, std::vector<MarkData>& silences,
                        EdgeReport& report, const EdgeRule& rule, int threads) {
  report = {};
  if (silences.empty()) return "";
  const size_t n = silences.size();
  if (threads <= 0) threads = int(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, 8);
  // Every thread reads the file for itself.
  std::vector<BandLevels> readers(
      std::clamp<size_t>(n / kMinSilencesPerThread, 1, size_t(threads)));
  for (BandLevels& r : readers)
    if (!r.Open(file, rule.bandLowHz, rule.bandHighHz, rule.blockSeconds))
      return "cannot open " + file + " to refine the edges";
  const BandLevels& in = readers[0];
  const int64_t block = in.block(), frames = in.frames();
  const double rate = in.rate(), blocksPerSecond = rate / double(block);
  const auto half =
      std::max<int64_t>(0, std::llround((rule.windowSeconds * blocksPerSecond - 1) / 2));
  const int64_t reach = std::llround(rule.reach * rate);
  const auto hold = std::max<int64_t>(1, std::llround(rule.holdSeconds * blocksPerSecond));
  // Edges at the ends of the file are no edges of a sound.
  auto inner = [frames](int64_t edge) { return edge > 0 && edge < frames; };

  // The quiet level from the middle half of each surveyed silence, away
  // from the edges the model may have misplaced (at most a few seconds of
  // each); the sound level from the loudest window near each of its edges.
  // Each part of the silences is measured on its own, and the measures are
  // put together. The first blocks of every edge's search lie near the edge
  // too: they are measured now, for a search that then mostly reads nothing.
  constexpr double kMaxInteriorSeconds = 4.0;
  const size_t every = std::max<size_t>(1, n / size_t(std::max(rule.surveyedSilences, 1)));
  const std::vector<Part> measured = Cut(n, readers.size(), 0, [](size_t) { return true; });
  std::vector<LevelHistogram> quiet(measured.size());
  std::vector<std::vector<double>> loudest(measured.size()), ready(2 * n);
  OnThreads(measured, readers, [&](BandLevels& reader, Part part, size_t p) {
    Survey survey(reader, half);
    for (size_t i = part.from; i < part.to; ++i) {
      const MarkArea& m = silences[i].area;
      const int64_t len = m.end - m.start, mid = m.start + len / 2;
      const int64_t side = std::min<int64_t>(len / 4, std::llround(kMaxInteriorSeconds / 2 * rate));
      const bool surveyed = i % every == 0;
      if (surveyed) survey.Add(Survey::kInside, (mid - side + block - 1) / block, (mid + side) / block);
      for (int e : {0, 1}) {
        const int64_t edge = e == 0 ? m.start : m.end;
        if (!inner(edge)) continue;
        if (surveyed)
          survey.Add(Survey::kNearEdge, (edge - reach) / block, (edge + reach) / block + 1);
        Stretch run = FirstRun(e == 0, edge, block, half, hold);
        run.first = std::clamp<int64_t>(run.first, 0, in.blocks());
        if (run.pass == Pass::kBackward) run.count = std::min(run.count, run.first);
        if (run.count > 0) survey.Add(run, ready[2 * i + size_t(e)]);
      }
    }
    survey.Finish();
    quiet[p] = survey.quiet;
    loudest[p] = std::move(survey.loudest);
  });
  for (size_t p = 1; p < measured.size(); ++p) {
    quiet[0].Merge(quiet[p]);
    loudest[0].insert(loudest[0].end(), loudest[p].begin(), loudest[p].end());
  }
  std::vector<double>& edges = loudest[0];
  double sound = 0;
  if (!edges.empty()) {
    auto middle = edges.begin() + std::ptrdiff_t(edges.size() / 2);
    std::nth_element(edges.begin(), middle, edges.end());
    sound = *middle;
  }
  const double quietMs = quiet[0].Percentile(rule.quietPercentile);
  const double threshold = std::max(quietMs * std::pow(10.0, rule.quietMarginDb / 10.0),
                                    sound * std::pow(10.0, -rule.floorBelowSoundDb / 10.0));
  report.quietLevel = std::sqrt(quietMs);
  report.soundLevel = std::sqrt(sound);
  report.threshold = std::sqrt(threshold);
  if (!(threshold > 0)) return "";  // digital silence throughout: no crossing to find

  // A start stays after the placed end of the silence before; an end moves
  // at most `reach`, so a silence that starts more than twice that after the
  // end before cannot meet it, and a part may begin there. Where no silence
  // near the middle of a part's share does, the parts stay together.
  const std::vector<Part> searched =
      Cut(n, readers.size(), n / (4 * readers.size()), [&](size_t i) {
        return silences[i].area.start - reach > silences[i - 1].area.end + reach + 1;
      });
  std::vector<MarkData> placed = silences;
  std::vector<int> moved(searched.size());
  OnThreads(searched, readers, [&](BandLevels& reader, Part part, size_t p) {
    Levels lv(reader, half);
    int& count = moved[p];
    int64_t previousEnd = part.from > 0 ? silences[part.from - 1].area.end : -1;
    for (size_t i = part.from; i < part.to; ++i) {
      MarkArea& a = placed[i].area;
      const int64_t nextStart = i + 1 < n ? silences[i + 1].area.start : frames + 1;
      if (inner(a.start)) {
        const Search s{a.start, std::max(a.start - reach, previousEnd + 1),
                       std::min<int64_t>(a.start + reach, a.end - 1), threshold, hold};
        const int64_t at = PlaceStart(lv, block, s, ready[2 * i]);
        count += at != a.start;
        a.start = int32_t(at);
      }
      if (inner(a.end)) {
        const Search s{a.end, std::max<int64_t>(a.end - reach, a.start + 1),
                       std::min(a.end + reach, nextStart - 1), threshold, hold};
        const int64_t at = PlaceEnd(lv, block, s, ready[2 * i + 1]);
        count += at != a.end;
        a.end = int32_t(at);
      }
      previousEnd = a.end;
    }
  });
  for (int m : moved) report.moved += m;
  silences = std::move(placed);
  return "";
}
