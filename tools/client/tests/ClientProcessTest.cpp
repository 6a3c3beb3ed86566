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

// Complete lines only: one still being written is not a line yet.
Lines ReadLines(const std::string& path) {
  std::ifstream file(path);
  Lines lines;
  for (std::string line; std::getline(file, line) && !file.eof();) lines.push_back(line);
  return lines;
}

// korvane-client.exe with its output in files, readable while it runs.
struct ClientProcess {
  explicit ClientProcess(const std::string& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto open = [&](const std::string& path) {
      return UniqueFileHandle(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    UniqueFileHandle out = open(outPath), err = open(errPath);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // and no input at all
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::string command = "\"" + BinDirectory() + "\\korvane-client.exe\" " + arguments;
    PROCESS_INFORMATION info{};
    EXPECT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &info))
        << "could not start korvane-client.exe " << arguments;
    process.reset(info.hProcess);
    if (info.hThread) CloseHandle(info.hThread);
  }
  ~ClientProcess() {
    if (Wait(0) == STILL_ACTIVE && TerminateProcess(process.get(), 99)) Wait(5000);
    DeleteFileA(outPath.c_str());
    DeleteFileA(errPath.c_str());
  }
  // The exit code, or STILL_ACTIVE while it runs.
  DWORD Wait(DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (process && WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(process.get(), &code);
    return code;
  }

  std::string outPath = TempPath(), errPath = TempPath();
  UniqueHandle process;
};

// One run's exit code and output; each error line must hold the text given
// for it.
void Check(const std::string& arguments, DWORD exitCode, const Lines& out, const Lines& err) {
  SCOPED_TRACE(arguments);
  ClientProcess client(arguments);
  EXPECT_EQ(client.Wait(90000), exitCode) << Text(ReadLines(client.errPath));
  EXPECT_EQ(ReadLines(client.outPath), out);
  const Lines errLines = ReadLines(client.errPath);
  ASSERT_EQ(errLines.size(), err.size()) << Text(errLines);
  for (size_t i = 0; i < err.size(); ++i)
    EXPECT_NE(errLines[i].find(err[i]), std::string::npos) << errLines[i];
}

TEST(ClientCommandLineProcess, UsageErrorsExitWithTwoBeforeAnyServerIsAsked) {
  ClientProcess usage("command WIPE 1"), help("help");
  EXPECT_EQ(usage.Wait(30000), 2u);
  EXPECT_TRUE(ReadLines(usage.outPath).empty());
  const std::string err = Text(ReadLines(usage.errPath));
  EXPECT_EQ(err.rfind("korvane-client: unknown board command", 0), 0u) << err;
  EXPECT_NE(err.find("\n  2  usage error\n"), std::string::npos) << "no usage text";
  EXPECT_EQ(help.Wait(30000), 0u);
  EXPECT_NE(Text(ReadLines(help.outPath)).find("  3  the server could not be reached or created"),
            std::string::npos);
}

// Every command path once, against one server on a test installation with
// two boards whose commands reach a listener on 127.0.0.1.
TEST(ClientAgainstServer, EveryCommandPathEndToEnd) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ASSERT_TRUE(EnsureActivationServiceRuns(120000)) << "no RpcSs in this prefix";
  RegisterServerForTests();
  CloseRunningServers();  // one still running keeps an earlier installation
  TestInstallation installation("client-test");
  UdpListener listener;
  installation.SetDword("Network", "Reboot Port", listener.Port());
  installation.AddBoard("00409D210711", 0);
  installation.AddBoard("00409D210713", 1);
  for (const char* folder : {"Comp", "active", "config\\common"})
    installation.MakeDirectory(folder);
  installation.WriteFile("Comp\\Plant.cfg", "CNFG");
  {
    // A component held throughout keeps one server up for every client run,
    // so that no client meets a server that is just ending.
    ComPtr<IControlCenterComponent> keeper;
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 5 && FAILED(hr); ++attempt, Sleep(1000))
      hr = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                            IID_IControlCenterComponent, keeper.put_void());
    ASSERT_EQ(hr, S_OK) << "no component in the test installation";

    Check("list", 0, {"Plant"}, {});
    Check("active", 1, {}, {"No set is active."});
    Check("backup", 1, {}, {"No complete backup exists."});
    Check("changing", 0, {"no"}, {});
    Check("timeout 7", 0, {"SetClientTimeout: 7 seconds"}, {});
    Check("command reboot 7", 1, {},
          {"SendBoardCommand failed: HRESULT 0x80004005", "Error: Invalid board number"});
    // The board command reaches the boards as one datagram.
    Check("command clrfls 1 0", 0, {"SendBoardCommand: CLRFLS sent to boards 1 0"}, {});
    std::vector<unsigned char> datagram;
    EXPECT_TRUE(listener.Receive(datagram, 5000)) << "nothing arrived";
    EXPECT_EQ(std::string(datagram.begin(), datagram.end()),
              std::string("CLRFLS\x00\x40\x9D\x21\x07\x13\x00\x40\x9D\x21\x07\x11", 18) +
                  std::string(6, '\0'));

    // An observer that allows at once watches a select of an unknown set.
    // (A failed change empties the server's board table: commands go first.)
    ClientProcess watcher("watch --count 2 --seconds 90 --allow now");
    const DWORD start = GetTickCount();
    while (ReadLines(watcher.outPath).empty() && watcher.Wait(50) == STILL_ACTIVE &&
           GetTickCount() - start < 30000) {
    }
    Check("select v25_mpk_ --timeout 90", 1,
          {"SelectSet: started", "ChangeProceeding", "SetSelected: failed"}, {"v25_mpk_"});
    EXPECT_EQ(watcher.Wait(30000), 0u) << Text(ReadLines(watcher.errPath));
    Lines seen = ReadLines(watcher.outPath);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].rfind("Watching: cookie ", 0), 0u) << seen[0];
    EXPECT_EQ(Lines(seen.begin() + 1, seen.end()),
              (Lines{"ConfigurationChanging", "AllowSetChange: ok", "ConfigurationChanged"}));
    Check("restore --timeout 90", 1, {"RestoreBackup: started", "SetRestored: failed"},
          {"Error: There is no backup to restore."});

    // The markers hold the set file's full path; a complete backup has every piece.
    installation.WriteFile("active\\ACTSET", "D:\\sys\\Comp\\Plant.cfg\r\n");
    installation.WriteFile("active\\BACKUP\\ACTSET", "D:\\sys\\Comp\\Old.cfg\r\n");
    for (const char* piece :
         {"Old.cfg", "active.ini", "LMHOSTS", "_active.zip", "KorvaneRegistry.reg"})
      installation.WriteFile(std::string("active\\BACKUP\\") + piece, "x");
    Check("active", 0, {"Plant"}, {});
    Check("backup", 0, {"Old"}, {});
  }
  CloseRunningServers();
  CoUninitialize();
}

}  // namespace
