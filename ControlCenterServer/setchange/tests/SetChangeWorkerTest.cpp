// The set change and restore workers in-process: what a change writes,
// which boards it activates, what a failure leaves behind, and a restore
// that brings back exactly what the last change backed up.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "setchange/ProfileFile.h"
#include "setchange/RestoreWorker.h"
#include "setchange/SetChangeWorker.h"
#include "setfiles/Crc16.h"
#include "testing/SetChangeTestSupport.h"

using namespace setchange_test;

namespace {

using Names = std::vector<std::string>;

unsigned short FileCrc(const std::string& bytes) {
  return Crc16Update(kCrc16Start, bytes.data(), bytes.size());
}

std::string Hex(unsigned long value, int width = 0) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*lX", width, value);
  return text;
}

Names FileNames(const DirectorySnapshot& files) {
  Names names;
  for (const auto& file : files) names.push_back(file.first);
  return names;
}

// The values of one key in name order, "name=text" or "name=#hex".
std::string KeyText(const std::string& path) {
  std::string text;
  TreeSnapshot tree = Snapshot(path);
  for (const auto& [name, value] : tree[""]) {
    DWORD number = 0;
    if (value.first == REG_DWORD) std::memcpy(&number, value.second.data(), 4);
    text += (text.empty() ? "" : " ") + name + "=" +
            (value.first == REG_DWORD ? "#" + Hex(number) : value.second.substr(0, value.second.size() - 1));
  }
  return text;
}

class SetChangeWorkerTest : public WorkerTest {
 protected:
  // A change or a restore, allowed at once; its text in lastError.
  int Change(const std::string& setPath) {
    SetChangeWorker worker(WorkerSetup());
    const int result = worker.ChangeSet(AllowEvent().get(), setPath);
    lastError = worker.LastError();
    return result;
  }
  int Restore() {
    RestoreWorker worker(WorkerSetup());
    const int result = worker.RestoreSet(AllowEvent().get());
    lastError = worker.LastError();
    return result;
  }
  // Comp\<name>.cfg of boards named after the set, 'A' boards at the given
  // last address bytes.
  std::string SetOf(const std::string& name, std::vector<unsigned char> addresses,
                    const std::string* archive = nullptr) {
    std::vector<NetworkRecord> table;
    for (unsigned char address : addresses)
      table.push_back(Board((name + Hex(address)).c_str(), 'A', address));
    return WriteSet(name, CommonLists(table, name), archive);
  }
  std::string lastError;
};

