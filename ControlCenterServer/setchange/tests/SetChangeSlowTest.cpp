// A set change whose bootp server never answers: the change waits the
// system's two minutes for it, then fails and puts the previous
// configuration back.
#include "testing/SetChangeProcessSupport.h"  // winsock2.h before windows.h

#include "testing/RegistryTestSupport.h"

using namespace setchange_process;

TEST_F(SetChangeProcessTest, ASilentBootpServerFailsTheChangeAfterTwoMinutes) {
  WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01)}, "old"));
  WriteSet("New", CommonLists({Board("NEWA", 'A', 0x01), Board("NEWB", 'A', 0x02)}, "new"));
  IControlCenterComponent* component = NewComponent();
  ASSERT_EQ(Select(component, "Old", Client()), 1) << ErrorText(component);
  const auto filesBefore = ActiveFiles();
  const TreeSnapshot registryBefore = Snapshot(std::string(kKorvaneSubtree) + "\\Active Set");
  install->SetDword("Bootp", "Silent", 1);  // seen by the bootp component at each reset request
  const DWORD start = GetTickCount();
  EXPECT_EQ(Select(component, "New", Client(), 200000), 0);
  const DWORD took = GetTickCount() - start;
  EXPECT_TRUE(took >= 119000u && took < 180000u) << took;
  EXPECT_EQ(ErrorText(component).rfind("Error while waiting for the bootp server to finish resetting.: ", 0),
            0u);
  // The new set's second board has a list file of its own, which no backup
  // copy replaces; the rest is the old set's again.
  auto filesAfter = ActiveFiles();
  EXPECT_EQ(filesAfter.erase("123402.CFG"), 1u);
  EXPECT_EQ(filesAfter, filesBefore);
  EXPECT_EQ(Snapshot(std::string(kKorvaneSubtree) + "\\Active Set"), registryBefore);
  unsigned short secondBoard = 1;
  EXPECT_EQ(component->SendBoardCommand(1, 1, &secondBoard), E_FAIL);  // the old set has one
}
