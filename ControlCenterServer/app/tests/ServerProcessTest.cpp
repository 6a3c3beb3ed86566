// The server as its clients meet it across the process boundary, started
// by COM or by hand, and its registration runs. (LockServer is tested
// in-process: Wine's proxy for IClassFactory answers it with E_NOTIMPL.)
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <memory>
#include <string>

#include "testing/ServerTestSupport.h"

namespace {

class ServerProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();
    installation = std::make_unique<TestInstallationSettings>();
  }
  static void TearDownTestSuite() {
    installation.reset();
    CoUninitialize();
  }
  void SetUp() override { CloseRunningServers(); }
  void TearDown() override { CloseRunningServers(); }

  template <class I>
  static HRESULT Create(REFCLSID clsid, ComPtr<I>& object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(I), object.put_void());
  }

  static inline std::unique_ptr<TestInstallationSettings> installation;
};

// A client that asks for an object just as the last one went meets a server
// that is ending: it must be served, by that server or by a new one, and
// never see the call fail under it.
TEST_F(ServerProcessTest, ACreationAsTheLastObjectGoesIsServed) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ComPtr<IQRBConsoleComponent> console;
    ASSERT_EQ(Create(CLSID_ControlCenterServer, console), S_OK);
    console.reset();
    ComPtr<IControlCenterComponent> client;
    ASSERT_EQ(Create(CLSID_ControlCenterComponent, client), S_OK);
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
  ASSERT_EQ(Create(CLSID_ControlCenterServer, client), S_OK);
  EXPECT_EQ(FindServerWindow(), window) << "COM started a second server";
  client.reset();
  EXPECT_FALSE(server.WaitForExit(kStaysUpMs));

  ASSERT_EQ(Create(CLSID_ControlCenterServer, client), S_OK);
  PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(server.WaitForExit(kStaysUpMs)) << "closed under a client";
  unsigned short size = 0;
  char* text = nullptr;
  EXPECT_EQ(client->GetErrorText(&size, &text), E_FAIL) << "the object stopped answering";
  client.reset();
  EXPECT_TRUE(server.WaitForExit(15000));
}

const std::string kAppId = "{DA956624-9E61-11D1-BF71-0060083188E7}";
const char kInteractive[] = "Interactive User (17 bytes), level 1";
// Each class: its CLSID key, ProgID and version-independent ProgID.
const std::string kClasses[][3] = {
    {"CLSID\\{DA956624-9E61-11D1-BF71-0060083188E7}", "QRBConsoleComponent.ControlCenterServer.1",
     "QRBConsoleComponent.ControlCenterServer"},
    {"CLSID\\{DA956622-9E61-11D1-BF71-0060083188E7}", "Korvane.Control.Center.Server.1",
     "Korvane.Control.Center.Server"},
};

void SetClassesText(const std::string& path, const char* name, const std::string& text) {
  ASSERT_EQ(
      RegSetKeyValueA(HKEY_CLASSES_ROOT, path.c_str(), name, REG_SZ, text.c_str(), text.size() + 1),
      ERROR_SUCCESS);
}

// An AppID's RunAs text with its size in bytes, and its AuthenticationLevel.
std::string Identity(const std::string& appId) {
  const std::string key = "AppID\\" + appId;
  char runAs[64] = "";
  DWORD size = sizeof runAs, level = 0, levelSize = sizeof level;
  RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), "RunAs", RRF_RT_ANY, nullptr, runAs, &size);
  RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), "AuthenticationLevel", RRF_RT_REG_DWORD, nullptr,
               &level, &levelSize);
  return std::string(runAs) + " (" + std::to_string(size) + " bytes), level " +
         std::to_string(level);
}

// A registration run: it must end by itself (a server that started instead
// would not) and report success.
void RunServer(const char* arguments) {
  ServerProcess run(arguments);
  ASSERT_TRUE(run.Started());
  ASSERT_TRUE(run.WaitForExit(30000)) << arguments << " did not end";
  EXPECT_EQ(run.ExitCode(), 0u) << arguments;
}

// Every registration test ends with the round trip, and so leaves the
// server registered, as it found it: what "RegServer" writes.
class Registration : public ServerProcessTest {
 protected:
  void TearDown() override {
    ServerProcessTest::TearDown();
    RunServer("/UnregServer");
    RunServer("/RegServer");
    for (const auto& [key, progId, independentId] : kClasses) {
      EXPECT_EQ(lstrcmpiA(ClassesString(key + "\\LocalServer32").c_str(), ServerPath().c_str()), 0);
      EXPECT_EQ(ClassesString(key + "\\ProgID"), progId);
      EXPECT_EQ(ClassesString(key + "\\VersionIndependentProgID"), independentId);
      EXPECT_EQ(ClassesString(key, "AppID"), kAppId);
      EXPECT_EQ("CLSID\\" + ClassesString(progId + "\\CLSID"), key);
      EXPECT_EQ("CLSID\\" + ClassesString(independentId + "\\CLSID"), key);
      EXPECT_EQ(ClassesString(independentId + "\\CurVer"), progId);
    }
    EXPECT_EQ(Identity(kAppId), kInteractive);
  }
};

// Also when it is not there.
TEST_F(Registration, UnregServerRemovesWhatRegistrationWrote) {
  RunServer("/UnregServer");
  RunServer("/UnregServer");
  for (const auto& names : kClasses)
    for (const std::string& key : names) EXPECT_FALSE(ClassesKeyExists(key)) << key;
  EXPECT_FALSE(ClassesKeyExists("AppID\\" + kAppId));
}

// Registering again rewrites each AppID's identity; a class that names an
// AppID of its own keeps it. Unregistering leaves a ProgID that another
// class took over.
TEST_F(Registration, RegisteringAgainKeepsEachAppIdAndUnregisteringKeepsOthersProgIds) {
  const DWORD level = 4;
  SetClassesText("AppID\\" + kAppId, "RunAs", "Someone Else");
  RegSetKeyValueA(HKEY_CLASSES_ROOT, ("AppID\\" + kAppId).c_str(), "AuthenticationLevel", REG_DWORD,
                  &level, sizeof level);
  const std::string otherAppId = "{0F0F0F0F-0000-4000-8000-000000000001}";
  SetClassesText(kClasses[1][0], "AppID", otherAppId);
  SetClassesText("AppID\\" + otherAppId, "RunAs", "Someone Else");
  RunServer("/RegServer");
  EXPECT_EQ(ClassesString(kClasses[0][0], "AppID"), kAppId);
  EXPECT_EQ(ClassesString(kClasses[1][0], "AppID"), otherAppId);
  EXPECT_EQ(Identity(kAppId), kInteractive);
  EXPECT_EQ(Identity(otherAppId), kInteractive);

  const std::string other = "{0F0F0F0F-0000-4000-8000-000000000002}";
  SetClassesText(kClasses[1][2] + "\\CLSID", nullptr, other);
  RunServer("/UnregServer");
  EXPECT_FALSE(ClassesKeyExists(kClasses[1][1]));
  EXPECT_EQ(ClassesString(kClasses[1][2] + "\\CLSID"), other);
}

}  // namespace
