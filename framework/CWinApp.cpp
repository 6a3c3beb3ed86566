#include "framework/CWinApp.h"

#include "framework/CFrameWnd.h"

namespace {
CWinApp* theApplication = nullptr;
}

CWinApp::CWinApp() { theApplication = this; }

CWinApp::~CWinApp() {
  if (theApplication == this) theApplication = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() {
  MSG message;
  for (;;) {
    BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) {
      quitCode = static_cast<int>(message.wParam);
      break;
    }
    // GetMessage itself failed: it would fail again at once, so the loop
    // can only end.
    if (got == -1) break;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return ExitInstance();
}

int CWinApp::ExitInstance() { return quitCode; }

CWinApp* AfxGetApp() { return theApplication; }

int AfxWinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  CWinApp* app = AfxGetApp();
  if (!app) return -1;
  app->m_hInstance = instance;
  app->m_lpCmdLine = commandLine ? commandLine : "";
  app->m_nCmdShow = showCommand;
  if (!app->InitInstance()) {
    if (app->m_pMainWnd) app->m_pMainWnd->DestroyWindow();
    return app->ExitInstance();
  }
  return app->Run();
}
