#include "setchange/SetChangeWorker.h"

#include <cstring>
#include <memory>
#include <utility>

#include "registry/RegistryBackup.h"
#include "setchange/CodeCrcCache.h"
#include "setchange/ProfileFile.h"
#include "setchange/Recovery.h"
#include "setfiles/BoardLists.h"
#include "Win32/ErrorText.h"
#include "Win32/HexText.h"

namespace {

constexpr const char* kActiveIniSection = "CONFIG";

// One level; an existing directory is fine.
void EnsureDirectory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return;
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return;
  RaiseFormatted("Could not create the directory %s", path.c_str());
}

void WriteText(FILE* file, const std::string& text, const char* failure) {
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) RaiseFormatted("%s", failure);
}

}  // namespace

std::string SetNameOf(const std::string& setPath) {
  const size_t slash = setPath.find_last_of("\\/:");
  std::string name = slash == std::string::npos ? setPath : setPath.substr(slash + 1);
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

std::string ArchivePathOf(const std::string& setPath) {
  const size_t length = setPath.size();
  if (length < 4 || _stricmp(setPath.c_str() + length - 4, ".cfg") != 0) return std::string();
  return setPath.substr(0, length - 4) + ".zip";
}

std::string DottedAddress(unsigned long hostOrderAddress) {
  char text[16];
  std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", (hostOrderAddress >> 24) & 0xFF,
                (hostOrderAddress >> 16) & 0xFF, (hostOrderAddress >> 8) & 0xFF,
                hostOrderAddress & 0xFF);
  return text;
}

SetChangeWorker::SetChangeWorker(ConfigurationWorkerSetup workerSetup)
    : setup(std::move(workerSetup)),
      activeDirectory(ActiveDirectoryOf(setup.rootPath)),
      backupDirectory(BackupDirectoryOf(setup.rootPath)),
      iniPath(setup.rootPath + "\\bin\\korvane.ini"),
      activeIniPath(setup.rootPath + "\\active\\active.ini") {}

std::string SetChangeWorker::CodeKeyPath() const {
  return setup.registrySubtree + "\\" + kCodeKeyName;
}

std::string SetChangeWorker::ActiveSetKeyPath() const {
  return setup.registrySubtree + "\\" + kActiveSetKeyName;
}

std::string SetChangeWorker::BoardsKeyPath() const { return ActiveSetKeyPath() + "\\Boards"; }

int SetChangeWorker::ChangeSet(HANDLE hAllowThreadToRun, const std::string& path) {
  setPath = path;
  archivePath.clear();
  backupMade = false;
  lastError.clear();
  ConfigurationContext workContext(setup.rootPath, setup.baseIpAddress, setup.communicationPort);
  if (setup.warningShower) workContext.warningShower = setup.warningShower;
  context = &workContext;
  ChangeJournal workJournal(setup.rootPath);
  journal = &workJournal;
  StepCounter workSteps(setup);
  steps = &workSteps;

  // Declared before the work so that the lock is given back only after a
  // rollback has finished.
  std::unique_ptr<ServerLockHolder> lock;
  std::string failure;
  const bool done = RunCatchingText(
      [&] {
        KORVANE_ASSERT(hAllowThreadToRun, nullptr);
        WaitForSingleObject(hAllowThreadToRun, INFINITE);
        if (setup.Cancelled()) return;
        lock.reset(new ServerLockHolder(setup.serverLock));

        // Work an earlier process left unfinished is completed first; what
        // was done goes to the log.
        const std::string recovered = RecoverInterruptedWork(setup);
        if (!recovered.empty()) LogWorkerError(setup, recovered.c_str());
        MakeBackup();
        Step("code");
        WriteCodeRecords();
        steps->Passed("code records written");
        archivePath = ArchivePathOf(setPath);
        Step("set");
        ValidateSet();
        steps->Passed("set validated");
        Step("archive");
        CopyArchive();
        steps->Passed("archive copied");
        Step("boards");
        WriteBoards();
        Step("records");
        WriteActiveSetRecords();
        steps->Passed("active set recorded");
        PublishBoards();
        steps->Passed("board table loaded");
        Step("bootp");
        if (setup.bootpReset) setup.bootpReset();
        steps->Passed("bootp reset");
        context->Reset();
        journal->Finish();
        steps->Passed("journal removed");
      },
      &failure);
  if (done && !lock) {
    // Cancelled before it started: nothing was touched, nothing to undo.
    lastError = kCancelledText;
    return 1;
  }
  if (!done) {
    RollBack();
    lastError = failure;
  }
  context = nullptr;
  journal = nullptr;
  steps = nullptr;
  lock.reset();
  return done ? 0 : 1;
}

