#include "notifications/ServerLock.h"

#include "Win32/TranslatingFrame.h"

const char kServerLockCreateFailed[] =
    "An error occurred when attempting to create a semaphore for a QRB server";
const char kServerLockHeldTooLong[] = "An object has held a lock on a QRB server for too long.";
const char kServerLockWaitFailed[] =
    "An error occurred while waiting for a locked QRB server to become available.";
const char kServerLockReleaseFailed[] = "An error occurred when attempting to release a QRB server.";

namespace {

void Log(const char* text) { GetErrorLogger()(text); }

}  // namespace

ServerLock::ServerLock(const char* lockName, DWORD waitLimit)
    : name(lockName ? lockName : ""), waitLimitMs(waitLimit) {
  hSemaphore.reset(CreateSemaphoreA(nullptr, 1, 1, name.c_str()));
  if (!hSemaphore) Log(kServerLockCreateFailed);
}

ServerLock::~ServerLock() {
  if (hSemaphore && count != 0) {
    ReleaseSemaphore(hSemaphore.get(), 1, nullptr);
    count = 0;
  }
}

unsigned long ServerLock::Lock(unsigned long) {
  CriticalSectionHolder holder(&section);
  if (count == 0) {
    // Whatever the wait gives, the work goes on: the lock only orders the
    // processes that play by it.
    switch (WaitForSingleObject(hSemaphore.get(), waitLimitMs)) {
      case WAIT_OBJECT_0:
        break;
      case WAIT_TIMEOUT:
        Log(kServerLockHeldTooLong);
        break;
      default:
        Log(kServerLockWaitFailed);
        break;
    }
  }
  return count++;
}

unsigned long ServerLock::Unlock(unsigned long) {
  CriticalSectionHolder holder(&section);
  unsigned long before = count;
  if (count != 0 && --count == 0) {
    // After a wait that timed out the semaphore may already be at its
    // maximum; the failed release is then the log's news.
    if (!ReleaseSemaphore(hSemaphore.get(), 1, nullptr)) Log(kServerLockReleaseFailed);
  }
  return before;
}

ServerLock& ConfigurationLock() {
  static ServerLock lock("Configuration Semaphore");
  return lock;
}
