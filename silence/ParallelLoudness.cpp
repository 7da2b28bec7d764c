#include "ParallelLoudness.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace vxsilence {

namespace {

constexpr int32_t kDefaultChunkFrames = 16384;  // 82 s at 44.1 kHz: warm-ups cost 1.6 %
constexpr int32_t kWarmUpFrames = 256;         // 1.28 s of fading

// Bit for bit: a zero of the other sign or a NaN is another state.
bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return !a.empty() && a.size() == b.size() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

LoudnessStream::LoudnessStream(std::unique_ptr<FrameProducer> iFirst, int32_t iThreads,
                               int32_t iChunkFrames)
    : mCarry(std::move(iFirst)) {
  int32_t threads = iThreads;
  if (threads <= 0) threads = static_cast<int32_t>(std::thread::hardware_concurrency());
  mThreads = std::clamp(threads, 1, 8);
  mChunk = iChunkFrames > 0 ? std::max(iChunkFrames, kWarmUpFrames) : kDefaultChunkFrames;
}

bool LoudnessStream::Next(float& oLoudness, int32_t& oFramesRead, bool& oLast) {
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

// Up to iCount frames from ioProducer; false once the last one is out.
bool LoudnessStream::Compute(FrameProducer& ioProducer, int64_t iCount,
                             std::vector<FrameResult>& oOut) {
  FrameResult f{};
  for (int64_t k = 0; k < iCount; ++k) {
    if (!ioProducer.Next(f.loudness, f.framesRead, f.last)) return false;
    oOut.push_back(f);
    if (f.last) return false;
  }
  return true;
}

void LoudnessStream::RunWorker(Chunk& ioChunk, int64_t iFrames) {
  try {
    std::vector<FrameResult> warm;
    warm.reserve(kWarmUpFrames);
    if (!Compute(*ioChunk.producer, kWarmUpFrames, warm)) return;
    ioChunk.seamState = ioChunk.producer->CarriedState();
    ioChunk.frames.reserve(static_cast<size_t>(iFrames));
    Compute(*ioChunk.producer, iFrames, ioChunk.frames);
    ioChunk.ok = true;
  } catch (const std::bad_alloc&) {
    ioChunk.ok = false;  // recomputed serially
  }
}

void LoudnessStream::NextRound() {
  mReady.clear();
  mPos = 0;
  // The first chunk of a round continues the serial state; the others start
  // a warm-up ahead on producers of their own. Files are opened here, on the
  // calling thread, before any worker runs.
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
    // The serial pass has just reached this chunk's first frame.
    if (c.ok && SameBits(c.seamState, mCarry->CarriedState())) {
      // Verified: the worker's frames are the serial frames.
      more = !c.frames.empty() && c.frames.size() == static_cast<size_t>(mChunk) &&
             !c.frames.back().last;
      mReady.insert(mReady.end(), c.frames.begin(), c.frames.end());
      mCarry = std::move(c.producer);
    } else {
      more = Compute(*mCarry, mChunk, mReady);
      mRecomputed += c.producer != nullptr;
    }
  }
  if (!more) mEnded = true;
}

}  // namespace vxsilence
