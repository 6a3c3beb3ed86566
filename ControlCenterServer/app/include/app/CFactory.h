// The one class factory of the server: creates the objects of one entry of
// the server class table and holds the server with LockServer.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "app/ServerClassTable.h"
#include "Win32/ComObject.h"

class CFactory : public ComObject<IClassFactory> {
 public:
  explicit CFactory(ServerClassEntry& entry);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
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
  ServerClassEntry* entry;
};
