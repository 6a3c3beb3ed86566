// What the set change and restore workers share: what they are given, the
// backup directory they fill and empty, and the file moves between the two.
//
// The workers are plain classes: they take everything they use from a
// ConfigurationWorkerSetup, so they run the same inside the server (which
// fills it from its class-wide state) and in tests against a private
// installation and a private registry subtree.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "notifications/ServerLock.h"
#include "registry/BoardRecord.h"
#include "registry/Registry.h"
#include "Win32/ErrorText.h"

struct ConfigurationWorkerSetup {
  // The installation root, without a final backslash.
  std::string rootPath;
  // Host byte order; the first board address.
  unsigned long baseIpAddress = 0;
  unsigned short communicationPort = 0;
  // The system's subtree under HKEY_LOCAL_MACHINE.
  std::string registrySubtree = kKorvaneKeyPath;
  // Held for the whole of the work ("Configuration Semaphore").
  ServerLock* serverLock = nullptr;
  // Rebuilt from the registry once the registry records are complete, or
  // emptied on failure.
  JArray<BoardRecord>* boardList = nullptr;
  // Has the bootp server reload the active configuration and waits for it;
  // raises when it does not answer. Empty: nobody to ask.
  std::function<void()> bootpReset;
  // Shows an operator warning of the list copiers and waits for it to be
  // acknowledged. Empty: a message box.
  std::function<void(const char*)> warningShower;
  // Where failures of a rollback go (the error log); the worker's own text
  // is about the failure that caused it. Empty: the installed error logger.
  std::function<void(const char*)> logError;
  // Set when the server shuts down before the change was allowed: the
  // worker then ends as soon as it is let go, without touching anything.
  const std::atomic<bool>* cancelled = nullptr;
  bool Cancelled() const { return cancelled && cancelled->load(); }
  // Called after each step that a crash could follow, with the step's
  // name: the points at which the crash tests stop a worker. Empty: the
  // test hook of StepCounter below.
  std::function<void(const char*)> stepPassed;
};

// Why a worker that was cancelled before it started did nothing.
constexpr const char* kCancelledText =
    "The configuration change was cancelled before it started: the server is shutting down.";

// The counter of a worker's steps. With no stepPassed callback it obeys a
// test hook in the registry: a REG_DWORD "Terminate After Step" of N (1 and
// up) under HKEY_LOCAL_MACHINE\<subtree> Test Hooks (for the server,
// "SOFTWARE\Brenlow\Korvane Test Hooks", outside the subtree a change saves
// and restores) makes the worker end its own process with TerminateProcess
// right after its Nth step, as a crash or a power cut would, so that a test
// can show that the next start puts a whole configuration back. Read once
// per change; absent or 0 on every working installation.
class StepCounter {
 public:
  explicit StepCounter(const ConfigurationWorkerSetup& setup);
  void Passed(const char* step);

  static constexpr const char* kHookValueName = "Terminate After Step";
  static constexpr UINT kTerminatedExitCode = 0x4B11;

 private:
  std::function<void(const char*)> callback;
  DWORD terminateAfter = 0;
  DWORD count = 0;
};

// The key of the test hook for a subtree: "<subtree> Test Hooks".
std::string TestHookKeyOf(const std::string& registrySubtree);

// Logs text through setup.logError, or the installed error logger when the
// setup has none.
void LogWorkerError(const ConfigurationWorkerSetup& setup, const char* text);

// The kinds of file a change backs up, moves back and (on a restore)
// clears from the active directory, in this order. Matched without regard
// to letter case.
extern const char* const kBackupPatterns[5];

// The registry export's name within the backup directory.
constexpr const char* kBackupRegistryFile = "KorvaneRegistry.reg";

// Whether the backup directory of the installation holds a whole backup:
// at least one file of every backed-up kind and the registry export. Only
// then can a restore put a configuration back.
bool BackupPresent(const std::string& rootPath);

// "<root>\active\" and "<root>\active\BACKUP\".
std::string ActiveDirectoryOf(const std::string& rootPath);
std::string BackupDirectoryOf(const std::string& rootPath);

// The plain files (no directories) of directory (ending with a backslash)
// that match pattern, by name, collected before any of them is touched.
std::vector<std::string> MatchingFiles(const std::string& directory, const char* pattern);

// Moves from\name to to\name, replacing a file there: a rename, which
// leaves the file whole in one place or the other whenever the process
// stops. Between volumes (not the backup's case) the file is copied,
// flushed to the disk, and only then deleted. Raises "Could not copy
// <from> to <to>" or "Could not delete <path>".
void MoveFileReplacing(const std::string& fromDirectory, const std::string& toDirectory,
                       const std::string& name);

// Copies from to to (replacing) and flushes the copy to the disk before
// returning, so that nothing may remove the original while the copy is
// only in the cache. Raises "Could not copy <from> to <to>".
void CopyFileFlushed(const std::string& from, const std::string& to);

// Flushes every file of the backed-up kinds in directory (ending with a
// backslash) to the disk. Raises "Could not write <path>".
void FlushConfigurationFiles(const std::string& directory);

// Whether the file (or directory) exists.
bool ExistsOnDisk(const std::string& path);

// Every file of the backed-up kinds, in pattern order, from one directory
// into the other, carrying on past a file that cannot be moved: each
// failure is handed to logError and that file stays where it was. For
// rollbacks, which must put back as much as they can.
void MoveBackedUpFilesLogging(const std::string& fromDirectory, const std::string& toDirectory,
                              const std::function<void(const char*)>& logError);

// Holds the server lock from construction to destruction (nothing when
// given none).
class ServerLockHolder {
 public:
  explicit ServerLockHolder(ServerLock* lock) : lock_(lock) {
    if (lock_) lock_->Lock(0);
  }
  ~ServerLockHolder() {
    if (lock_) lock_->Unlock(0);
  }
  ServerLockHolder(const ServerLockHolder&) = delete;
  ServerLockHolder& operator=(const ServerLockHolder&) = delete;

 private:
  ServerLock* lock_;
};

// The text of what a worker caught (CaughtExceptionTextIn). Copied at once,
// since raised texts live in buffers that the next raise reuses.
template <class Body>
bool RunCatchingText(Body&& body, std::string* text) {
  try {
    body();
    return true;
  } catch (...) {
    *text = CaughtExceptionTextIn("a configuration worker");
  }
  return false;
}
