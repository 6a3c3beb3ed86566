// The one way errors travel through the server: a thrown char* to a
// NUL-terminated ANSI text. The text is the whole error; catchers copy it
// if they need it past the handler.
#pragma once

#include <windows.h>
#include <string>

struct IQRBConsoleComponent;

// The source file's name without its folders, as assertion texts show it.
constexpr const char* KorvaneBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

// Composes "message: Condition (cond) failed in file file(stamp) on line N"
// (the message part only when message is not null) and throws it.
[[noreturn]] void AssertFailed(const char* file, int line, const char* condition,
                               const char* message, const char* timeStamp);

// Formats with printf rules into at most 511 characters and throws it.
[[noreturn]] void RaiseFormatted(const char* format, ...)
    __attribute__((format(ms_printf, 1, 2)));

// Keeps a composed text where a catcher can still read it and returns it for
// the caller to throw.
char* KeepMessageText(const std::string& text);

// Throws message, joined (no separator, at most 511 characters) with the
// component's own GetErrorText when it has one.
[[noreturn]] void RaiseComponentError(IQRBConsoleComponent* component, const char* message);

// The text of the exception being handled; call it only from inside a catch
// handler. A raised text is itself, a CString its text, a CException its
// message. The rest carry no text and get the catcher's words: outOfMemory
// for std::bad_alloc (unknown when it is null), unknown for anything else.
// It never throws: a text that cannot be composed comes back empty.
std::string CaughtExceptionText(const char* unknown, const char* outOfMemory = nullptr) noexcept;

// The same, worded for a place in the server: "Out of memory in PLACE." and
// "Caught an unknown exception in PLACE".
std::string CaughtExceptionTextIn(const char* place) noexcept;

// E_OUTOFMEMORY while a std::bad_alloc is being handled, E_FAIL for anything
// else; only from inside a catch handler.
HRESULT CaughtExceptionResult() noexcept;

// The system's text for a Win32 error code or an HRESULT (FormatMessage,
// neutral language), as the system gives it; empty when it has none.
std::string SystemErrorText(DWORD code);

// The check every module uses, with the condition's text spelled out: the
// text names the check as operators have always read it (a call as it was
// first written, the names of the client's parameters), whatever the code
// that makes the check looks like now. The time stamp is the one the
// compiler gives this source file ("Tue Nov  2 11:20:04 2004").
#define KORVANE_ASSERT_AS(condition, conditionText, message)                   \
  do {                                                                         \
    if (!(condition))                                                          \
      AssertFailed(KorvaneBaseName(__FILE__), __LINE__, conditionText, message, \
                   __TIMESTAMP__);                                             \
  } while (0)

// The same with the condition's text taken from the code.
#define KORVANE_ASSERT(condition, message) KORVANE_ASSERT_AS(condition, #condition, message)

// Null checks of out-parameters name the parameter and carry no message.
#define KORVANE_ASSERT_ARG(pointer) KORVANE_ASSERT(pointer, nullptr)
