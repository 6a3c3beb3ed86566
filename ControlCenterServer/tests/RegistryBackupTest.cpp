// The REGEDIT4 backup of a registry subtree: the exact text written, the
// lines the reader accepts and refuses, round trips through our own reader
// and through the system's registry editor, and random input to the reader.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>

#include "Registry.h"
#include "RegistryBackup.h"
#include "RegistryTestSupport.h"

namespace {

const std::string kHeader =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\KorvaneRegistryTest]\r\n";
const std::string kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\KorvaneRegistryTest";

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string AssertionPrefix(const char* message, const char* condition) {
  std::string text = message ? std::string(message) + ": " : std::string();
  return text + "Condition (" + condition + ") failed in file RegistryBackup.cpp(";
}

#define EXPECT_STARTS_WITH(text, prefix) \
  EXPECT_EQ(std::string(text).rfind(prefix, 0), 0u) << (text)

std::string StringAt(const TreeSnapshot& tree, const std::string& key, const std::string& name) {
  auto k = tree.find(key);
  if (k == tree.end()) return "<no key>";
  auto v = k->second.find(name);
  if (v == k->second.end()) return "<no value>";
  if (v->second.type != REG_SZ) return "<not a string>";
  return std::string(reinterpret_cast<const char*>(v->second.bytes.data()));
}

DWORD DwordAt(const TreeSnapshot& tree, const std::string& key, const std::string& name) {
  const StoredValue& value = tree.at(key).at(name);
  EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
  DWORD dword = 0;
  if (value.bytes.size() == sizeof dword) std::memcpy(&dword, value.bytes.data(), sizeof dword);
  return dword;
}

// A subtree with every kind of value the writer and the reader handle.
void FillSample() {
  RawSetString(kTestSubtree, nullptr, "the default");
  RawSetString(kTestSubtree, "Root", "C:\\x");
  RawSetDword(kTestSubtree, "Timeout", 31);
  RawSetDword(Under("Active Set"), "Zero", 0);
  RawSetDword(Under("Active Set"), "All", 0xFFFFFFFF);
  RawSetString(Under("Active Set\\Boards\\0A1B2C3D4E5F"), "Name", "a\"b\\c");
  RawSetString(Under("Active Set\\Boards\\0A1B2C3D4E5F"), "Path", "");
  RawSetString(Under("Code"), "Trailing backslash", "C:\\dir\\");
  RawSetString(Under("Code"), "Quotes only", "\"\"\"");
  RawSetString(Under("Code\\Key with spaces"), "Spaced value", "  both ends  ");
  std::string longText;
  for (int i = 0; i < 6000; ++i) longText += (i % 3 == 0) ? "\\" : (i % 3 == 1) ? "\"" : "x";
  RawSetString(Under("Long"), "Escapes everywhere", longText);
  RawSetString(Under("Long"), std::string(200, 'n').c_str(), std::string(3000, 'v'));
}

using RegistryBackupWriter = RegistryTestSubtree;

TEST_F(RegistryBackupWriter, AMissingSubtreeGivesTheFiveHeaderLinesAlone) {
  std::string file = TempFile("missing");
  SaveRegistry(file.c_str(), kTestSubtree);
  EXPECT_EQ(FileText(file), kHeader);
}

TEST_F(RegistryBackupWriter, TheSystemsSubtreeIsWrittenUnderItsOwnHeaders) {
  std::string file = TempFile("system");
  SaveRegistry(file.c_str());
  EXPECT_STARTS_WITH(FileText(file),
                     "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow]\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane]\r\n");
}

TEST_F(RegistryBackupWriter, WritesValueLinesThenSubkeySectionsDepthFirst) {
  // Created in name order, which is the enumeration order on every registry.
  RawSetString(kTestSubtree, nullptr, "top");
  RawSetString(kTestSubtree, "Root", "C:\\x");
  RawSetDword(kTestSubtree, "Timeout", 31);
  RawSetDword(Under("Active Set"), "Zero", 0);
  RawSetString(Under("Active Set\\Boards"), "Quote", "a\"b\\c");
  const BYTE blob[] = {1, 2, 3};
  RawSet(Under("Code"), "Blob", REG_BINARY, blob, sizeof blob);
  RawSetString(Under("Code"), "Empty", "");

  std::string file = TempFile("sample");
  SaveRegistry(file.c_str(), kTestSubtree);

  EXPECT_EQ(FileText(file), kHeader +
                                "@=\"top\"\r\n"
                                "\"Root\"=\"C:\\\\x\"\r\n"
                                "\"Timeout\"=dword:0000001f\r\n"
                                "\r\n" +
                                kSection + "\\Active Set]\r\n" +
                                "\"Zero\"=dword:00000000\r\n"
                                "\r\n" +
                                kSection + "\\Active Set\\Boards]\r\n" +
                                "\"Quote\"=\"a\\\"b\\\\c\"\r\n"
                                "\r\n" +
                                kSection + "\\Code]\r\n" +
                                "\"Blob\"=?\r\n"
                                "\"Empty\"=\"\"\r\n");
  EXPECT_NE(FileText(file).find("\r\n\"Root\"=\"C:\\\\x\"\r\n"), std::string::npos);
  EXPECT_EQ(std::string("\"Root\"=\"C:\\\\x\"").size(), 14u);
}

