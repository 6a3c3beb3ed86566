// What the tests that run the system's programs need: the build folder,
// processes that end with the test, registration in the current prefix, a
// test installation, a UDP listener standing in for the boards, and finding
// the running server.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Win32/Holders.h"

// The folder of this test program, where the build puts every program.
inline std::string BinDirectory() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, sizeof path);
  const std::string directory = path;
  return directory.substr(0, directory.find_last_of("\\/"));
}
inline std::string ServerPath() { return BinDirectory() + "\\ControlCenterServer.exe"; }

// True when the process ended within timeoutMs.
inline bool WaitForProcessExit(HANDLE process, DWORD timeoutMs) {
  return process && WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
}

// A program of the build folder started by the test, with arguments appended
// to its quoted path; killed when still running at the end, so that a failing
// test leaves nothing behind.
class TestProcess {
 public:
  TestProcess(const std::string& program, const std::string& arguments) {
    std::string commandLine = "\"" + BinDirectory() + "\\" + program + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                       BinDirectory().c_str(), &startup, &info)) {
      CloseHandle(info.hThread);
      process.reset(info.hProcess);
      id = info.dwProcessId;
    }
  }
  ~TestProcess() {
    if (process && !WaitForExit(0)) {
      TerminateProcess(process.get(), 1);
      WaitForExit(10000);
    }
  }
  bool Started() const { return static_cast<bool>(process); }
  DWORD Id() const { return id; }
  bool WaitForExit(DWORD timeoutMs) { return WaitForProcessExit(process.get(), timeoutMs); }
  // STILL_ACTIVE while it runs.
  DWORD ExitCode() {
    DWORD code = STILL_ACTIVE;
    if (process) GetExitCodeProcess(process.get(), &code);
    return code;
  }

 private:
  UniqueHandle process;
  DWORD id = 0;
};

struct ServerProcess : TestProcess {
  explicit ServerProcess(const std::string& arguments)
      : TestProcess("ControlCenterServer.exe", arguments) {}
};

// Registers what the server needs from the build folder: the proxy/stub
// DLL and the bootp component (DllRegisterServer), the server and the
// database server (/RegServer); those not built are left out. A test then
// works in any prefix, registered before or not.
void RegisterServerForTests();

// A whole installation for the tests: the settings under
// HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane ("Root" pointing at a fresh
// folder below the temporary folder, a "Network" key whose board commands
// go to 127.0.0.1, the client time-out) and no active set. The subtree as
// it was before comes back at destruction and the folder is removed.
// Keys are named relative to SOFTWARE\Brenlow\Korvane ("" is that key).
class TestInstallation {
 public:
  explicit TestInstallation(const char* tag);
  ~TestInstallation();
  const std::string& Root() const;
  // The settings every case starts from (Root, Network values, a time-out
  // of 10, no "Active Set").
  void WriteDefaultSettings();
  void SetString(const std::string& key, const char* name, const std::string& text);
  void SetDword(const std::string& key, const char* name, DWORD value);
  void DeleteValue(const std::string& key, const char* name);
  void DeleteKey(const std::string& key);
  // False when the value is missing or not a REG_DWORD.
  bool ReadDword(const std::string& key, const char* name, DWORD* value) const;
  // One board record under "Active Set\Boards", in the key named keyName
  // (normally the 12-digit hardware address).
  void AddBoard(const std::string& keyName, DWORD number);
  // Files and folders below the root; paths use backslashes.
  void MakeDirectory(const std::string& relative);
  void WriteFile(const std::string& relative, const std::string& bytes);
  void RemoveFile(const std::string& relative);

 private:
  struct State;
  std::unique_ptr<State> state;
};

// The installation settings a ControlCenterComponent needs to be created (a
// TestInstallation), written only when the prefix has no installation and
// then removed again; an installation already there is used as it is.
class TestInstallationSettings {
 public:
  TestInstallationSettings();
  // True when these settings are the test's own, free to change.
  bool Ours() const { return static_cast<bool>(installation); }

 private:
  std::unique_ptr<TestInstallation> installation;
};

// A UDP socket on 127.0.0.1 with a port of the system's choosing: where
// the board socket's datagrams land when the installation says so.
class UdpListener {
 public:
  UdpListener();
  ~UdpListener();
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;
  unsigned short Port() const { return port; }
  // The next datagram, or false when none came within timeoutMs.
  bool Receive(std::vector<unsigned char>& datagram, DWORD timeoutMs);

 private:
  SOCKET socket_ = INVALID_SOCKET;
  unsigned short port = 0;
};

// The main window of a running server ("Control Center Server"), optionally
// only that of the given process; null when there is none.
HWND FindServerWindow(DWORD processId = 0);
// Waits until a server window appears (of the given process when not 0).
HWND WaitForServerWindow(DWORD processId, DWORD timeoutMs);
// Opens the process behind a running server's window, to wait for, end or
// query it.
UniqueHandle OpenServerProcess(HWND window);
// Closes every running server (WM_CLOSE, then TerminateProcess for one
// that stays), so that a test starts from a known state.
void CloseRunningServers();
// The running processes of this program (a file name such as
// "QRBDAOServer.exe"), opened to wait for or end them.
std::vector<UniqueHandle> OpenProcessesNamed(const char* program);

// Under HKEY_CLASSES_ROOT; the value (null name: the default) is empty when
// missing.
bool ClassesKeyExists(const std::string& path);
std::string ClassesString(const std::string& path, const char* name = nullptr);
