#include "NotifySink.h"

#include "Win32/ErrorText.h"

NotifySink* NotifySink::Create(std::shared_ptr<EventQueue> queue) {
  return new NotifySink(std::move(queue));
}

HRESULT NotifySink::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IControlCenterNotify)) {
    *object = static_cast<IControlCenterNotify*>(this);
  } else if (IsEqualIID(iid, IID_IBootpNotify)) {
    *object = static_cast<IBootpNotify*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG NotifySink::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

ULONG NotifySink::Release() {
  LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT NotifySink::Queue(ClientEventKind kind, long result, const char* text) {
  try {
    ClientEvent event;
    event.kind = kind;
    event.result = result;
    if (text) event.text = text;
    queue_->Push(std::move(event));
    return S_OK;
  } catch (...) {
    return CaughtExceptionResult();
  }
}

HRESULT NotifySink::SetSelected(LONG success) { return Queue(ClientEventKind::SetSelected, success); }
HRESULT NotifySink::SetRestored(LONG success) { return Queue(ClientEventKind::SetRestored, success); }
HRESULT NotifySink::ChangeProceeding() { return Queue(ClientEventKind::ChangeProceeding); }
HRESULT NotifySink::ClientsNotResponding(unsigned short size, char* text) {
  return Queue(ClientEventKind::ClientsNotResponding, 0, text);
}
HRESULT NotifySink::ConfigurationChanging() { return Queue(ClientEventKind::ConfigurationChanging); }
HRESULT NotifySink::ConfigurationChanged() { return Queue(ClientEventKind::ConfigurationChanged); }

HRESULT NotifySink::Reserved() { return S_OK; }
HRESULT NotifySink::BootpError(unsigned short size, char* text) {
  return Queue(ClientEventKind::BootpError, 0, text);
}
HRESULT NotifySink::BootpInfo(unsigned short size, char* text) {
  return Queue(ClientEventKind::BootpInfo, 0, text);
}
