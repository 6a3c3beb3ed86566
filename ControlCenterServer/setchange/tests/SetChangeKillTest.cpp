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
#include "testing/ComponentTestSupport.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <cstdio>
#include <string>
#include <vector>

#include "setchange/ChangeJournal.h"
#include "setchange/ConfigurationWorker.h"
#include "testing/RegistryTestSupport.h"
#include "testing/SetChangeProcessSupport.h"
#include "testing/SetFileTestSupport.h"

using namespace setchange_process;
using testsupport::FakeClient;

namespace {

// What makes up a configuration: the active folder's files (active.ini,
// LMHOSTS, ACTSET, the list files, complete.cfg, the archive, code files)
// and the whole registry subtree.
struct Configuration {
  DirectorySnapshot files;
  TreeSnapshot registry;
  bool operator==(const Configuration& other) const {
    return files == other.files && registry == other.registry;
  }
};

// Which files and keys of b differ from a.
std::string Differences(const Configuration& a, const Configuration& b) {
  std::string text;
  for (const auto& file : a.files)
    if (!b.files.count(file.first) || b.files.at(file.first) != file.second)
      text += " file " + file.first;
  for (const auto& file : b.files)
    if (!a.files.count(file.first)) text += " new file " + file.first;
  for (const auto& key : a.registry)
    if (!b.registry.count(key.first) || b.registry.at(key.first) != key.second)
      text += " key \"" + key.first + "\"";
  for (const auto& key : b.registry)
    if (!a.registry.count(key.first)) text += " new key \"" + key.first + "\"";
  return text;
}

class SetChangeKillTest : public SetChangeProcessTest {
 protected:
  void SetUp() override {
    SetChangeProcessTest::SetUp();
    const std::string oldArchive = "archive of the old set", newArchive = "archive of the new";
    // The new set has boards the old one lacks, and the old one a board the
    // new one lacks: each leaves files the other must not keep.
    oldSetPath =
        WriteSet("Old", CommonLists({Board("OLDA", 'A', 0x01), Board("OLDB", 'V', 0x02)}, "old"),
                 &oldArchive);
    newSetPath = WriteSet("New",
                          CommonLists({Board("NEWA", 'A', 0x01), Board("NEWC", 'A', 0x03),
                                       XBoard("GATE", 192, 168, 5, 9)},
                                      "new"),
                          &newArchive);
    install->WriteFile("active\\firmware.bin", "code of a board");
  }
  void TearDown() override {
    ClearHook();
    SetChangeProcessTest::TearDown();
  }

  static void TerminateAfterStep(DWORD step) {
    RawSetDword(TestHookKeyOf(kKorvaneSubtree), StepCounter::kHookValueName, step);
  }
  static void ClearHook() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, TestHookKeyOf(kKorvaneSubtree).c_str());
  }

  Configuration Current() const { return {ActiveFiles(), Snapshot(kKorvaneSubtree)}; }

  // Runs the helper with arguments; its exit code.
  static DWORD RunHelper(const std::string& arguments) {
    std::string command = "\"" + BinDirectory() + "\\setchange_kill_helper.exe\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
      ADD_FAILURE() << "could not start " << command;
      return 0xFFFFFFFF;
    }
    UniqueHandle process(info.hProcess), thread(info.hThread);
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0)
      GetExitCodeProcess(process.get(), &code);
    else
      ADD_FAILURE() << "the helper did not end";
    return code;
  }

  // Runs the work with the hook at step; true when it was killed there,
  // false when it completed.
  static bool KilledAfter(DWORD step, const std::string& arguments) {
    TerminateAfterStep(step);
    const DWORD code = RunHelper(arguments);
    ClearHook();
    if (code == StepCounter::kTerminatedExitCode) return true;
    EXPECT_EQ(code, 0u) << "the work failed without being killed, at step " << step;
    return false;
  }

  // The first creation in a new server completes what the killed work
  // left: the configuration must be one of the two, and the journal gone.
  void ExpectWholeAfterRestart(const Configuration& before, const Configuration& after,
                               DWORD step) {
    const DWORD start = GetTickCount();
    ASSERT_NE(NewComponent(), nullptr) << "step " << step;
    std::printf("killed after step %lu; the next creation took %lu ms\n",
                static_cast<unsigned long>(step), GetTickCount() - start);
    const Configuration now = Current();
    EXPECT_TRUE(now == before || now == after)
        << "a mixed configuration after step " << step << "; against the one before:"
        << Differences(before, now) << "; against the one after:" << Differences(after, now);
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

  std::string oldSetPath, newSetPath;
};

TEST_F(SetChangeKillTest, ASetChangeKilledAfterAnyStepLeavesTheOldOrTheNewConfiguration) {
  ASSERT_EQ(SelectNow("New"), 1);
  const Configuration newer = Current();
  ASSERT_EQ(SelectNow("Old"), 1);
  const Configuration old = Current();
  ASSERT_NE(old.files, newer.files);

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
