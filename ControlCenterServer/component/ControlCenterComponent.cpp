// Construction, destruction and identity of a ControlCenterComponent.
#include "component/CCCmpnt.h"

#include <new>

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
  if (!object) return E_POINTER;
  IUnknown* answer = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IQRBConsoleComponent))
    answer = static_cast<IQRBConsoleComponent*>(this);
  else if (IsEqualIID(iid, IID_IControlCenterComponent))
    answer = &clientInterface;
  else if (IsEqualIID(iid, IID_IBootpNotificationSource))
    answer = &bootpSource;
  *object = answer;
  if (!answer) return E_NOINTERFACE;
  answer->AddRef();
  return S_OK;
}
