// korvane-setfile: build, dump, extract and check, in-process and as the
// program itself.
#include <gtest/gtest.h>

#include <sstream>

#include "SetFileTool.h"
#include "testing/SetFileTestSupport.h"

using namespace setfile_test;

namespace {

// The tool's exit code and everything it wrote, both streams in order.
std::pair<int, std::string> Tool(const std::vector<std::string>& args) {
  std::ostringstream out;
  const int exit = RunSetFileTool(args, out, out);
  return {exit, out.str()};
}

// Runs the tool and checks its exit code and a part of what it wrote.
void ExpectTool(const std::vector<std::string>& args, int exit, const std::string& says = "") {
  const auto [code, out] = Tool(args);
  EXPECT_EQ(code, exit) << args[0] << ": " << out;
  EXPECT_NE(out.find(says), std::string::npos) << out;
}

TEST(SetFileTool, BuildThenExtractGivesBackTheFolderByteForByte) {
  ScratchFolder work("tool-roundtrip");
  MakeFolder(work / "lists");
  std::string allBytes(256, '\0');
  for (int i = 0; i < 256; ++i) allBytes[i] = static_cast<char>(i);
  const std::vector<NamedList> files = {
      {"networkd", Networkd({Board("B0", 'S', 1)})}, {"odd", "abcde"}, {"empty", ""},
      {"cp_type.exp", allBytes}, {"0001sbpt.cfg", std::string(9000, '\xFF')}};
  for (const NamedList& file : files) WriteFile(work / ("lists\\" + file.name), file.data);

  const std::string set = work / "built.cfg";
  ExpectTool({"build", work / "lists", set}, kExitOk, "5 lists");
  ExpectTool({"dump", set}, kExitOk,
             "          24       9000  0001sbpt.cfg\n        9042        256  cp_type.exp\n");
  ExpectTool({"dump", set}, kExitOk, ": holds");
  ExpectTool({"extract", set, work / "out"}, kExitOk);
  for (const NamedList& file : files)
    EXPECT_EQ(ReadFile(work / ("out\\" + file.name)), file.data) << file.name;
  // The extracted folder (and nothing more) builds the same set again.
  ExpectTool({"build", work / "out", work / "again.cfg"}, kExitOk);
  EXPECT_EQ(ReadFile(work / "again.cfg"), ReadFile(set));
}

TEST(SetFileTool, RefusesBrokenSetsFoldersAndArguments) {
  ScratchFolder work("tool-broken");
  std::string set =
      ComposeSetFile({{"networkd", Networkd({Board("B0", 'S', 1)})}, {"odd", "abcde"}});
  set[30] ^= 0x10;
  WriteFile(work / "crc.cfg", set);
  WriteFile(work / "cut.cfg", set.substr(0, set.size() - 20));
  ExpectTool({"dump", work / "crc.cfg"}, kExitInvalid, "FAILED");
  ExpectTool({"extract", work / "crc.cfg", work / "out"}, kExitInvalid,
             "CRC failed for " + work / "crc.cfg");
  EXPECT_FALSE(FileExists(work / "out"));
  ExpectTool({"extract", work / "crc.cfg", work / "out", "--force"}, kExitOk);
  EXPECT_EQ(ReadFile(work / "out\\odd"), "abcde");
  ExpectTool({"dump", work / "cut.cfg"}, kExitInvalid, "Broken: ");
  ExpectTool({"dump", work / "missing.cfg"}, kExitIo);

  // List names that would leave the folder or name a device are refused.
  for (const char* name : {"..", "a\\b", "nul", "c:x"}) {
    WriteFile(work / "names.cfg", ComposeSetFile({{"fine", "1"}, {name, "2"}}));
    ExpectTool({"extract", work / "names.cfg", work / "named"}, kExitInvalid,
               "cannot be a file name");
    EXPECT_FALSE(FileExists(work / "named")) << name;
  }

  MakeFolder(work / "lists");
  WriteFile(work / "lists\\fourteen_chars", "x");
  ExpectTool({"build", work / "lists", work / "set.cfg"}, kExitInvalid, "at most 13 characters");
  EXPECT_FALSE(FileExists(work / "set.cfg"));
  MakeFolder(work / "none");
  ExpectTool({"build", work / "none", work / "set.cfg"}, kExitInvalid, "holds no files");
  ExpectTool({"build", work / "absent", work / "set.cfg"}, kExitIo);
  for (const std::vector<std::string>& usage :
       std::vector<std::vector<std::string>>{{"build", work / "lists"}, {"frobnicate"}, {}})
    EXPECT_EQ(Tool(usage).first, kExitUsage) << (usage.empty() ? "" : usage[0]);
  ExpectTool({"help"}, kExitOk, "Exit codes:");
}

// An installation whose common files give V boards "common01" and whose set
// lacks the V boards' "v25_mpk_".
class ToolCheck : public ::testing::Test {
 protected:
  ToolCheck() { install.SetBrdlists("common01 1 SV\n"); }
  std::string Set(const char* name) { return install.WriteSet(lists, name); }

