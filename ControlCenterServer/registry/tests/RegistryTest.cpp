// The registry helpers against the real (Wine) registry, and rebuilding the
// board table from "Active Set\Boards" records in a private subtree of it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "registry/BoardRecord.h"
#include "registry/Registry.h"
#include "testing/RegistryTestSupport.h"
#include "Win32/ErrorText.h"

namespace {

using RegistryHelpers = RegistryTestSubtree;

TEST_F(RegistryHelpers, KeysAreOpenedCreatedAndDeletedWithTheirSubtrees) {
  EXPECT_FALSE(OpenKey(HKEY_LOCAL_MACHINE, Under("A").c_str()));
  CreateValue(CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str()).get(), "X", REG_SZ, "x", 2);
  // An existing key is opened, not replaced; an opened key takes writes.
  EXPECT_EQ(GetStringValueText(CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str()).get(), "X"), "x");
  UniqueKey opened = OpenKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str());
  ASSERT_TRUE(opened);
  CreateValue(opened.get(), "W", REG_DWORD, "\1\0\0\0", 4);
  CloseKey(opened);
  for (int i = 0; i < 25; ++i) RawSetDword(Under("A\\Many\\K" + std::to_string(i)), "V", i);
  RawSetDword(Under("Beside"), "V", 3);
  DeleteKey(HKEY_LOCAL_MACHINE, Under("A").c_str());
  EXPECT_FALSE(KeyExists(Under("A")));
  EXPECT_TRUE(KeyExists(Under("Beside")));
  // A missing key (and its missing parent) is made and removed; the parent stays, empty.
  DeleteKey(HKEY_LOCAL_MACHINE, Under("NoParent\\NoKey").c_str());
  EXPECT_EQ(Snapshot(Under("NoParent")), (TreeSnapshot{{"", {}}}));
}

TEST_F(RegistryHelpers, GettersReadWholeValuesAndFailuresRaiseTheirTexts) {
  RawSetString(kTestSubtree, "Long", std::string(20000, 'q'));
  RawSet(kTestSubtree, "NoBytes", REG_SZ, "", 0);
  RawSetString(kTestSubtree, "Empty", "");
  RawSet(kTestSubtree, "Unterminated", REG_SZ, "abc", 3);  // other writers do this
  RawSetString(kTestSubtree, nullptr, "the default");
  RawSetDword(kTestSubtree, "Port", 0x12345678);
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  EXPECT_EQ(GetDwordValue(key.get(), "Port"), 0x12345678u);
  char small[8] = {};
  EXPECT_EQ(GetValue(key.get(), "Empty", REG_SZ, small, sizeof small), 1u);
  EXPECT_EQ(GetStringValue(key.get(), "Long"), std::string(20000, 'q'));
  EXPECT_EQ(GetStringValue(key.get(), "NoBytes"), nullptr);
  EXPECT_EQ(GetStringValueText(key.get(), "NoBytes"), "");
  EXPECT_STREQ(GetStringValue(key.get(), "Empty"), "");
  EXPECT_STREQ(GetStringValue(key.get(), "Unterminated"), "abc");
  // The text stays this thread's until this thread reads again.
  const char* mine = GetStringValue(key.get(), "");
  std::thread([&] { GetStringValue(key.get(), "Long"); }).join();
  EXPECT_STREQ(mine, "the default");

  const HKEY bad = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x5a5a5a50));
  const std::string getError = "Error getting the registry value for \"";
  const std::string wrongType = "\" did not have the expected type.: ";
  ASSERT_FALSE(SystemErrorText(ERROR_FILE_NOT_FOUND).empty());
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { CreateKey(bad, "Some\\Key"); }, "Could not create key \"Some\\Key\""},
      {[&] { CreateValue(bad, "Timeout", REG_DWORD, "\0\0\0\0", 4); }, "Could not create value \"Timeout\""},
      // An empty path names the parent itself, which must never be emptied.
      {[&] { DeleteKey(HKEY_LOCAL_MACHINE, ""); }, "Could not delete key \"\""},
      {[&] { GetDwordValue(key.get(), "Missing"); },
       getError + "Missing\".  The error was: " + SystemErrorText(ERROR_FILE_NOT_FOUND)},
      {[&] { GetStringValue(key.get(), "Missing"); },
       getError + "Missing\".  The error was: " + SystemErrorText(ERROR_FILE_NOT_FOUND)},
      {[&] { GetValue(key.get(), "Long", REG_SZ, small, sizeof small); },
       getError + "Long\".  The error was: " + SystemErrorText(ERROR_MORE_DATA)},
      // Of the wrong type, and too long for the buffer too: still the wrong type.
      {[&] { GetValue(key.get(), "Port", REG_SZ, small, 8); }, "The registry value \"Port" + wrongType},
      {[&] { GetDwordValue(key.get(), "Empty"); }, "The registry value \"Empty" + wrongType},
      {[&] { GetDwordValue(key.get(), "Long"); }, "The registry value \"Long" + wrongType},
      {[&] { GetStringValue(key.get(), "Port"); }, "The registry value \"Port" + wrongType}};
  // A wrong-type text goes on with the failed check: its message part is compared.
  for (const auto& [call, text] : cases) {
    const std::string raised = RaisedText(call);
    EXPECT_EQ(text.back() == ' ' ? raised.substr(0, text.size()) : raised, text);
  }
  EXPECT_TRUE(KeyExists("SOFTWARE"));
}

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
    table.ElementAt(4).SetName("stale");  // every load starts by emptying the table
    return RaisedText([this] { LoadBoardList(table, HKEY_LOCAL_MACHINE, kBoards.c_str()); });
  }
  JArray<BoardRecord> table{0, 10, false};
};

