// The class factory and the component's identity, in-process: creation and
// its failures, aggregation, the error text handed out once, the main
// window's shutdown rule, and the switches of the server's command line.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/CFactory.h"
#include "app/CMainFrame.h"
#include "app/ControlCenterServer.h"
#include "app/ServerApp.h"
#include "app/ServerClassTable.h"
#include "app/ServerCommandLine.h"
#include "component/CCCmpnt.h"
#include "testing/NotificationTestSupport.h"
#include "testing/ServerTestSupport.h"

namespace {

class InProcess : public ::testing::Test {
 protected:
  // A ControlCenterComponent builds its class-wide state from the
  // installation and the registered components.
  static void SetUpTestSuite() {
    RegisterServerForTests();
    installation = std::make_unique<TestInstallationSettings>();
  }
  static void TearDownTestSuite() { installation.reset(); }

  void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override {
    EXPECT_EQ(ServerObjectCount(), objectsBefore) << "an object was left alive";
    EXPECT_EQ(ServerLockCount(), locksBefore);
    CoUninitialize();
  }

  // What GetErrorText hands out, or "(none)" when it refuses.
  template <class I>
  static std::string TakeErrorText(I* object) {
    unsigned short size = 0;
    char* text = nullptr;
    if (object->GetErrorText(&size, &text) != S_OK) return "(none)";
    std::string taken(text);
    EXPECT_EQ(size, taken.size() + 1);
    CoTaskMemFree(text);
    return taken;
  }

  testsupport::LogWatcher log;
  const LONG objectsBefore = ServerObjectCount();
  const LONG locksBefore = ServerLockCount();
  static inline std::unique_ptr<TestInstallationSettings> installation;
};

// An aggregating object that counts what its inner object asks of it.
struct FakeOuter : IUnknown {
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

struct RefusesToStart : QRBConsoleComponent {
  HRESULT Initialize() override { return E_ACCESSDENIED; }
};

// A failed creation hands out nothing and leaves nothing alive (the
// fixture counts the objects); only a raised text is an error to log.
TEST_F(InProcess, FailedCreationsKeepTheirCodeAndLeaveNothingBehind) {
  FakeOuter outer;
  for (int i = 0; i < serverClassCount; ++i) {
    CFactory factory(serverClassTable[i]);
    for (auto [aggregator, iid, expected] :
         {std::make_tuple(&outer, &IID_IQRBConsoleComponent, CLASS_E_NOAGGREGATION),
          std::make_tuple(&outer, &IID_IControlCenterComponent, CLASS_E_NOAGGREGATION),
          std::make_tuple(static_cast<FakeOuter*>(nullptr), &IID_IClassFactory, E_NOINTERFACE)}) {
      void* object = &outer;
      EXPECT_EQ(factory.CreateInstance(aggregator, *iid, &object), expected);
      EXPECT_EQ(object, nullptr);
    }
  }
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(outer.queries, 0);

  const std::pair<ComponentCreator, HRESULT> creators[] = {
      {[](IUnknown*, QRBConsoleComponent**) { return E_OUTOFMEMORY; }, E_OUTOFMEMORY},
      {[](IUnknown*, QRBConsoleComponent** made) { return *made = new RefusesToStart, S_OK; },
       E_ACCESSDENIED},
      {[](IUnknown*, QRBConsoleComponent**) -> HRESULT {
         throw const_cast<char*>("the creator failed");
       },
       E_FAIL}};
  for (auto [creator, expected] : creators) {
    ServerClassEntry entry = {&CLSID_ControlCenterServer, creator, "t", "t.1", "t", nullptr, 0};
    void* object = &entry;
    EXPECT_EQ(CFactory(entry).CreateInstance(nullptr, IID_IUnknown, &object), expected);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(log.Seen(), std::vector<std::string>{"the creator failed"});
  for (ComponentCreator create : {&ControlCenterServer::Create, &ControlCenterComponent::Create})
    EXPECT_THROW(create(nullptr, nullptr), char*);
}

// Alone, the component answers its three interfaces as one object, and a
// failure through one of them is read through another, once: the newest
// text. (The client methods refuse null places.)
TEST_F(InProcess, ComponentIsOneObjectAloneOrAggregated) {
  CFactory factory(serverClassTable[1]);
  ComPtr<IControlCenterComponent> client;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_IControlCenterComponent, client.put_void()), S_OK);
  ComPtr<IQRBConsoleComponent> console;
  ComPtr<IBootpNotificationSource> bootp;
  ASSERT_EQ(client->QueryInterface(IID_IQRBConsoleComponent, console.put_void()), S_OK);
  ASSERT_EQ(console->QueryInterface(IID_IBootpNotificationSource, bootp.put_void()), S_OK);
  auto self = [](IUnknown* face) {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(face->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
    return unknown.get();
  };
  EXPECT_TRUE(self(client.get()) == self(console.get()) && self(client.get()) == self(bootp.get()));
  EXPECT_TRUE(FAILED(client->ListSets(nullptr, nullptr, nullptr, nullptr)));
  EXPECT_TRUE(FAILED(client->IsSetChanging(nullptr)));
  ASSERT_EQ(log.Seen().size(), 2u) << "each failure goes to the error log";
  EXPECT_EQ(TakeErrorText(console.get()), log.Seen()[1]) << "the newest text is kept";
  EXPECT_EQ(TakeErrorText(client.get()), "(none)");

  // Aggregated, its client interfaces answer for the outer object.
  FakeOuter outer;
  ComPtr<IUnknown> inner;
  ComPtr<IControlCenterComponent> aggregated;
  ASSERT_EQ(factory.CreateInstance(&outer, IID_IUnknown, inner.put_void()), S_OK);
  EXPECT_EQ(outer.refs, 1u) << "the inner object's own IUnknown must not count on the outer";
  ASSERT_EQ(inner->QueryInterface(IID_IControlCenterComponent, aggregated.put_void()), S_OK);
  EXPECT_EQ(aggregated->QueryInterface(IID_IBootpNotificationSource, bootp.put_void()),
            E_NOINTERFACE);
  EXPECT_TRUE(outer.refs == 2 && outer.queries == 1);
  aggregated.reset();
  EXPECT_EQ(outer.refs, 1u);
}

// Handles this thread's messages for ms, or until the window is gone.
bool PumpWhileOpen(HWND window, DWORD ms) {
  for (const DWORD start = GetTickCount(); IsWindow(window) && GetTickCount() - start <= ms;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return IsWindow(window);
}

// The main window and the shutdown rule, with a real frame on this thread.
// As started by hand, the process holds a lock of its own; told to close
// while a client holds an object, twice, it only hides and gives back that
// lock alone. A client's lock then keeps it past the last object, and once
// that goes too it waits a little for late clients before it ends.
TEST_F(InProcess, MainWindowEndsOnlyWhenNothingHoldsItAnyMore) {
  CMainFrame::SetEndDelays(100, 100);
  auto* frame = new CMainFrame;  // goes with its window
  ASSERT_TRUE(frame->Create(nullptr, "Main window under test"));
  HWND window = frame->GetSafeHwnd();
  SetShutdownWindow(window);
  TakeOwnLock();
  CFactory factory(serverClassTable[0]);
  ComPtr<IQRBConsoleComponent> console;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_IQRBConsoleComponent, console.put_void()), S_OK);
  SendMessageA(window, WM_CLOSE, 0, 0);
  SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_FALSE(IsWindowVisible(window));

