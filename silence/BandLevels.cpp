#include "BandLevels.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>
#include <type_traits>
#include <utility>

#include "BandFilters.h"

namespace {

using namespace bandfilters;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// In a FLAC file, a seek decodes anew from the start of the compressed
// frame around its target, after looking for that frame: quickly through a
// seek table, or by reading here and there all over a file that has none,
// or whose frames vary much in size. So a gap ahead is read through where
// that has cost less than a seek in the file so far, and, until a few seeks
// and reads tell, where it is shorter than this many samples.
constexpr int64_t kReadOn = 16384;

bool IsNonFinite(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return (bits & 0x7f800000u) == 0x7f800000u;
}

template <typename Sample, typename Samples>
std::vector<Sample>& Of(Samples& s) {
  if constexpr (std::is_same_v<Sample, float>)
    return s.floats;
  else
    return s.shorts;
}

}  // namespace

// The band's high-pass and low-pass sections, and the state of a run's
// filters for each pair of channels.
struct BandLevels::Filters {
  Coeffs high, low;
  using Pair = std::pair<Section<Lanes2>, Section<Lanes2>>;
  std::vector<Pair> pairs;

  void Reset() {
    std::fill(pairs.begin(), pairs.end(), Pair{Section<Lanes2>(high), Section<Lanes2>(low)});
  }

  // Both sections of every pair of channels, frame by frame from `in`,
  // `blocks` blocks of `length` frames, backward from the last frame on a
  // backward run; with kCount the loudest channel's sum of squares of each
  // block to `loudest`, in the run's order. An odd last channel fills both
  // lanes of its pair.
  template <bool kCount, typename Sample>
  void Run(const Sample* in, int channels, bool forward, int64_t blocks, int64_t length,
           double* loudest) {
    const std::ptrdiff_t step = forward ? channels : -channels;
    for (size_t p = 0; p < pairs.size(); ++p) {
      const int c0 = int(2 * p), c1 = std::min(c0 + 1, channels - 1);
      auto [hi, lo] = pairs[p];
      // Backward from the last frame, if there is one: a file whose frames
      // turn out to end at 0 leaves a block of none.
      const Sample* x = in;
      if (!forward && blocks * length > 0) x += (blocks * length - 1) * channels;
      for (int64_t b = 0; b < blocks; ++b) {
        Lanes2 sum{};
        for (int64_t i = 0; i < length; ++i, x += step) {
          Lanes2 y{double(x[c0]), double(x[c1])};
          if constexpr (std::is_integral_v<Sample>) y *= kShortScale;
          hi.Run(y);
          lo.Run(y);
          if constexpr (kCount) sum += y * y;
        }
        if constexpr (kCount) loudest[b] = std::max({p == 0 ? 0.0 : loudest[b], sum[0], sum[1]});
      }
      pairs[p] = {hi, lo};
    }
  }
};

// A stretch in a vector lane: its frames, behind as many zeros as make its
// warm-up whole blocks (the filters, at rest, stay at rest over them), and
// how far the lane has run through them.
struct BandLevels::Lane {
  size_t index = 0;
  int64_t pos = 0, end = 0;  // blocks run through, and all of them
  Samples samples;
  std::vector<double> levels;
  bool busy = false;
};

BandLevels::BandLevels() = default;
BandLevels::~BandLevels() = default;

bool BandLevels::Open(const std::string& file, float lowHz, float highHz, float blockSeconds) {
  SF_INFO info{};
  mFile.reset(sf_open(file.c_str(), SFM_READ, &info));
  if (!mFile || info.channels < 1 || info.samplerate < 1) return false;
  mChannels = info.channels;
  mRate = info.samplerate;
  mFrames = mPresent = info.frames;
  mBlock = std::max<int64_t>(1, std::llround(blockSeconds * info.samplerate));
  mBlocks = (mFrames + mBlock - 1) / mBlock;
  mFilters = std::make_unique<Filters>();
  mFilters->high = Coeffs::Make(true, lowHz, info.samplerate);
  mFilters->low = Coeffs::Make(false, highHz, info.samplerate);
  mFilters->pairs.assign(size_t(mChannels + 1) / 2,
                         {Section<Lanes2>(mFilters->high), Section<Lanes2>(mFilters->low)});
  // The filters settle within a few milliseconds; 20 of them are run
  // through before the first block of a run.
  mWarmUp = info.samplerate / 50;
  // Reads of whole blocks, about 4096 frames at a time.
  mChunk = mBlock * std::max<int64_t>(1, 4096 / mBlock);
  mLoudest.resize(size_t(mChunk / mBlock));
  // 16-bit samples are read as they lie in the file, or as the FLAC decoder
  // gives them, with no conversion pass.
  const int major = info.format & SF_FORMAT_TYPEMASK;
  mShorts = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 &&
            (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64 ||
             major == SF_FORMAT_W64 || major == SF_FORMAT_AIFF || major == SF_FORMAT_RAW ||
             major == SF_FORMAT_FLAC);
  mReadOn = major == SF_FORMAT_FLAC;
  mCost = {};
  mAt = 0;
  mWinBegin = mWinEnd = 0;
  return true;
}

