// Set changes and restores as clients meet them: the real server started
// by COM, this process as its clients (their callback objects called across
// the process boundary), a test installation of the system with sets built
// by the set file library, and our bootp server component inside the server
// answering the reset.
#include "testing/ComponentTestSupport.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <string>
#include <vector>

#include "setchange/ProfileFile.h"
#include "testing/NotificationTestSupport.h"
#include "testing/RegistryTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "testing/SetChangeProcessSupport.h"
#include "testing/SetFileTestSupport.h"

using namespace setchange_process;
using testsupport::FakeClient;
using testsupport::WaitFor;

namespace {

TEST_F(SetChangeProcessTest, ASetChangeWritesTheSetAndTellsTheRequesterOnly) {
  const std::vector<NetworkRecord> table = {Board("ALPHA", 'A', 0x01),
                                            XBoard("GATE", 192, 168, 5, 9),
                                            Board("BRAVO", 'V', 0x02, 0, 'R')};
  const std::string setPath = WriteSet("Plant", CommonLists(table));
  IControlCenterComponent* component = NewComponent();
  FakeClient &requester = Client(), &bootp = Client();
  Subscribe(component, bootp);

  EXPECT_EQ(Select(component, "Plant", requester), 1) << ErrorText(component);
  // Nobody to ask: no timer, no ChangeProceeding.
  EXPECT_EQ(requester.Methods(), std::vector<std::string>{"SetSelected"});

  const std::string active = Root() + "\\active\\";
  EXPECT_EQ(setfile_test::ReadFile(active + "ACTSET"), setPath + "\r\n");
  EXPECT_EQ(setfile_test::ReadFile(active + "LMHOSTS"), "10.0.0.1    ALPHA\r\n10.0.0.2    BRAVOR\r\n");
  ProfileFile activeIni(active + "active.ini");
  EXPECT_EQ(activeIni.Get("CONFIG", "0040C0A80509"), "192.168.5.9 NOPATH FFFF 0000 GATE 1 X");
  const std::string alpha = activeIni.Get("CONFIG", "00409D123401");
  EXPECT_EQ(alpha.rfind("10.0.0.1 " + active + "123401.cfg ", 0), 0u) << alpha;
  EXPECT_EQ(alpha.substr(alpha.size() - 15), " 0001 ALPHA 0 A") << alpha;
  EXPECT_EQ(Registry("Active Set", nullptr), "Plant");
  EXPECT_EQ(Registry("Active Set\\Boards\\00409D123402", "Name"), "BRAVOR");
  EXPECT_EQ(Registry("Active Set\\Boards\\0040C0A80509", "Path"), "NOPATH");

  // The bootp server was asked after active.ini was complete.
  EXPECT_TRUE(WaitFor([&] { return HeardServing(bootp, 3); }, 5000));
  // The server's board table holds the three boards.
  unsigned short last = 2, past = 3;
  EXPECT_EQ(component->SendBoardCommand(1, 1, &last), S_OK) << ErrorText(component);
  EXPECT_EQ(component->SendBoardCommand(1, 1, &past), E_FAIL);
  ErrorText(component);
  unsigned short size = 0;
  char* name = nullptr;
  ASSERT_EQ(component->GetActiveSetName(&size, &name), S_OK);
  EXPECT_STREQ(name, "Plant");
  CoTaskMemFree(name);
}

TEST_F(SetChangeProcessTest, AFailedChangeLeavesThePreviousConfigurationAndSaysWhy) {
  IControlCenterComponent* component = NewComponent();
  FakeClient &first = Client(), &second = Client(), &third = Client(), &observer = Client();
  WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01), Board("OLDB", 'A', 0x02)}, "old"));
  ASSERT_EQ(Select(component, "Old", first), 1) << ErrorText(component);
  const auto filesBefore = ActiveFiles();
  const TreeSnapshot registryBefore = Snapshot(std::string(kKorvaneSubtree) + "\\Active Set");
  const TreeSnapshot codeBefore = Snapshot(std::string(kKorvaneSubtree) + "\\Code");
  ASSERT_FALSE(registryBefore.empty());

  // A 'V' board whose MPK list the set lacks fails in the middle of the
  // board loop.
  std::vector<NamedList> lists =
      CommonLists({Board("NEWA", 'A', 0x07), Board("NEWV", 'V', 0x08)}, "new");
  lists.erase(lists.begin() + 2);  // v25_mpk_
  WriteSet("Broken", lists);
  Observe(component, observer);
  // The observer answers from inside the question.
  unsigned long cookie = observerCookie;
  observer.onCall = [&](const std::string& method) {
    if (method == "ConfigurationChanging") component->AllowSetChange(cookie);
  };
  EXPECT_EQ(Select(component, "Broken", second), 0);
  EXPECT_EQ(ErrorText(component), "Could not find list v25_mpk_");
  EXPECT_EQ(ErrorText(component), "(none)");
  EXPECT_TRUE(WaitFor([&] { return observer.Methods().size() == 2; }, 5000));
  EXPECT_EQ(observer.Methods(),
            (std::vector<std::string>{"ConfigurationChanging", "ConfigurationChanged"}));

  auto filesAfter = ActiveFiles();
  filesAfter.erase("123407.CFG");  // written for a board the old set lacks: no backup copy
  filesAfter.erase("123408.CFG");
  EXPECT_EQ(filesAfter, filesBefore);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Active Set"), registryBefore);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Code"), codeBefore);
  // The board table is the old set's again: two boards.
  unsigned short last = 1, past = 2;
  EXPECT_EQ(component->SendBoardCommand(1, 1, &last), S_OK) << ErrorText(component);
  EXPECT_EQ(component->SendBoardCommand(1, 1, &past), E_FAIL);
  ErrorText(component);

  // A failure before the backup (the registry export cannot be written)
  // moves nothing, so nothing needs to come back.
  observer.onCall = nullptr;
  DeleteFileA((Root() + "\\active\\BACKUP\\KorvaneRegistry.reg").c_str());
  CreateDirectoryA((Root() + "\\active\\BACKUP\\KorvaneRegistry.reg").c_str(), nullptr);
  EXPECT_EQ(component->UnregisterNotification(cookie), S_OK);
  EXPECT_EQ(Select(component, "Old", third), 0);
  EXPECT_TRUE(IsAssertionText(ErrorText(component), "fp",
                              "Could not open a file to save the Korvane registry",
                              "RegistryBackup.cpp"));
  EXPECT_EQ(ActiveFiles().count("ACTSET"), 1u);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Active Set"), registryBefore);
}

