#include "DaoTestSupport.h"

#include <tlhelp32.h>

#include <cctype>

#include <gtest/gtest.h>

#include "DaoServerSettings.h"
#include "Win32/Holders.h"

std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (char* text) {
    return text;
  }
  return "(nothing raised)";
}

std::string ServerTextOf(const std::string& text, const char* message, const char* condition) {
  const std::string head = (message ? std::string(message) + ": " : std::string()) +
                           "Condition (" + condition + ") failed in file QRBDaoClasses.cpp(";
  EXPECT_EQ(head, text.substr(0, head.size())) << text;
  const size_t online = text.find(") on line ", head.size());
  if (online == std::string::npos) {
    ADD_FAILURE() << "no line in " << text;
    return text;
  }
  EXPECT_EQ(24u, online - head.size()) << "build stamp in " << text;
  size_t end = online + 10;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  EXPECT_GT(end, online + 10) << text;
  return text.substr(end);
}

void ExpectAssertion(const std::string& text, const char* message, const char* condition,
                     const std::string& serverText) {
  EXPECT_EQ(serverText, ServerTextOf(text, message, condition)) << text;
}

std::string ProgramDirectory() {
  char program[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string directory = program;
  return directory.substr(0, directory.find_last_of("\\/"));
}

long RunAndWait(const std::string& commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return -1;
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<long>(code);
}

namespace {

void RunServerSwitch(const char* flag) {
  const std::string server = ProgramDirectory() + "\\QRBDAOServer.exe";
  ASSERT_EQ(0, RunAndWait("\"" + server + "\" " + flag)) << server << " " << flag;
}

}  // namespace

bool EnsureActivationServiceRuns(DWORD timeoutMs) {
  struct ServiceHandle {
    SC_HANDLE h;
    ~ServiceHandle() {
      if (h) CloseServiceHandle(h);
    }
  };
  ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
  if (!manager.h) return false;
  ServiceHandle service{OpenServiceA(manager.h, "RpcSs", SERVICE_START | SERVICE_QUERY_STATUS)};
  if (!service.h) return false;
  const DWORD start = GetTickCount();
  for (;;) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.h, &status)) return false;
    if (status.dwCurrentState == SERVICE_RUNNING) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) StartServiceA(service.h, 0, nullptr);
    Sleep(500);
  }
}

void RegisterDaoServer() {
  ASSERT_TRUE(EnsureActivationServiceRuns(120000)) << "RpcSs does not run in this prefix";
  RunServerSwitch("/RegServer");
  const std::string proxy = ProgramDirectory() + "\\KorvanePS.dll";
  HMODULE module = LoadLibraryA(proxy.c_str());
  ASSERT_NE(nullptr, module) << proxy;
  auto registerServer =
      reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(module, "DllRegisterServer"));
  ASSERT_NE(nullptr, registerServer);
  EXPECT_EQ(S_OK, registerServer());
}

void UnregisterDaoServer() { RunServerSwitch("/UnregServer"); }

std::vector<DWORD> DaoServerProcesses() {
  std::vector<DWORD> found;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    return found;
  }
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry))
    if (lstrcmpiA(entry.szExeFile, "QRBDAOServer.exe") == 0) found.push_back(entry.th32ProcessID);
  return found;
}

bool WaitForNoDaoServer(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!DaoServerProcesses().empty()) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(100);
  }
  return true;
}

std::string MakeTempDirectory(const char* prefix) {
  char temp[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, temp);
  for (unsigned attempt = 0;; ++attempt) {
    const std::string directory = std::string(temp) + prefix + "-" +
                                  std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(GetTickCount() + attempt);
    if (CreateDirectoryA(directory.c_str(), nullptr)) return directory;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
}

void RemoveDirectoryTree(const std::string& directory) {
  if (directory.empty()) return;
  WIN32_FIND_DATAA entry;
  UniqueFind find(FindFirstFileA((directory + "\\*").c_str(), &entry));
  if (find) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = directory + "\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryTree(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(find.get(), &entry));
  }
  RemoveDirectoryA(directory.c_str());
}

namespace {

UniqueKey ServerKey() {
  UniqueKey key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDaoServerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                  KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
  return key;
}

}  // namespace

DaoServerSettingsScope::DaoServerSettingsScope(DWORD shutdownDelayMs)
    : directory_(MakeTempDirectory("qrbdao")) {
  UniqueKey key = ServerKey();
  char old[MAX_PATH] = "";
  DWORD size = sizeof old - 1, type = 0;
  hadDirectory_ = RegQueryValueExA(key.get(), "Database Directory", nullptr, &type,
                                   reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
  if (hadDirectory_) oldDirectory_ = old;
  size = sizeof oldDelay_;
  hadDelay_ = RegQueryValueExA(key.get(), "Shutdown Delay", nullptr, &type,
                               reinterpret_cast<BYTE*>(&oldDelay_), &size) == ERROR_SUCCESS;
  RegSetValueExA(key.get(), "Database Directory", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(directory_.c_str()),
                 static_cast<DWORD>(directory_.size() + 1));
  SetShutdownDelay(shutdownDelayMs);
}

void DaoServerSettingsScope::SetShutdownDelay(DWORD milliseconds) {
  UniqueKey key = ServerKey();
  RegSetValueExA(key.get(), "Shutdown Delay", 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&milliseconds), sizeof milliseconds);
}

DaoServerSettingsScope::~DaoServerSettingsScope() {
  UniqueKey key = ServerKey();
  if (hadDirectory_)
    RegSetValueExA(key.get(), "Database Directory", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(oldDirectory_.c_str()),
                   static_cast<DWORD>(oldDirectory_.size() + 1));
  else
    RegDeleteValueA(key.get(), "Database Directory");
  if (hadDelay_)
    RegSetValueExA(key.get(), "Shutdown Delay", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&oldDelay_), sizeof oldDelay_);
  else
    RegDeleteValueA(key.get(), "Shutdown Delay");
  RemoveDirectoryTree(directory_);
}
