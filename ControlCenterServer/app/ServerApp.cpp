#include "app/ServerApp.h"

#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "app/CMainFrame.h"
#include "app/Registration.h"
#include "app/ServerClassTable.h"
#include "app/ServerCommandLine.h"
#include "errorlog/ErrorLog.h"
#include "Win32/ErrorText.h"
#include "Win32/QRBConsoleComponent.h"

namespace {

const char kApplicationName[] = "Korvane Control Center Server";
const char kMainWindowTitle[] = "Control Center Server";

std::atomic<bool> ownLockHeld{false};

// Start-up failures are shown to whoever started the server by hand.
void ShowStartupError(HRESULT hr) {
  char text[256];
  std::snprintf(text, sizeof text, "Error (%lx): %s", static_cast<unsigned long>(hr),
                SystemErrorText(static_cast<DWORD>(hr)).c_str());
  MessageBoxA(nullptr, text, "ERROR", MB_OK);
}

}  // namespace

void TakeOwnLock() {
  if (!ownLockHeld.exchange(true)) IncrementLockCount();
}

bool GiveBackOwnLock() {
  if (!ownLockHeld.exchange(false)) return false;
  DecrementLockCount();
  return true;
}

BOOL CServerApp::InitInstance() {
  // Every text a client is given, and every one the factory catches, also
  // goes to the error table.
  InstallErrorLog();
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return FALSE;
  comInitialized = true;

  bool registrationRun = false;
  bool startedByCom = false;
  for (ServerSwitch option : ReadServerSwitches(m_lpCmdLine)) {
    switch (option) {
      case ServerSwitch::UnregServer:
        UnregisterServerClasses();
        registrationRun = true;
        break;
      case ServerSwitch::RegServer:
        RegisterServerClasses(m_hInstance);
        RegisterAppId(kApplicationName);
        registrationRun = true;
        break;
      case ServerSwitch::Embedding:
        startedByCom = true;
        break;
    }
  }
  classObjectsRegistered = false;
  // A registration run ends here, without a window and without a word.
  if (registrationRun) return FALSE;

  HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr)) {
    ShowStartupError(hr);
    CoUninitialize();
    comInitialized = false;
    return FALSE;
  }

  auto* frame = new CMainFrame;
  if (!frame->Create(nullptr, kMainWindowTitle, WS_OVERLAPPEDWINDOW, CFrameWnd::rectDefault)) {
    delete frame;
    return FALSE;
  }
  if (!startedByCom) TakeOwnLock();
  // The window exists to receive messages; nobody ever sees it.
  frame->ActivateFrame(SW_HIDE);
  m_pMainWnd = frame;
  SetShutdownWindow(frame->GetSafeHwnd());

  RegisterClassObjects();
  classObjectsRegistered = true;
  return TRUE;
}

int CServerApp::ExitInstance() {
  SetShutdownWindow(nullptr);
  int code = 0;
  try {
    if (classObjectsRegistered) RevokeClassObjects();
    classObjectsRegistered = false;
    code = CWinApp::ExitInstance();
  } catch (...) {
    code = 0;
  }
  if (comInitialized) CoUninitialize();
  comInitialized = false;
  return code;
}
