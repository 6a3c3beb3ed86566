// The client service as clients meet it: the real server started by COM,
// this process its client, a test installation in the prefix. Set lists,
// set names and the backup as they are on disk, the start of the server
// failing on a broken installation, board commands arriving at a UDP
// listener on 127.0.0.1, and every failure's text handed out once and
// kept in the error table.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ControlCenter.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "DaoStore.h"
#include "DaoTestSupport.h"
#include "testing/ComponentTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

const char kQueriesFile[] = "ControlCenterComponentSetQueries.cpp";
const char kSettingsFile[] = "ControlCenterComponentSettings.cpp";
const char kCommandFile[] = "BoardCommand.cpp";
// How long a datagram that should not come is waited for.
constexpr DWORD kNothingSentMs = 500;

// The bootp server component, which the server's first instance may
// create; registered when the build made it.
void RegisterBootpComponentIfBuilt() {
  HMODULE dll = LoadLibraryA((BinDirectory() + "\\BootpServer.dll").c_str());
  if (!dll) return;
  using Register = HRESULT(WINAPI*)();
  if (auto registerDll = reinterpret_cast<Register>(GetProcAddress(dll, "DllRegisterServer"))) {
    EXPECT_EQ(registerDll(), S_OK);
  }
  FreeLibrary(dll);
}

class ClientService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();
    RegisterDaoServer();
    RegisterBootpComponentIfBuilt();
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
    CloseExceptionBoxes();
  }

  HRESULT Create() {
    return CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                            IID_IControlCenterComponent, client.put_void());
  }

  // The stored error text, handed out once: a second call finds none.
  std::string TakeErrorText() {
    unsigned short size = 0;
    char* text = nullptr;
    if (client->GetErrorText(&size, &text) != S_OK) return "(none)";
    std::string result = text ? text : "(null)";
    CoTaskMemFree(text);
    EXPECT_EQ(size, result.size() + 1);
    EXPECT_EQ(client->GetErrorText(&size, &text), E_FAIL) << "handed out twice";
    return result;
  }

  // The messages of the error table, oldest first.
  static std::vector<std::string> LoggedTexts() {
    std::vector<std::string> texts;
    std::string file = DaoDatabasePath(daoSettings->Directory(), "QRB Errors");
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      return texts;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT \"Error Message\" FROM \"QRB Errors\" ORDER BY rowid", -1,
                           &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        const char* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
        texts.emplace_back(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return texts;
  }
  static bool Logged(const std::string& text) {
    for (const std::string& logged : LoggedTexts())
      if (logged == text) return true;
    return false;
  }

  // A failed creation whose text the log could not take waits in a
  // message box; the test must not hang on it.
  static void CloseExceptionBoxes() {
    while (HWND box = FindWindowA(nullptr, "EXCEPTION")) {
      ADD_FAILURE() << "the server showed an EXCEPTION box";
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      Sleep(200);
    }
  }

  // The text of a failed call: handed to the client once and in the table.
  std::string FailureText(HRESULT hr) {
    EXPECT_EQ(hr, E_FAIL);
    std::string text = TakeErrorText();
    EXPECT_TRUE(Logged(text)) << "not in the error table: " << text;
    return text;
  }

  bool NothingSent() {
    std::vector<unsigned char> datagram;
    return !listener.Receive(datagram, kNothingSentMs);
  }

  static DaoServerSettingsScope* daoSettings;
  static TestInstallation* installation;
  UdpListener listener;
  ComPtr<IControlCenterComponent> client;
};
DaoServerSettingsScope* ClientService::daoSettings = nullptr;
TestInstallation* ClientService::installation = nullptr;

// The set names as the directory search gives them, in its order.
std::vector<std::string> SearchOrder(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directory + "\\*.cfg").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::string name = found.cFileName;
    names.push_back(name.substr(0, name.find('.')));
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

