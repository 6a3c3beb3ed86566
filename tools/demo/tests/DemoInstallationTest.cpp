// The demo and the benchmark are only worth showing if their sets activate
// the way the server activates them: these tests run the generated sets
// through the set change's own validation and per-board list selection, and
// the stand-in board through real loopback datagrams.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "CommandListener.h"
#include "DemoInstallation.h"
#include "DemoTool.h"
#include "testing/SetFileTestSupport.h"

using setfile_test::ListFileContents;
using setfile_test::ParseListFile;
using setfile_test::ScratchFolder;

namespace {

struct BoardOutcome {
  bool written = false;
  std::string error;
  ListFileContents lists;
  unsigned long long size = 0;
};

struct ActivationOutcome {
  std::string checkError;
  std::vector<BoardOutcome> boards;  // one per network record
  std::vector<std::string> warnings;
};

// What a set change of the plan's set would write, done the way the server
// does it, in a scratch installation with the demo's common files.
ActivationOutcome Activate(const SetPlan& plan) {
  ScratchFolder root("demo-test");
  const std::string common = root.path() + "\\config\\common\\";
  WriteInstallationFiles(root.path(), {plan.name});
  const std::string setPath = root.path() + "\\Comp\\" + plan.name + ".cfg";
  WriteWholeFile(setPath, ComposeSetFile(BuildSetLists(plan)));

  ActivationOutcome outcome;
  ConfigurationContext context(root.path(), 0x0A000001, 4660);
  context.warningShower = [&](const char* text) { outcome.warnings.push_back(text); };
  try {
    context.CheckConfiguration(setPath.c_str());
    context.SetCommonDirectory(common);
    context.LoadProtomap();
  } catch (char* text) {
    outcome.checkError = text;
    context.Reset();
    return outcome;
  }
  const NetworkRecord* records = context.networkTable.As<NetworkRecord>();
  const unsigned short boards = ActiveBoardCount(context.networkTable);
  outcome.boards.resize(context.networkTable.count);
  for (unsigned short board = 0; board < boards; ++board) {
    if (records[board].boardType == 'X') continue;
    BoardOutcome& result = outcome.boards[board];
    const std::string path = context.ActiveDirectory() + BoardListName(records[board]) + ".cfg";
    try {
      result.size = WriteBoardListFile(context, board, path.c_str()).size;
      result.written = true;
      result.lists = ParseListFile(ReadWholeFile(path));
      EXPECT_TRUE(result.lists.ended) << path << " has no end entry";
    } catch (char* text) {
      result.error = text;
    }
  }
  context.Reset();
  return outcome;
}

SetPlan DemoPlan(const std::string& name) {
  for (const SetPlan& plan : DemoSetPlans())
    if (plan.name == name) return plan;
  ADD_FAILURE() << "no demo set " << name;
  return SetPlan();
}

}  // namespace

TEST(DemoSets, EveryBoardOfTheGoodSetsGetsTheListsOfItsType) {
  for (const char* name : {"Plant", "Line2"}) {
    SCOPED_TRACE(name);
    const SetPlan plan = DemoPlan(name);
    const ActivationOutcome outcome = Activate(plan);
    ASSERT_EQ(outcome.checkError, "");
    // A warning would stop the server on a message box in the middle of
    // the demo.
    EXPECT_TRUE(outcome.warnings.empty()) << outcome.warnings.front();
    ASSERT_EQ(outcome.boards.size(), plan.boards.size());
    std::set<char> types;
    for (size_t i = 0; i < plan.boards.size(); ++i) {
      const char type = plan.boards[i].type;
      const BoardOutcome& board = outcome.boards[i];
      SCOPED_TRACE(plan.boards[i].name);
      types.insert(type);
      if (type == 'X') {
        EXPECT_FALSE(board.written);
        continue;
      }
      ASSERT_TRUE(board.written) << board.error;
      for (const char* common : {"IP", "COMMPORT", "sysparam", "timezone"})
        EXPECT_TRUE(board.lists.Has(common)) << common;
      char tag[8];
      std::snprintf(tag, sizeof tag, "%04X", static_cast<unsigned>(i));
      switch (type) {
        case 'S':
          // Port 7 is mapped for S boards: the board's own port and
          // protocol files arrive under their fixed output names.
          for (const char* list : {"ser_prot", "prot7s", "sbprtnew", "protonew", "keymap"})
            EXPECT_TRUE(board.lists.Has(list)) << list;
          EXPECT_FALSE(board.lists.Has("net_prot"));
          EXPECT_TRUE(board.lists.Has(std::string("in") + tag));
          EXPECT_TRUE(board.lists.Has(std::string("lv") + tag + ".flg"));
          break;
        case 'V':
          EXPECT_TRUE(board.lists.Has("v25_mpk_"));
          EXPECT_TRUE(board.lists.Has(std::string("out") + tag + ".lst"));
          break;
        case 'Q':
          for (const char* list : {"tcs_conv", "tcs_prot", "v25_supl", "vga_disp", "vga_main",
                                   "inp_conv", "out_conv"})
            EXPECT_TRUE(board.lists.Has(list)) << list;
          break;
        case 'P':
          for (const char* list : {"v25_tcs2", "tcs_conv", "v25_expl", "lev_conv"})
            EXPECT_TRUE(board.lists.Has(list)) << list;
          EXPECT_FALSE(board.lists.Has("v25_supl"));
          break;
        case 'M':
          EXPECT_TRUE(board.lists.Has("mx_route"));
          break;
      }
    }
    if (std::string(name) == "Plant") {
      EXPECT_EQ(types, (std::set<char>{'S', 'V', 'Q', 'X', 'P'}));
    }
  }
}

