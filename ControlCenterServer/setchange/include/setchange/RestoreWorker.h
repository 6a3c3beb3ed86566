// Restoring the backup set: puts back the configuration that the last set
// change moved into "active\BACKUP\" (its files and its registry export)
// and so uses the backup up. Runs on the configuration worker thread.
#pragma once

#include <windows.h>

#include <string>

#include "setchange/ChangeJournal.h"
#include "setchange/ConfigurationWorker.h"

extern const char kNoBackupText[];  // "There is no backup to restore."

class RestoreWorker {
 public:
  explicit RestoreWorker(ConfigurationWorkerSetup setup);

  // Waits until hAllowThreadToRun is set, then restores. Returns 0 on
  // success, 1 on failure with the reason in LastError(). Never raises.
  //
  // The backup stays whole (its files and the registry export) until every
  // file is back in the active directory; only then are the backup's
  // copies and, last, the export deleted. A restore that fails on the way
  // therefore leaves a backup that BackupExists still reports and that the
  // next restore (or the next start of the server) puts back in full.
  int RestoreSet(HANDLE hAllowThreadToRun);

  const std::string& LastError() const { return lastError; }

 private:
  ConfigurationWorkerSetup setup;
  std::string lastError;
};

// The steps of a restore from the one the journal names on, for a restore
// that starts, one that failed and is tried again, and one that the
// process did not live to finish (Recovery.h): until every file is back
// ("registry", "clear", "copy") it starts over with the registry, since
// the backup is still whole; from "cleanup" on only what is left of the
// backup is removed. A file that cannot be deleted or copied is logged and
// the rest still done; the first such failure is then raised, before
// anything of the backup is removed. The journal is left open.
void CompleteRestore(const ConfigurationWorkerSetup& setup, ChangeJournal& journal,
                     StepCounter& steps);