TEST_F(ClientService, ListSetsNamesEverySetFileOnceInTheSearchOrder) {
  ASSERT_EQ(Create(), S_OK);
  unsigned short numfiles = 9, buffsize = 9;
  unsigned short* indexes = reinterpret_cast<unsigned short*>(1);
  char* names = reinterpret_cast<char*>(1);
  // No "Comp" folder at all: nothing, and nothing to free.
  ASSERT_EQ(client->ListSets(&numfiles, &indexes, &buffsize, &names), S_OK);
  EXPECT_EQ(numfiles, 0);
  EXPECT_EQ(buffsize, 0);
  EXPECT_EQ(indexes, nullptr);
  EXPECT_EQ(names, nullptr);

  installation->WriteFile("Comp\\a.cfg", "CNFG");
  installation->WriteFile("Comp\\b.x.cfg", "CNFG");
  installation->MakeDirectory("Comp\\d.cfg");
  installation->WriteFile("Comp\\notes.txt", "not a set");
  ASSERT_EQ(client->ListSets(&numfiles, &indexes, &buffsize, &names), S_OK);
  CoTaskMemHolder<unsigned short> indexHolder(indexes);
  CoTaskMemHolder<char> nameHolder(names);
  ASSERT_EQ(numfiles, 2);
  ASSERT_EQ(buffsize, 5);
  std::vector<std::string> order = SearchOrder(installation->Root() + "\\Comp");
  ASSERT_EQ(order.size(), 2u);
  std::string expected = order[0] + '\0' + order[1] + '\0' + '\0';
  EXPECT_EQ(std::string(names, buffsize), expected);
  EXPECT_EQ(indexes[0], 0);
  EXPECT_EQ(indexes[1], 2);
  std::set<std::string> listed = {names + indexes[0], names + indexes[1]};
  EXPECT_EQ(listed, (std::set<std::string>{"a", "b"}));

  installation->RemoveFile("Comp\\a.cfg");
  installation->RemoveFile("Comp\\b.x.cfg");
  installation->RemoveFile("Comp\\notes.txt");
  RemoveDirectoryA((installation->Root() + "\\Comp\\d.cfg").c_str());
}

TEST_F(ClientService, SetNamesComeFromTheMarkerFiles) {
  ASSERT_EQ(Create(), S_OK);
  unsigned char exists = 9;
  unsigned short size = 0;
  char* name = nullptr;
  ASSERT_EQ(client->ActiveSetExists(&exists), S_OK);
  EXPECT_EQ(exists, 0);
  for (auto query : {&IControlCenterComponent::GetActiveSetName,
                     &IControlCenterComponent::GetBackupSetName}) {
    std::string text = FailureText((client.get()->*query)(&size, &name));
    EXPECT_TRUE(IsAssertionText(text, "stat(actsetPathStr,&statbuf) == 0",
                                "Could not get the name of the active set.", kQueriesFile))
        << text;
  }

  // The worker writes the markers in capitals; the full path of the set
  // file, and here a line end that text mode reads as one character.
  installation->WriteFile("active\\ACTSET", "D:\\sys\\Comp\\Plant.cfg\r\n");
  installation->WriteFile("active\\BACKUP\\ACTSET", "C:\\k.1\\Comp\\Old.Plant.cfg");
  ASSERT_EQ(client->ActiveSetExists(&exists), S_OK);
  EXPECT_EQ(exists, 1);
  ASSERT_EQ(client->GetActiveSetName(&size, &name), S_OK);
  EXPECT_EQ(size, 23);
  EXPECT_STREQ(name, "Plant");
  CoTaskMemFree(name);
  ASSERT_EQ(client->GetBackupSetName(&size, &name), S_OK);
  EXPECT_EQ(size, 26);
  EXPECT_STREQ(name, "Old.Plant");
  CoTaskMemFree(name);

  installation->RemoveFile("active\\ACTSET");
  installation->RemoveFile("active\\BACKUP\\ACTSET");
}

TEST_F(ClientService, BackupExistsOnlyWithEveryKindOfFile) {
  ASSERT_EQ(Create(), S_OK);
  const std::vector<std::string> files = {"ACTSET",  "Plant.cfg",   "active.ini",
                                          "LMHOSTS", "_active.zip", "KorvaneRegistry.reg"};
  auto backupExists = [&] {
    unsigned char flag = 9;
    EXPECT_EQ(client->BackupExists(&flag), S_OK);
    return flag;
  };
  EXPECT_EQ(backupExists(), 0) << "no backup folder";
  for (const std::string& file : files) installation->WriteFile("active\\BACKUP\\" + file, "x");
  EXPECT_EQ(backupExists(), 1);
  for (const std::string& missing : files) {
    SCOPED_TRACE(missing);
    installation->RemoveFile("active\\BACKUP\\" + missing);
    EXPECT_EQ(backupExists(), 0);
    installation->WriteFile("active\\BACKUP\\" + missing, "x");
  }
  for (const std::string& file : files) installation->RemoveFile("active\\BACKUP\\" + file);
}

