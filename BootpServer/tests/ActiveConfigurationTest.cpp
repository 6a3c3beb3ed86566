// Reading active.ini the way a set change writes it, and refusing what no
// set change writes.
#include <gtest/gtest.h>

#include <windows.h>

#include "ActiveConfiguration.h"

#include <string>

namespace {

const char kPath[] = "C:\\k\\active\\active.ini";

std::string RaisedBy(const std::string& content) {
  try {
    ParseActiveConfiguration(content, kPath);
  } catch (char* text) {
    return text;
  }
  return "(nothing raised)";
}

TEST(ActiveConfiguration, ReadsBothRecordForms) {
  const std::string content =
      "; written by a set change\r\n"
      "[OTHER]\r\n"
      "junk without equals\r\n"
      "[CONFIG]\r\n"
      "00A0123456AB=10.0.0.1 C:\\k\\active\\3456AB.cfg 1A2B 0003 BRD1 0 V\r\n"
      "\r\n"
      "00a0123456cd=10.0.0.2 C:\\Program Files\\K 1A2B 0001 Z\\active\\3456CD.cfg BEEF 0010 "
      "TWO WORDR 2 P\r\n"
      "00A012ABCDEF=192.168.1.9 NOPATH FFFF 0000 PANEL 1 X\r\n";
  std::vector<BootpBoard> boards = ParseActiveConfiguration(content, kPath);
  ASSERT_EQ(boards.size(), 3u);

  const BootpBoard& first = boards[0];
  EXPECT_EQ(first.hardwareText, "00A0123456AB");
  const unsigned char address[6] = {0x00, 0xA0, 0x12, 0x34, 0x56, 0xAB};
  EXPECT_EQ(std::string(first.hardwareAddress, first.hardwareAddress + 6),
            std::string(address, address + 6));
  EXPECT_EQ(first.ipAddress, "10.0.0.1");
  EXPECT_EQ(first.listPath, "C:\\k\\active\\3456AB.cfg");
  EXPECT_EQ(first.listCrc, 0x1A2Bu);
  EXPECT_EQ(first.listBlocks, 3u);
  EXPECT_EQ(first.name, "BRD1");
  EXPECT_EQ(first.number, 0);
  EXPECT_EQ(first.type, 'V');
  EXPECT_EQ(first.line, 5);

  // Blanks in the path, and something that looks like crc and blocks inside
  // it, do not split the record early; the name keeps its blank and its R.
  EXPECT_EQ(boards[1].listPath, "C:\\Program Files\\K 1A2B 0001 Z\\active\\3456CD.cfg");
  EXPECT_EQ(boards[1].listCrc, 0xBEEFu);
  EXPECT_EQ(boards[1].listBlocks, 0x10u);
  EXPECT_EQ(boards[1].name, "TWO WORDR");
  EXPECT_EQ(boards[1].number, 2);

  EXPECT_EQ(boards[2].ipAddress, "192.168.1.9");
  EXPECT_TRUE(boards[2].listPath.empty());
  EXPECT_EQ(boards[2].name, "PANEL");
  EXPECT_EQ(boards[2].type, 'X');

  EXPECT_TRUE(ParseActiveConfiguration("[config]\n", kPath).empty());
}

TEST(ActiveConfiguration, RefusesMalformedRecordsNamingTheLine) {
  const std::string head = "[CONFIG]\n00A0123456AB=10.0.0.1 NOPATH FFFF 0000 GOOD 0 X\n";
  struct Case {
    const char* record;
    const char* reason;
  } cases[] = {
      {"00A0123456CD 10.0.0.2", "it is not a key=value line"},
      {"00A0123456=10.0.0.2 NOPATH FFFF 0000 B 1 X",
       "the key must be a hardware address of twelve hexadecimal digits"},
      {"00A0123456GG=10.0.0.2 NOPATH FFFF 0000 B 1 X",
       "the key must be a hardware address of twelve hexadecimal digits"},
      {"00A0123456CD=10.0.0.256 NOPATH FFFF 0000 B 1 X",
       "\"10.0.0.256\" is not a dotted IPv4 address"},
      {"00A0123456CD=10.0.2 NOPATH FFFF 0000 B 1 X", "\"10.0.2\" is not a dotted IPv4 address"},
      {"00A0123456CD=10.0.0.2 NOPATH FFFF B 1 X",
       "a record must be \"address list-path crc blocks name number type\" or \"address NOPATH "
       "FFFF 0000 name number type\""},
      {"00A0123456CD=10.0.0.2", nullptr},
      {"00A0123456CD=10.0.0.2 NOPATH FFFF 0000 B one X", "the board number \"one\" is not a number"},
      {"00A0123456CD=10.0.0.2 NOPATH FFFF 0000 B 1 XY",
       "the board type \"XY\" is not a single letter"},
      {"00a0123456ab=10.0.0.2 NOPATH FFFF 0000 B 1 X",
       "the hardware address 00A0123456AB is already on line 2"},
  };
  for (const Case& c : cases) {
    std::string text = RaisedBy(head + c.record + "\n");
    std::string expected = std::string("The active configuration ") + kPath +
                           " is malformed: line 3 (" + c.record + "): ";
    EXPECT_EQ(text.substr(0, expected.size()), expected) << c.record;
    if (c.reason) {
      EXPECT_EQ(text.substr(expected.size()), std::string(c.reason) + ".") << c.record;
    }
  }

  // A very long record is quoted in part only.
  std::string longName(300, 'N');
  std::string text = RaisedBy(head + "00A0123456CD=10.0.0.2 NOPATH FFFF 0000 " + longName + "\n");
  EXPECT_NE(text.find("(00A0123456CD=10.0.0.2 NOPATH FFFF 0000 NNN"), std::string::npos);
  EXPECT_LT(text.size(), 400u);

  EXPECT_EQ(RaisedBy("[BOARDS]\n00A0123456AB=10.0.0.1 NOPATH FFFF 0000 GOOD 0 X\n"),
            std::string("The active configuration ") + kPath + " has no [CONFIG] section.");
  EXPECT_EQ(RaisedBy(""),
            std::string("The active configuration ") + kPath + " has no [CONFIG] section.");
}

}  // namespace
