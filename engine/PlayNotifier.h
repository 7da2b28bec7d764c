// Receives playback progress on the audio thread. Implementations must return
// at once: no blocking, no allocation that may wait on the host.
#pragma once

#include <cstdint>

class PlayNotifier {
 public:
  virtual void NotifyPosition(int32_t iPos) = 0;
  virtual void NotifyEnd() = 0;
  virtual void NotifyError() = 0;
  // Declared last so the three notifications keep their slot order.
  virtual ~PlayNotifier() = default;
};
