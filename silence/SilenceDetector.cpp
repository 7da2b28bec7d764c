// The silence detector: a frame producer that streams a file range through the
// loudness model, and a classifier that turns the loudness of each analysis
// frame into silence and sound marks.
#include "SilenceDetector.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <system_error>
#include <thread>

#include "Diag.h"
#include "SpezLautheit.h"
#include "generalstruct.h"

namespace {

constexpr int32_t kBands = 25;
constexpr float kLowFreq = 16.0f;
constexpr float kLevelOffset = 94.0f;  // dB SPL that full scale stands for
// Frames per libsndfile read. The analysis advances 5 ms at a time, but
// reading a few hundred milliseconds at once keeps the per-call cost of the
// file layer out of the frame loop. The observable stream is the same as
// with one read per hop: positions, the short last read and the end of the
// range come out identical.
constexpr int32_t kReadBlockFrames = 16384;

struct SndFileCloser {
  void operator()(SNDFILE* f) const noexcept { sf_close(f); }
};
using SndFileHandle = std::unique_ptr<SNDFILE, SndFileCloser>;

float UpperFrequency(int32_t iRate) {
  float half = static_cast<float>(iRate) / 2.0f;
  return half < 24000.0f ? half : 24000.0f;
}

// 5 ms truncated. Done in double: 0.005 as a double lies just above 5 ms, so
// exact products such as 48000 * 0.005 = 240 do not truncate to 239.
int32_t HopFor(int32_t iRate) { return static_cast<int32_t>(iRate * 0.005); }

int32_t FrameLengthFor(int32_t iRate, vx::generalstruct& gs) {
  int32_t n = 0;
  vx::SpezLautheitFFTLength(static_cast<float>(iRate), kBands, kLowFreq, UpperFrequency(iRate), n,
                            gs);
  return n;
}

// File frame count as the detector's 32-bit positions see it: the low 32
// bits of libsndfile's count. A file claiming 2^31 .. 2^32 - 1 frames gets a
// negative count, which the range checks refuse at once instead of
// analysing up to 2^31 - 1 frames.
int32_t FrameCount(const SF_INFO& iInfo) {
  return static_cast<int32_t>(static_cast<uint32_t>(iInfo.frames & 0xFFFFFFFF));
}

// Streams a range of a file as mono analysis frames and yields the total
// loudness of each. All buffers are sized once in Open; the frame loop
// allocates nothing.
class FrameProducer {
 public:
  // Set-up checks and prefill; prints the failure and returns -1 or 1, or 0.
  int Open(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp);

  // Computes the next analysis frame. False when the range is exhausted.
  bool Next(float& oLoudness, int32_t& oFramesRead, bool& oLast);

  // A second producer over the same range, positioned so that its next
  // frame is iFirstFrame, with a fresh model (no checks, no prefill: this
  // producer already passed them). False when the file does not open.
  bool OpenLike(const FrameProducer& iOther, int64_t iFirstFrame);

  const FrameLayout& Layout() const { return mLayout; }
  int32_t RangeLength() const { return mRangeLen; }
  int64_t FrameIndex() const { return mFrameIndex; }

  // The only thing the model carries from one frame to the next that enters
  // a frame's total loudness: the masked threshold of the bands (the extra
  // entry above them only feeds itself).
  bool SameModelState(const FrameProducer& iOther) const {
    const auto& a = mModel.hoerschw_data.mithoerschw;
    const auto& b = iOther.mModel.hoerschw_data.mithoerschw;
    if (a.size() < kBands || b.size() < kBands) return false;
    return std::memcmp(a.data(), b.data(), kBands * sizeof(float)) == 0;
  }

 private:
  // Reads up to iWant frames of the range into the mono buffer.
  void Read(int32_t iWant);

  std::string mFileName;
  int32_t mStartSmp = 0;
  SndFileHandle mFile;
  int32_t mChannels = 0;
  int32_t mRangeLen = 0;
  FrameLayout mLayout;
  float mUpperFreq = 0.0f;
  vx::generalstruct mModel;

