// The class factory, the console component base and the component's
// identity, run in-process: creation and its failures, aggregation, the
// error text handed out once, the object and lock counts, and the main
// window's shutdown rule.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/CFactory.h"
#include "app/CMainFrame.h"
#include "app/ControlCenterServer.h"
#include "app/ServerApp.h"
#include "app/ServerClassTable.h"
#include "component/CCCmpnt.h"
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

namespace {

// What reached the error log.
std::vector<std::string> logged;
int RecordLog(const char* text) {
  logged.push_back(text);
  return 1;
}

class InProcess : public ::testing::Test {
 protected:
  // A ControlCenterComponent builds its class-wide state from the
  // installation and the registered components.
  static void SetUpTestSuite() {
    RegisterServerForTests();
    installation = new TestInstallationSettings;
  }
  static void TearDownTestSuite() {
    delete installation;
    installation = nullptr;
  }

  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    logged.clear();
    SetErrorLogger(RecordLog);
    objectsBefore = ServerObjectCount();
    locksBefore = ServerLockCount();
  }
  void TearDown() override {
    EXPECT_EQ(ServerObjectCount(), objectsBefore) << "an object was left alive";
    EXPECT_EQ(ServerLockCount(), locksBefore);
    SetErrorLogger(nullptr);
    CoUninitialize();
  }

  LONG objectsBefore = 0;
  LONG locksBefore = 0;
  static TestInstallationSettings* installation;
};

TestInstallationSettings* InProcess::installation = nullptr;

// An aggregating object that counts what its inner object asks of it.
class FakeOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    ++queries;
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  ULONG refs = 1;
  int queries = 0;
};

QRBConsoleComponent* NewConsoleComponent() {
  QRBConsoleComponent* component = nullptr;
  EXPECT_EQ(ControlCenterServer::Create(nullptr, &component), S_OK);
  return component;
}

TEST_F(InProcess, ErrorTextIsHandedOutOnceWithItsSizeAndCutToFit) {
  auto component = ComPtr<QRBConsoleComponent>::Attach(NewConsoleComponent());
  unsigned short size = 77;
  char untouched[] = "untouched";
  char* text = untouched;
  EXPECT_EQ(component->GetErrorText(&size, &text), E_FAIL);
  EXPECT_EQ(size, 77);
  EXPECT_EQ(text, untouched);

  // The newest text replaces the one before; each goes to the error log.
  component->SetErrorText("an older failure");
  component->SetErrorText("0123456789");
  EXPECT_EQ(logged, (std::vector<std::string>{"an older failure", "0123456789"}));

  ASSERT_EQ(component->GetErrorText(&size, &text), S_OK);
  EXPECT_EQ(size, 11);
  EXPECT_STREQ(text, "0123456789");
  CoTaskMemFree(text);
  text = untouched;
  EXPECT_EQ(component->GetErrorText(&size, &text), E_FAIL);
  EXPECT_EQ(text, untouched);

  // A text too long for its size is cut.
  component->SetErrorText(std::string(70000, 'x').c_str());
  ASSERT_EQ(component->GetErrorText(&size, &text), S_OK);
  EXPECT_EQ(size, 65535);
  EXPECT_EQ(std::strlen(text), 65534u);
  CoTaskMemFree(text);
}

TEST_F(InProcess, AggregationIsRefusedForAnyInterfaceButIUnknown) {
  FakeOuter outer;
  for (int i = 0; i < serverClassCount; ++i) {
    SCOPED_TRACE(serverClassTable[i].friendlyName);
    CFactory factory(serverClassTable[i]);
    for (const IID* iid : {&IID_IQRBConsoleComponent, &IID_IControlCenterComponent}) {
      void* object = &outer;
      EXPECT_EQ(factory.CreateInstance(&outer, *iid, &object), CLASS_E_NOAGGREGATION);
      EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(ServerObjectCount(), objectsBefore) << "something was made";
  }
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(outer.queries, 0);
}

TEST_F(InProcess, AggregatedComponentDelegatesItsClientInterfacesToTheOuterObject) {
  FakeOuter outer;
  CFactory factory(serverClassTable[1]);
  ComPtr<IUnknown> inner;
  ASSERT_EQ(factory.CreateInstance(&outer, IID_IUnknown, inner.put_void()), S_OK);
  EXPECT_EQ(outer.refs, 1u) << "the inner object's own IUnknown must not count on the outer";

  IControlCenterComponent* client = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IControlCenterComponent, reinterpret_cast<void**>(&client)),
            S_OK);
  EXPECT_EQ(outer.refs, 2u);
  void* other = nullptr;
  EXPECT_EQ(client->QueryInterface(IID_IBootpNotificationSource, &other), E_NOINTERFACE)
      << "the outer object decides what its aggregate answers";
  EXPECT_EQ(outer.queries, 1);

  // The outer object has no IQRBConsoleComponent: the text comes from the
  // inner object itself. (ListSets refuses null places.)
  EXPECT_TRUE(FAILED(client->ListSets(nullptr, nullptr, nullptr, nullptr)));
  unsigned short size = 0;
  char* text = nullptr;
  ASSERT_EQ(client->GetErrorText(&size, &text), S_OK);
  EXPECT_EQ(size, std::strlen(text) + 1);
  CoTaskMemFree(text);
  EXPECT_EQ(client->GetErrorText(&size, &text), E_FAIL);

  client->Release();
  EXPECT_EQ(outer.refs, 1u);
}