TEST_F(RegistryBackupWriter, NamesAndDataBeyondSmallBuffersAreWrittenWhole) {
  const std::string name(150, 'N');
  const std::string data(5000, '"');
  RawSetString(kTestSubtree, name.c_str(), data);
  RawSetString(kTestSubtree, "ZZ after it", "still written");
  const std::string subkey(200, 'k');
  RawSetDword(Under(subkey), "V", 5);

  std::string file = TempFile("long");
  SaveRegistry(file.c_str(), kTestSubtree);
  std::string text = FileText(file);

  std::string escaped;
  for (char c : data) escaped += std::string("\\") + c;
  EXPECT_NE(text.find("\r\n\"" + name + "\"=\"" + escaped + "\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"ZZ after it\"=\"still written\"\r\n"), std::string::npos);
  EXPECT_NE(text.find(kSection + "\\" + subkey + "]\r\n\"V\"=dword:00000005\r\n"),
            std::string::npos);
}

TEST_F(RegistryBackupWriter, AFileThatCannotBeOpenedRaisesTheFpAssertion) {
  std::string text = RaisedText([] { SaveRegistry("C:\\no such folder\\x\\y.reg", kTestSubtree); });
  EXPECT_STARTS_WITH(text, AssertionPrefix("Could not open a file to save the Korvane registry", "fp"));
}

using RegistryBackupReader = RegistryTestSubtree;

TEST_F(RegistryBackupReader, SetValueFromTextUnescapesStringsAndReadsDwords) {
  UniqueKey key = CreateKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  SetValueFromText(key.get(), "Escaped", "\"a\\\"b\\\\c\"");
  SetValueFromText(key.get(), "Empty", "\"\"");
  SetValueFromText(key.get(), "Other escape", "\"\\q\\\"");  // a lone \ before the end drops
  SetValueFromText(key.get(), "Upper", "dword:1F");
  SetValueFromText(key.get(), "Lower", "dword:1f");
  SetValueFromText(key.get(), "Zero", "dword:00000000");
  SetValueFromText(key.get(), "Max", "dword:ffffffff");
  SetValueFromText(key.get(), "No digits", "dword:");
  SetValueFromText(key.get(), "No colon", "dword");
  SetValueFromText(key.get(), "", "\"default\"");

  TreeSnapshot tree = Snapshot(kTestSubtree);
  EXPECT_EQ(StringAt(tree, "", "Escaped"), "a\"b\\c");
  EXPECT_EQ(tree[""]["Escaped"].bytes.size(), 6u);
  EXPECT_EQ(StringAt(tree, "", "Empty"), "");
  EXPECT_EQ(tree[""]["Empty"].bytes.size(), 1u);
  EXPECT_EQ(StringAt(tree, "", "Other escape"), "q");
  EXPECT_EQ(StringAt(tree, "", ""), "default");
  EXPECT_EQ(DwordAt(tree, "", "Upper"), 31u);
  EXPECT_EQ(DwordAt(tree, "", "Lower"), 31u);
  EXPECT_EQ(DwordAt(tree, "", "Zero"), 0u);
  EXPECT_EQ(DwordAt(tree, "", "Max"), 0xFFFFFFFFu);
  EXPECT_EQ(DwordAt(tree, "", "No digits"), 0u);
  EXPECT_EQ(DwordAt(tree, "", "No colon"), 0u);
}

TEST_F(RegistryBackupReader, SetValueFromTextRefusesOtherTypesAndUnclosedStrings) {
  UniqueKey key = CreateKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  const std::string invalid = AssertionPrefix("Invalid value type in the Korvane registry.", "0");
  for (const char* data : {"?", "hex:01,02,03", "hex(2):41,00", "", "Dword:1"})
    EXPECT_STARTS_WITH(RaisedText([&] { SetValueFromText(key.get(), "V", data); }), invalid);
  EXPECT_STARTS_WITH(RaisedText([&] { SetValueFromText(key.get(), "V", "\"no end"); }),
                     AssertionPrefix("The Korvane Registry is corrupted.", "close != data"));
  EXPECT_TRUE(Snapshot(kTestSubtree)[""].empty());
}

