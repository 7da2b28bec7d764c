// Per-thread event queues and the proxy service. A proxy stands for a
// vxIPlayListener on the thread that asked for it: each call becomes an
// event in that thread's queue and runs when the thread processes it.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "RuntimeInternal.h"
#include "nsCOMPtr.h"
#include "nsSupportsImpl.h"
#include "nsXPCOM.h"
#include "vxIPlayListener.h"

namespace {

class EventQueue final : public nsSupportsImpl<nsIEventQueue> {
 public:
  using Event = std::function<void()>;

  // False once the queue is closed: the event is dropped.
  bool Post(Event aEvent) {
    {
      std::lock_guard lock(mLock);
      if (mClosed) return false;
      mEvents.push_back(std::move(aEvent));
    }
    mWake.notify_one();
    return true;
  }

  bool OnOwnerThread() const { return std::this_thread::get_id() == mOwner; }

  nsresult ProcessPendingEvents() override {
    if (!OnOwnerThread()) return NS_ERROR_UNEXPECTED;
    std::deque<Event> batch;
    {
      std::lock_guard lock(mLock);
      batch.swap(mEvents);
    }
    // Events posted while these run wait for the next call, so a listener
    // that keeps raising events cannot hold the thread here forever.
    for (Event& event : batch) event();
    return NS_OK;
  }

  nsresult WaitForEvent(uint32_t aTimeoutMs, bool* aPending) override {
    if (!aPending) return NS_ERROR_NULL_POINTER;
    std::unique_lock lock(mLock);
    *aPending = mWake.wait_for(lock, std::chrono::milliseconds(aTimeoutMs),
                               [this] { return !mEvents.empty() || mClosed; }) &&
                !mEvents.empty();
    return NS_OK;
  }

  nsresult IsOnCurrentThread(bool* aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = OnOwnerThread();
    return NS_OK;
  }

  void Close() {
    std::deque<Event> dropped;
    {
      std::lock_guard lock(mLock);
      mClosed = true;
      dropped.swap(mEvents);
    }
    mWake.notify_all();
  }

 private:
  const std::thread::id mOwner = std::this_thread::get_id();
  std::mutex mLock;
  std::condition_variable mWake;
  std::deque<Event> mEvents;
  bool mClosed = false;
};

// Closes the queue when its thread ends, so that pending events (and the
// references they hold) do not outlive the thread that would run them.
struct ThreadQueue {
  nsCOMPtr<EventQueue> queue;
  ~ThreadQueue() {
    if (queue) queue->Close();
  }
};
thread_local ThreadQueue tCurrentQueue;

EventQueue* CurrentQueue() {
  if (!tCurrentQueue.queue) tCurrentQueue.queue = new EventQueue;
  return tCurrentQueue.queue.get();
}

class ListenerProxy final : public nsSupportsImpl<vxIPlayListener> {
 public:
  ListenerProxy(vxIPlayListener* aTarget, EventQueue* aQueue, int32_t aType)
      : mTarget(aTarget), mQueue(aQueue), mType(aType) {}

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

 private:
  template <class Call>
  nsresult Dispatch(Call aCall) {
    if (!(mType & PROXY_ALWAYS) && mQueue->OnOwnerThread()) {
      aCall(mTarget.get());
      return NS_OK;
    }
    // The event keeps the proxy, not the target: the target's count may
    // only be touched on its own thread.
    nsCOMPtr<ListenerProxy> self(this);
    bool posted = mQueue->Post([self, aCall] { aCall(self->mTarget.get()); });
    return posted ? NS_OK : NS_ERROR_FAILURE;
  }

  const nsCOMPtr<vxIPlayListener> mTarget;
  const nsCOMPtr<EventQueue> mQueue;
  const int32_t mType;
};

class ProxyObjectManager final : public nsSupportsImpl<nsIProxyObjectManager> {
 public:
  nsresult GetProxyForObject(nsIEventQueue* aDestQueue, const nsIID& aIID, nsISupports* aObject,
                             int32_t aProxyType, void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    if (!aObject) return NS_ERROR_NULL_POINTER;
    // Only asynchronous proxies exist here; a synchronous one would have to
    // block the caller until the destination thread gets round to it.
    if (!(aProxyType & PROXY_ASYNC)) return NS_ERROR_NOT_IMPLEMENTED;
    // Without type libraries a proxy must be written per interface; the
    // playback listener is the one this runtime knows.
    if (!aIID.Equals(NS_GET_IID(vxIPlayListener))) return NS_NOINTERFACE;
    nsresult rv = NS_OK;
    nsCOMPtr<vxIPlayListener> target = do_QueryInterface<vxIPlayListener>(aObject, &rv);
    if (NS_FAILED(rv)) return rv;
    // Every queue is one of ours: this runtime is the only one handing them out.
    EventQueue* queue = aDestQueue ? static_cast<EventQueue*>(aDestQueue) : CurrentQueue();
    nsCOMPtr<vxIPlayListener> proxy(new ListenerProxy(target.get(), queue, aProxyType));
    *aResult = proxy.forget();
    return NS_OK;
  }
};

class ProxyServiceFactory final : public nsSupportsImpl<nsIFactory> {
 public:
  nsresult CreateInstance(nsISupports* aOuter, const nsIID& aIID, void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    if (aOuter) return NS_ERROR_NO_AGGREGATION;
    nsCOMPtr<nsIProxyObjectManager> manager(new ProxyObjectManager);
    return manager->QueryInterface(aIID, aResult);
  }
  nsresult LockFactory(bool) override { return NS_OK; }
};

const nsCID kProxyServiceCID = {
    0x6d2f4a81, 0x37c9, 0x4e05, {0x9a, 0x1e, 0x58, 0xb4, 0x0c, 0x7d, 0x23, 0xf6}};

}  // namespace

nsresult NS_GetCurrentEventQueue(nsIEventQueue** aResult) {
  if (!aResult) return NS_ERROR_NULL_POINTER;
  *aResult = CurrentQueue();
  (*aResult)->AddRef();
  return NS_OK;
}

namespace vxrt {

nsresult RegisterProxyService(nsIComponentRegistrar* aRegistrar) {
  nsCOMPtr<nsIFactory> factory(new ProxyServiceFactory);
  return aRegistrar->RegisterFactory(kProxyServiceCID, "proxy object manager",
                                     NS_XPCOMPROXY_CONTRACTID, factory.get());
}

void DropCurrentEventQueue() {
  if (nsCOMPtr<EventQueue> queue = std::move(tCurrentQueue.queue)) queue->Close();
}

}  // namespace vxrt
