// Registration runs of the real server: what "RegServer" writes and what
// "UnregServer" removes. Every test leaves the server registered, as it
// found it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

const char kAppId[] = "{DA956624-9E61-11D1-BF71-0060083188E7}";

struct ServerClass {
  const char* clsid;
  const char* progId;
  const char* versionIndependentProgId;
};
const ServerClass kClasses[] = {
    {"{DA956624-9E61-11D1-BF71-0060083188E7}", "QRBConsoleComponent.ControlCenterServer.1",
     "QRBConsoleComponent.ControlCenterServer"},
    {"{DA956622-9E61-11D1-BF71-0060083188E7}", "Korvane.Control.Center.Server.1",
     "Korvane.Control.Center.Server"},
};

std::string ClassKey(const ServerClass& c) { return std::string("CLSID\\") + c.clsid; }

void SetClassesString(const std::string& path, const char* name, const std::string& value) {
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
}

void SetClassesDword(const std::string& path, const char* name, DWORD value) {
  UniqueKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ALL_ACCESS, key.put()),
            ERROR_SUCCESS);
  RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof value);
}

// The AppID key's identity values: RunAs (with its size in bytes) and
// AuthenticationLevel.
struct Identity {
  std::string runAs;
  DWORD runAsBytes = 0;
  DWORD level = 0;
};
Identity IdentityOf(const std::string& appId) {
  Identity identity;
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ("AppID\\" + appId).c_str(), 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS)
    return identity;
  char text[64] = "";
  DWORD size = sizeof text - 1;
  if (RegQueryValueExA(key.get(), "RunAs", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                       &size) == ERROR_SUCCESS) {
    identity.runAs = text;
    identity.runAsBytes = size;
  }
  DWORD type = 0;
  size = sizeof identity.level;
  if (RegQueryValueExA(key.get(), "AuthenticationLevel", nullptr, &type,
                       reinterpret_cast<BYTE*>(&identity.level), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    identity.level = 0;
  return identity;
}

class Registration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterServerForTests(); }

  void SetUp() override { CloseRunningServers(); }
  void TearDown() override {
    CloseRunningServers();
    // Back to a clean registration, whatever the test changed.
    Run("/UnregServer");
    Run("/RegServer");
    ExpectRegistered();
  }

  // A registration run: it must end by itself (a server that started
  // instead would not) and report success.
  static void Run(const std::string& arguments) {
    ServerProcess run(arguments);
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(run.WaitForExit(30000)) << "\"" << arguments << "\" did not end";
    EXPECT_EQ(run.ExitCode(), 0u) << arguments;
  }

  static void ExpectRegistered() {
    for (const ServerClass& c : kClasses) {
      SCOPED_TRACE(c.clsid);
      EXPECT_EQ(lstrcmpiA(ClassesString(ClassKey(c) + "\\LocalServer32").c_str(),
                          ServerPath().c_str()),
                0)
          << ClassesString(ClassKey(c) + "\\LocalServer32");
      EXPECT_EQ(ClassesString(ClassKey(c) + "\\ProgID"), c.progId);
      EXPECT_EQ(ClassesString(ClassKey(c) + "\\VersionIndependentProgID"),
                c.versionIndependentProgId);
      EXPECT_EQ(ClassesString(std::string(c.progId) + "\\CLSID"), c.clsid);
      EXPECT_EQ(ClassesString(std::string(c.versionIndependentProgId) + "\\CLSID"), c.clsid);
      EXPECT_EQ(ClassesString(std::string(c.versionIndependentProgId) + "\\CurVer"), c.progId);
      EXPECT_EQ(ClassesString(ClassKey(c), "AppID"), kAppId);
    }
    Identity identity = IdentityOf(kAppId);
    EXPECT_EQ(identity.runAs, "Interactive User");
    EXPECT_EQ(identity.runAsBytes, 17u);
    EXPECT_EQ(identity.level, 1u);
  }

  static void ExpectUnregistered() {
    for (const ServerClass& c : kClasses) {
      SCOPED_TRACE(c.clsid);
      EXPECT_FALSE(ClassesKeyExists(ClassKey(c)));
      EXPECT_FALSE(ClassesKeyExists(c.progId));
      EXPECT_FALSE(ClassesKeyExists(c.versionIndependentProgId));
    }
    EXPECT_FALSE(ClassesKeyExists(std::string("AppID\\") + kAppId));
  }
};

// What "UnregServer" removes ("RegServer" puts it back and is checked after
// every test); unregistering what is not there is no failure either.
TEST_F(Registration, UnregServerRemovesWhatRegistrationWrote) {
  Run("/UnregServer");
  ExpectUnregistered();
  Run("/UnregServer");
  ExpectUnregistered();
}

TEST_F(Registration, RegisteringAgainKeepsEachAppIdAndRewritesItsIdentity) {
  Run("/RegServer");
  SetClassesString(std::string("AppID\\") + kAppId, "RunAs", "Someone Else");
  SetClassesDword(std::string("AppID\\") + kAppId, "AuthenticationLevel", 4);
  // A class that names an AppID of its own keeps it.
  const std::string otherAppId = "{0F0F0F0F-0000-4000-8000-000000000001}";
  SetClassesString(ClassKey(kClasses[1]), "AppID", otherAppId);
  SetClassesString("AppID\\" + otherAppId, "RunAs", "Someone Else");

  Run("/RegServer");
  EXPECT_EQ(ClassesString(ClassKey(kClasses[0]), "AppID"), kAppId);
  EXPECT_EQ(ClassesString(ClassKey(kClasses[1]), "AppID"), otherAppId);
  for (const std::string& appId : {std::string(kAppId), otherAppId}) {
    SCOPED_TRACE(appId);
    Identity identity = IdentityOf(appId);
    EXPECT_EQ(identity.runAs, "Interactive User");
    EXPECT_EQ(identity.level, 1u);
  }
}

TEST_F(Registration, UnregServerLeavesAProgIdThatAnotherClassTookOver) {
  Run("/RegServer");
  const std::string other = "{0F0F0F0F-0000-4000-8000-000000000002}";
  SetClassesString(std::string(kClasses[1].versionIndependentProgId) + "\\CLSID", nullptr, other);
  Run("/UnregServer");
  EXPECT_FALSE(ClassesKeyExists(kClasses[1].progId));
  EXPECT_EQ(ClassesString(std::string(kClasses[1].versionIndependentProgId) + "\\CLSID"), other);
}

}  // namespace
