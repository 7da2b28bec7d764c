// The stand-in runtime as a host sees it: strings, files, the managers,
// vxIntVector and the listener proxies with their per-thread queues.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "nsCOMPtr.h"
#include "nsXPCOM.h"
#include "vxIAudioFile.h"

namespace {

// Records each call with the thread it ran on. Its count is plain: it may
// only ever be touched on the thread that made it.
class RecordingListener final : public vxIPlayListener {
 public:
  struct Call { std::thread::id thread; char kind; int32_t value; };  // kind: p e x z
  std::vector<Call> calls;
  nsrefcnt refs = 0;

  nsresult QueryInterface(const nsIID& aIID, void** aResult) override {
    bool ok = aIID.Equals(NS_GET_IID(vxIPlayListener)) || aIID.Equals(NS_GET_IID(nsISupports));
    *aResult = ok ? static_cast<vxIPlayListener*>(this) : nullptr;
    return ok ? (AddRef(), NS_OK) : NS_NOINTERFACE;
  }
  nsrefcnt AddRef() override { return ++refs; }
  nsrefcnt Release() override { return --refs; }
  nsresult OnPlayError() override { return Record('x', 0); }
  nsresult OnPlayEnd() override { return Record('e', 0); }
  nsresult OnPlayPause(int32_t aPos) override { return Record('z', aPos); }
  nsresult OnPlayPosition(int32_t aPos) override { return Record('p', aPos); }
  nsresult Record(char aKind, int32_t aValue) {
    calls.push_back({std::this_thread::get_id(), aKind, aValue});
    return NS_OK;
  }
};

class XpcomTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NS_InitXPCOM(nullptr), NS_OK); }
  void TearDown() override { EXPECT_EQ(NS_ShutdownXPCOM(nullptr), NS_OK); }

  nsCOMPtr<vxIPlayListener> Proxy(vxIPlayListener* aTarget, int32_t aType, nsresult* aRv) {
    nsCOMPtr<nsIProxyObjectManager> manager =
        do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID);
    nsCOMPtr<vxIPlayListener> proxy;
    *aRv = manager->GetProxyForObject(NS_CURRENT_EVENTQ, NS_GET_IID(vxIPlayListener), aTarget,
                                      aType, proxy.StartAssignmentVoid());
    return proxy;
  }
  void ProcessQueue() {
    nsCOMPtr<nsIEventQueue> queue;
    ASSERT_EQ(NS_GetCurrentEventQueue(getter_AddRefs(queue)), NS_OK);
    ASSERT_EQ(queue->ProcessPendingEvents(), NS_OK);
  }
};

TEST(XpcomStrings, ContainersHoldCopiesAndReadAsTerminatedData) {
  nsCStringContainer s;
  ASSERT_EQ(NS_CStringContainerInit(s), NS_OK);
  const char* data = nullptr;
  char text[] = "/tmp/a.wav-tail";
  ASSERT_EQ(NS_CStringSetData(s, text, 10), NS_OK);
  text[0] = 'X';  // the container keeps its own copy
  EXPECT_EQ(NS_CStringGetData(s, &data), 10u);
  EXPECT_STREQ(data, "/tmp/a.wav");
  NS_CStringContainerFinish(s);
  EXPECT_EQ(NS_CStringGetData(s, &data), 0u);  // finished reads as empty, never dangles
  EXPECT_STREQ(data, "");
}

TEST_F(XpcomTest, BadModulesAndUnknownContractsFailCleanly) {
  nsCOMPtr<nsIComponentRegistrar> registrar;
  ASSERT_EQ(NS_GetComponentRegistrar(getter_AddRefs(registrar)), NS_OK);
  nsCOMPtr<nsIFile> missing, notAModule;
  NS_NewNativeLocalFile(nsCString("/nonexistent/libnothing.so"), false, getter_AddRefs(missing));
  // A real library without the module entry point: the runtime itself.
  NS_NewNativeLocalFile(nsCString(VX_BUILD_DIR "/libvxxpcom.so"), false,
                        getter_AddRefs(notAModule));
  EXPECT_EQ(registrar->AutoRegister(missing.get()), NS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registrar->AutoRegister(notAModule.get()), NS_ERROR_FACTORY_NOT_LOADED);
  EXPECT_EQ(registrar->AutoRegister(nullptr), NS_ERROR_NULL_POINTER);

  nsresult rv = NS_OK;
  EXPECT_FALSE(do_CreateInstance<vxIAudioFile>("@vxaudio.example/quarnel/nothing;1", &rv));
  EXPECT_EQ(rv, NS_ERROR_FACTORY_NOT_REGISTERED);
  EXPECT_FALSE(do_GetService<nsIProxyObjectManager>("@vxaudio.example/nothing;1", &rv));
  EXPECT_EQ(rv, NS_ERROR_FACTORY_NOT_REGISTERED);
  // A service is one object however often it is asked for.
  auto first = do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID);
  auto second = do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID);
  ASSERT_TRUE(first);
  EXPECT_EQ(first.get(), second.get());
}

