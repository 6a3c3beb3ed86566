#include "ServerTestSupport.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

const char kServerWindowTitle[] = "Control Center Server";

struct WindowSearch {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK FindWindowOfProcess(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  char title[64] = "";
  GetWindowTextA(window, title, sizeof title);
  if (std::string(title) != kServerWindowTitle) return TRUE;
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == GetCurrentProcessId()) return TRUE;
  if (search->processId && owner != search->processId) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

std::string BinDirectory() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string directory = path;
  return directory.substr(0, directory.find_last_of("\\/"));
}

std::string ServerPath() { return BinDirectory() + "\\ControlCenterServer.exe"; }

void RegisterServerForTests() {
  HMODULE proxies = LoadLibraryA((BinDirectory() + "\\KorvanePS.dll").c_str());
  ASSERT_NE(proxies, nullptr) << "KorvanePS.dll is not beside the test";
  using Register = HRESULT(WINAPI*)();
  auto registerProxies =
      reinterpret_cast<Register>(GetProcAddress(proxies, "DllRegisterServer"));
  ASSERT_NE(registerProxies, nullptr);
  ASSERT_EQ(registerProxies(), S_OK);
  FreeLibrary(proxies);

  ServerProcess registration("/RegServer");
  ASSERT_TRUE(registration.Started());
  ASSERT_TRUE(registration.WaitForExit(30000)) << "/RegServer did not end";
}

ServerProcess::ServerProcess(const std::string& arguments) {
  std::string commandLine = "\"" + ServerPath() + "\" " + arguments;
  std::vector<char> writable(commandLine.begin(), commandLine.end());
  writable.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     BinDirectory().c_str(), &startup, &info)) {
    CloseHandle(info.hThread);
    process.reset(info.hProcess);
    id = info.dwProcessId;
  }
}

ServerProcess::~ServerProcess() {
  if (process && !WaitForExit(0)) {
    TerminateProcess(process.get(), 1);
    WaitForExit(10000);
  }
}

bool ServerProcess::WaitForExit(DWORD timeoutMs) {
  return process && WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD ServerProcess::ExitCode() {
  DWORD code = STILL_ACTIVE;
  if (process) GetExitCodeProcess(process.get(), &code);
  return code;
}

HWND FindServerWindow(DWORD processId) {
  WindowSearch search{processId, nullptr};
  EnumWindows(FindWindowOfProcess, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForServerWindow(DWORD processId, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND window = FindServerWindow(processId)) return window;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(50);
  }
}

UniqueHandle OpenServerProcess(HWND window) {
  DWORD owner = 0;
  if (window) GetWindowThreadProcessId(window, &owner);
  return UniqueHandle(owner ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, owner)
                            : nullptr);
}

bool WaitForProcessExit(HANDLE process, DWORD timeoutMs) {
  return process && WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
}

std::vector<DWORD> RunningServerProcesses() {
  std::vector<DWORD> ids;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    return ids;
  }
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    if (lstrcmpiA(entry.szExeFile, "ControlCenterServer.exe") == 0)
      ids.push_back(entry.th32ProcessID);
  }
  return ids;
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
  for (DWORD id : RunningServerProcesses()) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
    if (process && !WaitForProcessExit(process.get(), 10000)) {
      ADD_FAILURE() << "a server process did not end; terminating it";
      TerminateProcess(process.get(), 1);
      WaitForProcessExit(process.get(), 5000);
    }
  }
}

bool ClassesKeyExists(const std::string& path) {
  UniqueKey key;
  return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) ==
         ERROR_SUCCESS;
}

std::string ClassesString(const std::string& path, const char* name) {
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return std::string();
  char value[512] = "";
  DWORD size = sizeof value - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return std::string();
  return value;
}
