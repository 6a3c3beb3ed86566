// The REGEDIT4 backup of a registry subtree: the exact text written, what
// the reader accepts and refuses, and what a restore replaces.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "registry/Registry.h"
#include "registry/RegistryBackup.h"
#include "testing/RegistryTestSupport.h"

namespace {

const std::string kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\KorvaneRegistryTest";
const std::string kHeader =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow]\r\n\r\n" + kSection + "]\r\n";
const std::string kCorrupted = "The Korvane Registry is corrupted.: ";
const std::string kInvalidType = "Invalid value type in the Korvane registry.: ";

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes of one value, or "<none>".
std::string Value(const std::string& path, const char* name) {
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, path.c_str());
  std::string bytes(70000, '\0');
  DWORD size = static_cast<DWORD>(bytes.size());
  if (!key ||
      RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(bytes.data()), &size))
    return "<none>";
  return bytes.substr(0, size);
}
std::string Text(const std::string& text) { return text + '\0'; }
std::string Dword(DWORD value) { return std::string(reinterpret_cast<char*>(&value), 4); }

class RegistryBackup : public RegistryTestSubtree {
 protected:
  // Restores from a file holding text; what that raised.
  std::string Restore(const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
    return RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); });
  }
  const std::string file = TempFile("backup");
};

