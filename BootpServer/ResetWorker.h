// The bootp server's thread: answers each "BOOTP RESET EVENT" by reading
// the active configuration and setting "BOOTP RESET FINISHED", answers boot
// requests for its boards when the settings say where (BootResponder), and
// says through the events what it serves and what went wrong.
#pragma once

#include <windows.h>

#include <memory>

#include "EventSinks.h"
#include "Win32/CriticalSection.h"
#include "Win32/Holders.h"

extern const char kResetEventName[];     // "BOOTP RESET EVENT"
extern const char kResetFinishedName[];  // "BOOTP RESET FINISHED"

class ResetWorker {
 public:
  explicit ResetWorker(std::shared_ptr<EventSinks> sinks);
  // Stops the thread.
  ~ResetWorker();
  ResetWorker(const ResetWorker&) = delete;
  ResetWorker& operator=(const ResetWorker&) = delete;

  // Starts the thread, which first reads the configuration that is active
  // now. S_OK when it runs (also when it ran already); a failure also goes
  // out as FatalError.
  HRESULT Start();
  // Ends the thread and waits for it (at most kStopWait ms, then
  // HRESULT_FROM_WIN32(WAIT_TIMEOUT): a listener has not returned). S_OK
  // also when it did not run. Called from inside an event on the thread
  // itself, it only asks: the thread ends when the event returns.
  HRESULT Stop();

  static constexpr DWORD kStopWait = 10000;

  struct ThreadState;

 private:
  std::shared_ptr<EventSinks> sinks_;
  CriticalSection lock_;
  std::shared_ptr<ThreadState> state_;
  UniqueHandle thread_;
  DWORD threadId_ = 0;
};
