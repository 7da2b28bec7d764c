// What a host calls to bring the runtime up and down, and the runtime's
// own objects a host needs directly.
#pragma once

#include "nsIComponentManager.h"
#include "nsIProxyObjectManager.h"

// Registers a host's own components (those it links into itself) with
// aRegistrar; a failure stops the runtime's start.
using nsStaticComponentsProc = nsresult (*)(nsIComponentRegistrar* aRegistrar);

extern "C" {
// Starts the runtime: registers the proxy service, then runs every
// NS_AddStaticComponents procedure in the order they were added.
// *aResult (may be null) receives the service manager.
NS_EXPORT_API nsresult NS_InitXPCOM(nsIServiceManager** aResult);
// Adds aRegister to the procedures of every later NS_InitXPCOM, for the rest
// of the process; host code calls it from a static initialiser, so that
// linking the code is all a program does to have the components.
NS_EXPORT_API nsresult NS_AddStaticComponents(nsStaticComponentsProc aRegister);
// Releases aServMgr (the reference NS_InitXPCOM handed out, may be null),
// drops every registration and factory, and the calling thread's event
// queue with whatever is still pending in it. Module libraries stay mapped:
// objects a host forgot to release keep working code under them.
NS_EXPORT_API nsresult NS_ShutdownXPCOM(nsIServiceManager* aServMgr);

NS_EXPORT_API nsresult NS_NewNativeLocalFile(const nsACString& aPath, bool aFollowLinks, nsIFile** aResult);

// The calling thread's event queue, created on first use.
NS_EXPORT_API nsresult NS_GetCurrentEventQueue(nsIEventQueue** aResult);
}
