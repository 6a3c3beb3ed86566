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

#include "testing/RegistryTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "testing/SetChangeProcessSupport.h"
#include "testing/SetFileTestSupport.h"

using namespace setchange_process;
using testsupport::FakeClient;
using testsupport::WaitFor;

namespace {

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
