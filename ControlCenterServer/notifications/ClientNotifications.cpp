#include "notifications/ClientNotifications.h"

#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "notifications/ServerMessages.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// Thread timers call a plain function with nothing but their id; this maps
// the id back to the object whose timer it is.
CriticalSection timerOwnersLock;
std::map<UINT_PTR, ClientNotifications*>& TimerOwners() {
  static std::map<UINT_PTR, ClientNotifications*> owners;
  return owners;
}

ClientNotifications* TimerOwner(UINT_PTR id) {
  CriticalSectionHolder hold(&timerOwnersLock);
  auto found = TimerOwners().find(id);
  return found == TimerOwners().end() ? nullptr : found->second;
}

void SetTimerOwner(UINT_PTR id, ClientNotifications* owner) {
  CriticalSectionHolder hold(&timerOwnersLock);
  if (owner)
    TimerOwners()[id] = owner;
  else
    TimerOwners().erase(id);
}

// Observers answered the change numbered number when each has allowed it
// or is withdrawn.
bool Answered(const ControlCenterNotification& ccn, unsigned long number) {
  return ccn.IsDead() || ccn.Allowed() == number;
}

}  // namespace

ClientNotifications::ClientNotifications(ChangeState changeState) : state(std::move(changeState)) {}

ClientNotifications::~ClientNotifications() {
  CriticalSectionHolder hold(&timerLock);
  if (timerId) {
    KillTimer(nullptr, timerId);
    SetTimerOwner(timerId, nullptr);
    timerId = 0;
  }
}

// ---- Client calls -------------------------------------------------------------

void ClientNotifications::RegisterNotification(IControlCenterNotify* notifyiface,
                                               unsigned short descsize, const char* description,
                                               unsigned long* cookie, unsigned long instanceID) {
  KORVANE_ASSERT_ARG(notifyiface);
  KORVANE_ASSERT_ARG(description);
  KORVANE_ASSERT_ARG(descsize);
  KORVANE_ASSERT_ARG(cookie);
  registeredNotifications.Append(
      std::make_unique<ControlCenterNotification>(notifyiface, description, instanceID, cookie));
}

void ClientNotifications::UnregisterNotification(unsigned long cookie, unsigned long instanceID) {
  registeredNotifications.MarkCookieDead(cookie, instanceID);
  // The withdrawn observer may have been the last one the change waited for.
  if (state.allowThreadToRun()) ProceedIfAllAnswered();
}

void ClientNotifications::AllowSetChange(unsigned long cookie, unsigned long instanceID) {
  auto IsBusy = [this] { return state.isBusy(); };
  KORVANE_ASSERT(IsBusy(), "There is no configuration change in progress.");
  unsigned long number = changeNumber.load();
  unsigned all = 0, answered = 0;
  registeredNotifications.ForEach<ControlCenterNotification>([&](ControlCenterNotification& ccn) {
    ++all;
    if (ccn == cookie) {
      KORVANE_ASSERT(ccn.InstanceID() == instanceID,
                     "A client attempted to access another client's notification.");
      ccn.SetAllowed(number);
      ++answered;
    } else if (Answered(ccn, number)) {
      ++answered;
    }
  });
  if (all == answered) AllAnswered();
}

void ClientNotifications::RegisterBootpNotification(IUnknown* notifyiface, unsigned long* cookie,
                                                    unsigned long instanceID) {
  KORVANE_ASSERT_ARG(cookie);
  std::unique_ptr<BootpNotification> bpn(new (std::nothrow)
                                             BootpNotification(notifyiface, instanceID, cookie));
  KORVANE_ASSERT(bpn, "Could not create a Bootp notification");
  bootpNotifications.Append(std::move(bpn));
}

void ClientNotifications::UnregisterBootpNotification(unsigned long cookie,
                                                      unsigned long instanceID) {
  bootpNotifications.MarkCookieDead(cookie, instanceID);
}

void ClientNotifications::AddRequester(IControlCenterNotify* notifyiface,
                                       unsigned long instanceID) {
  std::unique_ptr<ControlCenterNotification> pCCNotify(
      new (std::nothrow) ControlCenterNotification(notifyiface, "", instanceID, nullptr));
  KORVANE_ASSERT_ARG(pCCNotify);
  setChangeNotifications.Append(std::move(pCCNotify));
}

