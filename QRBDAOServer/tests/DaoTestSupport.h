// What the database server's tests share: registering the server and the proxy DLL that sit
// beside the test program, a private database directory and settings for the run, a view of the
// server's processes, and the stored file as any SQLite program reads it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The text a call raised (a char*), or "(nothing raised)".
std::string Raised(const std::function<void()>& call);

// The folder of the running program.
std::string ProgramDirectory();
// Runs a command line and waits for it; its exit code, or -1 when it could not be started.
long RunAndWait(const std::string& commandLine);

// Starts the prefix's COM activation service (RpcSs) when it does not run yet, and waits for it:
// on a loaded machine COM's own start of it can time out, and every activation then fails.
// False when it would not run within timeoutMs.
bool EnsureActivationServiceRuns(DWORD timeoutMs);
// Registers (or unregisters) QRBDAOServer.exe from the program's folder, and registers the
// proxy DLL beside it. Raises a gtest failure on error.
void RegisterDaoServer();
void UnregisterDaoServer();

// Process ids of the running QRBDAOServer.exe programs; waiting until none runs (false when one
// still runs after timeoutMs).
std::vector<DWORD> DaoServerProcesses();
bool WaitForNoDaoServer(DWORD timeoutMs);

// A fresh empty folder below the temporary folder, and its removal with all it holds.
std::string MakeTempDirectory(const char* prefix);
void RemoveDirectoryTree(const std::string& directory);

// The first column of each row of a query on a database file ("NULL" for a null).
std::vector<std::string> StoredColumn(const std::string& path, const std::string& sql);

// Points the database server at a fresh database directory and sets its shutdown delay for the
// life of the object; every value it set is put back afterwards, and the directory removed.
class DaoServerSettingsScope {
 public:
  explicit DaoServerSettingsScope(DWORD shutdownDelayMs);
  ~DaoServerSettingsScope();
  DaoServerSettingsScope(const DaoServerSettingsScope&) = delete;
  DaoServerSettingsScope& operator=(const DaoServerSettingsScope&) = delete;

  const std::string& Directory() const { return directory_; }
  void SetShutdownDelay(DWORD milliseconds) { SetDword("Shutdown Delay", milliseconds); }
  void SetDword(const char* name, DWORD value);

 private:
  void Set(const char* name, DWORD type, const void* data, DWORD size);
  struct Saved {
    std::string name;
    bool had;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::string directory_;
  std::vector<Saved> saved_;
};
