// One libsndfile handle held across a whole engine operation.
//
// The block-by-block algorithms (graph columns, export blocks) are written as
// if every read opened and closed the file by path. Holding the handle for
// the operation, and skipping seeks to where the handle already is, keeps
// every value and message the same while the file is opened once instead of
// once or twice per block (and FLAC/MP3 are not re-sought from the start for
// every block).
#pragma once

#include "AudioFile.h"

class HeldHandle {
 public:
  // Opens mFileName into mSndFile when no handle is open, without a message:
  // if that fails nothing is held and each read opens (and reports) itself.
  explicit HeldHandle(AudioFile& iFile) : mFile(iFile) {
    if (mFile.mHoldHandle) return;  // an outer operation already holds it
    if (!mFile.mSndFile) {
      if (!mFile.OpenQuiet()) return;
      mOpened = true;
    }
    mActive = true;
    mFile.mHoldHandle = true;
  }
  HeldHandle(const HeldHandle&) = delete;
  HeldHandle& operator=(const HeldHandle&) = delete;
  // Leaves mSndFile as it was found (the caller closes it when its own
  // rules say so).
  ~HeldHandle() {
    if (!mActive) return;
    mFile.mHoldHandle = false;
    if (mOpened) mFile.CloseHandle();
  }

 private:
  AudioFile& mFile;
  bool mActive = false;
  bool mOpened = false;
};
