// The frame that the class factory's CreateInstance and a console
// component's Release run their bodies in: whatever the body throws becomes
// a text, goes to the error log, and when the log cannot take it, to an
// "EXCEPTION" message box.
#pragma once

#include "ErrorText.h"
// What the frame translates besides raised texts.
#include "framework/CException.h"
#include "framework/CString.h"

// What the frame does with a caught text. Both are replaceable so that tests
// can watch them and nothing in a test ever waits on a message box.
using ErrorLogger = int (*)(const char* text);
using ExceptionShower = void (*)(const char* text);

// The logger returns 1 when the text was stored. Until one is installed
// nothing is stored and every text goes to the shower.
void SetErrorLogger(ErrorLogger logger);
ErrorLogger GetErrorLogger();
void SetExceptionShower(ExceptionShower shower);
// Hands text to the logger; shows it when the logger could not store it.
// The default shower puts the "EXCEPTION" box up from a thread of its own
// and returns at once.
void ReportCaughtText(const char* text);

extern const char kUnknownExceptionText[];

// Runs body; returns true when it finished, false when it threw (the text was
// then reported as above).
template <class Body>
bool RunInTranslatingFrame(Body&& body) {
  try {
    body();
    return true;
  } catch (...) {
    ReportCaughtText(CaughtExceptionText(kUnknownExceptionText).c_str());
    return false;
  }
}
