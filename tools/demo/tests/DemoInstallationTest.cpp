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

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What a set change of the plan's set writes for each network record (its
// error, or its lists when written), done the way the server does it in a
// scratch installation with the demo's common files.
struct Activation {
  std::vector<std::string> warnings, errors;
  std::vector<ListFileContents> lists;
  unsigned long long bytes = 0;  // of all list files
};

Activation Activate(const SetPlan& plan) {
  ScratchFolder root("demo-test");
  WriteInstallationFiles(root.path(), {plan.name});
  const std::string setPath = root / ("Comp\\" + plan.name + ".cfg");
  WriteWholeFile(setPath, ComposeSetFile(BuildSetLists(plan)));
  Activation result;
  ConfigurationContext context(root.path(), 0x0A000001, 4660);
  context.warningShower = [&](const char* text) { result.warnings.push_back(text); };
  unsigned short boards = 0;
  try {
    context.CheckConfiguration(setPath.c_str());
    context.SetCommonDirectory(root / "config\\common\\");
    context.LoadProtomap();
    boards = ActiveBoardCount(context.networkTable);
  } catch (char* text) {
    ADD_FAILURE() << plan.name << ": " << text;
  }
  const NetworkRecord* records = context.networkTable.As<NetworkRecord>();
  result.errors.resize(boards);
  result.lists.resize(boards);
  for (unsigned short board = 0; board < boards; ++board) {
    if (records[board].boardType == 'X') continue;
    const std::string path = context.ActiveDirectory() + BoardListName(records[board]) + ".cfg";
    try {
      result.bytes += WriteBoardListFile(context, board, path.c_str()).size;
      result.lists[board] = ParseListFile(ReadWholeFile(path));
      EXPECT_TRUE(result.lists[board].ended) << path << " has no end entry";
    } catch (char* text) {
      result.errors[board] = text;
    }
  }
  context.Reset();
  return result;
}

std::map<std::string, SetPlan> DemoPlans() {
  std::map<std::string, SetPlan> plans;
  for (const SetPlan& plan : DemoSetPlans()) plans[plan.name] = plan;
  return plans;
}

// What the demo script and its description rely on.
TEST(DemoSets, AreTheThreeSetsTheDemoShows) {
  std::map<std::string, SetPlan> plans = DemoPlans();
  std::map<std::string, std::string> types;
  // Boards of different sets share no list file (named after the last three
  // address bytes) and no name, so that LMHOSTS and the board records show
  // every change.
  std::set<std::string> files, names;
  for (const auto& [name, plan] : plans) {
    for (const BoardPlan& board : plan.boards) {
      files.insert(std::string(board.hardwareAddress + 3, board.hardwareAddress + 6));
      names.insert(board.name);
      EXPECT_LE(board.name.size(), 8u) << board.name;
      types[name] += board.type;
    }
  }
  EXPECT_EQ(types, (std::map<std::string, std::string>{
                       {"Plant", "SVQXSP"}, {"Line2", "SVM"}, {"Incomplete", "SV"}}));
  EXPECT_EQ(files.size(), 11u);
  EXPECT_EQ(names.size(), 11u);
  const std::vector<BoardPlan>& plant = plans["Plant"].boards;
  ASSERT_EQ(plant.size(), 6u);
  EXPECT_EQ(plant[0].name + plant[2].name + plant[3].name, "PRESS1PANEL1GATEWAY");
  EXPECT_EQ(std::string(plant[0].hardwareAddress, plant[0].hardwareAddress + 6) +
                std::string(plant[2].hardwareAddress, plant[2].hardwareAddress + 6),
            std::string("\x00\x40\x9D\x21\x07\x11\x00\x40\x9D\x21\x07\x13", 12));
}

