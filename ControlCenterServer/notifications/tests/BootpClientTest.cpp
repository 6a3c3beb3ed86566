// The bootp side of the server in-process: the event sink's messages, the
// client's life with a bootp server object (a fake one, registered for
// this process only, so the test sees every call), and the reset
// handshake against a second process that plays the bootp server.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "notifications/BootpClient.h"
#include "notifications/BootpReset.h"
#include "notifications/ServerMessages.h"
#include "testing/NotificationTestSupport.h"

using testsupport::ChildProcess;
using testsupport::ReadyEvent;

namespace {

std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (char* text) {
    return text;
  }
  return "<nothing raised>";
}

// A hidden window on the test thread that keeps what is posted to it.
class MessageCatcher {
 public:
  MessageCatcher() {
    window = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }
  ~MessageCatcher() {
    for (MSG& m : Take()) CoTaskMemFree(reinterpret_cast<void*>(m.lParam));
    DestroyWindow(window);
  }
  // The bootp messages that arrived; their texts become the caller's.
  std::vector<MSG> Take(DWORD waitMs = 0) {
    std::vector<MSG> taken;
    DWORD start = GetTickCount();
    do {
      MSG msg;
      while (PeekMessageA(&msg, window, WM_BOOTP_FATAL_ERROR, WM_BOOTP_INFO, PM_REMOVE))
        taken.push_back(msg);
      if (!taken.empty()) break;
      Sleep(10);
    } while (GetTickCount() - start < waitMs);
    return taken;
  }
  HWND window = nullptr;
};

// The size CoTaskMemAlloc gave the block.
SIZE_T BlockSize(void* block) {
  ComPtr<IMalloc> malloc;
  CoGetMalloc(1, malloc.put());
  return malloc->GetSize(block);
}

HRESULT InvokeWithText(IDispatch* sink, DISPID id, const wchar_t* text) {
  VARIANTARG argument;
  VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = SysAllocString(text);
  DISPPARAMS parameters = {&argument, nullptr, 1, 0};
  HRESULT hr = sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &parameters, nullptr, nullptr,
                            nullptr);
  VariantClear(&argument);
  return hr;
}

// A bootp server object that records how it is used.
class FakeBootpServer : public IBootpServer, public IConnectionPointContainer,
                        public IConnectionPoint {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IBootpServer)
      *out = static_cast<IBootpServer*>(this);
    else if (iid == IID_IConnectionPointContainer)
      *out = static_cast<IConnectionPointContainer*>(this);
    else if (iid == IID_IConnectionPoint)
      *out = static_cast<IConnectionPoint*>(this);
    else
      return (*out = nullptr), E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
  ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE StartServer() override {
    calls.push_back("StartServer");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE StopServer() override {
    calls.push_back("StopServer");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (iid != DIID_IBootpServerEvents) return (*point = nullptr), CONNECT_E_NOCONNECTION;
    *point = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    *iid = DIID_IBootpServerEvents;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** c) override {
    return QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(c));
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sinkUnknown, DWORD* cookie) override {
    calls.push_back("Advise");
    if (FAILED(sinkUnknown->QueryInterface(DIID_IBootpServerEvents, sink.put_void())))
      return CONNECT_E_CANNOTCONNECT;
    *cookie = 42;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    calls.push_back("Unadvise " + std::to_string(cookie));
    sink.reset();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  volatile LONG refs = 0;
  std::vector<std::string> calls;
  ComPtr<IDispatch> sink;
};

// Hands out one FakeBootpServer, or fails every creation.
class FakeFactory : public IClassFactory {
 public:
  explicit FakeFactory(FakeBootpServer* server) : server(server) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    return (*out = nullptr), E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
    if (!server) return (*out = nullptr), E_OUTOFMEMORY;
    return server->QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  FakeBootpServer* server;
};

// Makes this process's CoCreateInstance of the bootp server's class use the
// fake factory while it lives.
class BootpServerOverride {
 public:
  explicit BootpServerOverride(FakeBootpServer* server) : factory(server) {
    CoRegisterClassObject(CLSID_BootpServer, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                          &registration);
  }
  ~BootpServerOverride() {
    if (registration) CoRevokeClassObject(registration);
  }

 private:
  FakeFactory factory;
  DWORD registration = 0;
};

class BootpTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override { CoUninitialize(); }
};

}  // namespace

// ---- The event sink ---------------------------------------------------------

TEST_F(BootpTest, AnInfoEventPostsItsTextAsAFourByteBlock) {
  MessageCatcher catcher;
  ComPtr<BootpEventSink> sink = ComPtr<BootpEventSink>::Attach(BootpEventSink::Create(catcher.window));
  EXPECT_EQ(InvokeWithText(sink.get(), 3, L"abc"), S_OK);
  auto messages = catcher.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].message, WM_BOOTP_INFO);
  EXPECT_EQ(messages[0].wParam, 0u);
  char* text = reinterpret_cast<char*>(messages[0].lParam);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(BlockSize(text), 4u);
  CoTaskMemFree(text);
}

