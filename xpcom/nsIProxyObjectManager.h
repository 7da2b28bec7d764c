// Per-thread event queues and proxies that turn calls on an object into
// events run later on the thread that owns the queue.
#pragma once

#include "nsISupports.h"

#define NS_IEVENTQUEUE_IID \
  { 0x0c7a2f58, 0x6e13, 0x4d92, { 0xbd, 0x40, 0x7f, 0x21, 0x08, 0xa9, 0x3e, 0x6b } }
#define NS_IPROXYOBJECTMANAGER_IID \
  { 0xeea90d43, 0xb059, 0x11d2, { 0x91, 0x5e, 0xc1, 0x2b, 0x69, 0x6c, 0x93, 0x33 } }

// The contract ID under which our runtime registers the proxy service (the
// same vendor domain as the component's own contract IDs).
#define NS_XPCOMPROXY_CONTRACTID "@vxaudio.example/xpcomproxy;1"

class nsIEventQueue : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_IEVENTQUEUE_IID)

  // Runs every event posted so far. Only the owning thread may call it.
  virtual nsresult ProcessPendingEvents() = 0;
  // Blocks until an event is pending or aTimeoutMs has passed.
  virtual nsresult WaitForEvent(uint32_t aTimeoutMs, bool* aPending) = 0;
  virtual nsresult IsOnCurrentThread(bool* aResult) = 0;
};

// The calling thread's own queue, when passed as the destination queue.
#define NS_CURRENT_EVENTQ (static_cast<nsIEventQueue*>(nullptr))

enum : int32_t {
  PROXY_SYNC = 1,
  PROXY_ASYNC = 2,  // the call returns at once; its result is lost
  PROXY_ALWAYS = 4,  // queue even when called on the destination thread
};

class nsIProxyObjectManager : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_IPROXYOBJECTMANAGER_IID)

  virtual nsresult GetProxyForObject(nsIEventQueue* aDestQueue, const nsIID& aIID,
                                     nsISupports* aObject, int32_t aProxyType,
                                     void** aResult) = 0;
};
