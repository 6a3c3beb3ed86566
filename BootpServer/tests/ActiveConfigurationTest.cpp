// Reading active.ini the way a set change writes it, and refusing what no
// set change writes.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ActiveConfiguration.h"
#include "testing/RegistryTestSupport.h"  // RaisedText

namespace {

const char kPath[] = "C:\\k\\active\\active.ini";

std::string RaisedBy(const std::string& content) {
  return RaisedText([&] { ParseActiveConfiguration(content, kPath); });
}

// Every field of a board on one line, so that a whole record compares at once.
std::string Fields(const BootpBoard& b) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%04X %u %d %c line %d", b.listCrc, b.listBlocks, b.number,
                b.type, b.line);
  return b.hardwareText + " " + b.ipAddress + " [" + b.listPath + "] [" + b.name + "] " + numbers;
}

TEST(ActiveConfiguration, ReadsBothRecordForms) {
  const std::vector<BootpBoard> boards = ParseActiveConfiguration(
      "; written by a set change\r\n[OTHER]\r\njunk without equals\r\n[CONFIG]\r\n"
      "00A0123456AB=10.0.0.1 C:\\k\\active\\3456AB.cfg 1A2B 0003 BRD1 0 V\r\n\r\n"
      // Blanks in the path, and what looks like crc and blocks inside it, do
      // not split the record early; the name keeps its blank and its R.
      "00a0123456cd=10.0.0.2 C:\\Program Files\\K 1A2B 0001 Z\\active\\3456CD.cfg BEEF 0010 "
      "TWO WORDR 2 P\r\n"
      "00A012ABCDEF=192.168.1.9 NOPATH FFFF 0000 PANEL 1 X\r\n",
      kPath);
  ASSERT_EQ(boards.size(), 3u);
  EXPECT_EQ(Fields(boards[0]),
            "00A0123456AB 10.0.0.1 [C:\\k\\active\\3456AB.cfg] [BRD1] 1A2B 3 0 V line 5");
  EXPECT_EQ(Fields(boards[1]), "00a0123456cd 10.0.0.2 [C:\\Program Files\\K 1A2B 0001 "
                               "Z\\active\\3456CD.cfg] [TWO WORDR] BEEF 16 2 P line 7");
  EXPECT_EQ(Fields(boards[2]), "00A012ABCDEF 192.168.1.9 [] [PANEL] FFFF 0 1 X line 8");
  const unsigned char address[6] = {0x00, 0xA0, 0x12, 0x34, 0x56, 0xCD};
  EXPECT_EQ(memcmp(boards[1].hardwareAddress, address, 6), 0);

  EXPECT_TRUE(ParseActiveConfiguration("[config]\n", kPath).empty());
}

TEST(ActiveConfiguration, RefusesMalformedRecordsNamingTheLine) {
  const std::string head = "[CONFIG]\n00A0123456AB=10.0.0.1 NOPATH FFFF 0000 GOOD 0 X\n";
  const char kNotHex[] = "the key must be a hardware address of twelve hexadecimal digits";
  const char kShape[] =
      "a record must be \"address list-path crc blocks name number type\" or \"address NOPATH "
      "FFFF 0000 name number type\"";
  const std::pair<const char*, const char*> cases[] = {
      {"00A0123456CD 10.0.0.2", "it is not a key=value line"},
      {"00A0123456=10.0.0.2 NOPATH FFFF 0000 B 1 X", kNotHex},
      {"00A0123456GG=10.0.0.2 NOPATH FFFF 0000 B 1 X", kNotHex},
      {"00A0123456CD=10.0.0.256 NOPATH FFFF 0000 B 1 X",
       "\"10.0.0.256\" is not a dotted IPv4 address"},
      {"00A0123456CD=10.0.2 NOPATH FFFF 0000 B 1 X", "\"10.0.2\" is not a dotted IPv4 address"},
      {"00A0123456CD=10.0.0.2 NOPATH FFFF B 1 X", kShape},
      {"00A0123456CD=10.0.0.2", kShape},
      {"00A0123456CD=10.0.0.2 NOPATH FFFF 0000 B one X",
       "the board number \"one\" is not a number"},
      {"00A0123456CD=10.0.0.2 NOPATH FFFF 0000 B 1 XY",
       "the board type \"XY\" is not a single letter"},
      {"00a0123456ab=10.0.0.2 NOPATH FFFF 0000 B 1 X",
       "the hardware address 00A0123456AB is already on line 2"},
  };
  for (const auto& [record, reason] : cases) {
    const std::string text = RaisedBy(head + record + "\n");
    const std::string expected = std::string("The active configuration ") + kPath +
                                 " is malformed: line 3 (" + record + "): ";
    EXPECT_EQ(text, expected + reason + ".");
  }

  // A very long record is quoted in part only.
  const std::string text = RaisedBy(head + "00A0123456CD=10.0.0.2 NOPATH FFFF 0000 " +
                                    std::string(300, 'N') + "\n");
  EXPECT_NE(text.find("(00A0123456CD=10.0.0.2 NOPATH FFFF 0000 NNN"), std::string::npos);
  EXPECT_LT(text.size(), 400u);

  for (const char* content : {"[BOARDS]\n00A0123456AB=10.0.0.1 NOPATH FFFF 0000 GOOD 0 X\n", ""})
    EXPECT_EQ(RaisedBy(content),
              std::string("The active configuration ") + kPath + " has no [CONFIG] section.");
}

}  // namespace
