// The stand-in runtime as a host sees it: strings, files, the managers,
// vxIntVector and the listener proxies with their per-thread queues.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>

#include "nsCOMPtr.h"
#include "RecordingListener.h"
#include "nsProxyImpl.h"
#include "nsSupportsImpl.h"
#include "nsXPCOM.h"
#include "vxIAudioFile.h"

namespace {

class XpcomTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NS_InitXPCOM(nullptr), NS_OK); }
  void TearDown() override { EXPECT_EQ(NS_ShutdownXPCOM(nullptr), NS_OK); }

  // The listener's proxy on this thread's queue; a refusal must clear the out pointer.
  nsCOMPtr<vxIPlayListener> Proxy(int32_t aType, nsresult aExpected = NS_OK,
                                  const nsIID& aIID = NS_GET_IID(vxIPlayListener)) {
    auto manager = do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID);
    void* raw = &raw;
    nsresult rv = manager->GetProxyForObject(NS_CURRENT_EVENTQ, aIID, &listener, aType, &raw);
    EXPECT_EQ(rv, aExpected);
    nsCOMPtr<vxIPlayListener> proxy;
    if (rv != NS_OK) { EXPECT_EQ(raw, nullptr); }
    else { *proxy.StartAssignment() = static_cast<vxIPlayListener*>(raw); }  // adopted as is
    return proxy;
  }

  RecordingListener listener;  // outlives the runtime's hold on it
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
  // A missing file, and a real library without the module entry point (the runtime).
  auto load = [&](const char* aPath) {
    nsCOMPtr<nsIFile> file;
    NS_NewNativeLocalFile(nsCString(aPath), false, getter_AddRefs(file));
    return registrar->AutoRegister(file.get());
  };
  EXPECT_EQ(load("/nonexistent/libnothing.so"), NS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(load(VX_BUILD_DIR "/libvxxpcom.so"), NS_ERROR_FACTORY_NOT_LOADED);
  EXPECT_EQ(registrar->AutoRegister(nullptr), NS_ERROR_NULL_POINTER);

  nsresult rv = NS_OK;
  EXPECT_FALSE(do_CreateInstance<vxIAudioFile>("@vxaudio.example/quarnel/nothing;1", &rv));
  EXPECT_EQ(rv, NS_ERROR_FACTORY_NOT_REGISTERED);
  EXPECT_FALSE(do_GetService<nsIProxyObjectManager>("@vxaudio.example/nothing;1", &rv));
  EXPECT_EQ(rv, NS_ERROR_FACTORY_NOT_REGISTERED);
  // A service is one object however often it is asked for.
  auto first = do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID);
  ASSERT_TRUE(first);
  EXPECT_EQ(first.get(), do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID).get());
}

TEST_F(XpcomTest, IntVectorGrowsOnlyAtItsEnd) {
  nsCOMPtr<vxIIntVector> v = do_CreateInstance<vxIIntVector>(VX_INTVECTOR_CONTRACTID);
  ASSERT_TRUE(v);
  // 0 and 1 append, 0 again overwrites in place; past the end and negative are refused.
  struct { int32_t index, value; nsresult rv; } sets[] = {{0, 7, NS_OK}, {1, -3, NS_OK},
      {0, 9, NS_OK}, {3, 1, NS_ERROR_INVALID_ARG}, {-1, 1, NS_ERROR_INVALID_ARG}};
  for (const auto& s : sets) EXPECT_EQ(v->SetAt(s.index, s.value), s.rv) << s.index;
  int32_t length = 0, a = 0, b = 0;
  EXPECT_EQ(v->GetLength(&length) | v->GetAt(0, &a) | v->GetAt(1, &b), NS_OK);
  EXPECT_EQ(std::tuple(length, a, b), std::tuple(2, 9, -3));
  EXPECT_EQ(v->GetAt(2, &a), NS_ERROR_INVALID_ARG);
}

