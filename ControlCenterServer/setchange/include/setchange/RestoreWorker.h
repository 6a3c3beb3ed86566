// Restoring the backup set: puts back the configuration that the last set
// change moved into "active\BACKUP\" (its files and its registry export)
// and so uses the backup up. Runs on the configuration worker thread.
#pragma once

#include <windows.h>

#include <string>

#include "setchange/ConfigurationWorker.h"

extern const char kNoBackupText[];  // "There is no backup to restore."

class RestoreWorker {
 public:
  explicit RestoreWorker(ConfigurationWorkerSetup setup);

  // Waits until hAllowThreadToRun is set, then restores. Returns 0 on
  // success, 1 on failure with the reason in LastError(). Never raises.
  // What a failure leaves is as far as the restore got: nothing deleted or
  // copied is put back (before the first deletion nothing is touched).
  int RestoreSet(HANDLE hAllowThreadToRun);

  const std::string& LastError() const { return lastError; }

 private:
  ConfigurationWorkerSetup setup;
  std::string lastError;
};
