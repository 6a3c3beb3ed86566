// The error log: every error text that the server hands to a client or
// catches in its translating frame is also appended, with its time, to the
// table "QRB Errors" of the database "QRB Errors", kept by the database
// server (QRBDAOServer). Writers in every process of the system take turns
// through the named event "CFactoryLogEvent".
#pragma once

// Appends one record for text. Returns 1 when the record was stored, 0 when
// anything failed (the database server could not be started, the table
// could not be opened, ...). Never raises; any thread may call it.
int LogErrorToDatabase(const char* text);

// Makes LogErrorToDatabase the logger of the translating frame and of
// SetErrorText (SetErrorLogger, Win32/TranslatingFrame.h). The server calls
// it once during start-up.
void InstallErrorLog();

// Texts longer than this are cut: the record's size field is a signed
// 16-bit number.
constexpr unsigned kLongestLoggedText = 32767;
