// Narrow string containers, owned by the runtime. A caller allocates the
// container itself and lets the runtime fill and free its buffer through
// the container functions, so no allocator crosses a library boundary.
#pragma once

#include <cstdint>

#include "nscore.h"

class nsACString {
 protected:
  nsACString() = default;
  ~nsACString() = default;

 public:
  nsACString(const nsACString&) = delete;
  nsACString& operator=(const nsACString&) = delete;

  // Opaque to callers; only the container functions touch it.
  void* mImpl = nullptr;
};

class nsCStringContainer : public nsACString {};


// The runtime's string functions (exported by the host runtime).
extern "C" {
NS_EXPORT_API nsresult NS_CStringContainerInit(nsCStringContainer& aContainer);
NS_EXPORT_API void NS_CStringContainerFinish(nsCStringContainer& aContainer);
// Returns the length; *aData stays valid until the string changes.
// The data is always terminated.
NS_EXPORT_API uint32_t NS_CStringGetData(const nsACString& aStr, const char** aData, bool* aTerminated = nullptr);
// aLength UINT32_MAX means up to the terminating zero.
NS_EXPORT_API nsresult NS_CStringSetData(nsACString& aStr, const char* aData, uint32_t aLength = UINT32_MAX);
}

// A container that is initialised and finished with its scope, so that
// every return path releases it.
class nsCString : public nsCStringContainer {
 public:
  nsCString() { NS_CStringContainerInit(*this); }
  explicit nsCString(const char* aText) : nsCString() { NS_CStringSetData(*this, aText); }
  ~nsCString() { NS_CStringContainerFinish(*this); }

  const char* get() const {
    const char* data = nullptr;
    NS_CStringGetData(*this, &data);
    return data;
  }
};
