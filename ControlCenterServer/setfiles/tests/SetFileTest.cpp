// CRC-16, validation of set files and the complete.cfg built from them, and
// finding, loading and copying the lists of complete.cfg.
#include <gtest/gtest.h>

#include <algorithm>

#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

using Names = std::vector<std::string>;

std::vector<NamedList> SmallSet() {
  return {{"networkd", Networkd({Board("PANEL1", 'S', 1), Board("PANEL2", 'V', 2)})}, {"odd", "abcde"},
          {"even", "wxyz"}};
}

TEST(Crc16, EightBytesAtATimeEqualsTheBytewiseLoop) {
  EXPECT_EQ(Crc16UpdateBytewise(kCrc16Start, "123456789", 9), 0x4B37);  // the MODBUS check value
  unsigned short stepwise = kCrc16Start;
  for (char c : std::string("123456789")) stepwise = Crc16Step(stepwise, static_cast<unsigned char>(c));
  EXPECT_EQ(stepwise, 0x4B37);
  // Every length from 0 to 80 at every start offset within a word, from
  // several running values, and a long run: the fast form must fold each
  // byte exactly as the plain loop does, also across its 8-byte steps.
  std::string bytes(4096 + 16, '\0');
  unsigned seed = 12345;
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  for (unsigned short start :
       {kCrc16Start, static_cast<unsigned short>(0), static_cast<unsigned short>(0x8005)})
    for (size_t offset = 0; offset < 8; ++offset)
      for (size_t length = 0; length <= 80; ++length)
        ASSERT_EQ(Crc16Update(start, bytes.data() + offset, length),
                  Crc16UpdateBytewise(start, bytes.data() + offset, length))
            << "start " << start << ", offset " << offset << ", length " << length;
  EXPECT_EQ(Crc16Update(kCrc16Start, bytes.data() + 3, 4096 + 5),
            Crc16UpdateBytewise(kCrc16Start, bytes.data() + 3, 4096 + 5));
  // Split anywhere, the running value carries over.
  const unsigned short whole = Crc16UpdateBytewise(kCrc16Start, bytes.data(), 1000);
  for (size_t split : {1u, 7u, 8u, 9u, 500u, 999u})
    EXPECT_EQ(Crc16Update(Crc16Update(kCrc16Start, bytes.data(), split), bytes.data() + split, 1000 - split),
              whole);
}

TEST(CheckConfiguration, CompleteCfgHoldsTheSetAndTheGeneratedListsUnderItsOwnCrc) {
  Installation install("complete");
  // An odd list keeps whatever pad byte the set has, under the set's CRC.
  std::string set = ComposeSetFile(SmallSet());
  const size_t pad = static_cast<size_t>(ParseSetFile(set).entries[1].offset) + 5;
  set[pad] = 0x00;
  const unsigned short crc = Crc16Update(kCrc16Start, set.data() + 6, set.size() - 6);
  set[4] = static_cast<char>(crc & 0xFF);
  set[5] = static_cast<char>(crc >> 8);
  const std::string setPath = install.Path("Comp\\pad.cfg");
  WriteFile(setPath, set);
  ASSERT_FALSE(FileExists(install.Path("active")));
  ASSERT_TRUE(install.context.CheckConfiguration(setPath.c_str()));

  // The set's lists verbatim, the set's end entry left out, then IP and COMMPORT.
  const std::string complete = ReadFile(install.CompletePath());
  const size_t setBody = set.size() - kListDefSize;
  EXPECT_EQ(complete.substr(0, 4), "CNFG");
  EXPECT_EQ(complete.substr(6, setBody - 6), set.substr(6, setBody - 6));
  const SetFileLayout layout = ParseSetFile(complete);
  ASSERT_TRUE(layout.problem.empty()) << layout.problem;
  EXPECT_TRUE(layout.CrcHolds());
  ASSERT_EQ(layout.entries.size(), 5u);
  EXPECT_EQ(layout.entries[3].name, "IP");
  EXPECT_EQ(layout.entries[3].length, 8u);
  EXPECT_EQ(layout.entries[3].offset, setBody + kListDefSize);
  EXPECT_EQ(layout.entries[4].name, "COMMPORT");
  EXPECT_EQ(complete.substr(static_cast<size_t>(layout.entries[4].offset), 6),
            std::string("COMM\x12\x34", 6));
  EXPECT_EQ(complete.substr(complete.size() - 18), std::string(14, '\0') + std::string(4, '\xFF'));

  // The context is left on complete.cfg with its directory and networkd.
  EXPECT_EQ(install.context.networkTable.count, 2);
  EXPECT_EQ(install.context.CompositeFind("odd", true), 5);
  char data[5];
  ASSERT_EQ(std::fread(data, 1, 5, install.context.sourceFile.get()), 5u);
  EXPECT_EQ(std::string(data, 5), "abcde");
  for (const SetFileEntry& entry : layout.entries) {
    unsigned long long offset = 0;
    ASSERT_TRUE(install.context.listDirectory.FindListOffset(entry.name.c_str(), &offset, nullptr));
    EXPECT_EQ(offset, entry.offset) << entry.name;
  }
}

