// What the tests that run the system's programs need: the build folder,
// processes that end with the test, registration in the current prefix, a
// test installation for the server, and finding the running server.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

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
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;

  bool Started() const { return static_cast<bool>(process); }
  DWORD Id() const { return id; }
  bool WaitForExit(DWORD timeoutMs) { return WaitForProcessExit(process.get(), timeoutMs); }
  bool Running() { return !WaitForExit(0); }
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

// The server started by hand.
struct ServerProcess : TestProcess {
  explicit ServerProcess(const std::string& arguments)
      : TestProcess("ControlCenterServer.exe", arguments) {}
};

// Registers what the server needs from the build folder: the proxy/stub
// DLL and the bootp component (DllRegisterServer), the server and the
// database server (/RegServer); those not built are left out. A test then
// works in any prefix, registered before or not.
void RegisterServerForTests();

class TestInstallation;

// The installation settings a ControlCenterComponent needs to be created (a
// TestInstallation), written only when the prefix has no installation and
// then removed again; an installation already there is used as it is.
class TestInstallationSettings {
 public:
  TestInstallationSettings();
  ~TestInstallationSettings();

  // True when these settings are the test's own, free to change.
  bool Ours() const { return static_cast<bool>(installation); }

 private:
  std::unique_ptr<TestInstallation> installation;
};

// The main window of a running server ("Control Center Server"), optionally
// only that of the given process; null when there is none.
HWND FindServerWindow(DWORD processId = 0);
// Waits until a server window appears (of the given process when not 0).
HWND WaitForServerWindow(DWORD processId, DWORD timeoutMs);
// Opens the process behind a running server's window (SYNCHRONIZE access).
UniqueHandle OpenServerProcess(HWND window);
// Closes every running server (WM_CLOSE, then TerminateProcess for one
// that stays), so that a test starts from a known state.
void CloseRunningServers();

// Values under HKEY_CLASSES_ROOT.
bool ClassesKeyExists(const std::string& path);
// The value (null name: the default value); empty when missing.
std::string ClassesString(const std::string& path, const char* name = nullptr);
