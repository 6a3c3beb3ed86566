// Construction, destruction and identity of a ControlCenterComponent.
#include "component/CCCmpnt.h"

#include <new>

#include "Win32/ComObject.h"
#include "Win32/ErrorText.h"
#include "Win32/TranslatingFrame.h"

HRESULT ControlCenterComponent::Create(IUnknown* outerUnknown,
                                       QRBConsoleComponent** ppNewComponent) {
  KORVANE_ASSERT_ARG(ppNewComponent);
  *ppNewComponent = nullptr;
  auto* component = new (std::nothrow) ControlCenterComponent(outerUnknown);
  if (!component) return E_OUTOFMEMORY;
  *ppNewComponent = component;
  return S_OK;
}

ControlCenterComponent::ControlCenterComponent(IUnknown* outerUnknown)
    : QRBConsoleComponent(outerUnknown) {
  CriticalSectionHolder busy(&busyLock);
  ++instanceCount;
  instanceID = nextInstanceID++;
  if (instanceCount == 1) {
    try {
      BuildClassState();
    } catch (...) {
      // The creation fails: the next instance is the first one again.
      --instanceCount;
      throw;
    }
  }
}

ControlCenterComponent::~ControlCenterComponent() {
  // Nothing may leave a destructor: what the teardown raises is logged and
  // dropped, and the rest of the teardown still runs.
  auto logFailure = [](auto&& step) {
    try {
      step();
    } catch (...) {
      GetErrorLogger()(
          CaughtExceptionTextIn("ControlCenterComponent::~ControlCenterComponent").c_str());
    }
  };
  CriticalSectionHolder busy(&busyLock);
  logFailure([this] { MarkNotificationsDead(); });
  if (instanceCount != 0 && --instanceCount == 0) logFailure([] { TearDownClassState(); });
}

HRESULT ControlCenterComponent::QueryInterface(REFIID iid, void** object) {
  return QueryInterfaceFrom(iid, object,
                            {{IID_IUnknown, this},
                             {IID_IQRBConsoleComponent, this},
                             {IID_IControlCenterComponent, &clientInterface},
                             {IID_IBootpNotificationSource, &bootpSource}});
}