// The warm-up is read together with the first blocks.
void BandLevels::Start(int64_t at, Pass pass) {
  mForward = pass == Pass::kForward;
  mFilters->Reset();
  const int64_t edge = std::min(at * mBlock, mPresent);
  if (mForward) {
    const int64_t begin = std::max<int64_t>(edge - mWarmUp, 0);
    Fill(begin, edge + mChunk);
    if (edge > begin && Holds(begin, edge)) Run(false, begin, 1, edge - begin);
  } else {
    const int64_t begin = std::min(edge + mWarmUp, mPresent);
    Fill(edge - mChunk, begin);
    if (begin > edge && Holds(edge, begin)) Run(false, edge, 1, begin - edge);
  }
  mPos = edge;
}

void BandLevels::Next(int64_t count, std::vector<double>& out) {
  while (count > 0) {
    // A run ends where the audio does; one that started past it, at the
    // end, or back where it ends.
    if (mForward ? mPos >= mPresent : mPos <= 0) return;
    mPos = std::min(mPos, mPresent);
    const int64_t k = mForward ? mPos / mBlock : (mPos - 1) / mBlock;
    const int64_t from = k * mBlock, to = std::min(from + mBlock, mPresent);
    if (!Holds(from, to)) {
      if (mForward)
        Fill(from, from + mChunk);
      else
        Fill(to - mChunk, to);
      continue;  // the read may have found the audio shorter
    }
    // Whole blocks, as many as the buffer holds; a short last block of the
    // file on its own.
    int64_t n = 1;
    if (to - from == mBlock) {
      const int64_t held = mForward ? mBufEnd - from : to - mBufBegin;
      n = std::min({count, held / mBlock, int64_t(mLoudest.size())});
    }
    const int64_t first = mForward ? from : to - n * (to - from);
    Run(true, first, n, to - from);
    for (int64_t b = 0; b < n; ++b) out.push_back(mLoudest[size_t(b)] / double(to - from));
    mPos = mForward ? from + n * (to - from) : first;
    count -= n;
  }
}

void BandLevels::Measure(std::span<const Stretch> stretches, const Done& done) {
  std::vector<size_t> order(stretches.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return FirstFrame(stretches[a]) < FirstFrame(stretches[b]);
  });
  const int width = LaneWidth();
  if (mChannels <= 2 && width >= mChannels) {
    if (mShorts)
      RunLanes<int16_t>(stretches, order, done, width);
    else
      RunLanes<float>(stretches, order, done, width);
    return;
  }
  std::vector<double> levels;
  for (size_t i : order) {
    Walk(stretches[i], levels);
    done(i, levels);
  }
}

// The first frame a stretch's run reads.
int64_t BandLevels::FirstFrame(const Stretch& s) const {
  return s.pass == Pass::kForward ? std::max<int64_t>(s.first * mBlock - mWarmUp, 0)
                                  : (s.first - s.count) * mBlock;
}

// One stretch on its own.
void BandLevels::Walk(const Stretch& s, std::vector<double>& out) {
  out.clear();
  Start(s.first, s.pass);
  Next(s.count, out);
}

