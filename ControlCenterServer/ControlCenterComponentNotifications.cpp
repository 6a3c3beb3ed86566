// Client notifications: observers, the answer timer and the bootp
// messages. Not built yet: the client methods answer E_NOTIMPL with a text
// saying so, and the main-window handlers only give back what a message
// carries.
#include "CCCmpnt.h"

HRESULT ControlCenterComponent::RegisterNotification(IControlCenterNotify*, unsigned short,
                                                     char*, ULONG*) {
  return NotAvailableYet("RegisterNotification");
}

HRESULT ControlCenterComponent::UnregisterNotification(ULONG) {
  return NotAvailableYet("UnregisterNotification");
}

HRESULT ControlCenterComponent::AllowSetChange(ULONG) {
  return NotAvailableYet("AllowSetChange");
}

HRESULT ControlCenterComponent::RegisterBootpNotification(IUnknown*, ULONG*) {
  return NotAvailableYet("RegisterBootpNotification");
}

HRESULT ControlCenterComponent::UnregisterBootpNotification(ULONG) {
  return NotAvailableYet("UnregisterBootpNotification");
}

void ControlCenterComponent::MarkNotificationsDead() {}

LRESULT ControlCenterComponent::OnClientsAllowed(WPARAM, LPARAM) { return 0; }

LRESULT ControlCenterComponent::OnStartClientTimer(WPARAM, LPARAM) { return 0; }

LRESULT ControlCenterComponent::OnStopClientTimer(WPARAM, LPARAM) { return 0; }

// A bootp message's text is the receiver's to free, whether or not anyone
// hears it.
LRESULT ControlCenterComponent::OnBootpFatalError(WPARAM, LPARAM lParam) {
  CoTaskMemFree(reinterpret_cast<void*>(lParam));
  return 0;
}

LRESULT ControlCenterComponent::OnBootpNonfatalError(WPARAM, LPARAM lParam) {
  CoTaskMemFree(reinterpret_cast<void*>(lParam));
  return 0;
}

LRESULT ControlCenterComponent::OnBootpInfo(WPARAM, LPARAM lParam) {
  CoTaskMemFree(reinterpret_cast<void*>(lParam));
  return 0;
}
