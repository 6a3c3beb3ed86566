// Client notifications: the component's side of the observers, requesters
// and bootp subscribers. ClientNotifications does the work; this file binds
// one of them to the component's class-wide state and the main window.
#include "component/CCCmpnt.h"

#include "component/ServerNotifications.h"

ClientNotifications& ServerNotifications() {
  static ClientNotifications notifications([] {
    ClientNotifications::ChangeState state;
    state.mainWindow = [] { return ControlCenterComponent::mainWindow; };
    state.isBusy = [] { return ControlCenterComponent::IsBusy(); };
    state.changeRunning = [] { return ControlCenterComponent::changeInProgress.load(); };
    state.allowThreadToRun = [] { return ControlCenterComponent::hAllowThreadToRun.load(); };
    state.clientTimeoutSeconds = [] { return ControlCenterComponent::clientTimeout.load(); };
    return state;
  }());
  return notifications;
}

// ---- Client methods -------------------------------------------------------------

HRESULT ControlCenterComponent::RegisterNotification(IControlCenterNotify* notifyiface,
                                                     unsigned short descsize, char* description,
                                                     ULONG* cookie) {
  ServerNotifications().RegisterNotification(notifyiface, descsize, description, cookie,
                                             instanceID);
  return S_OK;
}

HRESULT ControlCenterComponent::UnregisterNotification(ULONG cookie) {
  ServerNotifications().UnregisterNotification(cookie, instanceID);
  return S_OK;
}

HRESULT ControlCenterComponent::AllowSetChange(ULONG cookie) {
  ServerNotifications().AllowSetChange(cookie, instanceID);
  return S_OK;
}

HRESULT ControlCenterComponent::RegisterBootpNotification(IUnknown* notifyiface, ULONG* cookie) {
  ServerNotifications().RegisterBootpNotification(notifyiface, cookie, instanceID);
  return S_OK;
}

HRESULT ControlCenterComponent::UnregisterBootpNotification(ULONG cookie) {
  ServerNotifications().UnregisterBootpNotification(cookie, instanceID);
  return S_OK;
}

// Called under busyLock by the destructor.
void ControlCenterComponent::MarkNotificationsDead() {
  ServerNotifications().MarkInstanceDead(instanceID);
  // The end of a running change must not store its text in an instance
  // that is gone; its requester notification, dead now, is not called.
  if (currentComponent == this) currentComponent = nullptr;
}

// ---- What a set change or restore uses --------------------------------------------

void AddRequester(ControlCenterComponent& requester, IControlCenterNotify* notifyiface) {
  ServerNotifications().AddRequester(notifyiface, requester.InstanceID());
}

void AskObservers() { ServerNotifications().AskObservers(); }

void LetWorkerGo() { ServerNotifications().LetWorkerGo(); }

void WithdrawRequester(ControlCenterComponent& requester, IControlCenterNotify* notifyiface) {
  ServerNotifications().WithdrawRequester(notifyiface, requester.InstanceID());
}

void TellChangeEnded(bool restore, WPARAM result) {
  ServerNotifications().TellChangeEnded(restore, result == 0, nullptr);
  // changeInProgress was cleared when the worker ended; set again, it means
  // a new change has been claimed, whose requester currentComponent now is.
  CriticalSectionHolder busy(&ControlCenterComponent::busyLock);
  if (!ControlCenterComponent::changeInProgress) ControlCenterComponent::currentComponent = nullptr;
}

void StopClientTimer() { ServerNotifications().StopTimer(); }

// ---- Main-window messages ----------------------------------------------------------

LRESULT ControlCenterComponent::OnClientsAllowed(WPARAM wParam, LPARAM lParam) {
  return ServerNotifications().OnClientsAllowed(wParam, lParam);
}

LRESULT ControlCenterComponent::OnStartClientTimer(WPARAM wParam, LPARAM lParam) {
  return ServerNotifications().OnStartClientTimer(wParam, lParam);
}

LRESULT ControlCenterComponent::OnStopClientTimer(WPARAM wParam, LPARAM lParam) {
  return ServerNotifications().OnStopClientTimer(wParam, lParam);
}

LRESULT ControlCenterComponent::OnBootpFatalError(WPARAM wParam, LPARAM lParam) {
  return ServerNotifications().OnBootpMessage(WM_BOOTP_FATAL_ERROR, wParam, lParam);
}

LRESULT ControlCenterComponent::OnBootpNonfatalError(WPARAM wParam, LPARAM lParam) {
  return ServerNotifications().OnBootpMessage(WM_BOOTP_NONFATAL_ERROR, wParam, lParam);
}

LRESULT ControlCenterComponent::OnBootpInfo(WPARAM wParam, LPARAM lParam) {
  return ServerNotifications().OnBootpMessage(WM_BOOTP_INFO, wParam, lParam);
}
