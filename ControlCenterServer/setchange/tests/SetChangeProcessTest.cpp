// Set changes and restores as clients meet them: the real server started
// by COM, this process as its clients (their callback objects called across
// the process boundary), a test installation with sets built by the set
// file library, and our bootp component inside the server answering the reset.
#include "testing/SetChangeProcessSupport.h"  // winsock2.h before windows.h

#include "testing/RegistryTestSupport.h"

using namespace setchange_process;
using testsupport::WaitFor;

namespace {

// Lets every change go as soon as observer is asked.
void AllowAtOnce(IControlCenterComponent* component, FakeClient& observer, const unsigned long& cookie) {
  observer.onCall = [component, &cookie](const std::string& method) {
    if (method == "ConfigurationChanging") component->AllowSetChange(cookie);
  };
}

TEST_F(SetChangeProcessTest, BadSetNamesAreRefusedBeforeAnythingStarts) {
  WriteSet("Good", CommonLists({Board("ONE", 'A', 0x01)}));
  IControlCenterComponent* component = NewComponent();
  FakeClient &requester = Client(), &observer = Client();
  Observe(component, observer);
  const std::string tooLong(260 - Root().size(), 'n');
  for (std::string name : {std::string("..\\Good"), std::string("sub\\Good"), std::string("C:Good"),
                           std::string("a/b"), std::string(""), std::string("Go?d"), tooLong}) {
    EXPECT_EQ(component->SelectSet(static_cast<unsigned short>(name.size() + 1), &name[0], &requester),
              E_FAIL)
        << name;
    const std::string text = ErrorText(component);
    EXPECT_NE(text.find(name == tooLong ? "is longer than 259 characters" : "is not the name of a set"),
              std::string::npos)
        << text;
    unsigned char changing = 1;
    EXPECT_TRUE(component->IsSetChanging(&changing) == S_OK && changing == 0);
  }
  Sleep(300);
  EXPECT_TRUE(requester.Calls().empty() && observer.Calls().empty());
  // The refusals gave their claims back: a good name goes ahead.
  AllowAtOnce(component, observer, observerCookie);
  EXPECT_EQ(Select(component, "Good", requester), 1) << ErrorText(component);
}

TEST_F(SetChangeProcessTest, ANewRequestWaitsUntilTheEndOfTheLastOneIsHandled) {
  WriteSet("Plant", CommonLists({Board("ONE", 'A', 0x01)}));
  IControlCenterComponent *component = NewComponent(), *other = NewComponent();
  FakeClient &requester = Client(), &observer = Client(), &late = Client();
  Observe(component, observer);
  AllowAtOnce(component, observer, observerCookie);
  // The requester holds the server's main thread in ChangeProceeding while
  // the worker finishes: its end message waits behind the call.
  UniqueHandle inCall(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      mayReturn(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  requester.onCall = [&](const std::string& method) {
    if (method != "ChangeProceeding") return;
    SetEvent(inCall.get());
    WaitForSingleObject(mayReturn.get(), 20000);
  };
  char name[] = "Plant";
  ASSERT_EQ(component->SelectSet(sizeof name, name, &requester), S_OK);
  ASSERT_EQ(WaitForSingleObject(inCall.get(), 10000), WAIT_OBJECT_0);
  // The worker ends (IsSetChanging reads 0) but its end is not handled yet.
  unsigned char changing = 1;
  ASSERT_TRUE(WaitFor([&] { return other->IsSetChanging(&changing) == S_OK && changing == 0; }, 10000));
  ASSERT_TRUE(setfile_test::FileExists(Root() + "\\active\\ACTSET"));
  EXPECT_EQ(other->SelectSet(sizeof name, name, &late), E_FAIL);
  EXPECT_EQ(ErrorText(other), kBusyText);
  SetEvent(mayReturn.get());
  ASSERT_TRUE(WaitForEnd(requester, "SetSelected"));
  EXPECT_EQ(requester.Calls().back().size, 1);
  EXPECT_TRUE(late.Calls().empty());
}

TEST_F(SetChangeProcessTest, ARequesterMayStartTheNextChangeFromInsideSetSelected) {
  WriteSet("Plant", CommonLists({Board("ONE", 'A', 0x01)}));
  WriteSet("Other", CommonLists({Board("TWO", 'A', 0x02)}));
  IControlCenterComponent* component = NewComponent();
  FakeClient &first = Client(), &second = Client();
  HRESULT nested = E_UNEXPECTED;
  first.onCall = [&](const std::string& method) {
    char next[] = "Other";
    if (method == "SetSelected") nested = component->SelectSet(sizeof next, next, &second);
  };
  EXPECT_EQ(Select(component, "Plant", first), 1) << ErrorText(component);
  ASSERT_TRUE(WaitForEnd(second, "SetSelected")) << "the nested change never ended";
  EXPECT_EQ(nested, S_OK);
  EXPECT_EQ(second.Calls().back().size, 1);
  EXPECT_EQ(first.Methods(), std::vector<std::string>{"SetSelected"});
  EXPECT_EQ(Registry("Active Set", nullptr), "Other");
}

TEST_F(SetChangeProcessTest, ARestoreBringsBackThePreviousSetAndItsBoards) {
  const std::string archive = "old archive";
  WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01), Board("OLDB", 'A', 0x02)}, "old"), &archive);
  WriteSet("New", CommonLists({Board("NEWA", 'A', 0x01), Board("NEWC", 'A', 0x03), Board("NEWD", 'A', 0x04)},
                              "new"));
  IControlCenterComponent* component = NewComponent();
  FakeClient &requester = Client(), &observer = Client();
  ASSERT_EQ(Select(component, "Old", Client()), 1) << ErrorText(component);
  const auto oldFiles = ActiveFiles();
  const TreeSnapshot oldRegistry = Snapshot(std::string(kKorvaneSubtree) + "\\Active Set");
  ASSERT_EQ(Select(component, "New", Client()), 1) << ErrorText(component);
  unsigned char backup = 0;
  EXPECT_TRUE(component->BackupExists(&backup) == S_OK && backup == 1);
  Observe(component, observer);
  AllowAtOnce(component, observer, observerCookie);
  ASSERT_EQ(component->RestoreBackup(&requester), S_OK);
  ASSERT_TRUE(WaitForEnd(requester, "SetRestored"));
  EXPECT_EQ(requester.Methods(), (std::vector<std::string>{"ChangeProceeding", "SetRestored"}));
  EXPECT_EQ(requester.Calls().back().size, 1) << ErrorText(component);
  EXPECT_EQ(ActiveFiles(), oldFiles);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Active Set"), oldRegistry);
  EXPECT_TRUE(component->BackupExists(&backup) == S_OK && backup == 0);
  // The server's board table is the old set's again: two boards.
  unsigned short last = 1, past = 2;
  EXPECT_EQ(component->SendBoardCommand(1, 1, &last), S_OK) << ErrorText(component);
  EXPECT_EQ(component->SendBoardCommand(1, 1, &past), E_FAIL);
}

