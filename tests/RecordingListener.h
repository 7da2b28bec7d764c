// A host-side playback listener for the runtime and component tests. Logs
// each call as "<kind><value> " (p position, z pause, x error, e end) and
// counts the calls that ran on another thread than the one that made it.
// The members are plain on purpose: a call from a foreign thread races with
// the test's reads, which TSan reports.
#pragma once

#include <string>
#include <thread>

#include "nsSupportsImpl.h"
#include "vxIPlayListener.h"

class RecordingListener final : public nsSupportsImpl<vxIPlayListener> {
 public:
  std::string log;
  nsrefcnt refs = 0;  // counted here, never deleted: the test owns it
  const std::thread::id owner = std::this_thread::get_id();
  int foreignCalls = 0;

  nsrefcnt AddRef() override { return ++refs; }
  nsrefcnt Release() override { return --refs; }
  nsresult OnPlayError() override { return Record('x', 0); }
  nsresult OnPlayEnd() override { return Record('e', 0); }
  nsresult OnPlayPause(int32_t aPos) override { return Record('z', aPos); }
  nsresult OnPlayPosition(int32_t aPos) override { return Record('p', aPos); }

 private:
  nsresult Record(char aKind, int32_t aValue) {
    if (std::this_thread::get_id() != owner) ++foreignCalls;
    log += aKind + std::to_string(aValue) + ' ';
    return NS_OK;
  }
};