TEST(DemoSets, TheIncompleteSetFailsAtItsValveBoardForWantOfItsMpkList) {
  const ActivationOutcome outcome = Activate(DemoPlan("Incomplete"));
  ASSERT_EQ(outcome.checkError, "");
  ASSERT_EQ(outcome.boards.size(), 2u);
  EXPECT_TRUE(outcome.boards[0].written) << outcome.boards[0].error;
  EXPECT_EQ(outcome.boards[1].error, "Could not find list v25_mpk_");
}

TEST(DemoSets, SetsDifferInBoardsSoEveryChangeIsVisible) {
  // The demo shows LMHOSTS and the board records after each change: boards
  // of different sets must not share list files or names.
  std::set<std::string> files, names;
  size_t boards = 0;
  for (const SetPlan& plan : DemoSetPlans()) {
    for (const BoardPlan& board : plan.boards) {
      ++boards;
      char file[8];
      std::snprintf(file, sizeof file, "%02X%02X%02X", board.hardwareAddress[3],
                    board.hardwareAddress[4], board.hardwareAddress[5]);
      files.insert(file);
      names.insert(board.name);
      EXPECT_LE(board.name.size(), 8u);
    }
  }
  EXPECT_EQ(files.size(), boards);
  EXPECT_EQ(names.size(), boards);
}

TEST(BenchSet, ItsSizeTypesAndBoardsAreWhatWasAskedFor) {
  const unsigned long long total = 400 * 1024;
  const SetPlan plan = BenchSetPlan(80, total);
  ASSERT_EQ(plan.boards.size(), 80u);
  std::map<char, int> types;
  for (const BoardPlan& board : plan.boards) ++types[board.type];
  for (char type : std::string("SVQIPMKX")) EXPECT_GT(types[type], 0) << type;

  const std::string set = ComposeSetFile(BuildSetLists(plan));
  // The boards' own lists carry the bulk; the shared lists and the tables
  // add a little.
  EXPECT_GT(set.size(), total * 95 / 100);
  EXPECT_LT(set.size(), total * 115 / 100);

  const ActivationOutcome outcome = Activate(plan);
  ASSERT_EQ(outcome.checkError, "");
  EXPECT_TRUE(outcome.warnings.empty());
  unsigned long long written = 0;
  for (size_t i = 0; i < plan.boards.size(); ++i) {
    if (plan.boards[i].type == 'X') continue;
    EXPECT_TRUE(outcome.boards[i].written) << i << ": " << outcome.boards[i].error;
    written += outcome.boards[i].size;
  }
  // Each board gets its own lists and a few small shared ones, so the list
  // files together are about as large as the set: a change writes the set's
  // bytes about twice (complete.cfg and the list files), not once per board.
  EXPECT_GT(written, total * 6 / 10);
  EXPECT_LT(written, total * 15 / 10);
}

TEST(BoardCommandText, DecodesWellFormedMessagesAndNamesWhatIsWrongWithOthers) {
  std::string message("CLRFLS", 6);
  message.append("\x00\x40\x9D\x21\x07\x13", 6);
  message.append("\x00\x40\x9D\x21\x07\x11", 6);
  message.append(6, '\0');
  EXPECT_EQ(DescribeBoardCommand(message),
            "command CLRFLS to 2 boards: 00:40:9D:21:07:13, 00:40:9D:21:07:11");
  EXPECT_EQ(HexLines(message.substr(0, 8), "  "), "  43 4C 52 46 4C 53 00 40");
  EXPECT_EQ(HexLines(std::string(25, 'A'), "").find('\n'), 71u);

  EXPECT_NE(DescribeBoardCommand(message.substr(0, 23)).find("not a board command"),
            std::string::npos);
  std::string noEnd = message;
  noEnd[23] = 1;
  EXPECT_NE(DescribeBoardCommand(noEnd).find("end mark"), std::string::npos);
  std::string lower = message;
  lower[0] = 'c';
  EXPECT_NE(DescribeBoardCommand(lower).find("command name"), std::string::npos);
}

