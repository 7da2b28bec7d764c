// Streams a range of a sound file as one mono signal, cut into analysis
// frames of N samples centred on every hop, and yields the total loudness in
// sone of each. All buffers are sized once when the range is opened; the
// frame loop allocates nothing.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SilenceDetector.h"
#include "generalstruct.h"

namespace vxsilence {

struct SndFileCloser {
  void operator()(SNDFILE* f) const noexcept;
};
using SndFileHandle = std::unique_ptr<SNDFILE, SndFileCloser>;

// How a frame's loudness is computed: the model as written, or with its
// elementary functions over vector lanes (within 1e-9 of it, same marks).
enum class Arithmetic { kModel, kFast };

class FrameProducer {
 public:
  explicit FrameProducer(Arithmetic iArithmetic = Arithmetic::kModel) : mArithmetic(iArithmetic) {}

  // Opens iFileName, runs the detector's preconditions over the range
  // (printing the failure), sizes the buffers and prefills the first frame.
  // No iLenSmp: up to the end of the file. Returns a DetectResult.
  int Open(const std::string& iFileName, int32_t iStartSmp, std::optional<int32_t> iLenSmp);

  // Computes the next analysis frame. False when the range is exhausted.
  bool Next(float& oLoudness, int32_t& oFramesRead, bool& oLast);

  // A second producer over the same range, positioned so that its next
  // frame is iFirstFrame, with a fresh model (no checks, no prefill: this
  // producer already passed them). False when the file does not open.
  bool OpenLike(const FrameProducer& iOther, int64_t iFirstFrame);

  bool Opened() const { return mFile != nullptr; }
  const FrameLayout& Layout() const { return mLayout; }
  int32_t RangeLength() const { return mRangeLen; }
  int64_t FrameIndex() const { return mFrameIndex; }

  // What the model carries into the next frame: the masked threshold of the
  // bands. Two producers that carry the same into the same frame compute the
  // same frames from there on.
  std::vector<float> CarriedState() const;

 private:
  // Reads up to iWant frames of the range into the mono buffer.
  void Read(int32_t iWant);
  void AllocateBuffers();
  // The loudness of the frame at iFrame, skipping the model where its
  // result is already known.
  float Loudness(const float* iFrame);

  std::string mFileName;
  int32_t mStartSmp = 0;
  SndFileHandle mFile;
  int32_t mChannels = 0;
  bool mShorts = false;  // 16-bit samples, read as stored
  int32_t mRangeLen = 0;
  FrameLayout mLayout;
  float mUpperFreq = 0.0f;
  Arithmetic mArithmetic;
  vx::generalstruct mModel;
  // A frame of zeros that left the model's state as it found it: every
  // following frame of zeros gives the same loudness and the same state.
  bool mSettledOnZeros = false;
  float mZeroLoudness = 0.0f;
  std::vector<float> mStateBefore;

  // The mono stream of the range, preceded by N/2 zeros so that the first
  // frame is centred on the range start. mMono[i] is stream position
  // mBufStart + i; positions up to mTotalRead - 1 are filled.
  std::vector<float> mMono;
  std::vector<float> mInterleaved;
  std::vector<short> mInterleavedShorts;
  std::vector<float> mBands;
  int64_t mBufStart = 0;
  int64_t mTotalRead = 0;
  bool mEnd = false;  // the range or the file has no more frames
  int64_t mFrameIndex = 0;
  bool mDone = false;
};

}  // namespace vxsilence
