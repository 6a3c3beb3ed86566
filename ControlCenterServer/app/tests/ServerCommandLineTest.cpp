// Which switches the server acts on, for the command lines COM and users
// give it.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/ServerCommandLine.h"

namespace {

using S = ServerSwitch;

TEST(ServerCommandLine, SwitchesAreSplitAtDashesAndSlashesOnly) {
  const std::pair<const char*, std::vector<ServerSwitch>> cases[] = {
      {"", {}},
      {"-regserver", {S::RegServer}},
      {"/UNREGSERVER", {S::UnregServer}},
      {" -Embedding", {S::Embedding}},  // COM's own form, as Wine and Windows append it
      // A space stays part of its piece, which then matches nothing.
      {"RegServer /UnregServer", {S::UnregServer}},
      {"/RegServer ", {}},
      // Nothing after Embedding is looked at; every piece before it is, in order.
      {"Embedding/RegServer", {S::Embedding}},
      {"/UnregServer/Automation/RegServer", {S::UnregServer, S::RegServer}},
      {"//RegServer--", {S::RegServer}},
      {"/Reg", {}},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(ReadServerSwitches(line), expected) << "command line \"" << line << "\"";
  EXPECT_TRUE(ReadServerSwitches(nullptr).empty());
}

}  // namespace
