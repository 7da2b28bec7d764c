// Module libraries: the module object a library hands out through
// NSGetModule, and the tables from which the generic module is built.
#pragma once

#include "nsIComponentManager.h"

#define NS_IMODULE_IID \
  { 0x1f6b9c3a, 0x4e27, 0x4b8d, { 0xb0, 0x61, 0x2d, 0x93, 0x5a, 0x0c, 0xe8, 0x47 } }

class nsIModule : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_IMODULE_IID)

  virtual nsresult GetClassObject(nsIComponentManager* aCompMgr, const nsCID& aClass,
                                  const nsIID& aIID, void** aResult) = 0;
  virtual nsresult RegisterSelf(nsIComponentManager* aCompMgr, nsIFile* aLocation,
                                const char* aLoaderStr, const char* aType) = 0;
  virtual nsresult UnregisterSelf(nsIComponentManager* aCompMgr, nsIFile* aLocation,
                                  const char* aLoaderStr) = 0;
  virtual nsresult CanUnload(nsIComponentManager* aCompMgr, bool* aResult) = 0;
};

struct nsModuleComponentInfo;
class nsIClassInfo;

using NSConstructorProcPtr = nsresult (*)(nsISupports* aOuter, const nsIID& aIID, void** aResult);
using NSRegisterSelfProcPtr = nsresult (*)(nsIComponentManager* aCompMgr, nsIFile* aPath,
                                           const char* aRegistryLocation,
                                           const char* aComponentType,
                                           const nsModuleComponentInfo* aInfo);
using NSUnregisterSelfProcPtr = nsresult (*)(nsIComponentManager* aCompMgr, nsIFile* aPath,
                                             const char* aRegistryLocation,
                                             const nsModuleComponentInfo* aInfo);
using NSFactoryDestructorProcPtr = void (*)();
using NSGetInterfacesProcPtr = nsresult (*)(uint32_t* aCount, nsIID*** aArray);
using NSGetLanguageHelperProcPtr = nsresult (*)(uint32_t aLanguage, nsISupports** aHelper);
using nsModuleConstructorProc = nsresult (*)(nsIModule* aSelf);
using nsModuleDestructorProc = void (*)(nsIModule* aSelf);

struct nsModuleComponentInfo {
  const char* mDescription;
  nsCID mCID;
  const char* mContractID;
  NSConstructorProcPtr mConstructor;
  NSRegisterSelfProcPtr mRegisterSelfProc;
  NSUnregisterSelfProcPtr mUnregisterSelfProc;
  NSFactoryDestructorProcPtr mFactoryDestructor;
  NSGetInterfacesProcPtr mGetInterfacesProc;
  NSGetLanguageHelperProcPtr mGetLanguageHelperProc;
  nsIClassInfo** mClassInfoGlobal;
  uint32_t mFlags;
};

constexpr uint32_t NS_MODULEINFO_VERSION = 0x15000;

struct nsModuleInfo {
  uint32_t mVersion;
  const char* mModuleName;
  const nsModuleComponentInfo* mComponents;
  uint32_t mCount;
  nsModuleConstructorProc mCtor;
  nsModuleDestructorProc mDtor;
};

// The one entry point of a module library, looked up by this plain name.
using nsGetModuleProc = nsresult (*)(nsIComponentManager* aCompMgr, nsIFile* aLocation,
                                     nsIModule** aResult);
#define NS_GET_MODULE_SYMBOL "NSGetModule"

// Glue: builds a module (with one generic factory per component) over
// aInfo, which must outlive it. *aResult holds one reference for the caller.
nsresult NS_NewGenericModule2(const nsModuleInfo* aInfo, nsIModule** aResult);
