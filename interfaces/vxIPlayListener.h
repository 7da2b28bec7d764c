// Playback notifications, implemented by the host. The audio file delivers
// them on the thread that started playback, after the call returned.
#pragma once

#include "nsISupports.h"

#define VX_IPLAYLISTENER_IID \
  { 0x4334319d, 0xcecb, 0x4404, { 0x8a, 0x8a, 0xf7, 0x13, 0xd6, 0x93, 0x23, 0x3c } }

class vxIPlayListener : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(VX_IPLAYLISTENER_IID)

  virtual nsresult OnPlayError() = 0;
  virtual nsresult OnPlayEnd() = 0;
  // For hosts that pause playback themselves; never raised by the audio file.
  virtual nsresult OnPlayPause(int32_t aPosition) = 0;
  // aPosition: the first frame not yet played.
  virtual nsresult OnPlayPosition(int32_t aPosition) = 0;
};
