// Malformed input, fed in bulk: randomly corrupted set files through
// validation and the per-board list selection, random lines through the
// "brdlists" and "protomap" readers. Nothing may crash or hang, every
// failure must be a raised text, and a failed validation leaves no
// complete.cfg behind. The generator is seeded, so a failure repeats.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

std::vector<NamedList> RichSet() {
  const std::vector<NetworkRecord> boards = {
      Board("SB", 'S', 1), Board("VB", 'V', 2), Board("PB", 'P', 3), Board("QB", 'Q', 4),
      Board("MB", 'M', 5), Board("IB", 'I', 6), Board("KB", 'K', 7), XBoard("XB", 10, 0, 0, 9),
      Board("BB", 'B', 8), Board("SB", 'S', 9)};
  std::vector<NamedList> lists = {
      {"networkd", Networkd(boards)},
      {"pl_desc0", Table({Rec(6).Num(0, 2).Byte(2, 2), Rec(6).Num(0, 3).Byte(2, 3)})},
      {"sw_descr", Table({Rec(38).Num(20, 4).Byte(30, 1)})},
      {"mat_prot", Table({Rec(18).Byte(9, 1).Name(10, "REM1")})},
      {"sb_portp", Table({Rec(4).Num(0, 0).Byte(3, 4), Rec(4).Num(0, 0).Byte(3, 7),
                          Rec(4).Num(0, 5).Byte(3, 5), Rec(4).Num(0, 8).Byte(3, 'c')})},
      {"protocol", Table({Rec(10).Name(0, "proto4", 9).Byte(9, 4), Rec(10).Name(0, "proto5", 9).Byte(9, 5),
                          Rec(10).Name(0, "proto7", 9).Byte(9, 7)})},
      {"cp_spec0", Table({std::string(Rec(72).Num(10, 0).Byte(18, 0x38).Byte(19, 0x41).Name(24, "INSET1")
                                          .Name(32, "OUTSET1").Name(40, "F40").Name(48, "F48").Name(56, "F56")),
                          std::string(Rec(72).Num(10, 1).Byte(18, 0x38).Byte(19, 0x30).Name(24, "NOSET")
                                          .Name(32, "").Name(40, "").Name(48, "").Name(56, ""))})},
      {"cp_type.exp", Table({Rec(6).Byte(0, 0x38).Byte(1, 0x41).Num(2, 0)})},
      {"OUTSET1.lst", Table({Rec(12).Name(0, "LEVEL1")})},
      {"mcs_desc", Table({Rec(46).Num(8, 5).Num(10, 6).Num(12, 9).Num(14, 9)})},
      {"mcs_syst", Table({Rec(50).Num(0, 0).Name(18, "MACH").Name(26, "SYS1").Name(34, "SYS2").Name(42, "UND")})},
      {"vga_disp", Table({Rec(12).Num(0, 3).Name(2, "screen", 10), Rec(12).Num(0, 8).Name(2, "screen", 10)})},
  };
  for (const char* name : {"common01", "v25_mpk_", "v25_tcs2", "tcs_conv", "inp_conv", "lev_conv",
                           "out_conv", "v25_expl", "v25_supl", "REM1", "proto4", "proto5", "proto7",
                           "altproto", "0000sbpt.cfg", "0000prot.cfg", "INSET1", "OUTSET1", "LEVEL1",
                           "LEVEL1.flg", "F40", "F48", "F56", "SYS1", "SYS1.FIL", "SYS2", "MACH.mch",
                           "screen", "vga_opts", "odd"})
    lists.push_back({name, std::string(name) + " data"});
  return lists;
}

void FixCrc(std::string& set) {
  if (set.size() < 6) return;
  // The CRC runs up to the end entry; past it a set may hold anything.
  const SetFileLayout layout = ParseSetFile(set);
  size_t end = set.size();
  if (layout.endFound) {
    end = kSetHeaderSize;
    for (const SetFileEntry& entry : layout.entries)
      end = static_cast<size_t>(entry.offset + entry.length + (entry.length & 1));
    end += kListDefSize;
  }
  const unsigned short crc = Crc16Update(kCrc16Start, set.data() + 6, end - 6);
  set[4] = static_cast<char>(crc & 0xFF);
  set[5] = static_cast<char>(crc >> 8);
}

void Corrupt(std::string& set, std::mt19937& random) {
  auto pick = [&](size_t limit) { return static_cast<size_t>(random() % (limit ? limit : 1)); };
  const SetFileLayout layout = ParseSetFile(set);
  switch (random() % 7) {
    case 0:  // any byte
      if (!set.empty()) set[pick(set.size())] = static_cast<char>(random());
      break;
    case 1:  // a list length: random, past the end, or near 0xFFFFFFFF
      if (!layout.entries.empty()) {
        const size_t at = static_cast<size_t>(layout.entries[pick(layout.entries.size())].offset) - 4;
        const unsigned long choices[] = {static_cast<unsigned long>(random()), 0xFFFFFFFFul, 0xFFFFFFFEul,
                                         0x7FFFFFFFul, static_cast<unsigned long>(set.size()),
                                         static_cast<unsigned long>(pick(64))};
        WriteBigEndian32(reinterpret_cast<unsigned char*>(&set[at]), choices[pick(6)]);
      }
      break;
    case 2:  // cut short
      set.resize(pick(set.size() + 1));
      break;
    case 3:  // a name without its NUL, or an empty name
      if (!layout.entries.empty()) {
        const size_t at = static_cast<size_t>(layout.entries[pick(layout.entries.size())].offset) - 18;
        if (random() % 2) {
          for (size_t i = 0; i < kListNameSize; ++i) set[at + i] = 'N';
        } else {
          set[at] = 0;
        }
      }
      break;
    case 4:  // the end entry gone or turned into a list
      if (set.size() >= 18) set[set.size() - 18] = (random() % 2) ? 'E' : set[set.size() - 18];
      if (random() % 2 && set.size() >= 18) set.resize(set.size() - 18);
      break;
    case 5:  // bytes inserted
      set.insert(pick(set.size() + 1), std::string(1 + pick(40), static_cast<char>(random())));
      break;
    default:  // a burst of random bytes in a table
      for (int i = 0; i < 16 && !set.empty(); ++i) set[pick(set.size())] = static_cast<char>(random());
      break;
  }
}

