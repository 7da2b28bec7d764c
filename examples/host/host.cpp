// A small host: loads the audio-file module, opens a sound file and uses
// every kind of call once. Usage: vxhost <module library> <sound file>
#include <chrono>
#include <cstdio>
#include <thread>

#include "nsCOMPtr.h"
#include "nsXPCOM.h"
#include "vxIAudioFile.h"

namespace {

// Playback notifications arrive here, on this (the host's) thread, whenever
// it processes its event queue.
class Listener final : public vxIPlayListener {
 public:
  bool mEnded = false;

  nsresult QueryInterface(const nsIID& aIID, void** aResult) override {
    if (!aIID.Equals(NS_GET_IID(vxIPlayListener)) && !aIID.Equals(NS_GET_IID(nsISupports))) {
      *aResult = nullptr;
      return NS_NOINTERFACE;
    }
    *aResult = static_cast<vxIPlayListener*>(this);
    AddRef();
    return NS_OK;
  }
  // Lives on the stack of main, past the runtime's shutdown: nothing can
  // hold it longer.
  nsrefcnt AddRef() override { return ++mRefCnt; }
  nsrefcnt Release() override { return --mRefCnt; }

  nsresult OnPlayError() override { return Say("play: error", true); }
  nsresult OnPlayEnd() override { return Say("play: end", true); }
  nsresult OnPlayPause(int32_t) override { return NS_OK; }
  nsresult OnPlayPosition(int32_t aPosition) override {
    std::printf("play: position %d\n", aPosition);
    return NS_OK;
  }

 private:
  nsresult Say(const char* aWhat, bool aEnded) {
    std::printf("%s\n", aWhat);
    mEnded = mEnded || aEnded;
    return NS_OK;
  }
  nsrefcnt mRefCnt = 0;
};

nsCOMPtr<nsIFile> LocalFile(const char* aPath) {
  nsCOMPtr<nsIFile> file;
  NS_NewNativeLocalFile(nsCString(aPath), false, getter_AddRefs(file));
  return file;
}

int Fail(const char* aWhat, nsresult aRv) {
  std::fprintf(stderr, "vxhost: %s failed (0x%08x)\n", aWhat, aRv);
  return 1;
}

int Run(const char* aModule, const char* aSound, Listener& listener) {
  nsCOMPtr<nsIComponentRegistrar> registrar;
  NS_GetComponentRegistrar(getter_AddRefs(registrar));
  nsresult rv = registrar->AutoRegister(LocalFile(aModule).get());
  if (NS_FAILED(rv)) return Fail("loading the module", rv);

  nsCOMPtr<vxIAudioFile> audio = do_CreateInstance<vxIAudioFile>(VX_AUDIOFILE_CONTRACTID, &rv);
  if (!audio) return Fail("creating vxAudioFile", rv);
  rv = audio->InitAudio(LocalFile(aSound).get());
  if (NS_FAILED(rv)) return Fail("InitAudio", rv);

  int32_t rate = 0, frames = 0, channels = 0, bits = 0;
  audio->GetSampleRate(&rate);
  audio->GetSmpNb(&frames);
  audio->GetChannels(&channels);
  audio->GetBitsPerSample(&bits);
  std::printf("%s: %d Hz, %d channel(s), %d frames, exported at %d bits\n", aSound, rate,
              channels, frames, bits);

  nsCOMPtr<vxIIntVector> list;
  int32_t length = 0, a = 0, b = 0;
  if (NS_SUCCEEDED(audio->SilenceDetect(1.0f, 0.0f, 0.25f, 0.05f, getter_AddRefs(list)))) {
    list->GetLength(&length);
    for (int32_t i = 0; i + 1 < length; i += 2) {
      list->GetAt(i, &a);
      list->GetAt(i + 1, &b);
      std::printf("silence: %d .. %d\n", a, b);
    }
  }
  rv = audio->Audio2Graph(8, 100, 0, frames, getter_AddRefs(list));
  if (NS_FAILED(rv)) return Fail("Audio2Graph", rv);
  list->GetLength(&length);
  std::printf("overview:");
  for (int32_t i = 0; i + 1 < length; i += 2) {
    list->GetAt(i, &a);
    list->GetAt(i + 1, &b);
    std::printf(" [%d %d]", a, b);
  }
  std::printf("\n");

  // One second, with a position every quarter of it.
  rv = audio->StartPlayAudio(0, rate, 1.0f, &listener, rate / 4);
  if (NS_FAILED(rv)) return Fail("StartPlayAudio", rv);
  nsCOMPtr<nsIEventQueue> queue;
  NS_GetCurrentEventQueue(getter_AddRefs(queue));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!listener.mEnded && std::chrono::steady_clock::now() < deadline) {
    bool pending = false;
    queue->WaitForEvent(100, &pending);
    queue->ProcessPendingEvents();
  }
  audio->StopPlayAudio();
  return listener.mEnded ? 0 : Fail("playback end", NS_ERROR_FAILURE);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vxhost <module library> <sound file>\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep order with the module's own lines
  Listener listener;
  nsIServiceManager* services = nullptr;
  if (NS_FAILED(NS_InitXPCOM(&services))) return Fail("starting the runtime", NS_ERROR_FAILURE);
  int status = Run(argv[1], argv[2], listener);
  NS_ShutdownXPCOM(services);
  return status;
}