TEST_F(InProcess, RefusedInterfaceAtCreationDestroysTheNewObject) {
  for (int i = 0; i < serverClassCount; ++i) {
    SCOPED_TRACE(serverClassTable[i].friendlyName);
    CFactory factory(serverClassTable[i]);
    void* object = &factory;
    EXPECT_EQ(factory.CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ServerObjectCount(), objectsBefore);
  }
  EXPECT_TRUE(logged.empty()) << "a refused interface is no error";
}

TEST_F(InProcess, CreatorsRefuseANullPlaceBeforeMakingAnything) {
  for (ComponentCreator create : {&ControlCenterServer::Create, &ControlCenterComponent::Create}) {
    try {
      create(nullptr, nullptr);
      ADD_FAILURE() << "no assertion";
    } catch (char* text) {
      EXPECT_NE(std::string(text).find("(ppNewComponent)"), std::string::npos) << text;
    }
    EXPECT_EQ(ServerObjectCount(), objectsBefore);
  }
}

HRESULT RaisesText(IUnknown*, QRBConsoleComponent**) {
  throw const_cast<char*>("the creator failed");
}
HRESULT FailsWithCode(IUnknown*, QRBConsoleComponent**) { return E_OUTOFMEMORY; }

class RefusesToStart : public QRBConsoleComponent {
 public:
  HRESULT Initialize() override { return E_ACCESSDENIED; }
};
HRESULT MakesOneThatRefusesToStart(IUnknown*, QRBConsoleComponent** made) {
  *made = new RefusesToStart;
  return S_OK;
}

HRESULT CreateWith(ComponentCreator creator) {
  ServerClassEntry entry = {&CLSID_ControlCenterServer, creator, "test", "test.1", "test",
                            nullptr, 0};
  CFactory factory(entry);
  void* object = &entry;
  HRESULT hr = factory.CreateInstance(nullptr, IID_IUnknown, &object);
  EXPECT_EQ(object, nullptr);
  return hr;
}

// (What each kind of thrown value becomes is the translating frame's.)
TEST_F(InProcess, CreationFailuresKeepTheirCodeOrAreLoggedAsText) {
  EXPECT_EQ(CreateWith(FailsWithCode), E_OUTOFMEMORY);
  EXPECT_EQ(CreateWith(MakesOneThatRefusesToStart), E_ACCESSDENIED);
  EXPECT_TRUE(logged.empty());

  EXPECT_EQ(CreateWith(RaisesText), E_FAIL);
  EXPECT_EQ(logged, (std::vector<std::string>{"the creator failed"}));
}

