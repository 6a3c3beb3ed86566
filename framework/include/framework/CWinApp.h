// Our stand-in for the framework's application object: start-up, the
// message loop of the main thread, and exit.
#pragma once

#include <windows.h>

class CWnd;

class CWinApp {
 public:
  // There is one application object per process; constructing it makes it
  // the one AfxGetApp returns.
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Returning FALSE ends the process (ExitInstance still runs).
  virtual BOOL InitInstance();
  // Pumps the main thread's messages until WM_QUIT, then runs ExitInstance
  // and returns its result as the process's exit code.
  virtual int Run();
  // Returns the exit code.
  virtual int ExitInstance();

  HINSTANCE m_hInstance = nullptr;
  // The command line without the program name.
  const char* m_lpCmdLine = "";
  int m_nCmdShow = SW_SHOWNORMAL;
  // The window whose destruction ends the message loop.
  CWnd* m_pMainWnd = nullptr;

 protected:
  // wParam of the WM_QUIT that ended the loop.
  int quitCode = 0;
};

CWinApp* AfxGetApp();

// The body of WinMain: hands the start-up values to the application object
// and runs it.
int AfxWinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
