// Board records: the record's own copy rules, and rebuilding the table from
// "Active Set\Boards" records in a private subtree of the real registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "BoardRecord.h"
#include "RegistryTestSupport.h"
#include "Win32/ErrorText.h"

namespace {

const std::string kBoards = Under("Active Set\\Boards");
const std::string kCorruptPrefix =
    "The current configuration appears to be corrupt: Condition (";

void WriteBoard(const std::string& keyName, DWORD number, const char* name = "BRD",
                const char* address = "10.0.0.2", const char* path = "NOPATH", DWORD crc = 0xBEEF,
                DWORD size = 4096) {
  const std::string key = kBoards + "\\" + keyName;
  RawSetString(key, "Name", name);
  RawSetString(key, "Address", address);
  RawSetDword(key, "CRC", crc);
  RawSetDword(key, "Number", number);
  RawSetString(key, "Path", path);
  RawSetDword(key, "Size", size);
  RawSetString(key, "Type", "A");
}

class BoardListLoad : public RegistryTestSubtree {
 protected:
  // Starts with something in the table, so that every test also shows the
  // load empties it first.
  void SetUp() override {
    RegistryTestSubtree::SetUp();
    table.ElementAt(4).SetName("stale");
  }

  std::string Load() {
    return RaisedText([this] { LoadBoardList(table, HKEY_LOCAL_MACHINE, kBoards.c_str()); });
  }

