#pragma once
// Band-limited block levels of a file: the mean square of the signal in a
// band of frequencies over blocks of a fixed length, the loudest channel
// counting. Edge refinement wants them near every silence edge and inside
// the silences, a few seconds at a time out of an hour of sound, so they come
// from runs of the band filters that start anywhere, go either way, read only
// what they use and settle on some frames ahead of their first block. Blocks
// lie on a fixed grid from frame 0, so a level hardly depends on where its
// run started, and on nothing else: it is computed with the same operations
// in the same order however the file lays out the samples, however it was
// read and whichever vector lane the run took, so the same run gives it to
// the bit.
#include <sndfile.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Which way the band filters run over the samples. Run forward, they ring on
// for a few milliseconds after a sound that stops abruptly; run backward,
// they ring ahead of one that starts. So stops are looked for on a backward
// pass and starts on a forward one.
enum class Pass { kForward, kBackward };

// A run of `count` blocks from block boundary `first`: forward, blocks
// first, first + 1, ...; backward, first - 1, first - 2, ...
struct Stretch {
  int64_t first = 0, count = 0;
  Pass pass = Pass::kForward;
};

class BandLevels {
 public:
  BandLevels();
  ~BandLevels();

  // Opens `file` for levels in the band [lowHz, highHz] (a corner at or near
  // the Nyquist frequency passes everything) over blocks of `blockSeconds`.
  // False when it is no sound file.
  bool Open(const std::string& file, float lowHz, float highHz, float blockSeconds);

  int rate() const { return mRate; }
  int64_t frames() const { return mFrames; }
  int64_t block() const { return mBlock; }    // frames per block
  int64_t blocks() const { return mBlocks; }  // the last may be short
  // Whether block k has audio: a file that holds fewer frames than its
  // header promised gives the blocks it has, and the rest counts as quiet,
  // as the detector, which stops where the frames stop, takes it.
  bool Present(int64_t k) const { return k >= 0 && k * mBlock < mPresent; }

  // Starts a run at block boundary `at`: forward, its blocks are at, at + 1,
  // ...; backward, at - 1, at - 2, ...
  void Start(int64_t at, Pass pass);
  // Appends the mean squares of the run's next `count` blocks, fewer where
  // the audio ends.
  void Next(int64_t count, std::vector<double>& out);

  // What Start and Next give for each of `stretches`, to done(i, levels)
  // for stretch i as each is finished, in no particular order. Several run
  // side by side in the vector lanes, each lane taking the next stretch as
  // soon as it is free, and the file is read once from front to back.
  using Done = std::function<void(size_t, const std::vector<double>&)>;
  void Measure(std::span<const Stretch> stretches, const Done& done);

 private:
  struct Filters;  // the band's sections and their state
  // Frames as read, interleaved, in the format they are kept in.
  struct Samples {
    std::vector<float> floats;
    std::vector<int16_t> shorts;
  };
  struct Lane;  // a stretch in a vector lane

  bool Holds(int64_t from, int64_t to) const { return from >= mBufBegin && to <= mBufEnd; }
  void Run(bool count, int64_t first, int64_t blocks, int64_t length);
  void Fill(int64_t begin, int64_t end);
  int64_t FirstFrame(const Stretch& s) const;
  bool Take(const Stretch& s, Lane& lane);
  void Walk(const Stretch& s, std::vector<double>& out);
  template <typename Sample>
  void RunLanes(std::span<const Stretch> stretches, std::span<const size_t> order, const Done& done,
                int width);
  int64_t Window(int64_t begin, int64_t end, Samples& to, size_t at);
  int64_t Read(int64_t begin, int64_t end, Samples& to, size_t at);
  bool Seek(int64_t at);
  int64_t ReadOnLimit() const;
  int64_t Decode(Samples& to, size_t at, int64_t frames);

  struct Closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
  };

  std::unique_ptr<SNDFILE, Closer> mFile;
  std::unique_ptr<Filters> mFilters;
  int mChannels = 0;
  int mRate = 0;
  int64_t mFrames = 0;
  int64_t mPresent = 0;  // frames the file really holds, as far as known
  int64_t mBlock = 1;
  int64_t mBlocks = 0;
  int64_t mWarmUp = 0;   // frames the filters settle on
  int64_t mChunk = 0;    // frames read at a time
  bool mShorts = false;  // 16-bit samples read as they are
  bool mReadOn = false;  // a gap ahead may be read through
  // What seeks and reads have cost so far.
  struct {
    double seeks = 0, reads = 0;   // seconds
    int64_t sought = 0, read = 0;  // seeks, frames
  } mCost;
  int64_t mAt = -1;  // the frame the next read gets, -1 if unknown
  bool mForward = true;
  int64_t mPos = 0;              // the block boundary the run has reached
  std::vector<double> mLoudest;  // per block of a stretch run through
  Samples mSamples;              // frames [mBufBegin, mBufEnd)
  int64_t mBufBegin = 0, mBufEnd = 0;
  Samples mWindow;  // frames [mWinBegin, mWinEnd), the last a stretch took
  int64_t mWinBegin = 0, mWinEnd = 0;
  Samples mSkipped;  // frames read through
};
