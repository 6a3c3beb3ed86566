// Which lists each board's file receives.
#include <gtest/gtest.h>

#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

using Names = std::vector<std::string>;

// Lists that the tests' description tables name, each with its own content.
std::vector<NamedList> With(std::vector<NamedList> lists, const Names& names) {
  for (const std::string& name : names) lists.push_back({name, "data of " + name});
  return lists;
}

TEST(FindPartnerBoard, SameNameUntilANegativeLinkAndAllAtOnceAgrees) {
  const std::vector<NetworkRecord> fixed = {Board("TWIN", 'P'), Board("LONE", 'S'), Board("TWIN", 'Q'),
                                            Board("STOP", 'S', 0, -1), Board("LONE", 'S')};
  // Record 1's walk ends at record 3.
  const unsigned short expected[] = {2, 1, 0, 3, 1};
  for (unsigned short board = 0; board < 5; ++board)
    EXPECT_EQ(FindPartnerBoard(fixed.data(), 5, board), expected[board]) << board;
  // Tables of few names and a few negative links anywhere (also on the
  // board itself, and twice), so that every way the search can end occurs.
  unsigned seed = 7;
  auto next = [&](unsigned range) { return (seed = seed * 1103515245u + 12345u) / 65536u % range; };
  for (int round = 0; round < 300; ++round) {
    std::vector<NetworkRecord> table(1 + next(24));
    for (NetworkRecord& record : table)
      record = Board(std::string(1, static_cast<char>('A' + next(4))).c_str(), 'S', 0, next(6) == 0 ? -1 : 1);
    const unsigned short count = static_cast<unsigned short>(table.size());
    const std::vector<unsigned short> partners = FindPartnerBoards(table.data(), count);
    ASSERT_EQ(partners.size(), count);
    for (unsigned short board = 0; board < count; ++board)
      ASSERT_EQ(partners[board], FindPartnerBoard(table.data(), count, board))
          << "round " << round << ", board " << board;
  }
  EXPECT_TRUE(FindPartnerBoards(nullptr, 3).empty());
}

TEST(CopyPartyLineLists, PartnersShareTheirRecords) {
  Installation install("partyline");
  install.Activate(
      With({{"networkd", Networkd({Board("TWIN", 'P', 1), Board("TWIN", 'Q', 2), Board("OTHER", 'P', 3)})},
            {"pl_desc0", Table({Rec(6).Num(0, 1).Byte(2, 2), Rec(6).Num(0, 2).Byte(2, 3)})}},
           {"inp_conv", "lev_conv", "out_conv", "v25_expl", "v25_supl"}));
  bool result = false;
  EXPECT_EQ(install.RunCopier(CopyPartyLineLists, 0, &result).Names(),
            (Names{"inp_conv", "lev_conv", "out_conv", "v25_expl"}));
  EXPECT_TRUE(result);
  EXPECT_EQ(install.RunCopier(CopyPartyLineLists, 2).Names(),
            (Names{"inp_conv", "lev_conv", "out_conv", "v25_supl"}));
}

