// The set change worker in-process: what a change writes, which boards it
// activates, and what a failure leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "setchange/ProfileFile.h"
#include "setchange/SetChangeWorker.h"
#include "setfiles/Crc16.h"
#include "testing/SetChangeTestSupport.h"

using namespace setchange_test;

namespace {

unsigned short FileCrc(const std::string& bytes) {
  return Crc16Update(kCrc16Start, bytes.data(), bytes.size());
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// The data of the last list of that name in a set file's bytes.
std::string ListData(const std::string& setBytes, const std::string& name) {
  const SetFileLayout layout = ParseSetFile(setBytes);
  std::string data = "<absent>";
  for (const SetFileEntry& entry : layout.entries)
    if (entry.name == name) data = setBytes.substr(entry.offset, entry.length);
  return data;
}

class SetChangeWorkerTest : public WorkerTest {
 protected:
  int Change(const std::string& setPath, HANDLE allow = nullptr) {
    AllowEvent event;
    SetChangeWorker worker(WorkerSetup());
    const int result = worker.ChangeSet(allow ? allow : event.get(), setPath);
    lastError = worker.LastError();
    return result;
  }

  // A first configuration: two boards with list files and nothing else.
  std::string OldSet() {
    const std::vector<NetworkRecord> table = {Board("OLDA", 'A', 0x01), Board("OLDB", 'A', 0x02)};
    return WriteSet("Old", CommonLists(table, "old"));
  }

  std::string lastError;
};

TEST_F(SetChangeWorkerTest, WritesTheFilesRegistryAndBoardTableOfTheSet) {
  WriteFile(ActiveFile("firmware.bin"), "code bytes of a board");
  const std::vector<NetworkRecord> table = {Board("ALPHA", 'A', 0x01),
                                            XBoard("GATE", 192, 168, 5, 9),
                                            Board("BRAVO", 'V', 0x02, 0, 'R')};
  const std::string archive = "PK archive bytes";
  const std::string setPath = WriteSet("Plant", CommonLists(table), &archive);

  // What the bootp server would see when asked to reload: everything done.
  bool completeAtReset = false;
  onReset = [&] {
    completeAtReset = FileExists(ActiveFile("ACTSET")) &&
                      RegString(Key("Active Set"), nullptr) == "Plant" &&
                      boards.GetCount() == 3;
  };

  ASSERT_EQ(Change(setPath), 0) << lastError;
  EXPECT_EQ(lastError, "");
  EXPECT_EQ(resets, 1);
  EXPECT_TRUE(completeAtReset);
  EXPECT_TRUE(warnings.empty());

  const std::string list1 = ActiveFile("123401.cfg"), list2 = ActiveFile("123402.cfg");
  const std::string bytes1 = ReadFile(list1), bytes2 = ReadFile(list2);
  const std::string crc1 = Hex4(FileCrc(bytes1)), crc2 = Hex4(FileCrc(bytes2));
  ASSERT_LT(bytes1.size(), 512u);
  EXPECT_TRUE(setfile_test::ParseListFile(bytes2).Has("v25_mpk_"));

  EXPECT_EQ(DirectorySnapshot(ActiveFiles()).size(), 8u);  // and nothing else:
  for (const char* name : {"COMPLETE.CFG", "123401.CFG", "123402.CFG", "ACTIVE.INI", "LMHOSTS",
                           "ACTSET", "_ACTIVE.ZIP", "FIRMWARE.BIN"})
    EXPECT_EQ(ActiveFiles().count(name), 1u) << name;
  EXPECT_EQ(ReadFile(ActiveFile("_active.zip")), archive);
  EXPECT_EQ(ReadFile(ActiveFile("ACTSET")), setPath + "\r\n");
  EXPECT_EQ(ReadFile(ActiveFile("LMHOSTS")), "10.0.0.1    ALPHA\r\n10.0.0.2    BRAVOR\r\n");

  ProfileFile activeIni(ActiveFile("active.ini"));
  EXPECT_EQ(activeIni.Get("CONFIG", "00409D123401"),
            "10.0.0.1 " + list1 + " " + crc1 + " 0001 ALPHA 0 A");
  EXPECT_EQ(activeIni.Get("CONFIG", "0040C0A80509"), "192.168.5.9 NOPATH FFFF 0000 GATE 1 X");
  EXPECT_EQ(activeIni.Get("CONFIG", "00409D123402"),
            "10.0.0.2 " + list2 + " " + crc2 + " 0001 BRAVOR 2 V");

  EXPECT_EQ(RegString(Key("Active Set"), nullptr), "Plant");
  EXPECT_EQ(Subkeys(Key("Active Set\\Boards")),
            (std::vector<std::string>{"00409D123401", "00409D123402", "0040C0A80509"}));
  const std::string alpha = Key("Active Set\\Boards\\00409D123401");
  EXPECT_EQ(RegString(alpha, "Address"), "10.0.0.1");
  EXPECT_EQ(RegDword(alpha, "CRC"), FileCrc(bytes1));
  EXPECT_EQ(RegString(alpha, "Name"), "ALPHA");
  EXPECT_EQ(RegDword(alpha, "Number"), 0u);
  EXPECT_EQ(RegString(alpha, "Path"), list1);
  EXPECT_EQ(RegDword(alpha, "Size"), 1u);
  EXPECT_EQ(RegString(alpha, "Type"), "A");
  const std::string gate = Key("Active Set\\Boards\\0040C0A80509");
  EXPECT_EQ(RegString(gate, "Address"), "192.168.5.9");
  EXPECT_EQ(RegDword(gate, "CRC"), 0xFFFFFFFFu);
  EXPECT_EQ(RegString(gate, "Path"), "NOPATH");
  EXPECT_EQ(RegDword(gate, "Size"), 0u);
  EXPECT_EQ(RegDword(gate, "Number"), 1u);
  EXPECT_EQ(RegString(Key("Active Set\\Boards\\00409D123402"), "Name"), "BRAVOR");

  // The code file: its cache entry and its registry record agree with the
  // file itself.
  struct _stat64 status;
  ASSERT_EQ(_stat64(ActiveFile("firmware.bin").c_str(), &status), 0);
  const std::string code = "code bytes of a board";
  const std::string entry = ProfileFile(Root() + "\\bin\\korvane.ini").Get("CODE", "firmware.bin");
  char expected[64];
  std::snprintf(expected, sizeof expected, "%08lX %08lX %04X",
                static_cast<unsigned long>(status.st_mtime & 0xFFFFFFFF),
                static_cast<unsigned long>(code.size()), FileCrc(code));
  EXPECT_EQ(entry, expected);
  const std::string codeKey = Key("Code\\firmware.bin");
  EXPECT_EQ(RegDword(codeKey, "time"), static_cast<DWORD>(status.st_mtime & 0xFFFFFFFF));
  EXPECT_EQ(RegDword(codeKey, "size"), code.size());
  EXPECT_EQ(RegDword(codeKey, "crc"), FileCrc(code));
  const __time64_t mtime = status.st_mtime;
  std::string readable = _ctime64(&mtime);
  readable.pop_back();
  EXPECT_EQ(RegString(codeKey, "readable time"), readable);

  ASSERT_EQ(boards.GetCount(), 3u);
  EXPECT_STREQ(boards.ElementAt(0).ipAddress, "10.0.0.1");
  EXPECT_STREQ(boards.ElementAt(1).ipAddress, "192.168.5.9");
  EXPECT_EQ(boards.ElementAt(2).hardwareAddress[5], 0x02);

  // The first change backs up an empty configuration: the export alone.
  EXPECT_EQ(SnapshotDirectory(Backup()).size(), 1u);
  EXPECT_TRUE(FileExists(Backup() + "\\KorvaneRegistry.reg"));
}

TEST_F(SetChangeWorkerTest, BoardsEndAtTheFirstEmptyNameAndSharedListNamesReplace) {
  NetworkRecord unnamed = Board("", 'A', 0x05);
  unnamed.name[0] = 0;
  std::vector<NetworkRecord> table = {Board("ONE", 'A', 0x04), unnamed, Board("THREE", 'A', 0x06)};
  ASSERT_EQ(Change(WriteSet("Short", CommonLists(table))), 0) << lastError;
  EXPECT_EQ(ReadFile(ActiveFile("LMHOSTS")), "10.0.0.1    ONE\r\n");
  EXPECT_EQ(Subkeys(Key("Active Set\\Boards")), std::vector<std::string>{"00409D123404"});
  EXPECT_FALSE(FileExists(ActiveFile("123406.cfg")));
  EXPECT_EQ(boards.GetCount(), 1u);
  // Every record still has its address in complete.cfg.
  EXPECT_EQ(ListData(ReadFile(ActiveFile("complete.cfg")), "IP"),
            std::string("\x0A\x00\x00\x01\x0A\x00\x00\x02\x0A\x00\x00\x03", 12));

  // Two boards whose addresses end in the same three bytes: one file name,
  // the later board's content.
  NetworkRecord twin = Board("TWIN", 'A', 0x07);
  twin.hardwareAddress[2] = 0x77;
  table = {Board("FIRST", 'V', 0x07), twin};
  ASSERT_EQ(Change(WriteSet("Twins", CommonLists(table))), 0) << lastError;
  const std::string bytes = ReadFile(ActiveFile("123407.cfg"));
  EXPECT_FALSE(setfile_test::ParseListFile(bytes).Has("v25_mpk_"));
  ProfileFile activeIni(ActiveFile("active.ini"));
  const std::string first = activeIni.Get("CONFIG", "00409D123407");
  const std::string second = activeIni.Get("CONFIG", "004077123407");
  EXPECT_NE(first.find(ActiveFile("123407.cfg")), std::string::npos);
  EXPECT_EQ(second, "10.0.0.2 " + ActiveFile("123407.cfg") + " " + Hex4(FileCrc(bytes)) +
                        " 0001 TWIN 1 A");
  EXPECT_NE(first, second);  // the first board's CRC is of the file it wrote
}

TEST_F(SetChangeWorkerTest, CachedCodeCrcsAreTrustedWhileTimeAndSizeMatch) {
  const std::string code = ActiveFile("boot.hex");
  WriteFile(code, "0123456789");
  struct _stat64 status;
  ASSERT_EQ(_stat64(code.c_str(), &status), 0);
  // A cached entry in lower case with a CRC that is not the file's: while
  // time and size match it is believed, so the file is not read.
  char planted[64];
  std::snprintf(planted, sizeof planted, "%08lx %08lx BEEF",
                static_cast<unsigned long>(status.st_mtime & 0xFFFFFFFF), 10ul);
  WriteFile(Root() + "\\bin\\korvane.ini",
            std::string("; kept\r\n[OTHER]\r\nx=1\r\n\r\n[CODE]\r\nboot.hex=") + planted + "\r\n");

  ASSERT_EQ(Change(OldSet()), 0) << lastError;
  EXPECT_EQ(RegDword(Key("Code\\boot.hex"), "crc"), 0xBEEFu);
  ProfileFile ini(Root() + "\\bin\\korvane.ini");
  EXPECT_EQ(ini.Get("CODE", "boot.hex"), planted);
  EXPECT_EQ(ini.Get("OTHER", "x"), "1");

  // Another size: the entry no longer belongs to the file.
  WriteFile(code, "01234567890");
  ASSERT_EQ(_stat64(code.c_str(), &status), 0);
  ASSERT_EQ(Change(OldSet()), 0) << lastError;
  const unsigned short crc = FileCrc("01234567890");
  EXPECT_EQ(RegDword(Key("Code\\boot.hex"), "crc"), crc);
  char fresh[64];
  std::snprintf(fresh, sizeof fresh, "%08lX 0000000B %04X",
                static_cast<unsigned long>(status.st_mtime & 0xFFFFFFFF), crc);
  EXPECT_EQ(ProfileFile(Root() + "\\bin\\korvane.ini").Get("CODE", "boot.hex"), fresh);
  // The code key holds the files there are now, nothing of earlier changes.
  EXPECT_EQ(Subkeys(Key("Code")), std::vector<std::string>{"boot.hex"});

  // An installation without a "bin" folder has nowhere to keep the cache:
  // the change still records the computed CRC and says so in the log, once.
  ASSERT_TRUE(DeleteFileA((Root() + "\\bin\\korvane.ini").c_str()));
  ASSERT_TRUE(RemoveDirectoryA((Root() + "\\bin").c_str()));
  WriteFile(code, "0123456789AB");
  WriteFile(ActiveFile("second.hex"), "more code");
  ASSERT_EQ(Change(OldSet()), 0) << lastError;
  EXPECT_EQ(RegDword(Key("Code\\boot.hex"), "crc"), FileCrc("0123456789AB"));
  EXPECT_EQ(RegDword(Key("Code\\second.hex"), "crc"), FileCrc("more code"));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("Could not write " + Root() + "\\bin\\korvane.ini", 0), 0u)
      << logged[0];
}

TEST_F(SetChangeWorkerTest, ARollbackThatCannotPutAFileBackKeepsTheJournalForTheNextChange) {
  const std::string journalPath = Root() + "\\SetChange.journal";
  ASSERT_EQ(Change(OldSet()), 0) << lastError;
  const DirectorySnapshot oldFiles = ActiveFiles();
  const TreeSnapshot oldRegistry = Snapshot(Key());

  // A rollback that cannot put a file back keeps the journal, so that the
  // backup's remaining files are not thrown away by the next change: that
  // change first completes the rollback.
  ASSERT_EQ(Change(OldSet()), 0) << lastError;
  std::vector<NamedList> broken = CommonLists({Board("NEWV", 'V', 0x08)}, "broken");
  broken.erase(broken.begin() + 2);  // v25_mpk_
  const std::string brokenPath = WriteSet("Broken", broken);
  {
    UniqueFileHandle held;
    stepPassed = [&](const char* step) {
      if (std::string(step) == "code records written")
        held.h = CreateFileA((Backup() + "\\123401.cfg").c_str(), GENERIC_READ, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    };
    EXPECT_EQ(Change(brokenPath), 1);
    ASSERT_TRUE(held);
    EXPECT_EQ(lastError, "Could not find list v25_mpk_");
    EXPECT_TRUE(FileExists(journalPath));
    EXPECT_TRUE(FileExists(Backup() + "\\123401.cfg"));
    ASSERT_FALSE(logged.empty());
  }
  stepPassed = nullptr;
  logged.clear();
  ASSERT_EQ(Change(brokenPath), 1);
  EXPECT_EQ(lastError, "Could not find list v25_mpk_");
  EXPECT_FALSE(FileExists(journalPath));
  DirectorySnapshot files = ActiveFiles();
  files.erase("123408.CFG");  // the failed change's own, kept as a rollback keeps them
  EXPECT_EQ(files, oldFiles);
  EXPECT_EQ(Snapshot(Key()), oldRegistry);
}

TEST_F(SetChangeWorkerTest, WaitsForTheGoAheadAndHoldsTheLockWhileItWorks) {
  const std::string setPath = OldSet();
  AllowEvent allow(false);
  std::atomic<int> result{-1};
  std::thread worker([&] {
    SetChangeWorker change(WorkerSetup());
    result = change.ChangeSet(allow.get(), setPath);
  });
  Sleep(300);
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(FileExists(ActiveFile("ACTSET")));

  // While the worker runs, nobody else gets the configuration lock.
  UniqueHandle semaphore(OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE,
                                        lock.Name().c_str()));
  ASSERT_TRUE(semaphore);
  DWORD waitDuringChange = WAIT_FAILED;
  onReset = [&] { waitDuringChange = WaitForSingleObject(semaphore.get(), 0); };
  SetEvent(allow.get());
  worker.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(waitDuringChange, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(semaphore.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ReleaseSemaphore(semaphore.get(), 1, nullptr);

  // Without a go-ahead event there is nothing to wait for: a failure.
  SetChangeWorker orphan(WorkerSetup());
  EXPECT_EQ(orphan.ChangeSet(nullptr, setPath), 1);
  EXPECT_EQ(orphan.LastError().rfind("Condition (hAllowThreadToRun) failed in file SetChangeWorker.cpp(", 0),
            0u)
      << orphan.LastError();
}

}  // namespace
