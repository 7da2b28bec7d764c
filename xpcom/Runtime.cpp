// The host runtime: string containers, local files, and one manager that
// serves as component manager, registrar and service manager.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "RuntimeInternal.h"
#include "nsCOMPtr.h"
#include "nsIModule.h"
#include "nsSupportsImpl.h"
#include "nsXPCOM.h"

// ---- string containers ----

namespace {
std::string* Text(const nsACString& aStr) { return static_cast<std::string*>(aStr.mImpl); }
}  // namespace

nsresult NS_CStringContainerInit(nsCStringContainer& aContainer) {
  aContainer.mImpl = std::make_unique<std::string>().release();
  return NS_OK;
}

void NS_CStringContainerFinish(nsCStringContainer& aContainer) {
  std::unique_ptr<std::string> owned(Text(aContainer));
  aContainer.mImpl = nullptr;
}

uint32_t NS_CStringGetData(const nsACString& aStr, const char** aData, bool* aTerminated) {
  if (aTerminated) *aTerminated = true;
  const std::string* text = Text(aStr);
  if (!text) {  // a container that was never initialised reads as empty
    if (aData) *aData = "";
    return 0;
  }
  if (aData) *aData = text->c_str();
  return static_cast<uint32_t>(text->size());
}

nsresult NS_CStringSetData(nsACString& aStr, const char* aData, uint32_t aLength) {
  std::string* text = Text(aStr);
  if (!text) return NS_ERROR_NOT_INITIALIZED;
  if (!aData) {
    text->clear();
    return NS_OK;
  }
  if (aLength == UINT32_MAX) aLength = static_cast<uint32_t>(std::strlen(aData));
  text->assign(aData, aLength);
  return NS_OK;
}

// ---- local files ----

namespace {

class LocalFile final : public nsSupportsImpl<nsIFile> {
 public:
  explicit LocalFile(std::string aPath) : mPath(std::move(aPath)) {}
  nsresult GetNativePath(nsACString& aPath) override {
    return NS_CStringSetData(aPath, mPath.data(), static_cast<uint32_t>(mPath.size()));
  }

 private:
  std::string mPath;
};

}  // namespace

nsresult NS_NewNativeLocalFile(const nsACString& aPath, bool, nsIFile** aResult) {
  if (!aResult) return NS_ERROR_NULL_POINTER;
  const char* data = nullptr;
  uint32_t length = NS_CStringGetData(aPath, &data);
  nsCOMPtr<nsIFile> file(new LocalFile(std::string(data, length)));
  *aResult = file.forget();
  return NS_OK;
}

// ---- component, registrar and service manager ----

