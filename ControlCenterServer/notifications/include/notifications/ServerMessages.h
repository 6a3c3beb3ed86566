// The server's main window and the messages its thread handles. The
// notifications post to it from COM threads and workers; the component and
// the main frame define what each message does.
#pragma once

#include <windows.h>

// Messages to the server's main window (application message base + n).
// Each handler takes the message's two parameters and returns 0.
constexpr UINT WM_SETCHANGE_DONE = WM_APP + 1;        // posted: wParam 0 success, 1 failure
constexpr UINT WM_RESTORE_DONE = WM_APP + 2;          // posted: wParam as above
constexpr UINT WM_CLIENTS_ALLOWED = WM_APP + 3;       // posted
constexpr UINT WM_START_CLIENT_TIMER = WM_APP + 4;    // sent
constexpr UINT WM_STOP_CLIENT_TIMER = WM_APP + 5;     // sent
constexpr UINT WM_BOOTP_FATAL_ERROR = WM_APP + 6;     // posted: lParam CoTaskMemAlloc'd text
constexpr UINT WM_BOOTP_NONFATAL_ERROR = WM_APP + 7;  // posted: lParam as above
constexpr UINT WM_BOOTP_INFO = WM_APP + 8;            // posted: lParam as above

// The server's main window, or null where there is none (a process that
// only uses the server's classes, as the tests do).
HWND ServerMainWindow();
