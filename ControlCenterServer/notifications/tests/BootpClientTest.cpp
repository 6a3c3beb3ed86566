// The bootp side of the server in-process: the event sink's messages, the
// bootp objects' life with a bootp server object (a fake one, registered
// for this process only, so the test sees every call), and the reset
// handshake.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstring>
#include <string>
#include <vector>

#include "notifications/BootpClient.h"
#include "notifications/BootpReset.h"
#include "notifications/ServerMessages.h"
#include "testing/NotificationTestSupport.h"

namespace {

using Calls = std::vector<std::string>;

template <class F>
std::string Raised(F&& f) {
  try {
    f();
  } catch (char* text) {
    return text;
  }
  return "(nothing raised)";
}

// The bootp messages posted to a hidden window of the test thread: kind and
// text, each block's size checked and the block freed.
class MessageCatcher {
 public:
  MessageCatcher()
      : window(CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
  ~MessageCatcher() {
    Take();
    DestroyWindow(window);
  }
  std::vector<std::pair<UINT, std::string>> Take() {
    std::vector<std::pair<UINT, std::string>> taken;
    ComPtr<IMalloc> malloc;
    CoGetMalloc(1, malloc.put());
    MSG msg;
    while (PeekMessageA(&msg, window, WM_BOOTP_FATAL_ERROR, WM_BOOTP_INFO, PM_REMOVE)) {
      char* text = reinterpret_cast<char*>(msg.lParam);
      EXPECT_EQ(msg.wParam, 0u);
      EXPECT_EQ(malloc->GetSize(text), std::strlen(text) + 1) << text;
      taken.emplace_back(msg.message, text);
      CoTaskMemFree(text);
    }
    return taken;
  }
  HWND window;
};

HRESULT InvokeWithText(IDispatch* sink, DISPID id, const wchar_t* text) {
  VARIANTARG argument;
  argument.vt = VT_BSTR;
  argument.bstrVal = SysAllocString(text);
  DISPPARAMS parameters = {&argument, nullptr, 1, 0};
  HRESULT hr = sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &parameters, nullptr, nullptr,
                            nullptr);
  VariantClear(&argument);
  return hr;
}

// A bootp server object that records how it is used, and a factory that
// hands it out (or fails every creation) to this process's CoCreateInstance
// of the class while registered.
class FakeBootpServer : public IBootpServer, public IConnectionPointContainer,
                        public IConnectionPoint {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IBootpServer)
      *out = static_cast<IBootpServer*>(this);
    else if (iid == IID_IConnectionPointContainer)
      *out = static_cast<IConnectionPointContainer*>(this);
    else if (iid == IID_IConnectionPoint)
      *out = static_cast<IConnectionPoint*>(this);
    else
      return E_NOINTERFACE;
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
  HRESULT STDMETHODCALLTYPE StartServer() override { return Record("StartServer"); }
  HRESULT STDMETHODCALLTYPE StopServer() override { return Record("StopServer"); }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    *point = nullptr;
    if (iid != DIID_IBootpServerEvents) return CONNECT_E_NOCONNECTION;
    return QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(point));
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    *iid = DIID_IBootpServerEvents;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** c) override {
    return QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(c));
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sinkUnknown, DWORD* cookie) override {
    Record("Advise");
    *cookie = 42;
    return sinkUnknown->QueryInterface(DIID_IBootpServerEvents, sink.put_void());
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    sink.reset();
    return Record("Unadvise " + std::to_string(cookie));
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  void Register(bool works) {
    factory.server = works ? this : nullptr;
    CoRegisterClassObject(CLSID_BootpServer, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                          &registration);
  }
  ~FakeBootpServer() {
    if (registration) CoRevokeClassObject(registration);
  }

  volatile LONG refs = 0;
  Calls calls;
  ComPtr<IDispatch> sink;

 private:
  HRESULT Record(const std::string& call) {
    calls.push_back(call);
    return S_OK;
  }
  struct Factory : IClassFactory {
    FakeBootpServer* server = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      *out = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
      return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
      if (server) return server->QueryInterface(iid, out);
      *out = nullptr;
      return E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  } factory;
  DWORD registration = 0;
};

class BootpTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override { CoUninitialize(); }
};

}  // namespace

TEST_F(BootpTest, TheEventSinkPostsEachEventWithACopyOfItsText) {
  MessageCatcher catcher;
  ComPtr<BootpEventSink> sink = ComPtr<BootpEventSink>::Attach(BootpEventSink::Create(catcher.window));
  EXPECT_EQ(InvokeWithText(sink.get(), 1, L"fatal"), S_OK);
  EXPECT_EQ(InvokeWithText(sink.get(), 2, L"not fatal"), S_OK);
  EXPECT_EQ(InvokeWithText(sink.get(), 3, L"abc"), S_OK);
  EXPECT_EQ(catcher.Take(), (std::vector<std::pair<UINT, std::string>>{
                                {WM_BOOTP_FATAL_ERROR, "fatal"},
                                {WM_BOOTP_NONFATAL_ERROR, "not fatal"},
                                {WM_BOOTP_INFO, "abc"}}));
}

// Made by the first instance: the events for the bootp server to open, and
// a client that connects to the bootp server's events, starts it, and at
// the end stops it, disconnects and lets it go. A failed creation leaves
// nothing behind.
TEST_F(BootpTest, TheBootpObjectsStartListenToAndStopTheBootpServer) {
  MessageCatcher catcher;
  {
    FakeBootpServer server;
    server.Register(true);
    CreateBootpObjects(catcher.window);
    EXPECT_EQ(server.calls, (Calls{"Advise", "StartServer"}));
    ASSERT_TRUE(server.sink);
    InvokeWithText(server.sink.get(), 3, L"serving 4 boards");
    EXPECT_EQ(catcher.Take(), (std::vector<std::pair<UINT, std::string>>{
                                  {WM_BOOTP_INFO, "serving 4 boards"}}));
    EXPECT_TRUE(UniqueHandle(OpenEventA(SYNCHRONIZE, FALSE, "BOOTP RESET EVENT")));
    EXPECT_TRUE(UniqueHandle(OpenEventA(SYNCHRONIZE, FALSE, "BOOTP RESET FINISHED")));
    DeleteBootpClient();
    EXPECT_EQ(server.calls, (Calls{"Advise", "StartServer", "StopServer", "Unadvise 42"}));
    EXPECT_FALSE(server.sink);
    EXPECT_EQ(server.refs, 0) << "the client kept a reference";
    CloseBootpEvents();
  }
  FakeBootpServer failing;
  failing.Register(false);
  EXPECT_EQ(Raised([] { CreateBootpObjects(nullptr); }).rfind("Could not start the bootp server: ", 0),
            0u);
  EXPECT_THROW(BootpReset(), char*) << "no events after a failed creation";
}

TEST_F(BootpTest, AStaleFinishedDoesNotSatisfyTheNextReset) {
  UniqueHandle reset(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET EVENT"));
  UniqueHandle finished(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET FINISHED"));
  // A bootp server that answered a request nobody waits for any more.
  SetEvent(finished.get());
  DWORD start = GetTickCount();
  std::string text = Raised([&] { BootpResetHandshake(reset.get(), finished.get(), 400); });
  EXPECT_GE(GetTickCount() - start, 350u);
  EXPECT_EQ(text.rfind("Error while waiting for the bootp server to finish resetting.: ", 0), 0u)
      << text;
  // The request itself is still pending for a bootp server that comes.
  EXPECT_EQ(WaitForSingleObject(reset.get(), 0), WAIT_OBJECT_0);
}
