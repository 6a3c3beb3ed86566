// korvane-setfile: build, dump, extract and check, in-process and as the
// program itself.
#include <gtest/gtest.h>

#include <sstream>

#include "SetFileTool.h"
#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

struct ToolRun {
  int exit = -1;
  std::string out;
  std::string err;
  bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
};

ToolRun Tool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  ToolRun run;
  run.exit = RunSetFileTool(args, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::vector<std::string> SortedFiles(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST(SetFileTool, BuildThenExtractGivesBackTheFolderByteForByte) {
  ScratchFolder work("tool-roundtrip");
  MakeFolder(work / "lists");
  const std::vector<NamedList> files = {{"networkd", Networkd({Board("B0", 'S', 1)})},
                                        {"odd", "abcde"},
                                        {"empty", ""},
                                        {"cp_type.exp", AllBytes()},
                                        {"0001sbpt.cfg", std::string(9000, '\xFF')}};
  for (const NamedList& file : files) WriteFile(work / ("lists\\" + file.name), file.data);

  const std::string set = work / "built.cfg";
  ToolRun run = Tool({"build", work / "lists", set});
  ASSERT_EQ(run.exit, kExitOk) << run.out << run.err;
  run = Tool({"dump", set});
  EXPECT_EQ(run.exit, kExitOk) << run.out;
  EXPECT_TRUE(run.Says(": holds")) << run.out;
  EXPECT_TRUE(run.Says("          24       9000  0001sbpt.cfg\n        9042        256  cp_type.exp\n")) << run.out;

  run = Tool({"extract", set, work / "out"});
  ASSERT_EQ(run.exit, kExitOk) << run.out << run.err;
  EXPECT_EQ(SortedFiles(work / "out"), SortedFiles(work / "lists"));
  for (const NamedList& file : files) EXPECT_EQ(ReadFile(work / ("out\\" + file.name)), file.data) << file.name;

  // And the extracted folder builds the same set again.
  ASSERT_EQ(Tool({"build", work / "out", work / "again.cfg"}).exit, kExitOk);
  EXPECT_EQ(ReadFile(work / "again.cfg"), ReadFile(set));
}

TEST(SetFileTool, DumpAndExtractRefuseBrokenSets) {
  ScratchFolder work("tool-broken");
  std::string set = ComposeSetFile({{"networkd", Networkd({Board("B0", 'S', 1)})}, {"odd", "abcde"}});
  set[30] ^= 0x10;
  WriteFile(work / "crc.cfg", set);
  ToolRun run = Tool({"dump", work / "crc.cfg"});
  EXPECT_EQ(run.exit, kExitInvalid);
  EXPECT_TRUE(run.Says("FAILED")) << run.out;
  run = Tool({"extract", work / "crc.cfg", work / "out"});
  EXPECT_EQ(run.exit, kExitInvalid);
  EXPECT_TRUE(run.Says("CRC failed for " + work / "crc.cfg")) << run.out;
  EXPECT_FALSE(FileExists(work / "out"));
  EXPECT_EQ(Tool({"extract", work / "crc.cfg", work / "out", "--force"}).exit, kExitOk);
  EXPECT_EQ(ReadFile(work / "out\\odd"), "abcde");

  WriteFile(work / "cut.cfg", set.substr(0, set.size() - 20));
  run = Tool({"dump", work / "cut.cfg"});
  EXPECT_EQ(run.exit, kExitInvalid);
  EXPECT_TRUE(run.Says("Broken: ")) << run.out;

  // List names that would leave the folder or name a device are refused.
  for (const char* name : {"..", "a\\b", "nul", "c:x"}) {
    WriteFile(work / "names.cfg", ComposeSetFile({{"fine", "1"}, {name, "2"}}));
    run = Tool({"extract", work / "names.cfg", work / "named"});
    EXPECT_EQ(run.exit, kExitInvalid) << name;
    EXPECT_FALSE(FileExists(work / "named")) << name;
  }
  EXPECT_EQ(Tool({"dump", work / "missing.cfg"}).exit, kExitIo);
}

TEST(SetFileTool, BuildRefusesFoldersItCannotMakeASetOf) {
  ScratchFolder work("tool-build");
  MakeFolder(work / "lists");
  WriteFile(work / "lists\\fourteen_chars", "x");
  ToolRun run = Tool({"build", work / "lists", work / "set.cfg"});
  EXPECT_EQ(run.exit, kExitInvalid);
  EXPECT_FALSE(FileExists(work / "set.cfg"));
  MakeFolder(work / "none");
  EXPECT_EQ(Tool({"build", work / "none", work / "set.cfg"}).exit, kExitInvalid);
  EXPECT_EQ(Tool({"build", work / "absent", work / "set.cfg"}).exit, kExitIo);
  EXPECT_EQ(Tool({"build", work / "lists"}).exit, kExitUsage);
  EXPECT_EQ(Tool({"frobnicate"}).exit, kExitUsage);
  EXPECT_EQ(Tool({}).exit, kExitUsage);
  run = Tool({"help"});
  EXPECT_EQ(run.exit, kExitOk);
  EXPECT_TRUE(run.Says("Exit codes:"));
}

// An installation whose common files give V boards "common01" and whose set
// lacks the V boards' "v25_mpk_".
class ToolCheck : public ::testing::Test {
 protected:
  ToolCheck() : install("tool-check") {
    install.SetBrdlists("common01 1 SV\n");
    const std::vector<NetworkRecord> boards = {Board("SBOARD", 'S', 1), XBoard("GATE", 10, 9, 9, 9),
                                               Board("VBOARD", 'V', 2)};
    lists = {{"networkd", Networkd(boards)}, {"common01", "c"}, {"sb_portp", ""}, {"protocol", ""},
             {"cp_spec0", ""}, {"cp_type.exp", ""}};
  }
  std::string Set(const char* name) { return install.WriteSet(lists, name); }
  Installation install;
  std::vector<NamedList> lists;
};

TEST_F(ToolCheck, ReportsAMissingRequiredListAsASetChangeWould) {
  const std::string set = Set("nompk");
  ToolRun run = Tool({"check", set, "--root", install.Root()});
  EXPECT_EQ(run.exit, kExitInvalid) << run.out << run.err;
  EXPECT_TRUE(run.Says("board 2 (type V) VBOARD: error: Could not find list v25_mpk_\n")) << run.out;
  EXPECT_TRUE(run.Says("board 0 (type S) SBOARD: 123401.cfg, 3 lists")) << run.out;
  EXPECT_TRUE(run.Says("board 1 (type X) GATE: no list file, address 10.9.9.9")) << run.out;
  // The installation itself is untouched.
  EXPECT_FALSE(FileExists(install.Path("active")));

  lists.push_back({"v25_mpk_", "m"});
  run = Tool({"check", Set("good"), "--common", install.Path("config\\common"), "--base-ip",
              "192.168.5.1", "--keep", install.Path("kept")});
  EXPECT_EQ(run.exit, kExitOk) << run.out << run.err;
  EXPECT_TRUE(run.Says("address 192.168.5.2")) << run.out;
  EXPECT_TRUE(FileExists(install.Path("kept\\active\\complete.cfg")));
  EXPECT_EQ(ParseListFile(ReadFile(install.Path("kept\\active\\123402.cfg"))).Names(),
            (std::vector<std::string>{"IP", "COMMPORT", "common01", "v25_mpk_"}));
}

TEST_F(ToolCheck, ValidationErrorsAndUsage) {
  std::string bytes = ComposeSetFile(lists);
  bytes[40] ^= 1;
  const std::string bad = install.Path("Comp\\bad.cfg");
  WriteFile(bad, bytes);
  ToolRun run = Tool({"check", bad});
  EXPECT_EQ(run.exit, kExitInvalid);
  EXPECT_EQ(run.out, "error: CRC failed for " + bad + "\n");

  run = Tool({"check", Set("plain")});
  EXPECT_EQ(run.exit, kExitOk) << run.out;
  EXPECT_TRUE(run.Says("note: without --root or --common")) << run.out;

  install.SetProtomap("7 9 S\n");
  run = Tool({"check", Set("plain"), "--root", install.Root()});
  EXPECT_EQ(run.exit, kExitInvalid);
  EXPECT_TRUE(run.Says("error: Line 1 of the PROTOMAP file")) << run.out;

  EXPECT_EQ(Tool({"check"}).exit, kExitUsage);
  EXPECT_EQ(Tool({"check", bad, "--base-ip", "10.0.0"}).exit, kExitUsage);
  EXPECT_EQ(Tool({"check", bad, "--comm-port", "70000"}).exit, kExitUsage);
  EXPECT_EQ(Tool({"check", bad, "--root"}).exit, kExitUsage);
  EXPECT_EQ(Tool({"check", bad, "--root", "a", "--common", "b"}).exit, kExitUsage);
}

// The program itself, as a script runs it.
TEST_F(ToolCheck, ProgramExitCodeAndOutput) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string program = self;
  program = program.substr(0, program.find_last_of('\\') + 1) + "korvane-setfile.exe";
  const std::string outPath = install.Path("out.txt");

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(output, INVALID_HANDLE_VALUE);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::string command = "\"" + program + "\" check \"" + Set("nompk") + "\" --root \"" + install.Root() + "\"";
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &process))
      << GetLastError();
  CloseHandle(output);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  EXPECT_EQ(exitCode, static_cast<DWORD>(kExitInvalid));
  EXPECT_NE(ReadFile(outPath).find("Could not find list v25_mpk_"), std::string::npos) << ReadFile(outPath);
}

}  // namespace
