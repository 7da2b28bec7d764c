// The frames of one producer, computed on several threads with exactly the
// values of one serial pass.
//
// The analysis is split into chunks of consecutive frames computed side by
// side, each by a producer of its own. The model carries one thing from frame
// to frame, the masked threshold, and that memory fades by 500 dB per second
// down to the threshold in quiet: a producer started a little over a second
// ahead of its chunk has, by the chunk's first frame, the very state the
// serial run has there. That is checked, bit for bit, at every chunk seam;
// where it fails (a float file with values far beyond full scale, whose
// threshold never fades) the chunk is recomputed serially.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "FrameProducer.h"

namespace vxsilence {

class LoudnessStream {
 public:
  // iFirst has opened the range. iThreads 0: one per processor, at most 8;
  // 1: the serial pass. iChunkFrames 0: the default chunk length.
  LoudnessStream(std::unique_ptr<FrameProducer> iFirst, int32_t iThreads, int32_t iChunkFrames);

  // The next frame, as FrameProducer::Next gives it.
  bool Next(float& oLoudness, int32_t& oFramesRead, bool& oLast);

  // Chunks whose worker did not reach the serial state by the seam, so that
  // the serial pass computed them again.
  int64_t Recomputed() const { return mRecomputed; }

 private:
  struct FrameResult {
    float loudness;
    int32_t framesRead;
    bool last;
  };
  struct Chunk {
    std::unique_ptr<FrameProducer> producer;
    std::vector<FrameResult> frames;
    std::vector<float> seamState;  // what the worker carried into the chunk's first frame
    bool ok = false;  // the warm-up ran through and the frames are computed
  };

  static bool Compute(FrameProducer& ioProducer, int64_t iCount, std::vector<FrameResult>& oOut);
  static void RunWorker(Chunk& ioChunk, int64_t iFrames);
  void NextRound();

  int32_t mThreads = 1;
  int32_t mChunk = 0;
  // The producer whose model holds the serial state after the last frame
  // handed out (or about to be).
  std::unique_ptr<FrameProducer> mCarry;
  std::vector<FrameResult> mReady;
  size_t mPos = 0;
  bool mEnded = false;
  int64_t mRecomputed = 0;
};

}  // namespace vxsilence
