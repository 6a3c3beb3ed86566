// korvane-client status and errors, and korvane-setfile diff --active, as
// operators run them: real processes against the real servers, in a test
// installation holding the demonstration's sets, after a real set change.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <fstream>
#include <string>
#include <vector>

#include "ControlCenterClient.h"
#include "DaoTestSupport.h"
#include "DemoInstallation.h"
#include "setfiles/Crc16.h"
#include "testing/ComponentTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

const char kDaoServerKey[] = "CLSID\\{000C9413-7E45-11D2-B4FE-00105A16F164}\\LocalServer32";

using Lines = std::vector<std::string>;

std::string Text(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  | " + line + "\n";
  return text;
}

bool Contains(const Lines& lines, const std::string& part) {
  for (const std::string& line : lines)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

// A program of the build with its output in files, readable while it runs.
class Program {
 public:
  explicit Program(const std::string& arguments, const char* name = "korvane-client.exe") {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto create = [&](std::string& path) {
      char folder[MAX_PATH], name[MAX_PATH];
      GetTempPathA(MAX_PATH, folder);
      GetTempFileNameA(folder, "kst", 0, name);
      path = name;
      return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    UniqueFileHandle out(create(paths_[0])), err(create(paths_[1]));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::string command = "\"" + BinDirectory() + "\\" + name + "\" " + arguments;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      process_.reset(info.hProcess);
      CloseHandle(info.hThread);
    }
    EXPECT_TRUE(process_) << "could not start " << command;
  }
  ~Program() {
    if (process_ && Wait(0) == 0xFFFFFFFF) {
      TerminateProcess(process_.get(), 99);
      Wait(5000);
    }
    DeleteFileA(paths_[0].c_str());
    DeleteFileA(paths_[1].c_str());
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The exit code, or 0xFFFFFFFF while it runs.
  DWORD Wait(DWORD timeoutMs) {
    DWORD code = 0xFFFFFFFF;
    if (process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  Lines Out() const { return ReadLines(paths_[0]); }
  Lines Err() const { return ReadLines(paths_[1]); }

 private:
  static Lines ReadLines(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    Lines lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  UniqueHandle process_;
  std::string paths_[2];
};

struct ProgramRun {
  DWORD exit;
  Lines out, err;
};

ProgramRun RunProgram(const std::string& arguments, const char* name = "korvane-client.exe") {
  Program program(arguments, name);
  const DWORD exit = program.Wait(90000);
  EXPECT_NE(exit, 0xFFFFFFFF) << name << " " << arguments << " did not end";
  return ProgramRun{exit, program.Out(), program.Err()};
}

// The outcome of a SelectSet made directly, as a requester: 1 or 0; -1
// when the call was refused or no outcome came.
long SelectDirectly(IControlCenterComponent* component, const std::string& set) {
  auto queue = std::make_shared<EventQueue>();
  ComPtr<NotifySink> sink = ComPtr<NotifySink>::Attach(NotifySink::Create(queue));
  std::vector<char> name(set.begin(), set.end());
  name.push_back('\0');
  long result = -1;
  if (SUCCEEDED(component->SelectSet(static_cast<unsigned short>(name.size()), name.data(), sink.get()))) {
    ClientEvent event;
    while (result == -1 && WaitForSingleObject(queue->Signal(), 120000) == WAIT_OBJECT_0)
      while (queue->Pop(event))
        if (event.kind == ClientEventKind::SetSelected) result = event.result;
  }
  CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);
  return result;
}

class StatusAgainstServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    EnsureActivationServiceRuns(120000);
    RegisterServerForTests();
    database = new DaoServerSettingsScope(500);  // a log of our own
    installation = new TestInstallation("client-status");
    installation->SetString("Network", "Base IP Address", "192.168.7.101");
    installation->SetDword("Network", "Communication Port", 47620);
    installation->SetDword("Network", "Reboot Port", 47621);
    installation->SetString("Network", "Board Command Address", "127.0.0.1");
    WriteInstallationFiles(installation->Root(), {});
    for (const SetPlan& plan : DemoSetPlans())
      WriteWholeFile(installation->Root() + "\\Comp\\" + plan.name + ".cfg",
                     ComposeSetFile(BuildSetLists(plan)));
    for (int attempt = 0; attempt < 5 && !direct; ++attempt, Sleep(1000))
      CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                       IID_IControlCenterComponent, direct.put_void());
    if (direct) selected = SelectDirectly(direct.get(), "Plant");
  }
  static void TearDownTestSuite() {
    direct.reset();
    delete installation;
    WaitForNoDaoServer(30000);
    delete database;
    CoUninitialize();
  }
  void SetUp() override {
    ASSERT_TRUE(direct) << "no component in the test installation";
    ASSERT_EQ(1, selected) << "Plant could not be activated";
  }

  static TestInstallation* installation;
  static DaoServerSettingsScope* database;
  static ComPtr<IControlCenterComponent> direct;
  static long selected;
};

TestInstallation* StatusAgainstServer::installation = nullptr;
DaoServerSettingsScope* StatusAgainstServer::database = nullptr;
ComPtr<IControlCenterComponent> StatusAgainstServer::direct;
long StatusAgainstServer::selected = -1;

TEST_F(StatusAgainstServer, StatusShowsTheSetsBoardsAndCodeFilesOfTheActiveSet) {
  unsigned char backup = 0;
  ASSERT_HRESULT_SUCCEEDED(direct->BackupExists(&backup));
  const ProgramRun run = RunProgram("status");
  ASSERT_EQ(run.exit, 0u) << Text(run.err);
  ASSERT_GE(run.out.size(), 4u) << Text(run.out);
  EXPECT_EQ(run.out[0], "Active set:         Plant");
  if (!backup) {
    EXPECT_EQ(run.out[1], "Backup set:         none");
  }
  EXPECT_EQ(run.out[2], "Set change running: no");
  EXPECT_EQ(run.out[3], "Boards: 6");
  // Board 0 and the gateway, as the set change recorded them.
  const std::string listFile = installation->Root() + "\\active\\210711.cfg";
  char crc[8];
  std::snprintf(crc, sizeof crc, "%04X",
                Crc16Update(kCrc16Start, ReadWholeFile(listFile).data(), ReadWholeFile(listFile).size()));
  EXPECT_TRUE(Contains(run.out, "  0       PRESS1     S     192.168.7.101    00409D210711  " +
                                    std::string(crc) + "  " + listFile))
      << Text(run.out);
  EXPECT_TRUE(Contains(run.out, "  3       GATEWAY    X     192.168.7.1")) << Text(run.out);
  EXPECT_TRUE(Contains(run.out, "Code files: 2")) << Text(run.out);
  const std::string firmware = ReadWholeFile(installation->Root() + "\\active\\sboard.bin");
  std::snprintf(crc, sizeof crc, "%04X", Crc16Update(kCrc16Start, firmware.data(), firmware.size()));
  EXPECT_TRUE(Contains(run.out, "  sboard.bin              4096  " + std::string(crc)))
      << Text(run.out);

  const ProgramRun json = RunProgram("status --json");
  ASSERT_EQ(json.exit, 0u) << Text(json.err);
  ASSERT_EQ(json.out.size(), 1u);
  EXPECT_EQ(0u, json.out[0].find("{\"activeSet\":\"Plant\",")) << json.out[0];
  EXPECT_NE(std::string::npos,
            json.out[0].find("{\"number\":3,\"name\":\"GATEWAY\",\"type\":\"X\",\"ip\":\"192.168.7.1\","))
      << json.out[0];
}

TEST_F(StatusAgainstServer, DiffAgainstTheActiveConfiguration) {
  const struct {
    const char* set;
    int exit;
    const char* line;
  } cases[] = {
      {"Plant", 0, "No differences."},
      {"Line2", 1, "board 00409D210711 added: number 0, PRESS1, type S, 192.168.7.101"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    const ProgramRun run = RunProgram(
        "diff \"" + installation->Root() + "\\Comp\\" + c.set + ".cfg\" --active", "korvane-setfile.exe");
    EXPECT_EQ(static_cast<DWORD>(c.exit), run.exit) << Text(run.err);
    EXPECT_TRUE(Contains(run.out, c.line)) << Text(run.out);
  }
}

TEST_F(StatusAgainstServer, ErrorsReadTheLogThroughTheDatabaseServer) {
  // A refused change is logged with the reason the requester hears.
  ASSERT_EQ(0, SelectDirectly(direct.get(), "Incomplete"));
  unsigned short size = 0;
  CoTaskMemHolder<char> text;
  ASSERT_HRESULT_SUCCEEDED(direct->GetErrorText(&size, text.put()));
  const std::string reason = OneLine(std::string(text.get(), strnlen(text.get(), size)));

  const ProgramRun last = RunProgram("errors --last 1");
  ASSERT_EQ(last.exit, 0u) << Text(last.err);
  ASSERT_EQ(last.out.size(), 1u) << Text(last.out);
  // "YYYY-MM-DD HH:MM:SS.mmm  SOURCE  TEXT"
  EXPECT_EQ(last.out[0].size() - reason.size(), last.out[0].rfind(reason)) << last.out[0];
  const std::string since = last.out[0].substr(0, 19);
  const ProgramRun all = RunProgram("errors");
  EXPECT_EQ(all.out.back(), last.out[0]);
  const ProgramRun json = RunProgram("errors --json --since \"" + since + "\"");
  ASSERT_FALSE(json.out.empty()) << Text(json.err);
  EXPECT_EQ(0u, json.out.back().find("{\"time\":\"" + last.out[0].substr(0, 23) + "\"")) << json.out.back();
  EXPECT_TRUE(RunProgram("errors --since \"9999-12-31 23:59\"").out.empty());

  // A follower sees the next one as it is logged, and ends cleanly.
  Program follower("errors --follow --last 1 --seconds 20");
  for (DWORD start = GetTickCount(); follower.Out().empty() && GetTickCount() - start < 30000;)
    Sleep(100);
  ASSERT_EQ(follower.Out().size(), 1u) << Text(follower.Err());
  ASSERT_EQ(0, SelectDirectly(direct.get(), "Incomplete"));
  for (DWORD start = GetTickCount(); follower.Out().size() < 2 && GetTickCount() - start < 30000;)
    Sleep(100);
  const std::vector<std::string> followed = follower.Out();
  ASSERT_EQ(followed.size(), 2u) << Text(follower.Err());
  EXPECT_NE(std::string::npos, followed[1].find(reason)) << followed[1];
  EXPECT_EQ(follower.Wait(40000), 0u) << Text(follower.Err());
}

TEST_F(StatusAgainstServer, ErrorsExitThreeWhenTheDatabaseServerCannotBeStarted) {
  // Registered under a program that is not there; once the running
  // database server has ended (soon after its last client), no connection
  // can be made.
  const std::string registered = ClassesString(kDaoServerKey);
  ASSERT_FALSE(registered.empty());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, kDaoServerKey, 0, KEY_SET_VALUE, &key));
  UniqueKey holder(key);
  const std::string missing = "C:\\nowhere\\QRBDAOServer.exe";
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(missing.c_str()),
                 static_cast<DWORD>(missing.size() + 1));
  WaitForNoDaoServer(60000);
  const ProgramRun run = RunProgram("errors --last 1");
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(registered.c_str()),
                 static_cast<DWORD>(registered.size() + 1));
  EXPECT_EQ(run.exit, 3u) << Text(run.out) << Text(run.err);
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(0u, run.err[0].find("Could not reach the database server: HRESULT 0x")) << run.err[0];
}

}  // namespace
