// The configuration lock against a second process that holds the same
// named semaphore. Each test uses a semaphore of its own name, so the
// system's "Configuration Semaphore" is left to the slow test.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notifications/ServerLock.h"
#include "testing/NotificationTestSupport.h"

using testsupport::ChildProcess;
using testsupport::LogWatcher;
using testsupport::ReadyEvent;
using Texts = std::vector<std::string>;

namespace {

std::string UniqueName(const char* test) {
  return std::string("korvane lock test ") + test + " " + std::to_string(GetCurrentProcessId());
}

// Whether another holder could take the semaphore now (and gives it back
// at once when it could).
bool SemaphoreFree(const std::string& name) {
  UniqueHandle probe(OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, name.c_str()));
  if (!probe || WaitForSingleObject(probe.get(), 0) != WAIT_OBJECT_0) return false;
  ReleaseSemaphore(probe.get(), 1, nullptr);
  return true;
}

// A child that holds the named semaphore for ms, once it has taken it.
std::unique_ptr<ChildProcess> HeldByChild(const std::string& name, DWORD ms) {
  ReadyEvent ready(name.c_str());
  auto child = std::make_unique<ChildProcess>("hold-semaphore \"" + name + "\" " +
                                              std::to_string(ms) + " \"" + ready.Name() + "\"");
  EXPECT_TRUE(ready.Wait(10000)) << "the helper never took the semaphore";
  return child;
}

DWORD MsToLock(ServerLock& lock, unsigned long expected) {
  DWORD start = GetTickCount();
  EXPECT_EQ(lock.Lock(), expected);
  return GetTickCount() - start;
}

}  // namespace

// Held by the process, not a thread: only the first Lock waits for the
// other process, and only the last Unlock gives the semaphore back.
TEST(ServerLock, NestsWithinTheProcessAndOnlyTheFirstLockWaits) {
  LogWatcher log;
  std::string name = UniqueName("nest");
  ServerLock lock(name.c_str());
  auto child = HeldByChild(name, 700);
  EXPECT_GE(MsToLock(lock, 0), 300u) << "the first Lock did not wait for the other process";
  std::thread([&] { EXPECT_LT(MsToLock(lock, 1), 100u); }).join();
  EXPECT_EQ(lock.Unlock(), 2u);
  EXPECT_FALSE(SemaphoreFree(name)) << "released before the last Unlock";
  EXPECT_EQ(lock.Unlock(), 1u);
  EXPECT_TRUE(SemaphoreFree(name));
  EXPECT_EQ(child->Wait(5000), 0u);
  EXPECT_TRUE(log.Seen().empty());
}

// Had an idle Unlock released anything, the semaphore (at its maximum)
// would have refused and the log would say so.
TEST(ServerLock, AnIdleUnlockChangesNothingAndDestructionGivesBackWhatIsHeld) {
  LogWatcher log;
  std::string name = UniqueName("idle");
  auto lock = std::make_unique<ServerLock>(name.c_str());
  // Keeps the semaphore in existence after the lock closes its handle.
  UniqueHandle keep(OpenSemaphoreA(SYNCHRONIZE, FALSE, name.c_str()));
  EXPECT_EQ(lock->Unlock(), 0u);
  EXPECT_EQ(lock->Unlock(), 0u);
  EXPECT_EQ(lock->Lock(), 0u);
  EXPECT_EQ(lock->Lock(), 1u);
  EXPECT_FALSE(SemaphoreFree(name));
  lock.reset();
  EXPECT_TRUE(SemaphoreFree(name));
  EXPECT_TRUE(log.Seen().empty());
}

TEST(ServerLock, GivesUpWaitingAfterItsLimitAndLogsTheLateRelease) {
  LogWatcher log;
  std::string name = UniqueName("late");
  ServerLock lock(name.c_str(), 300);
  auto child = HeldByChild(name, 900);
  DWORD waited = MsToLock(lock, 0);
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 800u);
  ASSERT_EQ(log.Seen(), Texts{kServerLockHeldTooLong});
  // The other holder gives the semaphore back while this process still
  // counts itself a holder: its own release then finds it at its maximum.
  ASSERT_EQ(child->Wait(5000), 0u);
  EXPECT_EQ(lock.Unlock(), 1u);
  EXPECT_EQ(log.Seen(), (Texts{kServerLockHeldTooLong, kServerLockReleaseFailed}));
  EXPECT_TRUE(SemaphoreFree(name));
}

TEST(ServerLock, WithoutASemaphoreItLogsAndStillCounts) {
  LogWatcher log;
  // A name taken by an object of another kind: the semaphore cannot be made.
  std::string name = UniqueName("taken");
  UniqueHandle squatter(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
  ServerLock lock(name.c_str());
  EXPECT_EQ(log.Seen(), Texts{kServerLockCreateFailed});
  EXPECT_EQ(lock.Lock(), 0u);
  EXPECT_EQ(lock.Lock(), 1u);
  EXPECT_EQ(lock.Unlock(), 2u);
  EXPECT_EQ(lock.Unlock(), 1u);
  EXPECT_EQ(log.Seen(), (Texts{kServerLockCreateFailed, kServerLockWaitFailed,
                               kServerLockReleaseFailed}));
}
