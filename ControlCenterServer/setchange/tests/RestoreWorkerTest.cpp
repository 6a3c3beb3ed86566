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

}  // namespace
