#include "app/ControlCenterServer.h"

#include <new>

#include "Win32/ErrorText.h"

HRESULT ControlCenterServer::Create(IUnknown* outerUnknown, QRBConsoleComponent** ppNewComponent) {
  KORVANE_ASSERT_ARG(ppNewComponent);
  *ppNewComponent = nullptr;
  auto* component = new (std::nothrow) ControlCenterServer(outerUnknown);
  if (!component) return E_OUTOFMEMORY;
  *ppNewComponent = component;
  return S_OK;
}
