// The proxy of vxIPlayListener: the audio file's notifications, raised on its
// audio thread, become events run on the thread that started playback.
#include "nsProxyImpl.h"
#include "vxIPlayListener.h"

namespace {

class ListenerProxy final : public nsProxyImpl<vxIPlayListener> {
 public:
  using nsProxyImpl::nsProxyImpl;

  nsresult OnPlayError() override {
    return Dispatch([](vxIPlayListener* aTarget) { aTarget->OnPlayError(); });
  }
  nsresult OnPlayEnd() override {
    return Dispatch([](vxIPlayListener* aTarget) { aTarget->OnPlayEnd(); });
  }
  nsresult OnPlayPause(int32_t aPosition) override {
    return Dispatch([aPosition](vxIPlayListener* aTarget) { aTarget->OnPlayPause(aPosition); });
  }
  nsresult OnPlayPosition(int32_t aPosition) override {
    return Dispatch(
        [aPosition](vxIPlayListener* aTarget) { aTarget->OnPlayPosition(aPosition); });
  }
};

// Every program that links this file can proxy listeners.
const struct Registration {
  Registration() {
    NS_RegisterProxyConstructor(NS_GET_IID(vxIPlayListener),
                                NS_NewProxy<vxIPlayListener, ListenerProxy>);
  }
} kRegistration;

}  // namespace
