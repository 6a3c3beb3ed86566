// What the tests that run the real server need: its path, registration in
// the current prefix, starting it by hand, and finding the running one.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Win32/Holders.h"

// The folder of this test program, where the build puts the server too.
std::string BinDirectory();
std::string ServerPath();

// Registers what the server needs from the build folder: the proxy/stub
// DLL and the bootp component (DllRegisterServer), the server and the
// database server (/RegServer); those not built are left out. A test then
// works in any prefix, registered before or not.
void RegisterServerForTests();

// The installation settings a ControlCenterComponent needs to be created
// (HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane: the root, a fresh empty
// folder; the network values, board commands to 127.0.0.1; the client
// time-out). Written only when the prefix has no installation, and then
// removed again with the folder; an installation already there is used as
// it is.
class TestInstallationSettings {
 public:
  TestInstallationSettings();
  ~TestInstallationSettings();
  TestInstallationSettings(const TestInstallationSettings&) = delete;
  TestInstallationSettings& operator=(const TestInstallationSettings&) = delete;

  // True when these settings are the test's own, free to change.
  bool Ours() const { return ours; }

 private:
  bool ours = false;
  std::string root;
};

// A server process started by the test. Killed when still running at the end.
class ServerProcess {
 public:
  // Starts the server with arguments appended to its quoted path.
  explicit ServerProcess(const std::string& arguments);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Started() const { return static_cast<bool>(process); }
  DWORD Id() const { return id; }
  // True when the process ended within timeoutMs.
  bool WaitForExit(DWORD timeoutMs);
  bool Running() { return !WaitForExit(0); }
  DWORD ExitCode();

 private:
  UniqueHandle process;
  DWORD id = 0;
};

// The main window of a running server ("Control Center Server"), optionally
// only that of the given process; null when there is none.
HWND FindServerWindow(DWORD processId = 0);
// Waits until a server window appears (of the given process when not 0).
HWND WaitForServerWindow(DWORD processId, DWORD timeoutMs);
// Opens the process behind a running server's window (SYNCHRONIZE access).
UniqueHandle OpenServerProcess(HWND window);
// True when the process ended within timeoutMs.
bool WaitForProcessExit(HANDLE process, DWORD timeoutMs);
// Ids of the running ControlCenterServer.exe processes of this prefix.
std::vector<DWORD> RunningServerProcesses();
// Closes every running server (WM_CLOSE, then TerminateProcess for one
// that stays), so that a test starts from a known state.
void CloseRunningServers();

// Values under HKEY_CLASSES_ROOT.
bool ClassesKeyExists(const std::string& path);
// The value (null name: the default value); empty when missing.
std::string ClassesString(const std::string& path, const char* name = nullptr);
