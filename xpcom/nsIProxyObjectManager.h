// Per-thread event queues and proxies that turn calls on an object into
// events run later on the thread that owns the queue.
#pragma once

#include "nsISupports.h"

#define NS_IRUNNABLE_IID \
  { 0x5e5c0f9f, 0x60bd, 0x4fd0, { 0xb2, 0xcf, 0x39, 0x37, 0xf2, 0x8c, 0xa3, 0x54 } }
#define NS_IEVENTQUEUE_IID \
  { 0x0c7a2f58, 0x6e13, 0x4d92, { 0xbd, 0x40, 0x7f, 0x21, 0x08, 0xa9, 0x3e, 0x6b } }
#define NS_IPROXYOBJECTMANAGER_IID \
  { 0xeea90d43, 0xb059, 0x11d2, { 0x91, 0x5e, 0xc1, 0x2b, 0x69, 0x6c, 0x93, 0x33 } }

// The contract ID under which our runtime registers the proxy service (the
// same vendor domain as the component's own contract IDs).
#define NS_XPCOMPROXY_CONTRACTID "@vxaudio.example/xpcomproxy;1"

// One event: a call waiting in a queue for the queue's thread.
class nsIRunnable : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_IRUNNABLE_IID)

  virtual nsresult Run() = 0;
};

class nsIEventQueue : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_IEVENTQUEUE_IID)

  // Runs every event posted so far. Only the owning thread may call it.
  virtual nsresult ProcessPendingEvents() = 0;
  // Blocks until an event is pending or aTimeoutMs has passed.
  virtual nsresult WaitForEvent(uint32_t aTimeoutMs, bool* aPending) = 0;
  virtual nsresult IsOnCurrentThread(bool* aResult) = 0;
  // Queues aEvent (from any thread), holding a reference until it has run.
  // NS_ERROR_FAILURE once the queue is closed: the event is dropped.
  virtual nsresult PostEvent(nsIRunnable* aEvent) = 0;
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

  // A proxy for aObject's interface aIID, made by the constructor registered
  // for aIID (NS_NOINTERFACE when there is none). Asynchronous only.
  virtual nsresult GetProxyForObject(nsIEventQueue* aDestQueue, const nsIID& aIID,
                                     nsISupports* aObject, int32_t aProxyType,
                                     void** aResult) = 0;
};

// Without type libraries a proxy is written per interface, by the code that
// defines the interface (nsProxyImpl.h helps). Its constructor receives the
// target as queried for that interface, the destination queue and the proxy
// type, and stores the new proxy, with one reference, as that interface.
using nsProxyConstructorProc = nsresult (*)(nsISupports* aTarget, nsIEventQueue* aQueue,
                                            int32_t aProxyType, void** aResult);

extern "C" {
// Makes aConstructor the one for aIID, for the rest of the process (a later
// one for the same IID wins). May be called before NS_InitXPCOM.
NS_EXPORT_API nsresult NS_RegisterProxyConstructor(const nsIID& aIID,
                                                   nsProxyConstructorProc aConstructor);
}