  JArray<BoardRecord> table{0, 10, false};
};

TEST(BoardRecord, ANewRecordIsUnset) {
  BoardRecord record;
  const unsigned char zeros[16] = {};
  EXPECT_EQ(std::memcmp(record.hardwareAddress, zeros, 6), 0);
  EXPECT_EQ(std::memcmp(record.name, zeros, sizeof record.name), 0);
  EXPECT_EQ(std::memcmp(record.ipAddress, zeros, sizeof record.ipAddress), 0);
  EXPECT_EQ(record.crc, 0xFFFF);
  EXPECT_EQ(record.BoardNum(), 0xFFFF);
  EXPECT_EQ(record.Path(), nullptr);
  EXPECT_EQ(record.size, 0u);
}

TEST(BoardRecord, CopiesOwnTheirPathAndCutTextsToTheFields) {
  BoardRecord original;
  original.SetPath("C:\\boards\\one");
  original.SetName("LONGNAME123");
  original.SetIpAddress("123.123.123.123.9");
  original.boardNumber = 3;
  EXPECT_STREQ(original.name, "LONGNAME");
  EXPECT_STREQ(original.ipAddress, "123.123.123.123");

  BoardRecord copy(original);
  BoardRecord assigned;
  assigned.SetPath("old");
  assigned = original;
  original.SetPath("changed");
  EXPECT_STREQ(copy.Path(), "C:\\boards\\one");
  EXPECT_STREQ(assigned.Path(), "C:\\boards\\one");
  EXPECT_NE(copy.Path(), assigned.Path());
  EXPECT_EQ(copy.BoardNum(), 3);
  EXPECT_STREQ(assigned.name, "LONGNAME");
  assigned = assigned;
  EXPECT_STREQ(assigned.Path(), "C:\\boards\\one");
  original.SetPath(nullptr);
  EXPECT_EQ(original.Path(), nullptr);
}

TEST_F(BoardListLoad, WithoutABoardsKeyTheTableIsEmptyAndNothingIsRaised) {
  EXPECT_EQ(Load(), "<nothing raised>");
  EXPECT_EQ(table.GetCount(), 0u);
}

TEST_F(BoardListLoad, ReadsEachRecordIntoItsNumbersPlace) {
  WriteBoard("00A0C9000001", 1, "SECOND", "10.0.0.3", "C:\\code\\b.bin", 0x12345, 77);
  WriteBoard("0a1B2c3D4e5F", 0, "FIRST", "10.0.0.2", "NOPATH", 0xBEEF, 4096);
  WriteBoard("FFFFFFFFFFFF", 0x10002, "THIRD");  // only the low 16 bits are the number

  ASSERT_EQ(Load(), "<nothing raised>");
  ASSERT_EQ(table.GetCount(), 3u);

  const BoardRecord& first = table.ElementAt(0);
  const unsigned char address[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  EXPECT_EQ(std::memcmp(first.hardwareAddress, address, 6), 0);
  EXPECT_STREQ(first.name, "FIRST");
  EXPECT_STREQ(first.ipAddress, "10.0.0.2");
  EXPECT_EQ(first.crc, 0xBEEF);
  EXPECT_EQ(first.BoardNum(), 0);
  EXPECT_STREQ(first.Path(), "NOPATH");
  EXPECT_EQ(first.size, 4096u);

  const BoardRecord& second = table.ElementAt(1);
  EXPECT_STREQ(second.name, "SECOND");
  EXPECT_EQ(second.crc, 0x2345);
  EXPECT_STREQ(second.Path(), "C:\\code\\b.bin");
  EXPECT_EQ(second.size, 77u);
  EXPECT_EQ(table.ElementAt(2).BoardNum(), 2);
  EXPECT_EQ(table.ElementAt(2).hardwareAddress[5], 0xFF);
}

TEST_F(BoardListLoad, TheLaterOfTwoRecordsWithOneNumberWins) {
  WriteBoard("000000000001", 0, "EARLIER");
  WriteBoard("000000000002", 0, "LATER");
  ASSERT_EQ(Load(), "<nothing raised>");
  ASSERT_EQ(table.GetCount(), 1u);
  EXPECT_STREQ(table.ElementAt(0).name, "LATER");
  EXPECT_EQ(table.ElementAt(0).hardwareAddress[5], 2);
}

TEST_F(BoardListLoad, TextsWithNoBytesBecomeEmptyAndLongOnesAreCut) {
  WriteBoard("000000000001", 0, "NAMEOVER8CHARS", "192.168.100.200.1");
  RawSet(kBoards + "\\000000000001", "Path", REG_SZ, "", 0);
  WriteBoard("000000000002", 1);
  RawSet(kBoards + "\\000000000002", "Name", REG_SZ, "", 0);
  RawSet(kBoards + "\\000000000002", "Address", REG_SZ, "", 0);
  ASSERT_EQ(Load(), "<nothing raised>");
  EXPECT_STREQ(table.ElementAt(0).name, "NAMEOVER");
  EXPECT_STREQ(table.ElementAt(0).ipAddress, "192.168.100.200");
  ASSERT_NE(table.ElementAt(0).Path(), nullptr);
  EXPECT_STREQ(table.ElementAt(0).Path(), "");
  EXPECT_STREQ(table.ElementAt(1).name, "");
  EXPECT_STREQ(table.ElementAt(1).ipAddress, "");
}

TEST_F(BoardListLoad, AGapInTheNumbersIsCorruptAndEmptiesTheTable) {
  WriteBoard("000000000000", 0);
  WriteBoard("000000000001", 1);
  WriteBoard("000000000003", 3);
  std::string text = Load();
  EXPECT_EQ(text.rfind(kCorruptPrefix + "boardList[i].BoardNum() != (unsigned short)-1) "
                                        "failed in file BoardRecord.cpp(",
                       0),
            0u)
      << text;
  EXPECT_EQ(table.GetCount(), 0u);
}

TEST_F(BoardListLoad, AMissingOrMistypedValueFailsTheLoadWithTheGettersText) {
  WriteBoard("000000000000", 0);
  WriteBoard("000000000001", 1);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kBoards + "\\000000000001").c_str(), 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  RegDeleteValueA(key, "Size");
  RegCloseKey(key);
  EXPECT_EQ(Load(), std::string("Error getting the registry value for \"Size\".  The error was: ") +
                        SystemErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(table.GetCount(), 0u);

  WriteBoard("000000000001", 1);
  RawSetString(kBoards + "\\000000000001", "CRC", "BEEF");
  std::string text = Load();
  EXPECT_EQ(text.rfind("The registry value \"CRC\" did not have the expected type.: Condition "
                       "(dtype == type)",
                       0),
            0u)
      << text;
  EXPECT_EQ(table.GetCount(), 0u);
}

TEST_F(BoardListLoad, AKeyThatNamesNoHardwareAddressFailsTheLoad) {
  WriteBoard("000000000000", 0);
  for (const char* bad : {"NotABoard", "0A1B2C3D4E5F60", "0A1B2C3D4EXX", "0A1B2C3D4E5F0A1B2C"}) {
    WriteBoard(bad, 1);
    EXPECT_EQ(Load(), std::string("Could not get information for board ") + bad + ".");
    EXPECT_EQ(table.GetCount(), 0u);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kBoards + "\\" + bad).c_str());
  }
  EXPECT_EQ(Load(), "<nothing raised>");
  EXPECT_EQ(table.GetCount(), 1u);
}

}  // namespace
