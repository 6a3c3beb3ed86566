// ControlCenterComponent in-process, against a test installation in this
// prefix: the first instance's reading of the settings and the board
// records, what a failed start leaves behind, the busy state as the
// queries see it, and the board command message.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "component/BoardCommand.h"
#include "component/CCCmpnt.h"
#include "KorvaneSocket.h"
#include "registry/BoardRecord.h"
#include "testing/ComponentTestSupport.h"
#include "Win32/Holders.h"

namespace {

const char kSettingsFile[] = "ControlCenterComponentSettings.cpp";
const char kQueriesFile[] = "ControlCenterComponentSetQueries.cpp";
const char kCommandFile[] = "BoardCommand.cpp";

// One instance made straight through the creator, as the factory makes it.
class Instance {
 public:
  Instance() {
    QRBConsoleComponent* made = nullptr;
    try {
      ControlCenterComponent::Create(nullptr, &made);
    } catch (char* text) {
      throw std::runtime_error(std::string("the creation failed: ") + text);
    }
    component = static_cast<ControlCenterComponent*>(made);
    component->QueryInterface(IID_IControlCenterComponent, client.put_void());
    // The creation reference; the interface holds the object from here.
    component->Release();
  }
  ControlCenterComponent* operator->() const { return component; }
  IControlCenterComponent* Client() const { return client.get(); }
  unsigned long Id() const { return component->InstanceID(); }

  // What GetErrorText hands out, or "(none)".
  std::string TakeErrorText() {
    unsigned short size = 0;
    char* text = nullptr;
    if (client->GetErrorText(&size, &text) != S_OK) return "(none)";
    std::string result = text;
    EXPECT_EQ(size, result.size() + 1);
    CoTaskMemFree(text);
    return result;
  }

 private:
  ControlCenterComponent* component = nullptr;
  ComPtr<IControlCenterComponent> client;
};

// The text the creation raised, or "(created)" when it succeeded.
std::string CreationFailure() {
  QRBConsoleComponent* made = nullptr;
  try {
    ControlCenterComponent::Create(nullptr, &made);
  } catch (char* text) {
    return text;
  }
  made->Release();
  return "(created)";
}

class ComponentState : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    installation = new TestInstallation("component-state");
  }
  static void TearDownTestSuite() {
    delete installation;
    installation = nullptr;
    CoUninitialize();
  }
  void SetUp() override { installation->WriteDefaultSettings(); }
  void TearDown() override {
    EXPECT_EQ(ControlCenterComponent::instanceCount, 0u) << "an instance was left alive";
  }

  static TestInstallation* installation;
};
TestInstallation* ComponentState::installation = nullptr;

TEST_F(ComponentState, FirstInstanceReadsTheSettingsOnceForAll) {
  installation->SetDword("Network", "Communication Port", 0x12345);
  installation->SetDword("Network", "Reboot Port", 0x10203);
  installation->SetDword("", "Control Center Client Timeout", 30);
  {
    Instance first;
    EXPECT_STREQ(ControlCenterComponent::rootPath, installation->Root().c_str());
    EXPECT_EQ(ControlCenterComponent::baseIPAddress, 0x0A000001u);
    EXPECT_EQ(ControlCenterComponent::communicationPort, 0x2345);
    EXPECT_EQ(ControlCenterComponent::rebootPort, 0x0203);
    EXPECT_EQ(ControlCenterComponent::clientTimeout, 30u);
    ASSERT_TRUE(ControlCenterComponent::boardSocket);
    EXPECT_EQ(ControlCenterComponent::boardSocket->Destination(), "127.0.0.1");

    // A second instance reads nothing: a change now is seen by the next
    // first instance only.
    installation->SetString("Network", "Base IP Address", "10.0.0.2");
    Instance second;
    EXPECT_EQ(second.Id(), first.Id() + 1);
    EXPECT_EQ(ControlCenterComponent::baseIPAddress, 0x0A000001u);
  }
  EXPECT_FALSE(ControlCenterComponent::boardSocket) << "the board socket outlived the instances";
  Instance later;
  EXPECT_EQ(ControlCenterComponent::baseIPAddress, 0x0A000002u);
}

