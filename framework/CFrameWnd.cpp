#include "framework/CFrameWnd.h"

#include "framework/CWinApp.h"

namespace {

const char kFrameClassName[] = "KorvaneFrameWindow";

// Registers the framework's frame window class once per process.
const char* FrameClass() {
  static const ATOM atom = [] {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = CWnd::StaticWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kFrameClassName;
    return RegisterClassA(&windowClass);
  }();
  return atom ? kFrameClassName : nullptr;
}

}  // namespace

CWnd::~CWnd() {
  if (m_hWnd) {
    // The object goes first: the window must not call into it any more.
    SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, 0);
    HWND window = m_hWnd;
    m_hWnd = nullptr;
    ::DestroyWindow(window);
  }
}

BOOL CWnd::ShowWindow(int showCommand) { return ::ShowWindow(m_hWnd, showCommand); }

BOOL CWnd::DestroyWindow() { return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE; }

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(m_hWnd, message, wParam, lParam);
}

LRESULT CALLBACK CWnd::StaticWindowProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* object = static_cast<CWnd*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    object->m_hWnd = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object));
  }
  auto* object = reinterpret_cast<CWnd*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!object) return DefWindowProcA(window, message, wParam, lParam);
  if (message != WM_NCDESTROY) return object->WindowProc(message, wParam, lParam);

  LRESULT result = object->WindowProc(message, wParam, lParam);
  SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  object->m_hWnd = nullptr;
  // The application's main window is gone: the message loop has nothing
  // left to serve.
  if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd == object) {
    app->m_pMainWnd = nullptr;
    PostQuitMessage(0);
  }
  object->PostNcDestroy();
  return result;
}

const RECT CFrameWnd::rectDefault = {CW_USEDEFAULT, CW_USEDEFAULT, 0, 0};

BOOL CFrameWnd::Create(const char* className, const char* windowName, DWORD style,
                       const RECT& rect, CWnd* parent, const char* menuName, DWORD exStyle,
                       void* /*context*/) {
  if (!className) className = FrameClass();
  if (!className) return FALSE;
  const bool systemPlaces = rect.left == rectDefault.left && rect.top == rectDefault.top &&
                            rect.right == rectDefault.right && rect.bottom == rectDefault.bottom;
  int x = systemPlaces ? CW_USEDEFAULT : rect.left;
  int y = systemPlaces ? CW_USEDEFAULT : rect.top;
  int width = systemPlaces ? CW_USEDEFAULT : rect.right - rect.left;
  int height = systemPlaces ? CW_USEDEFAULT : rect.bottom - rect.top;
  HMENU menu = menuName ? LoadMenuA(GetModuleHandleA(nullptr), menuName) : nullptr;
  HWND window = CreateWindowExA(exStyle, className, windowName, style, x, y, width, height,
                                parent ? parent->m_hWnd : nullptr, menu,
                                GetModuleHandleA(nullptr), this);
  if (!window && menu) DestroyMenu(menu);
  return window != nullptr;
}

void CFrameWnd::ActivateFrame(int showCommand) {
  ShowWindow(showCommand == -1 ? SW_SHOWNORMAL : showCommand);
}

LRESULT CFrameWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      return CWnd::WindowProc(message, wParam, lParam);
  }
}

void CFrameWnd::OnClose() { DestroyWindow(); }

void CFrameWnd::OnDestroy() { DefWindowProcA(m_hWnd, WM_DESTROY, 0, 0); }

void CFrameWnd::PostNcDestroy() { delete this; }