TEST(DemoSets, EveryBoardGetsTheListsOfItsTypeButThoseOfIncomplete) {
  std::map<std::string, SetPlan> plans = DemoPlans();
  const std::map<char, std::vector<std::string>> typeLists = {
      // Port 7 is mapped for S boards: the board's own port and protocol
      // files arrive under their fixed output names.
      {'S', {"ser_prot", "prot7s", "sbprtnew", "protonew", "keymap"}},
      {'V', {"v25_mpk_"}},
      {'Q', {"tcs_conv", "tcs_prot", "v25_supl", "vga_disp", "vga_main", "inp_conv", "out_conv"}},
      {'P', {"v25_tcs2", "tcs_conv", "v25_expl", "lev_conv"}},
      {'M', {"mx_route"}}};
  for (const char* name : {"Plant", "Line2"}) {
    const SetPlan& plan = plans[name];
    const Activation result = Activate(plan);
    // A warning would stop the server on a message box in the middle of the demo.
    EXPECT_TRUE(result.warnings.empty()) << result.warnings.front();
    ASSERT_EQ(result.lists.size(), plan.boards.size()) << name;
    for (size_t i = 0; i < plan.boards.size(); ++i) {
      const char type = plan.boards[i].type;
      SCOPED_TRACE(plan.boards[i].name);
      EXPECT_EQ(result.errors[i], "");
      if (type == 'X') continue;
      std::vector<std::string> wanted = typeLists.at(type);
      wanted.insert(wanted.end(), {"IP", "COMMPORT", "sysparam", "timezone"});
      char tag[8];  // a board's own lists carry its number
      std::snprintf(tag, sizeof tag, "%04X", static_cast<unsigned>(i));
      const std::string own = tag;
      if (type == 'S') wanted.insert(wanted.end(), {"in" + own, "lv" + own + ".flg"});
      if (type == 'V') wanted.push_back("out" + own + ".lst");
      for (const std::string& list : wanted) EXPECT_TRUE(result.lists[i].Has(list)) << list;
    }
  }
  const Activation incomplete = Activate(plans["Incomplete"]);
  EXPECT_EQ(incomplete.errors, (std::vector<std::string>{"", "Could not find list v25_mpk_"}));
}

TEST(BenchSet, ItsSizeTypesAndBoardsAreWhatWasAskedFor) {
  const unsigned long long total = 400 * 1024;
  const SetPlan plan = BenchSetPlan(80, total);
  ASSERT_EQ(plan.boards.size(), 80u);
  std::string types;
  for (const BoardPlan& board : plan.boards) types += board.type;
  for (char type : std::string("SVQIPMKX")) EXPECT_NE(types.find(type), std::string::npos) << type;
  // The boards' own lists carry the bulk; the shared lists and the tables add a little.
  const size_t size = ComposeSetFile(BuildSetLists(plan)).size();
  EXPECT_TRUE(size > total * 95 / 100 && size < total * 115 / 100) << size;
  const Activation result = Activate(plan);
  EXPECT_TRUE(result.warnings.empty());
  for (const std::string& error : result.errors) EXPECT_EQ(error, "");
  // Each board gets its own lists and a few small shared ones: a change
  // writes the set's bytes about twice (complete.cfg and the list files),
  // not once per board.
  EXPECT_TRUE(result.bytes > total * 6 / 10 && result.bytes < total * 15 / 10) << result.bytes;
}

TEST(BoardCommandText, DecodesWellFormedMessagesAndNamesWhatIsWrongWithOthers) {
  const std::string message =
      std::string("CLRFLS\x00\x40\x9D\x21\x07\x13\x00\x40\x9D\x21\x07\x11\0\0\0\0\0\0", 24);
  EXPECT_EQ(DescribeBoardCommand(message),
            "command CLRFLS to 2 boards: 00:40:9D:21:07:13, 00:40:9D:21:07:11");
  EXPECT_EQ(HexLines(std::string(25, 'A'), "").find('\n'), 71u);  // 24 bytes a line
  std::string noEnd = message, lower = message;
  noEnd[23] = 1;
  lower[0] = 'c';
  const std::pair<std::string, const char*> wrong[] = {
      {message.substr(0, 23), "not a board command"}, {noEnd, "end mark"}, {lower, "command name"}};
  for (const auto& [bytes, says] : wrong)
    EXPECT_TRUE(Has(DescribeBoardCommand(bytes), says)) << says;
}

