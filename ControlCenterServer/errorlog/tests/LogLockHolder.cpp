// Takes the error log's turn and keeps it until it is killed: a writer that
// hangs, or dies, inside its write, for the error log's tests.
//   errorlog_lock_holder EVENT    sets the named event once the turn is held
#include <windows.h>

#include "errorlog/ErrorLog.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  HANDLE lock = CreateMutexA(nullptr, FALSE, kErrorLogLockName);
  if (!lock) return 1;
  const DWORD result = WaitForSingleObject(lock, 30000);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return 1;
  HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  if (!held) return 1;
  SetEvent(held);
  Sleep(INFINITE);
  return 0;
}
