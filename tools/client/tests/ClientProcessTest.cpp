// korvane-client.exe as operators run it: a real process against the real
// server that COM starts, in a test installation of its own.
//
// Each case asks the server the same question directly and checks that the
// client shows exactly that answer: a result as its output lines, a
// refusal as "METHOD failed: HRESULT ..." plus "Error: <the server's
// text>" with exit code 1.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ControlCenterClient.h"
#include "testing/ComponentTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  | " + line + "\n";
  return text;
}

// Complete lines only: one still being written is not a line yet.
std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  std::vector<std::string> lines;
  std::string line;
  for (char c : content.str()) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    line.clear();
  }
  return lines;
}

// COM starts the prefix's activation service (RpcSs) with the first
// activation, and on a loaded machine that start can time out, failing every
// activation after it: start it first and wait for it.
void EnsureActivationServiceRuns(DWORD timeoutMs) {
  struct ServiceHandle {
    SC_HANDLE h;
    ~ServiceHandle() { if (h) CloseServiceHandle(h); }
  };
  ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
  ASSERT_TRUE(manager.h);
  ServiceHandle service{OpenServiceA(manager.h, "RpcSs", SERVICE_START | SERVICE_QUERY_STATUS)};
  ASSERT_TRUE(service.h);
  SERVICE_STATUS status{};
  for (DWORD start = GetTickCount(); QueryServiceStatus(service.h, &status); Sleep(500)) {
    if (status.dwCurrentState == SERVICE_RUNNING) return;
    ASSERT_LT(GetTickCount() - start, timeoutMs) << "RpcSs does not start in this prefix";
    if (status.dwCurrentState == SERVICE_STOPPED) StartServiceA(service.h, 0, nullptr);
  }
  FAIL() << "cannot query RpcSs";
}

// A server ends shortly after its last client; one still running would keep
// the settings of an earlier installation.
void WaitForNoServer(DWORD timeoutMs) {
  for (DWORD start = GetTickCount(); FindServerWindow() && GetTickCount() - start < timeoutMs;)
    Sleep(100);
}

// korvane-client.exe with its output in files, readable while it runs.
class ClientProcess {
 public:
  explicit ClientProcess(const std::string& arguments)
      : outPath_(TempPath("kco")), errPath_(TempPath("kce")) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto open = [&](const std::string& path, DWORD access, DWORD disposition) {
      return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    UniqueFileHandle out(open(outPath_, GENERIC_WRITE, CREATE_ALWAYS));
    UniqueFileHandle err(open(errPath_, GENERIC_WRITE, CREATE_ALWAYS));
    UniqueFileHandle in(open("NUL", GENERIC_READ, OPEN_EXISTING));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::string command = "\"" + BinDirectory() + "\\korvane-client.exe\" " + arguments;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info)) {
      process_.reset(info.hProcess);
      CloseHandle(info.hThread);
    }
    EXPECT_TRUE(process_) << "could not start korvane-client.exe " << arguments;
  }
  ~ClientProcess() {
    if (process_ && !Wait(0)) {
      TerminateProcess(process_.get(), 99);
      Wait(5000);
    }
    DeleteFileA(outPath_.c_str());
    DeleteFileA(errPath_.c_str());
  }
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;

  bool Wait(DWORD timeoutMs) {
    return process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
  }
  DWORD ExitCode() {  // 0xFFFFFFFF while it runs
    DWORD code = 0xFFFFFFFF;
    if (Wait(0)) GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  std::vector<std::string> Out() const { return ReadLines(outPath_); }
  std::vector<std::string> Err() const { return ReadLines(errPath_); }
  bool WaitForLine(const std::string& prefix, DWORD timeoutMs) const {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(50))
      for (const std::string& line : Out())
        if (StartsWith(line, prefix)) return true;
    return false;
  }

 private:
  static std::string TempPath(const char* prefix) {
    char folder[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, prefix, 0, path);
    return path;
  }

  UniqueHandle process_;
  std::string outPath_, errPath_;
};

struct ClientRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::vector<std::string> out, err;
};

