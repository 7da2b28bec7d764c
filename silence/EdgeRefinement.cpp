#include "EdgeRefinement.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>

namespace {

struct SndCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};

// One second-order Butterworth section, high- or low-pass.
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

  // A corner at or near the Nyquist frequency passes everything.
  static Biquad Make(bool highPass, double hz, double rate) {
    Biquad q;
    if (!(hz > 0) || hz >= 0.45 * rate) return q;
    const double w = 2 * std::numbers::pi * hz / rate, c = std::cos(w);
    const double alpha = std::sin(w) / std::numbers::sqrt2, a0 = 1 + alpha;
    q.b0 = (highPass ? (1 + c) / 2 : (1 - c) / 2) / a0;
    q.b1 = (highPass ? -(1 + c) : 1 - c) / a0;
    q.b2 = q.b0;
    q.a1 = -2 * c / a0;
    q.a2 = (1 - alpha) / a0;
    return q;
  }
  double Run(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    return y;
  }
  void Reset() { x1 = x2 = y1 = y2 = 0; }
};

// Which way the band filters run over the samples. Run forward, they ring on
// for a few milliseconds after a sound that stops abruptly; run backward,
// they ring ahead of one that starts. So stops are looked for on a backward
// pass and starts on a forward one.
enum class Pass { kForward, kBackward };

// The band-limited mean square of any run of blocks of the file, read from
// the file when asked. Blocks lie on a fixed grid from frame 0 and the
// filters settle on frames read beyond the run, so a level hardly depends on
// which stretch was read to get it.
class BlockReader {
 public:
  bool Open(const std::string& file, const EdgeRule& rule) {
    SF_INFO info{};
    mFile.reset(sf_open(file.c_str(), SFM_READ, &info));
    if (!mFile || info.channels < 1 || info.samplerate < 1) return false;
    mChannels = info.channels;
    mRate = info.samplerate;
    mFrames = info.frames;
    mBlock = std::max<int64_t>(1, std::llround(rule.blockSeconds * info.samplerate));
    mBlocks = (mFrames + mBlock - 1) / mBlock;
    mFilters.assign(size_t(mChannels),
                    {Biquad::Make(true, rule.bandLowHz, info.samplerate),
                     Biquad::Make(false, rule.bandHighHz, info.samplerate)});
    // The filters settle within a few milliseconds; 20 of them are read on
    // either side of every run and dropped.
    mWarmUp = info.samplerate / 50;
    return true;
  }
  int rate() const { return mRate; }
  int64_t frames() const { return mFrames; }
  int64_t block() const { return mBlock; }
  int64_t blocks() const { return mBlocks; }

  // Mean squares of blocks [first, last) that lie in the file (the last
  // block of the file may be short), the filters run forward or backward.
  // A file that holds fewer frames than its header promised gives the blocks
  // it has: the rest counts as quiet, as the detector, which stops where the
  // frames stop, takes it.
  void Read(int64_t first, int64_t last, Pass pass, std::vector<double>& out) {
    out.clear();
    first = std::clamp<int64_t>(first, 0, mBlocks);
    last = std::clamp<int64_t>(last, first, mBlocks);
    if (last == first) return;
    const int64_t from = first * mBlock, to = std::min(last * mBlock, mFrames);
    const int64_t begin = std::max<int64_t>(from - mWarmUp, 0);
    const int64_t end = std::min(to + mWarmUp, mFrames);
    if (sf_seek(mFile.get(), begin, SEEK_SET) != begin) return;
    mBuffer.resize(size_t((end - begin) * mChannels));
    const sf_count_t got = sf_readf_float(mFile.get(), mBuffer.data(), end - begin);
    if (got <= 0) return;
    const int64_t there = std::min(to, begin + got);  // the last counted frame, + 1
    if (there <= from) return;
    const auto channels = size_t(mChannels);
    std::vector<double> sums(size_t((there - from + mBlock - 1) / mBlock) * channels, 0.0);
    for (auto& f : mFilters) f[0].Reset(), f[1].Reset();
    const bool forward = pass == Pass::kForward;
    for (int64_t i = 0; i < got; ++i) {
      const int64_t at = begin + (forward ? i : got - 1 - i);
      const bool counted = at >= from && at < there;
      for (size_t c = 0; c < channels; ++c) {
        const float x = mBuffer[size_t(at - begin) * channels + c];
        auto& f = mFilters[c];
        // A non-finite sample counts as 0, as in the detector.
        const double y = f[1].Run(f[0].Run(std::isfinite(x) ? x : 0.0f));
        if (counted) sums[size_t((at - from) / mBlock) * channels + c] += y * y;
      }
    }
    for (size_t k = 0; k * channels < sums.size(); ++k) {
      const int64_t frames = std::min<int64_t>(mBlock, there - from - int64_t(k) * mBlock);
      const auto block = sums.begin() + std::ptrdiff_t(k * channels);
      out.push_back(*std::max_element(block, block + std::ptrdiff_t(channels)) / double(frames));
    }
  }

