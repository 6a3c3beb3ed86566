// The error log: every error text that the server hands to a client or
// catches in its translating frame is also appended, with its time, to the
// table "QRB Errors" of the database "QRB Errors", kept by the database
// server (QRBDAOServer). Writers in every process of the system take turns
// through a named mutex, so that a writer that died holding the turn does
// not stop the others. No error is lost and no caller waits long: a text
// that cannot be stored in time goes to a plain text file beside the
// database instead.
#pragma once

#include <windows.h>

#include <string>

// Appends one record for text. Returns 1 when the record was stored, 0 when
// anything failed (the database server could not be started, the table
// could not be written, no turn or no answer in time); the text then went
// to the fallback file. Never raises; any thread may call it, and it
// returns within the call wait (SetErrorLogWaits) whatever the database
// server does.
int LogErrorToDatabase(const char* text);

// The names of the writers' mutex and of the event that is the lock around
// a write ("CFactoryLogEvent"); a writer takes the mutex first.
extern const char kErrorLogLockName[];
extern const char kErrorLogEventName[];

// "QRB Errors.log" in the database server's database directory: one line,
// "YYYY-MM-DD HH:MM:SS.mmm text", for every text the table did not take.
std::string ErrorLogFallbackPath();

// How long a writer waits for its turn (default 10 s) and a caller for the
// whole write (default 20 s). For tests.
void SetErrorLogWaits(DWORD turnMs, DWORD callMs);

// Makes LogErrorToDatabase the logger of the translating frame and of
// SetErrorText (SetErrorLogger, Win32/TranslatingFrame.h). The server calls
// it once during start-up.
void InstallErrorLog();

// Texts longer than this are cut: the record's size field is a signed
// 16-bit number.
constexpr unsigned kLongestLoggedText = 32767;
