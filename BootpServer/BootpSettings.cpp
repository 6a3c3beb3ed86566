#include "BootpSettings.h"

#include <windows.h>

#include "ActiveConfiguration.h"
#include "BootpMessages.h"
#include "Win32/Holders.h"

const char kPathKey[] = "SOFTWARE\\Brenlow\\Korvane\\Path";
const char kRootValue[] = "Root";
const char kBootpKey[] = "SOFTWARE\\Brenlow\\Korvane\\Bootp";
const char kSilentValue[] = "Silent";
const char kListenPortValue[] = "Listen Port";
const char kListenAddressValue[] = "Listen Address";

namespace {
// What the server's own buffer for the root holds.
constexpr size_t kLongestRoot = 259;
}  // namespace

std::string ReadInstallationRoot() {
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPathKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    RaiseNoInstallationRoot("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Path does not exist.");
  char root[kLongestRoot + 2] = "";
  DWORD size = sizeof root - 1;
  DWORD type = 0;
  LONG status = RegQueryValueExA(key.get(), kRootValue, nullptr, &type,
                                 reinterpret_cast<BYTE*>(root), &size);
  if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && size > kLongestRoot + 1))
    RaiseNoInstallationRoot("the value \"Root\" is longer than 259 characters.");
  if (status == ERROR_SUCCESS && type != REG_SZ)
    status = ERROR_INVALID_DATATYPE;
  if (status != ERROR_SUCCESS) RaiseCannotReadRoot(status);
  root[size] = '\0';
  std::string text = root;
  while (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.pop_back();
  if (text.empty()) RaiseNoInstallationRoot("the value \"Root\" is empty.");
  return text;
}

std::string ActiveConfigurationPath(const std::string& root) {
  return root + "\\active\\active.ini";
}

bool ResetsAreSilent() {
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBootpKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return false;
  DWORD value = 0, size = sizeof value, type = 0;
  if (RegQueryValueExA(key.get(), kSilentValue, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return false;
  return value != 0;
}

ListenSettings ReadListenSettings() {
  ListenSettings settings;
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBootpKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return settings;
  DWORD port = 0, size = sizeof port, type = 0;
  LONG status = RegQueryValueExA(key.get(), kListenPortValue, nullptr, &type,
                                 reinterpret_cast<BYTE*>(&port), &size);
  if (status == ERROR_FILE_NOT_FOUND) return settings;
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof port || port == 0 ||
      port > 65535)
    RaiseBadListenPort();
  settings.enabled = true;
  settings.port = static_cast<unsigned short>(port);
  settings.address = "0.0.0.0";

  // An address is a few characters; anything longer is not one.
  char address[32] = "";
  size = sizeof address - 1;
  status = RegQueryValueExA(key.get(), kListenAddressValue, nullptr, &type,
                            reinterpret_cast<BYTE*>(address), &size);
  if (status == ERROR_FILE_NOT_FOUND) return settings;
  if (status == ERROR_SUCCESS && type == REG_SZ) {
    address[size] = '\0';
    settings.address = address;
    if (IsDottedAddress(settings.address)) return settings;
  }
  RaiseBadListenAddress();
}
