#include "KorvaneRegistry.h"

#include <objbase.h>

#include <cstring>
#include <string>

#include "Win32/Holders.h"

namespace {

std::string BracedText(const CLSID& clsid) {
  CoTaskMemHolder<wchar_t> wide;
  if (FAILED(StringFromCLSID(clsid, wide.put()))) return std::string();
  char text[64] = "";
  size_t converted = std::wcstombs(text, wide.get(), sizeof text - 1);
  if (converted == static_cast<size_t>(-1)) return std::string();
  text[converted] = '\0';
  return text;
}

// Creates (or opens) HKCR\path and sets its value name (null: the default
// value) to text.
LONG SetText(const std::string& path, const char* name, const std::string& text) {
  UniqueKey key;
  LONG status = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(),
                                nullptr);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

std::string ReadText(const std::string& path) {
  char text[256] = "";
  LONG size = sizeof text;
  if (RegQueryValueA(HKEY_CLASSES_ROOT, path.c_str(), text, &size) != ERROR_SUCCESS) return {};
  text[sizeof text - 1] = '\0';
  return text;
}

LONG DeleteTree(const std::string& path) {
  LONG status = RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
  if (status == ERROR_SUCCESS) status = RegDeleteKeyA(HKEY_CLASSES_ROOT, path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// The command COM runs: the path, quoted when it holds a space so that the
// appended switch is not taken for part of it.
std::string ServerCommand(HMODULE module, int serverType) {
  char path[MAX_PATH] = "";
  DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) return std::string();
  std::string command = path;
  if (serverType == COMLocalServer && command.find(' ') != std::string::npos)
    command = "\"" + command + "\"";
  return command;
}

}  // namespace

HRESULT KorvaneRegistry::RegisterServer(HMODULE module, const CLSID& clsid,
                                        const char* friendlyName,
                                        const char* versionIndependentProgId, const char* progId,
                                        int serverType) {
  const std::string clsidText = BracedText(clsid);
  const std::string command = ServerCommand(module, serverType);
  if (clsidText.empty() || command.empty()) return E_FAIL;
  const std::string name = friendlyName ? friendlyName : "";
  const std::string classKey = "CLSID\\" + clsidText;

  LONG status = SetText(classKey, nullptr, name);
  const bool local = serverType == COMLocalServer;
  const std::string serverKey = classKey + (local ? "\\LocalServer32" : "\\InprocServer32");
  if (status == ERROR_SUCCESS) status = SetText(serverKey, nullptr, command);
  // A DLL we register can live in any apartment, the multithreaded one of
  // the server included.
  if (status == ERROR_SUCCESS && !local) status = SetText(serverKey, "ThreadingModel", "Both");
  if (status == ERROR_SUCCESS && progId && *progId) {
    status = SetText(classKey + "\\ProgID", nullptr, progId);
    if (status == ERROR_SUCCESS) status = SetText(progId, nullptr, name);
    if (status == ERROR_SUCCESS) status = SetText(std::string(progId) + "\\CLSID", nullptr, clsidText);
  }
  if (status == ERROR_SUCCESS && versionIndependentProgId && *versionIndependentProgId) {
    const std::string vi = versionIndependentProgId;
    status = SetText(classKey + "\\VersionIndependentProgID", nullptr, vi);
    if (status == ERROR_SUCCESS) status = SetText(vi, nullptr, name);
    if (status == ERROR_SUCCESS) status = SetText(vi + "\\CLSID", nullptr, clsidText);
    if (status == ERROR_SUCCESS && progId && *progId) status = SetText(vi + "\\CurVer", nullptr, progId);
  }
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT KorvaneRegistry::UnregisterServer(const CLSID& clsid, const char* versionIndependentProgId,
                                          const char* progId, int /*serverType*/) {
  const std::string clsidText = BracedText(clsid);
  if (clsidText.empty()) return E_FAIL;
  LONG status = ERROR_SUCCESS;
  for (const char* id : {progId, versionIndependentProgId}) {
    if (!id || !*id) continue;
    const std::string named = ReadText(std::string(id) + "\\CLSID");
    if (!named.empty() && _stricmp(named.c_str(), clsidText.c_str()) != 0) continue;
    if (LONG s = DeleteTree(id); s != ERROR_SUCCESS && status == ERROR_SUCCESS) status = s;
  }
  if (LONG s = DeleteTree("CLSID\\" + clsidText); s != ERROR_SUCCESS && status == ERROR_SUCCESS)
    status = s;
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}