TEST_F(XpcomTest, IntVectorGrowsOnlyAtItsEnd) {
  nsCOMPtr<vxIIntVector> v = do_CreateInstance<vxIIntVector>(VX_INTVECTOR_CONTRACTID);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->SetAt(0, 7), NS_OK);
  EXPECT_EQ(v->SetAt(1, -3), NS_OK);
  EXPECT_EQ(v->SetAt(0, 9), NS_OK);  // overwrite in place
  EXPECT_EQ(v->SetAt(3, 1), NS_ERROR_INVALID_ARG);
  EXPECT_EQ(v->SetAt(-1, 1), NS_ERROR_INVALID_ARG);
  int32_t length = 0, a = 0, b = 0;
  v->GetLength(&length);
  EXPECT_EQ(length, 2);
  v->GetAt(0, &a);
  v->GetAt(1, &b);
  EXPECT_EQ(a, 9);
  EXPECT_EQ(b, -3);
  EXPECT_EQ(v->GetAt(2, &a), NS_ERROR_INVALID_ARG);
}

TEST_F(XpcomTest, ProxiesAreAsynchronousAndOnlyForListeners) {
  RecordingListener listener;
  nsresult rv = NS_OK;
  EXPECT_FALSE(Proxy(&listener, PROXY_SYNC, &rv));
  EXPECT_EQ(rv, NS_ERROR_NOT_IMPLEMENTED);
  nsCOMPtr<nsIProxyObjectManager> manager =
      do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID);
  void* result = &result;
  EXPECT_EQ(manager->GetProxyForObject(NS_CURRENT_EVENTQ, NS_GET_IID(vxIIntVector), &listener,
                                       PROXY_ASYNC, &result),
            NS_NOINTERFACE);
  EXPECT_EQ(result, nullptr);

  // Asynchronous but not "always": a call on the owning thread goes straight through.
  auto direct = Proxy(&listener, PROXY_ASYNC, &rv);
  ASSERT_EQ(rv, NS_OK);
  direct->OnPlayPosition(5);
  EXPECT_EQ(listener.calls.size(), 1u);
  // Always queued: nothing until the queue is processed, even on this thread.
  auto queued = Proxy(&listener, PROXY_ASYNC | PROXY_ALWAYS, &rv);
  ASSERT_EQ(rv, NS_OK);
  queued->OnPlayPause(6);
  EXPECT_EQ(listener.calls.size(), 1u);
  ProcessQueue();
  ASSERT_EQ(listener.calls.size(), 2u);
  EXPECT_EQ(listener.calls[1].kind, 'z');
  direct.reset();
  queued.reset();
  EXPECT_EQ(listener.refs, 0u);
}

TEST_F(XpcomTest, CallsFromAnotherThreadRunOnTheOwnerInOrder) {
  RecordingListener listener;
  nsresult rv = NS_OK;
  auto proxy = Proxy(&listener, PROXY_ASYNC | PROXY_ALWAYS, &rv);
  ASSERT_EQ(rv, NS_OK);
  nsCOMPtr<nsIEventQueue> queue;
  NS_GetCurrentEventQueue(getter_AddRefs(queue));
  std::thread worker([&] {
    for (int32_t i = 1; i <= 200; ++i) proxy->OnPlayPosition(i);
    proxy->OnPlayError();
    proxy->OnPlayEnd();
    // Only the owner may run its queue.
    EXPECT_EQ(queue->ProcessPendingEvents(), NS_ERROR_UNEXPECTED);
  });
  worker.join();
  EXPECT_TRUE(listener.calls.empty());
  bool pending = false;
  queue->WaitForEvent(0, &pending);
  EXPECT_TRUE(pending);
  queue->ProcessPendingEvents();
  ASSERT_EQ(listener.calls.size(), 202u);
  for (int32_t i = 0; i < 200; ++i) EXPECT_EQ(listener.calls[i].value, i + 1);
  EXPECT_EQ(listener.calls[200].kind, 'x');
  EXPECT_EQ(listener.calls[201].kind, 'e');
  for (const auto& call : listener.calls) EXPECT_EQ(call.thread, std::this_thread::get_id());
}

TEST_F(XpcomTest, ShutdownDropsPendingCallsAndTheirReferences) {
  RecordingListener listener;
  nsresult rv = NS_OK;
  auto proxy = Proxy(&listener, PROXY_ASYNC | PROXY_ALWAYS, &rv);
  ASSERT_EQ(rv, NS_OK);
  proxy->OnPlayEnd();
  proxy.reset();
  EXPECT_EQ(listener.refs, 1u);  // the pending call still holds the proxy
  EXPECT_EQ(NS_ShutdownXPCOM(nullptr), NS_OK);
  EXPECT_EQ(listener.refs, 0u);
  EXPECT_TRUE(listener.calls.empty());
  ASSERT_EQ(NS_InitXPCOM(nullptr), NS_OK);  // for TearDown
}

}  // namespace
