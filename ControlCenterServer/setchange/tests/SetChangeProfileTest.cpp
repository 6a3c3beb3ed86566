// The sectioned text files the set change keeps its records in: read as
// the platform's profile calls read them, written back without losing what
// we do not understand.
#include <gtest/gtest.h>

#include "setchange/ProfileFile.h"
#include "testing/SetFileTestSupport.h"

using setfile_test::ReadFile;
using setfile_test::ScratchFolder;
using setfile_test::WriteFile;

TEST(ProfileFile, ReadsKeysWithoutRegardToCaseOrSpaces) {
  ScratchFolder folder("profile");
  WriteFile(folder / "a.ini",
            "; a comment\n[code]\n  Boot.HEX = 0000 0001 ABCD  \r\nnovalue\n[CODE2]\nx=2\n"
            "[long]\nv=" + std::string(200, 'z'));
  ProfileFile ini(folder / "a.ini");
  EXPECT_EQ(ini.Get("CODE", "boot.hex"), "0000 0001 ABCD");
  EXPECT_EQ(ini.Get(" Code ", "BOOT.HEX"), "0000 0001 ABCD");
  EXPECT_EQ(ini.Get("CODE", "x"), "");       // another section's key
  EXPECT_EQ(ini.Get("CODE", "novalue"), "");
  EXPECT_EQ(ini.Get("nosuch", "x"), "");
  EXPECT_EQ(ini.Get("long", "v"), std::string(127, 'z'));
  EXPECT_TRUE(ProfileFile(folder / "missing.ini").Lines().empty());
}

TEST(ProfileFile, SetReplacesOrAddsAndSaveKeepsTheRest) {
  ScratchFolder folder("profile");
  WriteFile(folder / "a.ini", "; kept\n[CODE]\na=1\nb=2\n\n[OTHER]\nb=3\n");
  ProfileFile ini(folder / "a.ini");
  ini.Set("code", "B", "20");    // replaced where it stands, under the new spelling
  ini.Set("CODE", "c", "30");    // added after the section's last entry
  ini.Set("NEW", "d", "40");     // a new section at the end
  ini.Save();
  EXPECT_EQ(ReadFile(folder / "a.ini"),
            "; kept\r\n[CODE]\r\na=1\r\nB=20\r\nc=30\r\n\r\n[OTHER]\r\nb=3\r\n[NEW]\r\nd=40\r\n");

  ProfileFile fresh(folder / "new.ini");
  fresh.Set("CONFIG", "00409D123401", "10.0.0.1 x");
  fresh.Save();
  EXPECT_EQ(ReadFile(folder / "new.ini"), "[CONFIG]\r\n00409D123401=10.0.0.1 x\r\n");

  ProfileFile nowhere(folder / "no such folder\\a.ini");
  nowhere.Set("A", "b", "c");
  try {
    nowhere.Save();
    ADD_FAILURE() << "saved into a missing folder";
  } catch (const char* text) {
    EXPECT_EQ(std::string(text), "Could not write " + folder / "no such folder\\a.ini");
  }
}
