#include "BandLevels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <type_traits>
#include <utility>

namespace {

// Lanes: two channels, or two stretches of a mono file, filtered side by
// side; their filters are independent chains, so they cost the time of one.
// Four lanes (two stretches of a stereo file) in AVX functions only. Every
// lane performs the same operations in the same order (no FMA contraction),
// so a level is the same to the bit in whichever lane it was computed.
using Lanes = double __attribute__((vector_size(16)));
using Lanes4 = double __attribute__((vector_size(32)));
#define VX_INLINE [[gnu::always_inline]] inline

// 16-bit samples scale to exactly the floats the library would give.
constexpr double kShortScale = 1.0 / 32768;

// One second-order Butterworth section, high- or low-pass.
struct Coeffs {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

  // A corner at or near the Nyquist frequency passes everything.
  static Coeffs Make(bool highPass, double hz, double rate) {
    Coeffs q;
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
};
template <typename V>
struct Section {
  V b0, b1, b2, a1, a2;
  V x1{}, x2{}, y1{}, y2{};

  VX_INLINE explicit Section(const Coeffs& c)
      : b0(V{} + c.b0), b1(V{} + c.b1), b2(V{} + c.b2), a1(V{} + c.a1), a2(V{} + c.a2) {}
  // Filters x in place.
  VX_INLINE void Run(V& x) {
    const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    x = y;
  }
};

// Two stretches side by side, the lanes of each from its own frames: a
// mono file's in the two lanes of Lanes, a stereo file's in the halves of
// Lanes4. After `warm` frames to settle on, `blocks` blocks of `length`
// frames; the loudest channel's sum of squares of each block to outA, outB.
template <typename V, int kChannels, typename Sample>
VX_INLINE void PairFrame(Section<V>& high, Section<V>& low, const Sample*& a, const Sample*& b,
                         V& sum) {
  V y;
  if constexpr (kChannels == 1)
    y = V{double(a[0]), double(b[0])};
  else
    y = V{double(a[0]), double(a[1]), double(b[0]), double(b[1])};
  a += kChannels, b += kChannels;
  if constexpr (std::is_integral_v<Sample>) y *= kShortScale;
  high.Run(y);
  low.Run(y);
  sum += y * y;
}
template <typename V, int kChannels, typename Sample>
VX_INLINE void PairKernel(const Sample* a, const Sample* b, const Coeffs& hc, const Coeffs& lc,
                          int64_t warm, int64_t blocks, int64_t length, double* outA,
                          double* outB) {
  Section<V> high(hc), low(lc);
  V sum{};
  for (int64_t i = 0; i < warm; ++i) PairFrame<V, kChannels>(high, low, a, b, sum);
  for (int64_t k = 0; k < blocks; ++k) {
    sum = V{};
    for (int64_t i = 0; i < length; ++i) PairFrame<V, kChannels>(high, low, a, b, sum);
    if constexpr (kChannels == 1) {
      outA[k] = sum[0], outB[k] = sum[1];
    } else {
      outA[k] = std::max(sum[0], sum[1]), outB[k] = std::max(sum[2], sum[3]);
    }
  }
}
template <typename Sample>
void MonoPair(const Sample* a, const Sample* b, const Coeffs& hc, const Coeffs& lc, int64_t warm,
              int64_t blocks, int64_t length, double* outA, double* outB) {
  PairKernel<Lanes, 1>(a, b, hc, lc, warm, blocks, length, outA, outB);
}
#if defined(__x86_64__)
template <typename Sample>
__attribute__((target("avx"))) void StereoPair(const Sample* a, const Sample* b, const Coeffs& hc,
                                               const Coeffs& lc, int64_t warm, int64_t blocks,
                                               int64_t length, double* outA, double* outB) {
  PairKernel<Lanes4, 2>(a, b, hc, lc, warm, blocks, length, outA, outB);
}
bool HasAvx() {
  static const bool has = __builtin_cpu_supports("avx");
  return has;
}
#else
template <typename Sample>
void StereoPair(const Sample*, const Sample*, const Coeffs&, const Coeffs&, int64_t, int64_t,
                int64_t, double*, double*) {}
bool HasAvx() { return false; }
#endif

bool IsNonFinite(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return (bits & 0x7f800000u) == 0x7f800000u;
}

}  // namespace

// The band's high-pass and low-pass sections, and the state of a run's
// filters for each pair of channels.
struct BandLevels::Filters {
  Coeffs high, low;
  using Pair = std::pair<Section<Lanes>, Section<Lanes>>;
  std::vector<Pair> pairs;

