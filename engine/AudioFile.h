// AudioFile: one sound file on disk, named by its path. Opening describes it
// and scans it for its largest sample; every later operation opens the file
// by path, does its work and closes it again.
#pragma once

#include <portaudio.h>
#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MarkPair.h"
#include "PlayNotifier.h"
#include "SndFile.h"

using FormatInfo = SF_FORMAT_INFO;

// Results of AudioFile::InitAudio.
enum InitResult : int {
  kInitOk = 0,
  kInitCannotOpen = -1,
  kInitNoPeak = 1  // described, but no largest sample: no frames, or every sample is zero
};

// Results of AudioFile::Export.
enum ExportResult : int {
  kExportOk = 0,
  kExportCannotOpen = -1,
  kExportBadBits = -2,
  kExportBadChannels = -3,
  kExportBadFormat = 2,
  kExportMetadata = 3,
  kExportReadFailed = 4,
  kExportWriteFailed = 5  // checked writes only: a write or the closing of the output failed
};

// An output format chosen by the caller of AudioFile::ExportAs.
struct ExportFormat {
  int format = 0;        // libsndfile's container | encoding (SF_FORMAT_FLAC | SF_FORMAT_PCM_24)
  bool copyText = true;  // copy the text metadata; false for containers that hold none
};

class AudioFile {
 public:
  AudioFile();
  AudioFile(const AudioFile&) = delete;
  AudioFile& operator=(const AudioFile&) = delete;

  // Virtual operations, in their fixed order.
  virtual ~AudioFile();
  virtual int ReadData(float* oBuffer, int32_t iStart, int32_t iLen);
  virtual int Export(const char* iPath);
  virtual int Export(const char* iPath, int32_t iBits, int32_t iChannels, int32_t iStart,
                     int32_t iLen);
  virtual int SilenceDetect(std::vector<MarkPair>& oMarks, float iSilenceLoudness,
                            float iModulationLoudness, float iMinSilenceDuration,
                            float iMinSoundDuration, int32_t iVerbose);
  virtual int Audio2Graph(std::vector<int32_t>& oMin, std::vector<int32_t>& oMax, int32_t iXDot,
                          int32_t iYDot);
  virtual int Audio2Graph(std::vector<int32_t>& oMin, std::vector<int32_t>& oMax, int32_t iXDot,
                          int32_t iYDot, int32_t iStart, int32_t iLen);
  virtual int ProcessArea(int32_t iA, int32_t iB, int32_t iC);
  virtual int ProcessArea(int32_t iA, int32_t iB, int32_t iC, int32_t iStart, int32_t iLen);
  virtual bool HasFrames();
  virtual float GetMaxValue();
  virtual void PrintInfo();

  // Opening and description.
  int InitAudio(const char* iPath);
  int SearchAbsMax(float* oMax, int32_t iStart, int32_t iLen);
  std::string GetFileName();

  // Frame areas and reading.
  void CheckFrameArea(int32_t& ioStart, int32_t& ioLen);
  int ReadMonoData(std::vector<float>& oData, int32_t iStart, int32_t iLen);
  int ReadStereoData(std::vector<float>& oData, int32_t iStart, int32_t iLen);

  // Export.
  // Export in the format `iFormat` whatever the path's extension, through the
  // same checks, loop and results as Export (kExportBadFormat when
  // libsndfile refuses the format for the source's rate or `iChannels`).
  int ExportAs(const char* iPath, const ExportFormat& iFormat, int32_t iChannels, int32_t iStart,
               int32_t iLen);
  int CopyMetaData(SNDFILE* iSrc, SNDFILE* oDst);
  // Checked writes (off by default): every write of an export and the final
  // close are checked, and the first failure ends the export with
  // kExportWriteFailed. Off, a failing write after the output opened goes
  // unnoticed.
  void SetCheckedWrites(bool iOn);
  // errno of the first failed write or close of the last Export, 0 if none.
  int LastWriteError() const;

  // Minimum / maximum of the mono mixdown.
  int SearchMonoMinMax(float* oMin, float* oMax, int32_t iStart, int32_t iLen);

  // Playback through the default output device.
  int StartPlayAudio(int32_t iStart, int32_t iEnd, float iSpeed, PlayNotifier* iNotifier,
                     int32_t iInterval);
  int StopPlayAudio();

  // Fields, in their fixed order.
  std::string mFileName;
  int32_t mSmpNb = 0;
  int32_t mSampleRate = 0;
  int32_t mChannels = 0;
  float mMaxValue = 0.0f;
  FormatInfo mFormatInfo{};
  FormatInfo mSubFormatInfo{};
  PaStream* mStream = nullptr;
  bool mStreamOpened = false;
  bool mStreamStarted = false;
  int32_t mPlayPos = 0;
  int32_t mPlayEnd = 0;
  std::unique_ptr<SF_INFO> mSfInfo;
  SndFilePtr mSndFile;
  PlayNotifier* mNotifier = nullptr;
  int32_t mNotifyInterval = 0;
  int32_t mSinceNotify = 0;

 private:
  // Opens mFileName into mSndFile when no handle is open, printing the open
  // error on failure. Returns false when libsndfile refuses the file.
  bool OpenForReading();

  // The frame-area rules against a given frame count. Allocation-free, so
  // the play callback clamps with it too (against the count it started with).
  static void ClampFrameArea(int32_t iFrames, int32_t& ioStart, int32_t& ioLen);

  // Ends a stream that is still open, as the destructor must (defined with
  // the playback).
  void ShutdownPlayback();

  // ---- engine-private state (host thread only) ----
  // While an operation holds mSndFile across its steps (HeldHandle.h),
  // ReadStereoData leaves it open; reads skip the seek when the handle
  // already sits at the wanted frame (mReadPos, -1 when unknown).
  friend class HeldHandle;
  bool mHoldHandle = false;
  int64_t mReadPos = -1;
  // Interleaved read buffer reused by ReadMonoData / ReadStereoData, and the
  // block array reused by SearchMonoMinMax.
  std::vector<float> mScratch;
  std::vector<float> mBlock;
  std::vector<int16_t> mShorts;
  // Frame- / value-counted float reads of mSndFile, same values as
  // sf_readf_float / sf_read_float (16-bit PCM is read as shorts: one
  // system call per request instead of one per 4 KB).
  int64_t ReadFloatFrames(float* oBuf, int64_t iFrames);
  int64_t ReadFloatValues(float* oBuf, int64_t iValues);
  // Open without a message (a failed hold falls back to per-call opening,
  // which prints its own error), seek only when needed, and close.
  bool OpenQuiet();
  void SeekTo(int64_t iFrame);
  void CloseHandle();

  // ---- playback state private to the play callback (owned by playback code) ----
  // PortAudio entry point; forwards to PlayBuffer on the audio thread.
  static int PlayCallback(const void* iInput, void* oOutput, unsigned long iFrames,
                          const PaStreamCallbackTimeInfo* iTime, PaStreamCallbackFlags iFlags,
                          void* iUserData);
  int PlayBuffer(float* oOut, unsigned long iFrames);
  // The callback's own read handle: opened when a stream starts and closed
  // once the stream has stopped, so the audio thread never touches mSndFile.
  SndFilePtr mPlayFile;
  // Built on the host thread so the audio thread can report a failed open
  // without allocating.
  std::string mPlayOpenError;

  // ---- export state ----
  bool mCheckedWrites = false;
  int mLastWriteError = 0;
};
