// vxAudioFile: the component object. Turns each interface call into one
// call on the AudioFile engine it owns and maps the engine's result.
#pragma once

#include <memory>

#include "AudioFile.h"
#include "PlayNotifier.h"
#include "nsCOMPtr.h"
#include "vxIAudioFile.h"

// Forwards the engine's notifications, raised on the audio thread, through
// an asynchronous proxy to the thread that started playback.
class ProxyPlayNotifier final : public PlayNotifier {
 public:
  explicit ProxyPlayNotifier(vxIPlayListener* aListener);

  // Without a proxy there is nowhere to deliver: notifications are dropped.
  void NotifyPosition(int32_t iPos) override;
  void NotifyEnd() override;
  void NotifyError() override;

 private:
  nsCOMPtr<vxIPlayListener> mProxy;  // set once, before the stream can call
};

class vxAudioFile final : public vxIAudioFile {
 public:
  vxAudioFile();
  vxAudioFile(const vxAudioFile&) = delete;
  vxAudioFile& operator=(const vxAudioFile&) = delete;

  nsresult QueryInterface(const nsIID& aIID, void** aResult) override;
  nsrefcnt AddRef() override;
  nsrefcnt Release() override;

  nsresult InitAudio(nsIFile* aFile) override;
  nsresult ExportPartAudio(nsIFile* aOutFile, int32_t aStart, int32_t aLen) override;
  nsresult ExportFullAudio(nsIFile* aOutFile) override;
  nsresult SilenceDetect(float aSilenceLoudness, float aModulationLoudness,
                         float aMinSilenceDuration, float aMinSoundDuration,
                         vxIIntVector** aResult) override;
  nsresult Audio2Graph(int32_t aXDot, int32_t aYDot, int32_t aStart, int32_t aLen,
                       vxIIntVector** aResult) override;
  nsresult StartPlayAudio(int32_t aStart, int32_t aEnd, float aSpeed, vxIPlayListener* aListener,
                          int32_t aInterval) override;
  nsresult StopPlayAudio() override;
  nsresult GetSampleRate(int32_t* aSampleRate) override;
  nsresult GetSmpNb(int32_t* aSmpNb) override;
  nsresult GetChannels(int32_t* aChannels) override;
  nsresult GetBitsPerSample(int32_t* aBits) override;

 private:
  virtual ~vxAudioFile();

  // Plain count: the object lives on the host thread only.
  nsrefcnt mRefCnt = 0;
  // The listener of the latest StartPlayAudio. Held, not borrowed, so that
  // the OnPlayEnd of a later StopPlayAudio can never reach a dead listener.
  nsCOMPtr<vxIPlayListener> mListener;
  // The notifier of the stream the engine holds; it must outlive that
  // stream, so it is replaced only once the engine has closed it.
  std::unique_ptr<PlayNotifier> mNotifier;
  // Declared last so that it goes first: its destructor closes a running
  // stream while the notifier is still there.
  std::unique_ptr<AudioFile> mAudioFile;
};
