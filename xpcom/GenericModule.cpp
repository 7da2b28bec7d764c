// The generic module and factory that a module library builds from its
// tables: the module registers one factory per component and then runs the
// component's own registration hook; each factory calls the component's
// constructor.
#include <cstring>

#include "nsCOMPtr.h"
#include "nsIModule.h"
#include "nsSupportsImpl.h"

namespace {

class GenericFactory final : public nsSupportsImpl<nsIFactory> {
 public:
  explicit GenericFactory(const nsModuleComponentInfo* aInfo) : mInfo(aInfo) {}

  nsresult CreateInstance(nsISupports* aOuter, const nsIID& aIID, void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    if (!mInfo->mConstructor) return NS_ERROR_FACTORY_NOT_LOADED;
    return mInfo->mConstructor(aOuter, aIID, aResult);
  }
  nsresult LockFactory(bool) override { return NS_OK; }

 private:
  ~GenericFactory() override {
    if (mInfo->mFactoryDestructor) mInfo->mFactoryDestructor();
  }

  const nsModuleComponentInfo* mInfo;
};

class GenericModule final : public nsSupportsImpl<nsIModule> {
 public:
  explicit GenericModule(const nsModuleInfo* aInfo) : mInfo(aInfo) {}

  nsresult Initialize() { return mInfo->mCtor ? mInfo->mCtor(this) : NS_OK; }

  nsresult GetClassObject(nsIComponentManager*, const nsCID& aClass, const nsIID& aIID,
                          void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    for (const nsModuleComponentInfo& info : Components()) {
      if (!info.mCID.Equals(aClass)) continue;
      nsCOMPtr<nsIFactory> factory(new GenericFactory(&info));
      return factory->QueryInterface(aIID, aResult);
    }
    return NS_ERROR_FACTORY_NOT_REGISTERED;
  }

  nsresult RegisterSelf(nsIComponentManager* aCompMgr, nsIFile* aLocation, const char* aLoaderStr,
                        const char* aType) override {
    nsresult rv = NS_OK;
    nsCOMPtr<nsIComponentRegistrar> registrar =
        do_QueryInterface<nsIComponentRegistrar>(aCompMgr, &rv);
    if (NS_FAILED(rv)) return rv;
    for (const nsModuleComponentInfo& info : Components()) {
      nsCOMPtr<nsIFactory> factory(new GenericFactory(&info));
      rv = registrar->RegisterFactory(info.mCID, info.mDescription, info.mContractID,
                                      factory.get());
      if (NS_FAILED(rv)) return rv;
      if (info.mRegisterSelfProc) {
        rv = info.mRegisterSelfProc(aCompMgr, aLocation, aLoaderStr, aType, &info);
        if (NS_FAILED(rv)) return rv;
      }
    }
    return NS_OK;
  }

  nsresult UnregisterSelf(nsIComponentManager* aCompMgr, nsIFile* aLocation,
                          const char* aLoaderStr) override {
    for (const nsModuleComponentInfo& info : Components())
      if (info.mUnregisterSelfProc) info.mUnregisterSelfProc(aCompMgr, aLocation, aLoaderStr, &info);
    return NS_OK;
  }

  nsresult CanUnload(nsIComponentManager*, bool* aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = false;  // instances are not counted, so unloading is never known to be safe
    return NS_OK;
  }

 private:
  ~GenericModule() override {
    if (mInfo->mDtor) mInfo->mDtor(this);
  }

  struct Range {
    const nsModuleComponentInfo* first;
    const nsModuleComponentInfo* last;
    const nsModuleComponentInfo* begin() const { return first; }
    const nsModuleComponentInfo* end() const { return last; }
  };
  Range Components() const { return {mInfo->mComponents, mInfo->mComponents + mInfo->mCount}; }

  const nsModuleInfo* mInfo;
};

}  // namespace

nsresult NS_NewGenericModule2(const nsModuleInfo* aInfo, nsIModule** aResult) {
  if (!aInfo || !aResult) return NS_ERROR_NULL_POINTER;
  *aResult = nullptr;
  if (aInfo->mVersion != NS_MODULEINFO_VERSION) return NS_ERROR_INVALID_ARG;
  nsCOMPtr<GenericModule> module(new GenericModule(aInfo));
  nsresult rv = module->Initialize();
  if (NS_FAILED(rv)) return rv;
  *aResult = module.forget();
  return NS_OK;
}
