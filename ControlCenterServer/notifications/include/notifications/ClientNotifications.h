// The server's side of the client notifications: the three notification
// lists, the observers' permission protocol around a set change or restore,
// the client answer timer, and the fan-out of the bootp server's messages.
//
// Who calls what, on which thread:
//  - client calls (COM threads): Register/Unregister/Allow..., and
//    AskObservers, which SelectSet and RestoreBackup call right after they
//    started the worker;
//  - the main window's thread: the On... message handlers, the timer's
//    expiry and TellChangeEnded (from the handlers of WM_SETCHANGE_DONE and
//    WM_RESTORE_DONE).
//
// No thread ever waits for the main thread. The main thread calls clients
// (SetSelected, ConfigurationChanged, ChangeProceeding...), and while it is
// inside such a call it handles no messages: a client that answers by
// calling the server back - AllowSetChange, a new SelectSet from inside
// SetSelected, the Release of its component - would hang for good if that
// call sent a message to the main window and waited for it. So starting and
// stopping the answer timer only records the wanted state and posts
// WM_START_CLIENT_TIMER / WM_STOP_CLIENT_TIMER; the main thread brings the
// real timer in line with the record when it handles them, and an expiry
// that the record no longer wants is ignored. Callers get what waiting
// would have given them: once StopTimer has returned, no expiry acts.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

#include "Win32/CriticalSection.h"
#include "Win32/Notification.h"

class ClientNotifications {
 public:
  // What the protocol reads from the component's class-wide state.
  struct ChangeState {
    // The server's main window: timer and "clients allowed" messages go
    // there.
    std::function<HWND()> mainWindow;
    // A set change or restore worker is running.
    std::function<bool()> isBusy;
    // A set change or restore has been claimed and its end not yet handled.
    // What the requesters hear before the end (ChangeProceeding,
    // ClientsNotResponding) depends on this rather than on isBusy: the
    // messages that tell them are queued before the worker's end message,
    // but a fast worker may have exited by the time they are handled.
    std::function<bool()> changeRunning;
    // The running worker's go-ahead event (null when there is no worker).
    std::function<HANDLE()> allowThreadToRun;
    // How long observers have to answer, in seconds.
    std::function<unsigned long()> clientTimeoutSeconds;
  };

  explicit ClientNotifications(ChangeState state);
  ~ClientNotifications();
  ClientNotifications(const ClientNotifications&) = delete;
  ClientNotifications& operator=(const ClientNotifications&) = delete;

  // Requesters of the running change (SelectSet, RestoreBackup), observers
  // (RegisterNotification), bootp subscribers (RegisterBootpNotification).
  NotificationList setChangeNotifications;
  NotificationList registeredNotifications;
  NotificationList bootpNotifications;

  // ---- Client calls -----------------------------------------------------
  // Each raises an assertion failure named after the bad argument.

  // Makes notifyiface an observer; the cookie goes to the client.
  void RegisterNotification(IControlCenterNotify* notifyiface, unsigned short descsize,
                            const char* description, unsigned long* cookie,
                            unsigned long instanceID);
  // Withdraws the observer with this cookie if instanceID registered it;
  // then the change goes ahead if every remaining observer has answered.
  void UnregisterNotification(unsigned long cookie, unsigned long instanceID);
  // The observer's permission for the running change. Raises when no
  // change runs or the cookie is another instance's.
  void AllowSetChange(unsigned long cookie, unsigned long instanceID);
  void RegisterBootpNotification(IUnknown* notifyiface, unsigned long* cookie,
                                 unsigned long instanceID);
  void UnregisterBootpNotification(unsigned long cookie, unsigned long instanceID);
  // The requester of a change that SelectSet or RestoreBackup starts.
  void AddRequester(IControlCenterNotify* notifyiface, unsigned long instanceID);
  // Withdraws the live requester entries of this client and instance: the
  // change they were added for did not start.
  void WithdrawRequester(IControlCenterNotify* notifyiface, unsigned long instanceID);
  // Withdraws everything one component instance registered (its
  // destruction).
  void MarkInstanceDead(unsigned long instanceID);

  // ---- The change protocol ----------------------------------------------

  // After the worker was started: asks each live observer with
  // ConfigurationChanging and starts the answer timer; with no live
  // observer lets the worker go at once.
  void AskObservers();
  // Stops the answer timer and sets the worker's go-ahead event.
  void LetWorkerGo();
  // Main thread, at the end of a change: each requester hears SetSelected
  // (or SetRestored for a restore) with 1 or 0 and is withdrawn; then each
  // observer hears ConfigurationChanged and its permission is forgotten.
  // storeFailureText runs once, before the first requester is told of a
  // failure, so that requester's GetErrorText yields the reason.
  void TellChangeEnded(bool restore, bool success,
                       const std::function<void()>& storeFailureText);

  // ---- The client answer timer ------------------------------------------

  // Any thread; see the top of this file.
  void StartTimer();
  void StopTimer();
  // Main thread: whether a timer runs now.
  bool TimerRunning() const { return timerId != 0; }

  // ---- Main-window message handlers (main thread) -----------------------

  LRESULT OnClientsAllowed(WPARAM, LPARAM);
  LRESULT OnStartClientTimer(WPARAM, LPARAM);
  LRESULT OnStopClientTimer(WPARAM, LPARAM);
  // The three bootp messages: lParam is a CoTaskMemAlloc'd text, freed here.
  LRESULT OnBootpMessage(UINT message, WPARAM, LPARAM lParam);

 private:
  static void CALLBACK TimerExpired(HWND, UINT, UINT_PTR id, DWORD);
  void OnTimerExpired(UINT_PTR id);
  // Brings the real timer in line with the wanted state (main thread).
  void SyncTimer();
  // SyncTimer now on the main thread; from any other, message asks the
  // main window for it.
  void SyncTimerFrom(UINT message);
  // Counts the observers and those that answered the running change;
  // all answered: lets the worker go and posts WM_CLIENTS_ALLOWED.
  void ProceedIfAllAnswered();
  void AllAnswered();
  void PostToMainWindow(UINT message);
  bool OnMainThread();

  ChangeState state;

  // Numbers the changes the observers are asked about. An observer's
  // allowed flag holds the number of the change it allowed, so a
  // permission never counts for another change: not when the next change
  // is asked for from inside the previous one's end, nor when the end
  // forgets permissions while a new change is already being answered.
  std::atomic<unsigned long> changeNumber{0};

  // The answer timer. wanted/wantedGeneration are the record any thread
  // writes; timerId/timerGeneration the main thread's real timer.
  CriticalSection timerLock;
  bool wanted = false;
  unsigned long wantedGeneration = 0;
  UINT_PTR timerId = 0;
  unsigned long timerGeneration = 0;
};
