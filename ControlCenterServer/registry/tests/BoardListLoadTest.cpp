// Board records, and rebuilding the board table from "Active Set\Boards"
// records in a private subtree of the real registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "registry/BoardRecord.h"
#include "testing/RegistryTestSupport.h"
#include "Win32/ErrorText.h"

namespace {

const std::string kBoards = Under("Active Set\\Boards");

void WriteBoard(const std::string& keyName, DWORD number, const char* name = "BRD",
                const char* address = "10.0.0.2", DWORD crc = 0xBEEF) {
  const std::string key = kBoards + "\\" + keyName;
  RawSetString(key, "Name", name);
  RawSetString(key, "Address", address);
  RawSetDword(key, "CRC", crc);
  RawSetDword(key, "Number", number);
  RawSetString(key, "Path", "C:\\code\\" + keyName);
  RawSetDword(key, "Size", 4096 + number);
  RawSetString(key, "Type", "A");
}

class BoardListLoad : public RegistryTestSubtree {
 protected:
  std::string Load() {
    // Something stale in the table first: every load starts by emptying it.
    table.ElementAt(4).SetName("stale");
    return RaisedText([this] { LoadBoardList(table, HKEY_LOCAL_MACHINE, kBoards.c_str()); });
  }
  JArray<BoardRecord> table{0, 10, false};
};

TEST_F(BoardListLoad, ReadsEachRecordIntoItsNumbersPlace) {
  EXPECT_EQ(Load(), "<nothing raised>");  // no Boards key: empty, no error
  EXPECT_EQ(table.GetCount(), 0u);

  WriteBoard("00A0C9000001", 1, "SECOND", "10.0.0.3", 0x12345);
  WriteBoard("0a1B2c3D4e5F", 0, "FIRST");
  WriteBoard("FFFFFFFFFFFE", 0x10002, "NAMEOVER8CHARS", "192.168.100.200.1");  // low 16 bits count
  WriteBoard("FFFFFFFFFFFF", 2, "LATER");  // the same number again: the later record wins
  RawSet(kBoards + "\\FFFFFFFFFFFE", "Path", REG_SZ, "", 0);
  ASSERT_EQ(Load(), "<nothing raised>");
  ASSERT_EQ(table.GetCount(), 3u);

  const BoardRecord& first = table.ElementAt(0);
  EXPECT_EQ(std::memcmp(first.hardwareAddress, "\x0A\x1B\x2C\x3D\x4E\x5F", 6), 0);
  EXPECT_STREQ(first.name, "FIRST");
  EXPECT_STREQ(first.ipAddress, "10.0.0.2");
  EXPECT_EQ(first.crc, 0xBEEF);
  EXPECT_EQ(first.BoardNum(), 0);
  EXPECT_STREQ(first.Path(), "C:\\code\\0a1B2c3D4e5F");
  EXPECT_EQ(first.size, 4096u);
  EXPECT_EQ(table.ElementAt(1).crc, 0x2345);
  EXPECT_STREQ(table.ElementAt(1).name, "SECOND");
  EXPECT_STREQ(table.ElementAt(2).name, "LATER");

  RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kBoards + "\\FFFFFFFFFFFF").c_str());
  ASSERT_EQ(Load(), "<nothing raised>");
  // Texts that do not fit are cut; a value with no bytes is an empty text.
  EXPECT_STREQ(table.ElementAt(2).name, "NAMEOVER");
  EXPECT_STREQ(table.ElementAt(2).ipAddress, "192.168.100.200");
  ASSERT_NE(table.ElementAt(2).Path(), nullptr);
  EXPECT_STREQ(table.ElementAt(2).Path(), "");
}

TEST_F(BoardListLoad, EveryFailureRaisesItsTextAndLeavesTheTableEmpty) {
  WriteBoard("000000000000", 0);
  WriteBoard("000000000001", 1);
  WriteBoard("000000000003", 3);
  EXPECT_STARTS_WITH(Load(),
                     "The current configuration appears to be corrupt: Condition "
                     "(boardList[i].BoardNum() != (unsigned short)-1) failed in file BoardRecord.cpp(");
  EXPECT_EQ(table.GetCount(), 0u);

  WriteBoard("000000000003", 2);
  RawSetString(kBoards + "\\000000000003", "CRC", "BEEF");
  EXPECT_STARTS_WITH(Load(), "The registry value \"CRC\" did not have the expected type.");
  EXPECT_EQ(table.GetCount(), 0u);

  WriteBoard("000000000003", 2);
  HKEY key = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kBoards + "\\000000000003").c_str(), 0, KEY_ALL_ACCESS, &key);
  RegDeleteValueA(key, "Size");
  RegCloseKey(key);
  EXPECT_EQ(Load(), "Error getting the registry value for \"Size\".  The error was: " +
                        SystemErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(table.GetCount(), 0u);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kBoards + "\\000000000003").c_str());

  for (const char* bad : {"NotABoard", "0A1B2C3D4E5F60", "0A1B2C3D4EXX"}) {
    WriteBoard(bad, 2);
    EXPECT_EQ(Load(), std::string("Could not get information for board ") + bad + ".");
    EXPECT_EQ(table.GetCount(), 0u);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kBoards + "\\" + bad).c_str());
  }
  EXPECT_EQ(Load(), "<nothing raised>");
  EXPECT_EQ(table.GetCount(), 2u);
}

}  // namespace