void SetChangeWorker::Step(const char* step) { journal->Step(step); }

void SetChangeWorker::MakeBackup() {
  EnsureDirectory(setup.rootPath + "\\active");
  EnsureDirectory(setup.rootPath + "\\active\\BACKUP");
  // The previous backup goes: from now on the backup is the configuration
  // being replaced.
  for (const std::string& name : MatchingFiles(backupDirectory, "*.*"))
    DeleteFileA((backupDirectory + name).c_str());

  // The journal names the files that make up the configuration being
  // replaced, before any of them moves: whatever else of those kinds is in
  // the active directory after a crash is the new set's.
  JournalRecord record;
  record.operation = JournalOperation::SetChange;
  record.setPath = setPath;
  record.step = kChangeStepExport;
  for (const char* pattern : kBackupPatterns)
    for (const std::string& name : MatchingFiles(activeDirectory, pattern))
      record.files.push_back(name);
  journal->Begin(record);
  steps->Passed("journal written");

  // Complete and on the disk before the first key is deleted.
  SaveRegistry((backupDirectory + kBackupRegistryFile).c_str(), setup.registrySubtree.c_str());
  steps->Passed("registry saved");
  Step(kChangeStepBackup);
  backupMade = true;
  DeleteKey(HKEY_LOCAL_MACHINE, CodeKeyPath().c_str());
  steps->Passed("code key deleted");
  DeleteKey(HKEY_LOCAL_MACHINE, ActiveSetKeyPath().c_str());
  steps->Passed("active set key deleted");
  for (const std::string& name : record.files) {
    MoveFileReplacing(activeDirectory, backupDirectory, name);
    steps->Passed("file backed up");
  }
}

void SetChangeWorker::WriteCodeRecords() {
  CreateKey(HKEY_LOCAL_MACHINE, setup.registrySubtree.c_str());  // closed again at once
  codeKey = CreateKey(HKEY_LOCAL_MACHINE, CodeKeyPath().c_str());
  // Only code files are left in the active directory now: every kind the
  // change writes has just been moved into the backup.
  RecordCodeFiles(activeDirectory, iniPath, codeKey.get(), *context,
                  [this](const char* text) { LogWorkerError(setup, text); });
  CloseKey(codeKey);
}

void SetChangeWorker::ValidateSet() {
  if (!context->CheckConfiguration(setPath.c_str()))
    RaiseFormatted("The configuration file was corrupt.");
}

void SetChangeWorker::CopyArchive() {
  if (archivePath.empty() || GetFileAttributesA(archivePath.c_str()) == INVALID_FILE_ATTRIBUTES)
    return;
  // Copied as it is: the archive belongs to the boards' tools, not to us.
  const std::string target = activeDirectory + "_active.zip";
  if (!CopyFileA(archivePath.c_str(), target.c_str(), FALSE))
    RaiseFormatted("Could not copy %s to %s", archivePath.c_str(), target.c_str());
}