TEST_F(RegistryBackupReader, ParsesEachKindOfLine) {
  RegistryFileLine line = ParseRegistryLine("   \t  \r\n");
  EXPECT_EQ(line.kind, RegistryFileLine::Blank);

  line = ParseRegistryLine("  \"Base IP Address\"=\"10.0.0.1\"  \r");
  EXPECT_EQ(line.kind, RegistryFileLine::Value);
  EXPECT_EQ(line.name, "Base IP Address");
  EXPECT_EQ(line.data, "\"10.0.0.1\"");

  line = ParseRegistryLine("\"a=b\"=dword:00000001");  // the writer leaves names unescaped
  EXPECT_EQ(line.name, "a=b");
  EXPECT_EQ(line.data, "dword:00000001");

  line = ParseRegistryLine("@=\"x\"");
  EXPECT_EQ(line.kind, RegistryFileLine::Value);
  EXPECT_EQ(line.name, "");
  EXPECT_EQ(line.data, "\"x\"");

  line = ParseRegistryLine("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Code]");
  EXPECT_EQ(line.kind, RegistryFileLine::Key);
  EXPECT_EQ(line.path, "SOFTWARE\\Brenlow\\Korvane\\Code");
  line = ParseRegistryLine("[HKEY_LOCAL_MACHINE\\SOFTWARE\\odd]name]");
  EXPECT_EQ(line.path, "SOFTWARE\\odd]name");
}

TEST_F(RegistryBackupReader, RefusesLinesItCannotRead) {
  const std::string corrupted = AssertionPrefix("The Korvane Registry is corrupted.", "0");
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("Name=\"x\""); }), corrupted);
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("; a comment"); }), corrupted);
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("[HKEY_CURRENT_USER\\Software]"); }),
                     AssertionPrefix(nullptr, "strstr(sptr,\"HKEY_LOCAL_MACHINE\")"));
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("\"no equals\""); }),
                     AssertionPrefix("The Korvane Registry is corrupted.",
                                     "close != std::string::npos"));
  EXPECT_STARTS_WITH(RaisedText([] { ParseRegistryLine("@\"x\""); }),
                     AssertionPrefix("The Korvane Registry is corrupted.",
                                     "line.size() >= 2 && line[1] == '='"));
}

TEST_F(RegistryBackupReader, AcceptsBlanksAnywhereAndIgnoresTheFirstLine) {
  std::string file = TempFile("blanks");
  WriteFileText(file,
                "not even REGEDIT4\n"
                "\n  \n\t\n"
                "   [HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\KorvaneRegistryTest\\Path]   \r\n"
                "\r\n"
                "  \"Root\"=\"C:\\\\Korvane\"\t \r\n"
                "\n\n"
                "@=\"default\"\n"
                "\"Last\"=dword:2a");  // no line end at the end of the file
  RestoreRegistry(file.c_str(), kTestSubtree);
  TreeSnapshot tree = Snapshot(kTestSubtree);
  EXPECT_EQ(StringAt(tree, "Path", "Root"), "C:\\Korvane");
  EXPECT_EQ(StringAt(tree, "Path", ""), "default");
  EXPECT_EQ(DwordAt(tree, "Path", "Last"), 42u);
}

TEST_F(RegistryBackupReader, TheSubtreesAncestorsOpenNoKey) {
  std::string file = TempFile("ancestors");
  WriteFileText(file, "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n[HKEY_LOCAL_MACHINE\\software\\BRENLOW]\r\n");
  EXPECT_EQ(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }), "<nothing raised>");

  for (const char* header : {"[HKEY_LOCAL_MACHINE\\SOFTWARE]", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow]",
                             "[HKEY_LOCAL_MACHINE]"}) {
    WriteFileText(file, std::string("REGEDIT4\r\n") + header + "\r\n\"Stray\"=\"x\"\r\n");
    EXPECT_STARTS_WITH(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }),
                       AssertionPrefix(nullptr, "currentKey"));
  }
  for (const char* path : {"", "SOFTWARE", kBrenlowPath}) {
    UniqueKey key = OpenKey(HKEY_LOCAL_MACHINE, path);
    EXPECT_NE(RegQueryValueExA(key ? key.get() : HKEY_LOCAL_MACHINE, "Stray", nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS)
        << path;
  }
}

