#include "FrameProducer.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <sstream>
#include <type_traits>

#include "AnalysisFrame.h"
#include "AnalysisPreconditions.h"
#include "Diag.h"
#include "SpezLautheit.h"
#include "SpezLautheitFast.h"

namespace vxsilence {

namespace {

// Frames per libsndfile read. The analysis advances 5 ms at a time, but
// reading a few hundred milliseconds at once keeps the per-call cost of the
// file layer out of the frame loop. The observable stream is the same as
// with one read per hop: positions, the short last read and the end of the
// range come out identical.
constexpr int32_t kReadBlockFrames = 16384;

// A NaN or infinite sample (a damaged float file) would poison the model's
// masked threshold, which carries over from frame to frame, and with it
// every later frame; it counts as silence instead. x - x is 0 exactly for
// finite x only, a test the compiler can vectorise.
inline float FiniteOrZero(float x) { return x - x == 0.0f ? x : 0.0f; }

// 16-bit samples are read as stored and scaled here: libsndfile's float for
// one is s * 2^-15, exact, and every step below is exact too, so the stream
// is the one its float reading gives, without its conversion pass.
constexpr float kShortScale = 1.0f / 32768.0f;

// The mono stream from what one read brought. Stereo is not the engine's
// mono view (the mean of all channels, summed in double): the loudness, and
// so every mark, is defined on this float half-sum, and the detector
// analyses mono and stereo only.
template <typename Sample>
[[gnu::always_inline]] inline void MonoOf(const Sample* in, int32_t channels, int64_t frames,
                                          float* out) {
  auto value = [](Sample x) {
    if constexpr (std::is_same_v<Sample, short>)
      return kShortScale * static_cast<float>(x);
    else
      return x;
  };
  auto clean = [](float x) {
    if constexpr (std::is_same_v<Sample, short>)
      return x;
    else
      return FiniteOrZero(x);
  };
  if (channels == 1)
    for (int64_t i = 0; i < frames; ++i) out[i] = clean(value(in[i]));
  else
    for (int64_t i = 0; i < frames; ++i)
      out[i] = clean(0.5f * (value(in[2 * i]) + value(in[2 * i + 1])));
}

// The same operations on wider lanes where the processor has them (chosen
// here rather than by the loader, which sanitizer runtimes do not survive),
// so the stream does not depend on the processor.
#if defined(__x86_64__)
template <typename Sample>
[[gnu::target("avx2")]] void MonoOfAvx2(const Sample* in, int32_t channels, int64_t frames,
                                        float* out) {
  MonoOf(in, channels, frames, out);
}
#endif

template <typename Sample>
void ToMono(const Sample* in, int32_t channels, int64_t frames, float* out) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return MonoOfAvx2(in, channels, frames, out);
#endif
  MonoOf(in, channels, frames, out);
}

}  // namespace

void SndFileCloser::operator()(SNDFILE* f) const noexcept { sf_close(f); }

void FrameProducer::AllocateBuffers() {
  // Room for one frame ahead of a whole read block, so that a refill never
  // has to move more than the tail of the current frame.
  mMono.assign(static_cast<size_t>(mLayout.frameLen) + kReadBlockFrames, 0.0f);
  mBands.assign(kBands + 1, 0.0f);
  mStateBefore.assign(kBands + 1, 0.0f);
  if (mShorts)
    mInterleavedShorts.assign(static_cast<size_t>(kReadBlockFrames) * 2, 0);
  else
    mInterleaved.assign(static_cast<size_t>(kReadBlockFrames) * 2, 0.0f);
}

