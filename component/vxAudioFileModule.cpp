// The module: its tables, the factory constructor, the registration hook
// and NSGetModule, the library's one export.
#include <prio.h>
#include <prprf.h>

#include <new>

#include "nsIModule.h"
#include "vxAudioFile.h"

namespace {

nsresult vxAudioFileConstructor(nsISupports* aOuter, const nsIID& aIID, void** aResult) {
  if (!aResult) return NS_ERROR_NULL_POINTER;
  *aResult = nullptr;
  if (aOuter) return NS_ERROR_NO_AGGREGATION;
  vxAudioFile* instance = new (std::nothrow) vxAudioFile;
  if (!instance) return NS_ERROR_OUT_OF_MEMORY;
  // The extra reference makes a refused interface destroy the object and
  // a granted one leave exactly the caller's reference.
  instance->AddRef();
  nsresult rv = instance->QueryInterface(aIID, aResult);
  instance->Release();
  return rv;
}

nsresult vxAudioFileRegistration(nsIComponentManager*, nsIFile*, const char*, const char*,
                                 const nsModuleComponentInfo*) {
  PR_fprintf(PR_GetSpecialFD(PR_StandardOutput), "Chargement audioquarnel.\n");
  return NS_OK;
}

const nsModuleComponentInfo kComponents[] = {{
    "Audio File object of olvex library for quarnel",
    VX_AUDIOFILE_CID,
    VX_AUDIOFILE_CONTRACTID,
    vxAudioFileConstructor,
    vxAudioFileRegistration,
    nullptr,  // unregister-self
    nullptr,  // factory destructor
    nullptr,  // get-interfaces
    nullptr,  // language helper
    nullptr,  // class-info global
    0,        // flags
}};

const nsModuleInfo kModuleInfo = {
    NS_MODULEINFO_VERSION, "vxAudioFile", kComponents, 1, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) nsresult NSGetModule(nsIComponentManager*,
                                                                       nsIFile*,
                                                                       nsIModule** aResult) {
  return NS_NewGenericModule2(&kModuleInfo, aResult);
}