TEST_F(SetChangeProcessTest, BadSetNamesAreRefusedBeforeAnythingStarts) {
  WriteSet("Good", CommonLists({Board("ONE", 'A', 0x01)}));
  IControlCenterComponent* component = NewComponent();
  FakeClient &requester = Client(), &observer = Client();
  Observe(component, observer);
  const std::string tooLong(260 - Root().size(), 'n');
  for (std::string name : {std::string("..\\Good"), std::string("sub\\Good"),
                           std::string("C:Good"), std::string("a/b"), std::string(""),
                           std::string("Go?d"), tooLong}) {
    EXPECT_EQ(component->SelectSet(static_cast<unsigned short>(name.size() + 1), &name[0],
                                   &requester),
              E_FAIL)
        << name;
    const std::string text = ErrorText(component);
    if (name == tooLong)
      EXPECT_NE(text.find("is longer than 259 characters"), std::string::npos) << text;
    else
      EXPECT_NE(text.find("is not the name of a set"), std::string::npos) << text;
    unsigned char changing = 1;
    EXPECT_EQ(component->IsSetChanging(&changing), S_OK);
    EXPECT_EQ(changing, 0);
  }
  Sleep(300);
  EXPECT_TRUE(requester.Calls().empty());
  EXPECT_TRUE(observer.Calls().empty());
  // The refusals gave their claims back: a good name goes ahead.
  observer.onCall = [&](const std::string& method) {
    if (method == "ConfigurationChanging") component->AllowSetChange(observerCookie);
  };
  EXPECT_EQ(Select(component, "Good", requester), 1) << ErrorText(component);
}