TEST(CheckConfiguration, AnyCorruptedByteFailsAndLeavesNoCompleteCfg) {
  Installation install("corrupt");
  const std::string good = ComposeSetFile(SmallSet()), path = install.Path("Comp\\bad.cfg");
  const std::string crcFailed = "CRC failed for " + path;
  const std::string readError = "Error reading " + path + " in ControlCenterComponent::CheckConfiguration().";
  // Bytes only the CRC guards: list names after their first byte, list data
  // and pad bytes, the end entry after its first byte. A changed length or
  // first name byte changes the layout and may be caught as a reading error.
  std::vector<char> crcOnly(good.size(), 0);
  auto guard = [&](size_t from, size_t to) { std::fill(crcOnly.begin() + from, crcOnly.begin() + to, 1); };
  for (const SetFileEntry& entry : ParseSetFile(good).entries) {
    const size_t data = static_cast<size_t>(entry.offset);
    guard(data - kListDefSize + 1, data - kListDefSize + kListNameSize);
    guard(data, data + entry.length + (entry.length & 1));
  }
  guard(good.size() - kListDefSize + 1, good.size());
  for (size_t offset = 6; offset < good.size(); ++offset) {
    std::string bad = good;
    bad[offset] = static_cast<char>(bad[offset] ^ 0x21);
    WriteFile(path, bad);
    const std::string raised = RaisedBy([&] { install.context.CheckConfiguration(path.c_str()); });
    if (crcOnly[offset])
      EXPECT_EQ(raised, crcFailed) << "offset " << offset;
    else
      EXPECT_TRUE(raised == crcFailed || raised == readError) << "offset " << offset << ": " << raised;
    EXPECT_FALSE(FileExists(install.CompletePath())) << "offset " << offset;
    EXPECT_FALSE(install.context.sourceFile);
  }
}

TEST(CheckConfiguration, BrokenFilesGiveTheirOwnTexts) {
  Installation install("broken");
  const std::string path = install.Path("Comp\\broken.cfg"), good = ComposeSetFile(SmallSet());
  const std::string readError = "Error reading " + path + " in ControlCenterComponent::CheckConfiguration().";
  // A length near 0xFFFFFFFF runs past the end without wrapping round.
  std::string huge = good;
  for (int i = 0; i < 4; ++i) huge[6 + 14 + i] = '\xFF';
  std::string huge2 = huge;
  huge2[6 + 17] = '\xFE';
  const std::pair<std::string, std::string> cases[] = {
      {"CNF", readError}, {"XNFG\xFF\xFF", path + " is not a valid configuration set."},
      // Directory without an end entry, cut inside an entry, inside data, after the CRC.
      {good.substr(0, good.size() - 18), readError}, {good.substr(0, good.size() - 7), readError},
      {good.substr(0, 6 + 18 + 10), readError}, {good.substr(0, 6), readError},
      {huge, readError}, {huge2, readError},
      {ComposeSetFile({{"networkd", std::string(17, 'n')}}),
       "The network description table was missing or empty.  Can't create the set."},
      {ComposeSetFile({{"other", "x"}}), "Could not find list networkd"}};
  for (const auto& [bytes, text] : cases) {
    WriteFile(path, bytes);
    EXPECT_EQ(RaisedBy([&, p = path] { install.context.CheckConfiguration(p.c_str()); }), text);
    EXPECT_FALSE(FileExists(install.CompletePath())) << text;
    EXPECT_FALSE(install.context.sourceFile);
  }
  const std::string none = install.Path("Comp\\none.cfg");
  EXPECT_EQ(RaisedBy([&] { install.context.CheckConfiguration(none.c_str()); }),
            "Could not open " + none + " in ControlCenterComponent::CheckConfiguration().");
  WriteFile(path, good);
  ConfigurationContext nowhere(install.Path("no\\such\\root"), 1, 1);
  EXPECT_EQ(RaisedBy([&] { nowhere.CheckConfiguration(path.c_str()); }),
            "Could not create the ACTIVE directory.");
  EXPECT_FALSE(nowhere.sourceFile);
}

std::vector<NamedList> ListsSet() {
  return {{"networkd", Networkd({Board("B0", 'S', 1)})}, {"short", "12345"}, {"abcdefgh", "stem of eight"},
          {"abc.defghijk", "twelve with a dot"}, {"records", std::string(25, 'r')}, {"tiny", "abc"},
          {"even", "wxyz"}};
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
