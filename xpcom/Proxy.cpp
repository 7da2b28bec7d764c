// Per-thread event queues and the proxy service. A proxy stands for an
// object on the thread that asked for it: each call becomes an event in that
// thread's queue and runs when the thread processes it. The proxies
// themselves come from the constructors registered per interface.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "RuntimeInternal.h"
#include "nsCOMPtr.h"
#include "nsSupportsImpl.h"
#include "nsXPCOM.h"

namespace {

class EventQueue final : public nsSupportsImpl<nsIEventQueue> {
 public:
  bool OnOwnerThread() const { return std::this_thread::get_id() == mOwner; }

  nsresult PostEvent(nsIRunnable* aEvent) override {
    if (!aEvent) return NS_ERROR_NULL_POINTER;
    {
      std::lock_guard lock(mLock);
      if (mClosed) return NS_ERROR_FAILURE;
      mEvents.emplace_back(aEvent);
    }
    mWake.notify_one();
    return NS_OK;
  }

  nsresult ProcessPendingEvents() override {
    if (!OnOwnerThread()) return NS_ERROR_UNEXPECTED;
    std::deque<nsCOMPtr<nsIRunnable>> batch;
    {
      std::lock_guard lock(mLock);
      batch.swap(mEvents);
    }
    // Events posted while these run wait for the next call, so a listener
    // that keeps raising events cannot hold the thread here forever.
    for (const nsCOMPtr<nsIRunnable>& event : batch) event->Run();
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
    std::deque<nsCOMPtr<nsIRunnable>> dropped;
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
  std::deque<nsCOMPtr<nsIRunnable>> mEvents;
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

// The proxy constructors, one per interface, for the whole process.
struct IIDLess {
  bool operator()(const nsIID& a, const nsIID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};
std::mutex gConstructorsLock;
std::map<nsIID, nsProxyConstructorProc, IIDLess>& Constructors() {
  static std::map<nsIID, nsProxyConstructorProc, IIDLess> constructors;
  return constructors;
}

nsProxyConstructorProc ConstructorFor(const nsIID& aIID) {
  std::lock_guard lock(gConstructorsLock);
  auto it = Constructors().find(aIID);
  return it == Constructors().end() ? nullptr : it->second;
}

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
    nsProxyConstructorProc construct = ConstructorFor(aIID);
    if (!construct) return NS_NOINTERFACE;
    nsCOMPtr<nsISupports> target;
    nsresult rv = aObject->QueryInterface(aIID, target.StartAssignmentVoid());
    if (NS_FAILED(rv)) return rv;
    nsIEventQueue* queue = aDestQueue ? aDestQueue : CurrentQueue();
    return construct(target.get(), queue, aProxyType, aResult);
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

nsresult NS_RegisterProxyConstructor(const nsIID& aIID, nsProxyConstructorProc aConstructor) {
  if (!aConstructor) return NS_ERROR_NULL_POINTER;
  std::lock_guard lock(gConstructorsLock);
  Constructors()[aIID] = aConstructor;
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