TEST_F(ComponentState, BaseIpAddressTextMustBeShorterThan32Characters) {
  // Not an address at all, but short enough: accepted, and held as the
  // conversion gives it.
  installation->SetString("Network", "Base IP Address", std::string(31, '1'));
  {
    Instance accepted;
    EXPECT_EQ(ControlCenterComponent::baseIPAddress, 0xFFFFFFFFu);
  }
  installation->SetString("Network", "Base IP Address", std::string(32, '1'));
  EXPECT_TRUE(IsAssertionText(CreationFailure(), "strlen(sptr) < 32", nullptr, kSettingsFile))
      << CreationFailure();
}

TEST_F(ComponentState, UnreadableTimeoutIsTenAndWrittenBack) {
  for (bool mistyped : {false, true}) {
    SCOPED_TRACE(mistyped ? "text" : "missing");
    if (mistyped)
      installation->SetString("", "Control Center Client Timeout", "30");
    else
      installation->DeleteValue("", "Control Center Client Timeout");
    Instance instance;
    EXPECT_EQ(ControlCenterComponent::clientTimeout, 10u);
    DWORD stored = 0;
    EXPECT_TRUE(installation->ReadDword("", "Control Center Client Timeout", &stored));
    EXPECT_EQ(stored, 10u);
  }
}

// Every broken installation fails the creation with its own text, leaves
// no class-wide state behind and costs an instance number; once repaired,
// the next creation is a first instance again.
TEST_F(ComponentState, BrokenInstallationFailsTheCreationUntilRepaired) {
  struct Breakage {
    const char* what;
    std::function<void()> apply;
    std::function<bool(const std::string&)> expected;
  };
  const std::vector<Breakage> breakages = {
      {"no Korvane key", [] { installation->DeleteKey(""); },
       [](const std::string& text) {
         return IsAssertionText(
             text, "korvaneKey = OpenKey( HKEY_LOCAL_MACHINE, \"SOFTWARE\\\\Brenlow\\\\Korvane\")",
             "Could not find the korvane installation.", kSettingsFile);
       }},
      {"no Path key", [] { installation->DeleteKey("Path"); },
       [](const std::string& text) {
         return IsAssertionText(text, "pathKey = OpenKey( korvaneKey, \"Path\")",
                                "Could not find the Korvane installation path.", kSettingsFile);
       }},
      {"no Root value", [] { installation->DeleteValue("Path", "Root"); },
       [](const std::string& text) {
         return text.rfind("Error getting the registry value for \"Root\".  The error was: ", 0) ==
                0;
       }},
      {"Root too long", [] { installation->SetString("Path", "Root", "C:\\" + std::string(257, 'r')); },
       [](const std::string& text) {
         return text ==
                "The installation root (\"Root\" under "
                "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Path) is longer than 259 "
                "characters.";
       }},
      {"no Network key", [] { installation->DeleteKey("Network"); },
       [](const std::string& text) {
         return IsAssertionText(
             text, "netKey = OpenKey( korvaneKey, \"Network\")",
             "Could not find the korvane installation while attempting to build a configuration.",
             kSettingsFile);
       }},
      {"Reboot Port as text", [] { installation->SetString("Network", "Reboot Port", "5001"); },
       [](const std::string& text) {
         return IsAssertionText(text, "dtype == type",
                                "The registry value \"Reboot Port\" did not have the expected type.",
                                "Registry.cpp");
       }},
      {"board numbers with a gap",
       [] {
         installation->AddBoard("000000000001", 0);
         installation->AddBoard("000000000002", 1);
         installation->AddBoard("000000000004", 3);
       },
       [](const std::string& text) {
         return text.rfind("The current configuration appears to be corrupt: ", 0) == 0;
       }},
  };
  unsigned long lastId = 0;
  {
    Instance before;
    lastId = before.Id();
  }
  for (const Breakage& breakage : breakages) {
    SCOPED_TRACE(breakage.what);
    breakage.apply();
    std::string text = CreationFailure();
    EXPECT_TRUE(breakage.expected(text)) << text;
    EXPECT_EQ(ControlCenterComponent::instanceCount, 0u);
    EXPECT_FALSE(ControlCenterComponent::boardSocket);
    EXPECT_EQ(boardList.GetCount(), 0u);

    installation->WriteDefaultSettings();
    Instance repaired;
    EXPECT_EQ(repaired.Id(), lastId + 2) << "the failed creation took no number";
    lastId = repaired.Id();
  }
}

