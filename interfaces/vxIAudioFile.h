// One sound file: its properties, export, waveform overview, silences and
// playback.
#pragma once

#include "nsIFile.h"
#include "nsISupports.h"
#include "vxIIntVector.h"
#include "vxIPlayListener.h"

#define VX_IAUDIOFILE_IID \
  { 0x9ebf6d77, 0x6063, 0x4b58, { 0x82, 0xe4, 0xeb, 0x9b, 0x38, 0x27, 0x41, 0x40 } }

#define VX_AUDIOFILE_CID \
  { 0x9ebf6d77, 0x6063, 0x4b58, { 0x4b, 0x58, 0xeb, 0x9b, 0x38, 0x27, 0x41, 0x40 } }

// Vendor domain: vxaudio.example, a reserved name that belongs to no one.
#define VX_AUDIOFILE_CONTRACTID "@vxaudio.example/quarnel/vxAudioFile;1"
#define VX_INTVECTOR_CONTRACTID "@vxaudio.example/quarnel/vxIntVector;1"

class vxIAudioFile : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(VX_IAUDIOFILE_IID)

  virtual nsresult InitAudio(nsIFile* aFile) = 0;
  // Writes 16-bit stereo; the container follows the extension of aOutFile.
  virtual nsresult ExportPartAudio(nsIFile* aOutFile, int32_t aStart, int32_t aLen) = 0;
  virtual nsresult ExportFullAudio(nsIFile* aOutFile) = 0;
  // Loudness in sone, durations in seconds; the result holds start0, end0,
  // start1, end1, ... in frames.
  virtual nsresult SilenceDetect(float aSilenceLoudness, float aModulationLoudness,
                                 float aMinSilenceDuration, float aMinSoundDuration,
                                 vxIIntVector** aResult) = 0;
  // The result holds min0, max0, min1, max1, ... one pair per column.
  virtual nsresult Audio2Graph(int32_t aXDot, int32_t aYDot, int32_t aStart, int32_t aLen,
                               vxIIntVector** aResult) = 0;
  virtual nsresult StartPlayAudio(int32_t aStart, int32_t aEnd, float aSpeed,
                                  vxIPlayListener* aListener, int32_t aInterval) = 0;
  virtual nsresult StopPlayAudio() = 0;
  virtual nsresult GetSampleRate(int32_t* aSampleRate) = 0;
  virtual nsresult GetSmpNb(int32_t* aSmpNb) = 0;
  virtual nsresult GetChannels(int32_t* aChannels) = 0;
  virtual nsresult GetBitsPerSample(int32_t* aBits) = 0;
};
