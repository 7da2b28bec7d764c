// Factories, and the component and service managers that hand out objects
// by contract ID.
#pragma once

#include "nsIFile.h"
#include "nsISupports.h"

#define NS_IFACTORY_IID \
  { 0x64c0e8a5, 0x2d71, 0x4f0e, { 0x87, 0x3b, 0x9a, 0x15, 0xc2, 0x60, 0x4e, 0xd9 } }
#define NS_ICOMPONENTMANAGER_IID \
  { 0x7b4d1c2e, 0x5f60, 0x4a1b, { 0x8e, 0x2d, 0x40, 0x93, 0x1f, 0x6c, 0x0a, 0x21 } }
#define NS_ICOMPONENTREGISTRAR_IID \
  { 0x2a9e6f10, 0x3b4c, 0x4d8e, { 0x91, 0x07, 0x5c, 0x2e, 0x84, 0x1a, 0x77, 0x3d } }
#define NS_ISERVICEMANAGER_IID \
  { 0x5e8d0b43, 0x91a2, 0x4c6f, { 0xa3, 0x58, 0x12, 0x7b, 0xe0, 0x46, 0x9d, 0x0c } }

class nsIFactory : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_IFACTORY_IID)

  virtual nsresult CreateInstance(nsISupports* aOuter, const nsIID& aIID, void** aResult) = 0;
  virtual nsresult LockFactory(bool aLock) = 0;
};

class nsIComponentManager : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_ICOMPONENTMANAGER_IID)

  virtual nsresult GetClassObject(const nsCID& aClass, const nsIID& aIID, void** aResult) = 0;
  virtual nsresult GetClassObjectByContractID(const char* aContractID, const nsIID& aIID,
                                              void** aResult) = 0;
  virtual nsresult CreateInstance(const nsCID& aClass, nsISupports* aOuter, const nsIID& aIID,
                                  void** aResult) = 0;
  virtual nsresult CreateInstanceByContractID(const char* aContractID, nsISupports* aOuter,
                                              const nsIID& aIID, void** aResult) = 0;
};

class nsIComponentRegistrar : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_ICOMPONENTREGISTRAR_IID)

  // Loads the module library at aSpec and lets it register its components.
  virtual nsresult AutoRegister(nsIFile* aSpec) = 0;
  // Makes aFactory the one that serves aClass and aContractID (which may be
  // null); a later registration of the same contract ID wins.
  virtual nsresult RegisterFactory(const nsCID& aClass, const char* aClassName,
                                   const char* aContractID, nsIFactory* aFactory) = 0;
  virtual nsresult IsContractIDRegistered(const char* aContractID, bool* aResult) = 0;
};

class nsIServiceManager : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_ISERVICEMANAGER_IID)

  virtual nsresult GetServiceByContractID(const char* aContractID, const nsIID& aIID,
                                          void** aResult) = 0;
};

// The runtime's managers (exported by the host runtime). Each returns a new
// reference, or NS_ERROR_NOT_INITIALIZED outside NS_InitXPCOM / NS_ShutdownXPCOM.
extern "C" {
NS_EXPORT_API nsresult NS_GetComponentManager(nsIComponentManager** aResult);
NS_EXPORT_API nsresult NS_GetServiceManager(nsIServiceManager** aResult);
NS_EXPORT_API nsresult NS_GetComponentRegistrar(nsIComponentRegistrar** aResult);
}
