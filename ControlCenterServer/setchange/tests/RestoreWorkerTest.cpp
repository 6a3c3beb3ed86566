// The restore worker in-process: it brings back exactly what the last set
// change backed up, once, and refuses an incomplete backup untouched.
#include <gtest/gtest.h>

#include "setchange/RestoreWorker.h"
#include "setchange/SetChangeWorker.h"
#include "testing/SetChangeTestSupport.h"

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

TEST_F(RestoreWorkerTest, AFailedRestoreKeepsTheWholeBackupAndCanBeTriedAgain) {
  const std::string oldArchive = "old archive", newArchive = "new archive";
  ASSERT_EQ(Change(WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01)}, "old"), &oldArchive)),
            0)
      << lastError;
  const DirectorySnapshot oldFiles = ActiveFiles();
  const TreeSnapshot oldRegistry = Snapshot(Key());
  ASSERT_EQ(Change(WriteSet("New",
                            CommonLists({Board("NEWA", 'A', 0x01), Board("NEWB", 'A', 0x02)},
                                        "new"),
                            &newArchive)),
            0)
      << lastError;
  const DirectorySnapshot backup = SnapshotDirectory(Backup());
  ASSERT_TRUE(BackupPresent(Root()));

  {
    // A file of the newer set that cannot be deleted (another program has
    // it open), and one of the active files that cannot be replaced.
    UniqueFileHandle locked(CreateFileA(ActiveFile("123402.cfg").c_str(), GENERIC_READ, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    UniqueFileHandle busy(CreateFileA(ActiveFile("LMHOSTS").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked && busy);
    EXPECT_EQ(Restore(), 1);
  }
  EXPECT_EQ(lastError, "Could not delete " + ActiveFile("123402.cfg"));
  // The rest went on and was logged; the backup, export included, is whole.
  ASSERT_GE(logged.size(), 1u);
  EXPECT_NE(logged[0].find("LMHOSTS"), std::string::npos) << logged[0];
  EXPECT_EQ(SnapshotDirectory(Backup()), backup);
  EXPECT_TRUE(BackupPresent(Root()));
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