ClientRun RunClient(const std::string& arguments, DWORD timeoutMs = 90000) {
  ClientProcess client(arguments);
  EXPECT_TRUE(client.Wait(timeoutMs)) << "korvane-client.exe " << arguments << " did not end";
  return ClientRun{client.ExitCode(), client.Out(), client.Err()};
}

// ---- The tests ----

const char kUnknownSet[] = "v25_mpk_";

TEST(ClientCommandLineProcess, UsageErrorsExitWithTwoBeforeAnyServerIsAsked) {
  ClientRun run = RunClient("command WIPE 1", 30000);
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.out.empty()) << Joined(run.out);
  ASSERT_FALSE(run.err.empty());
  EXPECT_TRUE(StartsWith(run.err[0], "korvane-client: ")) << run.err[0];
  EXPECT_TRUE(HasLine(run.err, "  2  usage error")) << "no usage text";
  ClientRun help = RunClient("help", 30000);
  EXPECT_EQ(help.exitCode, 0u);
  for (const char* line : {"  0  success", "  3  the server could not be reached or created"})
    EXPECT_TRUE(HasLine(help.out, line)) << line;
}

struct Answer {
  HRESULT hr = S_OK;
  std::string text;  // the server's error text after a refusal
};

class ClientAgainstServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // The server calls this process's callback objects.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    EnsureActivationServiceRuns(120000);
    RegisterServerForTests();
    WaitForNoServer(10000);  // one still running keeps an earlier installation
    installation = new TestInstallation("client-test");
    installation->SetString("Network", "Base IP Address", "127.0.0.1");
    installation->SetDword("Network", "Communication Port", 47310);
    installation->SetDword("Network", "Reboot Port", 47311);
    for (const char* folder : {"Comp", "active", "config\\common"})
      installation->MakeDirectory(folder);
    // One component for the whole suite keeps one server up for every client
    // run, so that no client meets a server that is just ending.
    for (int attempt = 0; attempt < 5; ++attempt, Sleep(1000)) {
      creation = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IControlCenterComponent, direct.put_void());
      if (SUCCEEDED(creation) || !ServerUnreachable(creation)) break;
    }
  }
  static void TearDownTestSuite() {
    direct.reset();
    WaitForNoServer(10000);
    delete installation;
    CoUninitialize();
  }

  // A server that creates no component must make the client exit with 3.
  bool ServerCreatable() {
    if (SUCCEEDED(creation)) return true;
    ClientRun run = RunClient("list");
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_TRUE(HasLine(run.err, "Could not create the control center component: HRESULT " +
                                     HresultText(creation)))
        << Joined(run.err);
    ADD_FAILURE() << "no component in the test installation: " << HresultText(creation);
    return false;
  }

  static Answer Take(HRESULT hr) {
    Answer answer{hr, ""};
    unsigned short size = 0;
    CoTaskMemHolder<char> text;
    if (FAILED(hr) && SUCCEEDED(direct->GetErrorText(&size, text.put())) && text.get())
      answer.text = OneLine(std::string(text.get(), strnlen(text.get(), size)));
    return answer;
  }

  // The client ran; the direct call answered: compare.
  static void ExpectSame(const ClientRun& run, const std::string& method, const Answer& answer,
                         const std::vector<std::string>& resultLines) {
    if (SUCCEEDED(answer.hr)) {
      EXPECT_EQ(run.exitCode, 0u) << Joined(run.err);
      EXPECT_EQ(run.out, resultLines);
      return;
    }
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(run.out.empty()) << Joined(run.out);
    EXPECT_EQ(run.err, (std::vector<std::string>{method + " failed: HRESULT " +
                                                     HresultText(answer.hr),
                                                 "Error: " + answer.text}));
  }

  // A select of an unknown set or a restore without backup, made directly
  // as a requester and followed to its end, then by the client.
  static void ExpectSameFailedChange(bool select) {
    auto queue = std::make_shared<EventQueue>();
    ComPtr<NotifySink> sink = ComPtr<NotifySink>::Attach(NotifySink::Create(queue));
    char name[sizeof kUnknownSet];
    memcpy(name, kUnknownSet, sizeof name);
    Answer call = Take(select ? direct->SelectSet(sizeof name, name, sink.get())
                              : direct->RestoreBackup(sink.get()));
    const ClientEventKind outcome =
        select ? ClientEventKind::SetSelected : ClientEventKind::SetRestored;
    ClientEvent event;
    long result = -1;  // stays so until the outcome arrives
    while (SUCCEEDED(call.hr) && result == -1 &&
           WaitForSingleObject(queue->Signal(), 90000) == WAIT_OBJECT_0)
      while (queue->Pop(event))
        if (event.kind == outcome) result = event.result;
    CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);

    const std::string method = select ? "SelectSet" : "RestoreBackup";
    ClientRun run = RunClient(select ? std::string("select ") + kUnknownSet + " --timeout 90"
                                     : "restore --timeout 90");
    if (FAILED(call.hr)) return ExpectSame(run, method, call, {});
    ASSERT_NE(result, -1) << "the direct change gave no outcome";
    EXPECT_EQ(result, 0) << "nothing to change, yet it succeeded";
    std::string reason = Take(E_FAIL).text;
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_GE(run.out.size(), 2u) << Joined(run.out);
    EXPECT_EQ(run.out.front(), method + ": started");
    EXPECT_EQ(run.out.back(), select ? "SetSelected: failed" : "SetRestored: failed");
    EXPECT_EQ(run.err, std::vector<std::string>{"Error: " + reason});
  }

  static TestInstallation* installation;
  static HRESULT creation;
  static ComPtr<IControlCenterComponent> direct;
};

