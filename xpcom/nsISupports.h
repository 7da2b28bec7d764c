// The base of every interface: reference counting and interface queries.
#pragma once

#include "nsID.h"
#include "nscore.h"

#define NS_ISUPPORTS_IID \
  { 0x00000000, 0x0000, 0x0000, { 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } }

class nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_ISUPPORTS_IID)

  virtual nsresult QueryInterface(const nsIID& aIID, void** aResult) = 0;
  virtual nsrefcnt AddRef() = 0;
  virtual nsrefcnt Release() = 0;

 protected:
  // Objects go away through Release, never through a base pointer.
  ~nsISupports() = default;
};
