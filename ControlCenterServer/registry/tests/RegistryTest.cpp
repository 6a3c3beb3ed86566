// The registry helpers against the real (Wine) registry.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "registry/Registry.h"
#include "testing/RegistryTestSupport.h"
#include "Win32/ErrorText.h"

namespace {

using RegistryHelpers = RegistryTestSubtree;

TEST_F(RegistryHelpers, KeysAreOpenedCreatedAndDeletedWithTheirSubtrees) {
  EXPECT_FALSE(OpenKey(HKEY_LOCAL_MACHINE, Under("A").c_str()));
  UniqueKey created = CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str());
  CreateValue(created.get(), "X", REG_SZ, "x", 2);
  CloseKey(created);
  CloseKey(created);  // an empty holder is ignored
  UniqueKey opened = OpenKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str());
  ASSERT_TRUE(opened);
  // An existing key is opened, not replaced; an opened key takes writes.
  EXPECT_EQ(GetStringValueText(CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str()).get(), "X"), "x");
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

}  // namespace
