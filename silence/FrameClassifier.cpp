#include "FrameClassifier.h"

#include <algorithm>
#include <sstream>

#include "Diag.h"

namespace vxsilence {

namespace {

void AddFrame(MarkData& ioMark, float iLoudness, float iWeight) {
  ++ioMark.nbFrames;
  ioMark.loudMean += iLoudness;
  ioMark.loudStdErr += iLoudness * iLoudness;
  ioMark.noiseLoudMean += iWeight;
}

MarkData OpenMark(int32_t iCentre, float iLoudness, float iWeight) {
  MarkData m;
  m.area.start = iCentre;
  m.nbFrames = 1;
  m.loudMean = iLoudness;
  m.loudStdErr = iLoudness * iLoudness;
  m.noiseLoudMean = iWeight;
  return m;
}

}  // namespace

FrameClassifier::FrameClassifier(float iSilenceLoudness, float iModulationLoudness,
                                 float iMinSilenceDuration, float iMinSoundDuration,
                                 int32_t iVerbose, int32_t iFrameLen, int32_t iSampleRate,
                                 std::vector<MarkData>& oSilenceData)
    : mSil(iSilenceLoudness),
      mMod(iModulationLoudness == 0.0f ? 2.0f * iSilenceLoudness : iModulationLoudness),
      mWeight(-1.0f / std::max(mSil, mMod)),
      mMinSilence(iMinSilenceDuration),
      mMinSound(iMinSoundDuration),
      mVerbose(iVerbose),
      mHalfFrame(iFrameLen / 2),
      mRate(iSampleRate),
      mSilences(oSilenceData) {}

int FrameClassifier::Finish() {
  return ProcessMarks(mSounds, mSilences, static_cast<float>(mRate), mMinSound, mMinSilence,
                      mVerbose);
}

void FrameClassifier::PrintParameters() const {
  if (!mVerbose) return;
  vx::DiagOut("Analysis parameters:");
  std::ostringstream l1, l2, l3, l4;
  l1 << "\tSilence loudness " << mSil << " sone";
  l2 << "\tModulation loudness " << mMod << " sone";
  l3 << "\tMinimal silence duration " << mMinSilence << " sec";
  l4 << "\tMinimal sound duration " << mMinSound << " sec";
  vx::DiagOut(l1.str());
  vx::DiagOut(l2.str());
  vx::DiagOut(l3.str());
  vx::DiagOut(l4.str());
}

void FrameClassifier::Report(const MarkData& iMark, const char* iRule, float iLoudness,
                             int iSilence, int32_t iCentre, bool iWithNoise) const {
  if (!mVerbose) return;
  auto line = [](auto&&... parts) {
    std::ostringstream s;
    (s << ... << parts);
    vx::DiagOut(s.str());
  };
  line(iRule);
  line("current loudness : ", iLoudness);
  line("silence : ", iSilence);
  line("time : ", static_cast<float>(iCentre) / static_cast<float>(mRate));
  line("silenceSmpBegin : ", iMark.area.start);
  line("silenceSmpEnd : ", iMark.area.end);
  line("nbFrames : ", iMark.nbFrames);
  line("loudMean : ", iMark.RunningMean());
  line("tmpPow : ", iMark.loudStdErr);
  line("loudStdErr : ", iMark.RunningSpread());
  if (iWithNoise) line("noiseLoudMean : ", iMark.noiseLoudMean);
}

void FrameClassifier::CloseSilence(int32_t iEnd, float iLoudness, int32_t iCentre, bool iFinal) {
  mSilence.area.end = iEnd;
  mSilence.noiseLoudMean /= static_cast<float>(mSilence.nbFrames);
  mSilences.push_back(mSilence);
  Report(mSilence, iFinal ? "==================" : "===============", iLoudness, iFinal ? 1 : 0,
         iCentre, true);
}

void FrameClassifier::CloseSound(int32_t iEnd, float iLoudness, int32_t iCentre) {
  mSound.area.end = iEnd;
  mSounds.push_back(mSound);
  Report(mSound, "===============", iLoudness, mInSilence ? 1 : 0, iCentre, false);
}

void FrameClassifier::Frame(float iLoudness, int32_t iFramesRead, bool iLast) {
  const float l = iLoudness;
  const int32_t c = iFramesRead - mHalfFrame;
  const int32_t lastRead = iFramesRead - 1;
  const float w = 1.0f + l * mWeight;
  // Comparisons are written so that a NaN loudness keeps the current state.
  if (mInSilence) {
    if (l > mMod || iLast) {
      // A silence that would end where it starts (the first frame already
      // loud, or a last frame that brought nothing) is no silence at all.
      if (mSilence.area.start < c) CloseSilence(l > mMod ? c : lastRead, l, c, false);
      mSound = OpenMark(c, l, 0.0f);
      mInSilence = false;
    } else {
      AddFrame(mSilence, l, w);
    }
  } else {
    if (l < mSil || iLast) {
      mInSilence = true;
      CloseSound(l < mSil ? c : lastRead, l, c);
      mSilence = OpenMark(c, l, w);
    } else {
      AddFrame(mSound, l, 0.0f);
    }
  }
  if (!iLast) return;
  // The mark the last frame opened lasts that one frame; it counts only when
  // the frame is clearly of its kind.
  if (!mInSilence) {
    if (l > mMod) CloseSound(lastRead, l, c);
  } else {
    if (l < mSil) CloseSilence(lastRead, l, c, true);
  }
}

}  // namespace vxsilence