TEST_F(SetChangeProcessTest, ObserversLetTheWorkerGoWhenAllHaveAnswered) {
  WriteSet("Plant", CommonLists({Board("ONE", 'A', 0x01)}));
  IControlCenterComponent* component = NewComponent();
  IControlCenterComponent* other = NewComponent();
  FakeClient &requester = Client(), &first = Client(), &second = Client();
  const unsigned long firstCookie = Observe(component, first);
  const unsigned long secondCookie = Observe(other, second);

  char name[] = "Plant";
  ASSERT_EQ(component->SelectSet(sizeof name, name, &requester), S_OK);
  ASSERT_TRUE(WaitFor([&] { return !second.Calls().empty(); }, 5000));
  EXPECT_EQ(first.Methods(), std::vector<std::string>{"ConfigurationChanging"});

  // Another instance's cookie is not this instance's to answer.
  EXPECT_EQ(component->AllowSetChange(secondCookie), E_FAIL);
  EXPECT_TRUE(IsAssertionText(ErrorText(component), "ccn.InstanceID() == instanceID",
                              "A client attempted to access another client's notification.",
                              "ClientNotifications.cpp"));
  // While it waits, a second request is refused.
  FakeClient &late = Client();
  IControlCenterComponent* third = NewComponent();
  EXPECT_EQ(third->SelectSet(sizeof name, name, &late), E_FAIL);
  EXPECT_EQ(ErrorText(third), kBusyText);
  EXPECT_EQ(third->RestoreBackup(&late), E_FAIL);
  EXPECT_EQ(ErrorText(third), kBusyText);

  // The first answer changes nothing visible.
  EXPECT_EQ(component->AllowSetChange(firstCookie), S_OK);
  Sleep(500);
  EXPECT_TRUE(requester.Calls().empty());
  EXPECT_FALSE(setfile_test::FileExists(Root() + "\\active\\ACTSET"));
  unsigned char changing = 0;
  EXPECT_EQ(component->IsSetChanging(&changing), S_OK);
  EXPECT_EQ(changing, 1);

  // The second lets it go.
  EXPECT_EQ(other->AllowSetChange(secondCookie), S_OK);
  ASSERT_TRUE(WaitForEnd(requester, "SetSelected"));
  EXPECT_EQ(requester.Methods(), (std::vector<std::string>{"ChangeProceeding", "SetSelected"}));
  EXPECT_EQ(requester.Calls().back().size, 1);
  for (FakeClient* observer : {&first, &second})
    EXPECT_TRUE(WaitFor([&] { return observer->Methods().size() == 2; }, 5000));
  EXPECT_EQ(second.Methods(),
            (std::vector<std::string>{"ConfigurationChanging", "ConfigurationChanged"}));
  EXPECT_TRUE(late.Calls().empty());
}

TEST_F(SetChangeProcessTest, AnObserverThatNeverAnswersIsWaitedForOnlyTheTimeOut) {
  WriteSet("Plant", CommonLists({Board("ONE", 'A', 0x01)}));
  IControlCenterComponent* component = NewComponent();
  FakeClient &requester = Client(), &silent = Client();
  Observe(component, silent);
  ASSERT_EQ(component->SetClientTimeout(1), S_OK);

  const DWORD start = GetTickCount();
  EXPECT_EQ(Select(component, "Plant", requester), 1) << ErrorText(component);
  EXPECT_GE(GetTickCount() - start, 900u);
  ASSERT_EQ(requester.Methods(),
            (std::vector<std::string>{"ClientsNotResponding", "SetSelected"}));
  EXPECT_EQ(requester.Calls()[0].size, 1);
  EXPECT_EQ(requester.Calls()[0].text, "");
}

TEST_F(SetChangeProcessTest, ANewRequestWaitsUntilTheEndOfTheLastOneIsHandled) {
  WriteSet("Plant", CommonLists({Board("ONE", 'A', 0x01)}));
  IControlCenterComponent* component = NewComponent();
  IControlCenterComponent* other = NewComponent();
  FakeClient &requester = Client(), &observer = Client();
  Observe(component, observer);
  observer.onCall = [&](const std::string& method) {
    if (method == "ConfigurationChanging") component->AllowSetChange(observerCookie);
  };
  // The requester holds the server's main thread in ChangeProceeding while
  // the worker finishes: its end message waits behind the call.
  UniqueHandle inCall(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle mayReturn(CreateEventA(nullptr, TRUE, FALSE, nullptr));
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
  ASSERT_TRUE(WaitFor([&] { return other->IsSetChanging(&changing) == S_OK && changing == 0; },
                      10000));
  ASSERT_TRUE(setfile_test::FileExists(Root() + "\\active\\ACTSET"));
  FakeClient &late = Client();
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
    if (method != "SetSelected") return;
    char next[] = "Other";
    nested = component->SelectSet(sizeof next, next, &second);
  };
  EXPECT_EQ(Select(component, "Plant", first), 1) << ErrorText(component);
  ASSERT_TRUE(WaitForEnd(second, "SetSelected")) << "the nested change never ended";
  EXPECT_EQ(nested, S_OK);
  EXPECT_EQ(second.Calls().back().size, 1);
  EXPECT_EQ(first.Methods(), std::vector<std::string>{"SetSelected"});
  EXPECT_EQ(Registry("Active Set", nullptr), "Other");
}

