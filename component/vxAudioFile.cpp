#include "vxAudioFile.h"

#include <prio.h>
#include <prprf.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Diag.h"
#include "nsIProxyObjectManager.h"

namespace {

nsresult MapEngineResult(int iErr) {
  if (iErr < 0) return NS_ERROR_INVALID_ARG;
  return iErr > 0 ? NS_ERROR_FAILURE : NS_OK;
}

// Hands aValues over in a new vxIntVector with one reference for the caller.
// A vector that cannot be created gives its error and no vector.
nsresult HandOver(const std::vector<int32_t>& aValues, vxIIntVector** aResult) {
  nsresult rv = NS_OK;
  nsCOMPtr<vxIIntVector> vector = do_CreateInstance<vxIIntVector>(VX_INTVECTOR_CONTRACTID, &rv);
  if (!vector) return NS_FAILED(rv) ? rv : NS_ERROR_FAILURE;
  for (size_t i = 0; i < aValues.size(); ++i)
    vector->SetAt(static_cast<int32_t>(i), aValues[i]);
  *aResult = vector.forget();
  return NS_OK;
}

void PrintStdout(const char* aLine) { PR_fprintf(PR_GetSpecialFD(PR_StandardOutput), "%s", aLine); }

}  // namespace

// ---- notifier ----

ProxyPlayNotifier::ProxyPlayNotifier(vxIPlayListener* aListener) {
  nsresult rv = NS_OK;
  nsCOMPtr<nsIProxyObjectManager> manager =
      do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID, &rv);
  if (!manager) {
    vx::DiagOut("ERROR proxyManager\n");
    return;
  }
  // Event queue 0 is the calling thread's own; asynchronous and always
  // queued, so the audio thread never waits and the host thread never
  // runs a notification inside one of its own calls.
  rv = manager->GetProxyForObject(NS_CURRENT_EVENTQ, NS_GET_IID(vxIPlayListener), aListener,
                                  PROXY_ASYNC | PROXY_ALWAYS, mProxy.StartAssignmentVoid());
  if (NS_FAILED(rv)) {
    mProxy.reset();
    vx::DiagOut("NSERROR\n");
  }
}

void ProxyPlayNotifier::NotifyPosition(int32_t iPos) {
  if (mProxy) mProxy->OnPlayPosition(iPos);
}

void ProxyPlayNotifier::NotifyEnd() {
  if (mProxy) mProxy->OnPlayEnd();
}

void ProxyPlayNotifier::NotifyError() {
  if (mProxy) mProxy->OnPlayError();
}

// ---- life and identity ----

vxAudioFile::vxAudioFile() : mAudioFile(std::make_unique<AudioFile>()) {
  PrintStdout("New audiofile\n");
}

vxAudioFile::~vxAudioFile() {
  PrintStdout("delete audiofile\n");
  mAudioFile.reset();
}

nsrefcnt vxAudioFile::AddRef() { return ++mRefCnt; }

nsrefcnt vxAudioFile::Release() {
  if (--mRefCnt != 0) return mRefCnt;
  mRefCnt = 1;  // stable while the destructor runs, should it take and drop a reference
  delete this;
  return 0;
}

nsresult vxAudioFile::QueryInterface(const nsIID& aIID, void** aResult) {
  if (!aResult) return NS_ERROR_NULL_POINTER;
  if (aIID.Equals(NS_GET_IID(vxIAudioFile)) || aIID.Equals(NS_GET_IID(nsISupports))) {
    *aResult = static_cast<vxIAudioFile*>(this);
    AddRef();
    return NS_OK;
  }
  *aResult = nullptr;
  return NS_NOINTERFACE;
}

// ---- files ----
//
// A null nsIFile is refused with NS_ERROR_NULL_POINTER before anything is
// printed or touched. The result of GetNativePath is not tested: a failed
// query leaves the path empty, and the engine's open then fails with its
// own message.

nsresult vxAudioFile::InitAudio(nsIFile* aFile) {
  if (!aFile) return NS_ERROR_NULL_POINTER;
  nsCString path;
  aFile->GetNativePath(path);
  return MapEngineResult(mAudioFile->InitAudio(path.get()));
}

nsresult vxAudioFile::ExportPartAudio(nsIFile* aOutFile, int32_t aStart, int32_t aLen) {
  if (!aOutFile) return NS_ERROR_NULL_POINTER;
  vx::DiagOut("=>vxAudioFile::ExportPartAudio=>");
  nsCString path;
  aOutFile->GetNativePath(path);
  vx::DiagOut("Check input : ");
  vx::DiagOut("int err = myAudioFile->Export(outPathChar, 16, 2, aStart, aLen);");
  vx::DiagOut(std::string("outPathChar : ") + path.get());
  vx::DiagOut("aStart : " + std::to_string(aStart));
  vx::DiagOut("aLen : " + std::to_string(aLen));
  int err = mAudioFile->Export(path.get(), 16, 2, aStart, aLen);
  mAudioFile->PrintInfo();
  nsresult rv = MapEngineResult(err);
  if (rv == NS_OK) vx::DiagOut("<=vxAudioFile::ExportPartAudio<=");
  return rv;
}

