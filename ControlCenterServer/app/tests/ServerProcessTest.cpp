// The server as its clients meet it: started by COM or by hand, answering
// for its two classes across the process boundary, and ending by itself
// when nothing holds it. (LockServer is tested in-process: Wine's proxy for
// IClassFactory answers LockServer itself with E_NOTIMPL and never calls
// the server.)
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <functional>
#include <string>
#include <vector>

#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

// How long a server may take to end once nothing holds it, and how long a
// server that must stay up is watched.
constexpr DWORD kExitTimeoutMs = 15000;
constexpr DWORD kStaysUpMs = 1500;

class ServerProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();
    installation = new TestInstallationSettings;
  }
  static void TearDownTestSuite() {
    delete installation;
    installation = nullptr;
    CoUninitialize();
  }

  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CloseRunningServers();
  }
  void TearDown() override {
    CloseRunningServers();
    CoUninitialize();
  }

  template <class I>
  static HRESULT Create(REFCLSID clsid, REFIID iid, ComPtr<I>& object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, iid, object.put_void());
  }

  static TestInstallationSettings* installation;
};

TestInstallationSettings* ServerProcessTest::installation = nullptr;

// What GetErrorText hands out, or "(none)" when it refuses.
template <class I>
std::string TakeErrorText(I* object, unsigned short* sizeOut = nullptr) {
  unsigned short size = 0;
  char* text = nullptr;
  if (object->GetErrorText(&size, &text) != S_OK) return "(none)";
  std::string result = text ? text : "(null)";
  CoTaskMemFree(text);
  if (sizeOut) *sizeOut = size;
  return result;
}

// Every slot of both client interfaces reaches the server and comes back
// with a proper answer across the process boundary: S_OK, or a failure
// whose text is handed out once. A method whose work is not built yet says
// so by name.
TEST_F(ServerProcessTest, EverySlotAnswersAcrossTheProcessBoundary) {
  ComPtr<IControlCenterComponent> client;
  ASSERT_EQ(Create(CLSID_ControlCenterComponent, IID_IControlCenterComponent, client), S_OK);
  ComPtr<IBootpNotificationSource> bootp;
  ASSERT_EQ(client->QueryInterface(IID_IBootpNotificationSource, bootp.put_void()), S_OK);
  ComPtr<IQRBConsoleComponent> console;
  ASSERT_EQ(client->QueryInterface(IID_IQRBConsoleComponent, console.put_void()), S_OK);

  unsigned short n = 0, size = 0;
  unsigned short* indexes = nullptr;
  char* block = nullptr;
  unsigned char flag = 0;
  ULONG cookie = 0;
  unsigned short boards[] = {0, 1};
  char name[] = "Plant";
  // Calls that change nothing lasting; arguments that a built method
  // refuses (no callback interface, no boards, no change running).
  std::vector<std::pair<const char*, std::function<HRESULT()>>> calls = {
      {"ListSets", [&] { return client->ListSets(&n, &indexes, &size, &block); }},
      {"SelectSet", [&] { return client->SelectSet(6, name, nullptr); }},
      {"RestoreBackup", [&] { return client->RestoreBackup(nullptr); }},
      {"BackupExists", [&] { return client->BackupExists(&flag); }},
      {"SendBoardCommand", [&] { return client->SendBoardCommand(1, 2, boards); }},
      {"IsSetChanging", [&] { return client->IsSetChanging(&flag); }},
      {"RegisterNotification",
       [&] { return client->RegisterNotification(nullptr, 6, name, &cookie); }},
      {"UnregisterNotification", [&] { return client->UnregisterNotification(0xFFFFFFF0); }},
      {"AllowSetChange", [&] { return client->AllowSetChange(0xFFFFFFF0); }},
      {"GetActiveSetName", [&] { return client->GetActiveSetName(&size, &block); }},
      {"GetBackupSetName", [&] { return client->GetBackupSetName(&size, &block); }},
      {"ActiveSetExists", [&] { return client->ActiveSetExists(&flag); }},
      {"RegisterBootpNotification",
       [&] { return bootp->RegisterBootpNotification(nullptr, &cookie); }},
      {"UnregisterBootpNotification",
       [&] { return bootp->UnregisterBootpNotification(0xFFFFFFF0); }},
  };
  // The time-out is stored in the installation: only in the test's own.
  if (installation->Ours())
    calls.push_back({"SetClientTimeout", [&] { return client->SetClientTimeout(10); }});

  bool throughClient = true;
  for (const auto& [method, call] : calls) {
    SCOPED_TRACE(method);
    HRESULT hr = call();
    CoTaskMemFree(indexes);
    CoTaskMemFree(block);
    indexes = nullptr;
    block = nullptr;
    if (hr == S_OK) continue;
    ASSERT_EQ(hr, E_FAIL) << std::hex << hr;
    unsigned short textSize = 0;
    std::string text = throughClient ? TakeErrorText(client.get(), &textSize)
                                     : TakeErrorText(console.get(), &textSize);
    throughClient = !throughClient;
    EXPECT_NE(text, "(none)") << "a failure without a text";
    EXPECT_EQ(textSize, text.size() + 1);
    EXPECT_EQ(TakeErrorText(client.get()), "(none)") << "handed out twice";
  }
}