TEST(Robustness, CorruptedSetFilesFailCleanly) {
  Installation install("fuzz");
  install.SetBrdlists("common01 1 SVPQMIKB\nvga_opts 0 B\n");
  install.SetProtomap("7 9 S altproto\n");
  const std::string good = ComposeSetFile(RichSet());
  const std::string path = install.Path("Comp\\fuzz.cfg");
  const std::string boardPath = install.Path("active\\board.cfg");
  std::mt19937 random(20240611);
  int accepted = 0;
  int boardFiles = 0;
  const auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < 1500; ++round) {
    std::string set = good;
    const int mutations = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < mutations; ++i) Corrupt(set, random);
    if (random() % 2) FixCrc(set);
    WriteFile(path, set);

    bool valid = false;
    try {
      valid = install.context.CheckConfiguration(path.c_str());
    } catch (char* text) {
      ASSERT_NE(text, nullptr);
      ASSERT_FALSE(FileExists(install.CompletePath())) << "round " << round << ": " << text;
      ASSERT_FALSE(install.context.sourceFile) << "round " << round;
    }
    if (valid) {
      ++accepted;
      install.context.LoadProtomap();
      // Every other board, alternating by round, keeps the run short while
      // each board type still meets its corrupted tables.
      const unsigned short boards = ActiveBoardCount(install.context.networkTable);
      for (unsigned short board = round % 2; board < boards; board += 2) {
        if (install.context.networkTable.As<NetworkRecord>()[board].boardType == 'X') continue;
        try {
          WriteBoardListFile(install.context, board, boardPath.c_str());
          ++boardFiles;
        } catch (char* text) {
          ASSERT_NE(text, nullptr);
          ASSERT_FALSE(install.context.targetFile) << "round " << round;
        }
      }
    }
    install.context.Reset();
    DeleteFileA(install.CompletePath().c_str());
    DeleteFileA(boardPath.c_str());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // Enough sets got through validation for the copiers to meet corrupted
  // tables too.
  EXPECT_GT(accepted, 100);
  EXPECT_GT(boardFiles, 100);
  RecordProperty("seconds", std::to_string(seconds));
}

std::string RandomLine(std::mt19937& random) {
  static const char kAlphabet[] = "0123456789 SVPQXB#\t\r\0.abcdefghijklmnopqrstuvwxyz_";
  const size_t length = random() % 4 == 0 ? random() % 320 : random() % 40;
  std::string line;
  for (size_t i = 0; i < length; ++i) line += kAlphabet[random() % (sizeof kAlphabet - 1)];
  if (random() % 5 == 0) line = std::to_string(random() % 400) + " " + std::to_string(random() % 400) + " " + line;
  return line;
}

TEST(Robustness, RandomDescriptionLinesParseOrRaise) {
  ScratchFolder folder("lines");
  const std::string path = folder / "lines.txt";
  std::mt19937 random(77);
  int brdlistsEntries = 0;
  int protomapRecords = 0;
  for (int round = 0; round < 600; ++round) {
    std::string text;
    const int lines = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < lines; ++i) {
      text += RandomLine(random);
      if (i + 1 < lines || random() % 2) text += '\n';
    }
    WriteFile(path, text);
    for (int pass = 0; pass < 2; ++pass) {
      UniqueFile file(std::fopen(path.c_str(), "r"));
      ASSERT_TRUE(file);
      try {
        if (pass == 0) {
          BrdlistsReader reader(file.get());
          BrdlistsEntry entry;
          for (int guard = 0; reader.Next(entry); ++guard) {
            ASSERT_LT(guard, 10) << "brdlists reader does not end";
            EXPECT_FALSE(entry.listName.empty());
            ++brdlistsEntries;
          }
          EXPECT_FALSE(reader.Next(entry));  // stays ended
        } else {
          for (const ProtomapRecord& record : ReadProtomap(file.get())) {
            EXPECT_LE(std::strlen(record.listName), 8u);
            ++protomapRecords;
          }
        }
      } catch (char* message) {
        EXPECT_GT(std::strlen(message), 10u);
      }
    }
  }
  for (int round = 0; round < 3000; ++round) {
    try {
      const ProtomapRecord record = ParseProtomapLine(RandomLine(random), round);
      EXPECT_LE(std::strlen(record.listName), 8u);
    } catch (char* message) {
      EXPECT_NE(std::string(message).find("PROTOMAP"), std::string::npos);
    }
  }
  EXPECT_GT(brdlistsEntries + protomapRecords, 0);
}

}  // namespace
