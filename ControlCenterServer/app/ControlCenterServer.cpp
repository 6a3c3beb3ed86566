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

HRESULT ControlCenterServer::InnerQueryInterface(REFIID iid, void** object) {
  return ForwardQueryInterface(iid, object);
}

ULONG ControlCenterServer::InnerAddRef() { return ForwardAddRef(); }

ULONG ControlCenterServer::InnerRelease() { return ForwardRelease(); }

HRESULT ControlCenterServer::InnerGetErrorText(unsigned short* size, char** text) {
  return ForwardGetErrorText(size, text);
}