TEST_F(ClientService, BrokenInstallationFailsTheCreationWithItsText) {
  installation->DeleteKey("Network");
  EXPECT_EQ(Create(), E_FAIL);
  EXPECT_FALSE(client);
  CloseExceptionBoxes();
  bool found = false;
  for (const std::string& text : LoggedTexts())
    if (IsAssertionText(text, "netKey = OpenKey( korvaneKey, \"Network\")",
                        "Could not find the korvane installation while attempting to build a "
                        "configuration.",
                        kSettingsFile))
      found = true;
  EXPECT_TRUE(found) << "the creation's text is not in the error table";

  // Repaired, the server starts; a missing time-out is written back.
  installation->WriteDefaultSettings();
  installation->SetDword("Network", "Reboot Port", listener.Port());
  installation->DeleteValue("", "Control Center Client Timeout");
  ASSERT_EQ(Create(), S_OK);
  DWORD timeout = 0;
  EXPECT_TRUE(installation->ReadDword("", "Control Center Client Timeout", &timeout));
  EXPECT_EQ(timeout, 10u);

  EXPECT_EQ(client->SetClientTimeout(30), S_OK);
  EXPECT_TRUE(installation->ReadDword("", "Control Center Client Timeout", &timeout));
  EXPECT_EQ(timeout, 30u);
  unsigned char changing = 9;
  EXPECT_EQ(client->IsSetChanging(&changing), S_OK);
  EXPECT_EQ(changing, 0);
}

TEST_F(ClientService, BoardNumbersWithAGapFailTheCreation) {
  installation->AddBoard("000000000001", 0);
  installation->AddBoard("000000000002", 1);
  installation->AddBoard("000000000004", 3);
  size_t before = LoggedTexts().size();
  EXPECT_EQ(Create(), E_FAIL);
  CloseExceptionBoxes();
  std::vector<std::string> texts = LoggedTexts();
  ASSERT_GT(texts.size(), before);
  EXPECT_EQ(texts.back().rfind("The current configuration appears to be corrupt: Condition (", 0),
            0u)
      << texts.back();
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
  EXPECT_TRUE(NothingSent()) << "more than one datagram";

  // Each refusal has its text and sends nothing, not even for the boards
  // named before the bad one.
  struct Refusal {
    const char* what;
    std::function<HRESULT()> call;
    const char* condition;
    const char* message;
  };
  unsigned short badSecond[] = {1, 3};
  unsigned short four[] = {0, 1, 2, 0};
  const std::vector<Refusal> refusals = {
      {"command 3", [&] { return client->SendBoardCommand(3, 2, boards); }, "0",
       "Invalid board command"},
      {"command 0", [&] { return client->SendBoardCommand(0, 2, boards); }, "0",
       "Invalid board command"},
      {"board 3 of 3", [&] { return client->SendBoardCommand(1, 2, badSecond); },
       "boardnums[i] < nbrd", "Invalid board number"},
      {"four boards of 3", [&] { return client->SendBoardCommand(1, 4, four); },
       "(numboards > 0) && (numboards <= nbrd)", nullptr},
      {"no boards", [&] { return client->SendBoardCommand(1, 0, nullptr); },
       "(numboards > 0) && (numboards <= nbrd)", nullptr},
      {"no board list", [&] { return client->SendBoardCommand(1, 1, nullptr); }, "boardnums",
       nullptr},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    std::string text = FailureText(refusal.call());
    EXPECT_TRUE(IsAssertionText(text, refusal.condition, refusal.message, kCommandFile)) << text;
    EXPECT_TRUE(NothingSent());
  }

  // All three boards at once is a command like any other.
  unsigned short all[] = {0, 1, 2};
  ASSERT_EQ(client->SendBoardCommand(1, 3, all), S_OK);
  ASSERT_TRUE(listener.Receive(datagram, 5000));
  EXPECT_EQ(datagram.size(), 30u);
  EXPECT_EQ(std::string(datagram.begin(), datagram.begin() + 6), "REBOOT");
}

}  // namespace
