#include "setchange/RestoreWorker.h"

#include <memory>
#include <utility>

#include "registry/RegistryBackup.h"
#include "setchange/Recovery.h"
#include "Win32/ErrorText.h"

const char kNoBackupText[] = "There is no backup to restore.";

namespace {

// The journal's steps of a restore, in order.
constexpr const char* kRestoreRegistry = "registry";
constexpr const char* kRestoreClear = "clear";
constexpr const char* kRestoreCopy = "copy";
constexpr const char* kRestoreCleanup = "cleanup";
constexpr const char* kRestoreReload = "reload";

// Keeps the first failure to raise it later and logs the others, so that
// each reaches the error table once (the raised one through the client's
// error text).
class Failures {
 public:
  explicit Failures(const ConfigurationWorkerSetup& workerSetup) : setup(workerSetup) {}
  void Add(const std::string& text) {
    if (first.empty())
      first = text;
    else
      LogWorkerError(setup, text.c_str());
  }
  void RaiseAny() const {
    if (!first.empty()) RaiseFormatted("%s", first.c_str());
  }

 private:
  const ConfigurationWorkerSetup& setup;
  std::string first;
};

}  // namespace

void CompleteRestore(const ConfigurationWorkerSetup& setup, ChangeJournal& journal,
                     StepCounter& steps) {
  const std::string activeDirectory = ActiveDirectoryOf(setup.rootPath);
  const std::string backupDirectory = BackupDirectoryOf(setup.rootPath);
  const std::string registryFile = backupDirectory + kBackupRegistryFile;
  const std::vector<std::string> files = journal.Record().files;
  const std::string& step = journal.Record().step;

  if (step == kRestoreRegistry || step == kRestoreClear || step == kRestoreCopy) {
    if (step != kRestoreRegistry) journal.Step(kRestoreRegistry);
    RestoreRegistry(registryFile.c_str(), setup.registrySubtree.c_str());
    steps.Passed("registry restored");

    // Everything of the newer set goes, also the list files of boards that
    // the backed-up set does not have.
    Failures failures(setup);
    journal.Step(kRestoreClear);
    for (const char* pattern : kBackupPatterns)
      for (const std::string& name : MatchingFiles(activeDirectory, pattern)) {
        if (!DeleteFileA((activeDirectory + name).c_str()))
          failures.Add("Could not delete " + activeDirectory + name);
        steps.Passed("active file deleted");
      }
    // Copied, not moved: the backup stays whole until all of it is back.
    journal.Step(kRestoreCopy);
    for (const std::string& name : files) {
      std::string text;
      if (!RunCatchingText(
              [&] { CopyFileFlushed(backupDirectory + name, activeDirectory + name); }, &text))
        failures.Add(text);
      steps.Passed("backup file copied");
    }
    failures.RaiseAny();
    journal.Step(kRestoreCleanup);
  }

  // The configuration is whole again: the backup is used up. What cannot be
  // deleted is only left over, so it is logged and the restore goes on; the
  // export goes last, so that the backup counts as one until then.
  for (const std::string& name : files) {
    const std::string path = backupDirectory + name;
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
      LogWorkerError(setup, ("Could not delete " + path).c_str());
    steps.Passed("backup file deleted");
  }
  if (!DeleteFileA(registryFile.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    LogWorkerError(setup, ("Could not delete " + registryFile).c_str());
  steps.Passed("registry backup deleted");
  if (journal.Record().step != kRestoreReload) journal.Step(kRestoreReload);
}

RestoreWorker::RestoreWorker(ConfigurationWorkerSetup workerSetup)
    : setup(std::move(workerSetup)) {}

int RestoreWorker::RestoreSet(HANDLE hAllowThreadToRun) {
  lastError.clear();
  const std::string backupDirectory = BackupDirectoryOf(setup.rootPath);
  StepCounter steps(setup);
  ChangeJournal journal(setup.rootPath);
  std::unique_ptr<ServerLockHolder> lock;
  std::string failure;
  const bool done = RunCatchingText(
      [&] {
        KORVANE_ASSERT(hAllowThreadToRun, nullptr);
        WaitForSingleObject(hAllowThreadToRun, INFINITE);
        if (setup.Cancelled()) return;
        lock.reset(new ServerLockHolder(setup.serverLock));

        // A restore that failed, or that the process did not live to
        // finish, is this one: it goes on from where that one stopped. A
        // set change left unfinished is rolled back first.
        JournalRecord found;
        if (ReadJournal(setup.rootPath, &found) && found.operation == JournalOperation::Restore) {
          journal.Resume(std::move(found));
        } else {
          const std::string recovered = RecoverInterruptedWork(setup);
          if (!recovered.empty()) LogWorkerError(setup, recovered.c_str());
          // The same test that clients make with BackupExists.
          if (!BackupPresent(setup.rootPath)) RaiseFormatted("%s", kNoBackupText);
          JournalRecord record;
          record.operation = JournalOperation::Restore;
          record.step = kRestoreRegistry;
          for (const char* pattern : kBackupPatterns)
            for (const std::string& name : MatchingFiles(backupDirectory, pattern))
              record.files.push_back(name);
          journal.Begin(std::move(record));
          steps.Passed("journal written");
        }

        CompleteRestore(setup, journal, steps);
        if (setup.boardList)
          LoadBoardList(*setup.boardList, HKEY_LOCAL_MACHINE,
                        (setup.registrySubtree + "\\" + kActiveSetKeyName + "\\Boards").c_str());
        steps.Passed("board table loaded");
        if (setup.bootpReset) setup.bootpReset();
        steps.Passed("bootp reset");
        journal.Finish();
        steps.Passed("journal removed");
      },
      &failure);
  if (done && !lock) {
    // Cancelled before it started: nothing was touched, nothing to undo.
    lastError = kCancelledText;
    return 1;
  }
  if (!done) {
    // The journal stays: the restore is tried again by the next restore,
    // the next set change or the next start of the server.
    if (setup.boardList) setup.boardList->RemoveAll();
    lastError = failure;
  }
  lock.reset();
  return done ? 0 : 1;
}
