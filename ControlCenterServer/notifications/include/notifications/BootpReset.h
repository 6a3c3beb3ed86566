// The bootp coordination objects of the server's class-wide state and the
// reset handshake that the set change and restore workers run.
//
// The handshake uses two machine-wide events: the worker sets "BOOTP RESET
// EVENT"; the bootp server, having read the new active configuration, sets
// "BOOTP RESET FINISHED".
#pragma once

#include <windows.h>

// How long a worker waits for the bootp server's answer.
constexpr DWORD kBootpResetWaitMs = 120000;

// First-instance initialisation: creates (or opens) the two events, then
// the bootp client posting to mainWindow. Raises on failure, leaving
// nothing created.
void CreateBootpObjects(HWND mainWindow);
// Last-instance teardown, in this order: the client goes first (stopping
// the bootp server), the events are closed last, after the worker has
// ended. Both do nothing when there is nothing to undo.
void DeleteBootpClient();
void CloseBootpEvents();

// The worker's handshake on the events CreateBootpObjects made. Returns 0;
// raises "Error while waiting for the bootp server to finish resetting."
// when no answer comes within the limit.
DWORD BootpReset();

// The handshake on given events. A "finished" left over from an earlier
// reset is cleared first, so only an answer to this request counts.
DWORD BootpResetHandshake(HANDLE resetEvent, HANDLE finishedEvent,
                          DWORD waitLimitMs = kBootpResetWaitMs);
