// The detector's public entry points, wiring its parts: the preconditions
// (AnalysisPreconditions) decide whether a range can be analysed, the frame
// producer (FrameProducer) streams it as loudness per analysis frame, the
// loudness stream (ParallelLoudness) spreads that over threads without
// changing a bit, and the classifier (FrameClassifier) turns the loudness
// into marks. The range and whole-file forms run all of them in one pass;
// ComputeFrameLoudness and ClassifyFrames run the two halves apart.
#include "SilenceDetector.h"

#include <atomic>
#include <memory>
#include <optional>

#include "AnalysisFrame.h"
#include "AnalysisPreconditions.h"
#include "FrameClassifier.h"
#include "FrameProducer.h"
#include "ParallelLoudness.h"

using namespace vxsilence;

namespace {

// Set between runs by SetAnalysisMode, read once at the start of one.
std::atomic<int32_t> gThreads{1};
std::atomic<int32_t> gChunkFrames{0};
std::atomic<bool> gFast{false};

std::unique_ptr<FrameProducer> NewProducer() {
  return std::make_unique<FrameProducer>(gFast.load() ? Arithmetic::kFast : Arithmetic::kModel);
}

LoudnessStream StreamOf(std::unique_ptr<FrameProducer> iProducer) {
  return LoudnessStream(std::move(iProducer), gThreads.load(), gChunkFrames.load());
}

// Both forms of the detector; no iLenSmp: the whole file.
int Detect(const std::string& iFileName, std::vector<MarkData>& oSilenceData, int32_t iStartSmp,
           std::optional<int32_t> iLenSmp, float iSilenceLoudness, float iModulationLoudness,
           float iMinSilenceDuration, float iMinSoundDuration, int32_t iVerbose) {
  auto producer = NewProducer();
  const int opened = producer->Open(iFileName, iStartSmp, iLenSmp);
  // The whole-file form learns the length from the file before it starts on
  // the list, so a file that does not open leaves the list as it was.
  if (iLenSmp || producer->Opened()) oSilenceData.clear();
  if (opened != kDetectOk) return opened;
  const FrameLayout layout = producer->Layout();
  LoudnessStream stream = StreamOf(std::move(producer));
  FrameClassifier classifier(iSilenceLoudness, iModulationLoudness, iMinSilenceDuration,
                             iMinSoundDuration, iVerbose, layout.frameLen, layout.sampleRate,
                             oSilenceData);
  classifier.PrintParameters();
  float l = 0.0f;
  int32_t framesRead = 0;
  bool last = false;
  while (stream.Next(l, framesRead, last)) classifier.Frame(l, framesRead, last);
  return classifier.Finish();
}

}  // namespace

int SilenceDetector(const std::string& iFileName, std::vector<MarkData>& oSilenceData,
                    int32_t iStartSmp, int32_t iLenSmp, float iSilenceLoudness,
                    float iModulationLoudness, float iMinSilenceDuration, float iMinSoundDuration,
                    int32_t iVerbose) {
  return Detect(iFileName, oSilenceData, iStartSmp, iLenSmp, iSilenceLoudness, iModulationLoudness,
                iMinSilenceDuration, iMinSoundDuration, iVerbose);
}

int SilenceDetector(const std::string& iFileName, std::vector<MarkData>& oSilenceData,
                    float iSilenceLoudness, float iModulationLoudness, float iMinSilenceDuration,
                    float iMinSoundDuration, int32_t iVerbose) {
  return Detect(iFileName, oSilenceData, 0, std::nullopt, iSilenceLoudness, iModulationLoudness,
                iMinSilenceDuration, iMinSoundDuration, iVerbose);
}

int ComputeFrameLoudness(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp,
                         std::vector<float>& oLoudness, FrameLayout& oLayout) {
  oLoudness.clear();
  auto producer = NewProducer();
  if (int r = producer->Open(iFileName, iStartSmp, iLenSmp)) return r;
  oLayout = producer->Layout();
  // One slot per hop of the range, reserved up front so that the list never
  // doubles (and briefly triples) its memory while it grows.
  oLoudness.reserve(static_cast<size_t>(producer->RangeLength() / oLayout.hop + 2));
  LoudnessStream stream = StreamOf(std::move(producer));
  float l = 0.0f;
  int32_t framesRead = 0;
  bool last = false;
  while (stream.Next(l, framesRead, last)) oLoudness.push_back(l);
  oLayout.framesRead = framesRead;
  return kDetectOk;
}

int ComputeFrameLoudness(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp,
                         std::vector<float>& oLoudness, int32_t& oHop, int32_t& oSampleRate) {
  FrameLayout layout;
  int r = ComputeFrameLoudness(iFileName, iStartSmp, iLenSmp, oLoudness, layout);
  oHop = layout.hop;
  oSampleRate = layout.sampleRate;
  return r;
}

int ClassifyFrames(const std::vector<float>& iLoudness, float iSilenceLoudness,
                   float iModulationLoudness, float iMinSilenceDuration, float iMinSoundDuration,
                   int32_t iVerbose, std::vector<MarkData>& oSilenceData, int32_t iFrameLen,
                   int32_t iHop, int32_t iSampleRate, int32_t iFramesRead) {
  oSilenceData.clear();
  FrameClassifier classifier(iSilenceLoudness, iModulationLoudness, iMinSilenceDuration,
                             iMinSoundDuration, iVerbose, iFrameLen, iSampleRate, oSilenceData);
  classifier.PrintParameters();
  // Frame k ended a full hop after its predecessor, except the last one,
  // which ended where the stream did.
  const int32_t firstRead = iFrameLen - iFrameLen / 2;
  for (size_t k = 0; k < iLoudness.size(); ++k) {
    const bool last = k + 1 == iLoudness.size();
    const int32_t framesRead = last ? iFramesRead : firstRead + static_cast<int32_t>(k) * iHop;
    classifier.Frame(iLoudness[k], framesRead, last);
  }
  return classifier.Finish();
}

void SetAnalysisMode(const AnalysisMode& iMode) {
  gThreads.store(iMode.threads);
  gChunkFrames.store(iMode.chunkFrames);
  gFast.store(iMode.fastArithmetic);
}

AnalysisMode CurrentAnalysisMode() { return {gThreads.load(), gChunkFrames.load(), gFast.load()}; }

int32_t AnalysisFrameLength(int32_t iSampleRate) {
  vx::generalstruct model;
  return FrameLengthFor(iSampleRate, model);
}

int32_t FrameCentre(const FrameLayout& iLayout, size_t iIndex, size_t iCount) {
  if (iIndex + 1 == iCount) return iLayout.framesRead - iLayout.frameLen / 2;
  return static_cast<int32_t>(iIndex) * iLayout.hop;
}

std::string AnalysisRefusal(const std::string& iFileName, int32_t& oSampleRate, int64_t& oFrames) {
  SF_INFO info{};
  SndFileHandle file(sf_open(iFileName.c_str(), SFM_READ, &info));
  oSampleRate = file ? info.samplerate : 0;
  oFrames = file ? info.frames : 0;
  vx::generalstruct model;
  const AnalysisSubject wholeFile{iFileName, file != nullptr, info, 0, info.frames, model};
  return RefusalFor(wholeFile);
}