TEST_F(SetChangeProcessTest, TheLastClientLeavingCancelsAChangeNoObserverAllowed) {
  WriteSet("Plant", CommonLists({Board("ONE", 'A', 0x01)}));
  FakeClient &requester = Client(), &silent = Client();
  const auto filesBefore = ActiveFiles();
  const TreeSnapshot registryBefore = Snapshot(std::string(kKorvaneSubtree) + "\\Active Set");
  IControlCenterComponent* component = NewComponent();
  ASSERT_EQ(component->SetClientTimeout(120), S_OK);
  Observe(component, silent);
  char name[] = "Plant";
  ASSERT_EQ(component->SelectSet(sizeof name, name, &requester), S_OK);
  ASSERT_TRUE(WaitFor([&] { return !silent.Calls().empty(); }, 10000));
  UniqueHandle server = OpenServerProcess(FindServerWindow());
  ASSERT_TRUE(server);
  // With its last instance the server ends. Nobody allowed the change and
  // nobody is left to hear how it ended: it is dropped untouched rather
  // than run unattended.
  components.clear();
  EXPECT_TRUE(WaitForProcessExit(server.get(), 30000)) << "the server did not end";
  EXPECT_EQ(ActiveFiles(), filesBefore);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Active Set"), registryBefore);
  EXPECT_TRUE(requester.Calls().empty());
}

}  // namespace
