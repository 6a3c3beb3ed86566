// Validation of set files and the complete.cfg built from them.
#include <gtest/gtest.h>

#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

const std::vector<NetworkRecord> kTwoBoards = {Board("PANEL1", 'S', 1), Board("PANEL2", 'V', 2)};

std::vector<NamedList> SmallSet() {
  return {{"networkd", Networkd(kTwoBoards)}, {"odd", "abcde"}, {"even", "wxyz"}};
}

// Offsets of the fields of a composed set that its CRC alone guards: list
// names after their first byte, list data and pad bytes, and the end entry
// after its first byte. A changed length or first name byte changes the
// layout itself and is caught as a reading error or a CRC failure.
std::vector<size_t> CrcOnlyOffsets(const std::string& set) {
  std::vector<size_t> offsets;
  const SetFileLayout layout = ParseSetFile(set);
  for (const SetFileEntry& entry : layout.entries) {
    const size_t def = static_cast<size_t>(entry.offset) - kListDefSize;
    for (size_t i = def + 1; i < def + kListNameSize; ++i) offsets.push_back(i);
    for (size_t i = static_cast<size_t>(entry.offset);
         i < entry.offset + entry.length + (entry.length & 1); ++i)
      offsets.push_back(i);
  }
  for (size_t i = set.size() - kListDefSize + 1; i < set.size(); ++i) offsets.push_back(i);
  return offsets;
}

TEST(Crc16, ModbusCheckValue) {
  EXPECT_EQ(Crc16Update(kCrc16Start, "123456789", 9), 0x4B37);
  unsigned short stepwise = kCrc16Start;
  for (char c : std::string("123456789")) stepwise = Crc16Step(stepwise, static_cast<unsigned char>(c));
  EXPECT_EQ(stepwise, 0x4B37);
  EXPECT_EQ(Crc16Update(kCrc16Start, "", 0), kCrc16Start);
  EXPECT_EQ(Crc16UpdateBytewise(kCrc16Start, "123456789", 9), 0x4B37);
}

