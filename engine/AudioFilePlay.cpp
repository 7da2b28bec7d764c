// Placeholder until playback lands.
#include "AudioFile.h"

int AudioFile::StartPlayAudio(int32_t, int32_t, float, PlayNotifier*, int32_t) { return -1; }
int AudioFile::StopPlayAudio() { return 0; }
void AudioFile::ShutdownPlayback() {}
