#include "notifications/ServerMessages.h"

#include "framework/CFrameWnd.h"
#include "framework/CWinApp.h"

HWND ServerMainWindow() {
  CWinApp* app = AfxGetApp();
  return app && app->m_pMainWnd ? app->m_pMainWnd->GetSafeHwnd() : nullptr;
}
