// Set changes and restores killed after each of their steps in turn, as a
// crash or a power cut would stop them: the next creation of a client
// object in a new server must find a whole configuration, the one before or
// the one after, byte for byte on disk and in the registry, and a later set
// change through the server must work.
//
// The work runs in the real server, started by COM for a client process
// (setchange_kill_client); the test hook "Terminate After Step" makes the
// server end itself with TerminateProcess right after its Nth step, and the
// cases raise N until the work completes.
#include "testing/SetChangeProcessSupport.h"  // winsock2.h before windows.h

#include <cstdio>

#include "setchange/ChangeJournal.h"
#include "testing/RegistryTestSupport.h"

using namespace setchange_process;

namespace {

struct CloseServiceHandleFn {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using UniqueService = UniqueValue<SC_HANDLE, nullptr, CloseServiceHandleFn>;

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
    WriteSet(
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

  // Runs setchange_kill_client with arguments; its exit code.
  static DWORD RunClient(const std::string& arguments) {
    TestProcess client("setchange_kill_client.exe", arguments);
    EXPECT_TRUE(client.WaitForExit(90000)) << "setchange_kill_client " << arguments << " did not end";
    return client.ExitCode();
  }

  // The change to the new set or the restore, through a new server, with
  // the hook at step; true when the server was killed there, false when
  // the work completed.
  static bool KilledAfter(DWORD step, bool restore) {
    RawSetDword(TestHookKeyOf(kKorvaneSubtree), StepCounter::kHookValueName, step);
    const DWORD code = RunClient(restore ? "restore" : "select New");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, TestHookKeyOf(kKorvaneSubtree).c_str());
    if (code == StepCounter::kTerminatedExitCode) {
      ForgetKilledServer();
      return true;
    }
    EXPECT_EQ(code, 0u) << "the work failed without being killed, at step " << step;
    CloseRunningServers();
    return false;
  }

  // Windows' service control manager forgets the classes of a process that
  // ends; Wine's RpcSs keeps them and would give the dead class object to
  // every later client. Stopping RpcSs (the next COM call starts it again)
  // leaves the registrations of live processes only. A database server
  // whose one client was killed would be ended by COM's garbage collection
  // on Windows; here it is ended first, so that it cannot outlive its
  // registration.
  static void ForgetKilledServer() {
    for (UniqueHandle& database : OpenProcessesNamed("QRBDAOServer.exe"))
      if (TerminateProcess(database.get(), 1)) WaitForProcessExit(database.get(), 5000);
    // Stopped means gone: until its process has ended, the old RpcSs may
    // still take a call and fail it, which COM does not take as a reason
    // to start it again.
    UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(
        manager ? OpenServiceA(manager.get(), "RpcSs", SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS running = {};
    DWORD size = 0;
    UniqueHandle process;
    if (service && QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&running), sizeof running, &size))
      process.reset(OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId));
    SERVICE_STATUS status = {};
    EXPECT_TRUE(process && ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        << "RpcSs could not be stopped: " << GetLastError();
    EXPECT_TRUE(process && WaitForProcessExit(process.get(), 10000)) << "RpcSs did not end";
  }

  // The first creation in a new server completes what the killed work
  // left: the configuration must be one of the two, and the journal gone.
  void ExpectWholeAfterRestart(const Configuration& before, const Configuration& after, DWORD step) {
    const DWORD start = GetTickCount();
    ASSERT_EQ(RunClient("create"), 0u) << "step " << step;
    std::printf("killed after step %lu; the next creation took %lu ms\n", static_cast<unsigned long>(step),
                GetTickCount() - start);
    // Every client is gone; the server goes too before anything else
    // touches the installation.
    CloseRunningServers();
    const Configuration now = Current();
    EXPECT_TRUE(now == before || now == after) << "a mixed configuration after step " << step
                                               << "; against the one before:" << Differences(before, now)
                                               << "; against the one after:" << Differences(after, now);
    EXPECT_FALSE(setfile_test::FileExists(Root() + "\\" + kJournalFileName)) << "step " << step;
  }

  static bool SelectNow(const std::string& set) {
    const DWORD code = RunClient("select " + set);
    CloseRunningServers();
    return code == 0;
  }
};

TEST_F(SetChangeKillTest, ASetChangeKilledAfterAnyStepLeavesTheOldOrTheNewConfiguration) {
  ASSERT_TRUE(SelectNow("New"));
  const Configuration newer = Current();
  ASSERT_TRUE(SelectNow("Old"));
  const Configuration old = Current();
  ASSERT_NE(old.first, newer.first);

  DWORD step = 1;
  for (; step < 200 && KilledAfter(step, false); ++step) {
    ExpectWholeAfterRestart(old, newer, step);
    // The server works on: back to the old set for the next round.
    ASSERT_TRUE(SelectNow("Old")) << "after step " << step;
    ASSERT_TRUE(Current() == old) << "after step " << step << ":" << Differences(old, Current());
  }
  EXPECT_GE(step, 21u) << "the change passed fewer steps than expected";
  EXPECT_TRUE(Current() == newer) << Differences(newer, Current());
}

TEST_F(SetChangeKillTest, ARestoreKilledAfterAnyStepIsCompletedAtTheNextStart) {
  ASSERT_TRUE(SelectNow("Old"));
  const Configuration old = Current();
  ASSERT_TRUE(SelectNow("New"));
  const Configuration newer = Current();

  DWORD step = 1;
  for (; step < 200 && KilledAfter(step, true); ++step) {
    ExpectWholeAfterRestart(newer, old, step);
    // A later change works; then the next round starts from the new set
    // with the old one backed up.
    ASSERT_TRUE(SelectNow("Old")) << "after step " << step;
    ASSERT_TRUE(Current() == old) << "after step " << step << ":" << Differences(old, Current());
    ASSERT_TRUE(SelectNow("New")) << "after step " << step;
  }
  EXPECT_GE(step, 21u) << "the restore passed fewer steps than expected";
  EXPECT_TRUE(Current() == old) << Differences(old, Current());
}

}  // namespace
