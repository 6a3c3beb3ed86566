// Activating a configuration set: the whole work of a set change, run on
// the configuration worker thread.
//
// It moves the active configuration into "active\BACKUP\" (the files and a
// REGEDIT4 export of the registry subtree), then builds the new one:
// the code CRCs ("Code"), complete.cfg, one list file per board, active.ini,
// LMHOSTS, ACTSET, "_active.zip", the registry records of the active set and
// its boards, the board table, and finally the bootp server's reload. When
// anything fails after the backup was made, the backup is put back, so the
// previous configuration stays active.
#pragma once

#include <windows.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "setchange/ChangeJournal.h"
#include "setchange/ConfigurationWorker.h"
#include "setchange/ProfileFile.h"
#include "setfiles/ConfigurationContext.h"
#include "setfiles/SetFile.h"
#include "Win32/Holders.h"

// The set's name as the registry records it: the file name without its
// folders and without anything from its first '.' on.
std::string SetNameOf(const std::string& setPath);
// The set's companion archive: the path with its final ".cfg" replaced by
// ".zip" (letter case ignored); empty when the path does not end in ".cfg".
std::string ArchivePathOf(const std::string& setPath);
// host byte order -> "a.b.c.d"
std::string DottedAddress(unsigned long hostOrderAddress);

// Steps of a set change as its journal names them (ChangeJournal.h). The
// export is being written ("export"); the export is complete and the old
// configuration is being moved into the backup ("backup"); the new one is
// being built ("code", "set", "archive", "boards", "records", "bootp");
// a failure is being rolled back ("rollback").
constexpr const char* kChangeStepExport = "export";
constexpr const char* kChangeStepBackup = "backup";
constexpr const char* kChangeStepRollback = "rollback";

class SetChangeWorker {
 public:
  explicit SetChangeWorker(ConfigurationWorkerSetup setup);

  // Waits until hAllowThreadToRun is set (the clients have let the change
  // go ahead), then activates the set at setPath. Returns 0 on success, 1
  // on failure, with the reason in LastError(). Never raises.
  //
  // A journal left by work that did not finish is completed first
  // (Recovery.h); when that fails, so does the change, before it touches
  // anything: backing up a configuration that is not whole would throw the
  // rest of the previous one away. The change keeps its own journal from
  // the registry export until it, or its rollback, has finished.
  int ChangeSet(HANDLE hAllowThreadToRun, const std::string& setPath);

  const std::string& LastError() const { return lastError; }

 private:
  // The steps, in order; each raises on failure.
  void MakeBackup();
  void WriteCodeRecords();
  void ValidateSet();
  void CopyArchive();
  void WriteBoards();
  void WriteBoard(unsigned short board, unsigned long* nextAddress);
  void WriteActiveSetRecords();
  // The board table from the records the change wrote, as ReloadBoards
  // would read them back.
  void PublishBoards();
  void ReloadBoards();

  // Records the step in the journal.
  void Step(const char* step);
  // Closes everything the steps may hold open, then puts the backup back
  // when it was made.
  void RollBack();

  std::string CodeKeyPath() const;
  std::string ActiveSetKeyPath() const;
  std::string BoardsKeyPath() const;

  ConfigurationWorkerSetup setup;
  std::string activeDirectory;
  std::string backupDirectory;
  std::string setPath;
  std::string iniPath;
  std::string activeIniPath;
  std::string archivePath;

  // Valid during one ChangeSet.
  ConfigurationContext* context = nullptr;
  ChangeJournal* journal = nullptr;
  StepCounter* steps = nullptr;
  UniqueFile lmhosts;
  std::unique_ptr<ProfileFile> activeIni;
  UniqueKey codeKey;
  UniqueKey activeSetKey;
  UniqueKey boardsKey;
  // The board records as written under "Boards", one per key: a board whose
  // key an earlier board already wrote replaces that board's record.
  std::vector<BoardRecord> writtenBoards;
  std::map<std::string, size_t> writtenBoardKeys;
  // The registry export is written: from here on a failure puts the backup
  // back. (The old "Code" and "Active Set" keys are deleted right after the
  // export, before any file moves, so the export must come back even when
  // no file was moved yet.)
  bool backupMade = false;
  std::string lastError;
};