TEST(CopyProtoLists, PortsCopyTheirProtocolListsOrTheProtomapsReplacement) {
  Installation install("proto");
  install.SetProtomap("# protocol 7 on S boards has its own list\n7 9 S altproto\n\nnever 1 S read\n");
  auto port = [](unsigned short board, unsigned char protocol) {
    return std::string(Rec(4).Num(0, board).Byte(3, protocol));
  };
  auto protocol = [](const char* name, unsigned char number) {
    return std::string(Rec(10).Name(0, name, 9).Byte(9, number));
  };
  install.Activate(
      With({{"networkd", Networkd({Board("S0", 'S', 1), Board("S1", 'S', 2), Board("S2", 'S', 3),
                                   Board("S3", 'S', 4), Board("Z4", 'Z', 5)})},
            {"sb_portp", Table({port(0, 'c'), port(0, 4), port(0, 16), port(0, 5), port(1, 'c'), port(2, 7),
                                port(3, 9), port(3, 7), port(4, 7)})},
            {"protocol", Table({protocol("proto4", 4), protocol("proto16", 16), protocol("proto5", 5),
                                protocol("protoc", 'c'), protocol("proto7", 7), protocol("proto9", 9)})}},
           {"tcs_conv", "proto4", "proto16", "proto5", "protoc", "proto7", "proto9", "altproto",
            "0002sbpt.cfg", "0002prot.cfg", "0003sbpt.cfg"}));
  // A port of protocol 'c' contributes nothing at all.
  EXPECT_EQ(install.RunCopier(CopyProtoLists, 0).Names(), (Names{"tcs_conv", "proto4", "proto16", "proto5"}));
  EXPECT_EQ(install.RunCopier(CopyProtoLists, 1).Names(), Names{});
  // The protomap replaces the protocol list and adds the board's port files.
  const ListFileContents replaced = install.RunCopier(CopyProtoLists, 2);
  EXPECT_EQ(replaced.Names(), (Names{"altproto", "sbprtnew", "protonew"}));
  EXPECT_EQ(replaced.Data("sbprtnew"), "data of 0002sbpt.cfg");
  EXPECT_EQ(replaced.Data("protonew"), "data of 0002prot.cfg");
  // The protomap record is for S boards only; its first empty line ended it.
  EXPECT_EQ(install.RunCopier(CopyProtoLists, 4).Names(), Names{"proto7"});
  EXPECT_EQ(install.context.protomap.size(), 1u);
  // A replaced port after its replacement copies nothing but still needs the port file.
  const ListFileContents after = install.RunCopier(CopyProtoLists, 3);
  EXPECT_EQ(after.Names(), (Names{"proto9", "sbprtnew"}));
  EXPECT_EQ(after.Data("sbprtnew"), "data of 0003sbpt.cfg");
  // A missing port file is required.
  install.SetProtomap("5 5 S proto5\n");
  install.context.LoadProtomap();
  EXPECT_EQ(RaisedBy([&] { install.RunCopier(CopyProtoLists, 0); }), "Could not find list 0000sbpt.cfg");
}

TEST(Protomap, RecordsAndMalformedLines) {
  Installation install("protomap");
  install.SetProtomap("# comment\n7 9 S alt7\n#another\n12 3 Q alt12 extra\n13 9 S unterminated");
  install.context.LoadProtomap();
  ASSERT_EQ(install.context.protomap.size(), 2u);
  const ProtomapRecord& second = install.context.protomap[1];
  EXPECT_EQ(second.protocol, 12);
  EXPECT_EQ(second.replacement, 3);
  EXPECT_EQ(second.boardType, 'Q');
  EXPECT_STREQ(second.listName, "alt12");
  EXPECT_EQ(FindProtomapRecord(install.context.protomap, 7, 'S'), &install.context.protomap[0]);
  EXPECT_EQ(FindProtomapRecord(install.context.protomap, 7, 'Q'), nullptr);
  const std::string line1 = "Line 1 of the PROTOMAP file ";
  const std::pair<std::string, std::string> malformed[] = {
      {"7 9 S\n", line1 + "does not hold a protocol number, a replacement protocol number, a board type "
                          "letter and a list name: 7 9 S"},
      {"#\n256 1 S name\n",
       "Line 2 of the PROTOMAP file has a protocol number that is not a number from 0 to 255: 256"},
      {"7 x S name\n", line1 + "has a replacement protocol number that is not a number from 0 to 255: x"},
      {"7 9 S ninechars\n", line1 + "names a list longer than 8 characters: ninechars"},
      {std::string(256, '1') + "\n", line1 + "is longer than 255 characters."}};
  for (const auto& [text, message] : malformed) {
    install.SetProtomap(text);
    EXPECT_EQ(RaisedBy([&] { install.context.LoadProtomap(); }), message);
    EXPECT_TRUE(install.context.protomap.empty());
  }
  DeleteFileA(install.Path("config\\common\\protomap").c_str());
  EXPECT_EQ(RaisedBy([&] { install.context.LoadProtomap(); }), "Could not open the PROTOMAP file");
}