// A lane that comes free takes the next stretch. All run on together until
// the first of them ends, then the free lanes take the next ones, and so on;
// one that the file does not hold whole is run on its own instead. A lane
// with no stretch left runs on zeros.
template <typename Sample>
void BandLevels::RunLanes(std::span<const Stretch> stretches, std::span<const size_t> order,
                          const Done& done, int width) {
  constexpr int64_t kMost = 64;  // blocks at a time
  const int slots = width / mChannels;
  const int64_t warmBlocks = (mWarmUp + mBlock - 1) / mBlock;
  std::vector<Lane> lanes(static_cast<size_t>(slots));
  std::vector<double> state(size_t(8 * width)), sums(size_t(kMost * width));
  std::vector<double> scratch(size_t(width * mBlock)), levels;
  const std::vector<Sample> zeros(size_t(kMost * mBlock * mChannels));
  std::vector<const Sample*> in(static_cast<size_t>(slots));
  const Kernel<Sample> kernel = KernelFor<Sample>(width, mChannels);
  size_t next = 0;
  for (;;) {
    int64_t run = kMost;
    bool busy = false;
    for (int s = 0; s < slots; ++s) {
      Lane& lane = lanes[size_t(s)];
      while (!lane.busy && next < order.size()) {
        lane.index = order[next++];
        const Stretch& stretch = stretches[lane.index];
        if (Take(stretch, lane)) {
          for (int v = 0; v < 8; ++v)
            std::fill_n(state.begin() + v * width + s * mChannels, mChannels, 0.0);
        } else {
          Walk(stretch, levels);
          done(lane.index, levels);
        }
      }
      if (lane.busy) run = std::min(run, lane.end - lane.pos), busy = true;
      in[size_t(s)] = lane.busy ? Of<Sample>(lane.samples).data() + lane.pos * mBlock * mChannels
                                : zeros.data();
    }
    if (!busy) return;
    kernel(mFilters->high, mFilters->low, state.data(), in.data(), run, mBlock, scratch.data(),
           sums.data());
    for (int s = 0; s < slots; ++s) {
      Lane& lane = lanes[size_t(s)];
      if (!lane.busy) continue;
      for (int64_t t = 0; t < run; ++t) {
        if (lane.pos + t < warmBlocks) continue;
        const double* sum = sums.data() + t * width + s * mChannels;
        lane.levels.push_back((mChannels == 1 ? sum[0] : std::max(sum[0], sum[1])) /
                              double(mBlock));
      }
      lane.pos += run;
      if (lane.pos == lane.end) {
        done(lane.index, lane.levels);
        lane.busy = false;
      }
    }
  }
}

// The warm-up and the blocks of stretch `s`, in the order its run takes
// them, if the file has them all.
bool BandLevels::Take(const Stretch& s, Lane& lane) {
  const bool forward = s.pass == Pass::kForward;
  const int64_t edge = s.first * mBlock;
  const int64_t begin = forward ? std::max<int64_t>(edge - mWarmUp, 0) : edge - s.count * mBlock;
  const int64_t end = forward ? edge + s.count * mBlock : std::min(edge + mWarmUp, mPresent);
  if (s.count <= 0 || begin < 0 || std::max(edge, end) > mPresent) return false;
  const int64_t warmBlocks = (mWarmUp + mBlock - 1) / mBlock;
  const int64_t zeros = warmBlocks * mBlock - (forward ? edge - begin : end - edge);
  auto take = [&](auto& v) {
    v.assign(size_t(zeros * mChannels), 0);
    if (Window(begin, end, lane.samples, size_t(zeros)) != end - begin) return false;
    if (!forward) {
      // Frames last to first, each with its channels in order.
      std::reverse(v.begin() + zeros * mChannels, v.end());
      for (auto f = v.begin() + zeros * mChannels; f != v.end(); f += mChannels)
        std::reverse(f, f + mChannels);
    }
    return true;
  };
  if (!(mShorts ? take(lane.samples.shorts) : take(lane.samples.floats))) return false;
  lane.pos = 0;
  lane.end = warmBlocks + s.count;
  lane.levels.clear();
  lane.busy = true;
  return true;
}

// Frames [begin, end) into `to` from frame `at` on, as far as the file has
// them; how many. Stretches come in order of their first frames and often
// overlap: the frames read last are kept and only the rest is read.
int64_t BandLevels::Window(int64_t begin, int64_t end, Samples& to, size_t at) {
  const auto channels = size_t(mChannels);
  auto take = [&](auto& window, auto& out) {
    if (begin < mWinBegin || begin > mWinEnd) {
      window.clear();
      mWinBegin = mWinEnd = begin;
    }
    window.erase(window.begin(),
                 window.begin() + std::ptrdiff_t(size_t(begin - mWinBegin) * channels));
    mWinBegin = begin;
    if (end > mWinEnd) mWinEnd += Read(mWinEnd, end, mWindow, size_t(mWinEnd - mWinBegin));
    const int64_t got = std::max<int64_t>(0, std::min(end, mWinEnd) - begin);
    out.resize(at * channels);
    out.insert(out.end(), window.begin(), window.begin() + std::ptrdiff_t(size_t(got) * channels));
    return got;
  };
  return mShorts ? take(mWindow.shorts, to.shorts) : take(mWindow.floats, to.floats);
}

