// Silence detection with a psychoacoustic loudness model.
//
// The detector has two halves: a frame producer that streams a range of a
// sound file as mono analysis frames (N samples every 5 ms) and yields each
// frame's total loudness in sone, and a classifier that turns that loudness
// sequence into silence and sound marks with a two-threshold hysteresis and
// post-processes them. SilenceDetector runs the producer straight into the
// classifier; ComputeFrameLoudness and ClassifyFrames expose the two halves
// so that a caller can keep the loudness (one float per frame), look at it,
// and classify it later, with exactly the marks SilenceDetector would give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "MarkData.h"

// Results of the detector entry points. Failed covers a file that cannot be
// analysed (rate below 44100 Hz, too short, not mono or stereo) as well as
// marks that came out inconsistent.
enum DetectResult : int { kDetectOk = 0, kDetectRefused = -1 /* file does not open or range invalid */, kDetectFailed = 1 /* cannot be analysed or inconsistent marks */ };

// Range form. Positions in oSilenceData count from iStartSmp. A zero
// iModulationLoudness means twice iSilenceLoudness. iVerbose non-zero prints
// the parameter, mark and table reports on the diagnostic output.
int SilenceDetector(const std::string& iFileName, std::vector<MarkData>& oSilenceData,
                    int32_t iStartSmp, int32_t iLenSmp, float iSilenceLoudness,
                    float iModulationLoudness, float iMinSilenceDuration, float iMinSoundDuration,
                    int32_t iVerbose);

// Whole-file form: the range form over frames 0 to the end of the file.
int SilenceDetector(const std::string& iFileName, std::vector<MarkData>& oSilenceData,
                    float iSilenceLoudness, float iModulationLoudness, float iMinSilenceDuration,
                    float iMinSoundDuration, int32_t iVerbose);

// What a frame sequence needs besides its loudness to be classified.
struct FrameLayout {
  int32_t frameLen = 0;    // N, samples per analysis frame
  int32_t hop = 0;         // H, samples between frame centres
  int32_t sampleRate = 0;  // R, Hz
  int32_t framesRead = 0;  // frames streamed from the range start, to the range end
};

// The producer alone: the loudness in sone of every analysis frame of the
// range, frame k centred on k * hop (the last one possibly closer to its
// predecessor). Same checks and messages as SilenceDetector.
int ComputeFrameLoudness(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp,
                         std::vector<float>& oLoudness, int32_t& oHop, int32_t& oSampleRate);
int ComputeFrameLoudness(const std::string& iFileName, int32_t iStartSmp, int32_t iLenSmp,
                         std::vector<float>& oLoudness, FrameLayout& oLayout);

// The classifier alone, fed from a loudness sequence produced above with the
// layout that came with it. Returns 0, or 1 for inconsistent marks.
int ClassifyFrames(const std::vector<float>& iLoudness, float iSilenceLoudness,
                   float iModulationLoudness, float iMinSilenceDuration, float iMinSoundDuration,
                   int32_t iVerbose, std::vector<MarkData>& oSilenceData, int32_t iFrameLen,
                   int32_t iHop, int32_t iSampleRate, int32_t iFramesRead);
inline int ClassifyFrames(const std::vector<float>& iLoudness, float iSilenceLoudness,
                          float iModulationLoudness, float iMinSilenceDuration,
                          float iMinSoundDuration, int32_t iVerbose,
                          std::vector<MarkData>& oSilenceData, const FrameLayout& iLayout) {
  return ClassifyFrames(iLoudness, iSilenceLoudness, iModulationLoudness, iMinSilenceDuration,
                        iMinSoundDuration, iVerbose, oSilenceData, iLayout.frameLen, iLayout.hop,
                        iLayout.sampleRate, iLayout.framesRead);
}

// How an analysis runs. The defaults are the model exactly as written, on
// the calling thread: what a host that calls the detector gets, so the
// detector starts no threads inside the host's call and its reports print
// the model's own values. A program that owns its process may opt in to
// threads (a long range in chunks whose results are checked to be exactly
// those of one serial pass) and to the fast arithmetic (vectorised
// elementary functions: each frame's loudness within 1e-9 of the model's,
// the same marks). Set before a run, not during one.
struct AnalysisMode {
  int32_t threads = 1;          // 0: one per processor (at most 8); 1: serial
  int32_t chunkFrames = 0;      // frames per chunk; 0: the default length
  bool fastArithmetic = false;  // elementary functions over vector lanes
};
void SetAnalysisMode(const AnalysisMode& iMode);
AnalysisMode CurrentAnalysisMode();

// N, the analysis frame length the detector uses at sample rate iSampleRate.
int32_t AnalysisFrameLength(int32_t iSampleRate);

// Centre, in frames from the range start, of analysis frame iIndex of a
// sequence of iCount frames produced with iLayout.
int32_t FrameCentre(const FrameLayout& iLayout, size_t iIndex, size_t iCount);

// Why the whole-file detector would refuse iFileName, in words for a user
// (not a sound file, not mono or stereo, rate too low, too short, too long),
// or an empty string when it can be analysed. Prints nothing. oSampleRate and
// oFrames describe the file when it opened.
std::string AnalysisRefusal(const std::string& iFileName, int32_t& oSampleRate, int64_t& oFrames);
