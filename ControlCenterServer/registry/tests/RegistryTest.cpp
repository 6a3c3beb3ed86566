// The registry helpers against the real (Wine) registry.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "registry/Registry.h"
#include "testing/RegistryTestSupport.h"
#include "Win32/ErrorText.h"

namespace {

// A handle no registry call accepts.
const HKEY kBadKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x5a5a5a50));

using RegistryHelpers = RegistryTestSubtree;

TEST_F(RegistryHelpers, KeysAreOpenedCreatedAndDeletedWithTheirSubtrees) {
  EXPECT_FALSE(OpenKey(HKEY_LOCAL_MACHINE, Under("A").c_str()));
  UniqueKey created = CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str());
  CreateValue(created.get(), "X", REG_SZ, "x", 2);
  CloseKey(created);
  CloseKey(created);  // an empty holder is ignored
  UniqueKey opened = OpenKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str());
  ASSERT_TRUE(opened);
  EXPECT_EQ(GetStringValueText(CreateKey(HKEY_LOCAL_MACHINE, Under("A\\B\\C").c_str()).get(), "X"),
            "x");  // an existing key is opened, not replaced
  CreateValue(opened.get(), "W", REG_DWORD, "\1\0\0\0", 4);  // opened for writing too
  CloseKey(opened);

  for (int i = 0; i < 25; ++i) RawSetDword(Under("A\\Many\\K" + std::to_string(i)), "V", i);
  RawSetDword(Under("Beside"), "V", 3);
  DeleteKey(HKEY_LOCAL_MACHINE, Under("A").c_str());
  EXPECT_FALSE(KeyExists(Under("A")));
  EXPECT_TRUE(KeyExists(Under("Beside")));

  // A missing key (and its missing parent) is made and removed; the parent
  // stays, empty.
  DeleteKey(HKEY_LOCAL_MACHINE, Under("NoParent\\NoKey").c_str());
  EXPECT_FALSE(KeyExists(Under("NoParent\\NoKey")));
  TreeSnapshot parent = Snapshot(Under("NoParent"));
  EXPECT_EQ(parent.size(), 1u);
  EXPECT_TRUE(parent[""].empty());
}

TEST_F(RegistryHelpers, FailuresRaiseTheirFixedTexts) {
  EXPECT_EQ(RaisedText([] { CreateKey(kBadKey, "Some\\Key"); }), "Could not create key \"Some\\Key\"");
  EXPECT_EQ(RaisedText([] { CreateValue(kBadKey, "Timeout", REG_DWORD, "\0\0\0\0", 4); }),
            "Could not create value \"Timeout\"");
  // An empty path names the parent itself, which must never be emptied.
  EXPECT_EQ(RaisedText([] { DeleteKey(HKEY_LOCAL_MACHINE, ""); }), "Could not delete key \"\"");
  EXPECT_TRUE(KeyExists("SOFTWARE"));

  RawSetDword(kTestSubtree, "Number", 1);
  RawSetString(kTestSubtree, "Text", "1");
  RawSetString(kTestSubtree, "Long text", std::string(100, 'z'));
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  const std::string missing = "Error getting the registry value for \"Missing\".  The error was: ";
  ASSERT_FALSE(SystemErrorText(ERROR_FILE_NOT_FOUND).empty());
  EXPECT_EQ(RaisedText([&] { GetDwordValue(key.get(), "Missing"); }),
            missing + SystemErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RaisedText([&] { GetStringValue(key.get(), "Missing"); }),
            missing + SystemErrorText(ERROR_FILE_NOT_FOUND));
  char small[8];
  EXPECT_EQ(RaisedText([&] { GetValue(key.get(), "Long text", REG_SZ, small, sizeof small); }),
            "Error getting the registry value for \"Long text\".  The error was: " +
                SystemErrorText(ERROR_MORE_DATA));

  auto wrongType = [](const char* name, const char* condition) {
    return std::string("The registry value \"") + name +
           "\" did not have the expected type.: Condition (" + condition +
           ") failed in file Registry.cpp(";
  };
  EXPECT_STARTS_WITH(RaisedText([&] { GetValue(key.get(), "Number", REG_SZ, small, 8); }),
                     wrongType("Number", "dtype == type"));
  EXPECT_STARTS_WITH(RaisedText([&] { GetDwordValue(key.get(), "Text"); }),
                     wrongType("Text", "dtype == type"));
  // Too long for the buffer as well: still reported as of the wrong type.
  EXPECT_STARTS_WITH(RaisedText([&] { GetDwordValue(key.get(), "Long text"); }),
                     wrongType("Long text", "dtype == type"));
  EXPECT_STARTS_WITH(RaisedText([&] { GetStringValue(key.get(), "Number"); }),
                     wrongType("Number", "dtype == REG_SZ"));
}

TEST_F(RegistryHelpers, GettersReadWholeValuesOfAnyLength) {
  const std::string longText(20000, 'q');
  RawSetString(kTestSubtree, "Long", longText);
  RawSet(kTestSubtree, "NoBytes", REG_SZ, "", 0);
  RawSetString(kTestSubtree, "Empty", "");
  RawSet(kTestSubtree, "Unterminated", REG_SZ, "abc", 3);  // other writers do this
  RawSetString(kTestSubtree, nullptr, "the default");
  RawSetDword(kTestSubtree, "Port", 0x12345678);
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, kTestSubtree);

  EXPECT_EQ(GetDwordValue(key.get(), "Port"), 0x12345678u);
  char buffer[8] = {};
  EXPECT_EQ(GetValue(key.get(), "Empty", REG_SZ, buffer, sizeof buffer), 1u);
  EXPECT_EQ(GetStringValue(key.get(), "Long"), longText);
  EXPECT_EQ(GetStringValue(key.get(), "NoBytes"), nullptr);
  EXPECT_EQ(GetStringValueText(key.get(), "NoBytes"), "");
  EXPECT_STREQ(GetStringValue(key.get(), "Empty"), "");
  EXPECT_STREQ(GetStringValue(key.get(), "Unterminated"), "abc");
  EXPECT_STREQ(GetStringValue(key.get(), ""), "the default");

  // The text stays this thread's until this thread reads again.
  const char* mine = GetStringValue(key.get(), "");
  std::thread([&] { GetStringValue(key.get(), "Long"); }).join();
  EXPECT_STREQ(mine, "the default");
}

}  // namespace