  Installation install{"tool-check"};
  std::vector<NamedList> lists = {
      {"networkd", Networkd({Board("SBOARD", 'S', 1), XBoard("GATE", 10, 9, 9, 9),
                             Board("VBOARD", 'V', 2)})},
      {"common01", "c"}, {"sb_portp", ""}, {"protocol", ""}, {"cp_spec0", ""}, {"cp_type.exp", ""}};
};

TEST_F(ToolCheck, ReportsEachBoardAsASetChangeWould) {
  const auto [code, out] = Tool({"check", Set("nompk"), "--root", install.Root()});
  EXPECT_EQ(code, kExitInvalid);
  for (const char* line : {"board 2 (type V) VBOARD: error: Could not find list v25_mpk_\n",
                           "board 0 (type S) SBOARD: 123401.cfg, 3 lists",
                           "board 1 (type X) GATE: no list file, address 10.9.9.9"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  // The installation itself is untouched.
  EXPECT_FALSE(FileExists(install.Path("active")));

  lists.push_back({"v25_mpk_", "m"});
  ExpectTool({"check", Set("good"), "--common", install.Path("config\\common"), "--base-ip",
              "192.168.5.1", "--keep", install.Path("kept")},
             kExitOk, "address 192.168.5.2");
  EXPECT_TRUE(FileExists(install.Path("kept\\active\\complete.cfg")));
  EXPECT_EQ(ParseListFile(ReadFile(install.Path("kept\\active\\123402.cfg"))).Names(),
            (std::vector<std::string>{"IP", "COMMPORT", "common01", "v25_mpk_"}));
}

TEST_F(ToolCheck, ValidationErrorsAndUsage) {
  std::string bytes = ComposeSetFile(lists);
  bytes[40] ^= 1;
  const std::string bad = install.Path("Comp\\bad.cfg");
  WriteFile(bad, bytes);
  EXPECT_EQ(Tool({"check", bad}),
            std::make_pair(int{kExitInvalid}, "error: CRC failed for " + bad + "\n"));
  ExpectTool({"check", Set("plain")}, kExitOk, "note: without --root or --common");
  install.SetProtomap("7 9 S\n");
  ExpectTool({"check", Set("plain"), "--root", install.Root()}, kExitInvalid,
             "error: Line 1 of the PROTOMAP file");
  for (const std::vector<std::string>& usage : std::vector<std::vector<std::string>>{
           {"check"}, {"check", bad, "--base-ip", "10.0.0"}, {"check", bad, "--comm-port", "70000"},
           {"check", bad, "--root"}, {"check", bad, "--root", "a", "--common", "b"}})
    EXPECT_EQ(Tool(usage).first, kExitUsage) << usage.back();
}

// The program itself, as a script runs it: its exit code and its output.
TEST_F(ToolCheck, ProgramExitCodeAndOutput) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string program = self;
  program = program.substr(0, program.find_last_of('\\') + 1) + "korvane-setfile.exe";
  std::string command = "\"" + program + "\" check \"" + Set("nompk") + "\" --root \"" +
                        install.Root() + "\"";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileA(install.Path("out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  const bool started = CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(output);
  ASSERT_TRUE(started) << GetLastError();
  DWORD exitCode = STILL_ACTIVE;
  WaitForSingleObject(process.hProcess, 60000);
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  EXPECT_EQ(exitCode, static_cast<DWORD>(kExitInvalid));
  const std::string out = ReadFile(install.Path("out.txt"));
  EXPECT_NE(out.find("Could not find list v25_mpk_"), std::string::npos) << out;
}

}  // namespace
