// The machine-wide lock that serialises changes of the configuration among
// all processes of the system: a named semaphore of count 1 that any of
// them can take by its name. Within this process the lock nests: while it
// is held, further Locks (from any thread) only count.
//
// The lock never raises. It waits at most a minute for another holder and
// then goes ahead regardless: a process that died or hung holding it must
// not stop every later change. What goes wrong is written to the error log.
#pragma once

#include <windows.h>

#include <string>

#include "Win32/CriticalSection.h"
#include "Win32/Holders.h"

class ServerLock {
 public:
  // How long Lock waits for another holder before going ahead.
  static constexpr DWORD kWaitLimitMs = 60000;

  // Creates or opens the named semaphore (initial and maximum count 1).
  // waitLimitMs exists for tests that cannot wait a minute.
  explicit ServerLock(const char* name, DWORD waitLimitMs = kWaitLimitMs);
  // Gives the semaphore back if this process still holds it.
  ~ServerLock();
  ServerLock(const ServerLock&) = delete;
  ServerLock& operator=(const ServerLock&) = delete;

  // The argument is not used (callers pass 0). Returns the nesting count
  // before the call; only the Lock that finds it 0 waits for the semaphore.
  unsigned long Lock(unsigned long unused = 0);
  // Returns the nesting count before the call; the Unlock that brings it to
  // 0 releases the semaphore. At count 0 it does nothing.
  unsigned long Unlock(unsigned long unused = 0);

  const std::string& Name() const { return name; }

 private:
  unsigned long count = 0;
  UniqueHandle hSemaphore;
  // Held across the wait in Lock, so other threads of this process queue
  // behind the first one instead of all waiting on the semaphore.
  CriticalSection section;
  std::string name;
  DWORD waitLimitMs;
};

// The system's "Configuration Semaphore", held by the set change and
// restore workers for the whole of their work. Made at its first use, when
// the error log that reports a failed creation is in place.
ServerLock& ConfigurationLock();

// The texts the lock writes to the error log.
extern const char kServerLockCreateFailed[];
extern const char kServerLockHeldTooLong[];
extern const char kServerLockWaitFailed[];
extern const char kServerLockReleaseFailed[];
