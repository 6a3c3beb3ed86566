// The sectioned text files the set change keeps its records in: read as
// the platform's profile calls read them, written back without losing what
// we do not understand.
#include <gtest/gtest.h>

#include "setchange/ProfileFile.h"
#include "testing/SetFileTestSupport.h"

using setfile_test::ReadFile;
using setfile_test::WriteFile;

TEST(ProfileFile, ReadsWithoutRegardToCaseOrSpacesAndSetsLandWhereOneAtATimeWould) {
  setfile_test::ScratchFolder folder("profile");
  WriteFile(folder / "a.ini", "; a comment\n[code]\n  Boot.HEX = 0000 0001 ABCD  \r\nnovalue\n[CODE2]\nx=2\n"
                              "[long]\nv=" + std::string(200, 'z'));
  ProfileFile read(folder / "a.ini");
  EXPECT_EQ(read.Get(" Code ", "BOOT.HEX"), "0000 0001 ABCD");
  for (const char* key : {"x", "novalue"})
    EXPECT_EQ(read.Get("CODE", key), "") << key;  // x: another section's
  EXPECT_EQ(read.Get("nosuch", "x"), "");
  EXPECT_EQ(read.Get("long", "v"), std::string(127, 'z'));
  EXPECT_TRUE(ProfileFile(folder / "missing.ini").Lines().empty());

  // A section named twice (only the first counts), blank lines before the
  // next section, a comment, and keys before any section.
  WriteFile(folder / "a.ini", "top=0\n[A]\nk=1\n;k=c\n\n[B]\nx=1\n[a]\nk=dup\n[C]\n");
  ProfileFile ini(folder / "a.ini");
  ini.Set("a", "K", "2");    // the first [A]'s key
  ini.Set("A", "top", "1");  // not the key before the sections: added before the blank line
  ini.Set("B", "y", "2");    // added in the middle
  for (int i = 0; i < 300; ++i) ini.Set("C", "key" + std::to_string(i), std::to_string(i));
  ini.Set("c", "KEY7", "seven");
  ini.Set("C", ";note", "1");  // a comment line: added, never found again
  ini.Set("C", ";note", "2");
  ini.Set("C", "[x", "]");     // a line "[x=]": a section of its own, which ends C
  ini.Set("C", "after", "1");  // so this goes before it
  ini.Set("New]", "n", "1");   // a header that reads back as "New"
  ini.Set("New", "m", "2");
  ini.Set("A", "k", "3");
  EXPECT_EQ(ini.Get("A", "k"), "3");
  EXPECT_EQ(ini.Get("C", "key7"), "seven");
  EXPECT_EQ(ini.Get("C", "key299"), "299");
  EXPECT_EQ(ini.Get("New", "m"), "2");
  ini.Save();
  std::string expected =
      "top=0\r\n[A]\r\nk=3\r\n;k=c\r\ntop=1\r\n\r\n[B]\r\nx=1\r\ny=2\r\n[a]\r\nk=dup\r\n[C]\r\n";
  for (int i = 0; i < 300; ++i)
    expected +=
        i == 7 ? std::string("KEY7=seven\r\n") : "key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  EXPECT_EQ(ReadFile(folder / "a.ini"),
            expected + ";note=1\r\n;note=2\r\nafter=1\r\n[x=]\r\n[New]]\r\nn=1\r\nm=2\r\n");
}
