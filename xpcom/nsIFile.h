// A file location. Only the native path is needed here.
#pragma once

#include "nsISupports.h"
#include "nsStringAPI.h"

#define NS_IFILE_IID \
  { 0x3c1b2a4e, 0x8d17, 0x4f4a, { 0x9b, 0x52, 0x61, 0x0e, 0x7d, 0x3a, 0xc4, 0x15 } }

class nsIFile : public nsISupports {
 public:
  NS_DECLARE_STATIC_IID_ACCESSOR(NS_IFILE_IID)

  virtual nsresult GetNativePath(nsACString& aPath) = 0;
};