  // The mono stream of the range, preceded by N/2 zeros so that the first
  // frame is centred on the range start. mMono[i] is stream position
  // mBufStart + i; positions up to mTotalRead - 1 are filled.
  std::vector<float> mMono;
  std::vector<float> mInterleaved;
  std::vector<float> mBands;
  int64_t mBufStart = 0;
  int64_t mTotalRead = 0;
  bool mEnd = false;  // the range or the file has no more frames
  int64_t mFrameIndex = 0;
  bool mDone = false;
};

int FrameProducer::Open(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp) {
  SF_INFO info{};
  mFile.reset(sf_open(iFileName.c_str(), SFM_READ, &info));
  if (!mFile) {
    vx::DiagErr("SilenceDetector: Error: Not able to open current file " + iFileName);
    return -1;
  }
  const int32_t fileFrames = FrameCount(info);
  if (iStartSmp < 0 || iLenSmp < 0) {
    vx::DiagErr("SilenceDetector: Error: negatif iStartSmp and/or iLenSmp");
    return -1;
  }
  if (iStartSmp >= fileFrames) {
    vx::DiagErr("SilenceDetector: Error: iStartSmp superior to number of samples of file");
    return -1;
  }
  if (static_cast<int64_t>(iStartSmp) + iLenSmp > fileFrames) {
    vx::DiagErr(
        "SilenceDetector: Error: iStartSmp+iLenSmp superior to number of samples of file, "
        "iLenSmp put too good value");
    iLenSmp = fileFrames - iStartSmp;
  }
  const int32_t rate = info.samplerate;
  if (rate < 44100) {
    vx::DiagErr("SilenceDetector: Seems not to be working for rates lower 44100");
    return 1;
  }
  mUpperFreq = UpperFrequency(rate);
  mLayout.sampleRate = rate;
  mLayout.hop = HopFor(rate);
  mLayout.frameLen = FrameLengthFor(rate, mModel);
  const int32_t n = mLayout.frameLen;
  const int32_t h = mLayout.hop;
  // The length check comes before the buffers: N grows with the header's
  // sample rate (2^30 floats at 2^31 Hz), and a range too short to fill one
  // frame must not cost that allocation.
  if (iLenSmp <= n + h) {
    std::ostringstream line;
    line << "SilenceDetector: not enough sample too read / file too short, minimum length : "
         << (n + h + 1) << " samples / "
         << static_cast<float>(n + h + 1) / static_cast<float>(rate) << " seconds";
    vx::DiagErr(line.str());
    return 1;
  }
  try {
    // Room for one frame ahead of a whole read block, so that a refill never
    // has to move more than the tail of the current frame.
    mMono.assign(static_cast<size_t>(n) + kReadBlockFrames, 0.0f);
    mBands.assign(kBands + 1, 0.0f);
    mInterleaved.assign(static_cast<size_t>(kReadBlockFrames) * 2, 0.0f);
  } catch (const std::bad_alloc&) {
    vx::DiagErr("SilenceDetector: insufficient memory");
    return 1;
  }

  // The analysis stops at the end of the requested range, not at the end of
  // the file: a range is a promise about which frames are looked at, and
  // marks beyond it would be positions the caller never asked about.
  mRangeLen = iLenSmp;
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
      return 1;
    }
  }
  return 0;
}