TEST_F(SetChangeWorkerTest, WritesTheFilesRegistryAndBoardTableOfTheSet) {
  const std::string code = "code bytes of a board", archive = "PK archive bytes";
  WriteFile(ActiveFile("firmware.bin"), code);
  const std::string setPath = WriteSet("Plant",
                                       CommonLists({Board("ALPHA", 'A', 0x01), XBoard("GATE", 192, 168, 5, 9),
                                                    Board("BRAVO", 'V', 0x02, 0, 'R')}),
                                       &archive);
  // What the bootp server would see when asked to reload: everything done.
  bool completeAtReset = false;
  onReset = [&] {
    completeAtReset = FileExists(ActiveFile("ACTSET")) && RegString(Key("Active Set"), nullptr) == "Plant" &&
                      boards.GetCount() == 3;
  };
  ASSERT_EQ(Change(setPath), 0) << lastError;
  EXPECT_EQ(lastError, "");
  EXPECT_EQ(resets, 1);
  EXPECT_TRUE(completeAtReset);
  EXPECT_TRUE(warnings.empty());

  const std::string list1 = ActiveFile("123401.cfg"), list2 = ActiveFile("123402.cfg");
  const std::string bytes1 = ReadFile(list1), bytes2 = ReadFile(list2);
  ASSERT_LT(bytes2.size(), 512u);
  // The common lists first, then the type's: the V board's v25_mpk_.
  const setfile_test::ListFileContents contents = setfile_test::ParseListFile(bytes2);
  EXPECT_TRUE(contents.ended);
  EXPECT_EQ(contents.Names(), (Names{"IP", "COMMPORT", "boardlst", "v25_mpk_"}));
  EXPECT_EQ(contents.Data("IP"), std::string("\x0A\x00\x00\x01\xC0\xA8\x05\x09\x0A\x00\x00\x02", 12));
  DirectorySnapshot files = ActiveFiles();
  EXPECT_EQ(FileNames(files), (Names{"123401.CFG", "123402.CFG", "ACTIVE.INI", "ACTSET", "COMPLETE.CFG",
                                     "FIRMWARE.BIN", "LMHOSTS", "_ACTIVE.ZIP"}));
  EXPECT_EQ(files["_ACTIVE.ZIP"], archive);
  EXPECT_EQ(files["ACTSET"], setPath + "\r\n");
  EXPECT_EQ(files["LMHOSTS"], "10.0.0.1    ALPHA\r\n10.0.0.2    BRAVOR\r\n");
  ProfileFile activeIni(ActiveFile("active.ini"));
  EXPECT_EQ(activeIni.Get("CONFIG", "00409D123401"),
            "10.0.0.1 " + list1 + " " + Hex(FileCrc(bytes1), 4) + " 0001 ALPHA 0 A");
  EXPECT_EQ(activeIni.Get("CONFIG", "0040C0A80509"), "192.168.5.9 NOPATH FFFF 0000 GATE 1 X");
  EXPECT_EQ(activeIni.Get("CONFIG", "00409D123402"),
            "10.0.0.2 " + list2 + " " + Hex(FileCrc(bytes2), 4) + " 0001 BRAVOR 2 V");

  EXPECT_EQ(RegString(Key("Active Set"), nullptr), "Plant");
  EXPECT_EQ(Subkeys(Key("Active Set\\Boards")), (Names{"00409D123401", "00409D123402", "0040C0A80509"}));
  EXPECT_EQ(KeyText(Key("Active Set\\Boards\\00409D123401")),
            "Address=10.0.0.1 CRC=#" + Hex(FileCrc(bytes1)) + " Name=ALPHA Number=#0 Path=" + list1 +
                " Size=#1 Type=A");
  EXPECT_EQ(KeyText(Key("Active Set\\Boards\\0040C0A80509")),
            "Address=192.168.5.9 CRC=#FFFFFFFF Name=GATE Number=#1 Path=NOPATH Size=#0 Type=X");
  EXPECT_EQ(KeyText(Key("Active Set\\Boards\\00409D123402")),
            "Address=10.0.0.2 CRC=#" + Hex(FileCrc(bytes2)) + " Name=BRAVOR Number=#2 Path=" + list2 +
                " Size=#1 Type=V");
  // The code file: its cache entry and its registry record agree with the file itself.
  struct _stat64 status;
  ASSERT_EQ(_stat64(ActiveFile("firmware.bin").c_str(), &status), 0);
  const unsigned long mtime = static_cast<unsigned long>(status.st_mtime & 0xFFFFFFFF);
  EXPECT_EQ(ProfileFile(Root() + "\\bin\\korvane.ini").Get("CODE", "firmware.bin"),
            Hex(mtime, 8) + " " + Hex(code.size(), 8) + " " + Hex(FileCrc(code), 4));
  std::string readable = _ctime64(&status.st_mtime);
  readable.pop_back();
  EXPECT_EQ(KeyText(Key("Code\\firmware.bin")), "crc=#" + Hex(FileCrc(code)) + " readable time=" + readable +
                                                    " size=#" + Hex(code.size()) + " time=#" + Hex(mtime));
  ASSERT_EQ(boards.GetCount(), 3u);
  EXPECT_STREQ(boards.ElementAt(0).ipAddress, "10.0.0.1");
  EXPECT_STREQ(boards.ElementAt(1).ipAddress, "192.168.5.9");
  EXPECT_EQ(boards.ElementAt(2).hardwareAddress[5], 0x02);
  // The first change backs up an empty configuration: the export alone.
  EXPECT_EQ(FileNames(SnapshotDirectory(Backup())), Names{"KORVANEREGISTRY.REG"});
}

TEST_F(SetChangeWorkerTest, BoardsEndAtTheFirstEmptyNameAndSharedListNamesReplace) {
  std::vector<NetworkRecord> table = {Board("ONE", 'A', 0x04), Board("", 'A', 0x05),
                                     Board("THREE", 'A', 0x06)};
  table[1].name[0] = 0;  // the first empty name
  ASSERT_EQ(Change(WriteSet("Short", CommonLists(table))), 0) << lastError;
  EXPECT_EQ(ReadFile(ActiveFile("LMHOSTS")), "10.0.0.1    ONE\r\n");
  EXPECT_EQ(Subkeys(Key("Active Set\\Boards")), Names{"00409D123404"});
  EXPECT_FALSE(FileExists(ActiveFile("123406.cfg")));
  EXPECT_EQ(boards.GetCount(), 1u);
  // Every record still has its address in complete.cfg.
  const std::string addresses("\x0A\x00\x00\x01\x0A\x00\x00\x02\x0A\x00\x00\x03", 12);
  EXPECT_NE(ReadFile(ActiveFile("complete.cfg")).find(addresses), std::string::npos);

  // Two boards whose addresses end in the same three bytes: one file name,
  // the later board's content; the first board's CRC is of the file it wrote.
  NetworkRecord twin = Board("TWIN", 'A', 0x07);
  twin.hardwareAddress[2] = 0x77;
  ASSERT_EQ(Change(WriteSet("Twins", CommonLists({Board("FIRST", 'V', 0x07), twin}))), 0) << lastError;
  const std::string bytes = ReadFile(ActiveFile("123407.cfg"));
  EXPECT_FALSE(setfile_test::ParseListFile(bytes).Has("v25_mpk_"));
  ProfileFile activeIni(ActiveFile("active.ini"));
  const std::string second = activeIni.Get("CONFIG", "004077123407");
  EXPECT_EQ(second, "10.0.0.2 " + ActiveFile("123407.cfg") + " " + Hex(FileCrc(bytes), 4) + " 0001 TWIN 1 A");
  EXPECT_NE(activeIni.Get("CONFIG", "00409D123407").find(ActiveFile("123407.cfg")), std::string::npos);
  EXPECT_NE(activeIni.Get("CONFIG", "00409D123407"), second);
}