// A UDP port of the loopback address that nothing uses at the moment, or
// (with bytes) a datagram sent to one.
unsigned short Loopback(unsigned short port = 0, const std::string& bytes = "") {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (port) {
    sendto(s, bytes.data(), static_cast<int>(bytes.size()), 0,
           reinterpret_cast<sockaddr*>(&address), size);
  } else {
    bind(s, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  }
  closesocket(s);
  return ntohs(address.sin_port);
}

TEST(DemoTool, TheListenerShowsEachDatagramAndEndsAfterTheCountOrTheTime) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const unsigned short port = Loopback();
  std::ostringstream out, err;
  std::atomic<int> status{-1};
  std::thread listener([&] {
    status = RunDemoTool({"listen", std::to_string(port), "--count", "1", "--seconds", "20"}, out,
                         err);
  });
  // A datagram sent before the socket is bound is lost: repeat until the
  // listener has one (it ends after the first).
  const std::string message("REBOOT\x00\x40\x9D\x21\x07\x11\0\0\0\0\0\0", 18);
  for (int i = 0; i < 100 && status == -1; ++i, Sleep(100)) Loopback(port, message);
  listener.join();
  EXPECT_EQ(status.load(), kDemoOk) << err.str();
  const std::string shown = out.str();
  EXPECT_EQ(shown.find("listening on 127.0.0.1:" + std::to_string(port) + "\n"), 0u) << shown;
  for (const char* part : {"received 18 bytes from 127.0.0.1:",
                           "  52 45 42 4F 4F 54 00 40 9D 21 07 11 00 00 00 00 00 00\n",
                           "command REBOOT to 1 board: 00:40:9D:21:07:11"})
    EXPECT_TRUE(Has(shown, part)) << part << "\n" << shown;

  std::ostringstream quiet;
  EXPECT_EQ(RunDemoTool({"listen", std::to_string(Loopback()), "--seconds", "1"}, quiet, err),
            kDemoNothingReceived);
  EXPECT_TRUE(Has(quiet.str(), "no datagram within 1 seconds"));
  WSACleanup();
}

TEST(DemoTool, WritesTheListFoldersOnceAndRefusesBadArguments) {
  ScratchFolder scratch("demo-test");
  std::ostringstream out, err;
  ASSERT_EQ(RunDemoTool({"lists", scratch.path()}, out, err), kDemoOk) << err.str();
  EXPECT_TRUE(Has(out.str(), "Incomplete: 2 boards") &&
              Has(out.str(), "(left out on purpose: v25_mpk_)")) << out.str();
  // What the folder holds is exactly the set's lists, byte for byte.
  for (const NamedList& list : BuildSetLists(DemoPlans()["Plant"]))
    EXPECT_EQ(ReadWholeFile(scratch / ("Plant\\" + list.name)), list.data) << list.name;
  EXPECT_FALSE(setfile_test::FileExists(scratch / "Incomplete\\v25_mpk_"));
  // A second run would mix old files into the sets.
  EXPECT_EQ(RunDemoTool({"lists", scratch.path()}, out, err), kDemoIo);
  EXPECT_TRUE(Has(err.str(), "is not empty"));

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"lists"}, {"install", "a", "b"}, {"listen"}, {"listen", "0"}, {"listen", "70000"},
           {"listen", "5000", "--count"}, {"listen", "5000", "--seconds", "0"}, {"frobnicate"}}) {
    std::ostringstream usage;
    EXPECT_EQ(RunDemoTool(args, out, usage), kDemoUsage) << (args.empty() ? "" : args.back());
    EXPECT_TRUE(Has(usage.str(), "Usage: korvane-demo"));
  }
}

}  // namespace
