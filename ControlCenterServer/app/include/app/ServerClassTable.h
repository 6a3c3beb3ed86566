// The server's COM classes: what each one creates and how it is registered,
// and the registration of their class objects with COM.
#pragma once

#include <windows.h>
#include <objbase.h>

class QRBConsoleComponent;

// Makes a new object with reference count 1 (outerUnknown may be null).
using ComponentCreator = HRESULT (*)(IUnknown* outerUnknown, QRBConsoleComponent** ppNewComponent);

struct ServerClassEntry {
  const CLSID* clsid;
  ComponentCreator create;
  const char* friendlyName;
  const char* progId;
  const char* versionIndependentProgId;
  // Set while the class object is registered with COM.
  IClassFactory* classObject;
  DWORD cookie;
};

// Entry 0: the plain console component; entry 1: ControlCenterComponent.
// The CLSID of entry 0 is also the AppID both classes share.
extern ServerClassEntry serverClassTable[];
extern const int serverClassCount;

// Registers one class object (a CFactory) per entry, suspended, then
// resumes them all. Stops at the first failure, leaving the earlier ones
// registered and suspended, and returns false.
bool RegisterClassObjects();
// Suspends and revokes every registered class object and releases it.
void RevokeClassObjects();