TEST_F(ComponentState, SetClientTimeoutHoldsEvenWhenItCannotBeStored) {
  Instance instance;
  EXPECT_EQ(instance.Client()->SetClientTimeout(0), S_OK);
  EXPECT_EQ(ControlCenterComponent::clientTimeout, 0u);
  DWORD stored = 99;
  ASSERT_TRUE(installation->ReadDword("", "Control Center Client Timeout", &stored));
  EXPECT_EQ(stored, 0u);

  installation->DeleteKey("");
  EXPECT_EQ(instance.Client()->SetClientTimeout(25), E_FAIL);
  EXPECT_TRUE(IsAssertionText(instance.TakeErrorText(), "hKey",
                              "Could not open the korvane registry", kSettingsFile));
  EXPECT_EQ(ControlCenterComponent::clientTimeout, 25u);
}

TEST_F(ComponentState, SetPathMustFitItsBuffer) {
  Instance instance;
  // root\Comp\<name>.cfg: 10 characters around the name.
  size_t room = 259 - installation->Root().size() - 10;
  instance->FillSetPath(std::string(room, 's').c_str());
  try {
    instance->FillSetPath(std::string(room + 1, 's').c_str());
    ADD_FAILURE() << "a 260-character set path was taken";
  } catch (char* text) {
    EXPECT_NE(std::string(text).find("is longer than 259 characters."), std::string::npos) << text;
  }
}

