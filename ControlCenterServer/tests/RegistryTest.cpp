// The registry helpers against the real (Wine) registry, in a private
// subtree of HKEY_LOCAL_MACHINE.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "Registry.h"
#include "RegistryTestSupport.h"
#include "Win32/ErrorText.h"

namespace {

// A handle no registry call accepts.
const HKEY kBadKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x5a5a5a50));

std::string GetErrorText(const char* name, DWORD code) {
  return std::string("Error getting the registry value for \"") + name +
         "\".  The error was: " + SystemErrorText(code);
}

std::string WrongTypePrefix(const char* name, const char* condition) {
  return std::string("The registry value \"") + name +
         "\" did not have the expected type.: Condition (" + condition +
         ") failed in file Registry.cpp(";
}

using RegistryKeys = RegistryTestSubtree;

TEST_F(RegistryKeys, OpenKeyOpensExistingKeysAndReturnsEmptyForMissingOnes) {
  EXPECT_FALSE(OpenKey(HKEY_LOCAL_MACHINE, Under("Missing").c_str()));
  RawSetDword(Under("Present"), "V", 7);
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, Under("Present").c_str());
  ASSERT_TRUE(key);
  EXPECT_EQ(GetDwordValue(key.get(), "V"), 7u);
  // Opened with full access: the key can be written through.
  CreateValue(key.get(), "W", REG_DWORD, "\1\0\0\0", 4);
  CloseKey(key);
  EXPECT_FALSE(key);
  CloseKey(key);  // an empty holder is ignored
}

TEST_F(RegistryKeys, CreateKeyMakesTheWholePathAndOpensExistingKeys) {
  {
    UniqueKey key = CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str());
    ASSERT_TRUE(key);
    CreateValue(key.get(), "X", REG_SZ, "x", 2);
  }
  EXPECT_TRUE(KeyExists(Under("A\\B\\C")));
  UniqueKey again = CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str());
  EXPECT_EQ(GetStringValueText(again.get(), "X"), "x");  // opened, not replaced
}

TEST_F(RegistryKeys, FailuresRaiseTheirFixedTexts) {
  EXPECT_EQ(RaisedText([] { CreateKey(kBadKey, "Some\\Key"); }),
            "Could not create key \"Some\\Key\"");
  EXPECT_EQ(RaisedText([] { CreateValue(kBadKey, "Timeout", REG_DWORD, "\0\0\0\0", 4); }),
            "Could not create value \"Timeout\"");
  EXPECT_EQ(RaisedText([] { DeleteKey(kBadKey, "Gone"); }), "Could not create key \"Gone\"");
  // An empty path would name the parent itself, and empty it.
  EXPECT_EQ(RaisedText([] { DeleteKey(HKEY_LOCAL_MACHINE, ""); }), "Could not delete key \"\"");
  EXPECT_EQ(RaisedText([] { DeleteKey(HKEY_LOCAL_MACHINE, nullptr); }), "Could not delete key \"\"");
  EXPECT_TRUE(KeyExists("SOFTWARE"));
}

TEST_F(RegistryKeys, DeleteKeyRemovesTheWholeSubtree) {
  RawSetString(Under("Top"), "Name", "n");
  RawSetDword(Under("Top\\One\\Deep\\Deeper"), "V", 1);
  RawSetDword(Under("Top\\Two"), "V", 2);
  for (int i = 0; i < 30; ++i) RawSetDword(Under("Top\\Many\\K" + std::to_string(i)), "V", i);
  RawSetDword(Under("Beside"), "V", 3);

  DeleteKey(HKEY_LOCAL_MACHINE, Under("Top").c_str());

  EXPECT_FALSE(KeyExists(Under("Top")));
  EXPECT_TRUE(KeyExists(Under("Beside")));
}

TEST_F(RegistryKeys, DeleteKeyOfAMissingKeySucceedsAndLeavesItsNewParentEmpty) {
  EXPECT_EQ(RaisedText([] { DeleteKey(HKEY_LOCAL_MACHINE, Under("NoParent\\NoKey").c_str()); }),
            "<nothing raised>");
  EXPECT_FALSE(KeyExists(Under("NoParent\\NoKey")));
  ASSERT_TRUE(KeyExists(Under("NoParent")));
  EXPECT_TRUE(Snapshot(Under("NoParent"))[""].empty());
  EXPECT_EQ(Snapshot(Under("NoParent")).size(), 1u);
}

TEST_F(RegistryKeys, CreateValueSetsNamedAndDefaultValues) {
  UniqueKey key = CreateKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  CreateValue(key.get(), "Path", REG_SZ, "C:\\x", 5);
  CreateValue(key.get(), nullptr, REG_SZ, "default", 8);
  CreateValue(key.get(), "", REG_DWORD, "\x1f\0\0\0", 4);  // replaces the default value
  TreeSnapshot tree = Snapshot(kTestSubtree);
  ASSERT_EQ(tree[""].size(), 2u);
  EXPECT_EQ(tree[""]["Path"].type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(tree[""]["Path"].bytes.begin(), tree[""]["Path"].bytes.end()),
            std::string("C:\\x", 5));
  EXPECT_EQ(tree[""][""].type, static_cast<DWORD>(REG_DWORD));
}