TEST_F(RegistryBackupReader, ReplacesCodeAndActiveSetAndLeavesEverythingElse) {
  RawSetDword(Under("Code\\Old"), "V", 1);
  RawSetDword(Under("Active Set\\Boards\\000000000001"), "Number", 0);
  RawSetString(Under("Network"), "Base IP Address", "10.0.0.1");
  RawSetString(kTestSubtree, "Extra", "kept");
  std::string file = TempFile("partial");
  WriteFileText(file, kHeader + "\"Root\"=\"restored\"\r\n\r\n" + kSection + "\\Code\\New]\r\n\"V\"=dword:00000002\r\n");

  RestoreRegistry(file.c_str(), kTestSubtree);

  TreeSnapshot tree = Snapshot(kTestSubtree);
  EXPECT_EQ(tree.count("Code\\Old"), 0u);
  EXPECT_EQ(DwordAt(tree, "Code\\New", "V"), 2u);
  EXPECT_EQ(tree.count("Active Set"), 0u);
  EXPECT_EQ(StringAt(tree, "Network", "Base IP Address"), "10.0.0.1");
  EXPECT_EQ(StringAt(tree, "", "Extra"), "kept");
  EXPECT_EQ(StringAt(tree, "", "Root"), "restored");
}

TEST_F(RegistryBackupReader, StopsAtTheFirstBadLineAndKeepsWhatWasApplied) {
  RawSetDword(Under("Code\\Old"), "V", 1);
  std::string file = TempFile("bad");
  WriteFileText(file, kHeader + "\"A\"=\"1\"\r\n\"Blob\"=?\r\n\"C\"=\"3\"\r\n");
  EXPECT_STARTS_WITH(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }),
                     AssertionPrefix("Invalid value type in the Korvane registry.", "0"));
  TreeSnapshot tree = Snapshot(kTestSubtree);
  EXPECT_EQ(StringAt(tree, "", "A"), "1");
  EXPECT_EQ(StringAt(tree, "", "C"), "<no value>");
  EXPECT_EQ(tree.count("Code"), 0u);
}

TEST_F(RegistryBackupReader, AMissingFileRaisesTheFpAssertionAndDeletesNothing) {
  RawSetDword(Under("Code\\Old"), "V", 1);
  std::string file = TempFile("absent");
  EXPECT_STARTS_WITH(RaisedText([&] { RestoreRegistry(file.c_str(), kTestSubtree); }),
                     AssertionPrefix("Could not open a file to restore the Korvane registry", "fp"));
  EXPECT_TRUE(KeyExists(Under("Code\\Old")));
}

using RegistryBackupRoundTrip = RegistryTestSubtree;

TEST_F(RegistryBackupRoundTrip, RestoringWhatWasSavedGivesEqualKeysAndValues) {
  FillSample();
  TreeSnapshot before = Snapshot(kTestSubtree);
  std::string file = TempFile("roundtrip");
  SaveRegistry(file.c_str(), kTestSubtree);
  DeleteKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  ASSERT_FALSE(KeyExists(kTestSubtree));

  RestoreRegistry(file.c_str(), kTestSubtree);

  EXPECT_EQ(Snapshot(kTestSubtree), before);
  EXPECT_EQ(StringAt(before, "Active Set\\Boards\\0A1B2C3D4E5F", "Name"), "a\"b\\c");
}

// Random names and texts of every byte the format can carry, most of them
// far beyond the writer's and the reader's classic buffer sizes.
TEST_F(RegistryBackupRoundTrip, RandomValuesSurviveTheRoundTrip) {
  std::mt19937 random(1998);
  auto randomText = [&](size_t length, bool forName) {
    std::string text;
    while (text.size() < length) {
      char c = static_cast<char>(1 + random() % 255);
      if (c == '\r' || c == '\n') continue;
      // A name ends at the first quote followed by "=", as the writer leaves
      // names unescaped.
      if (forName && c == '=' && !text.empty() && text.back() == '"') continue;
      if (forName && c == '"' && text.size() + 1 == length) continue;
      text += c;
    }
    return text;
  };
  for (int k = 0; k < 6; ++k) {
    std::string key = Under("Random " + std::to_string(k));
    for (int v = 0; v < 12; ++v) {
      std::string name = randomText(1 + random() % 120, true);
      if (random() % 3 == 0)
        RawSetDword(key, name.c_str(), static_cast<DWORD>(random()));
      else
        RawSetString(key, name.c_str(), randomText(random() % 2000, false));
    }
  }
  TreeSnapshot before = Snapshot(kTestSubtree);
  std::string file = TempFile("random");
  SaveRegistry(file.c_str(), kTestSubtree);
  DeleteKey(HKEY_LOCAL_MACHINE, kTestSubtree);
  RestoreRegistry(file.c_str(), kTestSubtree);
  EXPECT_TRUE(Snapshot(kTestSubtree) == before);
}

