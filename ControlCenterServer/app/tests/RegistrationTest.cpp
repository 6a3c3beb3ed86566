// Registration runs of the real server: what "RegServer" writes and what
// "UnregServer" removes. Every test leaves the server registered, as it
// found it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/ServerTestSupport.h"

namespace {

const std::string kAppId = "{DA956624-9E61-11D1-BF71-0060083188E7}";
const std::string kOtherAppId = "{0F0F0F0F-0000-4000-8000-000000000001}";
const char kInteractive[] = "Interactive User (17 bytes), level 1";
// Each class: its CLSID, ProgID and version-independent ProgID.
const std::string kClasses[][3] = {
    {"{DA956624-9E61-11D1-BF71-0060083188E7}", "QRBConsoleComponent.ControlCenterServer.1",
     "QRBConsoleComponent.ControlCenterServer"},
    {"{DA956622-9E61-11D1-BF71-0060083188E7}", "Korvane.Control.Center.Server.1",
     "Korvane.Control.Center.Server"},
};

void SetClassesValue(const std::string& path, const char* name, DWORD type, const void* data,
                     DWORD size) {
  ASSERT_EQ(RegSetKeyValueA(HKEY_CLASSES_ROOT, path.c_str(), name, type, data, size),
            ERROR_SUCCESS);
}
void SetClassesString(const std::string& path, const char* name, const std::string& value) {
  SetClassesValue(path, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
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

class Registration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterServerForTests(); }
  void SetUp() override { CloseRunningServers(); }
  void TearDown() override {
    CloseRunningServers();
    Run("/UnregServer");
    Run("/RegServer");
    for (const auto& [clsid, progId, independentId] : kClasses) {
      const std::string key = "CLSID\\" + clsid;
      EXPECT_EQ(lstrcmpiA(ClassesString(key + "\\LocalServer32").c_str(), ServerPath().c_str()), 0);
      EXPECT_EQ(ClassesString(key + "\\ProgID"), progId);
      EXPECT_EQ(ClassesString(key + "\\VersionIndependentProgID"), independentId);
      EXPECT_EQ(ClassesString(key, "AppID"), kAppId);
      EXPECT_EQ(ClassesString(progId + "\\CLSID"), clsid);
      EXPECT_EQ(ClassesString(independentId + "\\CLSID"), clsid);
      EXPECT_EQ(ClassesString(independentId + "\\CurVer"), progId);
    }
    EXPECT_EQ(Identity(kAppId), kInteractive);
  }

  // A registration run: it must end by itself (a server that started
  // instead would not) and report success.
  static void Run(const char* arguments) {
    ServerProcess run(arguments);
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(run.WaitForExit(30000)) << arguments << " did not end";
    EXPECT_EQ(run.ExitCode(), 0u) << arguments;
  }
};

// What "UnregServer" removes, also when it is not there; the round trip
// ends in every test's check of what "RegServer" writes.
TEST_F(Registration, UnregServerRemovesWhatRegistrationWrote) {
  Run("/UnregServer");
  Run("/UnregServer");
  for (const auto& names : kClasses)
    for (const std::string& key : {"CLSID\\" + names[0], names[1], names[2]})
      EXPECT_FALSE(ClassesKeyExists(key)) << key;
  EXPECT_FALSE(ClassesKeyExists("AppID\\" + kAppId));
}

TEST_F(Registration, RegisteringAgainKeepsEachAppIdAndRewritesItsIdentity) {
  const DWORD level = 4;
  SetClassesString("AppID\\" + kAppId, "RunAs", "Someone Else");
  SetClassesValue("AppID\\" + kAppId, "AuthenticationLevel", REG_DWORD, &level, sizeof level);
  // A class that names an AppID of its own keeps it.
  SetClassesString("CLSID\\" + kClasses[1][0], "AppID", kOtherAppId);
  SetClassesString("AppID\\" + kOtherAppId, "RunAs", "Someone Else");
  Run("/RegServer");
  EXPECT_EQ(ClassesString("CLSID\\" + kClasses[0][0], "AppID"), kAppId);
  EXPECT_EQ(ClassesString("CLSID\\" + kClasses[1][0], "AppID"), kOtherAppId);
  EXPECT_EQ(Identity(kAppId), kInteractive);
  EXPECT_EQ(Identity(kOtherAppId), kInteractive);
}

TEST_F(Registration, UnregServerLeavesAProgIdThatAnotherClassTookOver) {
  const std::string other = "{0F0F0F0F-0000-4000-8000-000000000002}";
  SetClassesString(kClasses[1][2] + "\\CLSID", nullptr, other);
  Run("/UnregServer");
  EXPECT_FALSE(ClassesKeyExists(kClasses[1][1]));
  EXPECT_EQ(ClassesString(kClasses[1][2] + "\\CLSID"), other);
}

}  // namespace
