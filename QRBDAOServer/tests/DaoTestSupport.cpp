#include "DaoTestSupport.h"

#include <shellapi.h>
#include <sqlite3.h>
#include <tlhelp32.h>

#include <algorithm>

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

std::string ProgramDirectory() {
  char program[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  const std::string path = program;
  return path.substr(0, path.find_last_of("\\/"));
}

long RunAndWait(const std::string& commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<long>(code);
}

bool EnsureActivationServiceRuns(DWORD timeoutMs) {
  struct Service {
    SC_HANDLE h;
    ~Service() { if (h) CloseServiceHandle(h); }
  } manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)},
      service{manager.h ? OpenServiceA(manager.h, "RpcSs", SERVICE_START | SERVICE_QUERY_STATUS) : nullptr};
  for (const DWORD start = GetTickCount(); service.h; Sleep(500)) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.h, &status)) return false;
    if (status.dwCurrentState == SERVICE_RUNNING) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) StartServiceA(service.h, 0, nullptr);
  }
  return false;
}

void RegisterDaoServer() {
  ASSERT_TRUE(EnsureActivationServiceRuns(120000)) << "RpcSs does not run in this prefix";
  ASSERT_EQ(0, RunAndWait("\"" + ProgramDirectory() + "\\QRBDAOServer.exe\" /RegServer"));
  HMODULE proxy = LoadLibraryA((ProgramDirectory() + "\\KorvanePS.dll").c_str());
  ASSERT_NE(nullptr, proxy);
  auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(proxy, "DllRegisterServer"));
  ASSERT_NE(nullptr, registerServer);
  EXPECT_EQ(S_OK, registerServer());
}

void UnregisterDaoServer() {
  ASSERT_EQ(0, RunAndWait("\"" + ProgramDirectory() + "\\QRBDAOServer.exe\" /UnregServer"));
}

std::vector<DWORD> DaoServerProcesses() {
  std::vector<DWORD> found;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) snapshot.release();
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
    if (lstrcmpiA(entry.szExeFile, "QRBDAOServer.exe") == 0) found.push_back(entry.th32ProcessID);
  return found;
}

bool WaitForNoDaoServer(DWORD timeoutMs) {
  for (const DWORD start = GetTickCount(); !DaoServerProcesses().empty(); Sleep(100))
    if (GetTickCount() - start > timeoutMs) return false;
  return true;
}

std::string MakeTempDirectory(const char* prefix) {
  char temp[MAX_PATH] = "", name[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, temp);
  // A unique file name, made a folder.
  if (!GetTempFileNameA(temp, prefix, 0, name) || !DeleteFileA(name) || !CreateDirectoryA(name, nullptr)) return {};
  return name;
}

void RemoveDirectoryTree(const std::string& directory) {
  if (directory.empty()) return;
  const std::string from = directory + '\0';  // a list of names, ended by an empty one
  SHFILEOPSTRUCTA operation{};
  operation.wFunc = FO_DELETE;
  operation.pFrom = from.c_str();
  operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
  SHFileOperationA(&operation);
}

std::vector<std::string> StoredColumn(const std::string& path, const std::string& sql) {
  std::vector<std::string> values;
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr)) << path;
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr)) << sql;
  while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    values.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return values;
}

DaoServerSettingsScope* DaoServerEnvironment::settings = nullptr;

void DaoServerEnvironment::SetUp() {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  RegisterDaoServer();
  settings = new DaoServerSettingsScope(delay);
}

void DaoServerEnvironment::TearDown() {
  WaitForNoDaoServer(10000);
  delete settings;
  CoUninitialize();
}

static UniqueKey ServerKey() {
  UniqueKey key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDaoServerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
  return key;
}

DaoServerSettingsScope::DaoServerSettingsScope(DWORD shutdownDelayMs) : directory_(MakeTempDirectory("qrbdao")) {
  Set("Database Directory", REG_SZ, directory_.c_str(), static_cast<DWORD>(directory_.size() + 1));
  SetShutdownDelay(shutdownDelayMs);
}

void DaoServerSettingsScope::SetDword(const char* name, DWORD value) { Set(name, REG_DWORD, &value, sizeof value); }

void DaoServerSettingsScope::Set(const char* name, DWORD type, const void* data, DWORD size) {
  UniqueKey key = ServerKey();
  if (std::none_of(saved_.begin(), saved_.end(), [&](const Saved& saved) { return saved.name == name; })) {
    Saved old{name, false, 0, std::vector<BYTE>(MAX_PATH)};
    DWORD oldSize = MAX_PATH;
    old.had = RegQueryValueExA(key.get(), name, nullptr, &old.type, old.data.data(), &oldSize) == ERROR_SUCCESS;
    old.data.resize(oldSize);
    saved_.push_back(old);
  }
  RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

DaoServerSettingsScope::~DaoServerSettingsScope() {
  UniqueKey key = ServerKey();
  for (const Saved& saved : saved_)
    if (saved.had)
      RegSetValueExA(key.get(), saved.name.c_str(), 0, saved.type, saved.data.data(), static_cast<DWORD>(saved.data.size()));
    else
      RegDeleteValueA(key.get(), saved.name.c_str());
  RemoveDirectoryTree(directory_);
}