namespace {

class Manager final
    : public nsSupportsImpl<nsIComponentManager, nsIComponentRegistrar, nsIServiceManager> {
 public:
  nsresult GetClassObject(const nsCID& aClass, const nsIID& aIID, void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    nsCOMPtr<nsIFactory> factory = FindFactory(aClass);
    return factory ? factory->QueryInterface(aIID, aResult) : NS_ERROR_FACTORY_NOT_REGISTERED;
  }

  nsresult GetClassObjectByContractID(const char* aContractID, const nsIID& aIID,
                                      void** aResult) override {
    if (!aResult || !aContractID) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    nsCOMPtr<nsIFactory> factory = FindFactory(aContractID);
    return factory ? factory->QueryInterface(aIID, aResult) : NS_ERROR_FACTORY_NOT_REGISTERED;
  }

  nsresult CreateInstance(const nsCID& aClass, nsISupports* aOuter, const nsIID& aIID,
                          void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    nsCOMPtr<nsIFactory> factory = FindFactory(aClass);
    // The factory runs outside the lock: constructors may ask for services.
    return factory ? factory->CreateInstance(aOuter, aIID, aResult)
                   : NS_ERROR_FACTORY_NOT_REGISTERED;
  }

  nsresult CreateInstanceByContractID(const char* aContractID, nsISupports* aOuter,
                                      const nsIID& aIID, void** aResult) override {
    if (!aResult || !aContractID) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    nsCOMPtr<nsIFactory> factory = FindFactory(aContractID);
    return factory ? factory->CreateInstance(aOuter, aIID, aResult)
                   : NS_ERROR_FACTORY_NOT_REGISTERED;
  }

  nsresult AutoRegister(nsIFile* aSpec) override {
    if (!aSpec) return NS_ERROR_NULL_POINTER;
    nsCString path;
    aSpec->GetNativePath(path);
    // Module libraries are never unloaded: an object the host still holds
    // would otherwise be left without its code.
    void* library = dlopen(path.get(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      std::fprintf(stderr, "xpcom: cannot load module %s: %s\n", path.get(), dlerror());
      return NS_ERROR_FILE_NOT_FOUND;
    }
    auto getModule = reinterpret_cast<nsGetModuleProc>(dlsym(library, NS_GET_MODULE_SYMBOL));
    if (!getModule) {
      std::fprintf(stderr, "xpcom: %s has no %s\n", path.get(), NS_GET_MODULE_SYMBOL);
      return NS_ERROR_FACTORY_NOT_LOADED;
    }
    nsCOMPtr<nsIModule> module;
    nsresult rv = getModule(this, aSpec, getter_AddRefs(module));
    if (NS_FAILED(rv)) return rv;
    if (!module) return NS_ERROR_FACTORY_NOT_LOADED;
    rv = module->RegisterSelf(this, aSpec, path.get(), "native");
    if (NS_FAILED(rv)) return rv;
    std::lock_guard lock(mLock);
    mModules.push_back(std::move(module));
    return NS_OK;
  }

  nsresult RegisterFactory(const nsCID& aClass, const char* aClassName, const char* aContractID,
                           nsIFactory* aFactory) override {
    if (!aFactory) return NS_ERROR_NULL_POINTER;
    std::lock_guard lock(mLock);
    auto it = FindEntry(aClass);
    if (it == mFactories.end()) it = mFactories.insert(it, Entry{aClass, {}, {}});
    it->name = aClassName ? aClassName : "";
    it->factory = aFactory;
    if (aContractID) mContracts[aContractID] = aClass;
    return NS_OK;
  }

  nsresult IsContractIDRegistered(const char* aContractID, bool* aResult) override {
    if (!aContractID || !aResult) return NS_ERROR_NULL_POINTER;
    std::lock_guard lock(mLock);
    *aResult = mContracts.count(aContractID) != 0;
    return NS_OK;
  }

  nsresult GetServiceByContractID(const char* aContractID, const nsIID& aIID,
                                  void** aResult) override {
    if (!aResult || !aContractID) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    nsCOMPtr<nsISupports> service;
    {
      std::lock_guard lock(mLock);
      auto it = mServices.find(aContractID);
      if (it != mServices.end()) service = it->second;
    }
    if (!service) {
      nsresult rv = CreateInstanceByContractID(aContractID, nullptr, NS_GET_IID(nsISupports),
                                               service.StartAssignmentVoid());
      if (NS_FAILED(rv)) return rv;
      std::lock_guard lock(mLock);
      // Two threads racing for a new service: the first one stored wins.
      auto [it, inserted] = mServices.emplace(aContractID, service);
      if (!inserted) service = it->second;
    }
    return service->QueryInterface(aIID, aResult);
  }

  // Hands everything over for release outside the lock, since destructors
  // may call back into the manager.
  void Clear() {
    std::vector<Entry> factories;
    std::map<std::string, nsCOMPtr<nsISupports>> services;
    std::vector<nsCOMPtr<nsIModule>> modules;
    {
      std::lock_guard lock(mLock);
      factories.swap(mFactories);
      services.swap(mServices);
      modules.swap(mModules);
      mContracts.clear();
    }
  }

 private:
  struct Entry {
    nsCID cid;
    std::string name;
    nsCOMPtr<nsIFactory> factory;
  };

  std::vector<Entry>::iterator FindEntry(const nsCID& aClass) {
    auto it = mFactories.begin();
    while (it != mFactories.end() && !it->cid.Equals(aClass)) ++it;
    return it;
  }
  nsCOMPtr<nsIFactory> FindFactory(const nsCID& aClass) {
    std::lock_guard lock(mLock);
    auto it = FindEntry(aClass);
    return it == mFactories.end() ? nullptr : it->factory;
  }
  nsCOMPtr<nsIFactory> FindFactory(const char* aContractID) {
    std::lock_guard lock(mLock);
    auto contract = mContracts.find(aContractID);
    if (contract == mContracts.end()) return nullptr;
    auto it = FindEntry(contract->second);
    return it == mFactories.end() ? nullptr : it->factory;
  }

  std::mutex mLock;
  std::vector<Entry> mFactories;
  std::map<std::string, nsCID> mContracts;
  std::map<std::string, nsCOMPtr<nsISupports>> mServices;
  std::vector<nsCOMPtr<nsIModule>> mModules;
};

std::mutex gManagerLock;
nsCOMPtr<Manager> gManager;

// The host's own components, registered at every start of the runtime.
std::mutex gStaticLock;
std::vector<nsStaticComponentsProc>& StaticComponents() {
  static std::vector<nsStaticComponentsProc> procs;
  return procs;
}

nsresult RegisterStaticComponents(nsIComponentRegistrar* aRegistrar) {
  std::vector<nsStaticComponentsProc> procs;
  {
    std::lock_guard lock(gStaticLock);
    procs = StaticComponents();
  }
  for (nsStaticComponentsProc proc : procs) {
    nsresult rv = proc(aRegistrar);
    if (NS_FAILED(rv)) return rv;
  }
  return NS_OK;
}

template <class T>
nsresult GetManagerAs(T** aResult) {
  if (!aResult) return NS_ERROR_NULL_POINTER;
  std::lock_guard lock(gManagerLock);
  *aResult = nullptr;
  if (!gManager) return NS_ERROR_NOT_INITIALIZED;
  *aResult = gManager.get();
  (*aResult)->AddRef();
  return NS_OK;
}

}  // namespace

nsresult NS_GetComponentManager(nsIComponentManager** aResult) { return GetManagerAs(aResult); }
nsresult NS_GetServiceManager(nsIServiceManager** aResult) { return GetManagerAs(aResult); }
nsresult NS_GetComponentRegistrar(nsIComponentRegistrar** aResult) {
  return GetManagerAs(aResult);
}

nsresult NS_InitXPCOM(nsIServiceManager** aResult) {
  if (aResult) *aResult = nullptr;
  nsCOMPtr<Manager> manager;
  {
    std::lock_guard lock(gManagerLock);
    if (gManager) return NS_ERROR_UNEXPECTED;
    gManager = new Manager;
    manager = gManager;
  }
  nsresult rv = vxrt::RegisterProxyService(manager.get());
  if (NS_SUCCEEDED(rv)) rv = RegisterStaticComponents(manager.get());
  if (NS_FAILED(rv)) {
    NS_ShutdownXPCOM(nullptr);
    return rv;
  }
  return aResult ? NS_GetServiceManager(aResult) : NS_OK;
}

nsresult NS_AddStaticComponents(nsStaticComponentsProc aRegister) {
  if (!aRegister) return NS_ERROR_NULL_POINTER;
  std::lock_guard lock(gStaticLock);
  StaticComponents().push_back(aRegister);
  return NS_OK;
}

nsresult NS_ShutdownXPCOM(nsIServiceManager* aServMgr) {
  if (aServMgr) aServMgr->Release();
  nsCOMPtr<Manager> manager;
  {
    std::lock_guard lock(gManagerLock);
    manager = std::move(gManager);
  }
  if (!manager) return NS_ERROR_NOT_INITIALIZED;
  vxrt::DropCurrentEventQueue();
  manager->Clear();
  return NS_OK;
}
