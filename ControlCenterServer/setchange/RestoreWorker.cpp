#include "setchange/RestoreWorker.h"

#include <memory>
#include <utility>
#include <vector>

#include "registry/RegistryBackup.h"
#include "Win32/ErrorText.h"

const char kNoBackupText[] = "There is no backup to restore.";

RestoreWorker::RestoreWorker(ConfigurationWorkerSetup workerSetup)
    : setup(std::move(workerSetup)) {}

int RestoreWorker::RestoreSet(HANDLE hAllowThreadToRun) {
  lastError.clear();
  const std::string activeDirectory = ActiveDirectoryOf(setup.rootPath);
  const std::string backupDirectory = BackupDirectoryOf(setup.rootPath);
  std::unique_ptr<ServerLockHolder> lock;
  std::string failure;
  const bool done = RunCatchingText(
      [&] {
        KORVANE_ASSERT(hAllowThreadToRun, nullptr);
        WaitForSingleObject(hAllowThreadToRun, INFINITE);
        if (setup.Cancelled()) return;
        lock.reset(new ServerLockHolder(setup.serverLock));

        // The same test that clients make with BackupExists.
        if (!BackupPresent(setup.rootPath)) RaiseFormatted("%s", kNoBackupText);

        const std::string registryFile = backupDirectory + kBackupRegistryFile;
        // The boards the import is about to record, taken from the export
        // (deleted below) rather than read back value by value afterwards.
        std::vector<BoardRecord> restoredBoards;
        const bool boardsKnown =
            setup.boardList &&
            BoardRecordsFromExport(registryFile, setup.registrySubtree, &restoredBoards);
        RestoreRegistry(registryFile.c_str(), setup.registrySubtree.c_str());
        DeleteFileA(registryFile.c_str());

        // Everything of the newer set goes, also the list files of boards
        // that the backed-up set does not have.
        for (const char* pattern : kBackupPatterns)
          for (const std::string& name : MatchingFiles(activeDirectory, pattern))
            if (!DeleteFileA((activeDirectory + name).c_str()))
              RaiseFormatted("Could not delete %s", (activeDirectory + name).c_str());
        MoveBackedUpFiles(backupDirectory, activeDirectory);

        if (boardsKnown)
          FillBoardList(*setup.boardList, restoredBoards);
        else if (setup.boardList)
          LoadBoardList(*setup.boardList, HKEY_LOCAL_MACHINE,
                        (setup.registrySubtree + "\\" + kActiveSetKeyName + "\\Boards").c_str());
        if (setup.bootpReset) setup.bootpReset();
      },
      &failure);
  if (done && !lock) {
    // Cancelled before it started: nothing was touched, nothing to undo.
    lastError = kCancelledText;
    return 1;
  }
  if (!done) {
    if (setup.boardList) setup.boardList->RemoveAll();
    lastError = failure;
  }
  lock.reset();
  return done ? 0 : 1;
}