TEST(Crc16, EightBytesAtATimeEqualsTheBytewiseLoop) {
  // Every length from 0 to 80 at every start offset within a word, from
  // several running values, and a long run: the fast form must fold each
  // byte exactly as the plain loop does, also across its 8-byte steps.
  std::string bytes(4096 + 16, '\0');
  unsigned seed = 12345;
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  for (unsigned short start : {kCrc16Start, static_cast<unsigned short>(0), static_cast<unsigned short>(0x8005)})
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
  const std::string setPath = install.WriteSet(SmallSet());
  const std::string set = ReadFile(setPath);
  ASSERT_TRUE(install.context.CheckConfiguration(setPath.c_str()));

  const std::string complete = ReadFile(install.CompletePath());
  // The set's lists verbatim, the set's end entry left out.
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
  // The end entry as complete.cfg writes it.
  EXPECT_EQ(complete.substr(complete.size() - 18),
            std::string(14, '\0') + std::string(4, '\xFF'));

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

TEST(CheckConfiguration, OddListKeepsWhateverPadByteTheSetHasUnderTheCrc) {
  Installation install("pad");
  std::string set = ComposeSetFile(SmallSet());
  const SetFileLayout layout = ParseSetFile(set);
  const size_t pad = static_cast<size_t>(layout.entries[1].offset) + 5;
  set[pad] = 0x00;
  const unsigned short crc = Crc16Update(kCrc16Start, set.data() + 6, set.size() - 6);
  set[4] = static_cast<char>(crc & 0xFF);
  set[5] = static_cast<char>(crc >> 8);
  const std::string path = install.Path("Comp\\pad.cfg");
  WriteFile(path, set);
  ASSERT_TRUE(install.context.CheckConfiguration(path.c_str()));
  EXPECT_EQ(ReadFile(install.CompletePath())[pad], '\0');
}

TEST(CheckConfiguration, AnyCorruptedByteFailsAndLeavesNoCompleteCfg) {
  Installation install("corrupt");
  const std::string good = ComposeSetFile(SmallSet());
  const std::string path = install.Path("Comp\\bad.cfg");
  const std::vector<size_t> crcOnly = CrcOnlyOffsets(good);
  for (size_t offset = 6; offset < good.size(); ++offset) {
    std::string bad = good;
    bad[offset] = static_cast<char>(bad[offset] ^ 0x21);
    WriteFile(path, bad);
    const std::string raised = RaisedBy([&] { install.context.CheckConfiguration(path.c_str()); });
    const bool guardedByCrc =
        std::find(crcOnly.begin(), crcOnly.end(), offset) != crcOnly.end();
    if (guardedByCrc) {
      EXPECT_EQ(raised, "CRC failed for " + path) << "offset " << offset;
    } else {
      EXPECT_TRUE(raised == "CRC failed for " + path ||
                  raised == "Error reading " + path +
                                " in ControlCenterComponent::CheckConfiguration().")
          << "offset " << offset << ": " << raised;
    }
    EXPECT_FALSE(FileExists(install.CompletePath())) << "offset " << offset;
    EXPECT_FALSE(install.context.sourceFile);
  }
}

TEST(CheckConfiguration, BrokenFilesGiveTheirOwnTexts) {
  Installation install("broken");
  const std::string path = install.Path("Comp\\broken.cfg");
  const std::string readError = "Error reading " + path + " in ControlCenterComponent::CheckConfiguration().";
  auto check = [&](const std::string& bytes) {
    WriteFile(path, bytes);
    std::string raised = RaisedBy([&] { install.context.CheckConfiguration(path.c_str()); });
    EXPECT_FALSE(FileExists(install.CompletePath())) << raised;
    return raised;
  };
  const std::string good = ComposeSetFile(SmallSet());

  EXPECT_EQ(RaisedBy([&] { install.context.CheckConfiguration(install.Path("Comp\\none.cfg").c_str()); }),
            "Could not open " + install.Path("Comp\\none.cfg") +
                " in ControlCenterComponent::CheckConfiguration().");
  EXPECT_EQ(check("CNF"), readError);
  EXPECT_EQ(check("XNFG\xFF\xFF"), path + " is not a valid configuration set.");
  // Directory without an end entry, cut inside an entry and inside data.
  EXPECT_EQ(check(good.substr(0, good.size() - 18)), readError);
  EXPECT_EQ(check(good.substr(0, good.size() - 7)), readError);
  EXPECT_EQ(check(good.substr(0, 6 + 18 + 10)), readError);
  EXPECT_EQ(check(good.substr(0, 6)), readError);

  // A length near 0xFFFFFFFF runs past the end without wrapping round.
  std::string huge = good;
  for (int i = 0; i < 4; ++i) huge[6 + 14 + i] = '\xFF';
  EXPECT_EQ(check(huge), readError);
  huge[6 + 17] = '\xFE';
  EXPECT_EQ(check(huge), readError);
}

TEST(CheckConfiguration, NetworkDescriptionTableMustHoldABoard) {
  Installation install("networkd");
  const char* empty = "The network description table was missing or empty.  Can't create the set.";
  EXPECT_EQ(RaisedBy([&] { install.context.CheckConfiguration(install.WriteSet({{"networkd", std::string(17, 'n')}}).c_str()); }),
            empty);
  EXPECT_FALSE(FileExists(install.CompletePath()));
  EXPECT_EQ(RaisedBy([&] { install.context.CheckConfiguration(install.WriteSet({{"other", "x"}}).c_str()); }),
            "Could not find list networkd");
  EXPECT_FALSE(FileExists(install.CompletePath()));
  EXPECT_FALSE(install.context.sourceFile);
}

TEST(CheckConfiguration, MakesTheActiveDirectoryOrSaysItCannot) {
  Installation install("activedir");
  const std::string set = install.WriteSet(SmallSet());
  ASSERT_FALSE(FileExists(install.Path("active")));
  install.context.CheckConfiguration(set.c_str());
  EXPECT_TRUE(FileExists(install.CompletePath()));

  ConfigurationContext nowhere(install.Path("no\\such\\root"), 1, 1);
  EXPECT_EQ(RaisedBy([&] { nowhere.CheckConfiguration(set.c_str()); }),
            "Could not create the ACTIVE directory.");
  EXPECT_FALSE(nowhere.sourceFile);
}

}  // namespace