  ASSERT_EQ(factory.LockServer(TRUE), S_OK);
  console.reset();
  EXPECT_TRUE(PumpWhileOpen(window, 600)) << "closed while locked";
  ASSERT_EQ(factory.LockServer(FALSE), S_OK);
  EXPECT_TRUE(PumpWhileOpen(window, 0)) << "closed without waiting for late clients";
  EXPECT_FALSE(PumpWhileOpen(window, 10000)) << "stayed open with nothing holding it";

  SetShutdownWindow(nullptr);
  if (IsWindow(window)) DestroyWindow(window);
}

TEST(ServerCommandLine, SwitchesAreSplitAtDashesAndSlashesOnly) {
  using S = ServerSwitch;
  const std::pair<const char*, std::vector<ServerSwitch>> cases[] = {
      {"", {}},
      {"-regserver", {S::RegServer}},
      {"/UNREGSERVER", {S::UnregServer}},
      {" -Embedding", {S::Embedding}},  // COM's own form, as Wine and Windows append it
      // A space stays part of its piece, which then matches nothing.
      {"RegServer /UnregServer", {S::UnregServer}},
      {"/RegServer ", {}},
      // Nothing after Embedding is looked at; every piece before it is, in order.
      {"Embedding/RegServer", {S::Embedding}},
      {"/UnregServer/Automation/RegServer", {S::UnregServer, S::RegServer}},
      {"//RegServer--", {S::RegServer}},
      {"/Reg", {}},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(ReadServerSwitches(line), expected) << "command line \"" << line << "\"";
  EXPECT_TRUE(ReadServerSwitches(nullptr).empty());
}

}  // namespace