TEST_F(BootpTest, EachEventHasItsMessage) {
  MessageCatcher catcher;
  ComPtr<BootpEventSink> sink = ComPtr<BootpEventSink>::Attach(BootpEventSink::Create(catcher.window));
  InvokeWithText(sink.get(), 1, L"fatal");
  InvokeWithText(sink.get(), 2, L"not fatal");
  auto messages = catcher.Take();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].message, WM_BOOTP_FATAL_ERROR);
  EXPECT_STREQ(reinterpret_cast<char*>(messages[0].lParam), "fatal");
  EXPECT_EQ(messages[1].message, WM_BOOTP_NONFATAL_ERROR);
  EXPECT_STREQ(reinterpret_cast<char*>(messages[1].lParam), "not fatal");
  for (MSG& m : messages) CoTaskMemFree(reinterpret_cast<void*>(m.lParam));
}

// ---- The bootp client --------------------------------------------------------------

TEST_F(BootpTest, TheClientStartsListensAndStopsTheBootpServer) {
  MessageCatcher catcher;
  FakeBootpServer server;
  BootpServerOverride use(&server);
  {
    BootpClient client(catcher.window);
    EXPECT_EQ(server.calls, (std::vector<std::string>{"Advise", "StartServer"}));
    ASSERT_TRUE(server.sink);
    // What the bootp server says reaches the main window.
    InvokeWithText(server.sink.get(), 3, L"serving 4 boards");
    auto messages = catcher.Take();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_STREQ(reinterpret_cast<char*>(messages[0].lParam), "serving 4 boards");
    CoTaskMemFree(reinterpret_cast<void*>(messages[0].lParam));
  }
  EXPECT_EQ(server.calls,
            (std::vector<std::string>{"Advise", "StartServer", "StopServer", "Unadvise 42"}));
  EXPECT_FALSE(server.sink);
  EXPECT_EQ(server.refs, 0) << "the client kept a reference";
}

TEST_F(BootpTest, NoBootpServerFailsTheClient) {
  BootpServerOverride none(nullptr);
  std::string text = Raised([] { BootpClient client(nullptr); });
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(Could not start the bootp server: )"
                                                R"(Condition \(SUCCEEDED\(hr\)\) failed in file )"
                                                R"(BootpClient\.cpp\(.*\) on line [0-9]+)")))
      << text;
}

TEST_F(BootpTest, BootpObjectsComeAndGoInOrder) {
  FakeBootpServer server;
  {
    BootpServerOverride use(&server);
    CreateBootpObjects(nullptr);
  }
  EXPECT_EQ(server.calls, (std::vector<std::string>{"Advise", "StartServer"}));
  // The named events exist for the bootp server to open.
  UniqueHandle reset(OpenEventA(SYNCHRONIZE, FALSE, "BOOTP RESET EVENT"));
  UniqueHandle finished(OpenEventA(SYNCHRONIZE, FALSE, "BOOTP RESET FINISHED"));
  EXPECT_TRUE(reset);
  EXPECT_TRUE(finished);
  DeleteBootpClient();
  EXPECT_EQ(server.calls.back(), "Unadvise 42");
  EXPECT_EQ(server.refs, 0);
  CloseBootpEvents();

  // A failed creation leaves nothing behind.
  {
    BootpServerOverride failing(nullptr);
    EXPECT_NE(Raised([] { CreateBootpObjects(nullptr); }), "<nothing raised>");
  }
  EXPECT_THROW(BootpReset(), char*) << "no events after a failed creation";
}

// ---- The reset handshake --------------------------------------------------------------

TEST_F(BootpTest, AStaleFinishedDoesNotSatisfyTheNextReset) {
  UniqueHandle reset(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET EVENT"));
  UniqueHandle finished(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET FINISHED"));
  // A bootp server that answered a request nobody waits for any more.
  SetEvent(finished.get());
  DWORD start = GetTickCount();
  std::string text = Raised([&] { BootpResetHandshake(reset.get(), finished.get(), 400); });
  EXPECT_GE(GetTickCount() - start, 350u);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(Error while waiting for the bootp server to finish resetting\.: )"
                       R"(Condition \(WaitForSingleObject\(bootpResetFinished,120000\) == )"
                       R"(WAIT_OBJECT_0\) failed in file BootpReset\.cpp\(.*\) on line [0-9]+)")))
      << text;
  // The request itself is still pending for a bootp server that comes.
  EXPECT_EQ(WaitForSingleObject(reset.get(), 0), WAIT_OBJECT_0);
}

TEST_F(BootpTest, AnAnsweringBootpServerSatisfiesEachReset) {
  UniqueHandle reset(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET EVENT"));
  UniqueHandle finished(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET FINISHED"));
  ReadyEvent ready("bootp");
  ChildProcess bootp("answer-reset 20000 \"" + ready.Name() + "\"");
  ASSERT_TRUE(bootp);
  ASSERT_TRUE(ready.Wait(10000));
  for (int i = 0; i < 3; ++i) {
    DWORD start = GetTickCount();
    EXPECT_EQ(BootpResetHandshake(reset.get(), finished.get(), 5000), 0u);
    EXPECT_LT(GetTickCount() - start, 1000u);
  }
}