TEST_F(SetChangeWorkerTest, CachedCodeCrcsAreTrustedWhileTimeAndSizeMatch) {
  const std::string code = ActiveFile("boot.hex"), ini = Root() + "\\bin\\korvane.ini";
  struct _stat64 status;
  auto entry = [&](const char* format, unsigned long size, const char* crc) {
    EXPECT_EQ(_stat64(code.c_str(), &status), 0);
    char text[64];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long>(status.st_mtime & 0xFFFFFFFF), size,
                  crc);
    return std::string(text);
  };
  // A cached entry in lower case with a CRC that is not the file's: while
  // time and size match it is believed, so the file is not read.
  WriteFile(code, "0123456789");
  const std::string planted = entry("%08lx %08lx %s", 10, "BEEF");
  WriteFile(ini, "; kept\r\n[OTHER]\r\nx=1\r\n\r\n[CODE]\r\nboot.hex=" + planted + "\r\n");
  ASSERT_EQ(Change(SetOf("Old", {1})), 0) << lastError;
  EXPECT_EQ(RegDword(Key("Code\\boot.hex"), "crc"), 0xBEEFu);
  EXPECT_EQ(ProfileFile(ini).Get("CODE", "boot.hex"), planted);
  EXPECT_EQ(ProfileFile(ini).Get("OTHER", "x"), "1");
  // Another size: the entry no longer belongs to the file. The code key
  // holds the files there are now, nothing of earlier changes.
  WriteFile(code, "01234567890");
  ASSERT_EQ(Change(SetOf("Old", {1})), 0) << lastError;
  EXPECT_EQ(RegDword(Key("Code\\boot.hex"), "crc"), FileCrc("01234567890"));
  EXPECT_EQ(ProfileFile(ini).Get("CODE", "boot.hex"),
            entry("%08lX %08lX %s", 11, Hex(FileCrc("01234567890"), 4).c_str()));
  EXPECT_EQ(Subkeys(Key("Code")), Names{"boot.hex"});

  // An installation without a "bin" folder has nowhere to keep the cache:
  // the change still records the computed CRC and says so in the log, once.
  ASSERT_TRUE(DeleteFileA(ini.c_str()) && RemoveDirectoryA((Root() + "\\bin").c_str()));
  WriteFile(code, "0123456789AB");
  WriteFile(ActiveFile("second.hex"), "more code");
  ASSERT_EQ(Change(SetOf("Old", {1})), 0) << lastError;
  EXPECT_EQ(RegDword(Key("Code\\boot.hex"), "crc"), FileCrc("0123456789AB"));
  EXPECT_EQ(RegDword(Key("Code\\second.hex"), "crc"), FileCrc("more code"));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("Could not write " + ini, 0), 0u) << logged[0];
}

