// What the database server's tests share: the server and the proxy DLL beside the test program
// registered, a private database directory and settings, the server's processes, its files.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// The text a call raised (a char*), or "(nothing raised)".
std::string Raised(const std::function<void()>& call);

std::string ProgramDirectory();
// Runs a command line and waits for it: its exit code, or -1 when it could not be started.
long RunAndWait(const std::string& commandLine);

// Starts the prefix's COM activation service (RpcSs) unless it runs, and waits for it: on a loaded
// machine COM's own start of it can time out, and every activation then fails.
bool EnsureActivationServiceRuns(DWORD timeoutMs);
// QRBDAOServer.exe from the program's folder, and the proxy DLL beside it; gtest failures on error.
void RegisterDaoServer();
void UnregisterDaoServer();

std::vector<DWORD> DaoServerProcesses();
bool WaitForNoDaoServer(DWORD timeoutMs);  // false when one still runs after timeoutMs

// A fresh empty folder below the temporary folder; removing one with all it holds.
std::string MakeTempDirectory(const char* prefix);
void RemoveDirectoryTree(const std::string& directory);

// The first column of each row of a query on a database file ("NULL" for a null).
std::vector<std::string> StoredColumn(const std::string& path, const std::string& sql);

class DaoServerSettingsScope;

// For a test program that talks to QRBDAOServer.exe: the multithreaded apartment, the server
// registered and pointed at a fresh directory (settings) for the run.
struct DaoServerEnvironment : ::testing::Environment {
  explicit DaoServerEnvironment(DWORD shutdownDelayMs) : delay(shutdownDelayMs) {}
  void SetUp() override;
  void TearDown() override;
  DWORD delay;
  static DaoServerSettingsScope* settings;
};

// Points the database server at a fresh database directory with a shutdown delay for the life of
// the object; every value it set is put back afterwards, and the directory removed.
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
