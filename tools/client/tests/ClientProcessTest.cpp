// korvane-client.exe as operators run it: a real process against the real
// server that COM starts, in a test installation of its own. What the
// server answers is its own tests' business; here each command path runs
// once end to end, and the client's output lines and exit code are checked.
#include "testing/ComponentTestSupport.h"  // winsock2.h before windows.h

#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <fstream>
#include <string>
#include <vector>

#include "DaoTestSupport.h"  // EnsureActivationServiceRuns
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

namespace {

using Lines = std::vector<std::string>;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Text(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string TempPath() {
  char folder[MAX_PATH], path[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "kc", 0, path);
  return path;
}

// korvane-client.exe with its output in files, readable while it runs.
class ClientProcess {
 public:
  explicit ClientProcess(const std::string& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto open = [&](const std::string& path) {
      return UniqueFileHandle(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    UniqueFileHandle out = open(outPath_), err = open(errPath_);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // and no input at all
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
    if (process_ && Wait(0) == STILL_ACTIVE && TerminateProcess(process_.get(), 99)) Wait(5000);
    DeleteFileA(outPath_.c_str());
    DeleteFileA(errPath_.c_str());
  }

  // The exit code, or STILL_ACTIVE while it runs.
  DWORD Wait(DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  Lines Out() const { return ReadLines(outPath_); }
  Lines Err() const { return ReadLines(errPath_); }
  bool WaitForLine(const std::string& prefix, DWORD timeoutMs) const {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(50))
      for (const std::string& line : Out())
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
  }

 private:
  // Complete lines only: one still being written is not a line yet.
  static Lines ReadLines(const std::string& path) {
    std::ifstream file(path);
    Lines lines;
    for (std::string line; std::getline(file, line) && !file.eof();) lines.push_back(line);
    return lines;
  }

  std::string outPath_ = TempPath(), errPath_ = TempPath();
  UniqueHandle process_;
};

struct ClientRun {
  DWORD exitCode;
  Lines out, err;
};

ClientRun RunClient(const std::string& arguments, DWORD timeoutMs = 90000) {
  ClientProcess client(arguments);
  DWORD code = client.Wait(timeoutMs);
  EXPECT_NE(code, STILL_ACTIVE) << "korvane-client.exe " << arguments << " did not end";
  return ClientRun{code, client.Out(), client.Err()};
}

// One run's exit code and output; each error line must hold the text given
// for it.
void Check(const char* arguments, DWORD exitCode, const Lines& out, const Lines& err) {
  SCOPED_TRACE(arguments);
  ClientRun run = RunClient(arguments);
  EXPECT_EQ(run.exitCode, exitCode) << Text(run.err);
  EXPECT_EQ(run.out, out);
  ASSERT_EQ(run.err.size(), err.size()) << Text(run.err);
  for (size_t i = 0; i < err.size(); ++i) EXPECT_TRUE(Has(run.err[i], err[i])) << run.err[i];
}

TEST(ClientCommandLineProcess, UsageErrorsExitWithTwoBeforeAnyServerIsAsked) {
  ClientRun run = RunClient("command WIPE 1", 30000);
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(run.out.empty()) << Text(run.out);
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err[0].rfind("korvane-client: unknown board command", 0), 0u) << run.err[0];
  EXPECT_TRUE(Has(Text(run.err), "  2  usage error")) << "no usage text";
  run = RunClient("help", 30000);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(Has(Text(run.out), "  3  the server could not be reached or created"));
}

// One server for the whole suite, on a test installation with two boards
// whose commands reach a listener on 127.0.0.1.
class ClientAgainstServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(EnsureActivationServiceRuns(120000)) << "no RpcSs in this prefix";
    RegisterServerForTests();
    CloseRunningServers();  // one still running keeps an earlier installation
    installation = new TestInstallation("client-test");
    listener = new UdpListener();
    installation->SetDword("Network", "Reboot Port", listener->Port());
    installation->AddBoard("00409D210711", 0);
    installation->AddBoard("00409D210713", 1);
    for (const char* folder : {"Comp", "active", "config\\common"})
      installation->MakeDirectory(folder);
    // A component held for the whole suite keeps one server up for every
    // client run, so that no client meets a server that is just ending.
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 5 && FAILED(hr); ++attempt, Sleep(1000))
      hr = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                            IID_IControlCenterComponent, keeper.put_void());
    ASSERT_EQ(hr, S_OK) << "no component in the test installation";
  }
  static void TearDownTestSuite() {
    keeper.reset();
    CloseRunningServers();
    delete listener;
    delete installation;
    CoUninitialize();
  }

  static TestInstallation* installation;
  static UdpListener* listener;
  static ComPtr<IControlCenterComponent> keeper;
};