TEST_F(RegistryBackup, WritesHeadersValueLinesAndSectionsDepthFirst) {
  SaveRegistry(file.c_str(), kTestSubtree);
  EXPECT_EQ(FileText(file), kHeader);  // no subtree: the header lines alone
  SaveRegistry(file.c_str());
  EXPECT_STARTS_WITH(FileText(file), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow]\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane]\r\n");
  // Created in name order, the enumeration order of every registry.
  RawSetString(kTestSubtree, nullptr, "top");
  RawSetString(kTestSubtree, "Root", "C:\\x");
  RawSetDword(kTestSubtree, "Timeout", 31);
  RawSetDword(Under("Active Set"), "Zero", 0);
  RawSetString(Under("Active Set\\Boards"), "Quote", "a\"b\\c");
  RawSet(Under("Code"), "Blob", REG_BINARY, "\1\2", 2);
  RawSetString(Under("Code"), "Empty", "");
  RawSetString(Under("Code"), std::string(150, 'N').c_str(), std::string(400, 'd'));
  SaveRegistry(file.c_str(), kTestSubtree);
  const std::string section = "\r\n" + kSection;
  EXPECT_EQ(FileText(file),
            kHeader + "@=\"top\"\r\n\"Root\"=\"C:\\\\x\"\r\n\"Timeout\"=dword:0000001f\r\n" +
                section + "\\Active Set]\r\n\"Zero\"=dword:00000000\r\n" +
                section + "\\Active Set\\Boards]\r\n\"Quote\"=\"a\\\"b\\\\c\"\r\n" +
                section + "\\Code]\r\n\"Blob\"=?\r\n\"Empty\"=\"\"\r\n" +
                "\"" + std::string(150, 'N') + "\"=\"" + std::string(400, 'd') + "\"\r\n");

  EXPECT_STARTS_WITH(RaisedText([] { SaveRegistry("C:\\no such folder\\x.reg", kTestSubtree); }),
                     "Could not open a file to save the Korvane registry: ");
  // A file that opens but takes no bytes (a full disk: Linux's /dev/full
  // through Wine's drive Z:) is no backup: the writer says so instead of
  // leaving a set change to delete keys it did not save.
  const bool underWine =
      UniqueFileHandle(CreateFileA("Z:\\dev\\full", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
          .get() != INVALID_HANDLE_VALUE;
  if (underWine)
    EXPECT_STARTS_WITH(RaisedText([] { SaveRegistry("Z:\\dev\\full", kTestSubtree); }),
                       "Could not write the Korvane registry backup Z:\\dev\\full: ");
}

TEST_F(RegistryBackup, ReadsValuesWithBlanksAnywhereAndRefusesOthers) {
  UniqueKey key = CreateKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  const std::pair<const char*, std::string> cases[] = {
      {"\"a\\\"b\\\\c\"", Text("a\"b\\c")}, {"\"\"", Text("")},
      {"\"\\q\\\"", Text("q")},  // a lone backslash before the end is dropped
      {"dword:1F", Dword(31)}, {"dword:1f", Dword(31)}, {"dword:ffffffff", Dword(0xFFFFFFFF)},
      {"dword:", Dword(0)}, {"dword", Dword(0)}};
  for (const auto& [data, stored] : cases) {
    SetValueFromText(key.get(), "V", data);
    EXPECT_EQ(Value(kTestSubtree, "V"), stored) << data;
  }
  RegDeleteValueA(key.get(), "V");
  const std::pair<const char*, std::string> refused[] = {
      {"?", kInvalidType}, {"hex:01,02", kInvalidType}, {"", kInvalidType}, {"Dword:1", kInvalidType},
      {"\"no end", kCorrupted}};
  for (const auto& [data, text] : refused)
    EXPECT_STARTS_WITH(RaisedText([&, d = data] { SetValueFromText(key.get(), "V", d); }), text);
  EXPECT_EQ(Value(kTestSubtree, "V"), "<none>");

  RegistryFileLine line = ParseRegistryLine("  \"a=b\"=\"10.0.0.1\" \t\r\n");
  EXPECT_EQ(line.kind, RegistryFileLine::Value);
  EXPECT_EQ(line.name, "a=b");  // names are written unescaped
  EXPECT_EQ(line.data, "\"10.0.0.1\"");
  EXPECT_EQ(ParseRegistryLine("[HKEY_LOCAL_MACHINE\\SOFTWARE\\odd]name]").path, "SOFTWARE\\odd]name");
  EXPECT_EQ(ParseRegistryLine(" \t ").kind, RegistryFileLine::Blank);
  for (const char* bad : {"Name=\"x\"", "\"no equals\"", "@\"x\""})
    EXPECT_STARTS_WITH(RaisedText([&] { ParseRegistryLine(bad); }), kCorrupted);
  EXPECT_NE(RaisedText([] { ParseRegistryLine("[HKEY_CURRENT_USER\\Software]"); }), "<nothing raised>");

  EXPECT_EQ(Restore("not even REGEDIT4\n\n  \n\t\n   " + kSection + "\\Path]   \r\n\r\n"
                    "  \"Root\"=\"C:\\\\Korvane\"\t \r\n\n\n@=\"default\"\n"
                    "\"Last\"=dword:2a"),  // no line end at the very end
            "<nothing raised>");
  EXPECT_EQ(Value(Under("Path"), "Root"), Text("C:\\Korvane"));
  EXPECT_EQ(Value(Under("Path"), ""), Text("default"));
  EXPECT_EQ(Value(Under("Path"), "Last"), Dword(42));
  // The subtree's ancestors are named but never opened.
  EXPECT_EQ(
      Restore("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n[HKEY_LOCAL_MACHINE\\software\\BRENLOW]\r\n"),
      "<nothing raised>");
  for (const char* parent : {"SOFTWARE", "SOFTWARE\\Brenlow"}) {
    EXPECT_NE(Restore(std::string("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\") + parent + "]\r\n\"Stray\"=\"x\"\r\n"),
              "<nothing raised>");
    EXPECT_EQ(Value(parent, "Stray"), "<none>");
  }
}

TEST_F(RegistryBackup, RestoreReplacesCodeAndActiveSetAndKeepsWhatItApplied) {
  RawSetDword(Under("Code\\Old"), "V", 1);
  RawSetDword(Under("Active Set\\Boards\\000000000001"), "Number", 0);
  RawSetString(Under("Network"), "Base IP Address", "10.0.0.1");
  DeleteFileA(file.c_str());
  EXPECT_STARTS_WITH(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }),
                     "Could not open a file to restore the Korvane registry: ");
  EXPECT_TRUE(KeyExists(Under("Code\\Old")));  // a missing file deletes nothing

  Restore(kHeader + "\"A\"=\"1\"\r\n\r\n" + kSection + "\\Code\\New]\r\n\"V\"=dword:00000002\r\n");
  TreeSnapshot tree = Snapshot(kTestSubtree);
  EXPECT_EQ(tree.count("Code\\Old") + tree.count("Active Set"), 0u);
  EXPECT_EQ(tree["Code\\New"]["V"].second, Dword(2));
  EXPECT_EQ(tree["Network"]["Base IP Address"].second, Text("10.0.0.1"));  // not in the file: kept
  EXPECT_EQ(tree[""]["A"].second, Text("1"));

  EXPECT_STARTS_WITH(Restore(kHeader + "\"B\"=\"2\"\r\n\"Blob\"=?\r\n\"C\"=\"3\"\r\n"), kInvalidType);
  EXPECT_EQ(Value(kTestSubtree, "B"), Text("2"));
  EXPECT_EQ(Value(kTestSubtree, "C"), "<none>");
  EXPECT_FALSE(KeyExists(Under("Code")));
}

}  // namespace