TEST_F(BoardListLoad, ReadsEachRecordIntoItsNumbersPlace) {
  EXPECT_EQ(Load(), "<nothing raised>");  // no Boards key: empty, no error
  EXPECT_EQ(table.GetCount(), 0u);
  WriteBoard("00A0C9000001", 1, "SECOND", "10.0.0.3", 0x12345);
  WriteBoard("0a1B2c3D4e5F", 0, "FIRST");
  // The low 16 bits of the number count; too long texts are cut; a value
  // with no bytes is an empty text.
  WriteBoard("FFFFFFFFFFFE", 0x10002, "NAMEOVER8CHARS", "192.168.100.200.1");
  RawSet(kBoards + "\\FFFFFFFFFFFE", "Path", REG_SZ, "", 0);
  ASSERT_EQ(Load(), "<nothing raised>");
  ASSERT_EQ(table.GetCount(), 3u);
  const BoardRecord& first = table.ElementAt(0);
  EXPECT_EQ(std::memcmp(first.hardwareAddress, "\x0A\x1B\x2C\x3D\x4E\x5F", 6), 0);
  EXPECT_STREQ(first.name, "FIRST");
  EXPECT_STREQ(first.ipAddress, "10.0.0.2");
  EXPECT_EQ(first.crc, 0xBEEF);
  EXPECT_STREQ(first.Path(), "C:\\code\\0a1B2c3D4e5F");
  EXPECT_EQ(first.size, 4096u);
  EXPECT_EQ(table.ElementAt(1).crc, 0x2345);
  EXPECT_STREQ(table.ElementAt(1).name, "SECOND");
  EXPECT_STREQ(table.ElementAt(2).name, "NAMEOVER");
  EXPECT_STREQ(table.ElementAt(2).ipAddress, "192.168.100.200");
  ASSERT_NE(table.ElementAt(2).Path(), nullptr);
  EXPECT_STREQ(table.ElementAt(2).Path(), "");
  WriteBoard("FFFFFFFFFFFF", 2, "LATER");  // the same number again: the later record wins
  ASSERT_EQ(Load(), "<nothing raised>");
  EXPECT_STREQ(table.ElementAt(2).name, "LATER");
}

TEST_F(BoardListLoad, EveryFailureRaisesItsTextAndLeavesTheTableEmpty) {
  // A value the getters refuse fails the load as the board names below do.
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { WriteBoard("000000000003", 3); }, "The current configuration appears to be corrupt: "},
      {[] { WriteBoard("NotABoard", 2); }, "Could not get information for board NotABoard."},
      {[] { WriteBoard("0A1B2C3D4E5F60", 2); }, "Could not get information for board 0A1B2C3D4E5F60."},
      {[] { WriteBoard("0A1B2C3D4EXX", 2); }, "Could not get information for board 0A1B2C3D4EXX."}};
  for (const auto& [spoil, text] : cases) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kBoards.c_str());
    WriteBoard("000000000000", 0);
    WriteBoard("000000000001", 1);
    WriteBoard("000000000003", 2);
    spoil();
    const std::string raised = Load();
    // The corrupt-table text goes on with the failed check.
    EXPECT_EQ(text.back() == ' ' ? raised.substr(0, text.size()) : raised, text);
    EXPECT_EQ(table.GetCount(), 0u) << text;
  }
}

}  // namespace
