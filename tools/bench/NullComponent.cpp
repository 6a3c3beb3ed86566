#include "NullComponent.h"

#include <objbase.h>

#include <atomic>

#include "ControlCenter.h"
#include "Win32/ComObject.h"
#include "Win32/ErrorText.h"

const CLSID kNullComponentClass = {
    0x6b1f3e52, 0x8c1d, 0x4a57, {0x9e, 0x0b, 0x2d, 0x4c, 0x7a, 0x9f, 0x1e, 0x63}};

namespace {

const char kClassKey[] = "Software\\Classes\\CLSID\\{6B1F3E52-8C1D-4A57-9E0B-2D4C7A9F1E63}";

HANDLE g_lastReleased = nullptr;
std::atomic<long> g_objects{0};

class NullComponent final : public ComObject<IControlCenterComponent> {
 public:
  NullComponent() { ++g_objects; }
  ~NullComponent() override {
    if (--g_objects == 0) SetEvent(g_lastReleased);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return QueryInterfaceFrom(iid, object,
                              {{IID_IUnknown, this},
                               {IID_IQRBConsoleComponent, this},
                               {IID_IControlCenterComponent, this}});
  }

  HRESULT STDMETHODCALLTYPE GetErrorText(unsigned short* size, char** text) override {
    *size = 0;
    *text = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ListSets(unsigned short* numfiles, unsigned short** indexes,
                                     unsigned short* buffsize, char** names) override {
    *numfiles = 0;
    *indexes = nullptr;
    *buffsize = 0;
    *names = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SelectSet(unsigned short, char*, IControlCenterNotify*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RestoreBackup(IControlCenterNotify*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BackupExists(unsigned char* flag) override {
    *flag = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SendBoardCommand(LONG, unsigned short, unsigned short*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetClientTimeout(unsigned short) override { return E_NOTIMPL; }
  // The one method the benchmark calls: nothing at all.
  HRESULT STDMETHODCALLTYPE IsSetChanging(unsigned char* changing) override {
    *changing = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterNotification(IControlCenterNotify*, unsigned short, char*,
                                                 ULONG* cookie) override {
    *cookie = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnregisterNotification(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AllowSetChange(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetActiveSetName(unsigned short* size, char** name) override {
    *size = 0;
    *name = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetBackupSetName(unsigned short* size, char** name) override {
    *size = 0;
    *name = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ActiveSetExists(unsigned char* exists) override {
    *exists = 0;
    return E_NOTIMPL;
  }
};

class NullFactory : public StaticComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return QueryInterfaceFrom(iid, object, {{IID_IUnknown, this}, {IID_IClassFactory, this}});
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    NullComponent* component = new NullComponent();
    const HRESULT hr = component->QueryInterface(iid, object);
    component->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

void RegisterNullComponent(const std::string& exePath) {
  HKEY key = nullptr;
  const std::string serverKey = std::string(kClassKey) + "\\LocalServer32";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, serverKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    RaiseFormatted("Could not register the do-nothing component.");
  const std::string command = "\"" + exePath + "\"";
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                 static_cast<DWORD>(command.size() + 1));
  RegCloseKey(key);
}

void UnregisterNullComponent() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kClassKey); }

int ServeNullComponent() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
  g_lastReleased = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  static NullFactory factory;
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(kNullComponentClass, &factory, CLSCTX_LOCAL_SERVER,
                                   REGCLS_SINGLEUSE, &cookie))) {
    CoUninitialize();
    return 3;
  }
  // A client that never comes is given up on after ten minutes.
  WaitForSingleObject(g_lastReleased, 10 * 60 * 1000);
  CoRevokeClassObject(cookie);
  CoUninitialize();
  return 0;
}
