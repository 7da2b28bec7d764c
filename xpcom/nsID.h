// 128-bit identifiers of interfaces (IID) and classes (CID).
#pragma once

#include <cstdint>
#include <cstring>

struct nsID {
  uint32_t m0;
  uint16_t m1;
  uint16_t m2;
  uint8_t m3[8];

  bool Equals(const nsID& aOther) const { return std::memcmp(this, &aOther, sizeof(nsID)) == 0; }
};

inline bool operator==(const nsID& a, const nsID& b) { return a.Equals(b); }

using nsIID = nsID;
using nsCID = nsID;

// Every interface names its IID once; NS_GET_IID reads it back by type.
#define NS_DECLARE_STATIC_IID_ACCESSOR(iidValue) \
  static const nsIID& GetIID() {                 \
    static const nsIID kIID = iidValue;          \
    return kIID;                                 \
  }
#define NS_GET_IID(T) T::GetIID()