TEST_F(SetChangeWorkerTest, ARollbackThatCannotPutAFileBackKeepsTheJournalForTheNextChange) {
  const std::string journal = Root() + "\\SetChange.journal";
  ASSERT_EQ(Change(SetOf("Old", {1, 2})), 0) << lastError;
  const DirectorySnapshot oldFiles = ActiveFiles();
  const TreeSnapshot oldRegistry = Snapshot(Key());
  ASSERT_EQ(Change(SetOf("Old", {1, 2})), 0) << lastError;
  std::vector<NamedList> broken = CommonLists({Board("NEWV", 'V', 0x08)}, "broken");
  broken.erase(broken.begin() + 2);  // v25_mpk_
  const std::string brokenPath = WriteSet("Broken", broken);
  {
    // The backup's copy of a list file is held open while the change fails.
    UniqueFileHandle held;
    stepPassed = [&](const char* step) {
      if (std::string(step) == "code records written")
        held.h = CreateFileA((Backup() + "\\123401.cfg").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    };
    EXPECT_EQ(Change(brokenPath), 1);
    ASSERT_TRUE(held);
    EXPECT_EQ(lastError, "Could not find list v25_mpk_");
    EXPECT_TRUE(FileExists(journal) && FileExists(Backup() + "\\123401.cfg"));
    ASSERT_FALSE(logged.empty());
  }
  // The next change first completes the rollback, so the backup's remaining
  // files are not thrown away.
  stepPassed = nullptr;
  ASSERT_EQ(Change(brokenPath), 1);
  EXPECT_EQ(lastError, "Could not find list v25_mpk_");
  EXPECT_FALSE(FileExists(journal));
  DirectorySnapshot files = ActiveFiles();
  files.erase("123408.CFG");  // the failed change's own, kept as a rollback keeps them
  EXPECT_EQ(files, oldFiles);
  EXPECT_EQ(Snapshot(Key()), oldRegistry);
}

TEST_F(SetChangeWorkerTest, HoldsTheConfigurationLockWhileItWorks) {
  UniqueHandle semaphore(OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, lock.Name().c_str()));
  ASSERT_TRUE(semaphore);
  DWORD waitDuringChange = WAIT_FAILED;
  onReset = [&] { waitDuringChange = WaitForSingleObject(semaphore.get(), 0); };
  ASSERT_EQ(Change(SetOf("Old", {1})), 0) << lastError;
  EXPECT_EQ(waitDuringChange, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(semaphore.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ReleaseSemaphore(semaphore.get(), 1, nullptr);
}

TEST_F(SetChangeWorkerTest, AnIncompleteBackupIsNoBackupAndARestoreChangesNothing) {
  // The first set had no archive, so the backup the second change makes
  // holds no "_active.zip".
  ASSERT_EQ(Change(SetOf("First", {1})), 0) << lastError;
  ASSERT_EQ(Change(SetOf("Second", {1})), 0) << lastError;
  const DirectorySnapshot files = ActiveFiles(), backup = SnapshotDirectory(Backup());
  const TreeSnapshot registry = Snapshot(Key());
  EXPECT_FALSE(BackupPresent(Root()));
  EXPECT_EQ(Restore(), 1);
  EXPECT_EQ(lastError, "There is no backup to restore.");
  EXPECT_EQ(resets, 2);
  EXPECT_EQ(ActiveFiles(), files);
  EXPECT_EQ(SnapshotDirectory(Backup()), backup);
  EXPECT_EQ(Snapshot(Key()), registry);
  // Each kind counts, the registry export too.
  WriteFile(Backup() + "\\_ACTIVE.ZIP", "late archive");
  EXPECT_TRUE(BackupPresent(Root()));
  DeleteFileA((Backup() + "\\KorvaneRegistry.reg").c_str());
  EXPECT_FALSE(BackupPresent(Root()));
}

TEST_F(SetChangeWorkerTest, AFailedRestoreKeepsTheWholeBackupAndCanBeTriedAgain) {
  const std::string oldArchive = "old archive", newArchive = "new archive";
  ASSERT_EQ(Change(SetOf("Old", {1}, &oldArchive)), 0) << lastError;
  const DirectorySnapshot oldFiles = ActiveFiles();
  const TreeSnapshot oldRegistry = Snapshot(Key());
  ASSERT_EQ(Change(SetOf("New", {1, 2}, &newArchive)), 0) << lastError;
  const DirectorySnapshot backup = SnapshotDirectory(Backup());
  ASSERT_TRUE(BackupPresent(Root()));
  {
    // A file of the newer set that cannot be deleted (another program has
    // it open), and one of the active files that cannot be replaced.
    UniqueFileHandle locked(
        CreateFileA(ActiveFile("123402.cfg").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    UniqueFileHandle busy(
        CreateFileA(ActiveFile("LMHOSTS").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked && busy);
    EXPECT_EQ(Restore(), 1);
  }
  EXPECT_EQ(lastError, "Could not delete " + ActiveFile("123402.cfg"));
  // The rest went on and was logged; the backup, export included, is whole.
  ASSERT_GE(logged.size(), 1u);
  EXPECT_NE(logged[0].find("LMHOSTS"), std::string::npos) << logged[0];
  EXPECT_EQ(SnapshotDirectory(Backup()), backup);
  EXPECT_EQ(boards.GetCount(), 0u);
  // Tried again with nothing in the way, it puts the old set back whole.
  EXPECT_EQ(Restore(), 0) << lastError;
  EXPECT_EQ(ActiveFiles(), oldFiles);
  EXPECT_EQ(Snapshot(Key()), oldRegistry);
  EXPECT_FALSE(BackupPresent(Root()));
  EXPECT_TRUE(SnapshotDirectory(Backup()).empty());
  EXPECT_EQ(boards.GetCount(), 1u);
  EXPECT_FALSE(FileExists(Root() + "\\SetChange.journal"));
}

}  // namespace
