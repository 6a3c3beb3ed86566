// The DLL's entry points: class object, unloading, and registration as an
// in-process server that may live in any apartment ("Both"): the control
// center server creates it from its multithreaded apartment.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include <string>

#include "BootpServerObject.h"
#include "Win32/Holders.h"

namespace {

HMODULE module = nullptr;

const char kClsidKey[] = "CLSID\\{9F1AA479-79F0-4011-AC63-335A311EAF9E}";
const char kDescription[] = "Korvane Bootp Server";
const char kProgId[] = "Korvane.Bootp.Server.1";
const char kIndependentProgId[] = "Korvane.Bootp.Server";

HRESULT SetText(HKEY parent, const std::string& subkey, const char* name, const std::string& text) {
  UniqueKey key;
  LONG status = RegCreateKeyExA(parent, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                key.put(), nullptr);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExA(key.get(), name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>(text.size() + 1));
  return HRESULT_FROM_WIN32(status);
}

void DeleteTree(const char* subkey) {
  RegDeleteTreeA(HKEY_CLASSES_ROOT, subkey);
  RegDeleteKeyA(HKEY_CLASSES_ROOT, subkey);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_BootpServer)) return CLASS_E_CLASSNOTAVAILABLE;
  return GetBootpServerFactory(riid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return ModuleInUse() ? S_FALSE : S_OK; }

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  char path[MAX_PATH + 1] = "";
  DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
  const std::string clsid = kClsidKey;
  const std::string clsidText = clsid.substr(clsid.find('{'));
  HRESULT steps[] = {
      SetText(HKEY_CLASSES_ROOT, clsid, nullptr, kDescription),
      SetText(HKEY_CLASSES_ROOT, clsid + "\\InprocServer32", nullptr, path),
      SetText(HKEY_CLASSES_ROOT, clsid + "\\InprocServer32", "ThreadingModel", "Both"),
      SetText(HKEY_CLASSES_ROOT, clsid + "\\ProgID", nullptr, kProgId),
      SetText(HKEY_CLASSES_ROOT, clsid + "\\VersionIndependentProgID", nullptr,
              kIndependentProgId),
      SetText(HKEY_CLASSES_ROOT, kProgId, nullptr, kDescription),
      SetText(HKEY_CLASSES_ROOT, std::string(kProgId) + "\\CLSID", nullptr, clsidText),
      SetText(HKEY_CLASSES_ROOT, kIndependentProgId, nullptr, kDescription),
      SetText(HKEY_CLASSES_ROOT, std::string(kIndependentProgId) + "\\CLSID", nullptr, clsidText),
      SetText(HKEY_CLASSES_ROOT, std::string(kIndependentProgId) + "\\CurVer", nullptr, kProgId),
  };
  for (HRESULT hr : steps)
    if (FAILED(hr)) return SELFREG_E_CLASS;
  return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  DeleteTree(kClsidKey);
  DeleteTree(kProgId);
  DeleteTree(kIndependentProgId);
  return S_OK;
}