TEST(CopyBoardLists, BrdlistsLinesUpToTheFirstShortOne) {
  Installation install("brdlists");
  install.SetBrdlists("common01 1 SVPQ\noptnl_01 0 SV\nvonly_01 1 V\nshort 1 S\nnever_01 1 SV\n");
  install.Activate(With({{"networkd", Networkd({Board("S", 'S', 1), Board("V", 'V', 2)})}},
                        {"common01", "vonly_01", "never_01"}));
  EXPECT_EQ(install.RunCopier(CopyBoardLists, 0).Names(), Names{"common01"});
  EXPECT_EQ(install.RunCopier(CopyBoardLists, 1).Names(), (Names{"common01", "vonly_01"}));
  // A last line without its line end is not used.
  install.SetBrdlists("common01 1 SV\nmissing1 1 V");
  EXPECT_EQ(install.RunCopier(CopyBoardLists, 1).Names(), Names{"common01"});
  const std::pair<std::string, std::string> refused[] = {
      {"common01 1 SV\nmissing1 1 V\n", "Could not find list missing1"},
      {"common01 1 SV\nonly_one_field_here\n",
       "Line 2 of brdlists does not hold a list name, a required flag and board type letters: "
       "only_one_field_here"},
      {"common01 yes SV\n", "Line 1 of brdlists has a required flag that is not a decimal number: yes"},
      {"common01 1 SV" + std::string(300, 'V') + "\n", "Line 1 of brdlists is longer than 255 characters."}};
  for (const auto& [text, message] : refused) {
    install.SetBrdlists(text);
    EXPECT_EQ(RaisedBy([&] { install.RunCopier(CopyBoardLists, 1); }), message);
  }
  DeleteFileA(install.Path("config\\common\\brdlists").c_str());
  EXPECT_EQ(RaisedBy([&] { install.RunCopier(CopyBoardLists, 1); }), "Could not open brdlists");
}

TEST(CopyVgaLists, OnlyWhenTheSetHasDisplays) {
  const std::vector<NetworkRecord> boards = {Board("B", 'B', 1), Board("Q", 'Q', 2)};
  Installation install("vga"), withDisplays("vga2");
  install.Activate(With({{"networkd", Networkd(boards)}}, {"vga_opts", "screen1"}));
  bool result = false;
  EXPECT_EQ(install.RunCopier(CopyVgaLists, 0, &result).Names(), Names{});
  EXPECT_TRUE(result);
  withDisplays.Activate(With({{"networkd", Networkd(boards)},
                              {"vga_disp", Table({Rec(12).Num(0, 0).Name(2, "screen1", 10),
                                                  Rec(12).Num(0, 1).Name(2, "screen1", 10)})}},
                             {"vga_opts", "screen1"}));
  EXPECT_EQ(withDisplays.RunCopier(CopyVgaLists, 0).Names(), (Names{"vga_disp", "screen1", "vga_opts"}));
  EXPECT_EQ(withDisplays.RunCopier(CopyVgaLists, 1).Names(), (Names{"vga_disp", "screen1"}));
}

TEST(CopyRemoteLists, MatrixListsOfTheBoardsProtocols) {
  Installation install("remote");
  auto matrix = [](unsigned char protocol, const char* name) {
    return std::string(Rec(18).Byte(9, protocol).Name(10, name));
  };
  install.Activate(With(
      {{"networkd", Networkd({Board("M0", 'M', 1), Board("M1", 'M', 2)})},
       {"sw_descr", Table({Rec(38).Num(20, 0).Byte(30, 1), Rec(38).Num(20, 0).Byte(30, 1),
                           Rec(38).Num(20, 1).Byte(30, 2)})},
       {"mat_prot", Table({matrix(1, "REM1"), matrix(1, " NONE"), matrix(2, "REM2"), matrix(1, "REM1B")})}},
      {"REM1", "REM2", "REM1B"}));
  EXPECT_EQ(install.RunCopier(CopyRemoteLists, 0).Names(), (Names{"REM1", "REM1B"}));
  EXPECT_EQ(install.RunCopier(CopyRemoteLists, 1).Names(), Names{"REM2"});
}

