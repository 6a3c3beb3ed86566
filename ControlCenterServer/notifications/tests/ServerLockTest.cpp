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

namespace {

std::string UniqueName(const char* test) {
  return std::string("korvane lock test ") + test + " " + std::to_string(GetCurrentProcessId());
}

// Whether another holder could take the semaphore now (and gives it back
// at once when it could).
bool SemaphoreFree(const std::string& name) {
  UniqueHandle probe(OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, name.c_str()));
  if (!probe) return false;
  if (WaitForSingleObject(probe.get(), 0) != WAIT_OBJECT_0) return false;
  ReleaseSemaphore(probe.get(), 1, nullptr);
  return true;
}

// Starts a child that holds the named semaphore for ms and waits until it
// has taken it.
std::unique_ptr<ChildProcess> HeldByChild(const std::string& name, DWORD ms, ReadyEvent& ready) {
  auto child = std::make_unique<ChildProcess>("hold-semaphore \"" + name + "\" " +
                                              std::to_string(ms) + " \"" + ready.Name() + "\"");
  EXPECT_TRUE(*child);
  EXPECT_TRUE(ready.Wait(10000)) << "the helper never took the semaphore";
  return child;
}

}  // namespace

TEST(ServerLock, NestsWithinTheProcessAndOnlyTheFirstLockWaits) {
  LogWatcher log;
  std::string name = UniqueName("nest");
  ServerLock lock(name.c_str());
  ReadyEvent ready("nest");
  auto child = HeldByChild(name, 700, ready);

  DWORD start = GetTickCount();
  EXPECT_EQ(lock.Lock(0), 0u);
  DWORD firstWait = GetTickCount() - start;
  start = GetTickCount();
  EXPECT_EQ(lock.Lock(0), 1u);
  DWORD secondWait = GetTickCount() - start;
  EXPECT_GE(firstWait, 300u) << "the first Lock did not wait for the other process";
  EXPECT_LT(secondWait, 100u);

  EXPECT_EQ(lock.Unlock(0), 2u);
  EXPECT_FALSE(SemaphoreFree(name)) << "released before the last Unlock";
  EXPECT_EQ(lock.Unlock(0), 1u);
  EXPECT_TRUE(SemaphoreFree(name));
  EXPECT_EQ(child->Wait(5000), 0u);
  EXPECT_TRUE(log.Seen().empty());
}

TEST(ServerLock, IsHeldByTheProcessNotByOneThread) {
  std::string name = UniqueName("threads");
  ServerLock lock(name.c_str(), 2000);
  ASSERT_EQ(lock.Lock(), 0u);
  unsigned long seen = 99;
  DWORD waited = 0;
  std::thread other([&] {
    DWORD start = GetTickCount();
    seen = lock.Lock();
    waited = GetTickCount() - start;
    lock.Unlock();
  });
  other.join();
  EXPECT_EQ(seen, 1u);
  EXPECT_LT(waited, 500u);
  EXPECT_EQ(lock.Unlock(), 1u);
  EXPECT_TRUE(SemaphoreFree(name));
}

TEST(ServerLock, UnlockWithoutLockChangesNothing) {
  LogWatcher log;
  std::string name = UniqueName("idle");
  ServerLock lock(name.c_str());
  EXPECT_EQ(lock.Unlock(), 0u);
  EXPECT_EQ(lock.Unlock(), 0u);
  // Had Unlock released anything, the semaphore (at its maximum) would
  // have refused and the log would say so.
  EXPECT_EQ(lock.Lock(), 0u);
  EXPECT_FALSE(SemaphoreFree(name));
  EXPECT_EQ(lock.Unlock(), 1u);
  EXPECT_TRUE(SemaphoreFree(name));
  EXPECT_TRUE(log.Seen().empty());
}

TEST(ServerLock, GivesUpWaitingAfterItsLimitAndLogsTheLateRelease) {
  LogWatcher log;
  std::string name = UniqueName("late");
  ServerLock lock(name.c_str(), 300);
  ReadyEvent ready("late");
  auto child = HeldByChild(name, 900, ready);

  DWORD start = GetTickCount();
  EXPECT_EQ(lock.Lock(), 0u);
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 800u);
  ASSERT_EQ(log.Seen(), std::vector<std::string>{kServerLockHeldTooLong});

  // The other holder gives the semaphore back while this process still
  // counts itself a holder: its own release then finds it at its maximum.
  ASSERT_EQ(child->Wait(5000), 0u);
  EXPECT_EQ(lock.Unlock(), 1u);
  EXPECT_EQ(log.Seen(), (std::vector<std::string>{kServerLockHeldTooLong,
                                                  kServerLockReleaseFailed}));
  EXPECT_TRUE(SemaphoreFree(name));
}

TEST(ServerLock, DestructionGivesBackAHeldSemaphore) {
  std::string name = UniqueName("gone");
  auto lock = std::make_unique<ServerLock>(name.c_str());
  // Keeps the semaphore in existence after the lock closes its handle.
  UniqueHandle keep(OpenSemaphoreA(SYNCHRONIZE, FALSE, name.c_str()));
  ASSERT_TRUE(keep);
  lock->Lock();
  lock->Lock();
  EXPECT_FALSE(SemaphoreFree(name));
  lock.reset();
  EXPECT_TRUE(SemaphoreFree(name));
}

TEST(ServerLock, WithoutASemaphoreItLogsAndStillCounts) {
  LogWatcher log;
  // A name taken by an object of another kind: the semaphore cannot be made.
  std::string name = UniqueName("taken");
  UniqueHandle squatter(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(squatter);
  ServerLock lock(name.c_str());
  EXPECT_EQ(log.Seen(), std::vector<std::string>{kServerLockCreateFailed});
  EXPECT_EQ(lock.Lock(), 0u);
  EXPECT_EQ(lock.Lock(), 1u);
  EXPECT_EQ(lock.Unlock(), 2u);
  EXPECT_EQ(lock.Unlock(), 1u);
  EXPECT_EQ(log.Seen(), (std::vector<std::string>{kServerLockCreateFailed, kServerLockWaitFailed,
                                                  kServerLockReleaseFailed}));
}