int FrameProducer::Open(const std::string& iFileName, int32_t iStartSmp,
                        std::optional<int32_t> iLenSmp) {
  SF_INFO info{};
  mFile.reset(sf_open(iFileName.c_str(), SFM_READ, &info));
  AnalysisSubject range{iFileName, Opened(), info, iStartSmp, iLenSmp.value_or(FrameCount(info)),
                        mModel};
  if (int r = CheckForDetector(range)) return r;

  const int32_t rate = info.samplerate;
  mShorts = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  mUpperFreq = UpperFrequency(rate);
  mLayout.sampleRate = rate;
  mLayout.hop = HopFor(rate);
  mLayout.frameLen = FrameLengthFor(rate, mModel);
  const int32_t n = mLayout.frameLen;
  const int32_t h = mLayout.hop;
  try {
    AllocateBuffers();
  } catch (const std::bad_alloc&) {
    vx::DiagErr("SilenceDetector: insufficient memory");
    return kDetectFailed;
  }

  // The analysis stops at the end of the requested range, not at the end of
  // the file: a range is a promise about which frames are looked at, and
  // marks beyond it would be positions the caller never asked about.
  mRangeLen = static_cast<int32_t>(range.length);
  mFileName = iFileName;
  mStartSmp = iStartSmp;
  mChannels = info.channels;
  if (sf_seek(mFile.get(), iStartSmp, SEEK_SET) < 0) mEnd = true;

  mBufStart = -(n / 2);
  mTotalRead = 0;

  // Prefill: the samples that precede the first hop inside the first frame.
  // Where the hop is longer than half a frame (51400 .. 53864 Hz and the
  // like) there is nothing to prefill: the first hop then reads the whole
  // second half of the first frame, so every sample is still analysed and
  // the frames stay centred on multiples of the hop.
  const int32_t prefill = n - n / 2 - h;
  if (prefill > 0) {
    Read(prefill);
    if (mTotalRead < prefill) {
      std::ostringstream line;
      line << "SilenceDetector : only " << mTotalRead << " input samples. File too short";
      vx::DiagErr(line.str());
      return kDetectFailed;
    }
  }
  return kDetectOk;
}

bool FrameProducer::OpenLike(const FrameProducer& iOther, int64_t iFirstFrame) {
  SF_INFO info{};
  mFile.reset(sf_open(iOther.mFileName.c_str(), SFM_READ, &info));
  if (!mFile || info.channels != iOther.mChannels) return false;
  mFileName = iOther.mFileName;
  mStartSmp = iOther.mStartSmp;
  mChannels = iOther.mChannels;
  mShorts = iOther.mShorts;
  mArithmetic = iOther.mArithmetic;
  mRangeLen = iOther.mRangeLen;
  mLayout = iOther.mLayout;
  mUpperFreq = iOther.mUpperFreq;
  AllocateBuffers();
  mFrameIndex = iFirstFrame;
  mBufStart = iFirstFrame * mLayout.hop - mLayout.frameLen / 2;
  // Callers start far enough in for the window to lie inside the range.
  if (mBufStart < 0) return false;
  mTotalRead = mBufStart;
  if (mTotalRead >= mRangeLen || sf_seek(mFile.get(), mStartSmp + mBufStart, SEEK_SET) < 0)
    mEnd = true;
  return true;
}

// The only thing the model carries from one frame to the next that enters a
// frame's total loudness is the masked threshold of the bands (the extra
// entry above them only feeds itself). Empty before the first frame.
std::vector<float> FrameProducer::CarriedState() const {
  const auto& m = mModel.hoerschw_data.mithoerschw;
  if (m.size() < kBands) return {};
  return {m.begin(), m.begin() + kBands};
}

void FrameProducer::Read(int32_t iWant) {
  const int64_t bufFill = mTotalRead - mBufStart;
  int64_t want = std::min<int64_t>(iWant, mRangeLen - mTotalRead);
  want = std::min<int64_t>(want, static_cast<int64_t>(mMono.size()) - bufFill);
  if (want <= 0 || mEnd) {
    mEnd = true;
    return;
  }
  float* out = mMono.data() + bufFill;
  sf_count_t got = 0;
  if (mChannels == 1 || mChannels == 2) {
    if (mShorts) {
      got = sf_readf_short(mFile.get(), mInterleavedShorts.data(), want);
      if (got > 0) ToMono(mInterleavedShorts.data(), mChannels, got, out);
    } else {
      float* in = mChannels == 1 ? out : mInterleaved.data();
      got = sf_readf_float(mFile.get(), in, want);
      if (got > 0) ToMono<float>(in, mChannels, got, out);
    }
  }
  // Other channel counts read nothing: the prefill or the first frame then
  // reports a short file.
  if (got < 0) got = 0;
  mTotalRead += got;
  if (got < want || mTotalRead >= mRangeLen) mEnd = true;
}

