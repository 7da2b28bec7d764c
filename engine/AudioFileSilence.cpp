// Placeholder until silence detection lands.
#include "AudioFile.h"

int AudioFile::SilenceDetect(std::vector<MarkPair>& oMarks, float, float, float, float, int32_t) {
  oMarks.clear();
  return -1;
}