void ClientNotifications::WithdrawRequester(IControlCenterNotify* notifyiface,
                                            unsigned long instanceID) {
  setChangeNotifications.ForEachLive<ControlCenterNotification>(
      [&](ControlCenterNotification& requester) {
        if (requester.Notify() == notifyiface && requester.InstanceID() == instanceID)
          setChangeNotifications.MarkDead(requester);
      });
}

void ClientNotifications::MarkInstanceDead(unsigned long instanceID) {
  registeredNotifications.MarkInstanceDead(instanceID);
  setChangeNotifications.MarkInstanceDead(instanceID);
  bootpNotifications.MarkInstanceDead(instanceID);
}

// ---- The change protocol ----------------------------------------------------------

void ClientNotifications::AskObservers() {
  // 0 means "not allowed", so it never names a change.
  unsigned long number = ++changeNumber;
  if (number == 0) number = ++changeNumber;
  (void)number;

  bool asked = false, lostOne = false;
  registeredNotifications.ForEachLive<ControlCenterNotification>(
      [&](ControlCenterNotification& ccn) {
        if (!asked) StartTimer();
        asked = true;
        if (ClientIsGone(ccn.Notify()->ConfigurationChanging())) {
          registeredNotifications.MarkDead(ccn);
          lostOne = true;
        }
      });
  if (!asked)
    LetWorkerGo();
  else if (lostOne)
    // A client that is gone never answers; it need not be waited for.
    ProceedIfAllAnswered();
}

void ClientNotifications::LetWorkerGo() {
  StopTimer();
  if (HANDLE allow = state.allowThreadToRun()) SetEvent(allow);
}

void ClientNotifications::TellChangeEnded(bool restore, bool success,
                                          const std::function<void()>& storeFailureText) {
  unsigned long ending = changeNumber.load();
  // Before the walk: the text goes into a component instance, whose lock
  // comes before the lists' locks.
  if (!success && storeFailureText) storeFailureText();

  {
    // Only the requesters present now are told and withdrawn. A client may
    // start the next change from inside SetSelected; its requester joins
    // the list behind these and waits for the end of its own change.
    NotificationList::Iterator it(setChangeNotifications.List(), ReaderLock);
    unsigned present = 0;
    for (; it.More(); it.Next()) ++present;
    it.First();
    for (unsigned i = 0; i < present && it.More(); ++i, it.Next()) {
      auto& requester = static_cast<ControlCenterNotification&>(*it.Current());
      if (requester.IsLive()) {
        LONG flag = success ? 1 : 0;
        if (restore)
          requester.Notify()->SetRestored(flag);
        else
          requester.Notify()->SetSelected(flag);
      }
      setChangeNotifications.MarkDead(requester);
    }
  }

  registeredNotifications.ForEachLive<ControlCenterNotification>(
      [&](ControlCenterNotification& ccn) {
        if (ClientIsGone(ccn.Notify()->ConfigurationChanged())) registeredNotifications.MarkDead(ccn);
      });
  // Permissions for this change (or older ones) are forgotten; one given
  // to a change started meanwhile stays.
  registeredNotifications.ForEach<ControlCenterNotification>([&](ControlCenterNotification& ccn) {
    unsigned long allowed = ccn.Allowed();
    if (allowed != 0 && allowed <= ending) ccn.ClearAllowed(allowed);
  });
}

void ClientNotifications::ProceedIfAllAnswered() {
  unsigned long number = changeNumber.load();
  unsigned all = 0, answered = 0;
  registeredNotifications.ForEach<ControlCenterNotification>([&](ControlCenterNotification& ccn) {
    ++all;
    if (Answered(ccn, number)) ++answered;
  });
  if (all == answered) AllAnswered();
}

void ClientNotifications::AllAnswered() {
  // Posted before the worker may go, so that the requesters hear the
  // change proceed before the worker's end message can overtake it.
  PostToMainWindow(WM_CLIENTS_ALLOWED);
  LetWorkerGo();
}

