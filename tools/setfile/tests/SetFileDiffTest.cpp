// korvane-setfile diff on sets generated as the demonstration's are: each
// case changes one thing of the plant's set and checks that exactly that
// difference is reported, for the board it concerns.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "DemoInstallation.h"
#include "SetFileDiff.h"
#include "SetFileTool.h"
#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

BoardPlan PlannedBoard(const char* name, char type, unsigned char last) {
  BoardPlan board;
  board.name = name;
  board.type = type;
  const unsigned char address[6] = {0x00, 0x40, 0x9D, 0x21, 0x07, last};
  std::memcpy(board.hardwareAddress, address, sizeof address);
  return board;
}

class SetDiff : public ::testing::Test {
 protected:
  SetDiff() : root_("diff") {
    WriteInstallationFiles(root_.path(), {});
    plant_ = DemoSetPlans()[0];
    settings_.common = root_.path() + "\\config\\common\\";
    settings_.baseIp = 0xC0A80765;  // 192.168.7.101
  }

  std::string Write(const SetPlan& plan, const char* name,
                    const std::function<void(std::vector<NamedList>&)>& edit = nullptr) {
    std::vector<NamedList> lists = BuildSetLists(plan);
    if (edit) edit(lists);
    const std::string path = root_ / (std::string("Comp\\") + name + ".cfg");
    WriteFile(path, ComposeSetFile(lists));
    return path;
  }

  ScratchFolder root_;
  SetPlan plant_;
  DiffSettings settings_;
};

struct DiffRun {
  int exit;
  std::string out, err;
};

DiffRun RunDiff(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  DiffRun run;
  run.exit = RunSetFileTool(args, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

}  // namespace

TEST_F(SetDiff, ReportsEachKindOfBoardChangeForThatBoardAlone) {
  struct Case {
    const char* what;
    std::function<void(SetPlan&)> change;
    size_t removed, added;
    // The board expected among the changed ones with the fields expected;
    // empty: no board changed.
    std::string board;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"nothing", [](SetPlan&) {}, 0, 0, "", {}},
      {"board appended", [](SetPlan& p) { p.boards.push_back(PlannedBoard("NEWONE", 'S', 0x17)); },
       0, 1, "", {}},
      {"last board dropped", [](SetPlan& p) { p.boards.pop_back(); }, 1, 0, "", {}},
      // Every board after it moves up one number and one IP address.
      {"board inserted first",
       [](SetPlan& p) { p.boards.insert(p.boards.begin(), PlannedBoard("FIRST", 'S', 0x10)); }, 0,
       1, "00409D210711", {"number", "ip"}},
      {"renamed", [](SetPlan& p) { p.boards[1].name = "VALVES2"; }, 0, 0, "00409D210712", {"name"}},
      // The gateway keeps its address in its record: moving it changes the
      // IP address alone.
      {"gateway moved", [](SetPlan& p) { p.boards[3] = GatewayBoard("GATEWAY", 0xC0A80702ul); },
       1, 1, "", {}},
      {"named like another board",
       [](SetPlan& p) { p.boards[5].name = "PRESS1"; }, 0, 0, "00409D210716", {"name", "partner"}},
  };
  const std::string a = Write(plant_, "A");
  const ConfigurationSummary before = SummarizeSetFile(a, settings_);
  ASSERT_EQ(6u, before.boards.size());
  EXPECT_EQ("192.168.7.101", before.boards[0].ip);
  EXPECT_EQ("192.168.7.1", before.boards[3].ip);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetPlan changed = plant_;
    c.change(changed);
    const ConfigurationSummary after = SummarizeSetFile(Write(changed, "B"), settings_);
    const ConfigurationDiff diff = CompareConfigurations(before, after);
    EXPECT_EQ(c.removed, diff.removed.size());
    EXPECT_EQ(c.added, diff.added.size());
    if (c.board.empty()) {
      // Every list file holds every board's IP address: the other boards'
      // lists may change, their records do not.
      for (const BoardDifference& board : diff.changed) EXPECT_TRUE(board.fields.empty());
      EXPECT_EQ(c.removed + c.added == 0, diff.Equal());
      continue;
    }
    ASSERT_FALSE(diff.changed.empty());
    const BoardDifference* found = nullptr;
    for (const BoardDifference& board : diff.changed)
      if (board.a->hardware == c.board) found = &board;
    ASSERT_NE(nullptr, found);
    std::vector<std::string> fields;
    for (const FieldDifference& field : found->fields) fields.push_back(field.field);
    EXPECT_EQ(c.fields, fields);
  }
}

