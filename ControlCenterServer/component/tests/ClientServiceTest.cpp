// The client service as clients meet it: the real server started by COM,
// this process its client, a test installation in the prefix. The start of
// the server failing on a broken installation, board commands arriving at a
// UDP listener on 127.0.0.1, and a failure's text handed out once and kept
// in the error table.
#include "testing/SetChangeProcessSupport.h"  // winsock2.h before windows.h

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "DaoStore.h"
#include "DaoTestSupport.h"

namespace {

class ClientService : public setchange_process::SetChangeProcessTest {
 protected:
  static void SetUpTestSuite() {
    SetChangeProcessTest::SetUpTestSuite();
    RegisterDaoServer();
    // Long enough that the database server stays up between the failures
    // of one case.
    daoSettings = new DaoServerSettingsScope(5000);
  }
  static void TearDownTestSuite() {
    SetChangeProcessTest::TearDownTestSuite();
    WaitForNoDaoServer(10000);
    delete daoSettings;
  }
  void TearDown() override {
    SetChangeProcessTest::TearDown();
    // A failed creation whose text the log could not take waits in a
    // message box; the test must not hang on it.
    while (HWND box = FindWindowA(nullptr, "EXCEPTION")) {
      ADD_FAILURE() << "the server showed an EXCEPTION box";
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      Sleep(200);
    }
  }

  // Whether a text that starts with start is in the error table.
  static bool Logged(const std::string& start) {
    std::string file = DaoDatabasePath(daoSettings->Directory(), "QRB Errors");
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    bool found = false;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT \"Error Message\" FROM \"QRB Errors\"", -1, &stmt,
                           nullptr) == SQLITE_OK) {
      while (!found && sqlite3_step(stmt) == SQLITE_ROW) {
        const char* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
        size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, 0));
        found = bytes && std::string(bytes, size).rfind(start, 0) == 0;
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return found;
  }

  static inline DaoServerSettingsScope* daoSettings = nullptr;
};

TEST_F(ClientService, BrokenInstallationFailsTheCreationWithItsTextLogged) {
  install->DeleteKey("Network");
  ComPtr<IControlCenterComponent> client;
  EXPECT_EQ(CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                             IID_IControlCenterComponent, client.put_void()),
            E_FAIL);
  EXPECT_TRUE(Logged("Could not find the korvane installation while attempting to build a "
                     "configuration.: "))
      << "the creation's text is not in the error table";
  // Repaired, the same installation serves.
  install->WriteDefaultSettings();
  EXPECT_TRUE(NewComponent());
}

TEST_F(ClientService, BoardCommandReachesTheBoardsOnTheRebootPort) {
  UdpListener listener;
  install->SetDword("Network", "Reboot Port", listener.Port());
  install->AddBoard("0a1B2c3D4e5F", 0);
  install->AddBoard("000000000011", 1);
  install->AddBoard("A0A1A2A3A4A5", 2);
  IControlCenterComponent* client = NewComponent();
  ASSERT_TRUE(client);

  unsigned short boards[] = {2, 0};
  ASSERT_EQ(client->SendBoardCommand(4, 2, boards), S_OK);
  std::vector<unsigned char> datagram;
  ASSERT_TRUE(listener.Receive(datagram, 5000)) << "nothing arrived";
  const unsigned char expected[24] = {'C',  'L',  'R',  'F',  'L',  'S',  0xA0, 0xA1,
                                      0xA2, 0xA3, 0xA4, 0xA5, 0x0A, 0x1B, 0x2C, 0x3D,
                                      0x4E, 0x5F, 0,    0,    0,    0,    0,    0};
  EXPECT_EQ(datagram, std::vector<unsigned char>(expected, expected + 24));

  // A refusal sends nothing, not even for the boards named before the bad
  // one; its text is handed out once, with its size, and logged.
  unsigned short badSecond[] = {1, 3};
  EXPECT_EQ(client->SendBoardCommand(1, 2, badSecond), E_FAIL);
  unsigned short size = 0;
  CoTaskMemHolder<char> text;
  ASSERT_EQ(client->GetErrorText(&size, text.put()), S_OK);
  EXPECT_EQ(std::string(text.get()).rfind("Invalid board number: ", 0), 0u) << text.get();
  EXPECT_EQ(size, std::strlen(text.get()) + 1);
  EXPECT_TRUE(Logged(text.get())) << "not in the error table";
  EXPECT_EQ(ErrorText(client), "(none)") << "handed out twice";
  EXPECT_FALSE(listener.Receive(datagram, 500)) << "a datagram after the first";
}

}  // namespace