// ---- The client answer timer ------------------------------------------------------

void ClientNotifications::StartTimer() {
  {
    CriticalSectionHolder hold(&timerLock);
    if (!wanted) {
      wanted = true;
      ++wantedGeneration;
    }
  }
  SyncTimerFrom(WM_START_CLIENT_TIMER);
}

void ClientNotifications::StopTimer() {
  {
    CriticalSectionHolder hold(&timerLock);
    wanted = false;
  }
  SyncTimerFrom(WM_STOP_CLIENT_TIMER);
}

void ClientNotifications::SyncTimerFrom(UINT message) {
  if (OnMainThread())
    SyncTimer();
  else
    PostToMainWindow(message);
}

void ClientNotifications::SyncTimer() {
  CriticalSectionHolder hold(&timerLock);
  if (wanted && timerId && timerGeneration == wantedGeneration) return;
  if (timerId) {
    KillTimer(nullptr, timerId);
    SetTimerOwner(timerId, nullptr);
    timerId = 0;
  }
  if (!wanted) return;
  unsigned long seconds = state.clientTimeoutSeconds();
  UINT period = static_cast<UINT>(seconds * 1000);
  timerId = SetTimer(nullptr, 0, period, TimerExpired);
  if (timerId) {
    SetTimerOwner(timerId, this);
    timerGeneration = wantedGeneration;
  }
}

void CALLBACK ClientNotifications::TimerExpired(HWND, UINT, UINT_PTR id, DWORD) {
  if (ClientNotifications* owner = TimerOwner(id)) {
    try {
      owner->OnTimerExpired(id);
    } catch (...) {
      // A timer callback runs inside the message loop's dispatch; nothing
      // may unwind through it.
    }
  }
}

void ClientNotifications::OnTimerExpired(UINT_PTR id) {
  bool current;
  {
    CriticalSectionHolder hold(&timerLock);
    current = wanted && id == timerId && timerGeneration == wantedGeneration;
  }
  if (!current) {
    // Stopped (or restarted for another change) after this expiry was due.
    SyncTimer();
    return;
  }
  // Once due, the timer has done its work: a repeating timer left running
  // without a worker would cut the next change's observers short.
  if (state.allowThreadToRun())
    LetWorkerGo();
  else
    StopTimer();
  if (!state.changeRunning()) return;
  setChangeNotifications.ForEachLive<ControlCenterNotification>(
      [&](ControlCenterNotification& requester) {
        // The text is the requester's own description, handed over as a
        // copy that lives during the call.
        std::vector<char> text(requester.Description().begin(), requester.Description().end());
        text.push_back('\0');
        requester.Notify()->ClientsNotResponding(static_cast<unsigned short>(text.size()),
                                                 text.data());
      });
}

// ---- Main-window message handlers --------------------------------------------------

LRESULT ClientNotifications::OnClientsAllowed(WPARAM, LPARAM) {
  if (!state.changeRunning()) return 0;
  setChangeNotifications.ForEachLive<ControlCenterNotification>(
      [](ControlCenterNotification& requester) { requester.Notify()->ChangeProceeding(); });
  return 0;
}

LRESULT ClientNotifications::OnStartClientTimer(WPARAM, LPARAM) {
  SyncTimer();
  return 0;
}

LRESULT ClientNotifications::OnStopClientTimer(WPARAM, LPARAM) {
  SyncTimer();
  return 0;
}

LRESULT ClientNotifications::OnBootpMessage(UINT message, WPARAM, LPARAM lParam) {
  CoTaskMemHolder<char> text(reinterpret_cast<char*>(lParam));
  DeliverBootpMessage(bootpNotifications, message != WM_BOOTP_INFO, text.get());
  return 0;
}

// ---- Helpers -----------------------------------------------------------------------

void ClientNotifications::PostToMainWindow(UINT message) {
  // Without a window there is nobody to post to (and a null window would
  // post to this thread's own queue).
  if (HWND window = state.mainWindow()) PostMessageA(window, message, 0, 0);
}

bool ClientNotifications::OnMainThread() {
  HWND window = state.mainWindow();
  return window && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}