bool FrameProducer::OpenLike(const FrameProducer& iOther, int64_t iFirstFrame) {
  SF_INFO info{};
  mFile.reset(sf_open(iOther.mFileName.c_str(), SFM_READ, &info));
  if (!mFile || info.channels != iOther.mChannels) return false;
  mFileName = iOther.mFileName;
  mStartSmp = iOther.mStartSmp;
  mChannels = iOther.mChannels;
  mRangeLen = iOther.mRangeLen;
  mLayout = iOther.mLayout;
  mUpperFreq = iOther.mUpperFreq;
  const int32_t n = mLayout.frameLen;
  mMono.assign(static_cast<size_t>(n) + kReadBlockFrames, 0.0f);
  mBands.assign(kBands + 1, 0.0f);
  mInterleaved.assign(static_cast<size_t>(kReadBlockFrames) * 2, 0.0f);
  mFrameIndex = iFirstFrame;
  mBufStart = iFirstFrame * mLayout.hop - n / 2;
  // Callers start far enough in for the window to lie inside the range.
  if (mBufStart < 0) return false;
  mTotalRead = mBufStart;
  if (mTotalRead >= mRangeLen || sf_seek(mFile.get(), mStartSmp + mBufStart, SEEK_SET) < 0)
    mEnd = true;
  return true;
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
  // A NaN or infinite sample (a damaged float file) would poison the model's
  // masked threshold, which carries over from frame to frame, and with it
  // every later frame; it counts as silence instead. x - x is 0 exactly for
  // finite x only, a test the compiler can vectorise.
  auto finiteOrZero = [](float x) { return x - x == 0.0f ? x : 0.0f; };
  if (mChannels == 1) {
    got = sf_readf_float(mFile.get(), out, want);
    for (sf_count_t i = 0; i < got; ++i) out[i] = finiteOrZero(out[i]);
  } else if (mChannels == 2) {
    got = sf_readf_float(mFile.get(), mInterleaved.data(), want);
    const float* in = mInterleaved.data();
    for (sf_count_t i = 0; i < got; ++i) out[i] = finiteOrZero(0.5f * (in[2 * i] + in[2 * i + 1]));
  }
  // Other channel counts read nothing: the detector analyses mono and stereo
  // only, and the prefill or the first frame then reports a short file.
  if (got < 0) got = 0;
  mTotalRead += got;
  if (got < want || mTotalRead >= mRangeLen) mEnd = true;
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

  vx::SpezLautheitByFFT(mMono.data() + (windowStart - mBufStart), n, mBands.data(), kBands, h,
                        static_cast<float>(mLayout.sampleRate), kLowFreq, mUpperFreq,
                        kLevelOffset, mModel);
  float total = 0.0f;
  for (int32_t b = 0; b < kBands; ++b) total += mBands[static_cast<size_t>(b)];
  oLoudness = total;
  ++mFrameIndex;
  return true;
}

// The analysis is split into chunks of consecutive frames computed side by
// side, each by a producer of its own. The model carries one thing from frame
// to frame, the masked threshold, and that memory fades by 500 dB per second
// down to the threshold in quiet: a producer started a little over a second
// ahead of its chunk has, by the chunk's first frame, the very state the
// serial run has there. That is checked, bit for bit, at every chunk
// boundary; where it fails (a float file with values far beyond full scale,
// whose threshold never fades) the chunk is recomputed serially. Either way
// the frames come out exactly as one serial pass gives them.
constexpr int32_t kDefaultChunkFrames = 8192;  // 41 s at 44.1 kHz
constexpr int32_t kWarmUpFrames = 256;         // 1.28 s of fading
std::atomic<int32_t> gThreads{0};
std::atomic<int32_t> gChunkFrames{0};

struct FrameResult {
  float loudness;
  int32_t framesRead;
  bool last;
};

class LoudnessStream {
 public:
  explicit LoudnessStream(std::unique_ptr<FrameProducer> iFirst) : mCarry(std::move(iFirst)) {
    int32_t threads = gThreads.load();
    if (threads <= 0) threads = static_cast<int32_t>(std::thread::hardware_concurrency());
    mThreads = std::clamp(threads, 1, 8);
    int32_t chunk = gChunkFrames.load();
    mChunk = chunk > 0 ? std::max(chunk, kWarmUpFrames) : kDefaultChunkFrames;
  }

  bool Next(float& oLoudness, int32_t& oFramesRead, bool& oLast) {
    if (mThreads == 1) return mCarry->Next(oLoudness, oFramesRead, oLast);
    if (mPos == mReady.size()) {
      if (mEnded) return false;
      NextRound();
      if (mReady.empty()) return false;
    }
    const FrameResult& f = mReady[mPos++];
    oLoudness = f.loudness;
    oFramesRead = f.framesRead;
    oLast = f.last;
    return true;
  }