namespace {

// A UDP port of the loopback address that nothing uses at the moment.
unsigned short FreeUdpPort() {
  SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int size = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(probe);
  return ntohs(address.sin_port);
}

void SendDatagram(unsigned short port, const std::string& bytes) {
  SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(sender, bytes.data(), static_cast<int>(bytes.size()), 0,
         reinterpret_cast<sockaddr*>(&to), sizeof to);
  closesocket(sender);
}

class WinsockUser : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { WSACleanup(); }
};

}  // namespace

TEST_F(WinsockUser, TheListenerShowsEachDatagramAndEndsAfterTheCountOrTheTime) {
  const unsigned short port = FreeUdpPort();
  std::ostringstream out, err;
  std::atomic<int> status{-1};
  std::thread listener([&] {
    status = RunDemoTool({"listen", std::to_string(port), "--count", "1", "--seconds", "20"}, out,
                         err);
  });
  // Sending before the socket is bound would lose the datagram: repeat
  // until the listener has one (it ends after the first).
  std::string message("REBOOT", 6);
  message.append("\x00\x40\x9D\x21\x07\x11", 6);
  message.append(6, '\0');
  for (int i = 0; i < 100 && status == -1; ++i) {
    SendDatagram(port, message);
    Sleep(100);
  }
  listener.join();
  EXPECT_EQ(status.load(), kDemoOk) << err.str();
  const std::string shown = out.str();
  EXPECT_EQ(shown.find("listening on 127.0.0.1:" + std::to_string(port) + "\n"), 0u) << shown;
  EXPECT_NE(shown.find("received 18 bytes from 127.0.0.1:"), std::string::npos) << shown;
  EXPECT_NE(shown.find("  52 45 42 4F 4F 54 00 40 9D 21 07 11 00 00 00 00 00 00\n"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("command REBOOT to 1 board: 00:40:9D:21:07:11"), std::string::npos);

  std::ostringstream quietOut, quietErr;
  EXPECT_EQ(RunDemoTool({"listen", std::to_string(FreeUdpPort()), "--seconds", "1"}, quietOut,
                        quietErr),
            kDemoNothingReceived);
  EXPECT_NE(quietOut.str().find("no datagram within 1 seconds"), std::string::npos);
}

TEST(DemoTool, WritesTheListFoldersOnceAndRefusesBadArguments) {
  ScratchFolder scratch("demo-test");
  std::ostringstream out, err;
  ASSERT_EQ(RunDemoTool({"lists", scratch.path()}, out, err), kDemoOk) << err.str();
  EXPECT_NE(out.str().find("Incomplete: 2 boards"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("(left out on purpose: v25_mpk_)"), std::string::npos);
  // What the folder holds is exactly the set's lists, byte for byte.
  const SetPlan plant = DemoPlan("Plant");
  for (const NamedList& list : BuildSetLists(plant))
    EXPECT_EQ(ReadWholeFile(scratch.path() + "\\Plant\\" + list.name), list.data) << list.name;
  EXPECT_EQ(GetFileAttributesA((scratch.path() + "\\Incomplete\\v25_mpk_").c_str()),
            INVALID_FILE_ATTRIBUTES);

  // A second run would mix old files into the sets.
  std::ostringstream again, againErr;
  EXPECT_EQ(RunDemoTool({"lists", scratch.path()}, again, againErr), kDemoIo);
  EXPECT_NE(againErr.str().find("is not empty"), std::string::npos);

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"lists"},
                                             {"install", "a", "b"},
                                             {"listen"},
                                             {"listen", "0"},
                                             {"listen", "70000"},
                                             {"listen", "5000", "--count"},
                                             {"listen", "5000", "--seconds", "0"},
                                             {"frobnicate"}}) {
    std::ostringstream usageOut, usageErr;
    EXPECT_EQ(RunDemoTool(args, usageOut, usageErr), kDemoUsage)
        << (args.empty() ? std::string("(none)") : args[0]);
    EXPECT_NE(usageErr.str().find("Usage: korvane-demo"), std::string::npos);
  }
}
