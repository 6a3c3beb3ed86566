#include "testing/ServerTestSupport.h"

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

namespace {

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RegisterDll(const char* name) {
  const std::string path = BinDirectory() + "\\" + name;
  if (!FileExists(path)) return;
  HMODULE dll = LoadLibraryA(path.c_str());
  ASSERT_NE(dll, nullptr) << name;
  using Register = HRESULT(WINAPI*)();
  auto registerDll = reinterpret_cast<Register>(GetProcAddress(dll, "DllRegisterServer"));
  ASSERT_NE(registerDll, nullptr) << name;
  EXPECT_EQ(registerDll(), S_OK) << name;
  FreeLibrary(dll);
}

void RegisterProgram(const char* name) {
  const std::string path = BinDirectory() + "\\" + name;
  if (!FileExists(path)) return;
  std::string commandLine = "\"" + path + "\" /RegServer";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             BinDirectory().c_str(), &startup, &info))
      << name;
  CloseHandle(info.hThread);
  UniqueHandle process(info.hProcess);
  EXPECT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0) << name << " /RegServer";
}

void RemoveTree(const std::string& path) {
  {
    WIN32_FIND_DATAA found;
    UniqueFind search(FindFirstFileA((path + "\\*").c_str(), &found));
    if (search) {
      do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        std::string child = path + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveTree(child);
        else
          DeleteFileA(child.c_str());
      } while (FindNextFileA(search.get(), &found));
    }
  }
  RemoveDirectoryA(path.c_str());
}

const char kInstallationKey[] = "SOFTWARE\\Brenlow\\Korvane";

void SetValue(const char* subkey, const char* name, DWORD type, const void* data, DWORD size) {
  std::string path = kInstallationKey;
  if (*subkey) path = path + "\\" + subkey;
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, key.put(), nullptr),
            ERROR_SUCCESS)
      << path;
  EXPECT_EQ(RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS)
      << path << " " << name;
}

void SetText(const char* subkey, const char* name, const std::string& text) {
  SetValue(subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void SetNumber(const char* subkey, const char* name, DWORD number) {
  SetValue(subkey, name, REG_DWORD, &number, sizeof number);
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
  UniqueKey existing;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kInstallationKey) + "\\Path").c_str(), 0,
                    KEY_READ, existing.put()) == ERROR_SUCCESS)
    return;
  ours = true;
  char temp[MAX_PATH] = "";
  GetTempPathA(sizeof temp, temp);
  root = std::string(temp) + "korvane-server-test-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(root.c_str(), nullptr);
  SetText("Path", "Root", root);
  SetText("Network", "Base IP Address", "10.0.0.1");
  SetNumber("Network", "Communication Port", 5000);
  SetNumber("Network", "Reboot Port", 5001);
  // Nothing of a test may leave this machine.
  SetText("Network", "Board Command Address", "127.0.0.1");
  SetNumber("", "Control Center Client Timeout", 10);
}

TestInstallationSettings::~TestInstallationSettings() {
  if (!ours) return;
  // Only what was written here goes; the key itself when nothing else is
  // in it.
  std::string key = kInstallationKey;
  for (const char* subkey : {"Path", "Network"}) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, (key + "\\" + subkey).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (key + "\\" + subkey).c_str());
  }
  UniqueKey installation;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallationKey, 0, KEY_ALL_ACCESS, installation.put()) ==
      ERROR_SUCCESS)
    RegDeleteValueA(installation.get(), "Control Center Client Timeout");
  installation.reset();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kInstallationKey);
  RemoveTree(root);
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
