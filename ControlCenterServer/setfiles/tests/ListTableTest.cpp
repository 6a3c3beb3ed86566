// Finding, loading and copying the lists of complete.cfg.
#include <gtest/gtest.h>

#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

std::vector<NamedList> ListsSet() {
  return {{"networkd", Networkd({Board("B0", 'S', 1)})},
          {"short", "12345"},
          {"abcdefgh", "stem of eight"},
          {"abc.defghijk", "twelve with a dot"},
          {"records", std::string(25, 'r')},
          {"tiny", "abc"},
          {"even", "wxyz"}};
}

bool CopyOne(ConfigurationContext& context, const char* name, const char* output = nullptr) {
  return context.CopyList(name, true, output);
}

TEST(ListDirectory, NewestOfANameWinsWhateverItsCase) {
  ListDirectory directory;
  directory.Add(MakeListDef("Alpha", 1), 100);
  directory.Add(MakeListDef("beta", 2), 200);
  directory.Add(MakeListDef("ALPHA", 3), 300);
  directory.Add(MakeListDef("alpha.x", 4), 400);
  unsigned long long offset = 0;
  LIST_DEF entry;
  ASSERT_TRUE(directory.FindListOffset("aLpHa", &offset, &entry));
  EXPECT_EQ(offset, 300u);
  EXPECT_EQ(ListName(entry), "ALPHA");
  ASSERT_TRUE(directory.FindListOffset("BETA", &offset, nullptr));
  EXPECT_EQ(offset, 200u);
  ASSERT_TRUE(directory.FindListOffset("Alpha.X", nullptr, &entry));
  EXPECT_EQ(ListLength(entry), 4u);
  // Only whole names match: no prefix, no longer name, no empty name.
  EXPECT_FALSE(directory.FindListOffset("alph", nullptr, nullptr));
  EXPECT_FALSE(directory.FindListOffset("alpha.", nullptr, nullptr));
  EXPECT_FALSE(directory.FindListOffset("", nullptr, nullptr));
  EXPECT_FALSE(directory.FindListOffset(nullptr, nullptr, nullptr));
  // Letters outside ASCII are compared as they are.
  directory.AddName("\xC4rger");
  EXPECT_TRUE(directory.FindListOffset("\xC4RGER", nullptr, nullptr));
  EXPECT_FALSE(directory.FindListOffset("\xE4rger", nullptr, nullptr));
  EXPECT_EQ(directory.Size(), 5u);

  directory.Clear();
  EXPECT_TRUE(directory.Empty());
  EXPECT_FALSE(directory.FindListOffset("alpha", nullptr, nullptr));
  directory.AddName("Gamma");
  EXPECT_TRUE(directory.FindListOffset("GAMMA", &offset, nullptr));
  EXPECT_EQ(offset, 0u);
}

TEST(LoadTable, LoadsWholeRecordsOnly) {
  Installation install("load");
  install.Activate(ListsSet());
  ConfigurationContext& context = install.context;

  ListTable records = context.LoadTable("records", 10, true);
  EXPECT_EQ(records.count, 2);
  ASSERT_NE(records.data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(records.Record(1)), 10), std::string(10, 'r'));
  EXPECT_NE(RaisedBy([&] { records.Record(2); }), "<nothing raised>");
  FreeTable(records);
  EXPECT_EQ(records.data, nullptr);
  EXPECT_EQ(records.handle, nullptr);
  EXPECT_EQ(records.count, 2);  // left as it was

  ListTable tooShort = context.LoadTable("tiny", 4, true);
  EXPECT_EQ(tooShort.count, 0);
  EXPECT_EQ(tooShort.handle, nullptr);
  ListTable absent = context.LoadTable("nothing", 4, false);
  EXPECT_EQ(absent.count, 0);
  EXPECT_EQ(RaisedBy([&] { context.LoadTable("nothing", 4, true); }), "Could not find list nothing");
}

TEST(CopyList, NormalisesTheRequestedName) {
  Installation install("normalise");
  install.Activate(ListsSet());
  ListFileContents file = install.RunCopier(
      [](ConfigurationContext& c, unsigned short, const NetworkRecord*, unsigned short) {
        return CopyOne(c, "  short  ") &&           // surrounding spaces
               CopyOne(c, "abcdefghi.extra") &&     // 15 characters, '.' tenth: cut to 8
               CopyOne(c, "ABC.DEFGHIJK") &&        // 12 with a '.' fourth: kept whole
               CopyOne(c, "EVEN");
      },
      0);
  EXPECT_EQ(file.Names(), (std::vector<std::string>{"short", "abcdefgh", "ABC.DEFGHIJK", "EVEN"}));
  EXPECT_EQ(file.Data("abcdefgh"), "stem of eight");
  EXPECT_EQ(file.Data("ABC.DEFGHIJK"), "twelve with a dot");

  file = install.RunCopier(
      [](ConfigurationContext& c, unsigned short, const NetworkRecord*, unsigned short) {
        return CopyOne(c, "abcdefghijkl");  // 12 without a '.': cut to 8
      },
      0);
  EXPECT_EQ(file.Names(), std::vector<std::string>{"abcdefgh"});
  EXPECT_FALSE(install.context.CopyList("missing", false));
  EXPECT_EQ(RaisedBy([&] { install.context.CopyList(" missing ", true); }),
            "Could not find list missing");
}

TEST(CopyList, WritesEachListOncePerFile) {
  Installation install("once");
  install.Activate(ListsSet());
  ConfigurationContext& context = install.context;
  const std::string path = install.Path("active\\once.cfg");
  context.BeginListFile(path.c_str());
  ASSERT_TRUE(context.CopyList("short", true));
  const unsigned short crcAfterFirst = context.listCrc;
  EXPECT_TRUE(context.CopyList("SHORT", true));
  EXPECT_EQ(context.listCrc, crcAfterFirst);
  // Under an output name: the named list's data, and only once.
  EXPECT_TRUE(context.CopyList("even", true, "renamed"));
  EXPECT_TRUE(context.CopyList("tiny", true, "RENAMED"));
  context.FinishListFile();
  const ListFileContents file = ParseListFile(ReadFile(path));
  EXPECT_TRUE(file.ended);
  EXPECT_EQ(file.Names(), (std::vector<std::string>{"short", "renamed"}));
  EXPECT_EQ(file.Data("renamed"), "wxyz");

  // A new file starts with nothing written.
  context.BeginListFile(path.c_str());
  EXPECT_TRUE(context.CopyList("short", true));
  context.FinishListFile();
  EXPECT_EQ(ParseListFile(ReadFile(path)).Names(), std::vector<std::string>{"short"});
}

TEST(ListFile, OddListIsPaddedAndTheCrcCoversEveryByte) {
  Installation install("listfile");
  install.Activate(ListsSet());
  ConfigurationContext& context = install.context;
  const std::string path = install.Path("active\\five.cfg");
  context.BeginListFile(path.c_str());
  context.CopyList("short", true);
  EXPECT_EQ(context.FinishListFile(), 18u + 5 + 1 + 18);
  const std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 18u + 5 + 1 + 18);
  EXPECT_EQ(bytes[18 + 5], '\xFF');
  EXPECT_EQ(bytes.substr(bytes.size() - 18), std::string(14, '\0') + std::string(4, '\xFF'));
  EXPECT_EQ(context.listCrc, Crc16Update(kCrc16Start, bytes.data(), bytes.size()));
}

}  // namespace