nsresult vxAudioFile::ExportFullAudio(nsIFile* aOutFile) {
  if (!aOutFile) return NS_ERROR_NULL_POINTER;
  vx::DiagOut("=>vxAudioFile::ExportFullAudio=>");
  nsCString path;
  aOutFile->GetNativePath(path);
  vx::DiagOut("Check input : ");
  vx::DiagOut("int err = myAudioFile->Export(outPathChar);");
  vx::DiagOut(std::string("outPathChar : ") + path.get());
  int err = mAudioFile->Export(path.get());
  mAudioFile->PrintInfo();
  nsresult rv = MapEngineResult(err);
  if (rv == NS_OK) vx::DiagOut("<=vxAudioFile::ExportFullAudio<=");
  return rv;
}

// ---- lists ----
//
// The work is done even for a null out pointer, which then gives
// NS_ERROR_NULL_POINTER. The out pointer is cleared first, so a failed call
// never leaves a stale value behind.

nsresult vxAudioFile::SilenceDetect(float aSilenceLoudness, float aModulationLoudness,
                                    float aMinSilenceDuration, float aMinSoundDuration,
                                    vxIIntVector** aResult) {
  if (aResult) *aResult = nullptr;
  std::vector<MarkPair> marks;
  int err = mAudioFile->SilenceDetect(marks, aSilenceLoudness, aModulationLoudness,
                                      aMinSilenceDuration, aMinSoundDuration, 1);
  // Whatever the sign, the detector failed: the caller cannot tell a bad
  // argument from a file the detector refuses.
  if (err != 0) return NS_ERROR_FAILURE;
  if (!aResult) return NS_ERROR_NULL_POINTER;
  std::vector<int32_t> values;
  values.reserve(marks.size() * 2);
  for (const MarkPair& mark : marks) {
    values.push_back(mark.start);
    values.push_back(mark.end);
  }
  return HandOver(values, aResult);
}

nsresult vxAudioFile::Audio2Graph(int32_t aXDot, int32_t aYDot, int32_t aStart, int32_t aLen,
                                  vxIIntVector** aResult) {
  if (aResult) *aResult = nullptr;
  std::vector<int32_t> minima;
  std::vector<int32_t> maxima;
  nsresult rv =
      MapEngineResult(mAudioFile->Audio2Graph(minima, maxima, aXDot, aYDot, aStart, aLen));
  if (rv != NS_OK) return rv;
  if (!aResult) return NS_ERROR_NULL_POINTER;
  // The engine fills both lists alike; the shorter one bounds the pairs all
  // the same, so a mismatch can never read past either.
  size_t columns = std::min(minima.size(), maxima.size());
  std::vector<int32_t> values;
  values.reserve(columns * 2);
  for (size_t k = 0; k < columns; ++k) {
    values.push_back(minima[k]);
    values.push_back(maxima[k]);
  }
  return HandOver(values, aResult);
}

// ---- playback ----

nsresult vxAudioFile::StartPlayAudio(int32_t aStart, int32_t aEnd, float aSpeed,
                                     vxIPlayListener* aListener, int32_t aInterval) {
  // No listener means nothing to report to, and the direct position call
  // below would have no target: refused before anything starts.
  if (!aListener) return NS_ERROR_NULL_POINTER;
  auto notifier = std::make_unique<ProxyPlayNotifier>(aListener);
  mListener = aListener;
  aListener->OnPlayPosition(0);
  int err = mAudioFile->StartPlayAudio(aStart, aEnd, aSpeed, notifier.get(), aInterval);
  // The engine has closed any earlier stream before it returns, so the
  // earlier notifier has nothing left to serve.
  mNotifier = std::move(notifier);
  return MapEngineResult(err);
}

nsresult vxAudioFile::StopPlayAudio() {
  if (mListener) mListener->OnPlayEnd();
  int err = mAudioFile->StopPlayAudio();
  // The stream is closed: its notifier, and the proxy's hold on the
  // listener, can go.
  mNotifier.reset();
  return MapEngineResult(err);
}

// ---- properties ----
//
// A null out pointer gives NS_ERROR_NULL_POINTER; otherwise NS_OK whether
// or not a file is open.

nsresult vxAudioFile::GetSampleRate(int32_t* aSampleRate) {
  if (!aSampleRate) return NS_ERROR_NULL_POINTER;
  *aSampleRate = mAudioFile->mSampleRate;
  return NS_OK;
}

nsresult vxAudioFile::GetSmpNb(int32_t* aSmpNb) {
  if (!aSmpNb) return NS_ERROR_NULL_POINTER;
  *aSmpNb = mAudioFile->mSmpNb;
  return NS_OK;
}

nsresult vxAudioFile::GetChannels(int32_t* aChannels) {
  if (!aChannels) return NS_ERROR_NULL_POINTER;
  *aChannels = mAudioFile->mChannels;
  return NS_OK;
}

// Both exports write 16-bit samples, whatever the source holds.
nsresult vxAudioFile::GetBitsPerSample(int32_t* aBits) {
  if (!aBits) return NS_ERROR_NULL_POINTER;
  *aBits = 16;
  return NS_OK;
}
