// A growable list of 32-bit integers, provided by the host; list results
// come back in one.
#pragma once

#include "nsISupports.h"

#define VX_IINTVECTOR_IID \
  { 0x54b5c494, 0x45d5, 0x4a11, { 0xa5, 0x5d, 0xf7, 0x48, 0xed, 0xfb, 0x56, 0xb3 } }

class vxIIntVector : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(VX_IINTVECTOR_IID)

  // NS_ERROR_INVALID_ARG outside 0 .. length - 1.
  virtual nsresult GetAt(int32_t aIndex, int32_t* aValue) = 0;
  // Stores aValue at aIndex; an index equal to the length appends. A larger
  // one would leave values nobody set, and is refused (NS_ERROR_INVALID_ARG).
  virtual nsresult SetAt(int32_t aIndex, int32_t aValue) = 0;
  virtual nsresult GetLength(int32_t* aLength) = 0;
};