namespace {

// Bit for bit zero (a -0.0 is not). Sound frames are told apart within the
// first few samples, so the test costs next to nothing where it fails.
bool AllZero(const float* iSamples, int32_t iCount) {
  constexpr int32_t kStep = 16;
  for (int32_t i = 0; i < iCount; i += kStep) {
    uint32_t bits = 0;
    for (int32_t j = i; j < std::min(i + kStep, iCount); ++j) {
      uint32_t b;
      std::memcpy(&b, iSamples + j, sizeof b);
      bits |= b;
    }
    if (bits != 0) return false;
  }
  return true;
}

}  // namespace

// A frame's result depends on its samples and on the masked threshold the
// previous frame left, nothing else (the model's other tables are fixed once
// the first frame has set them up). So when a frame of zeros leaves that
// threshold bit for bit as it found it, the next frame of zeros meets the
// same samples and the same state, gives the same loudness and leaves the
// same state again: it need not be computed. Digital silence settles after
// the fading of the threshold, about a second at most.
float FrameProducer::Loudness(const float* iFrame) {
  const int32_t n = mLayout.frameLen;
  const bool zeros = AllZero(iFrame, n);
  if (zeros && mSettledOnZeros) return mZeroLoudness;
  std::vector<float>& state = mModel.hoerschw_data.mithoerschw;
  const bool canSettle = zeros && state.size() == mStateBefore.size();
  if (canSettle) std::memcpy(mStateBefore.data(), state.data(), state.size() * sizeof(float));

  const auto frame = mArithmetic == Arithmetic::kFast ? vx::SpezLautheitByFFTFast
                                                       : vx::SpezLautheitByFFT;
  frame(iFrame, n, mBands.data(), kBands, mLayout.hop, static_cast<float>(mLayout.sampleRate),
        kLowFreq, mUpperFreq, kLevelOffset, mModel);
  float total = 0.0f;
  for (int32_t b = 0; b < kBands; ++b) total += mBands[static_cast<size_t>(b)];

  mSettledOnZeros = canSettle && std::memcmp(mStateBefore.data(), state.data(),
                                             state.size() * sizeof(float)) == 0;
  mZeroLoudness = total;
  return total;
}

bool FrameProducer::Next(float& oLoudness, int32_t& oFramesRead, bool& oLast) {
  if (mDone) return false;
  const int32_t n = mLayout.frameLen;
  const int32_t h = mLayout.hop;
  const int64_t windowStart = mFrameIndex * h - n / 2;
  // Frames read once this frame's last hop is in: the prefill and one hop per
  // frame (the first hop covering all of the frame's second half).
  const int64_t need = windowStart + n;
  if (need > mTotalRead) {
    // Keep the samples of this frame that are already in and refill behind.
    const int64_t offset = windowStart - mBufStart;
    const int64_t keep = mTotalRead - windowStart;
    std::memmove(mMono.data(), mMono.data() + offset, static_cast<size_t>(keep) * sizeof(float));
    mBufStart = windowStart;
    while (need > mTotalRead && !mEnd) Read(kReadBlockFrames);
  }
  oLast = need > mTotalRead;
  if (oLast) {
    // The last, short read: the frames it brought stay in the frame ahead of
    // zeros, so the end of the range is analysed like everything before it.
    float* tail = mMono.data() + (mTotalRead - mBufStart);
    std::fill(tail, mMono.data() + (need - mBufStart), 0.0f);
    mDone = true;
  }
  oFramesRead = static_cast<int32_t>(oLast ? mTotalRead : need);

  oLoudness = Loudness(mMono.data() + (windowStart - mBufStart));
  ++mFrameIndex;
  return true;
}

}  // namespace vxsilence
