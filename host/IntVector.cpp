// vxIntVector, the host's list of integers in which list results come back.
#include <vector>

#include "nsCOMPtr.h"
#include "nsSupportsImpl.h"
#include "nsXPCOM.h"
#include "vxIAudioFile.h"

namespace {

class IntVector final : public nsSupportsImpl<vxIIntVector> {
 public:
  nsresult GetAt(int32_t aIndex, int32_t* aValue) override {
    if (!aValue) return NS_ERROR_NULL_POINTER;
    if (aIndex < 0 || static_cast<size_t>(aIndex) >= mValues.size()) return NS_ERROR_INVALID_ARG;
    *aValue = mValues[aIndex];
    return NS_OK;
  }
  // Indices past the end would leave holes with no value; they are refused.
  nsresult SetAt(int32_t aIndex, int32_t aValue) override {
    if (aIndex < 0 || static_cast<size_t>(aIndex) > mValues.size()) return NS_ERROR_INVALID_ARG;
    if (static_cast<size_t>(aIndex) == mValues.size())
      mValues.push_back(aValue);
    else
      mValues[aIndex] = aValue;
    return NS_OK;
  }
  nsresult GetLength(int32_t* aLength) override {
    if (!aLength) return NS_ERROR_NULL_POINTER;
    *aLength = static_cast<int32_t>(mValues.size());
    return NS_OK;
  }

 private:
  std::vector<int32_t> mValues;
};

class IntVectorFactory final : public nsSupportsImpl<nsIFactory> {
 public:
  nsresult CreateInstance(nsISupports* aOuter, const nsIID& aIID, void** aResult) override {
    if (!aResult) return NS_ERROR_NULL_POINTER;
    *aResult = nullptr;
    if (aOuter) return NS_ERROR_NO_AGGREGATION;
    nsCOMPtr<vxIIntVector> vector(new IntVector);
    return vector->QueryInterface(aIID, aResult);
  }
  nsresult LockFactory(bool) override { return NS_OK; }
};

const nsCID kIntVectorCID = {
    0x8a43e0d2, 0x1c5b, 0x47f9, {0xb6, 0x0d, 0x3e, 0x92, 0x71, 0x5a, 0xc8, 0x04}};

nsresult RegisterIntVector(nsIComponentRegistrar* aRegistrar) {
  nsCOMPtr<nsIFactory> factory(new IntVectorFactory);
  return aRegistrar->RegisterFactory(kIntVectorCID, "integer vector", VX_INTVECTOR_CONTRACTID,
                                     factory.get());
}

// Every program that links this file has the vector from NS_InitXPCOM on.
const struct Registration {
  Registration() { NS_AddStaticComponents(RegisterIntVector); }
} kRegistration;

}  // namespace