  void Reset() {
    std::fill(pairs.begin(), pairs.end(), Pair{Section<Lanes>(high), Section<Lanes>(low)});
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
      const Sample* x = forward ? in : in + (blocks * length - 1) * channels;
      for (int64_t b = 0; b < blocks; ++b) {
        Lanes sum{};
        for (int64_t i = 0; i < length; ++i, x += step) {
          Lanes y{double(x[c0]), double(x[c1])};
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
                         {Section<Lanes>(mFilters->high), Section<Lanes>(mFilters->low)});
  // The filters settle within a few milliseconds; 20 of them are run
  // through before the first block of a run.
  mWarmUp = info.samplerate / 50;
  // Reads of whole blocks, about 4096 frames at a time.
  mChunk = mBlock * std::max<int64_t>(1, 4096 / mBlock);
  mLoudest.resize(size_t(mChunk / mBlock));
  // 16-bit samples are read as they lie in the file, with no conversion
  // pass.
  const int major = info.format & SF_FORMAT_TYPEMASK;
  mShorts = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 &&
            (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64 ||
             major == SF_FORMAT_W64 || major == SF_FORMAT_AIFF || major == SF_FORMAT_RAW);
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

void BandLevels::Forward(int64_t first, int64_t count, std::vector<double>& out) {
  out.clear();
  Start(first, Pass::kForward);
  Next(count, out);
}

// Side by side in the lanes when they can be: both whole in the file and
// with as long a warm-up; the shorter then runs on as far as the longer.
void BandLevels::ForwardPair(int64_t firstA, int64_t countA, std::vector<double>& a,
                             int64_t firstB, int64_t countB, std::vector<double>& b) {
  const int64_t count = std::max(countA, countB), warm = std::min(mWarmUp, firstA * mBlock);
  const bool lanes = mChannels == 1 || (mChannels == 2 && HasAvx());
  if (count > 0 && lanes && warm == std::min(mWarmUp, firstB * mBlock) &&
      Whole(firstA, count, warm, mStretchA) && Whole(firstB, count, warm, mStretchB)) {
    a.resize(size_t(count)), b.resize(size_t(count));
    const Filters& f = *mFilters;
    auto pair = [&](const auto* x, const auto* y) {
      if (mChannels == 1)
        MonoPair(x, y, f.high, f.low, warm, count, mBlock, a.data(), b.data());
      else
        StereoPair(x, y, f.high, f.low, warm, count, mBlock, a.data(), b.data());
    };
    if (mShorts)
      pair(mStretchA.shorts.data(), mStretchB.shorts.data());
    else
      pair(mStretchA.floats.data(), mStretchB.floats.data());
    for (double& x : a) x /= double(mBlock);
    for (double& x : b) x /= double(mBlock);
    return;
  }
  Forward(firstA, countA, a);
  Forward(firstB, countB, b);
}

// The warm-up and `count` whole blocks from `first`, if the file has them.
bool BandLevels::Whole(int64_t first, int64_t count, int64_t warm, Samples& to) {
  const int64_t begin = first * mBlock - warm, end = (first + count) * mBlock;
  return end <= mPresent && Read(begin, end, to) == end - begin;
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
  mBufEnd = begin + Read(begin, end, mSamples);
}

// Frames [begin, end) into `to`; how many the file had.
int64_t BandLevels::Read(int64_t begin, int64_t end, Samples& to) {
  end = std::min(end, mPresent);
  if (end <= begin) return 0;
  const auto size = size_t((end - begin) * mChannels);
  sf_count_t got = 0;
  if (sf_seek(mFile.get(), begin, SEEK_SET) == begin) {
    if (mShorts) {
      to.shorts.resize(size);
      got = sf_readf_short(mFile.get(), to.shorts.data(), end - begin);
    } else {
      to.floats.resize(size);
      got = sf_readf_float(mFile.get(), to.floats.data(), end - begin);
    }
  }
  got = std::max<sf_count_t>(got, 0);
  if (begin + got < end) mPresent = begin + got;
  // A non-finite sample counts as 0, as in the detector. Looking for one
  // bit by bit keeps the look cheap.
  uint32_t nonFinite = 0;
  if (!mShorts)
    for (float x : to.floats) nonFinite |= uint32_t(IsNonFinite(x));
  if (nonFinite)
    for (float& x : to.floats)
      if (IsNonFinite(x)) x = 0;
  return got;
}