// Runs the filters over `blocks` buffered blocks of `length` frames from
// frame `first`, in the run's direction; with `count` the loudest channel's
// sum of squares of each lands in mLoudest.
void BandLevels::Run(bool count, int64_t first, int64_t blocks, int64_t length) {
  const auto at = size_t((first - mBufBegin) * mChannels);
  auto run = [&](const auto* in) {
    if (count)
      mFilters->Run<true>(in, mChannels, mForward, blocks, length, mLoudest.data());
    else
      mFilters->Run<false>(in, mChannels, mForward, blocks, length, nullptr);
  };
  if (mShorts)
    run(mSamples.shorts.data() + at);
  else
    run(mSamples.floats.data() + at);
}

// Frames [begin, end), as far as the file has them, into the buffer.
void BandLevels::Fill(int64_t begin, int64_t end) {
  begin = std::max<int64_t>(begin, 0);
  mBufBegin = begin;
  mBufEnd = begin + Read(begin, end, mSamples, 0);
}

// Puts the file at frame `at`: where it is, it stays; a short way ahead in a
// FLAC file, it reads on.
bool BandLevels::Seek(int64_t at) {
  if (at == mAt) return true;
  if (mReadOn && mAt >= 0 && at > mAt && at - mAt <= ReadOnLimit()) {
    while (mAt >= 0 && mAt < at) {
      const int64_t n = std::min(at - mAt, mChunk);
      mAt = Decode(mSkipped, 0, n) == n ? mAt + n : -1;
    }
    if (mAt == at) return true;
  }
  const auto start = Clock::now();
  mAt = sf_seek(mFile.get(), at, SEEK_SET) == at ? at : -1;
  mCost.seeks += Seconds(Clock::now() - start).count();
  ++mCost.sought;
  return mAt == at;
}

// The longest gap ahead that costs less to read through than to seek past.
int64_t BandLevels::ReadOnLimit() const {
  constexpr int kSeeks = 8, kFrames = 1 << 16;  // enough to tell
  if (mCost.sought < kSeeks || mCost.read < kFrames) return kReadOn / mChannels;
  return int64_t(std::min(
      1e9, mCost.seeks / double(mCost.sought) * double(mCost.read) / std::max(mCost.reads, 1e-9)));
}

// `frames` frames from where the file is into `to` from frame `at` on; how
// many it had.
int64_t BandLevels::Decode(Samples& to, size_t at, int64_t frames) {
  const size_t from = at * size_t(mChannels), size = from + size_t(frames * mChannels);
  const auto start = Clock::now();
  sf_count_t got;
  if (mShorts) {
    to.shorts.resize(size);
    got = sf_readf_short(mFile.get(), to.shorts.data() + from, frames);
  } else {
    to.floats.resize(size);
    got = sf_readf_float(mFile.get(), to.floats.data() + from, frames);
  }
  got = std::max<sf_count_t>(got, 0);
  mCost.reads += Seconds(Clock::now() - start).count();
  mCost.read += got;
  return got;
}

// Frames [begin, end) into `to` from frame `at` on; how many the file had.
int64_t BandLevels::Read(int64_t begin, int64_t end, Samples& to, size_t at) {
  end = std::min(end, mPresent);
  if (end <= begin) return 0;
  const int64_t got = Seek(begin) ? Decode(to, at, end - begin) : 0;
  mAt = got == end - begin ? end : -1;
  if (got < end - begin) mPresent = begin + got;
  const size_t from = at * size_t(mChannels), size = from + size_t(got * mChannels);
  if (mShorts) {
    to.shorts.resize(size);
    return got;
  }
  to.floats.resize(size);
  // A non-finite sample counts as 0, as in the detector. Looking for one
  // bit by bit keeps the look cheap.
  const auto read = std::span(to.floats).subspan(from);
  uint32_t nonFinite = 0;
  for (float x : read) nonFinite |= uint32_t(IsNonFinite(x));
  if (nonFinite)
    for (float& x : read)
      if (IsNonFinite(x)) x = 0;
  return got;
}
