// The server's hidden main window. Its life is the process's life; it
// carries work from other threads onto the main thread as private messages.
#pragma once

#include <windows.h>

#include "framework/CFrameWnd.h"

class CMainFrame : public CFrameWnd {
 public:
  // How long the server lingers once nothing holds it before it withdraws
  // its classes, and how long after the withdrawal it still waits for a
  // client that was handed a class object just before.
  static constexpr DWORD kIdleEndDelayMs = 2000;
  static constexpr DWORD kWithdrawnEndDelayMs = 1000;
  // Tests of the window in-process shorten both waits.
  static void SetEndDelays(DWORD idleMs, DWORD withdrawnMs);

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Told to close: closes only when no client uses the server; otherwise
  // only hides.
  void OnClose() override;
  void OnDestroy() override;

 private:
  // CheckShutdown's notice that nothing holds the server: starts (or starts
  // again) the idle wait.
  void OnIdle();
  // Unless a client holds an object or a lock: withdraws the classes and
  // waits a little more, or, once they are withdrawn and that wait is over,
  // ends.
  void EndUnlessHeld();
  void OnEndTimer(UINT_PTR id);

  bool classesWithdrawn = false;
};
