// Counted references held by scope, and the usual ways to fill them.
#pragma once

#include <utility>

#include "nsIComponentManager.h"

template <class T>
class nsCOMPtr {
 public:
  nsCOMPtr() = default;
  nsCOMPtr(std::nullptr_t) {}
  // Takes a new reference of its own.
  nsCOMPtr(T* aRaw) : mRaw(aRaw) {
    if (mRaw) mRaw->AddRef();
  }
  nsCOMPtr(const nsCOMPtr& aOther) : nsCOMPtr(aOther.mRaw) {}
  nsCOMPtr(nsCOMPtr&& aOther) noexcept : mRaw(std::exchange(aOther.mRaw, nullptr)) {}
  ~nsCOMPtr() { reset(); }

  nsCOMPtr& operator=(nsCOMPtr aOther) noexcept {
    std::swap(mRaw, aOther.mRaw);
    return *this;
  }

  void reset() {
    if (T* raw = std::exchange(mRaw, nullptr)) raw->Release();
  }
  // Hands the reference to the caller.
  T* forget() { return std::exchange(mRaw, nullptr); }
  // Out-argument slot; the callee stores a reference it already added.
  T** StartAssignment() {
    reset();
    return &mRaw;
  }
  void** StartAssignmentVoid() { return reinterpret_cast<void**>(StartAssignment()); }

  T* get() const { return mRaw; }
  T* operator->() const { return mRaw; }
  explicit operator bool() const { return mRaw != nullptr; }

 private:
  T* mRaw = nullptr;
};

template <class T>
T** getter_AddRefs(nsCOMPtr<T>& aPtr) {
  return aPtr.StartAssignment();
}

template <class T>
nsCOMPtr<T> do_QueryInterface(nsISupports* aObject, nsresult* aRv = nullptr) {
  nsCOMPtr<T> result;
  nsresult rv = aObject ? aObject->QueryInterface(NS_GET_IID(T), result.StartAssignmentVoid())
                        : NS_ERROR_NULL_POINTER;
  if (aRv) *aRv = rv;
  return result;
}

template <class T>
nsCOMPtr<T> do_GetService(const char* aContractID, nsresult* aRv = nullptr) {
  nsCOMPtr<T> result;
  nsCOMPtr<nsIServiceManager> manager;
  nsresult rv = NS_GetServiceManager(getter_AddRefs(manager));
  if (NS_SUCCEEDED(rv))
    rv = manager->GetServiceByContractID(aContractID, NS_GET_IID(T), result.StartAssignmentVoid());
  if (aRv) *aRv = rv;
  return result;
}

template <class T>
nsCOMPtr<T> do_CreateInstance(const char* aContractID, nsresult* aRv = nullptr) {
  nsCOMPtr<T> result;
  nsCOMPtr<nsIComponentManager> manager;
  nsresult rv = NS_GetComponentManager(getter_AddRefs(manager));
  if (NS_SUCCEEDED(rv))
    rv = manager->CreateInstanceByContractID(aContractID, nullptr, NS_GET_IID(T),
                                             result.StartAssignmentVoid());
  if (aRv) *aRv = rv;
  return result;
}
