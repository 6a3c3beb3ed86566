#include "Win32/ErrorText.h"
#include "Win32/ErrorSource.h"

#include <objbase.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sstream>

#include "QRBConsoleComponent.h"
#include "framework/CException.h"
#include "framework/CString.h"
#include "Win32/PerThread.h"

namespace {

// A raised text must stay readable until its catcher has copied, logged or
// shown it, and a catcher may itself raise and catch further texts while it
// does so (logging goes through the database layer, which raises on
// failure). Each thread therefore keeps its last texts in a ring: a text is
// replaced only after many more raises on the same thread, which no handler
// here comes near. Threads never share a slot, so concurrent raises cannot
// overwrite each other.
constexpr size_t kKeptTexts = 64;

struct KeptTexts {
  std::array<std::string, kKeptTexts> slots;
  size_t next = 0;
};

char* Keep(std::string text) {
  KeptTexts& kept = PerThread<KeptTexts>::Get();
  std::string& slot = kept.slots[kept.next];
  kept.next = (kept.next + 1) % kKeptTexts;
  slot = std::move(text);
  return slot.data();
}

constexpr size_t kRaiseBufferSize = 512;

}  // namespace

void AssertFailed(const char* file, int line, const char* condition,
                  const char* message, const char* timeStamp) {
  std::ostringstream text;
  if (message) text << message << ": ";
  text << "Condition (" << (condition ? condition : "") << ") failed in file "
       << (file ? file : "") << "(" << (timeStamp ? timeStamp : "") << ")"
       << " on line " << line;
  throw Keep(text.str());
}

std::string AssertionSource(const std::string& text) {
  static const char kFailedIn[] = ") failed in file ";
  static const char kOnLine[] = " on line ";
  const size_t failed = text.find(kFailedIn);
  if (failed == std::string::npos || text.rfind("Condition (", failed) == std::string::npos)
    return std::string();
  const size_t file = failed + sizeof kFailedIn - 1;
  const size_t stamp = text.find('(', file);
  const size_t online = stamp == std::string::npos ? stamp : text.find(kOnLine, stamp);
  if (online == std::string::npos) return std::string();
  size_t digits = online + sizeof kOnLine - 1;
  const size_t first = digits;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == first) return std::string();
  return text.substr(file, stamp - file) + ":" + text.substr(first, digits - first);
}

void RaiseFormatted(const char* format, ...) {
  char buffer[kRaiseBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  buffer[sizeof buffer - 1] = '\0';
  throw Keep(buffer);
}

char* KeepMessageText(const std::string& text) { return Keep(text); }

void RaiseComponentError(IQRBConsoleComponent* component, const char* message) {
  char* unchanged = const_cast<char*>(message);
  if (!component) throw unchanged;
  unsigned short size = 0;
  char* own = nullptr;
  HRESULT hr = component->GetErrorText(&size, &own);
  if (FAILED(hr) || !own) {
    if (own) CoTaskMemFree(own);
    throw unchanged;
  }
  std::string joined = message ? message : "";
  joined += own;
  CoTaskMemFree(own);
  if (joined.size() > kRaiseBufferSize - 1) joined.resize(kRaiseBufferSize - 1);
  throw Keep(joined);
}

std::string CaughtExceptionText(const char* unknown, const char* outOfMemory) noexcept {
  try {
    try {
      throw;
    } catch (const char* text) {
      return text ? text : "";
    } catch (const CString& text) {
      return static_cast<const char*>(text);
    } catch (const CException& e) {
      // A pointer to a CException is no text: it falls to the last case.
      char buffer[256] = "";
      e.GetErrorMessage(buffer, sizeof buffer, nullptr);
      return buffer;
    } catch (const std::bad_alloc&) {
      return outOfMemory ? outOfMemory : (unknown ? unknown : "");
    } catch (...) {
      return unknown ? unknown : "";
    }
  } catch (...) {
    return std::string();
  }
}

std::string CaughtExceptionTextIn(const char* place) noexcept {
  try {
    const std::string where = place ? place : "";
    return CaughtExceptionText(("Caught an unknown exception in " + where).c_str(),
                               ("Out of memory in " + where + ".").c_str());
  } catch (...) {
    return std::string();
  }
}

HRESULT CaughtExceptionResult() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

std::string SystemErrorText(DWORD code) {
  char* buffer = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                nullptr, code, 0x400, reinterpret_cast<char*>(&buffer), 0,
                                nullptr);
  std::string text;
  if (length && buffer) text.assign(buffer, length);
  if (buffer) LocalFree(buffer);
  return text;
}
