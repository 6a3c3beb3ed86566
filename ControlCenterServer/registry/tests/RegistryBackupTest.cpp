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
const std::string kCorrupted = "The Korvane Registry is corrupted.: Condition (";

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Assertion(const std::string& message, const char* condition) {
  return (message.empty() ? "" : message + ": ") + "Condition (" + condition +
         ") failed in file RegistryBackup.cpp(";
}

// The bytes of one value, or "<none>".
std::string Value(const std::string& path, const char* name) {
  UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, path.c_str());
  std::string bytes(70000, '\0');
  DWORD size = static_cast<DWORD>(bytes.size());
  if (!key || RegQueryValueExA(key.get(), name, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(bytes.data()), &size))
    return "<none>";
  return bytes.substr(0, size);
}
std::string Text(const std::string& text) { return text + '\0'; }
std::string Dword(DWORD value) { return std::string(reinterpret_cast<char*>(&value), 4); }

using RegistryBackup = RegistryTestSubtree;

TEST_F(RegistryBackup, WritesHeadersValueLinesAndSectionsDepthFirst) {
  std::string file = TempFile("written");
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

  EXPECT_EQ(FileText(file), kHeader +
                                "@=\"top\"\r\n"
                                "\"Root\"=\"C:\\\\x\"\r\n"
                                "\"Timeout\"=dword:0000001f\r\n"
                                "\r\n" + kSection + "\\Active Set]\r\n"
                                "\"Zero\"=dword:00000000\r\n"
                                "\r\n" + kSection + "\\Active Set\\Boards]\r\n"
                                "\"Quote\"=\"a\\\"b\\\\c\"\r\n"
                                "\r\n" + kSection + "\\Code]\r\n"
                                "\"Blob\"=?\r\n"
                                "\"Empty\"=\"\"\r\n"
                                "\"" + std::string(150, 'N') + "\"=\"" + std::string(400, 'd') +
                                "\"\r\n");
  EXPECT_STARTS_WITH(RaisedText([] { SaveRegistry("C:\\no such folder\\x.reg", kTestSubtree); }),
                     Assertion("Could not open a file to save the Korvane registry", "fp"));
  // A file that opens but takes no bytes (a full disk: Linux's /dev/full
  // through Wine's drive Z:) is no backup: the writer says so instead of
  // leaving a set change to delete keys it did not save.
  const bool underWine = UniqueFileHandle(CreateFileA("Z:\\dev\\full", GENERIC_WRITE, 0, nullptr,
                                                     OPEN_EXISTING, 0, nullptr))
                            .get() != INVALID_HANDLE_VALUE;
  if (underWine)
    EXPECT_STARTS_WITH(RaisedText([] { SaveRegistry("Z:\\dev\\full", kTestSubtree); }),
                       "Could not write the Korvane registry backup Z:\\dev\\full: ");
}

TEST_F(RegistryBackup, SetValueFromTextUnescapesStringsAndReadsDwords) {
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
  SetValueFromText(key.get(), "", "\"default\"");
  EXPECT_EQ(Value(kTestSubtree, ""), Text("default"));

  RegDeleteValueA(key.get(), "V");
  for (const char* data : {"?", "hex:01,02", "", "Dword:1"})
    EXPECT_STARTS_WITH(RaisedText([&] { SetValueFromText(key.get(), "V", data); }),
                       Assertion("Invalid value type in the Korvane registry.", "0"));
  EXPECT_STARTS_WITH(RaisedText([&] { SetValueFromText(key.get(), "V", "\"no end"); }),
                     kCorrupted + "close != data)");
  EXPECT_EQ(Value(kTestSubtree, "V"), "<none>");
}

