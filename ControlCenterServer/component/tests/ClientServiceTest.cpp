// The client service as clients meet it: the real server started by COM,
// this process its client, a test installation in the prefix. The start of
// the server failing on a broken installation, board commands arriving at a
// UDP listener on 127.0.0.1, and a failure's text handed out once and kept
// in the error table.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ControlCenter.h>

#include <string>
#include <vector>

#include "DaoStore.h"
#include "DaoTestSupport.h"
#include "testing/ComponentTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

class ClientService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();
    RegisterDaoServer();
    // Long enough that the database server stays up between the failures
    // of one case.
    daoSettings = new DaoServerSettingsScope(5000);
    installation = new TestInstallation("client-service");
  }
  static void TearDownTestSuite() {
    CloseRunningServers();
    delete installation;
    installation = nullptr;
    WaitForNoDaoServer(10000);
    delete daoSettings;
    daoSettings = nullptr;
    CoUninitialize();
  }

  void SetUp() override {
    // A server of the previous case may still be on its way out; this
    // case's settings are read by a new one.
    CloseRunningServers();
    installation->WriteDefaultSettings();
    installation->SetDword("Network", "Reboot Port", listener.Port());
  }
  void TearDown() override {
    client.reset();
    CloseRunningServers();
    // A failed creation whose text the log could not take waits in a
    // message box; the test must not hang on it.
    while (HWND box = FindWindowA(nullptr, "EXCEPTION")) {
      ADD_FAILURE() << "the server showed an EXCEPTION box";
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      Sleep(200);
    }
  }

  HRESULT Create() {
    return CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                            IID_IControlCenterComponent, client.put_void());
  }

  // Whether text, or a text that starts with it, is in the error table.
  static bool Logged(const std::string& text) {
    std::string file = DaoDatabasePath(daoSettings->Directory(), "QRB Errors");
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    bool found = false;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT \"Error Message\" FROM \"QRB Errors\"", -1, &stmt,
                           nullptr) == SQLITE_OK) {
      while (!found && sqlite3_step(stmt) == SQLITE_ROW) {
        const char* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
        found = bytes && std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(stmt, 0)))
                                 .rfind(text, 0) == 0;
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return found;
  }

  // The text of a failed call: handed to the client once, with its size,
  // and in the table.
  std::string FailureText(HRESULT hr) {
    EXPECT_EQ(hr, E_FAIL);
    unsigned short size = 0;
    char* text = nullptr;
    if (client->GetErrorText(&size, &text) != S_OK) return "(none)";
    std::string result = text ? text : "(null)";
    CoTaskMemFree(text);
    EXPECT_EQ(size, result.size() + 1);
    EXPECT_EQ(client->GetErrorText(&size, &text), E_FAIL) << "handed out twice";
    EXPECT_TRUE(Logged(result)) << "not in the error table: " << result;
    return result;
  }

  static DaoServerSettingsScope* daoSettings;
  static TestInstallation* installation;
  UdpListener listener;
  ComPtr<IControlCenterComponent> client;
};
DaoServerSettingsScope* ClientService::daoSettings = nullptr;
TestInstallation* ClientService::installation = nullptr;

TEST_F(ClientService, BrokenInstallationFailsTheCreationWithItsTextLogged) {
  installation->DeleteKey("Network");
  EXPECT_EQ(Create(), E_FAIL);
  EXPECT_FALSE(client);
  EXPECT_TRUE(Logged("Could not find the korvane installation while attempting to build a "
                     "configuration.: "))
      << "the creation's text is not in the error table";

  // Repaired, the same installation serves.
  installation->WriteDefaultSettings();
  EXPECT_EQ(Create(), S_OK);
}

TEST_F(ClientService, BoardCommandReachesTheBoardsOnTheRebootPort) {
  installation->AddBoard("0a1B2c3D4e5F", 0);
  installation->AddBoard("000000000011", 1);
  installation->AddBoard("A0A1A2A3A4A5", 2);
  ASSERT_EQ(Create(), S_OK);

  unsigned short boards[] = {2, 0};
  ASSERT_EQ(client->SendBoardCommand(4, 2, boards), S_OK);
  std::vector<unsigned char> datagram;
  ASSERT_TRUE(listener.Receive(datagram, 5000)) << "nothing arrived";
  const unsigned char expected[24] = {'C',  'L',  'R',  'F',  'L',  'S',  0xA0, 0xA1,
                                      0xA2, 0xA3, 0xA4, 0xA5, 0x0A, 0x1B, 0x2C, 0x3D,
                                      0x4E, 0x5F, 0,    0,    0,    0,    0,    0};
  EXPECT_EQ(datagram, std::vector<unsigned char>(expected, expected + 24));

  // A refusal sends nothing, not even for the boards named before the bad one.
  unsigned short badSecond[] = {1, 3};
  std::string text = FailureText(client->SendBoardCommand(1, 2, badSecond));
  EXPECT_EQ(text.rfind("Invalid board number: ", 0), 0u) << text;
  EXPECT_FALSE(listener.Receive(datagram, 500)) << "a datagram after the first";
}

}  // namespace
