// ControlCenterComponent in-process, against a test installation in this
// prefix: the first instance's reading of the settings and the board
// records, what a failed start leaves behind, the queries of the active set
// and the backup as the busy state lets them, and the board command message.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
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

// The raised text leads with message.
::testing::AssertionResult Says(const std::string& text, const std::string& message) {
  if (text.rfind(message, 0) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not start with \"" << message
                                       << "\"";
}

// What the creation raised, or "(created)"; *made is the new instance, if any.
std::string Create(ControlCenterComponent** made) {
  QRBConsoleComponent* component = nullptr;
  try {
    ControlCenterComponent::Create(nullptr, &component);
  } catch (char* text) {
    return text;
  }
  *made = static_cast<ControlCenterComponent*>(component);
  return "(created)";
}

// One instance made straight through the creator, as the factory makes it,
// and held by its client interface.
class Instance {
 public:
  Instance() {
    std::string text = Create(&component);
    if (!component) throw std::runtime_error("the creation failed: " + text);
    component->QueryInterface(IID_IControlCenterComponent, client.put_void());
    component->Release();
  }
  ControlCenterComponent* operator->() const { return component; }
  IControlCenterComponent* Client() const { return client.get(); }

  // What GetErrorText hands out, or "(none)".
  std::string TakeErrorText() {
    unsigned short size = 0;
    CoTaskMemHolder<char> text;
    if (client->GetErrorText(&size, text.put()) != S_OK) return "(none)";
    EXPECT_EQ(size, std::strlen(text.get()) + 1);
    return text.get();
  }

 private:
  ControlCenterComponent* component = nullptr;
  ComPtr<IControlCenterComponent> client;
};

class ComponentState : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    installation = std::make_unique<TestInstallation>("component-state");
  }
  static void TearDownTestSuite() {
    installation.reset();
    CoUninitialize();
  }
  void SetUp() override { installation->WriteDefaultSettings(); }
  void TearDown() override {
    EXPECT_EQ(ControlCenterComponent::instanceCount, 0u) << "an instance was left alive";
  }
  static inline std::unique_ptr<TestInstallation> installation;
};

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
    EXPECT_EQ(second->InstanceID(), first->InstanceID() + 1);
    EXPECT_EQ(ControlCenterComponent::baseIPAddress, 0x0A000001u);
  }
  EXPECT_FALSE(ControlCenterComponent::boardSocket) << "the board socket outlived the instances";
  // Not an address at all, but short enough: held as the conversion gives it.
  installation->SetString("Network", "Base IP Address", std::string(31, '1'));
  Instance later;
  EXPECT_EQ(ControlCenterComponent::baseIPAddress, 0xFFFFFFFFu);
}

// Every broken installation fails the creation with its own text, leaves
// no class-wide state behind and costs an instance number; once repaired,
// the next creation is a first instance again.
TEST_F(ComponentState, BrokenInstallationFailsTheCreationUntilRepaired) {
  struct Breakage {
    const char* what;
    std::function<void()> apply;
    std::string says;
  };
  TestInstallation& in = *installation;
  const std::vector<Breakage> breakages = {
      {"no Korvane key", [&] { in.DeleteKey(""); }, "Could not find the korvane installation.: "},
      {"no Path key", [&] { in.DeleteKey("Path"); },
       "Could not find the Korvane installation path.: "},
      {"no Root value", [&] { in.DeleteValue("Path", "Root"); },
       "Error getting the registry value for \"Root\".  The error was: "},
      {"Root too long", [&] { in.SetString("Path", "Root", "C:\\" + std::string(257, 'r')); },
       "The installation root (\"Root\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\"
       "Path) is longer than 259 characters."},
      {"no Network key", [&] { in.DeleteKey("Network"); },
       "Could not find the korvane installation while attempting to build a configuration.: "},
      {"Reboot Port as text", [&] { in.SetString("Network", "Reboot Port", "5001"); },
       "The registry value \"Reboot Port\" did not have the expected type.: "},
      {"Base IP Address of 32 characters",
       [&] { in.SetString("Network", "Base IP Address", std::string(32, '1')); }, ""},
      {"board numbers with a gap",
       [&] {
         in.AddBoard("000000000001", 0);
         in.AddBoard("000000000002", 1);
         in.AddBoard("000000000004", 3);
       },
       "The current configuration appears to be corrupt: "},
  };
  unsigned long lastId = Instance()->InstanceID();
  for (const Breakage& breakage : breakages) {
    SCOPED_TRACE(breakage.what);
    breakage.apply();
    ControlCenterComponent* made = nullptr;
    std::string text = Create(&made);
    EXPECT_FALSE(made);
    EXPECT_TRUE(Says(text, breakage.says));
    EXPECT_EQ(ControlCenterComponent::instanceCount, 0u);
    EXPECT_FALSE(ControlCenterComponent::boardSocket);
    EXPECT_EQ(boardList.GetCount(), 0u);

    installation->WriteDefaultSettings();
    Instance repaired;
    EXPECT_EQ(repaired->InstanceID(), lastId + 2) << "the failed creation took no number";
    lastId = repaired->InstanceID();
  }
}