void SetChangeWorker::WriteBoards() {
  lmhosts.reset(std::fopen((activeDirectory + "LMHOSTS").c_str(), "wb"));
  if (!lmhosts) RaiseFormatted("Could not open an lmhosts file");

  CreateKey(HKEY_LOCAL_MACHINE, ActiveSetKeyPath().c_str());  // closed again at once
  boardsKey = CreateKey(HKEY_LOCAL_MACHINE, BoardsKeyPath().c_str());

  // What every board's lists are chosen by, read once for all of them.
  context->LoadProtomap();
  context->LoadBrdlists();
  // The previous active.ini is in the backup now: this one starts empty.
  activeIni = std::make_unique<ProfileFile>(activeIniPath);
  writtenBoards.clear();
  writtenBoardKeys.clear();

  unsigned long nextAddress = setup.baseIpAddress;
  const unsigned short boards = ActiveBoardCount(context->networkTable);
  unsigned short board = 0;
  try {
    for (; board < boards; ++board) {
      WriteBoard(board, &nextAddress);
      steps->Passed("board written");
    }
  } catch (...) {
    // active.ini is written once, not after every board; a change that
    // fails still leaves it holding every board recorded in the registry so
    // far, as the rollback expects to find it.
    if (!activeIni->Lines().empty()) {
      std::string ignored;
      RunCatchingText([&] { activeIni->Save(); }, &ignored);
    }
    throw;
  }
  if (boards > 0) activeIni->Save();

  context->protomap.clear();
  activeIni.reset();
  if (std::fclose(lmhosts.release()) != 0) RaiseFormatted("Could not write the lmhosts file");
  CloseKey(boardsKey);
  FreeTable(context->networkTable);
  context->sourceFile.reset();

  UniqueFile actset(std::fopen((activeDirectory + "ACTSET").c_str(), "wb"));
  if (!actset) RaiseFormatted("Could not create ACTSET file");
  WriteText(actset.get(), setPath + "\r\n", "Could not create ACTSET file");
  if (std::fclose(actset.release()) != 0) RaiseFormatted("Could not create ACTSET file");
  steps->Passed("ACTSET written");
  // On the disk before the journal goes: once it has gone, nothing would
  // put the old configuration back over files a power cut left half
  // written.
  FlushConfigurationFiles(activeDirectory);
}

void SetChangeWorker::WriteBoard(unsigned short board, unsigned long* nextAddress) {
  const NetworkRecord& record = context->networkTable.As<NetworkRecord>()[board];
  const std::string listPath = activeDirectory + BoardListName(record) + ".cfg";
  context->writtenLists.Clear();

  const bool hasListFile = record.boardType != 'X';
  BoardListFile listFile;
  if (hasListFile) listFile = WriteBoardListFile(*context, board, listPath.c_str());

  const std::string name = BoardDisplayName(record);
  const std::string hardware = HardwareAddressText(record.hardwareAddress);
  std::string address;
  char entry[512];
  if (hasListFile) {
    address = DottedAddress((*nextAddress)++);
    WriteText(lmhosts.get(), address + "    " + name + "\r\n", "Could not write the lmhosts file");
    std::snprintf(entry, sizeof entry, "%s %s %04X %04X %s %d %c", address.c_str(),
                  listPath.c_str(), static_cast<unsigned>(listFile.crc),
                  static_cast<unsigned>(listFile.blocks), name.c_str(), board, record.boardType);
  } else {
    address = StoredAddress(record);
    std::snprintf(entry, sizeof entry, "%s NOPATH FFFF 0000 %s %d %c", address.c_str(),
                  name.c_str(), board, record.boardType);
  }
  // Set before the registry records: should they fail, the active.ini that
  // WriteBoards saves still names every board the registry has.
  activeIni->Set(kActiveIniSection, hardware, entry);

  UniqueKey boardKey = CreateKey(boardsKey.get(), hardware.c_str());
  SetStringValue(boardKey.get(), "Address", address);
  SetDwordValue(boardKey.get(), "CRC", hasListFile ? listFile.crc : 0xFFFFFFFFul);
  SetStringValue(boardKey.get(), "Name", name);
  SetDwordValue(boardKey.get(), "Number", board);
  SetStringValue(boardKey.get(), "Path", hasListFile ? listPath : std::string("NOPATH"));
  SetDwordValue(boardKey.get(), "Size", hasListFile ? listFile.blocks : 0);
  SetStringValue(boardKey.get(), "Type", std::string(1, record.boardType));
  CloseKey(boardKey);

  BoardRecord written;
  std::memcpy(written.hardwareAddress, record.hardwareAddress, sizeof written.hardwareAddress);
  written.SetName(name.c_str());
  written.SetIpAddress(address.c_str());
  written.crc = static_cast<unsigned short>(hasListFile ? listFile.crc : 0xFFFFFFFFul);
  written.boardNumber = board;
  written.boardType = record.boardType;
  written.SetPath(hasListFile ? listPath.c_str() : "NOPATH");
  written.size = hasListFile ? listFile.blocks : 0;
  const auto slot = writtenBoardKeys.emplace(hardware, writtenBoards.size());
  if (slot.second)
    writtenBoards.push_back(written);
  else
    writtenBoards[slot.first->second] = written;
}