TEST(CopyPellixLists, SystemsOfTheBoardsDescriptions) {
  Installation install("pellix");
  install.Activate(
      With({{"networkd", Networkd({Board("I0", 'I', 1), Board("K1", 'K', 2), Board("I2", 'I', 3)})},
            {"mcs_desc", Table({Rec(46).Num(8, 9).Num(10, 9).Num(12, 1).Num(14, 0),
                                Rec(46).Num(8, 2).Num(10, 9).Num(12, 9).Num(14, 9)})},
            {"mcs_syst",
             Table({Rec(50).Num(0, 0).Name(18, " MACH1").Name(26, "SYS1").Name(34, "UNDEF").Name(42, "SYS3"),
                    Rec(50).Num(0, 1).Name(18, "").Name(26, "").Name(34, "SYS4").Name(42, "UNDO")})}},
           {"SYS1", "SYS1.FIL", "SYS3", "SYS4", "MACH1.mch"}));
  EXPECT_EQ(install.RunCopier(CopyPellixLists, 0).Names(), (Names{"SYS1", "SYS1.FIL", "SYS3", "MACH1.mch"}));
  EXPECT_EQ(install.RunCopier(CopyPellixLists, 1).Names(), (Names{"SYS1", "SYS1.FIL", "SYS3"}));
  // A blank machine name names no machine file.
  EXPECT_EQ(install.RunCopier(CopyPellixLists, 2).Names(), Names{"SYS4"});
}

TEST(CopyControlPanelLists, MissingSetsAreWarnedOfAndStopTheCopierByTheirTypeRecord) {
  Installation install("panel");
  auto panel = [](unsigned short board, unsigned char code, const char* in, const char* out, const char* f40,
                  const char* f48, const char* f56) {
    return std::string(Rec(72).Num(10, board).Byte(18, 0x38).Byte(19, code).Name(24, in).Name(32, out)
                           .Name(40, f40).Name(48, f48).Name(56, f56));
  };
  install.Activate(With(
      {{"networkd", Networkd({Board("S0", 'S', 1), Board("S1", 'S', 2), Board("S2", 'S', 3),
                              Board("V3", 'V', 4), Board("S4", 'S', 5)})},
       {"cp_spec0", Table({panel(0, 0x41, "INSET1", "OUTSET1", "F40", "F48", "F56"),
                           panel(0, 0x41, "INSET1", "", "", "", ""),
                           panel(1, 0x42, "NOSET", "OUTSET1", "", "", ""),  // missing, flag 0
                           panel(2, 0x30, "NOSET", "", "", "", ""),         // missing, no input set on 0x3830
                           panel(3, 0x43, "NOSET", "", "F40", "", ""),      // missing, flag set
                           panel(4, 0x44, "NOSET", "", "", "", "")})},      // missing, type unknown
       {"cp_type.exp",
        Table({Rec(6).Byte(0, 0x38).Byte(1, 0x42).Num(2, 0), Rec(6).Byte(0, 0x38).Byte(1, 0x43).Num(2, 1),
               Rec(6).Byte(0, 0x38).Byte(1, 0x42).Num(2, 1)})},
       {"OUTSET1.lst", Table({Rec(12).Name(0, "LEVEL1"), Rec(12).Name(0, ""), Rec(12).Name(0, "LEVEL2")})},
       {"sb_portp", ""},
       {"protocol", ""}},
      {"INSET1", "OUTSET1", "LEVEL1", "LEVEL1.flg", "LEVEL2", "F40", "F40.flg", "F48", "F56"}));
  bool result = false;
  EXPECT_EQ(install.RunCopier(CopyControlPanelLists, 0, &result).Names(),
            (Names{"INSET1", "OUTSET1", "OUTSET1.lst", "LEVEL1", "LEVEL1.flg", "LEVEL2", "F40", "F40.flg",
                   "F48", "F56"}));
  EXPECT_TRUE(result);
  // The first type record for 0x3842 has flag 0: a missing input set stops the copier.
  install.RunCopier(CopyControlPanelLists, 1, &result);
  EXPECT_FALSE(result);
  EXPECT_EQ(install.warnings,
            (Names{"Could not find level set LEVEL2.flg for an output set (old output set?)",
                   "Could not find input set NOSET."}));
  // A missing input set is accepted for panels without one.
  install.warnings.clear();
  install.RunCopier(CopyControlPanelLists, 2, &result);
  EXPECT_TRUE(result);
  EXPECT_EQ(install.RunCopier(CopyControlPanelLists, 3, &result).Names(), (Names{"F40", "F40.flg"}));
  EXPECT_TRUE(result);
  EXPECT_TRUE(install.warnings.empty());
  install.RunCopier(CopyControlPanelLists, 4, &result);
  EXPECT_FALSE(result);
  EXPECT_EQ(install.warnings, Names{"Could not find input set NOSET."});
  // The set change names the failed copier by board type.
  EXPECT_EQ(RaisedBy([&] { install.WriteBoard(1); }), "Could not copy control panel lists");
}

}  // namespace
