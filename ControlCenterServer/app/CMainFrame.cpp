#include "app/CMainFrame.h"

#include "app/ServerApp.h"
#include "app/ServerClassTable.h"
#include "component/CCCmpnt.h"
#include "Win32/QRBConsoleComponent.h"
#include "Win32/TranslatingFrame.h"

namespace {

// Runs one private message's handler. Nothing raised may unwind through the
// system's message dispatch: a text goes to the error log.
template <class Handler>
LRESULT RunHandler(Handler handler, WPARAM wParam, LPARAM lParam) {
  try {
    return handler(wParam, lParam);
  } catch (const char* text) {
    GetErrorLogger()(text);
  } catch (...) {
    GetErrorLogger()("Caught an unknown exception in CMainFrame::WindowProc");
  }
  return 0;
}

}  // namespace

LRESULT CMainFrame::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETCHANGE_DONE:
      return RunHandler(ControlCenterComponent::OnSetChangeDone, wParam, lParam);
    case WM_RESTORE_DONE:
      return RunHandler(ControlCenterComponent::OnRestoreDone, wParam, lParam);
    case WM_CLIENTS_ALLOWED:
      return RunHandler(ControlCenterComponent::OnClientsAllowed, wParam, lParam);
    case WM_START_CLIENT_TIMER:
      return RunHandler(ControlCenterComponent::OnStartClientTimer, wParam, lParam);
    case WM_STOP_CLIENT_TIMER:
      return RunHandler(ControlCenterComponent::OnStopClientTimer, wParam, lParam);
    case WM_BOOTP_FATAL_ERROR:
      return RunHandler(ControlCenterComponent::OnBootpFatalError, wParam, lParam);
    case WM_BOOTP_NONFATAL_ERROR:
      return RunHandler(ControlCenterComponent::OnBootpNonfatalError, wParam, lParam);
    case WM_BOOTP_INFO:
      return RunHandler(ControlCenterComponent::OnBootpInfo, wParam, lParam);
    default:
      return CFrameWnd::WindowProc(message, wParam, lParam);
  }
}

void CMainFrame::OnClose() {
  try {
    // A server started by hand gives back its own lock: from now on it ends
    // with its last client. Only that lock: a client's LockServer keeps
    // counting however often the window is told to close.
    GiveBackOwnLock();
    if (ServerInUse()) {
      ShowWindow(SW_HIDE);
      return;
    }
    // Withdraw the classes before the window goes, so that a client asking
    // for an object from now on gets a new server instead of one that is
    // ending. One that slipped in before the withdrawal is served to its
    // end: its release closes the window again.
    RevokeClassObjects();
    if (ServerInUse()) {
      ShowWindow(SW_HIDE);
      return;
    }
    CFrameWnd::OnClose();
  } catch (...) {
  }
}

void CMainFrame::OnDestroy() {
  try {
    if (ServerInUse()) return;
    CFrameWnd::OnDestroy();
  } catch (...) {
  }
}
