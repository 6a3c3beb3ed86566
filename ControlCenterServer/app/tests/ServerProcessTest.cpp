// The server as its clients meet it: started by COM or by hand, answering
// for its two classes across the process boundary, and ending by itself
// when nothing holds it. (LockServer is tested in-process: Wine's proxy for
// IClassFactory answers LockServer itself with E_NOTIMPL and never calls
// the server.)
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include "testing/ServerTestSupport.h"

namespace {

class ServerProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();
    installation = new TestInstallationSettings;
  }
  static void TearDownTestSuite() {
    delete installation;
    CoUninitialize();
  }
  void SetUp() override { CloseRunningServers(); }
  void TearDown() override { CloseRunningServers(); }

  template <class I>
  static HRESULT Create(REFCLSID clsid, REFIID iid, ComPtr<I>& object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, iid, object.put_void());
  }

  static TestInstallationSettings* installation;
};

TestInstallationSettings* ServerProcessTest::installation = nullptr;

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
// client then ends it. (COM's own hold on the class objects holds nothing.)
TEST_F(ServerProcessTest, ServerStartedByHandStaysUntilClosedAndItsLastClientGoes) {
  constexpr DWORD kStaysUpMs = 1500;
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
  EXPECT_TRUE(server.WaitForExit(15000));
}

}  // namespace
