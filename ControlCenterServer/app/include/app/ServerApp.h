// The server's application object: start-up (COM, the command line, the
// hidden main window, the class objects) and exit.
#pragma once

#include <windows.h>

#include "framework/CWinApp.h"

class CServerApp : public CWinApp {
 public:
  BOOL InitInstance() override;
  int ExitInstance() override;

 private:
  bool comInitialized = false;
  bool classObjectsRegistered = false;
};

// A server started by hand holds one lock of its own, so that it stays up
// without clients until its window is closed. Taking it twice holds it once;
// giving it back reports whether it was held.
void TakeOwnLock();
bool GiveBackOwnLock();