 private:
  struct Chunk {
    std::unique_ptr<FrameProducer> producer;
    std::vector<FrameResult> frames;
    bool ok = false;  // the warm-up ran through and the frames are computed
  };

  // Up to iCount frames from ioProducer; false once the last one is out.
  static bool Compute(FrameProducer& ioProducer, int64_t iCount, std::vector<FrameResult>& oOut) {
    FrameResult f{};
    for (int64_t k = 0; k < iCount; ++k) {
      if (!ioProducer.Next(f.loudness, f.framesRead, f.last)) return false;
      oOut.push_back(f);
      if (f.last) return false;
    }
    return true;
  }

  static void RunWorker(Chunk& ioChunk, int64_t iFrames) {
    try {
      std::vector<FrameResult> warm;
      warm.reserve(kWarmUpFrames);
      if (!Compute(*ioChunk.producer, kWarmUpFrames, warm)) return;
      ioChunk.frames.reserve(static_cast<size_t>(iFrames));
      Compute(*ioChunk.producer, iFrames, ioChunk.frames);
      ioChunk.ok = true;
    } catch (const std::bad_alloc&) {
      ioChunk.ok = false;  // recomputed serially
    }
  }

  void NextRound() {
    mReady.clear();
    mPos = 0;
    // The first chunk of a round continues the serial state; the others
    // start a warm-up ahead on producers of their own. Files are opened here,
    // on the calling thread, before any worker runs.
    std::vector<Chunk> chunks(static_cast<size_t>(mThreads));
    for (size_t i = 1; i < chunks.size(); ++i) {
      auto p = std::make_unique<FrameProducer>();
      const int64_t first = mCarry->FrameIndex() + static_cast<int64_t>(i) * mChunk;
      // No worker for a chunk that would start past the end of the range.
      if (first * mCarry->Layout().hop >= mCarry->RangeLength()) break;
      if (p->OpenLike(*mCarry, first - kWarmUpFrames)) chunks[i].producer = std::move(p);
    }
    std::vector<std::thread> workers;
    for (size_t i = 1; i < chunks.size(); ++i) {
      if (!chunks[i].producer) continue;
      try {
        workers.emplace_back(&LoudnessStream::RunWorker, std::ref(chunks[i]), int64_t{mChunk});
      } catch (const std::system_error&) {
        RunWorker(chunks[i], mChunk);
      }
    }
    bool more = true;
    try {
      more = Compute(*mCarry, mChunk, mReady);
    } catch (...) {
      for (auto& t : workers) t.join();
      throw;
    }
    for (auto& t : workers) t.join();

    for (size_t i = 1; i < chunks.size() && more; ++i) {
      Chunk& c = chunks[i];
      // Also a chunk without a worker: the serial pass finds the range end.
      if (c.ok && c.producer->SameModelState(*mCarry)) {
        // Verified: the worker's frames are the serial frames.
        more = !c.frames.empty() && c.frames.size() == static_cast<size_t>(mChunk) &&
               !c.frames.back().last;
        mReady.insert(mReady.end(), c.frames.begin(), c.frames.end());
        mCarry = std::move(c.producer);
      } else {
        more = Compute(*mCarry, mChunk, mReady);
      }
    }
    if (!more) mEnded = true;
  }

  int32_t mThreads = 1;
  int32_t mChunk = kDefaultChunkFrames;
  // The producer whose model holds the serial state after the last frame
  // handed out (or about to be).
  std::unique_ptr<FrameProducer> mCarry;
  std::vector<FrameResult> mReady;
  size_t mPos = 0;
  bool mEnded = false;
};