 private:
  std::unique_ptr<SNDFILE, SndCloser> mFile;
  int mChannels = 0;
  int mRate = 0;
  int64_t mFrames = 0;
  int64_t mBlock = 1;
  int64_t mBlocks = 0;
  int64_t mWarmUp = 0;
  std::vector<std::array<Biquad, 2>> mFilters;  // per channel: high-pass, low-pass
  std::vector<float> mBuffer;
};

// Window levels (mean squares) of blocks [first, first + ms.size()), each
// window centred on its block and `half` blocks wide on either side (only
// the blocks inside the file count), and the blocks they were made of.
struct Levels {
  int64_t first = 0;
  int64_t half = 0;
  std::vector<double> ms;
  int64_t blocksFirst = 0;
  std::vector<double> blocks;
  bool Has(int64_t k) const { return k >= first && k < first + int64_t(ms.size()); }
  double At(int64_t k) const { return ms[size_t(k - first)]; }
  bool BlockAbove(int64_t j, double threshold) const {
    return j >= blocksFirst && j < blocksFirst + int64_t(blocks.size()) &&
           blocks[size_t(j - blocksFirst)] > threshold;
  }
};

void ReadLevels(BlockReader& in, int64_t first, int64_t last, int64_t half, Pass pass,
                Levels& out) {
  first = std::max<int64_t>(first, 0);
  last = std::min(last, in.blocks());
  out.first = first;
  out.half = half;
  out.ms.clear();
  out.blocks.clear();
  if (last <= first) return;
  out.blocksFirst = std::max<int64_t>(first - half, 0);
  in.Read(out.blocksFirst, last + half, pass, out.blocks);
  const auto n = int64_t(out.blocks.size());
  for (int64_t k = first; k < last; ++k) {
    const int64_t a = std::max<int64_t>(k - half - out.blocksFirst, 0);
    const int64_t b = std::min<int64_t>(k + half - out.blocksFirst + 1, n);
    double sum = 0;
    for (int64_t j = a; j < b; ++j) sum += out.blocks[size_t(j)];
    out.ms.push_back(b > a ? sum / double(b - a) : 0.0);
  }
}

// Distribution of window levels in fixed bins of dB, so that measuring every
// silence of an hour-long file takes no more memory than measuring one.
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

// One edge to place: its mark, the frames it may take (both ends included)
// and how the level is judged.
struct Search {
  int64_t mark, lo, hi;
  double threshold;  // mean square: above it a window is sound
  int64_t hold;      // windows of quiet that end a sound
};

bool Quiet(const Levels& lv, int64_t k, const Search& s) {
  return !lv.Has(k) || lv.At(k) <= s.threshold;
}
bool QuietRun(const Levels& lv, int64_t from, const Search& s) {
  for (int64_t k = from; k < from + s.hold; ++k)
    if (!Quiet(lv, k, s)) return false;
  return true;
}

// A loud window holds at least one block above the threshold. The sound
// stops after the last such block of the last loud window, and starts at the
// first such block of the first loud one: a window stays loud for as long as
// any of its blocks holds sound, half a window either side of it.
int64_t StopAfter(const Levels& lv, int64_t k, int64_t block, const Search& s) {
  int64_t j = k + lv.half;
  while (j > k - lv.half && !lv.BlockAbove(j, s.threshold)) --j;
  return (j + 1) * block;
}
int64_t StartAt(const Levels& lv, int64_t k, int64_t block, const Search& s) {
  int64_t j = k - lv.half;
  while (j < k + lv.half && !lv.BlockAbove(j, s.threshold)) ++j;
  return j * block;
}
// A crossing out of reach leaves the mark where it is.
int64_t Within(int64_t at, const Search& s) { return at >= s.lo && at <= s.hi ? at : s.mark; }

// A silence start: the frame after the sound stopped. From a mark in quiet,
// back to the last loud window; from a mark in sound, forward to the first
// stretch of quiet windows long enough to end it.
int64_t PlaceStart(const Levels& lv, int64_t block, const Search& s) {
  const int64_t k0 = s.mark / block;
  if (Quiet(lv, k0, s)) {
    for (int64_t k = k0 - 1; (k + 1 + lv.half) * block > s.lo && lv.Has(k); --k)
      if (!Quiet(lv, k, s)) return Within(StopAfter(lv, k, block, s), s);
  } else {
    for (int64_t k = k0 + 1; (k - lv.half - 1) * block < s.hi && lv.Has(k); ++k)
      if (QuietRun(lv, k, s)) return Within(StopAfter(lv, k - 1, block, s), s);
  }
  return s.mark;
}