void SetChangeWorker::WriteActiveSetRecords() {
  activeSetKey = CreateKey(HKEY_LOCAL_MACHINE, ActiveSetKeyPath().c_str());
  SetStringValue(activeSetKey.get(), nullptr, SetNameOf(setPath));
  CloseKey(activeSetKey);
  // Like the files: the records are on the disk before the journal goes.
  UniqueKey subtree = OpenKey(HKEY_LOCAL_MACHINE, setup.registrySubtree.c_str());
  if (RegFlushKey(subtree.get()) != ERROR_SUCCESS)
    RaiseFormatted("Could not write the registry key %s", setup.registrySubtree.c_str());
}

void SetChangeWorker::PublishBoards() {
  if (setup.boardList) FillBoardList(*setup.boardList, writtenBoards);
}

void SetChangeWorker::ReloadBoards() {
  if (setup.boardList)
    LoadBoardList(*setup.boardList, HKEY_LOCAL_MACHINE, BoardsKeyPath().c_str());
}

void SetChangeWorker::RollBack() {
  context->protomap.clear();
  if (setup.boardList) setup.boardList->RemoveAll();
  CloseKey(codeKey);
  CloseKey(activeSetKey);
  CloseKey(boardsKey);
  // Closed before the backup comes back: the files the change had open
  // (complete.cfg, a board's list file, LMHOSTS) are among those replaced.
  context->Reset();
  lmhosts.reset();
  activeIni.reset();
  const std::string registryFile = backupDirectory + kBackupRegistryFile;
  std::string text;
  if (!backupMade) {
    // Nothing of the active configuration was touched; an export begun
    // goes with the journal, so no half-written file is taken for one.
    if (journal->Open()) {
      DeleteFileA(registryFile.c_str());
      if (!RunCatchingText([&] { journal->Finish(); }, &text)) LogWorkerError(setup, text.c_str());
    }
    return;
  }

  // Puts back as much as it can: each failure is logged and the rest still
  // comes back. The journal says so first, and the export is deleted only
  // once the registry has been read back from it, so that a rollback the
  // process does not live to finish is completed at the next start.
  if (!RunCatchingText([&] { Step(kChangeStepRollback); }, &text)) LogWorkerError(setup, text.c_str());
  bool whole = true;
  const bool registryBack = RunCatchingText(
      [&] { RestoreRegistry(registryFile.c_str(), setup.registrySubtree.c_str()); }, &text);
  if (!registryBack) {
    LogWorkerError(setup, text.c_str());  // the export stays for an operator to import
    whole = false;
  }
  MoveBackedUpFilesLogging(backupDirectory, activeDirectory, [&](const char* failure) {
    LogWorkerError(setup, failure);
    whole = false;
  });
  if (!RunCatchingText([&] { ReloadBoards(); }, &text)) LogWorkerError(setup, text.c_str());
  if (registryBack) DeleteFileA(registryFile.c_str());
  // A rollback that could not put everything back leaves its journal: the
  // next change, restore or start of the server tries again before the
  // backup's remaining files could be overwritten.
  if (whole && !RunCatchingText([&] { journal->Finish(); }, &text)) LogWorkerError(setup, text.c_str());
}
