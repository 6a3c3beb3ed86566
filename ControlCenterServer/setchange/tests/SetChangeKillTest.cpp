// Set changes and restores killed after each of their steps in turn, as a
// crash or a power cut would stop them: the next creation of a client
// object in the real server must find a whole configuration, the one
// before or the one after, byte for byte on disk and in the registry, and
// a later set change through the server must work.
//
// The work runs in setchange_kill_helper (the server's own workers on the
// installation of the prefix), which the test hook "Terminate After Step"
// ends with TerminateProcess right after its Nth step; the cases raise N
// until the work completes. The helper, not the COM server, is the process
// that dies because Wine's RpcSs keeps the class registration of a killed
// COM server and gives its dead class object to every later client.
#include "testing/SetChangeProcessSupport.h"  // winsock2.h before windows.h

#include <cstdio>

#include "setchange/ChangeJournal.h"
#include "testing/RegistryTestSupport.h"

using namespace setchange_process;

namespace {

// What makes up a configuration: the active folder's files (active.ini,
// LMHOSTS, ACTSET, the list files, complete.cfg, the archive, code files)
// and the whole registry subtree.
using Configuration = std::pair<DirectorySnapshot, TreeSnapshot>;

// Which files and keys differ between a and b.
std::string Differences(const Configuration& a, const Configuration& b) {
  std::string text;
  auto compare = [&](const auto& one, const auto& other, const char* what) {
    for (const auto& [name, content] : one)
      if (!other.count(name) || other.at(name) != content)
        text += std::string(" ") + what + " \"" + name + "\"";
    for (const auto& entry : other)
      if (!one.count(entry.first)) text += std::string(" new ") + what + " \"" + entry.first + "\"";
  };
  compare(a.first, b.first, "file");
  compare(a.second, b.second, "key");
  return text;
}

class SetChangeKillTest : public SetChangeProcessTest {
 protected:
  void SetUp() override {
    SetChangeProcessTest::SetUp();
    const std::string oldArchive = "archive of the old set", newArchive = "archive of the new";
    // The new set has boards the old one lacks, and the old one a board the
    // new one lacks: each leaves files the other must not keep.
    WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01), Board("OLDB", 'V', 0x02)}, "old"), &oldArchive);
    newSetPath = WriteSet(
        "New",
        CommonLists({Board("NEWA", 'A', 0x01), Board("NEWC", 'A', 0x03), XBoard("GATE", 192, 168, 5, 9)},
                    "new"),
        &newArchive);
    install->WriteFile("active\\firmware.bin", "code of a board");
  }
  void TearDown() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, TestHookKeyOf(kKorvaneSubtree).c_str());
    SetChangeProcessTest::TearDown();
  }

  Configuration Current() const { return {ActiveFiles(), Snapshot(kKorvaneSubtree)}; }

  // Runs the helper with the hook at step; true when it was killed there,
  // false when it completed.
  static bool KilledAfter(DWORD step, const std::string& arguments) {
    RawSetDword(TestHookKeyOf(kKorvaneSubtree), StepCounter::kHookValueName, step);
    std::string command = "\"" + BinDirectory() + "\\setchange_kill_helper.exe\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    DWORD code = 0xFFFFFFFF;
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      UniqueHandle process(info.hProcess), thread(info.hThread);
      EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0) << "the helper did not end";
      GetExitCodeProcess(process.get(), &code);
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, TestHookKeyOf(kKorvaneSubtree).c_str());
    if (code == StepCounter::kTerminatedExitCode) return true;
    EXPECT_EQ(code, 0u) << "the work failed without being killed, at step " << step;
    return false;
  }

  // The first creation in a new server completes what the killed work
  // left: the configuration must be one of the two, and the journal gone.
  void ExpectWholeAfterRestart(const Configuration& before, const Configuration& after, DWORD step) {
    const DWORD start = GetTickCount();
    ASSERT_NE(NewComponent(), nullptr) << "step " << step;
    std::printf("killed after step %lu; the next creation took %lu ms\n", static_cast<unsigned long>(step),
                GetTickCount() - start);
    const Configuration now = Current();
    EXPECT_TRUE(now == before || now == after) << "a mixed configuration after step " << step
                                               << "; against the one before:" << Differences(before, now)
                                               << "; against the one after:" << Differences(after, now);
    EXPECT_FALSE(setfile_test::FileExists(Root() + "\\" + kJournalFileName)) << "step " << step;
    ReleaseServer();
  }

  // Every component goes, and the server with them, before anything else
  // touches the installation.
  void ReleaseServer() {
    components.clear();
    CloseRunningServers();
  }

  int SelectNow(const char* set) {
    FakeClient requester;
    IControlCenterComponent* component = NewComponent();
    const int result = component ? Select(component, set, requester) : -1;
    ReleaseServer();
    return result;
  }

  std::string newSetPath;
};

TEST_F(SetChangeKillTest, ASetChangeKilledAfterAnyStepLeavesTheOldOrTheNewConfiguration) {
  ASSERT_EQ(SelectNow("New"), 1);
  const Configuration newer = Current();
  ASSERT_EQ(SelectNow("Old"), 1);
  const Configuration old = Current();
  ASSERT_NE(old.first, newer.first);

  DWORD step = 1;
  for (; step < 200 && KilledAfter(step, "change \"" + newSetPath + "\""); ++step) {
    ExpectWholeAfterRestart(old, newer, step);
    // The server works on: back to the old set for the next round.
    ASSERT_EQ(SelectNow("Old"), 1) << "after step " << step;
    ASSERT_TRUE(Current() == old) << "after step " << step << ":" << Differences(old, Current());
  }
  EXPECT_GE(step, 21u) << "the change passed fewer steps than expected";
  EXPECT_TRUE(Current() == newer) << Differences(newer, Current());
}

TEST_F(SetChangeKillTest, ARestoreKilledAfterAnyStepIsCompletedAtTheNextStart) {
  ASSERT_EQ(SelectNow("Old"), 1);
  const Configuration old = Current();
  ASSERT_EQ(SelectNow("New"), 1);
  const Configuration newer = Current();

  DWORD step = 1;
  for (; step < 200 && KilledAfter(step, "restore"); ++step) {
    ExpectWholeAfterRestart(newer, old, step);
    // A later change works; then the next round starts from the new set
    // with the old one backed up.
    ASSERT_EQ(SelectNow("Old"), 1) << "after step " << step;
    ASSERT_TRUE(Current() == old) << "after step " << step << ":" << Differences(old, Current());
    ASSERT_EQ(SelectNow("New"), 1) << "after step " << step;
  }
  EXPECT_GE(step, 21u) << "the restore passed fewer steps than expected";
  EXPECT_TRUE(Current() == old) << Differences(old, Current());
}

}  // namespace
