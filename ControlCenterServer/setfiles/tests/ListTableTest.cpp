// Finding, loading and copying the lists of complete.cfg.
#include <gtest/gtest.h>

#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

using Names = std::vector<std::string>;

std::vector<NamedList> ListsSet() {
  return {{"networkd", Networkd({Board("B0", 'S', 1)})}, {"short", "12345"}, {"abcdefgh", "stem of eight"},
          {"abc.defghijk", "twelve with a dot"}, {"records", std::string(25, 'r')}, {"tiny", "abc"}, {"even", "wxyz"}};
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
  // Only whole names match: no prefix, no longer name, no empty name;
  // letters outside ASCII are compared as they are.
  directory.AddName("\xC4rger");
  for (const char* other : {"alph", "alpha.", "", static_cast<const char*>(nullptr), "\xE4rger"})
    EXPECT_FALSE(directory.FindListOffset(other, nullptr, nullptr)) << (other ? other : "null");
  EXPECT_TRUE(directory.FindListOffset("\xC4RGER", nullptr, nullptr));
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
  ListTable records = install.context.LoadTable("records", 10, true);
  EXPECT_EQ(records.count, 2);
  ASSERT_NE(records.data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(records.Record(1)), 10), std::string(10, 'r'));
  EXPECT_NE(RaisedBy([&] { records.Record(2); }), "<nothing raised>");
  FreeTable(records);
  EXPECT_TRUE(records.data == nullptr && records.handle == nullptr);
  EXPECT_EQ(records.count, 2);  // left as it was
  ListTable tooShort = install.context.LoadTable("tiny", 4, true);
  EXPECT_TRUE(tooShort.count == 0 && tooShort.handle == nullptr);
  EXPECT_EQ(install.context.LoadTable("nothing", 4, false).count, 0);
  EXPECT_EQ(RaisedBy([&] { install.context.LoadTable("nothing", 4, true); }), "Could not find list nothing");
}

TEST(CopyList, NormalisesTheNameAndWritesEachListOncePerFile) {
  Installation install("copy");
  install.Activate(ListsSet());
  ConfigurationContext& context = install.context;
  const std::string path = install.Path("active\\copy.cfg");
  context.BeginListFile(path.c_str());
  ASSERT_TRUE(context.CopyList("  short  ", true));  // surrounding spaces
  const unsigned short crcAfterFirst = context.listCrc;
  EXPECT_TRUE(context.CopyList("SHORT", true));  // once only
  EXPECT_EQ(context.listCrc, crcAfterFirst);
  EXPECT_TRUE(context.CopyList("abcdefghi.extra", true));  // 15 characters, '.' tenth: cut to 8
  EXPECT_TRUE(context.CopyList("ABC.DEFGHIJK", true));     // 12 with a '.' fourth: kept whole
  EXPECT_TRUE(context.CopyList("abcdefghijkl", true));     // 12 without a '.': cut to 8, once only
  // Under an output name: the named list's data, and only once.
  EXPECT_TRUE(context.CopyList("even", true, "renamed"));
  EXPECT_TRUE(context.CopyList("tiny", true, "RENAMED"));
  EXPECT_FALSE(context.CopyList("missing", false));
  EXPECT_EQ(RaisedBy([&] { context.CopyList(" missing ", true); }), "Could not find list missing");
  const size_t written = context.FinishListFile();
  const std::string bytes = ReadFile(path);
  const ListFileContents file = ParseListFile(bytes);
  EXPECT_TRUE(file.ended);
  EXPECT_EQ(file.Names(), (Names{"short", "abcdefgh", "ABC.DEFGHIJK", "renamed"}));
  EXPECT_EQ(file.Data("abcdefgh"), "stem of eight");
  EXPECT_EQ(file.Data("ABC.DEFGHIJK"), "twelve with a dot");
  EXPECT_EQ(file.Data("renamed"), "wxyz");
  // An odd list is padded with 0xFF; the CRC covers every byte, the end entry too.
  EXPECT_EQ(written, bytes.size());
  EXPECT_EQ(bytes[18 + 5], '\xFF');
  EXPECT_EQ(bytes.substr(bytes.size() - 18), std::string(14, '\0') + std::string(4, '\xFF'));
  EXPECT_EQ(context.listCrc, Crc16Update(kCrc16Start, bytes.data(), bytes.size()));

  // A new file starts with nothing written.
  context.BeginListFile(path.c_str());
  EXPECT_TRUE(context.CopyList("short", true));
  context.FinishListFile();
  EXPECT_EQ(ParseListFile(ReadFile(path)).Names(), Names{"short"});
}

}  // namespace