using RegistryGetters = RegistryTestSubtree;

TEST_F(RegistryGetters, GetValueReturnsTheStoredSize) {
  RawSetString(kTestSubtree, "S", "hello");
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  char buffer[32] = {};
  EXPECT_EQ(GetValue(key.get(), "S", REG_SZ, buffer, sizeof buffer), 6u);
  EXPECT_STREQ(buffer, "hello");
}

TEST_F(RegistryGetters, MissingValuesAndShortBuffersRaiseTheGetTextWithTheSystemText) {
  RawSetString(kTestSubtree, "Long", std::string(100, 'z'));
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  ASSERT_FALSE(SystemErrorText(ERROR_FILE_NOT_FOUND).empty());

  EXPECT_EQ(RaisedText([&] { GetDwordValue(key.get(), "Missing"); }),
            GetErrorText("Missing", ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RaisedText([&] { GetStringValue(key.get(), "Missing"); }),
            GetErrorText("Missing", ERROR_FILE_NOT_FOUND));
  char small[8];
  EXPECT_EQ(RaisedText([&] { GetValue(key.get(), "Long", REG_SZ, small, sizeof small); }),
            GetErrorText("Long", ERROR_MORE_DATA));
}

TEST_F(RegistryGetters, AValueOfAnotherTypeRaisesTheTypeAssertion) {
  RawSetDword(kTestSubtree, "Number", 1);
  RawSetString(kTestSubtree, "Text", "1");
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  char buffer[16];
  std::string text = RaisedText([&] { GetValue(key.get(), "Number", REG_SZ, buffer, 16); });
  EXPECT_EQ(text.rfind(WrongTypePrefix("Number", "dtype == type"), 0), 0u) << text;
  EXPECT_NE(text.find(") on line "), std::string::npos);

  text = RaisedText([&] { GetDwordValue(key.get(), "Text"); });
  EXPECT_EQ(text.rfind(WrongTypePrefix("Text", "dtype == type"), 0), 0u) << text;
  // Too long for the buffer as well: still reported as the wrong type.
  RawSetString(kTestSubtree, "Long text", "far more than four bytes");
  text = RaisedText([&] { GetDwordValue(key.get(), "Long text"); });
  EXPECT_EQ(text.rfind(WrongTypePrefix("Long text", "dtype == type"), 0), 0u) << text;
  text = RaisedText([&] { GetStringValue(key.get(), "Number"); });
  EXPECT_EQ(text.rfind(WrongTypePrefix("Number", "dtype == REG_SZ"), 0), 0u) << text;
}

TEST_F(RegistryGetters, GetDwordValueReadsAllThirtyTwoBits) {
  RawSetDword(kTestSubtree, "Port", 0x12345678);
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  EXPECT_EQ(GetDwordValue(key.get(), "Port"), 0x12345678u);
}

TEST_F(RegistryGetters, GetStringValueReadsAnyLengthAndNullForNoBytes) {
  const std::string longText(20000, 'q');
  RawSetString(kTestSubtree, "Long", longText);
  RawSet(kTestSubtree, "NoBytes", REG_SZ, "", 0);
  RawSetString(kTestSubtree, "Empty", "");
  // Stored without its terminating NUL (other writers do this).
  RawSet(kTestSubtree, "Unterminated", REG_SZ, "abc", 3);
  RawSetString(kTestSubtree, nullptr, "the default");
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);

  EXPECT_EQ(GetStringValue(key.get(), "Long"), longText);
  EXPECT_EQ(GetStringValue(key.get(), "NoBytes"), nullptr);
  EXPECT_EQ(GetStringValueText(key.get(), "NoBytes"), "");
  ASSERT_NE(GetStringValue(key.get(), "Empty"), nullptr);
  EXPECT_STREQ(GetStringValue(key.get(), "Empty"), "");
  EXPECT_STREQ(GetStringValue(key.get(), "Unterminated"), "abc");
  EXPECT_STREQ(GetStringValue(key.get(), ""), "the default");
}

TEST_F(RegistryGetters, AStringReadOnAnotherThreadLeavesThisThreadsTextAlone) {
  RawSetString(kTestSubtree, "Mine", "mine");
  RawSetString(kTestSubtree, "Theirs", "theirs");
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  const char* mine = GetStringValue(key.get(), "Mine");
  std::string theirs;
  std::thread other([&] { theirs = GetStringValueText(key.get(), "Theirs"); });
  other.join();
  EXPECT_EQ(theirs, "theirs");
  EXPECT_STREQ(mine, "mine");
}

}  // namespace
