// Turns the loudness of successive analysis frames into silence and sound
// marks: a two-state hysteresis (silence is entered below the silence
// loudness and left above the modulation loudness) gathers silence marks
// into the caller's list and sound marks into its own, prints a report for
// every mark it closes, and hands both lists to the mark post-processing.
#pragma once

#include <cstdint>
#include <vector>

#include "MarkData.h"

namespace vxsilence {

class FrameClassifier {
 public:
  // A zero iModulationLoudness means twice iSilenceLoudness. Reports go to
  // the diagnostic output when iVerbose is non-zero.
  FrameClassifier(float iSilenceLoudness, float iModulationLoudness, float iMinSilenceDuration,
                  float iMinSoundDuration, int32_t iVerbose, int32_t iFrameLen, int32_t iSampleRate,
                  std::vector<MarkData>& oSilenceData);

  void PrintParameters() const;
  // One analysis frame: its loudness, the frames read up to it, and whether
  // it is the last of the stream.
  void Frame(float iLoudness, int32_t iFramesRead, bool iLast);
  // Post-processes the marks; 0, or 1 for inconsistent marks.
  int Finish();

 private:
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

}  // namespace vxsilence
