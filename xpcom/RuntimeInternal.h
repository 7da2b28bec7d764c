// Pieces of the host runtime that its own files share.
#pragma once

#include "nsIComponentManager.h"

namespace vxrt {

// The runtime's own service, registered by NS_InitXPCOM.
nsresult RegisterProxyService(nsIComponentRegistrar* aRegistrar);

// Closes the calling thread's event queue, dropping its pending events.
void DropCurrentEventQueue();

}  // namespace vxrt
