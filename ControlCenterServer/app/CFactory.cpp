#include "app/CFactory.h"

#include <cstdlib>

#include "Win32/Holders.h"
#include "Win32/QRBConsoleComponent.h"
#include "Win32/TranslatingFrame.h"

CFactory::CFactory(ServerClassEntry& tableEntry) : entry(&tableEntry) {}

HRESULT CFactory::QueryInterface(REFIID iid, void** object) {
  return QueryInterfaceFrom(iid, object, {{IID_IUnknown, this}, {IID_IClassFactory, this}});
}

HRESULT CFactory::CreateInstance(IUnknown* outerUnknown, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  // A creation that fails destroys its object, and with it the last one
  // the server would end before the failure is logged and answered: the
  // call holds the server until then.
  IncrementLockCount();
  struct HoldUntilAnswered {
    ~HoldUntilAnswered() {
      DecrementLockCount();
      CheckShutdown();
    }
  } hold;
  HRESULT result = E_FAIL;
  bool finished = RunInTranslatingFrame([&] {
    if (outerUnknown && !IsEqualIID(iid, IID_IUnknown)) {
      result = CLASS_E_NOAGGREGATION;
      return;
    }
    QRBConsoleComponent* created = nullptr;
    HRESULT hr = entry->create(outerUnknown, &created);
    if (FAILED(hr)) {
      result = hr;
      return;
    }
    if (!created) {
      result = E_OUTOFMEMORY;
      return;
    }
    // The creation reference: given back on every path, so a refused
    // interface or a failed initialisation destroys the object at once.
    auto component = ComPtr<QRBConsoleComponent>::Attach(created);
    hr = component->Initialize();
    if (FAILED(hr)) {
      result = hr;
      return;
    }
    result = component->QueryInterface(iid, object);
  });
  return finished ? result : E_FAIL;
}

HRESULT CFactory::LockServer(BOOL lock) {
  if (lock)
    IncrementLockCount();
  else
    DecrementLockCount();
  CheckShutdown();
  return S_OK;
}

void CFactory::CLSIDtochar(REFCLSID clsid, char* buffer, int size) {
  CoTaskMemHolder<wchar_t> wide;
  if (FAILED(StringFromCLSID(clsid, wide.put())))
    throw const_cast<char*>("StringFromCLSID failed in CFactory::CLSIDtochar()");
  if (!buffer || size <= 0) return;
  size_t converted = std::wcstombs(buffer, wide.get(), static_cast<size_t>(size));
  // A braced CLSID is 38 characters; a buffer too small still ends in a NUL.
  if (converted == static_cast<size_t>(-1)) converted = 0;
  buffer[converted < static_cast<size_t>(size) ? converted : size - 1] = '\0';
}
