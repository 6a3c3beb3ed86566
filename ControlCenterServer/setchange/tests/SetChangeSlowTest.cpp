// A set change whose bootp server never answers: the change waits the
// system's two minutes for it, then fails and puts the previous
// configuration back.
#include "testing/SetChangeProcessSupport.h"  // winsock2.h before windows.h

#include "testing/RegistryTestSupport.h"

using namespace setchange_process;

namespace {

TEST_F(SetChangeProcessTest, ASilentBootpServerFailsTheChangeAfterTwoMinutes) {
  WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01)}, "old"));
  WriteSet("New", CommonLists({Board("NEWA", 'A', 0x01), Board("NEWB", 'A', 0x02)}, "new"));
  IControlCenterComponent* component = NewComponent();
  FakeClient &first = Client(), &second = Client();
  ASSERT_EQ(Select(component, "Old", first), 1) << ErrorText(component);
  const auto filesBefore = ActiveFiles();
  const TreeSnapshot registryBefore = Snapshot(std::string(kKorvaneSubtree) + "\\Active Set");

  // Seen by the bootp component at each reset request.
  install->SetDword("Bootp", "Silent", 1);
  const DWORD start = GetTickCount();
  EXPECT_EQ(Select(component, "New", second, 200000), 0);
  const DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 119000u);
  EXPECT_LT(took, 180000u);
  EXPECT_TRUE(IsAssertionText(ErrorText(component),
                              "WaitForSingleObject(bootpResetFinished,120000) == WAIT_OBJECT_0",
                              "Error while waiting for the bootp server to finish resetting.",
                              "BootpReset.cpp"));
  auto filesAfter = ActiveFiles();
  // The new set's second board has a list file of its own, which no backup
  // copy replaces; the rest is the old set's again.
  EXPECT_EQ(filesAfter.erase("123402.CFG"), 1u);
  EXPECT_EQ(filesAfter, filesBefore);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Active Set"), registryBefore);
  unsigned short second_board = 1;
  EXPECT_EQ(component->SendBoardCommand(1, 1, &second_board), E_FAIL);  // the old set has one
}

}  // namespace
