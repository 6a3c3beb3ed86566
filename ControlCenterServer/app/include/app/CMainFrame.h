// The server's hidden main window. Its life is the process's life; it
// carries work from other threads onto the main thread as private messages.
#pragma once

#include "framework/CFrameWnd.h"

class CMainFrame : public CFrameWnd {
 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Closes only when no client uses the server; otherwise only hides.
  void OnClose() override;
  void OnDestroy() override;
};
