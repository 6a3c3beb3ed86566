#include "app/Registration.h"

#include <cstring>
#include <string>

#include "app/CFactory.h"
#include "app/ServerClassTable.h"
#include "KorvaneRegistry.h"
#include "Win32/Holders.h"

namespace {

std::string ClassKeyPath(const ServerClassEntry& entry) {
  char clsid[64];
  CFactory::CLSIDtochar(*entry.clsid, clsid, sizeof clsid);
  return std::string("CLSID\\") + clsid;
}

// The class's "AppID" value, empty when it has none.
std::string AppIdOf(HKEY classKey) {
  char appId[64] = "";
  DWORD type = 0;
  DWORD size = sizeof appId - 1;
  if (RegQueryValueExA(classKey, "AppID", nullptr, &type, reinterpret_cast<BYTE*>(appId),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return std::string();
  appId[size < sizeof appId ? size : sizeof appId - 1] = '\0';
  return appId;
}

void SetString(HKEY key, const char* name, const char* text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text) + 1));
}

}  // namespace

void RegisterServerClasses(HMODULE module) {
  for (int i = 0; i < serverClassCount; ++i) {
    const ServerClassEntry& entry = serverClassTable[i];
    KorvaneRegistry::RegisterServer(module, *entry.clsid, entry.friendlyName,
                                    entry.versionIndependentProgId, entry.progId,
                                    COMLocalServer);
  }
}

void RegisterAppId(const char* appName) {
  char sharedAppId[64];
  CFactory::CLSIDtochar(*serverClassTable[0].clsid, sharedAppId, sizeof sharedAppId);
  for (int i = 0; i < serverClassCount; ++i) {
    UniqueKey classKey;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ClassKeyPath(serverClassTable[i]).c_str(), 0,
                      KEY_ALL_ACCESS, classKey.put()) != ERROR_SUCCESS)
      continue;
    UniqueKey appIdKey;
    std::string appId = AppIdOf(classKey.get());
    if (appId.empty()) {
      SetString(classKey.get(), nullptr, appName);
      SetString(classKey.get(), "AppID", sharedAppId);
      RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string("AppID\\") + sharedAppId).c_str(), 0,
                      nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, appIdKey.put(),
                      nullptr);
    } else {
      RegOpenKeyExA(HKEY_CLASSES_ROOT, ("AppID\\" + appId).c_str(), 0, KEY_ALL_ACCESS,
                    appIdKey.put());
    }
    if (appIdKey) {
      SetString(appIdKey.get(), "RunAs", "Interactive User");
      DWORD level = 1;
      RegSetValueExA(appIdKey.get(), "AuthenticationLevel", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&level), sizeof level);
    }
  }
}

void UnregisterServerClasses() {
  for (int i = 0; i < serverClassCount; ++i) {
    const ServerClassEntry& entry = serverClassTable[i];
    UniqueKey classKey;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ClassKeyPath(entry).c_str(), 0, KEY_READ,
                      classKey.put()) == ERROR_SUCCESS) {
      std::string appId = AppIdOf(classKey.get());
      UniqueKey appIds;
      // The second class finds the shared AppID gone already; that is fine.
      if (!appId.empty() &&
          RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_ALL_ACCESS, appIds.put()) ==
              ERROR_SUCCESS)
        RegDeleteTreeA(appIds.get(), appId.c_str());
    }
    classKey.reset();
    KorvaneRegistry::UnregisterServer(*entry.clsid, entry.versionIndependentProgId,
                                      entry.progId, COMLocalServer);
  }
}
