// korvane-client status and errors, and korvane-setfile diff --active, as
// operators run them: real processes against the real servers, in a test
// installation holding the demonstration's sets, after a real set change.
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ControlCenterClient.h"
#include "DemoInstallation.h"
#include "setfiles/Crc16.h"
#include "testing/ComponentTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

const char kDaoServerKey[] = "CLSID\\{000C9413-7E45-11D2-B4FE-00105A16F164}\\LocalServer32";

bool DaoServerRunning() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
    if (_stricmp(entry.szExeFile, "QRBDAOServer.exe") == 0) return true;
  return false;
}

std::string TempPath(const char* prefix) {
  char folder[MAX_PATH], path[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, prefix, 0, path);
  return path;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  | " + line + "\n";
  return text;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& line : lines)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

// A program of the build (korvane-client.exe unless named) with its output
// in files, readable while it runs.
class Client {
 public:
  explicit Client(const std::string& arguments, const char* program = "korvane-client.exe")
      : out_(TempPath("kso")), err_(TempPath("kse")) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto open = [&](const std::string& path, DWORD access, DWORD disposition) {
      return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    UniqueFileHandle out(open(out_, GENERIC_WRITE, CREATE_ALWAYS));
    UniqueFileHandle err(open(err_, GENERIC_WRITE, CREATE_ALWAYS));
    UniqueFileHandle in(open("NUL", GENERIC_READ, OPEN_EXISTING));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::string command = "\"" + BinDirectory() + "\\" + program + "\" " + arguments;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
      process_.reset(info.hProcess);
      CloseHandle(info.hThread);
    }
    EXPECT_TRUE(process_) << "could not start " << program << " " << arguments;
  }
  ~Client() {
    if (process_ && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_.get(), 99);
      WaitForSingleObject(process_.get(), 5000);
    }
    DeleteFileA(out_.c_str());
    DeleteFileA(err_.c_str());
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The exit code, or 0xFFFFFFFF when it did not end in time.
  DWORD Wait(DWORD timeoutMs) {
    DWORD code = 0xFFFFFFFF;
    if (process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  std::vector<std::string> Out() const { return ReadLines(out_); }
  std::vector<std::string> Err() const { return ReadLines(err_); }

 private:
  UniqueHandle process_;
  std::string out_, err_;
};

struct ProgramRun {
  DWORD exit;
  std::vector<std::string> out, err;
};

ProgramRun RunClient(const std::string& arguments, const char* program = "korvane-client.exe") {
  Client client(arguments, program);
  const DWORD exit = client.Wait(90000);
  EXPECT_NE(exit, 0xFFFFFFFF) << program << " " << arguments << " did not end";
  return ProgramRun{exit, client.Out(), client.Err()};
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
    RegisterServerForTests();
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
    CoUninitialize();
  }
  void SetUp() override {
    ASSERT_TRUE(direct) << "no component in the test installation";
    ASSERT_EQ(1, selected) << "Plant could not be activated";
  }

  static TestInstallation* installation;
  static ComPtr<IControlCenterComponent> direct;
  static long selected;
};

TestInstallation* StatusAgainstServer::installation = nullptr;
ComPtr<IControlCenterComponent> StatusAgainstServer::direct;
long StatusAgainstServer::selected = -1;

