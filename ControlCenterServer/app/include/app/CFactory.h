// The one class factory of the server: creates the objects of one entry of
// the server class table and holds the server with LockServer.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "app/ServerClassTable.h"

class CFactory : public IClassFactory {
 public:
  explicit CFactory(ServerClassEntry& entry);
  virtual ~CFactory() = default;
  CFactory(const CFactory&) = delete;
  CFactory& operator=(const CFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // Aggregation only with IID_IUnknown (else CLASS_E_NOAGGREGATION, nothing
  // made). A raised text is logged and gives E_FAIL.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outerUnknown, REFIID iid,
                                           void** object) override;
  // Counts a lock up or down, then lets the server end when nothing holds it.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // clsid as braced text into buffer (callers use 64 characters). Raises
  // when the conversion fails.
  static void CLSIDtochar(REFCLSID clsid, char* buffer, int size);

 private:
  LONG refCount = 1;
  ServerClassEntry* entry;
};
