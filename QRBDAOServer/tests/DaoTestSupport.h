// What the database server's tests share: registering the server and the
// proxy DLL that sit beside the test program, a private database directory
// and shutdown delay for the run, and a view of the server's processes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The text a call raised (a char*), or "(nothing raised)".
std::string Raised(const std::function<void()>& call);

// Checks an assertion text of the database access layer: the message, the
// condition, the layer's source file with its build stamp and a line, then
// the database server's own text joined without a separator. Returns that
// server text.
std::string ServerTextOf(const std::string& text, const char* message, const char* condition);
// The same, expecting the given server text (none by default).
void ExpectAssertion(const std::string& text, const char* message, const char* condition,
                     const std::string& serverText = "");

// The folder of the running program.
std::string ProgramDirectory();

// Runs a command line and waits for it; returns its exit code, or -1 when
// it could not be started.
long RunAndWait(const std::string& commandLine);

// Starts the COM activation service of the prefix (RpcSs) when it is not
// running yet, and waits for it: on a loaded machine COM's own start of it
// can time out, and every activation then fails. False when it would not
// run within timeoutMs.
bool EnsureActivationServiceRuns(DWORD timeoutMs);

// Registers (or unregisters) QRBDAOServer.exe from the program's folder,
// and registers the proxy DLL beside it. Raises a gtest failure on error.
void RegisterDaoServer();
void UnregisterDaoServer();

// Process ids of the running QRBDAOServer.exe programs.
std::vector<DWORD> DaoServerProcesses();
// Waits until no QRBDAOServer.exe runs; false when one still runs after
// timeoutMs.
bool WaitForNoDaoServer(DWORD timeoutMs);

// A fresh empty folder below the temporary folder.
std::string MakeTempDirectory(const char* prefix);
void RemoveDirectoryTree(const std::string& directory);

// Points the database server at a fresh database directory and sets its
// shutdown delay for the life of the object; puts the previous settings
// back afterwards and removes the directory.
class DaoServerSettingsScope {
 public:
  explicit DaoServerSettingsScope(DWORD shutdownDelayMs);
  ~DaoServerSettingsScope();
  DaoServerSettingsScope(const DaoServerSettingsScope&) = delete;
  DaoServerSettingsScope& operator=(const DaoServerSettingsScope&) = delete;

  const std::string& Directory() const { return directory_; }
  void SetShutdownDelay(DWORD milliseconds);

 private:
  std::string directory_;
  bool hadDirectory_ = false;
  std::string oldDirectory_;
  bool hadDelay_ = false;
  DWORD oldDelay_ = 0;
};
