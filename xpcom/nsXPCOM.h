// What a host calls to bring the runtime up and down, and the runtime's
// own objects a host needs directly.
#pragma once

#include "nsIComponentManager.h"
#include "nsIProxyObjectManager.h"

extern "C" {
// Starts the runtime:
// registers the proxy service and the host-side vxIntVector component.
// *aResult (may be null) receives the service manager.
NS_EXPORT_API nsresult NS_InitXPCOM(nsIServiceManager** aResult);
// Releases aServMgr (the reference NS_InitXPCOM handed out, may be null),
// drops every registration and factory, and the calling thread's event
// queue with whatever is still pending in it. Module libraries stay mapped:
// objects a host forgot to release keep working code under them.
NS_EXPORT_API nsresult NS_ShutdownXPCOM(nsIServiceManager* aServMgr);

NS_EXPORT_API nsresult NS_NewNativeLocalFile(const nsACString& aPath, bool aFollowLinks, nsIFile** aResult);

// The calling thread's event queue, created on first use.
NS_EXPORT_API nsresult NS_GetCurrentEventQueue(nsIEventQueue** aResult);
}
