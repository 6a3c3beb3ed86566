#include "NotifySink.h"

#include "Win32/ErrorText.h"

NotifySink* NotifySink::Create(std::shared_ptr<EventQueue> queue) {
  return new NotifySink(std::move(queue));
}

HRESULT NotifySink::QueryInterface(REFIID iid, void** object) {
  IControlCenterNotify* notify = this;
  return QueryInterfaceFrom(iid, object,
                            {{IID_IUnknown, notify},
                             {IID_IControlCenterNotify, notify},
                             {IID_IBootpNotify, static_cast<IBootpNotify*>(this)}});
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