TEST_F(RegistryBackup, ReadsLinesWithBlanksAnywhereAndRefusesOthers) {
  RegistryFileLine line = ParseRegistryLine("  \"a=b\"=\"10.0.0.1\" \t\r\n");
  EXPECT_EQ(line.kind, RegistryFileLine::Value);
  EXPECT_EQ(line.name, "a=b");  // names are written unescaped
  EXPECT_EQ(line.data, "\"10.0.0.1\"");
  EXPECT_EQ(ParseRegistryLine("[HKEY_LOCAL_MACHINE\\SOFTWARE\\odd]name]").path, "SOFTWARE\\odd]name");
  EXPECT_EQ(ParseRegistryLine(" \t ").kind, RegistryFileLine::Blank);

  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("Name=\"x\""); }), kCorrupted + "0)");
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("\"no equals\""); }), kCorrupted);
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("@\"x\""); }), kCorrupted);
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("[HKEY_CURRENT_USER\\Software]"); }),
                     Assertion("", "strstr(sptr,\"HKEY_LOCAL_MACHINE\")"));

  std::string file = TempFile("blanks");
  WriteFileText(file, "not even REGEDIT4\n\n  \n\t\n   " + kSection + "\\Path]   \r\n\r\n"
                      "  \"Root\"=\"C:\\\\Korvane\"\t \r\n\n\n@=\"default\"\n"
                      "\"Last\"=dword:2a");  // no line end at the very end
  RestoreRegistry(file.c_str(), kTestSubtree);
  EXPECT_EQ(Value(Under("Path"), "Root"), Text("C:\\Korvane"));
  EXPECT_EQ(Value(Under("Path"), ""), Text("default"));
  EXPECT_EQ(Value(Under("Path"), "Last"), Dword(42));

  // The subtree's ancestors are named but never opened.
  WriteFileText(file, "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n[HKEY_LOCAL_MACHINE\\software\\BRENLOW]\r\n");
  EXPECT_EQ(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }), "<nothing raised>");
  for (const char* parent : {"SOFTWARE", "SOFTWARE\\Brenlow"}) {
    WriteFileText(file, std::string("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\") + parent + "]\r\n\"Stray\"=\"x\"\r\n");
    EXPECT_STARTS_WITH(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }),
                       Assertion("", "currentKey"));
    EXPECT_EQ(Value(parent, "Stray"), "<none>");
  }
}

TEST_F(RegistryBackup, RestoreReplacesCodeAndActiveSetAndKeepsWhatItApplied) {
  RawSetDword(Under("Code\\Old"), "V", 1);
  RawSetDword(Under("Active Set\\Boards\\000000000001"), "Number", 0);
  RawSetString(Under("Network"), "Base IP Address", "10.0.0.1");
  std::string file = TempFile("partial");
  EXPECT_STARTS_WITH(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }),
                     Assertion("Could not open a file to restore the Korvane registry", "fp"));
  EXPECT_TRUE(KeyExists(Under("Code\\Old")));  // a missing file deletes nothing

  WriteFileText(file, kHeader + "\"A\"=\"1\"\r\n\r\n" + kSection + "\\Code\\New]\r\n\"V\"=dword:00000002\r\n");
  RestoreRegistry(file.c_str(), kTestSubtree);
  TreeSnapshot tree = Snapshot(kTestSubtree);
  EXPECT_EQ(tree.count("Code\\Old") + tree.count("Active Set"), 0u);
  EXPECT_EQ(tree["Code\\New"]["V"].second, Dword(2));
  EXPECT_EQ(tree["Network"]["Base IP Address"].second, Text("10.0.0.1"));  // not in the file: kept
  EXPECT_EQ(tree[""]["A"].second, Text("1"));

  WriteFileText(file, kHeader + "\"B\"=\"2\"\r\n\"Blob\"=?\r\n\"C\"=\"3\"\r\n");
  EXPECT_STARTS_WITH(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }),
                     Assertion("Invalid value type in the Korvane registry.", "0"));
  EXPECT_EQ(Value(kTestSubtree, "B"), Text("2"));
  EXPECT_EQ(Value(kTestSubtree, "C"), "<none>");
  EXPECT_FALSE(KeyExists(Under("Code")));
}

}  // namespace
