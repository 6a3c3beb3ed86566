#include "app/CMainFrame.h"

#include "app/ServerApp.h"
#include "app/ServerClassTable.h"
#include "component/CCCmpnt.h"
#include "Win32/QRBConsoleComponent.h"
#include "Win32/TranslatingFrame.h"

namespace {

constexpr UINT_PTR kIdleTimerId = 1;
constexpr UINT_PTR kWithdrawnTimerId = 2;
volatile LONG idleEndDelayMs = CMainFrame::kIdleEndDelayMs;
volatile LONG withdrawnEndDelayMs = CMainFrame::kWithdrawnEndDelayMs;

// The server's private messages and their handlers.
struct PrivateMessage {
  UINT message;
  LRESULT (*handler)(WPARAM, LPARAM);
};
const PrivateMessage kPrivateMessages[] = {
    {WM_SETCHANGE_DONE, ControlCenterComponent::OnSetChangeDone},
    {WM_RESTORE_DONE, ControlCenterComponent::OnRestoreDone},
    {WM_CLIENTS_ALLOWED, ControlCenterComponent::OnClientsAllowed},
    {WM_START_CLIENT_TIMER, ControlCenterComponent::OnStartClientTimer},
    {WM_STOP_CLIENT_TIMER, ControlCenterComponent::OnStopClientTimer},
    {WM_BOOTP_FATAL_ERROR, ControlCenterComponent::OnBootpFatalError},
    {WM_BOOTP_NONFATAL_ERROR, ControlCenterComponent::OnBootpNonfatalError},
    {WM_BOOTP_INFO, ControlCenterComponent::OnBootpInfo},
};

// Runs one private message's handler. Nothing raised may unwind through the
// system's message dispatch: a text goes to the error log.
LRESULT RunHandler(const PrivateMessage& handled, WPARAM wParam, LPARAM lParam) {
  try {
    return handled.handler(wParam, lParam);
  } catch (...) {
    GetErrorLogger()(CaughtExceptionTextIn("CMainFrame::WindowProc").c_str());
  }
  return 0;
}

}  // namespace

LRESULT CMainFrame::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  for (const PrivateMessage& handled : kPrivateMessages)
    if (handled.message == message) return RunHandler(handled, wParam, lParam);
  switch (message) {
    case WM_CLOSE:
      if (wParam != kServerIdleClose) break;
      OnIdle();
      return 0;
    case WM_TIMER:
      if (wParam != kIdleTimerId && wParam != kWithdrawnTimerId) break;
      OnEndTimer(wParam);
      return 0;
    default:
      break;
  }
  return CFrameWnd::WindowProc(message, wParam, lParam);
}

void CMainFrame::SetEndDelays(DWORD idleMs, DWORD withdrawnMs) {
  InterlockedExchange(&idleEndDelayMs, static_cast<LONG>(idleMs));
  InterlockedExchange(&withdrawnEndDelayMs, static_cast<LONG>(withdrawnMs));
}

void CMainFrame::OnIdle() {
  // A client that found this server's classes registered may be on its way
  // to CreateInstance; ending at once would fail its call under it. The
  // server stays a while, and every further notice starts the wait again:
  // only a server left alone that long ends.
  // Once the classes are withdrawn only the shorter wait is left: it lets
  // the answer to the call that let the server go (a release, a failed
  // creation) reach its client before the process ends.
  if (ServerInUse()) return;
  const UINT_PTR timer = classesWithdrawn ? kWithdrawnTimerId : kIdleTimerId;
  const LONG delay = classesWithdrawn ? withdrawnEndDelayMs : idleEndDelayMs;
  if (!SetTimer(m_hWnd, timer, static_cast<UINT>(delay), nullptr)) EndUnlessHeld();
}

void CMainFrame::OnEndTimer(UINT_PTR id) {
  KillTimer(m_hWnd, id);
  try {
    EndUnlessHeld();
  } catch (...) {
  }
}

void CMainFrame::EndUnlessHeld() {
  if (ServerInUse()) {
    ShowWindow(SW_HIDE);
    return;
  }
  if (!classesWithdrawn) {
    // Withdraw the classes before the window goes, so that a client asking
    // for an object from now on gets a new server instead of one that is
    // ending. A client that was handed a class object just before still
    // gets a moment for its CreateInstance; one that slips in is served to
    // its end, and its release brings the server back here. (Holding a
    // class object alone does not keep a server.)
    KillTimer(m_hWnd, kIdleTimerId);
    RevokeClassObjects();
    classesWithdrawn = true;
    if (SetTimer(m_hWnd, kWithdrawnTimerId, static_cast<UINT>(withdrawnEndDelayMs), nullptr))
      return;
  }
  CFrameWnd::OnClose();
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
    // Told to, it ends without the idle wait.
    EndUnlessHeld();
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