// A silence end: the frame where the sound starts, found the same way the
// other way round.
int64_t PlaceEnd(const Levels& lv, int64_t block, const Search& s) {
  const int64_t k0 = (s.mark - 1) / block;  // the mark's last silent frame
  if (Quiet(lv, k0, s)) {
    for (int64_t k = k0 + 1; (k - lv.half) * block < s.hi && lv.Has(k); ++k)
      if (!Quiet(lv, k, s)) return Within(StartAt(lv, k, block, s), s);
  } else {
    for (int64_t k = k0 - 1; (k + lv.half + 1) * block > s.lo && lv.Has(k); --k)
      if (QuietRun(lv, k - s.hold + 1, s)) return Within(StartAt(lv, k + 1, block, s), s);
  }
  return s.mark;
}

// The windows a search looks at: its span, and a hold and half a window more
// on either side.
void SearchLevels(BlockReader& in, const Search& s, int64_t half, Pass pass, Levels& out) {
  const int64_t b = in.block(), more = s.hold + half + 2;
  ReadLevels(in, s.lo / b - more, s.hi / b + more + 1, half, pass, out);
}

}  // namespace

std::string RefineEdges(const std::string& file, std::vector<MarkData>& silences,
                        EdgeReport& report, const EdgeRule& rule) {
  report = {};
  if (silences.empty()) return "";
  BlockReader in;
  if (!in.Open(file, rule)) return "cannot open " + file + " to refine the edges";
  const int64_t block = in.block(), frames = in.frames();
  const double rate = in.rate(), blocksPerSecond = rate / double(block);
  const auto half =
      std::max<int64_t>(0, std::llround((rule.windowSeconds * blocksPerSecond - 1) / 2));
  const int64_t reach = std::llround(rule.reach * rate);
  const auto hold = std::max<int64_t>(1, std::llround(rule.holdSeconds * blocksPerSecond));
  // Edges at the ends of the file are no edges of a sound.
  auto inner = [frames](int64_t edge) { return edge > 0 && edge < frames; };

  // The quiet level from the middle half of each silence, away from the
  // edges the model may have misplaced (at most a few seconds of each: plenty
  // for a percentile); the sound level from the loudest window near each edge.
  constexpr double kMaxInteriorSeconds = 4.0;
  LevelHistogram quiet;
  std::vector<double> loudest;
  Levels lv;
  for (const MarkData& m : silences) {
    const int64_t len = m.area.end - m.area.start, mid = m.area.start + len / 2;
    const int64_t side = std::min<int64_t>(len / 4, std::llround(kMaxInteriorSeconds / 2 * rate));
    ReadLevels(in, (mid - side + block - 1) / block, (mid + side) / block, half, Pass::kForward,
               lv);
    for (double x : lv.ms) quiet.Add(x);
    for (int64_t edge : {int64_t(m.area.start), int64_t(m.area.end)}) {
      if (!inner(edge)) continue;
      ReadLevels(in, (edge - reach) / block, (edge + reach) / block + 1, half, Pass::kForward,
                 lv);
      loudest.push_back(lv.ms.empty() ? 0.0 : *std::max_element(lv.ms.begin(), lv.ms.end()));
    }
  }
  double sound = 0;
  if (!loudest.empty()) {
    auto middle = loudest.begin() + std::ptrdiff_t(loudest.size() / 2);
    std::nth_element(loudest.begin(), middle, loudest.end());
    sound = *middle;
  }
  const double quietMs = quiet.Percentile(rule.quietPercentile);
  const double threshold = std::max(quietMs * std::pow(10.0, rule.quietMarginDb / 10.0),
                                    sound * std::pow(10.0, -rule.floorBelowSoundDb / 10.0));
  report.quietLevel = std::sqrt(quietMs);
  report.soundLevel = std::sqrt(sound);
  report.threshold = std::sqrt(threshold);
  if (!(threshold > 0)) return "";  // digital silence throughout: no crossing to find

  std::vector<MarkData> placed = silences;
  int64_t previousEnd = -1;  // placed; a start stays after it
  for (size_t i = 0; i < placed.size(); ++i) {
    MarkArea& a = placed[i].area;
    const int64_t nextStart = i + 1 < placed.size() ? placed[i + 1].area.start : frames + 1;
    if (inner(a.start)) {
      const Search s{a.start, std::max(a.start - reach, previousEnd + 1),
                     std::min<int64_t>(a.start + reach, a.end - 1), threshold, hold};
      SearchLevels(in, s, half, Pass::kBackward, lv);
      const int64_t at = PlaceStart(lv, block, s);
      report.moved += at != a.start;
      a.start = int32_t(at);
    }
    if (inner(a.end)) {
      const Search s{a.end, std::max<int64_t>(a.end - reach, a.start + 1),
                     std::min(a.end + reach, nextStart - 1), threshold, hold};
      SearchLevels(in, s, half, Pass::kForward, lv);
      const int64_t at = PlaceEnd(lv, block, s);
      report.moved += at != a.end;
      a.end = int32_t(at);
    }
    previousEnd = a.end;
  }
  silences = std::move(placed);
  return "";
}
