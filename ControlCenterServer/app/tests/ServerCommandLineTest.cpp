// Which switches the server acts on, for the command lines COM and users
// give it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ServerCommandLine.h"

namespace {

using S = ServerSwitch;

struct Case {
  const char* commandLine;
  std::vector<ServerSwitch> expected;
};

TEST(ServerCommandLine, SwitchesAreSplitAtDashesAndSlashesOnly) {
  const Case cases[] = {
      {"", {}},
      {"/RegServer", {S::RegServer}},
      {"-regserver", {S::RegServer}},
      {"/UNREGSERVER", {S::UnregServer}},
      {"-Embedding", {S::Embedding}},
      // COM's own form, as Wine and Windows append it.
      {" -Embedding", {S::Embedding}},
      // A space stays part of its piece, which then matches nothing.
      {"RegServer /UnregServer", {S::UnregServer}},
      {"Embedding /RegServer", {S::RegServer}},
      {"/RegServer ", {}},
      // Nothing after Embedding is looked at.
      {"Embedding/RegServer", {S::Embedding}},
      {"/Embedding/UnregServer/RegServer", {S::Embedding}},
      // Every piece before it is, in order.
      {"/UnregServer/RegServer", {S::UnregServer, S::RegServer}},
      {"/Automation/RegServer", {S::RegServer}},
      {"//RegServer--", {S::RegServer}},
      {"/Reg", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("command line \"") + c.commandLine + "\"");
    EXPECT_EQ(ReadServerSwitches(c.commandLine), c.expected);
  }
  EXPECT_TRUE(ReadServerSwitches(nullptr).empty());
}

}  // namespace