// Proxies exist for listeners, asynchronous only. A call made on the
// owning thread goes straight through unless the proxy always queues; queued
// calls, from any thread, run on the owner in the order they were made,
// unless the runtime shuts down first.
TEST_F(XpcomTest, ProxiesQueueCallsForTheOwningThreadInOrder) {
  Proxy(PROXY_SYNC, NS_ERROR_NOT_IMPLEMENTED);
  Proxy(PROXY_ASYNC, NS_NOINTERFACE, NS_GET_IID(vxIIntVector));
  Proxy(PROXY_ASYNC)->OnPlayPosition(0);
  auto proxy = Proxy(PROXY_ASYNC | PROXY_ALWAYS);
  proxy->OnPlayPause(6);
  nsCOMPtr<nsIEventQueue> queue;
  ASSERT_EQ(NS_GetCurrentEventQueue(getter_AddRefs(queue)), NS_OK);
  std::thread worker([&] {
    for (int32_t i = 1; i <= 200; ++i) proxy->OnPlayPosition(i);
    proxy->OnPlayError();
    proxy->OnPlayEnd();
    // Only the owner may run its queue.
    EXPECT_EQ(queue->ProcessPendingEvents(), NS_ERROR_UNEXPECTED);
  });
  worker.join();
  EXPECT_EQ(listener.log, "p0 ");
  bool pending = false;
  queue->WaitForEvent(0, &pending);
  EXPECT_TRUE(pending);
  ASSERT_EQ(queue->ProcessPendingEvents(), NS_OK);
  std::string expected = "p0 z6 ";
  for (int32_t i = 1; i <= 200; ++i) expected += "p" + std::to_string(i) + " ";
  EXPECT_EQ(listener.log, expected + "x0 e0 ");
  proxy.reset();
  EXPECT_EQ(listener.refs, 0u);
  // Shutdown drops the calls still pending, and their references.
  Proxy(PROXY_ASYNC | PROXY_ALWAYS)->OnPlayEnd();
  EXPECT_EQ(listener.refs, 1u);  // the pending call still holds the proxy
  EXPECT_EQ(NS_ShutdownXPCOM(nullptr), NS_OK);
  EXPECT_EQ(listener.refs, 0u);
  EXPECT_EQ(listener.log, expected + "x0 e0 ");
  ASSERT_EQ(NS_InitXPCOM(nullptr), NS_OK);  // for TearDown
}

// The manager knows no interface of its own: one that the runtime and the
// host components have never heard of is proxied once its constructor is in.
TEST_F(XpcomTest, AnyInterfaceWithARegisteredConstructorIsProxied) {
  struct Counter final : nsSupportsImpl<nsIRunnable> {
    std::thread::id ranOn;
    nsresult Run() override { return ranOn = std::this_thread::get_id(), NS_OK; }
  };
  struct RunnableProxy final : nsProxyImpl<nsIRunnable> {
    using nsProxyImpl::nsProxyImpl;
    nsresult Run() override { return Dispatch([](nsIRunnable* aTarget) { aTarget->Run(); }); }
  };
  nsCOMPtr<Counter> counter(new Counter);
  auto manager = do_GetService<nsIProxyObjectManager>(NS_XPCOMPROXY_CONTRACTID);
  nsCOMPtr<nsIRunnable> proxy;
  ASSERT_EQ(NS_RegisterProxyConstructor(NS_GET_IID(nsIRunnable), NS_NewProxy<nsIRunnable, RunnableProxy>), NS_OK);
  ASSERT_EQ(manager->GetProxyForObject(NS_CURRENT_EVENTQ, NS_GET_IID(nsIRunnable), counter.get(),
                                       PROXY_ASYNC, proxy.StartAssignmentVoid()), NS_OK);
  std::thread([&] { proxy->Run(); }).join();
  EXPECT_EQ(counter->ranOn, std::thread::id());
  nsCOMPtr<nsIEventQueue> queue;
  NS_GetCurrentEventQueue(getter_AddRefs(queue));
  queue->ProcessPendingEvents();
  EXPECT_EQ(counter->ranOn, std::this_thread::get_id());
}

}  // namespace
