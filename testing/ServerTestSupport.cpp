#include "testing/ComponentTestSupport.h"  // winsock2.h before windows.h

#include "testing/ServerTestSupport.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "testing/RegistryTestSupport.h"
#include "testing/SetFileTestSupport.h"

namespace {

void RegisterDll(const char* name) {
  const std::string path = BinDirectory() + "\\" + name;
  if (!setfile_test::FileExists(path)) return;
  HMODULE dll = LoadLibraryA(path.c_str());
  ASSERT_NE(dll, nullptr) << name;
  using Register = HRESULT(WINAPI*)();
  auto registerDll = reinterpret_cast<Register>(GetProcAddress(dll, "DllRegisterServer"));
  ASSERT_NE(registerDll, nullptr) << name;
  EXPECT_EQ(registerDll(), S_OK) << name;
  FreeLibrary(dll);
}

void RegisterProgram(const char* name) {
  if (!setfile_test::FileExists(BinDirectory() + "\\" + name)) return;
  TestProcess registration(name, "/RegServer");
  ASSERT_TRUE(registration.Started()) << name;
  EXPECT_TRUE(registration.WaitForExit(30000)) << name << " /RegServer";
}

}  // namespace

void RegisterServerForTests() {
  RegisterDll("KorvanePS.dll");
  RegisterDll("BootpServer.dll");
  RegisterProgram("ControlCenterServer.exe");
  RegisterProgram("QRBDAOServer.exe");
}

TestInstallationSettings::TestInstallationSettings() {
  // An installation is there when its root is; other tests (the database
  // server's settings) may leave the Korvane key behind without one.
  if (!KeyExists("SOFTWARE\\Brenlow\\Korvane\\Path"))
    installation = std::make_unique<TestInstallation>("server-test");
}

TestInstallationSettings::~TestInstallationSettings() = default;

HWND FindServerWindow(DWORD processId) {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, nullptr, "Control Center Server"))) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != GetCurrentProcessId() && (!processId || owner == processId)) return window;
  }
  return nullptr;
}

HWND WaitForServerWindow(DWORD processId, DWORD timeoutMs) {
  for (DWORD start = GetTickCount();; Sleep(50)) {
    if (HWND window = FindServerWindow(processId)) return window;
    if (GetTickCount() - start > timeoutMs) return nullptr;
  }
}

UniqueHandle OpenServerProcess(HWND window) {
  DWORD owner = 0;
  if (window) GetWindowThreadProcessId(window, &owner);
  return UniqueHandle(owner ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, owner)
                            : nullptr);
}

void CloseRunningServers() {
  // The window goes before the process ends: only the process's end says
  // that its classes are withdrawn and a new client gets a new server.
  for (int attempt = 0; attempt < 10; ++attempt) {
    HWND window = FindServerWindow();
    if (!window) break;
    PostMessageA(window, WM_CLOSE, 0, 0);
    UniqueHandle process = OpenServerProcess(window);
    if (!WaitForProcessExit(process.get(), 5000)) break;
  }
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    if (lstrcmpiA(entry.szExeFile, "ControlCenterServer.exe") != 0) continue;
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    if (process && !WaitForProcessExit(process.get(), 10000)) {
      ADD_FAILURE() << "a server process did not end; terminating it";
      TerminateProcess(process.get(), 1);
      WaitForProcessExit(process.get(), 5000);
    }
  }
}

bool ClassesKeyExists(const std::string& path) { return KeyExists(path, HKEY_CLASSES_ROOT); }

std::string ClassesString(const std::string& path, const char* name) {
  DWORD type = 0;
  std::string value;
  if (!RawRead(HKEY_CLASSES_ROOT, path, name, type, value) || type != REG_SZ) return std::string();
  return value.c_str();
}
