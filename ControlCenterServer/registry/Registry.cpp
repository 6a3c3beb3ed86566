#include "registry/Registry.h"

#include <memory>
#include <sstream>
#include <vector>

#include "Win32/ErrorText.h"
#include "Win32/PerThread.h"

namespace {

const char* Shown(const char* name) { return name ? name : ""; }

// The registry texts are built here only, one function per kind.
[[noreturn]] void RaiseKeyText(const char* what, const char* path) {
  std::ostringstream text;
  text << what << " \"" << Shown(path) << "\"";
  throw KeepMessageText(text.str());
}

[[noreturn]] void RaiseGetText(const char* name, LONG code) {
  std::ostringstream text;
  text << "Error getting the registry value for \"" << Shown(name)
       << "\".  The error was: " << SystemErrorText(static_cast<DWORD>(code));
  throw KeepMessageText(text.str());
}

std::string WrongTypeMessage(const char* name) {
  return std::string("The registry value \"") + Shown(name) + "\" did not have the expected type.";
}

// The longest key name the registry allows is 255 characters; a larger
// buffer than that is never needed to enumerate subkeys.
constexpr DWORD kKeyNameBuffer = 256;

// GetStringValue's buffer: one per thread, so that a text read on one thread
// is not replaced under it by a read on another. It keeps its size, so that
// a text is read with one query once the buffer has grown to the longest.
std::vector<char>& StringBuffer() { return PerThread<std::vector<char>>::Get(); }

constexpr size_t kFirstStringBuffer = 512;

}  // namespace

UniqueKey OpenKey(HKEY parent, const char* path) {
  UniqueKey key;
  if (RegOpenKeyExA(parent, path, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) key.release();
  return key;
}

void CloseKey(UniqueKey& key) { key.reset(); }

UniqueKey CreateKey(HKEY parent, const char* path) {
  UniqueKey key;
  DWORD disposition = 0;
  if (RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      key.put(), &disposition) != ERROR_SUCCESS) {
    key.release();
    RaiseKeyText("Could not create key", path);
  }
  return key;
}

void DeleteKey(HKEY parent, const char* path) {
  // An empty path names the parent itself: emptying it would remove
  // everything below, for example the whole of HKEY_LOCAL_MACHINE.
  if (!path || !*path) RaiseKeyText("Could not delete key", path);
  {
    UniqueKey key = CreateKey(parent, path);
    char name[kKeyNameBuffer];
    for (;;) {
      DWORD length = sizeof name;
      if (RegEnumKeyExA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      // A subkey without subkeys of its own (a board's record) goes with one
      // call; only one that has them is emptied first.
      if (RegDeleteKeyA(key.get(), name) != ERROR_SUCCESS) DeleteKey(key.get(), name);
    }
  }
  if (RegDeleteKeyA(parent, path) != ERROR_SUCCESS) RaiseKeyText("Could not delete key", path);
}

void CreateValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
  if (RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
    RaiseKeyText("Could not create value", name);
}

void SetDwordValue(HKEY key, const char* name, DWORD value) {
  CreateValue(key, name, REG_DWORD, &value, sizeof value);
}

void SetStringValue(HKEY key, const char* name, const std::string& text) {
  CreateValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

DWORD GetValue(HKEY key, const char* name, DWORD type, void* buffer, DWORD size) {
  DWORD dtype = REG_NONE;
  LONG result = RegQueryValueExA(key, name, nullptr, &dtype, static_cast<BYTE*>(buffer), &size);
  // A value of another type that also does not fit is reported as what it
  // is, of the wrong type, rather than as a short buffer.
  if (result != ERROR_SUCCESS && !(result == ERROR_MORE_DATA && dtype != type))
    RaiseGetText(name, result);
  KORVANE_ASSERT(dtype == type, WrongTypeMessage(name).c_str());
  return size;
}

DWORD GetDwordValue(HKEY key, const char* name) {
  DWORD value = 0;
  GetValue(key, name, REG_DWORD, &value, sizeof value);
  return value;
}

char* GetStringValue(HKEY key, const char* name) {
  std::vector<char>& buffer = StringBuffer();
  if (buffer.size() < kFirstStringBuffer) buffer.resize(kFirstStringBuffer);
  DWORD dtype = REG_NONE;
  DWORD size = 0;
  LONG result;
  for (;;) {
    // One byte kept back: a value written without its terminating NUL still
    // reads as a terminated text.
    size = static_cast<DWORD>(buffer.size() - 1);
    result = RegQueryValueExA(key, name, nullptr, &dtype, reinterpret_cast<BYTE*>(buffer.data()),
                              &size);
    if (result != ERROR_MORE_DATA) break;
    // The value may grow again before the next read: ask until it fits.
    buffer.resize(static_cast<size_t>(size) + 2);
  }
  if (result != ERROR_SUCCESS) RaiseGetText(name, result);
  KORVANE_ASSERT(dtype == REG_SZ, WrongTypeMessage(name).c_str());
  if (size == 0) return nullptr;
  buffer[size] = '\0';
  return buffer.data();
}

std::string GetStringValueText(HKEY key, const char* name) {
  const char* text = GetStringValue(key, name);
  return text ? std::string(text) : std::string();
}