TEST_F(StatusAgainstServer, StatusShowsTheSetsBoardsAndCodeFilesOfTheActiveSet) {
  unsigned char backup = 0;
  ASSERT_HRESULT_SUCCEEDED(direct->BackupExists(&backup));
  const ProgramRun run = RunClient("status");
  ASSERT_EQ(run.exit, 0u) << Joined(run.err);
  ASSERT_GE(run.out.size(), 4u) << Joined(run.out);
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
      << Joined(run.out);
  EXPECT_TRUE(Contains(run.out, "  3       GATEWAY    X     192.168.7.1")) << Joined(run.out);
  EXPECT_TRUE(Contains(run.out, "Code files: 2")) << Joined(run.out);
  const std::string firmware = ReadWholeFile(installation->Root() + "\\active\\sboard.bin");
  std::snprintf(crc, sizeof crc, "%04X", Crc16Update(kCrc16Start, firmware.data(), firmware.size()));
  EXPECT_TRUE(Contains(run.out, "  sboard.bin              4096  " + std::string(crc)))
      << Joined(run.out);

  const ProgramRun json = RunClient("status --json");
  ASSERT_EQ(json.exit, 0u) << Joined(json.err);
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
    const ProgramRun run = RunClient(
        "diff \"" + installation->Root() + "\\Comp\\" + c.set + ".cfg\" --active", "korvane-setfile.exe");
    EXPECT_EQ(static_cast<DWORD>(c.exit), run.exit) << Joined(run.err);
    EXPECT_TRUE(Contains(run.out, c.line)) << Joined(run.out);
  }
}

TEST_F(StatusAgainstServer, ErrorsReadTheLogThroughTheDatabaseServer) {
  // A refused change is logged with the reason the requester hears.
  ASSERT_EQ(0, SelectDirectly(direct.get(), "Incomplete"));
  unsigned short size = 0;
  CoTaskMemHolder<char> text;
  ASSERT_HRESULT_SUCCEEDED(direct->GetErrorText(&size, text.put()));
  const std::string reason = OneLine(std::string(text.get(), strnlen(text.get(), size)));

  const ProgramRun last = RunClient("errors --last 1");
  ASSERT_EQ(last.exit, 0u) << Joined(last.err);
  ASSERT_EQ(last.out.size(), 1u) << Joined(last.out);
  // "YYYY-MM-DD HH:MM:SS.mmm  SOURCE  TEXT"
  EXPECT_EQ(last.out[0].size() - reason.size(), last.out[0].rfind(reason)) << last.out[0];
  const std::string since = last.out[0].substr(0, 19);
  const ProgramRun all = RunClient("errors");
  EXPECT_EQ(all.out.back(), last.out[0]);
  const ProgramRun json = RunClient("errors --json --since \"" + since + "\"");
  ASSERT_FALSE(json.out.empty()) << Joined(json.err);
  EXPECT_EQ(0u, json.out.back().find("{\"time\":\"" + last.out[0].substr(0, 23) + "\"")) << json.out.back();
  EXPECT_TRUE(RunClient("errors --since \"9999-12-31 23:59\"").out.empty());

  // A follower sees the next one as it is logged, and ends cleanly.
  Client follower("errors --follow --last 1 --seconds 20");
  for (DWORD start = GetTickCount(); follower.Out().empty() && GetTickCount() - start < 30000;)
    Sleep(100);
  ASSERT_EQ(follower.Out().size(), 1u) << Joined(follower.Err());
  ASSERT_EQ(0, SelectDirectly(direct.get(), "Incomplete"));
  for (DWORD start = GetTickCount(); follower.Out().size() < 2 && GetTickCount() - start < 30000;)
    Sleep(100);
  const std::vector<std::string> followed = follower.Out();
  ASSERT_EQ(followed.size(), 2u) << Joined(follower.Err());
  EXPECT_NE(std::string::npos, followed[1].find(reason)) << followed[1];
  EXPECT_EQ(follower.Wait(40000), 0u) << Joined(follower.Err());
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
  for (DWORD start = GetTickCount(); DaoServerRunning() && GetTickCount() - start < 60000;) Sleep(250);
  const ProgramRun run = RunClient("errors --last 1");
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(registered.c_str()),
                 static_cast<DWORD>(registered.size() + 1));
  EXPECT_EQ(run.exit, 3u) << Joined(run.out) << Joined(run.err);
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(0u, run.err[0].find("Could not reach the database server: HRESULT 0x")) << run.err[0];
}

}  // namespace
