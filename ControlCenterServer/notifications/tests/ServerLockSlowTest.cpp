// The system's "Configuration Semaphore" held by another process for longer
// than the lock's fixed minute: the lock logs and goes ahead.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "notifications/ServerLock.h"
#include "testing/NotificationTestSupport.h"

TEST(ConfigurationLock, GoesAheadAfterAMinuteWhenAnotherProcessHoldsIt) {
  testsupport::LogWatcher log;
  ServerLock& lock = ConfigurationLock();
  EXPECT_EQ(lock.Name(), "Configuration Semaphore");
  testsupport::ReadyEvent ready("configuration");
  testsupport::ChildProcess holder("hold-semaphore \"Configuration Semaphore\" 70000 \"" +
                                   ready.Name() + "\"");
  ASSERT_TRUE(ready.Wait(10000)) << "the helper never took the semaphore";

  DWORD start = GetTickCount();
  EXPECT_EQ(lock.Lock(0), 0u);
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 59000u);
  EXPECT_LT(waited, 68000u);
  EXPECT_EQ(log.Seen(), std::vector<std::string>{
                            "An object has held a lock on a QRB server for too long."});
  EXPECT_EQ(lock.Unlock(0), 1u);
}
