#include "setchange/Recovery.h"

#include <cstring>
#include <set>

#include "registry/RegistryBackup.h"
#include "setchange/ChangeJournal.h"
#include "setchange/RestoreWorker.h"
#include "setchange/SetChangeWorker.h"
#include "Win32/ErrorText.h"

namespace {

// File names as the file system compares them.
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return _stricmp(a.c_str(), b.c_str()) < 0;
  }
};

void RollBackChangeFiles(const ConfigurationWorkerSetup& setup, const JournalRecord& record) {
  const std::string activeDirectory = ActiveDirectoryOf(setup.rootPath);
  const std::string backupDirectory = BackupDirectoryOf(setup.rootPath);
  const std::string registryFile = backupDirectory + kBackupRegistryFile;
  if (ExistsOnDisk(registryFile)) {
    RestoreRegistry(registryFile.c_str(), setup.registrySubtree.c_str());
  } else if (record.step != kChangeStepRollback) {
    // Only a rollback deletes the export, after it has read it back.
    RaiseFormatted("its registry backup %s is missing, so the previous configuration cannot be "
                   "put back whole. Import a saved copy of the registry subtree and delete %s "
                   "before using the server again.",
                   registryFile.c_str(), JournalPathOf(setup.rootPath).c_str());
  }
  // Every file of the backed-up kinds that the previous configuration did
  // not have is the interrupted set's; the previous configuration's own
  // come back over the others.
  const std::set<std::string, NoCaseLess> previous(record.files.begin(), record.files.end());
  for (const char* pattern : kBackupPatterns)
    for (const std::string& name : MatchingFiles(activeDirectory, pattern))
      if (!previous.count(name) && !DeleteFileA((activeDirectory + name).c_str()))
        RaiseFormatted("Could not delete %s%s", activeDirectory.c_str(), name.c_str());
  for (const std::string& name : record.files)
    if (ExistsOnDisk(backupDirectory + name))
      MoveFileReplacing(backupDirectory, activeDirectory, name);
  if (!DeleteFileA(registryFile.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    LogWorkerError(setup, ("Could not delete " + registryFile).c_str());
}

std::string RollBackChange(const ConfigurationWorkerSetup& setup, ChangeJournal& journal) {
  const JournalRecord& record = journal.Record();
  const std::string what = "The set change to " + record.setPath +
                           " did not finish (it stopped at step \"" + record.step + "\")";
  if (record.step == kChangeStepExport) {
    // Nothing of the active configuration had changed: the keys are deleted
    // and the files moved only after the export is complete.
    const std::string registryFile = BackupDirectoryOf(setup.rootPath) + kBackupRegistryFile;
    if (!DeleteFileA(registryFile.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
      RaiseFormatted("%s; its unfinished registry backup %s could not be deleted.",
                     what.c_str(), registryFile.c_str());
    journal.Finish();
    return what + ". It had not changed the active configuration yet, which stays as it was.";
  }
  std::string text;
  if (!RunCatchingText([&] { RollBackChangeFiles(setup, record); }, &text))
    RaiseFormatted("%s and could not be rolled back: %s", what.c_str(), text.c_str());
  journal.Finish();
  return what + ". Its backup was put back: the configuration that was active before it is "
                "active again.";
}

std::string FinishRestore(const ConfigurationWorkerSetup& setup, ChangeJournal& journal) {
  const std::string what =
      "A restore of the backup set did not finish (it stopped at step \"" +
      journal.Record().step + "\")";
  ConfigurationWorkerSetup uncounted;
  uncounted.stepPassed = [](const char*) {};
  StepCounter none(uncounted);
  std::string text;
  if (!RunCatchingText([&] { CompleteRestore(setup, journal, none); }, &text))
    RaiseFormatted("%s and could not be completed: %s", what.c_str(), text.c_str());
  journal.Finish();
  return what + ". It was completed: the backed-up configuration is active.";
}

}  // namespace

std::string RecoverInterruptedWork(const ConfigurationWorkerSetup& setup) {
  ServerLockHolder lock(setup.serverLock);
  JournalRecord record;
  if (!ReadJournal(setup.rootPath, &record)) return std::string();
  ChangeJournal journal(setup.rootPath);
  const JournalOperation operation = record.operation;
  journal.Resume(std::move(record));
  return operation == JournalOperation::Restore ? FinishRestore(setup, journal)
                                                : RollBackChange(setup, journal);
}