TestInstallation* ClientAgainstServer::installation = nullptr;
UdpListener* ClientAgainstServer::listener = nullptr;
ComPtr<IControlCenterComponent> ClientAgainstServer::keeper;

TEST_F(ClientAgainstServer, QueriesAndCommandsShowTheServersAnswer) {
  installation->WriteFile("Comp\\Plant.cfg", "CNFG");
  Check("list", 0, {"Plant"}, {});
  Check("active", 1, {}, {"No set is active."});
  Check("backup", 1, {}, {"No complete backup exists."});
  Check("changing", 0, {"no"}, {});
  Check("timeout 7", 0, {"SetClientTimeout: 7 seconds"}, {});
  Check("command reboot 7", 1, {},
        {"SendBoardCommand failed: HRESULT 0x80004005", "Error: Invalid board number"});

  // The board command reaches the boards as one datagram.
  std::vector<unsigned char> datagram;
  Check("command clrfls 1 0", 0, {"SendBoardCommand: CLRFLS sent to boards 1 0"}, {});
  ASSERT_TRUE(listener->Receive(datagram, 5000)) << "nothing arrived";
  EXPECT_EQ(std::string(datagram.begin(), datagram.end()),
            std::string("CLRFLS\x00\x40\x9D\x21\x07\x13\x00\x40\x9D\x21\x07\x11", 18) +
                std::string(6, '\0'));
  // A failed restore (nothing backed up) empties the server's board table.
  Check("restore --timeout 90", 1, {"RestoreBackup: started", "SetRestored: failed"},
        {"Error: There is no backup to restore."});

  // The markers hold the set file's full path; a complete backup has every piece.
  installation->WriteFile("active\\ACTSET", "D:\\sys\\Comp\\Plant.cfg\r\n");
  installation->WriteFile("active\\BACKUP\\ACTSET", "D:\\sys\\Comp\\Old.cfg\r\n");
  for (const char* piece :
       {"Old.cfg", "active.ini", "LMHOSTS", "_active.zip", "KorvaneRegistry.reg"})
    installation->WriteFile(std::string("active\\BACKUP\\") + piece, "x");
  Check("active", 0, {"Plant"}, {});
  Check("backup", 0, {"Old"}, {});
}

// An observer that allows at once watches a select of an unknown set.
TEST_F(ClientAgainstServer, WatcherAllowsAndSeesTheChange) {
  ClientProcess watcher("watch --count 2 --seconds 90 --allow now");
  ASSERT_TRUE(watcher.WaitForLine("Watching: cookie ", 30000)) << Text(watcher.Err());
  ClientRun select = RunClient("select v25_mpk_ --timeout 90");
  EXPECT_EQ(select.exitCode, 1u);
  ASSERT_GE(select.out.size(), 2u) << Text(select.out);
  EXPECT_EQ(select.out.front(), "SelectSet: started");
  EXPECT_EQ(select.out.back(), "SetSelected: failed");
  ASSERT_EQ(select.err.size(), 1u) << Text(select.err);
  EXPECT_TRUE(Has(select.err[0], "Error: ") && Has(select.err[0], "v25_mpk_")) << select.err[0];

  EXPECT_EQ(watcher.Wait(30000), 0u) << "not stopped after two notifications, or failed: "
                                      << Text(watcher.Err());
  Lines seen = watcher.Out();
  seen.erase(seen.begin());
  EXPECT_EQ(seen, (Lines{"ConfigurationChanging", "AllowSetChange: ok", "ConfigurationChanged"}));
}

}  // namespace
