// The base of a proxy for one interface T: it holds the target and the
// destination queue and turns each call into an event on that queue, or
// makes it directly when called on the queue's own thread and the proxy does
// not always queue. A proxy writes one override per method of T:
//
//   nsresult OnSomething(int32_t aValue) override {
//     return Dispatch([aValue](T* aTarget) { aTarget->OnSomething(aValue); });
//   }
//
// and registers NS_NewProxy<T, ItsClass> with NS_RegisterProxyConstructor.
#pragma once

#include <utility>

#include "nsCOMPtr.h"
#include "nsIProxyObjectManager.h"
#include "nsSupportsImpl.h"

template <class T>
class nsProxyImpl : public nsSupportsImpl<T> {
 public:
  nsProxyImpl(T* aTarget, nsIEventQueue* aQueue, int32_t aProxyType)
      : mTarget(aTarget), mQueue(aQueue), mType(aProxyType) {}

 protected:
  template <class Call>
  nsresult Dispatch(Call aCall) {
    bool here = false;
    if (!(mType & PROXY_ALWAYS) && NS_SUCCEEDED(mQueue->IsOnCurrentThread(&here)) && here) {
      aCall(mTarget.get());
      return NS_OK;
    }
    nsCOMPtr<nsIRunnable> event(new Event<Call>(this, std::move(aCall)));
    return mQueue->PostEvent(event.get());
  }

 private:
  // The event keeps the proxy, not the target: the target's count may only
  // be touched on its own thread.
  template <class Call>
  class Event final : public nsSupportsImpl<nsIRunnable> {
   public:
    Event(nsProxyImpl* aProxy, Call aCall) : mProxy(aProxy), mCall(std::move(aCall)) {}
    nsresult Run() override {
      mCall(mProxy->mTarget.get());
      return NS_OK;
    }

   private:
    const nsCOMPtr<nsProxyImpl> mProxy;
    Call mCall;
  };

  const nsCOMPtr<T> mTarget;
  const nsCOMPtr<nsIEventQueue> mQueue;
  const int32_t mType;
};

// The proxy constructor of interface T, made of Proxy (an nsProxyImpl<T>).
template <class T, class Proxy>
nsresult NS_NewProxy(nsISupports* aTarget, nsIEventQueue* aQueue, int32_t aProxyType,
                     void** aResult) {
  nsCOMPtr<T> proxy(new Proxy(static_cast<T*>(aTarget), aQueue, aProxyType));
  *aResult = proxy.forget();
  return NS_OK;
}
