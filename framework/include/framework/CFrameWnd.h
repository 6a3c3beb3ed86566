// Our stand-in for the framework's window classes: a C++ object bound to a
// Win32 window, whose messages arrive at a virtual WindowProc.
#pragma once

#include <windows.h>

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND GetSafeHwnd() const { return m_hWnd; }
  BOOL ShowWindow(int showCommand);
  BOOL DestroyWindow();

  HWND m_hWnd = nullptr;

 protected:
  // Every message of the window. The default passes it to DefWindowProc.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Called after the window is gone (WM_NCDESTROY).
  virtual void PostNcDestroy() {}

 public:
  // The window procedure of every window class these objects use: binds a
  // new window to the object given as its creation parameter and hands each
  // message to that object.
  static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam);
};

// A top-level frame window. Closing it destroys it; destroying the
// application's main window ends the message loop.
class CFrameWnd : public CWnd {
 public:
  // The framework's default rectangle: the system picks position and size.
  static const RECT rectDefault;

  // className null: the framework's own frame window class; a class of the
  // caller's must have CWnd::StaticWindowProc as its window procedure.
  BOOL Create(const char* className, const char* windowName,
              DWORD style = WS_OVERLAPPEDWINDOW, const RECT& rect = rectDefault,
              CWnd* parent = nullptr, const char* menuName = nullptr, DWORD exStyle = 0,
              void* context = nullptr);

  // Shows the frame with the given show state (-1: the normal state).
  virtual void ActivateFrame(int showCommand = -1);

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // WM_CLOSE: destroys the window.
  virtual void OnClose();
  // WM_DESTROY: the default handling of the system.
  virtual void OnDestroy();
  // The frame object was made with new and goes with its window.
  void PostNcDestroy() override;
};