TEST_F(ServerProcessTest, RefusedInterfaceAtCreationLeavesNoObjectBehind) {
  // Holding the class object does not hold the server: only objects and
  // locks do. So the server COM started ends once the refused object is gone.
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_ControlCenterServer, CLSCTX_LOCAL_SERVER, nullptr,
                             IID_IClassFactory, factory.put_void()),
            S_OK);
  HWND window = WaitForServerWindow(0, 5000);
  ASSERT_NE(window, nullptr) << "no server window";
  UniqueHandle server = OpenServerProcess(window);
  ASSERT_TRUE(server);

  ComPtr<IControlCenterComponent> refused;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IControlCenterComponent, refused.put_void()),
            E_NOINTERFACE);
  EXPECT_FALSE(refused);
  EXPECT_TRUE(WaitForProcessExit(server.get(), kExitTimeoutMs))
      << "the refused object was left alive";
}

// A client that asks for an object just as the last one went meets a server
// that is ending: it must be served, by that server or by a new one, and
// never see the call fail under it.
TEST_F(ServerProcessTest, ACreationAsTheLastObjectGoesIsServed) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ComPtr<IQRBConsoleComponent> console;
    ASSERT_EQ(Create(CLSID_ControlCenterServer, IID_IQRBConsoleComponent, console), S_OK);
    console.reset();
    ComPtr<IControlCenterComponent> client;
    HRESULT hr = Create(CLSID_ControlCenterComponent, IID_IControlCenterComponent, client);
    ASSERT_EQ(hr, S_OK) << std::hex << hr;
    unsigned char flag = 0;
    EXPECT_EQ(client->IsSetChanging(&flag), S_OK);
  }
}

// Started by hand, the server stays without clients and after them; told
// to close while a client holds an object, it only hides, and the last
// client then ends it.
TEST_F(ServerProcessTest, ServerStartedByHandStaysUntilClosedAndItsLastClientGoes) {
  ServerProcess server("");
  ASSERT_TRUE(server.Started());
  HWND window = WaitForServerWindow(server.Id(), 10000);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  // Its classes are registered with COM shortly after its window appears;
  // by the end of this wait they are.
  EXPECT_FALSE(server.WaitForExit(kStaysUpMs));

  ComPtr<IQRBConsoleComponent> client;
  ASSERT_EQ(Create(CLSID_ControlCenterServer, IID_IQRBConsoleComponent, client), S_OK);
  EXPECT_EQ(FindServerWindow(), window) << "COM started a second server";
  client.reset();
  EXPECT_FALSE(server.WaitForExit(kStaysUpMs));

  ASSERT_EQ(Create(CLSID_ControlCenterServer, IID_IQRBConsoleComponent, client), S_OK);
  PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(server.WaitForExit(kStaysUpMs)) << "closed under a client";
  unsigned short size = 0;
  char* text = nullptr;
  EXPECT_EQ(client->GetErrorText(&size, &text), E_FAIL) << "the object stopped answering";
  client.reset();
  EXPECT_TRUE(server.WaitForExit(kExitTimeoutMs));
}

}  // namespace
