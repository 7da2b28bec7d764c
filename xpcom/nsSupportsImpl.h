// Reference counting and interface queries for objects of the runtime and
// the glue. The count is atomic: proxies and queues are shared between
// threads, and the cost does not matter for the rest.
#pragma once

#include <atomic>

#include "nsISupports.h"

template <class... Interfaces>
class nsSupportsImpl : public Interfaces... {
 public:
  nsrefcnt AddRef() override { return ++mRefCnt; }
  nsrefcnt Release() override {
    nsrefcnt count = --mRefCnt;
    if (count == 0) {
      mRefCnt = 1;  // a destructor that takes and drops a reference must not re-enter
      delete this;
    }
    return count;
  }
  nsresult QueryInterface(const nsIID& aIID, void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    ((aIID.Equals(NS_GET_IID(Interfaces)) && (*aResult = static_cast<Interfaces*>(this))) || ...);
    if (!*aResult && aIID.Equals(NS_GET_IID(nsISupports))) *aResult = Canonical();
    if (!*aResult) return NS_NOINTERFACE;
    AddRef();
    return NS_OK;
  }

 protected:
  virtual ~nsSupportsImpl() = default;

 private:
  // The first interface stands for the object in identity comparisons.
  nsISupports* Canonical() {
    return [this]<class First, class... Rest>(First*, Rest*...) {
      return static_cast<nsISupports*>(static_cast<First*>(this));
    }(static_cast<Interfaces*>(nullptr)...);
  }

  std::atomic<nsrefcnt> mRefCnt{0};
};
