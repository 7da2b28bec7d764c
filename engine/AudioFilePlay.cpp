// Playback through the default output device.
//
// Two threads meet here without a lock. The host thread writes the playback
// fields only while no stream is running: before Pa_StartStream (which starts
// the audio thread) and after Pa_StopStream / Pa_AbortStream (which join it).
// Those two calls give the happens-before edges in both directions, so the
// callback may read and write its fields as plain values.
//
// The callback reads through mPlayFile, a handle of its own that lives as
// long as the stream is open; host-thread operations keep using mSndFile.
// Nothing in the callback allocates or opens a file.
#include <algorithm>
#include <cstdint>

#include "AudioFile.h"
#include "Diag.h"

namespace {

constexpr unsigned long kFramesPerBuffer = 1024;
constexpr float kMinSpeed = 0.1f;
constexpr float kMaxSpeed = 5.0f;

}  // namespace

int AudioFile::StartPlayAudio(int32_t iStart, int32_t iEnd, float iSpeed, PlayNotifier* iNotifier,
                              int32_t iInterval) {
  // Written so that NaN falls back to normal speed too.
  if (!(iSpeed >= kMinSpeed && iSpeed <= kMaxSpeed)) iSpeed = 1.0f;

  // An older stream, even one that finished by itself, is stopped before any
  // field it reads is replaced: its last callbacks must not see the new ones.
  if (mStreamOpened || mStreamStarted) {
    vx::DiagOut(
        "AudioFile::StartPlayAudio: WARNING: stream already opened/used, stop stream and restart");
    StopPlayAudio();
  }

  mNotifier = iNotifier;
  mNotifyInterval = iInterval;
  mSinceNotify = 0;
  mPlayEnd = iEnd;
  mPlayPos = iStart;

  if (Pa_Initialize() != paNoError) {
    vx::DiagErr("AudioFile::StartPlayAudio: ERROR: cannot initialize portaudio");
    return -1;
  }

  const double rate = static_cast<double>(mSampleRate) * static_cast<double>(iSpeed);
  if (Pa_OpenDefaultStream(&mStream, 0, mChannels, paFloat32, rate, kFramesPerBuffer,
                           &AudioFile::PlayCallback, this) != paNoError) {
    vx::DiagErr("AudioFile::StartPlayAudio: ERROR: cannot open stream");
    mStream = nullptr;
    // Nothing is open yet, so this stops nothing. PortAudio stays
    // initialised, as it does in every host that saw a refused open; the
    // next successful start and stop leave the count as they found it.
    StopPlayAudio();
    return -1;
  }
  mStreamOpened = true;

  // A file that cannot be opened now is reported by the first callback that
  // has frames to read, as a read error.
  mPlayOpenError = "AudioFile::InitAudio: ERROR: problem while openning " + mFileName;
  SF_INFO info{};
  mPlayFile.reset(sf_open(mFileName.c_str(), SFM_READ, &info));

  if (Pa_StartStream(mStream) != paNoError) {
    vx::DiagErr("AudioFile::StartPlayAudio: ERROR: cannot start stream");
    StopPlayAudio();
    return -1;
  }
  mStreamStarted = true;
  return 0;
}

int AudioFile::StopPlayAudio() {
  if (!mStreamOpened) return 0;

  // Stopping lets the buffers already queued play out, then joins the audio
  // thread; only after that may the flags and the handle change. A stream
  // that never started (its start failed) has nothing to stop.
  if (mStreamStarted && Pa_StopStream(mStream) != paNoError) {
    vx::DiagOut("AudioFile::StopPlayAudio: WARNING: problem while trying to stop stream");
    Pa_AbortStream(mStream);
  }
  mStreamOpened = false;
  mStreamStarted = false;
  if (Pa_CloseStream(mStream) != paNoError)
    vx::DiagOut("AudioFile::StopPlayAudio: WARNING: problem while trying to close stream");
  mStream = nullptr;
  Pa_Terminate();
  mPlayFile.reset();
  return 0;
}

void AudioFile::ShutdownPlayback() {
  if (mStreamOpened) {
    if (Pa_StopStream(mStream) != paNoError) Pa_AbortStream(mStream);
    mStreamOpened = false;
    mStreamStarted = false;
    Pa_CloseStream(mStream);
    mStream = nullptr;
    Pa_Terminate();
  }
  mPlayFile.reset();
}

int AudioFile::PlayCallback(const void*, void* oOutput, unsigned long iFrames,
                            const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
                            void* iUserData) {
  return static_cast<AudioFile*>(iUserData)->PlayBuffer(static_cast<float*>(oOutput), iFrames);
}

int AudioFile::PlayBuffer(float* oOut, unsigned long iFrames) {
  // Whatever this buffer does not receive from the file is heard as silence:
  // the tail of the last buffer, an empty read, a stopping call.
  std::fill_n(oOut, iFrames * static_cast<unsigned long>(mChannels), 0.0f);

  if (!mStreamOpened) return paContinue;

  if (mPlayEnd != 0 && mPlayPos >= mPlayEnd) {
    if (mNotifier) mNotifier->NotifyEnd();
    return paComplete;
  }

  int32_t start = mPlayPos;
  int32_t len = static_cast<int32_t>(iFrames);
  ClampFrameArea(mSmpNb, start, len);
  if (len > 0) {
    if (!mPlayFile) {
      vx::DiagErr(mPlayOpenError);
      if (mNotifier) mNotifier->NotifyError();
      return paAbort;
    }
    // As for any read, a short file simply leaves the rest of the buffer silent.
    if (sf_seek(mPlayFile.get(), start, SEEK_SET) >= 0) sf_readf_float(mPlayFile.get(), oOut, len);
  }

  // Unsigned on purpose: a position pushed past the 32-bit range, or one that
  // started negative and is still negative, counts as past the end.
  const uint32_t next = static_cast<uint32_t>(mPlayPos) + static_cast<uint32_t>(iFrames);
  if (next >= static_cast<uint32_t>(mSmpNb)) {
    // paComplete, not paAbort: the buffer just written is still heard.
    if (mNotifier) mNotifier->NotifyEnd();
    return paComplete;
  }

  mSinceNotify += static_cast<int32_t>(iFrames);
  if (mSinceNotify >= mNotifyInterval) {
    if (mNotifier) mNotifier->NotifyPosition(static_cast<int32_t>(next));
    mSinceNotify = 0;
  }
  mPlayPos = static_cast<int32_t>(next);
  return paContinue;
}