// Unreadable (missing or not a number), the time-out is ten and written
// back; set by a client it holds even when it cannot be stored.
TEST_F(ComponentState, TheClientTimeout) {
  DWORD stored = 99;
  for (bool mistyped : {false, true}) {
    if (mistyped)
      installation->SetString("", "Control Center Client Timeout", "30");
    else
      installation->DeleteValue("", "Control Center Client Timeout");
    Instance instance;
    EXPECT_EQ(ControlCenterComponent::clientTimeout, 10u) << mistyped;
    EXPECT_TRUE(installation->ReadDword("", "Control Center Client Timeout", &stored));
    EXPECT_EQ(stored, 10u) << mistyped;
  }
  Instance instance;
  EXPECT_EQ(instance.Client()->SetClientTimeout(0), S_OK);
  EXPECT_EQ(ControlCenterComponent::clientTimeout, 0u);
  ASSERT_TRUE(installation->ReadDword("", "Control Center Client Timeout", &stored));
  EXPECT_EQ(stored, 0u);
  installation->DeleteKey("");
  EXPECT_EQ(instance.Client()->SetClientTimeout(25), E_FAIL);
  EXPECT_TRUE(Says(instance.TakeErrorText(), "Could not open the korvane registry: "));
  EXPECT_EQ(ControlCenterComponent::clientTimeout, 25u);
}

// A set path must fit its buffer; null out pointers, which only an
// in-process caller can pass, are refused.
TEST_F(ComponentState, ArgumentsThatCannotBeTakenAreRefused) {
  Instance instance;
  // root\Comp\<name>.cfg: 10 characters around the name.
  size_t room = 259 - installation->Root().size() - 10;
  instance->FillSetPath(std::string(room, 's').c_str());
  EXPECT_THROW(instance->FillSetPath(std::string(room + 1, 's').c_str()), char*);

  IControlCenterComponent* client = instance.Client();
  unsigned short n = 0, size = 0, *indexes = nullptr;
  char* block = nullptr;
  auto refused = [&](HRESULT hr) { return hr == E_FAIL && instance.TakeErrorText() != "(none)"; };
  EXPECT_TRUE(refused(client->ListSets(nullptr, &indexes, &size, &block)));
  EXPECT_TRUE(refused(client->ListSets(&n, nullptr, &size, &block)));
  EXPECT_TRUE(refused(client->ListSets(&n, &indexes, nullptr, &block)));
  EXPECT_TRUE(refused(client->ListSets(&n, &indexes, &size, nullptr)));
  EXPECT_TRUE(refused(client->IsSetChanging(nullptr)));
  EXPECT_TRUE(refused(client->GetActiveSetName(nullptr, &block)));
  EXPECT_TRUE(refused(client->GetBackupSetName(&size, nullptr)));
  EXPECT_TRUE(refused(client->ActiveSetExists(nullptr)));
  EXPECT_TRUE(refused(client->BackupExists(nullptr)));
}