// Two-state hysteresis over the loudness of successive frames, gathering
// silence marks into the caller's list and sound marks into its own, then the
// mark post-processing.
class FrameClassifier {
 public:
  FrameClassifier(float iSilenceLoudness, float iModulationLoudness, float iMinSilenceDuration,
                  float iMinSoundDuration, int32_t iVerbose, int32_t iFrameLen,
                  int32_t iSampleRate, std::vector<MarkData>& oSilenceData)
      : mSil(iSilenceLoudness),
        mMod(iModulationLoudness == 0.0f ? 2.0f * iSilenceLoudness : iModulationLoudness),
        mWeight(-1.0f / std::max(mSil, mMod)),
        mMinSilence(iMinSilenceDuration),
        mMinSound(iMinSoundDuration),
        mVerbose(iVerbose),
        mHalfFrame(iFrameLen / 2),
        mRate(iSampleRate),
        mSilences(oSilenceData) {}

  void PrintParameters() const;
  // One analysis frame: its loudness, the frames read up to it, and whether
  // it is the last of the stream.
  void Frame(float iLoudness, int32_t iFramesRead, bool iLast);
  int Finish() {
    return ProcessMarks(mSounds, mSilences, static_cast<float>(mRate), mMinSound, mMinSilence,
                        mVerbose);
  }

 private:
  void AddFrame(MarkData& ioMark, float iLoudness, float iWeight) {
    ++ioMark.nbFrames;
    ioMark.loudMean += iLoudness;
    ioMark.loudStdErr += iLoudness * iLoudness;
    ioMark.noiseLoudMean += iWeight;
  }
  static MarkData OpenMark(int32_t iCentre, float iLoudness, float iWeight) {
    MarkData m;
    m.area.start = iCentre;
    m.nbFrames = 1;
    m.loudMean = iLoudness;
    m.loudStdErr = iLoudness * iLoudness;
    m.noiseLoudMean = iWeight;
    return m;
  }
  void CloseSilence(int32_t iEnd, float iLoudness, int32_t iCentre, bool iFinal);
  void CloseSound(int32_t iEnd, float iLoudness, int32_t iCentre);
  void Report(const MarkData& iMark, const char* iRule, float iLoudness, int iSilence,
              int32_t iCentre, bool iWithNoise) const;

  const float mSil;
  const float mMod;
  const float mWeight;
  const float mMinSilence;
  const float mMinSound;
  const int32_t mVerbose;
  const int32_t mHalfFrame;
  const int32_t mRate;
  std::vector<MarkData>& mSilences;
  std::vector<MarkData> mSounds;
  bool mInSilence = true;
  MarkData mSilence;
  MarkData mSound;
};

void FrameClassifier::PrintParameters() const {
  if (!mVerbose) return;
  vx::DiagOut("Analysis parameters:");
  std::ostringstream l1, l2, l3, l4;
  l1 << "\tSilence loudness " << mSil << " sone";
  l2 << "\tModulation loudness " << mMod << " sone";
  l3 << "\tMinimal silence duration " << mMinSilence << " sec";
  l4 << "\tMinimal sound duration " << mMinSound << " sec";
  vx::DiagOut(l1.str());
  vx::DiagOut(l2.str());
  vx::DiagOut(l3.str());
  vx::DiagOut(l4.str());
}

void FrameClassifier::Report(const MarkData& iMark, const char* iRule, float iLoudness,
                             int iSilence, int32_t iCentre, bool iWithNoise) const {
  if (!mVerbose) return;
  auto line = [](auto&&... parts) {
    std::ostringstream s;
    (s << ... << parts);
    vx::DiagOut(s.str());
  };
  line(iRule);
  line("current loudness : ", iLoudness);
  line("silence : ", iSilence);
  line("time : ", static_cast<float>(iCentre) / static_cast<float>(mRate));
  line("silenceSmpBegin : ", iMark.area.start);
  line("silenceSmpEnd : ", iMark.area.end);
  line("nbFrames : ", iMark.nbFrames);
  line("loudMean : ", iMark.RunningMean());
  line("tmpPow : ", iMark.loudStdErr);
  line("loudStdErr : ", iMark.RunningSpread());
  if (iWithNoise) line("noiseLoudMean : ", iMark.noiseLoudMean);
}

void FrameClassifier::CloseSilence(int32_t iEnd, float iLoudness, int32_t iCentre, bool iFinal) {
  mSilence.area.end = iEnd;
  mSilence.noiseLoudMean /= static_cast<float>(mSilence.nbFrames);
  mSilences.push_back(mSilence);
  Report(mSilence, iFinal ? "==================" : "===============", iLoudness,
         iFinal ? 1 : 0, iCentre, true);
}