TEST_F(SetChangeProcessTest, ARestoreBringsBackThePreviousSetOnce) {
  const std::string archive = "old archive";
  WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01), Board("OLDB", 'A', 0x02)}, "old"),
           &archive);
  WriteSet("New", CommonLists({Board("NEWA", 'A', 0x01), Board("NEWC", 'A', 0x03)}, "new"));
  IControlCenterComponent* component = NewComponent();
  FakeClient &one = Client(), &two = Client(), &three = Client(), &four = Client();
  FakeClient& observer = Client();
  ASSERT_EQ(Select(component, "Old", one), 1) << ErrorText(component);
  const auto oldFiles = ActiveFiles();
  const TreeSnapshot oldRegistry = Snapshot(std::string(kKorvaneSubtree) + "\\Active Set");
  ASSERT_EQ(Select(component, "New", two), 1) << ErrorText(component);
  ASSERT_EQ(ActiveFiles().count("123403.CFG"), 1u);
  unsigned char backup = 0;
  EXPECT_EQ(component->BackupExists(&backup), S_OK);
  EXPECT_EQ(backup, 1);

  Observe(component, observer);
  observer.onCall = [&](const std::string& method) {
    if (method == "ConfigurationChanging") component->AllowSetChange(observerCookie);
  };
  ASSERT_EQ(component->RestoreBackup(&three), S_OK);
  ASSERT_TRUE(WaitForEnd(three, "SetRestored"));
  EXPECT_EQ(three.Methods(), (std::vector<std::string>{"ChangeProceeding", "SetRestored"}));
  EXPECT_EQ(three.Calls().back().size, 1) << ErrorText(component);
  EXPECT_EQ(ActiveFiles(), oldFiles);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Active Set"), oldRegistry);
  EXPECT_EQ(component->BackupExists(&backup), S_OK);
  EXPECT_EQ(backup, 0);
  unsigned short last = 1, past = 2;
  EXPECT_EQ(component->SendBoardCommand(1, 1, &last), S_OK) << ErrorText(component);
  EXPECT_EQ(component->SendBoardCommand(1, 1, &past), E_FAIL);
  ErrorText(component);

  ASSERT_EQ(component->RestoreBackup(&four), S_OK);
  ASSERT_TRUE(WaitForEnd(four, "SetRestored"));
  EXPECT_EQ(four.Calls().back().size, 0);
  EXPECT_EQ(ErrorText(component), "There is no backup to restore.");
  EXPECT_EQ(ActiveFiles(), oldFiles);
  EXPECT_TRUE(WaitFor([&] { return observer.Methods().size() == 4; }, 5000));
}

TEST_F(SetChangeProcessTest, TheLastClientLeavingCancelsAChangeNoObserverAllowed) {
  WriteSet("Plant", CommonLists({Board("ONE", 'A', 0x01)}));
  FakeClient &requester = Client(), &silent = Client();
  const auto filesBefore = ActiveFiles();
  const TreeSnapshot registryBefore = Snapshot(std::string(kKorvaneSubtree) + "\\Active Set");
  {
    IControlCenterComponent* component = NewComponent();
    ASSERT_EQ(component->SetClientTimeout(120), S_OK);
    Observe(component, silent);
    char name[] = "Plant";
    ASSERT_EQ(component->SelectSet(sizeof name, name, &requester), S_OK);
    ASSERT_TRUE(WaitFor([&] { return !silent.Calls().empty(); }, 10000));
  }
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