TEST_F(SetDiff, AListChangedForOneBoardShowsInThatBoardsListFileOnly) {
  const std::string a = Write(plant_, "A");
  const ConfigurationSummary before = SummarizeSetFile(a, settings_);
  // A list of PRESS1's list file that no other board's file holds.
  std::string own;
  for (const ListSummary& list : before.boards[0].lists) {
    bool shared = list.name == "IP" || list.name == "COMMPORT";
    for (size_t b = 1; b < before.boards.size(); ++b)
      for (const ListSummary& other : before.boards[b].lists)
        shared = shared || SameListName(other.name, list.name);
    if (!shared) own = list.name;
  }
  ASSERT_FALSE(own.empty());
  const std::string b = Write(plant_, "B", [&](std::vector<NamedList>& lists) {
    for (NamedList& list : lists)
      if (SameListName(list.name, own)) list.data += "xyz";
  });
  const ConfigurationSummary after = SummarizeSetFile(b, settings_);
  const ConfigurationDiff diff = CompareConfigurations(before, after);
  ASSERT_EQ(1u, diff.changed.size());
  EXPECT_EQ("PRESS1", diff.changed[0].a->name);
  EXPECT_TRUE(diff.changed[0].fields.empty());
  ASSERT_EQ(1u, diff.changed[0].lists.size());
  const ListDifference& list = diff.changed[0].lists[0];
  EXPECT_EQ(list.a->size + 3, list.b->size);
  EXPECT_NE(list.a->crc, list.b->crc);
  ASSERT_EQ(1u, diff.setLists.size());
  EXPECT_TRUE(SameListName(own, diff.setLists[0].name));

  // Through the command: text and JSON, exit 1; the same set twice, exit 0.
  const DiffRun text = RunDiff({"diff", a, b, "--root", root_.path()});
  EXPECT_EQ(1, text.exit) << text.err;
  EXPECT_NE(std::string::npos, text.out.find("board 00409D210711 changed: number 0, PRESS1\n"
                                             "  list " + own + ": "))
      << text.out;
  const DiffRun json = RunDiff({"diff", a, b, "--common", settings_.common, "--base-ip",
                                "192.168.7.101", "--json"});
  EXPECT_EQ(1, json.exit) << json.err;
  EXPECT_EQ(0u, json.out.find("{\"equal\":false,")) << json.out;
  EXPECT_NE(std::string::npos, json.out.find("\"boardListsCompared\":true")) << json.out;
  const DiffRun same = RunDiff({"diff", a, a});
  EXPECT_EQ(0, same.exit) << same.err;
  EXPECT_NE(std::string::npos, same.out.find("No differences.")) << same.out;
}

TEST_F(SetDiff, BadInputExitsTwoWithTheReason) {
  const std::string a = Write(plant_, "A");
  std::string broken = ComposeSetFile(BuildSetLists(plant_));
  broken[broken.size() - kListDefSize - 1] ^= 0x55;
  WriteFile(root_ / "broken.cfg", broken);
  SetPlan incomplete = DemoSetPlans()[2];
  const std::string cannot = Write(incomplete, "Incomplete");
  const struct {
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {{"diff", a}, "diff needs two set files"},
      {{"diff", a, root_ / "missing.cfg"}, "Could not open"},
      {{"diff", a, root_ / "broken.cfg"}, "CRC failed"},
      {{"diff", a, cannot, "--root", root_.path()}, "Could not find list v25_mpk_"},
      {{"diff", a, a, "--bogus"}, "Unknown option --bogus"},
      {{"diff", a, "--active", "--root", root_.path()}, "give no others"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const DiffRun run = RunDiff(c.args);
    EXPECT_EQ(2, run.exit);
    EXPECT_NE(std::string::npos, run.err.find(c.reason)) << run.err;
    EXPECT_EQ("", run.out);
  }
}