void FrameClassifier::CloseSound(int32_t iEnd, float iLoudness, int32_t iCentre) {
  mSound.area.end = iEnd;
  mSounds.push_back(mSound);
  Report(mSound, "===============", iLoudness, mInSilence ? 1 : 0, iCentre, false);
}

void FrameClassifier::Frame(float iLoudness, int32_t iFramesRead, bool iLast) {
  const float l = iLoudness;
  const int32_t c = iFramesRead - mHalfFrame;
  const int32_t lastRead = iFramesRead - 1;
  const float w = 1.0f + l * mWeight;
  // Comparisons are written so that a NaN loudness keeps the current state.
  if (mInSilence) {
    if (l > mMod || iLast) {
      // A silence that would end where it starts (the first frame already
      // loud, or a last frame that brought nothing) is no silence at all.
      if (mSilence.area.start < c) CloseSilence(l > mMod ? c : lastRead, l, c, false);
      mSound = OpenMark(c, l, 0.0f);
      mInSilence = false;
    } else {
      AddFrame(mSilence, l, w);
    }
  } else {
    if (l < mSil || iLast) {
      mInSilence = true;
      CloseSound(l < mSil ? c : lastRead, l, c);
      mSilence = OpenMark(c, l, w);
    } else {
      AddFrame(mSound, l, 0.0f);
    }
  }
  if (!iLast) return;
  // The mark the last frame opened lasts that one frame; it counts only when
  // the frame is clearly of its kind.
  if (!mInSilence) {
    if (l > mMod) CloseSound(lastRead, l, c);
  } else {
    if (l < mSil) CloseSilence(lastRead, l, c, true);
  }
}

}  // namespace

void SetAnalysisParallelism(int32_t iThreads, int32_t iChunkFrames) {
  gThreads.store(iThreads);
  gChunkFrames.store(iChunkFrames);
}

int32_t AnalysisFrameLength(int32_t iSampleRate) {
  vx::generalstruct model;
  return FrameLengthFor(iSampleRate, model);
}

int32_t FrameCentre(const FrameLayout& iLayout, size_t iIndex, size_t iCount) {
  if (iIndex + 1 == iCount) return iLayout.framesRead - iLayout.frameLen / 2;
  return static_cast<int32_t>(iIndex) * iLayout.hop;
}

std::string AnalysisRefusal(const std::string& iFileName, int32_t& oSampleRate, int64_t& oFrames) {
  SF_INFO info{};
  SndFileHandle file(sf_open(iFileName.c_str(), SFM_READ, &info));
  oSampleRate = 0;
  oFrames = 0;
  if (!file) return std::string("not a sound file that can be read (") + sf_strerror(nullptr) + ")";
  oSampleRate = info.samplerate;
  oFrames = info.frames;
  if (info.channels > 2)
    return "has " + std::to_string(info.channels) +
           " channels; only mono and stereo files are analysed";
  if (info.samplerate < 44100)
    return "sample rate " + std::to_string(info.samplerate) +
           " Hz is below 44100 Hz, the lowest rate the loudness analysis supports";
  if (info.frames > std::numeric_limits<int32_t>::max())
    return "has " + std::to_string(info.frames) + " frames, more than the " +
           std::to_string(std::numeric_limits<int32_t>::max()) + " the detector can address";
  vx::generalstruct model;
  const int64_t minimum = FrameLengthFor(info.samplerate, model) + HopFor(info.samplerate) + 1;
  if (info.frames < minimum) {
    std::ostringstream why;
    why << "too short: " << info.frames << " frames, the analysis needs at least " << minimum
        << " (" << static_cast<double>(minimum) / info.samplerate << " s)";
    return why.str();
  }
  return {};
}

