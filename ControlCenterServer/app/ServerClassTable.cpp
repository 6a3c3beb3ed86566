#include "app/ServerClassTable.h"

#include <new>

#include <ControlCenter.h>

#include "app/CFactory.h"
#include "app/ControlCenterServer.h"
#include "component/CCCmpnt.h"

ServerClassEntry serverClassTable[] = {
    {&CLSID_ControlCenterServer, &ControlCenterServer::Create,
     "QRBConsoleComponent:ControlCenterServer", "QRBConsoleComponent.ControlCenterServer.1",
     "QRBConsoleComponent.ControlCenterServer", nullptr, 0},
    {&CLSID_ControlCenterComponent, &ControlCenterComponent::Create,
     "Korvane Control Center Server", "Korvane.Control.Center.Server.1",
     "Korvane.Control.Center.Server", nullptr, 0},
};
const int serverClassCount = sizeof serverClassTable / sizeof serverClassTable[0];

bool RegisterClassObjects() {
  for (int i = 0; i < serverClassCount; ++i) {
    ServerClassEntry& entry = serverClassTable[i];
    entry.classObject = nullptr;
    entry.cookie = 0;
    auto* factory = new (std::nothrow) CFactory(entry);
    if (!factory) return false;
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(*entry.clsid, factory, CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
    if (FAILED(hr)) {
      factory->Release();
      return false;
    }
    entry.classObject = factory;
    entry.cookie = cookie;
  }
  return SUCCEEDED(CoResumeClassObjects());
}

void RevokeClassObjects() {
  CoSuspendClassObjects();
  for (int i = 0; i < serverClassCount; ++i) {
    ServerClassEntry& entry = serverClassTable[i];
    if (entry.cookie) CoRevokeClassObject(entry.cookie);
    entry.cookie = 0;
    if (entry.classObject) entry.classObject->Release();
    entry.classObject = nullptr;
  }
}
