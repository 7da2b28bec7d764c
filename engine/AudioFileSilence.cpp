// Silence detection reads the file by its own handles; the engine only hands
// over the path.
#include "AudioFile.h"
#include "AudioSegment.h"

int AudioFile::SilenceDetect(std::vector<MarkPair>& oMarks, float iSilenceLoudness,
                             float iModulationLoudness, float iMinSilenceDuration,
                             float iMinSoundDuration, int32_t iVerbose) {
  return AudioSegment::SilenceDetect(mFileName, oMarks, iSilenceLoudness, iModulationLoudness,
                                     iMinSilenceDuration, iMinSoundDuration, iVerbose);
}
