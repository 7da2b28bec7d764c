#include "AudioSegment.h"

#include "Diag.h"
#include "MarkData.h"
#include "SilenceDetector.h"

namespace AudioSegment {

int SilenceDetect(const std::string& iFileName, std::vector<MarkPair>& oMarks,
                  float iSilenceLoudness, float iModulationLoudness, float iMinSilenceDuration,
                  float iMinSoundDuration, int32_t iVerbose) {
  oMarks.clear();
  std::vector<MarkData> silences;
  int r = SilenceDetector(iFileName, silences, iSilenceLoudness, iModulationLoudness,
                          iMinSilenceDuration, iMinSoundDuration, iVerbose);
  if (r != kDetectOk) {
    vx::DiagErr("AudioSegment::SilenceDetect: ERROR: internal failure");
    return r;
  }
  oMarks.resize(silences.size());
  for (size_t k = 0; k < silences.size(); ++k) {
    oMarks[k].start = silences[k].area.start;
    oMarks[k].end = silences[k].area.end;
  }
  return kDetectOk;
}

}  // namespace AudioSegment