// The file must stay importable by the system's own registry editor: Wine's
// regedit, run on the file after the subtree is gone, must rebuild it equal.
TEST_F(RegistryBackupRoundTrip, TheSystemsRegistryEditorImportsTheFileToEqualData) {
  FillSample();
  TreeSnapshot before = Snapshot(kTestSubtree);
  std::string file = TempFile("regedit");
  SaveRegistry(file.c_str(), kTestSubtree);
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestSubtree), ERROR_SUCCESS);
  ASSERT_FALSE(KeyExists(kTestSubtree));

  char windows[MAX_PATH];
  ASSERT_NE(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  std::string command = std::string("\"") + windows + "\\regedit.exe\" /s \"" + file + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process))
      << command;
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);

  TreeSnapshot after = Snapshot(kTestSubtree);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [key, values] : before) {
    ASSERT_EQ(after.count(key), 1u) << key;
    for (const auto& [name, value] : values) {
      ASSERT_EQ(after[key].count(name), 1u) << key << " / " << name;
      EXPECT_TRUE(after[key][name] == value) << key << " / " << name;
    }
    EXPECT_EQ(after[key].size(), values.size()) << key;
  }
}

using RegistryBackupRobustness = RegistryTestSubtree;

// Random text, now and then far longer than any line buffer.
std::string RandomFragment(std::mt19937& random) {
  static const std::string alphabet =
      "\"\\=@[]:;dwordhexHKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow 0123456789abcdefABCDEF\t\r\n\x1a\xff?";
  std::string text;
  size_t length = random() % 40 == 0 ? 1000 + random() % 5000 : random() % 40;
  for (size_t i = 0; i < length; ++i)
    text += random() % 8 ? alphabet[random() % alphabet.size()]
                         : static_cast<char>(1 + random() % 255);
  return text;
}

// Mostly lines shaped like the format's own, broken in random places, so
// that every branch of the reader is reached; some pure noise.
std::string RandomLine(std::mt19937& random) {
  auto data = [&] {
    switch (random() % 4) {
      case 0: return "\"" + RandomFragment(random) + (random() % 2 ? "\"" : "");
      case 1: return "dword:" + RandomFragment(random);
      case 2: return std::string(random() % 2 ? "hex:" : "?") + RandomFragment(random);
      default: return RandomFragment(random);
    }
  };
  switch (random() % 5) {
    case 0: return "\"" + RandomFragment(random) + "\"=" + data();
    case 1: return "@=" + data();
    case 2: return "[HKEY_LOCAL_MACHINE\\" + RandomFragment(random) + (random() % 2 ? "]" : "");
    case 3: return std::string(random() % 3, ' ') + RandomFragment(random) + std::string(random() % 3, '\t');
    default: return RandomFragment(random);
  }
}

TEST_F(RegistryBackupRobustness, RandomLinesAreParsedOrRefusedWithoutHarm) {
  auto started = std::chrono::steady_clock::now();
  std::mt19937 random(20040);
  UniqueKey key = CreateKey(HKEY_LOCAL_MACHINE, Under("Fuzz").c_str());
  int values = 0, keys = 0, refused = 0;
  for (int i = 0; i < 4000; ++i) {
    try {
      RegistryFileLine line = ParseRegistryLine(RandomLine(random));
      if (line.kind == RegistryFileLine::Value) {
        SetValueFromText(key.get(), line.name.c_str(), line.data.c_str());
        ++values;
      } else if (line.kind == RegistryFileLine::Key) {
        ++keys;
      }
    } catch (char* text) {
      ASSERT_NE(text, nullptr);
      ++refused;
    }
  }
  // Whole files too: the reader stops at the first line it refuses.
  std::string file = TempFile("fuzz");
  for (int f = 0; f < 40; ++f) {
    std::string text = kHeader;
    for (int i = 0; i < 50; ++i) {
      // Every header is kept inside the test's own subtree.
      std::string line = RandomLine(random);
      size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos && line[first] == '[')
        line = kSection + "\\Fuzz\\" + line.substr(first + 1);
      text += line + "\r\n";
    }
    WriteFileText(file, text);
    try {
      RestoreRegistry(file.c_str(), kTestSubtree);
    } catch (char*) {
    }
  }
  EXPECT_GT(values, 0);
  EXPECT_GT(keys, 0);
  EXPECT_GT(refused, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

}  // namespace