int ComputeFrameLoudness(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp,
                         std::vector<float>& oLoudness, FrameLayout& oLayout) {
  oLoudness.clear();
  auto producer = std::make_unique<FrameProducer>();
  if (int r = producer->Open(iFileName, iStartSmp, iLenSmp)) return r;
  oLayout = producer->Layout();
  // One slot per hop of the range, reserved up front so that the list never
  // doubles (and briefly triples) its memory while it grows.
  oLoudness.reserve(static_cast<size_t>(producer->RangeLength() / oLayout.hop + 2));
  LoudnessStream stream(std::move(producer));
  float l = 0.0f;
  int32_t framesRead = 0;
  bool last = false;
  while (stream.Next(l, framesRead, last)) oLoudness.push_back(l);
  oLayout.framesRead = framesRead;
  return 0;
}

int ComputeFrameLoudness(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp,
                         std::vector<float>& oLoudness, int32_t& oHop, int32_t& oSampleRate) {
  FrameLayout layout;
  int r = ComputeFrameLoudness(iFileName, iStartSmp, iLenSmp, oLoudness, layout);
  oHop = layout.hop;
  oSampleRate = layout.sampleRate;
  return r;
}

int ClassifyFrames(const std::vector<float>& iLoudness, float iSilenceLoudness,
                   float iModulationLoudness, float iMinSilenceDuration, float iMinSoundDuration,
                   int32_t iVerbose, std::vector<MarkData>& oSilenceData, int32_t iFrameLen,
                   int32_t iHop, int32_t iSampleRate, int32_t iFramesRead) {
  oSilenceData.clear();
  FrameClassifier classifier(iSilenceLoudness, iModulationLoudness, iMinSilenceDuration,
                             iMinSoundDuration, iVerbose, iFrameLen, iSampleRate, oSilenceData);
  classifier.PrintParameters();
  // Frame k ended a full hop after its predecessor, except the last one,
  // which ended where the stream did.
  const int32_t firstRead = iFrameLen - iFrameLen / 2;
  for (size_t k = 0; k < iLoudness.size(); ++k) {
    const bool last = k + 1 == iLoudness.size();
    const int32_t framesRead =
        last ? iFramesRead : firstRead + static_cast<int32_t>(k) * iHop;
    classifier.Frame(iLoudness[k], framesRead, last);
  }
  return classifier.Finish();
}

int SilenceDetector(const std::string& iFileName, std::vector<MarkData>& oSilenceData,
                    int32_t iStartSmp, int32_t iLenSmp, float iSilenceLoudness,
                    float iModulationLoudness, float iMinSilenceDuration, float iMinSoundDuration,
                    int32_t iVerbose) {
  oSilenceData.clear();
  auto producer = std::make_unique<FrameProducer>();
  if (int r = producer->Open(iFileName, iStartSmp, iLenSmp)) return r;
  const FrameLayout layout = producer->Layout();
  LoudnessStream stream(std::move(producer));
  FrameClassifier classifier(iSilenceLoudness, iModulationLoudness, iMinSilenceDuration,
                             iMinSoundDuration, iVerbose, layout.frameLen, layout.sampleRate,
                             oSilenceData);
  classifier.PrintParameters();
  float l = 0.0f;
  int32_t framesRead = 0;
  bool last = false;
  while (stream.Next(l, framesRead, last)) classifier.Frame(l, framesRead, last);
  return classifier.Finish();
}

int SilenceDetector(const std::string& iFileName, std::vector<MarkData>& oSilenceData,
                    float iSilenceLoudness, float iModulationLoudness, float iMinSilenceDuration,
                    float iMinSoundDuration, int32_t iVerbose) {
  SF_INFO info{};
  int32_t frames = 0;
  {
    SndFileHandle file(sf_open(iFileName.c_str(), SFM_READ, &info));
    if (!file) {
      vx::DiagErr("SilenceDetector: Error: Not able to open current file " + iFileName);
      return -1;
    }
    frames = FrameCount(info);
  }
  return SilenceDetector(iFileName, oSilenceData, 0, frames, iSilenceLoudness,
                         iModulationLoudness, iMinSilenceDuration, iMinSoundDuration, iVerbose);
}