TestInstallation* ClientAgainstServer::installation = nullptr;
HRESULT ClientAgainstServer::creation = E_FAIL;
ComPtr<IControlCenterComponent> ClientAgainstServer::direct;

TEST_F(ClientAgainstServer, QueriesAndCommandsShowTheServersAnswer) {
  if (!ServerCreatable()) return;
  installation->WriteFile("Comp\\a.cfg", "CNFG");
  installation->WriteFile("Comp\\b.x.cfg", "CNFG");
  installation->MakeDirectory("Comp\\d.cfg");
  unsigned short boards[] = {1, 0};
  struct Case {
    const char* arguments;
    const char* method;
    std::function<HRESULT(std::vector<std::string>&)> call;  // fills the expected lines
  };
  const Case cases[] = {
      {"list", "ListSets",
       [&](std::vector<std::string>& lines) {
         unsigned short count = 0, size = 0;
         CoTaskMemHolder<unsigned short> at;
         CoTaskMemHolder<char> names;
         HRESULT hr = direct->ListSets(&count, at.put(), &size, names.put());
         for (unsigned i = 0; SUCCEEDED(hr) && i < count; ++i)
           lines.push_back(names.get() + at.get()[i]);
         return hr;
       }},
      {"changing", "IsSetChanging",
       [&](std::vector<std::string>& lines) {
         unsigned char changing = 0;
         HRESULT hr = direct->IsSetChanging(&changing);
         lines = {changing ? "yes" : "no"};
         return hr;
       }},
      {"timeout 7", "SetClientTimeout",
       [&](std::vector<std::string>& lines) {
         lines = {"SetClientTimeout: 7 seconds"};
         return direct->SetClientTimeout(7);
       }},
      // No boards in this installation: what the server says is its business.
      {"command clrfls 1 0", "SendBoardCommand",
       [&](std::vector<std::string>& lines) {
         lines = {"SendBoardCommand: CLRFLS sent to boards 1 0"};
         return direct->SendBoardCommand(4, 2, boards);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::vector<std::string> lines;
    Answer answer = Take(c.call(lines));
    ExpectSame(RunClient(c.arguments), c.method, answer, lines);
  }
  Take(direct->SetClientTimeout(10));
  installation->RemoveFile("Comp\\a.cfg");
  installation->RemoveFile("Comp\\b.x.cfg");
  RemoveDirectoryA((installation->Root() + "\\Comp\\d.cfg").c_str());
}

TEST_F(ClientAgainstServer, ActiveAndBackupNameWhatTheServerNames) {
  if (!ServerCreatable()) return;
  using ExistsQuery = HRESULT (STDMETHODCALLTYPE IControlCenterComponent::*)(BYTE*);
  using NameQuery = HRESULT (STDMETHODCALLTYPE IControlCenterComponent::*)(unsigned short*, char**);
  auto expectSame = [](const char* operation, const char* existsMethod, const char* nameMethod,
                       const char* noneLine, ExistsQuery exists, NameQuery name) {
    SCOPED_TRACE(operation);
    BYTE flag = 0;
    Answer existence = Take((direct.get()->*exists)(&flag));
    ClientRun run = RunClient(operation);
    if (FAILED(existence.hr)) return ExpectSame(run, existsMethod, existence, {});
    if (!flag) {
      EXPECT_EQ(run.exitCode, 1u);
      EXPECT_EQ(run.err, std::vector<std::string>{noneLine});
      return;
    }
    unsigned short size = 0;
    CoTaskMemHolder<char> text;
    Answer named = Take((direct.get()->*name)(&size, text.put()));
    ExpectSame(run, nameMethod, named,
               {SUCCEEDED(named.hr) ? std::string(text.get(), strnlen(text.get(), size)) : ""});
  };
  auto both = [&] {
    expectSame("active", "ActiveSetExists", "GetActiveSetName", "No set is active.",
               &IControlCenterComponent::ActiveSetExists,
               &IControlCenterComponent::GetActiveSetName);
    expectSame("backup", "BackupExists", "GetBackupSetName", "No complete backup exists.",
               &IControlCenterComponent::BackupExists, &IControlCenterComponent::GetBackupSetName);
  };
  both();  // nothing active, nothing backed up

  // The markers hold the set file's full path; a complete backup has every piece.
  installation->WriteFile("active\\ACTSET", "D:\\sys\\Comp\\Plant.cfg\r\n");
  installation->WriteFile("active\\BACKUP\\ACTSET", "D:\\sys\\Comp\\Old.cfg\r\n");
  const char* const pieces[] = {"Old.cfg", "active.ini", "LMHOSTS", "_active.zip",
                                "KorvaneRegistry.reg"};
  for (const char* piece : pieces)
    installation->WriteFile(std::string("active\\BACKUP\\") + piece, "x");
  both();
  installation->RemoveFile("active\\ACTSET");
  installation->RemoveFile("active\\BACKUP\\ACTSET");
  for (const char* piece : pieces) installation->RemoveFile(std::string("active\\BACKUP\\") + piece);
  RemoveDirectoryA((installation->Root() + "\\active\\BACKUP").c_str());
}

TEST_F(ClientAgainstServer, FailedSelectAndRestoreGiveTheServersReason) {
  if (!ServerCreatable()) return;
  ExpectSameFailedChange(true);
  ExpectSameFailedChange(false);
}

// An observer that allows at once watches a select of an unknown set.
TEST_F(ClientAgainstServer, WatcherAllowsAndSeesTheChange) {
  if (!ServerCreatable()) return;
  ClientProcess watcher("watch --count 2 --seconds 90 --allow now");
  ASSERT_TRUE(watcher.WaitForLine("Watching: cookie ", 30000)) << Joined(watcher.Err());
  ClientRun select = RunClient(std::string("select ") + kUnknownSet + " --timeout 90");
  if (!HasLine(select.out, "SelectSet: started")) return;  // its refusal is checked above
  EXPECT_EQ(select.exitCode, 1u);
  EXPECT_EQ(select.out.back(), "SetSelected: failed");

  ASSERT_TRUE(watcher.Wait(30000)) << "the watcher did not stop after two notifications";
  EXPECT_EQ(watcher.ExitCode(), 0u) << Joined(watcher.Err());
  std::vector<std::string> seen = watcher.Out();
  seen.erase(seen.begin());
  EXPECT_EQ(seen, (std::vector<std::string>{"ConfigurationChanging", "AllowSetChange: ok",
                                            "ConfigurationChanged"}));
}

}  // namespace
