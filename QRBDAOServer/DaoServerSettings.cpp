#include "DaoServerSettings.h"

#include <algorithm>
#include <climits>

#include "Win32/Holders.h"

const char kDaoServerKey[] = "SOFTWARE\\Brenlow\\Korvane\\QRB DAO Server";

namespace {

constexpr DWORD kDefaultShutdownDelayMs = 5000;
// Long enough for any burst; a server that stays longer only costs memory.
constexpr DWORD kLongestShutdownDelayMs = 600000;

bool ReadString(const char* keyName, const char* valueName, std::string& value) {
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return false;
  char buffer[MAX_PATH + 1] = "";
  DWORD size = sizeof buffer - 1, type = 0;
  if (RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                       &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  buffer[std::min<DWORD>(size, sizeof buffer - 1)] = '\0';
  value = buffer;
  while (!value.empty() && (value.back() == '\\' || value.back() == '/')) value.pop_back();
  return !value.empty();
}

}  // namespace

std::string DatabaseDirectory() {
  std::string directory;
  if (ReadString(kDaoServerKey, "Database Directory", directory)) return directory;
  if (ReadString("SOFTWARE\\Brenlow\\Korvane\\Path", "Root", directory))
    return directory + "\\Database";
  char program[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  directory = program;
  directory.erase(directory.find_last_of("\\/") == std::string::npos
                      ? 0
                      : directory.find_last_of("\\/"));
  return directory + "\\Database";
}

namespace {

// A DWORD value of the server's key, when there is one that is not 0.
bool ReadLimit(const char* valueName, DWORD& value) {
  UniqueKey key;
  DWORD read = 0, size = sizeof read, type = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDaoServerKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
      RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&read),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD || read == 0)
    return false;
  value = read;
  return true;
}

}  // namespace

DaoLimits ConnectionLimits() {
  DaoLimits limits;
  DWORD value = 0;
  if (ReadLimit("Statement Time Limit", value)) limits.statementMs = value;
  if (ReadLimit("Record Set Row Limit", value))
    limits.recordSetRows = static_cast<long>(std::min<DWORD>(value, LONG_MAX));
  if (ReadLimit("Handle Limit", value)) limits.handles = value;
  return limits;
}

DWORD ShutdownDelayMs() {
  UniqueKey key;
  DWORD delay = kDefaultShutdownDelayMs, size = sizeof delay, type = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDaoServerKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
      RegQueryValueExA(key.get(), "Shutdown Delay", nullptr, &type,
                       reinterpret_cast<BYTE*>(&delay), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return kDefaultShutdownDelayMs;
  return std::min(delay, kLongestShutdownDelayMs);
}