TEST_F(ComponentState, NullOutPointersAreAssertionsNamedAfterThem) {
  Instance instance;
  IControlCenterComponent* client = instance.Client();
  unsigned short n = 0, size = 0;
  unsigned short* indexes = nullptr;
  char* block = nullptr;
  struct Case {
    const char* condition;
    std::function<HRESULT()> call;
  };
  const std::vector<Case> cases = {
      {"numfiles", [&] { return client->ListSets(nullptr, &indexes, &size, &block); }},
      {"filenameindexes", [&] { return client->ListSets(&n, nullptr, &size, &block); }},
      {"buffsize", [&] { return client->ListSets(&n, &indexes, nullptr, &block); }},
      {"filenames", [&] { return client->ListSets(&n, &indexes, &size, nullptr); }},
      {"issetchanging", [&] { return client->IsSetChanging(nullptr); }},
      {"namesize", [&] { return client->GetActiveSetName(nullptr, &block); }},
      {"setname", [&] { return client->GetBackupSetName(&size, nullptr); }},
      {"activesetexists", [&] { return client->ActiveSetExists(nullptr); }},
      {"flag", [&] { return client->BackupExists(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    EXPECT_EQ(c.call(), E_FAIL);
    std::string text = instance.TakeErrorText();
    EXPECT_TRUE(IsAssertionText(text, c.condition, nullptr, kQueriesFile)) << text;
  }
}

TEST_F(ComponentState, QueriesThatNeedAStableActiveDirectoryWaitForTheChange) {
  installation->AddBoard("000000000001", 0);
  installation->WriteFile("active\\ACTSET", "C:\\x\\Comp\\Plant.cfg");
  Instance instance;
  IControlCenterComponent* client = instance.Client();
  unsigned char flag = 7;
  unsigned short size = 0;
  char* name = nullptr;
  unsigned short board = 0;

  ControlCenterComponent::changeInProgress = true;
  ControlCenterComponent::workerRunning = true;
  EXPECT_TRUE(ControlCenterComponent::IsBusy());
  EXPECT_EQ(client->IsSetChanging(&flag), S_OK);
  EXPECT_EQ(flag, 1);
  for (auto query : {&IControlCenterComponent::GetActiveSetName,
                     &IControlCenterComponent::GetBackupSetName}) {
    EXPECT_EQ((client->*query)(&size, &name), E_FAIL);
    EXPECT_TRUE(IsAssertionText(instance.TakeErrorText(), "!IsBusy()",
                                "The configuration is changing.", kQueriesFile));
  }
  EXPECT_EQ(client->ActiveSetExists(&flag), E_FAIL);
  EXPECT_TRUE(IsAssertionText(instance.TakeErrorText(), "!IsBusy()",
                              "The configuration is changing.", kQueriesFile));
  EXPECT_EQ(client->SendBoardCommand(1, 1, &board), E_FAIL);
  EXPECT_EQ(instance.TakeErrorText(), kSetChangeBusyText);

  // The worker has ended; its end message is not handled yet, but nothing
  // runs any more.
  ControlCenterComponent::workerRunning = false;
  EXPECT_FALSE(ControlCenterComponent::IsBusy());
  EXPECT_EQ(client->IsSetChanging(&flag), S_OK);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(client->GetActiveSetName(&size, &name), S_OK);
  EXPECT_STREQ(name, "Plant");
  CoTaskMemFree(name);

  ControlCenterComponent::changeInProgress = false;
}

// ---- The board command message ---------------------------------------------

class BoardCommandMessage : public ::testing::Test {
 protected:
  // Boards numbered 0..count-1, each with the address 0xA0+n, 1, 2, 3, 4, n.
  void MakeBoards(unsigned count) {
    table.RemoveAll();
    for (unsigned n = 0; n < count; ++n) {
      BoardRecord& board = table.ElementAt(n);
      board.boardNumber = static_cast<unsigned short>(n);
      const unsigned char address[6] = {static_cast<unsigned char>(0xA0 + n), 1, 2, 3, 4,
                                        static_cast<unsigned char>(n)};
      std::memcpy(board.hardwareAddress, address, 6);
    }
  }
  std::string Raised(long command, unsigned short numboards, const unsigned short* boardnums) {
    try {
      BuildBoardCommand(command, numboards, boardnums, table);
    } catch (char* text) {
      return text;
    }
    return "(built)";
  }

  JArray<BoardRecord> table{0, 10, false};
};

TEST_F(BoardCommandMessage, NamesTheBoardsInTheClientsOrderAndEndsWithZeros) {
  MakeBoards(3);
  const unsigned short boards[] = {2, 0, 2};
  std::vector<unsigned char> message = BuildBoardCommand(4, 3, boards, table);
  const unsigned char expected[] = {'C', 'L', 'R', 'F', 'L', 'S', 0xA2, 1, 2, 3, 4, 2,
                                    0xA0, 1, 2, 3, 4, 0, 0xA2, 1, 2, 3, 4, 2,
                                    0, 0, 0, 0, 0, 0};
  EXPECT_EQ(message, std::vector<unsigned char>(expected, expected + sizeof expected));

  const std::vector<std::pair<long, std::string>> commands = {
      {1, "REBOOT"}, {2, "CLRPMM"}, {4, "CLRFLS"}, {8, "OVRRID"}, {16, "PSTMRT"}, {32, "ACTVAT"}};
  for (const auto& [value, name] : commands) {
    message = BuildBoardCommand(value, 1, boards, table);
    EXPECT_EQ(std::string(message.begin(), message.begin() + 6), name);
  }
}

// Only one bit is a command; and a place of the table that no board fills
// is no board, although its index is below the count.
TEST_F(BoardCommandMessage, RefusesWhatItCannotSend) {
  MakeBoards(3);
  const unsigned short boards[] = {0, 1};
  for (long invalid : {0L, 3L, 64L, 33L, -1L, -2147483647L - 1})
    EXPECT_TRUE(
        IsAssertionText(Raised(invalid, 1, boards), "0", "Invalid board command", kCommandFile))
        << invalid;
  table.ElementAt(1).boardNumber = kUnsetBoardField;
  EXPECT_TRUE(IsAssertionText(Raised(1, 2, boards), "foundBoard", "Invalid board number",
                              kCommandFile));
}

TEST_F(BoardCommandMessage, LengthMustFitSixteenBits) {
  MakeBoards(kMostBoardsPerCommand + 1);
  std::vector<unsigned short> boards(kMostBoardsPerCommand + 1, 7);
  EXPECT_EQ(BuildBoardCommand(2, kMostBoardsPerCommand, boards.data(), table).size(), 65532u);
  EXPECT_EQ(Raised(2, kMostBoardsPerCommand + 1, boards.data()),
            "A board command can name at most 10920 boards; 10921 were given.");
}

}  // namespace