// Every set file once, named up to its first dot, in the order the
// directory search gives them: the names one block, each followed by a NUL
// and the block by one more.
TEST_F(ComponentState, ListSetsNamesEverySetFileOnceInTheSearchOrder) {
  Instance instance;
  unsigned short numfiles = 9, buffsize = 9;
  CoTaskMemHolder<unsigned short> indexes;
  CoTaskMemHolder<char> names;
  // No "Comp" folder at all: nothing, and nothing to free.
  ASSERT_EQ(instance.Client()->ListSets(&numfiles, indexes.put(), &buffsize, names.put()), S_OK);
  EXPECT_EQ(numfiles + buffsize, 0);
  EXPECT_FALSE(indexes.get() || names.get());

  for (const char* file : {"Comp\\a.cfg", "Comp\\b.x.cfg", "Comp\\notes.txt"})
    installation->WriteFile(file, "CNFG");
  installation->MakeDirectory("Comp\\d.cfg");
  ASSERT_EQ(instance.Client()->ListSets(&numfiles, indexes.put(), &buffsize, names.put()), S_OK);
  ASSERT_EQ(numfiles, 2);
  ASSERT_EQ(buffsize, 5);
  const char* block = names.get();
  EXPECT_EQ(indexes.get()[0], 0);
  EXPECT_EQ(indexes.get()[1], 2);
  EXPECT_EQ(block[4], '\0');
  EXPECT_EQ((std::set<std::string>{block, block + 2}), (std::set<std::string>{"a", "b"}));
  WIN32_FIND_DATAA found;
  UniqueFind search(FindFirstFileA((installation->Root() + "\\Comp\\*.cfg").c_str(), &found));
  while (search && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    if (!FindNextFileA(search.get(), &found)) break;
  EXPECT_EQ(found.cFileName[0], block[0]) << "not in the search order";
}

// The set names come from the markers a change writes in capitals (the set
// file's full path; the size is the marker's, a CR LF counting as one), the
// backup is whole only with every kind of file, and while a worker runs the
// markers are not read.
TEST_F(ComponentState, ActiveAndBackupQueriesReadTheMarkersUnlessAWorkerRuns) {
  Instance instance;
  IControlCenterComponent* client = instance.Client();
  using Named = HRESULT (STDMETHODCALLTYPE IControlCenterComponent::*)(unsigned short*, char**);
  using Flag = HRESULT (STDMETHODCALLTYPE IControlCenterComponent::*)(unsigned char*);
  const Named active = &IControlCenterComponent::GetActiveSetName,
              backup = &IControlCenterComponent::GetBackupSetName;
  auto named = [&](Named query) {
    unsigned short size = 0;
    char* name = nullptr;
    if ((client->*query)(&size, &name) != S_OK) return "failed: " + instance.TakeErrorText();
    std::string text = name + (" " + std::to_string(size));
    CoTaskMemFree(name);
    return text;
  };
  auto flag = [&](Flag query) {
    unsigned char value = 9;
    return (client->*query)(&value) == S_OK ? value : -1;
  };
  EXPECT_EQ(flag(&IControlCenterComponent::ActiveSetExists), 0);
  EXPECT_EQ(flag(&IControlCenterComponent::BackupExists), 0) << "no backup folder";
  EXPECT_TRUE(Says(named(active), "failed: Could not get the name of the active set.: "));
  EXPECT_TRUE(Says(named(backup), "failed: Could not get the name of the active set.: "));

  const std::vector<std::string> kinds = {"Old.Plant.cfg", "active.ini", "LMHOSTS", "_active.zip",
                                          "KorvaneRegistry.reg", "ACTSET"};
  for (const std::string& file : kinds) installation->WriteFile("active\\BACKUP\\" + file, "x");
  installation->WriteFile("active\\BACKUP\\ACTSET", "C:\\k.1\\Comp\\Old.Plant.cfg");
  installation->WriteFile("active\\ACTSET", "D:\\sys\\Comp\\Plant.cfg\r\n");
  EXPECT_EQ(flag(&IControlCenterComponent::ActiveSetExists), 1);
  EXPECT_EQ(named(active), "Plant 23");
  EXPECT_EQ(named(backup), "Old.Plant 26");
  EXPECT_EQ(flag(&IControlCenterComponent::BackupExists), 1);
  for (const std::string& missing : kinds) {
    installation->RemoveFile("active\\BACKUP\\" + missing);
    EXPECT_EQ(flag(&IControlCenterComponent::BackupExists), 0) << "without " << missing;
    installation->WriteFile("active\\BACKUP\\" + missing, "x");
  }

  ControlCenterComponent::changeInProgress = ControlCenterComponent::workerRunning = true;
  EXPECT_EQ(flag(&IControlCenterComponent::IsSetChanging), 1);
  EXPECT_TRUE(Says(named(active), "failed: The configuration is changing.: "));
  EXPECT_TRUE(Says(named(backup), "failed: The configuration is changing.: "));
  EXPECT_EQ(flag(&IControlCenterComponent::ActiveSetExists), -1);
  EXPECT_TRUE(Says(instance.TakeErrorText(), "The configuration is changing.: "));
  unsigned short board = 0;
  EXPECT_EQ(client->SendBoardCommand(1, 1, &board), E_FAIL);
  EXPECT_EQ(instance.TakeErrorText(), kSetChangeBusyText);
  // The worker has ended; its end message is not handled yet, but nothing
  // runs any more. Its thread handle was closed, and the value may name
  // another object by now (here an event nobody sets): the answer must not
  // depend on it.
  UniqueHandle reused(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ControlCenterComponent::hSetChangeThread = reused.get();
  ControlCenterComponent::workerRunning = false;
  EXPECT_EQ(flag(&IControlCenterComponent::IsSetChanging), 0);
  EXPECT_EQ(named(active), "Plant 23");
  ControlCenterComponent::hSetChangeThread = nullptr;
  ControlCenterComponent::changeInProgress = false;
  installation->RemoveFile("active\\ACTSET");
}

// ---- The board command message ---------------------------------------------

// Boards numbered 0..count-1, each with the address 0xA0+n, 1, 2, 3, 4, n.
void Fill(JArray<BoardRecord>& table, unsigned count) {
  table.RemoveAll();
  for (unsigned n = 0; n < count; ++n) {
    table.ElementAt(n).boardNumber = static_cast<unsigned short>(n);
    const unsigned char address[6] = {static_cast<unsigned char>(0xA0 + n), 1, 2, 3, 4,
                                      static_cast<unsigned char>(n)};
    std::memcpy(table.ElementAt(n).hardwareAddress, address, 6);
  }
}

std::string Refusal(long command, unsigned short numboards, const unsigned short* boardnums,
                    JArray<BoardRecord>& table) {
  try {
    BuildBoardCommand(command, numboards, boardnums, table);
  } catch (char* text) {
    return text;
  }
  return "(built)";
}

TEST(BoardCommandMessage, NamesTheBoardsInTheClientsOrderAndEndsWithZeros) {
  JArray<BoardRecord> table(0, 10, false);
  Fill(table, 3);
  const unsigned short boards[] = {2, 0, 2};
  const unsigned char expected[] = {'C', 'L', 'R', 'F', 'L', 'S', 0xA2, 1, 2, 3, 4, 2,
                                    0xA0, 1, 2, 3, 4, 0, 0xA2, 1, 2, 3, 4, 2,
                                    0, 0, 0, 0, 0, 0};
  EXPECT_EQ(BuildBoardCommand(4, 3, boards, table),
            std::vector<unsigned char>(expected, expected + sizeof expected));
  const char* names[] = {"REBOOT", "CLRPMM", "CLRFLS", "OVRRID", "PSTMRT", "ACTVAT"};
  for (int bit = 0; bit < 6; ++bit) {
    std::vector<unsigned char> message = BuildBoardCommand(1L << bit, 1, boards, table);
    EXPECT_EQ(std::string(message.begin(), message.begin() + 6), names[bit]);
  }
}

// Only one bit is a command; every board named must be in the table, and
// a place of the table that no board fills is no board although its index
// is below the count; the length must fit sixteen bits.
TEST(BoardCommandMessage, RefusesWhatItCannotSend) {
  JArray<BoardRecord> table(0, 10, false);
  Fill(table, 3);
  const unsigned short boards[] = {0, 1}, badSecond[] = {1, 3}, four[] = {0, 1, 2, 0};
  for (long invalid : {0L, 3L, 64L, 33L, -1L, -2147483647L - 1})
    EXPECT_TRUE(Says(Refusal(invalid, 1, boards, table), "Invalid board command: ")) << invalid;
  EXPECT_TRUE(Says(Refusal(1, 2, badSecond, table), "Invalid board number: "));
  // Without a message of their own: the count's bounds, a missing list.
  EXPECT_NE(Refusal(1, 4, four, table), "(built)");
  EXPECT_NE(Refusal(1, 0, nullptr, table), "(built)");
  EXPECT_NE(Refusal(1, 1, nullptr, table), "(built)");
  table.ElementAt(1).boardNumber = kUnsetBoardField;
  EXPECT_TRUE(Says(Refusal(1, 2, boards, table), "Invalid board number: "));

  Fill(table, kMostBoardsPerCommand + 1);
  std::vector<unsigned short> many(kMostBoardsPerCommand + 1, 7);
  EXPECT_EQ(BuildBoardCommand(2, kMostBoardsPerCommand, many.data(), table).size(), 65532u);
  EXPECT_EQ(Refusal(2, kMostBoardsPerCommand + 1, many.data(), table),
            "A board command can name at most 10920 boards; 10921 were given.");
}

}  // namespace
