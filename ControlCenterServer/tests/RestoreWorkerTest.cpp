// The restore worker in-process: it brings back exactly what the last set
// change backed up, once, and refuses an incomplete backup untouched.
#include <gtest/gtest.h>

#include "RestoreWorker.h"
#include "SetChangeTestSupport.h"
#include "SetChangeWorker.h"

using namespace setchange_test;

namespace {

class RestoreWorkerTest : public WorkerTest {
 protected:
  int Change(const std::string& setPath) {
    AllowEvent event;
    SetChangeWorker worker(WorkerSetup());
    const int result = worker.ChangeSet(event.get(), setPath);
    lastError = worker.LastError();
    return result;
  }
  int Restore() {
    AllowEvent event;
    RestoreWorker worker(WorkerSetup());
    const int result = worker.RestoreSet(event.get());
    lastError = worker.LastError();
    return result;
  }

  std::string lastError;
};

TEST_F(RestoreWorkerTest, BringsBackThePreviousConfigurationOnce) {
  WriteFile(ActiveFile("firmware.bin"), "code");
  const std::string archive = "old archive";
  const std::vector<NetworkRecord> oldTable = {Board("OLDA", 'A', 0x01), Board("OLDB", 'A', 0x02)};
  ASSERT_EQ(Change(WriteSet("Old", CommonLists(oldTable, "old"), &archive)), 0) << lastError;
  const DirectorySnapshot oldFiles = ActiveFiles();
  const TreeSnapshot oldRegistry = Snapshot(Key());

  const std::vector<NetworkRecord> newTable = {Board("NEWA", 'A', 0x01), Board("NEWC", 'A', 0x03)};
  ASSERT_EQ(Change(WriteSet("New", CommonLists(newTable, "new"))), 0) << lastError;
  ASSERT_TRUE(FileExists(ActiveFile("123403.cfg")));
  ASSERT_NE(Snapshot(Key()), oldRegistry);
  ASSERT_TRUE(BackupPresent(Root()));

  EXPECT_EQ(Restore(), 0) << lastError;
  EXPECT_EQ(resets, 3);
  // The newer set's own list file is gone, everything else is the old set's.
  EXPECT_EQ(ActiveFiles(), oldFiles);
  EXPECT_EQ(Snapshot(Key()), oldRegistry);
  EXPECT_EQ(RegString(Key("Active Set"), nullptr), "Old");
  ASSERT_EQ(boards.GetCount(), 2u);
  EXPECT_STREQ(boards.ElementAt(1).name, "OLDB");
  // The backup is used up.
  EXPECT_TRUE(SnapshotDirectory(Backup()).empty());
  EXPECT_FALSE(BackupPresent(Root()));

  EXPECT_EQ(Restore(), 1);
  EXPECT_EQ(lastError, "There is no backup to restore.");
  EXPECT_EQ(ActiveFiles(), oldFiles);
  EXPECT_EQ(Snapshot(Key()), oldRegistry);
  EXPECT_EQ(boards.GetCount(), 0u);
}

TEST_F(RestoreWorkerTest, AnIncompleteBackupIsNoBackupAndChangesNothing) {
  // The first set had no archive, so the backup the second change makes
  // holds no "_active.zip".
  const std::vector<NetworkRecord> table = {Board("ONE", 'A', 0x01)};
  ASSERT_EQ(Change(WriteSet("First", CommonLists(table, "first"))), 0) << lastError;
  ASSERT_EQ(Change(WriteSet("Second", CommonLists(table, "second"))), 0) << lastError;
  const DirectorySnapshot files = ActiveFiles();
  const DirectorySnapshot backup = SnapshotDirectory(Backup());
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

TEST_F(RestoreWorkerTest, ABrokenRegistryExportFailsBeforeAnyFileIsTouched) {
  const std::string archive = "zip";
  const std::vector<NetworkRecord> table = {Board("ONE", 'A', 0x01)};
  ASSERT_EQ(Change(WriteSet("First", CommonLists(table, "first"), &archive)), 0) << lastError;
  ASSERT_EQ(Change(WriteSet("Second", CommonLists(table, "second"))), 0) << lastError;
  const DirectorySnapshot files = ActiveFiles();
  WriteFile(Backup() + "\\KorvaneRegistry.reg", "REGEDIT4\r\n\r\n\"orphan\"=\"value\"\r\n");

  EXPECT_EQ(Restore(), 1);
  EXPECT_EQ(lastError.rfind("Condition (currentKey) failed in file RegistryBackup.cpp(", 0), 0u)
      << lastError;
  EXPECT_EQ(ActiveFiles(), files);
  EXPECT_EQ(boards.GetCount(), 0u);
}

}  // namespace