TEST_F(InProcess, ComponentAnswersItsThreeInterfacesAsOneObject) {
  CFactory factory(serverClassTable[1]);
  ComPtr<IQRBConsoleComponent> console;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_IQRBConsoleComponent, console.put_void()), S_OK);
  ComPtr<IControlCenterComponent> client;
  ASSERT_EQ(console->QueryInterface(IID_IControlCenterComponent, client.put_void()), S_OK);
  ComPtr<IBootpNotificationSource> bootp;
  ASSERT_EQ(client->QueryInterface(IID_IBootpNotificationSource, bootp.put_void()), S_OK);

  ComPtr<IUnknown> fromConsole, fromClient, fromBootp;
  ASSERT_EQ(console->QueryInterface(IID_IUnknown, fromConsole.put_void()), S_OK);
  ASSERT_EQ(client->QueryInterface(IID_IUnknown, fromClient.put_void()), S_OK);
  ASSERT_EQ(bootp->QueryInterface(IID_IUnknown, fromBootp.put_void()), S_OK);
  EXPECT_EQ(fromConsole.get(), fromClient.get());
  EXPECT_EQ(fromConsole.get(), fromBootp.get());

  for (const IID* refused : {&IID_IClassFactory, &IID_IControlCenterNotify, &IID_IBootpNotify}) {
    void* object = &factory;
    EXPECT_EQ(bootp->QueryInterface(*refused, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }

  // A failure through one interface is read through another, once.
  // (ListSets refuses null places.)
  EXPECT_TRUE(FAILED(client->ListSets(nullptr, nullptr, nullptr, nullptr)));
  unsigned short size = 0;
  char* text = nullptr;
  ASSERT_EQ(console->GetErrorText(&size, &text), S_OK);
  EXPECT_EQ(size, std::strlen(text) + 1);
  EXPECT_EQ(logged.back(), text) << "the text did not reach the error log";
  CoTaskMemFree(text);
  EXPECT_EQ(client->GetErrorText(&size, &text), E_FAIL);
}

// The main window and the shutdown rule, with a real frame on this thread.
class MainWindow : public InProcess {
 protected:
  void SetUp() override {
    InProcess::SetUp();
    auto* frame = new CMainFrame;
    ASSERT_TRUE(frame->Create(nullptr, "Main window under test"));
    window = frame->GetSafeHwnd();
    SetShutdownWindow(window);
    CMainFrame::SetEndDelays(kEndDelayMs, kEndDelayMs);
  }
  void TearDown() override {
    CMainFrame::SetEndDelays(CMainFrame::kIdleEndDelayMs, CMainFrame::kWithdrawnEndDelayMs);
    SetShutdownWindow(nullptr);
    GiveBackOwnLock();
    // The frame object goes with its window.
    if (IsWindow(window)) DestroyWindow(window);
    InProcess::TearDown();
  }

  // Handles this thread's messages for ms.
  static void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
      const DWORD spent = GetTickCount() - start;
      if (spent >= ms) return;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
  }
  // Handles this thread's messages until the window is gone, for at most
  // ms; true when it went.
  bool PumpUntilClosed(DWORD ms) {
    const DWORD start = GetTickCount();
    while (IsWindow(window) && GetTickCount() - start < ms) Pump(20);
    return !IsWindow(window);
  }
  // Both waits before the end, and a time by which both have run out.
  static constexpr DWORD kEndDelayMs = 100;
  static constexpr DWORD kPastIdleEndMs = 600;

  HWND window = nullptr;
};

TEST_F(MainWindow, LockServerKeepsTheWindowPastTheLastObject) {
  CFactory factory(serverClassTable[0]);
  ASSERT_EQ(factory.LockServer(TRUE), S_OK);
  EXPECT_EQ(ServerLockCount(), locksBefore + 1);
  ComPtr<IQRBConsoleComponent> client;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_IQRBConsoleComponent, client.put_void()), S_OK);
  client.reset();
  Pump(kPastIdleEndMs);
  EXPECT_TRUE(IsWindow(window)) << "closed while locked";

  ASSERT_EQ(factory.LockServer(FALSE), S_OK);
  // Not at once: a client may be on its way.
  Pump(0);
  EXPECT_TRUE(IsWindow(window)) << "closed without waiting for late clients";
  EXPECT_TRUE(PumpUntilClosed(10000)) << "stayed open with nothing holding it";
}

TEST_F(MainWindow, ClosingOnlyGivesBackTheProcessesOwnLock) {
  // As started by hand: the process holds a lock of its own.
  TakeOwnLock();
  CFactory factory(serverClassTable[0]);
  ComPtr<IQRBConsoleComponent> console;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_IQRBConsoleComponent, console.put_void()), S_OK);

  // Told to close while a client holds an object, twice: it stays, and the
  // lock count does not go below what clients hold.
  SendMessageA(window, WM_CLOSE, 0, 0);
  SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(ServerLockCount(), locksBefore);

  ASSERT_EQ(factory.LockServer(TRUE), S_OK);
  console.reset();
  Pump(kPastIdleEndMs);
  EXPECT_TRUE(IsWindow(window)) << "a client's lock was lost";
  ASSERT_EQ(factory.LockServer(FALSE), S_OK);
  EXPECT_TRUE(PumpUntilClosed(10000));
}

}  // namespace
