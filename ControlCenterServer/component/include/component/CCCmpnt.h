// ControlCenterComponent: the COM object through which console programs use
// the server, and the class-wide state that all its instances share.
//
// How the class is put together:
//  - The client interfaces (IControlCenterComponent, IBootpNotificationSource)
//    are nested objects whose methods catch every raised text, store it with
//    SetErrorText and return E_FAIL (ControlCenterComponentInterfaces.cpp).
//    They call the member functions of the same name below, which do the
//    work and raise texts on failure; each concern defines its members in a
//    file of its own, ControlCenterComponent<Concern>.cpp.
//  - Class-wide state is static: the plain parts are declared here; a
//    concern keeps the rest either as further static members added to the
//    section below or file-local in its own .cpp.
//  - The main window's private messages arrive at the static On... handlers
//    on the main thread.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <ControlCenter.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "notifications/ServerMessages.h"
#include "Win32/CriticalSection.h"
#include "Win32/QRBConsoleComponent.h"

class KorvaneSocket;

// What SelectSet, RestoreBackup and SendBoardCommand answer while a change
// runs.
constexpr const char* kSetChangeBusyText =
    "Set selection or restoration is already in progress.  Wait for it to complete before you "
    "start another one.";

class ControlCenterComponent : public QRBConsoleComponent {
 public:
  // The creator entered in the server class table: a new instance with
  // reference count 1 in *ppNewComponent.
  static HRESULT Create(IUnknown* outerUnknown, QRBConsoleComponent** ppNewComponent);

  explicit ControlCenterComponent(IUnknown* outerUnknown);
  ~ControlCenterComponent() override;

  // IUnknown and IQRBConsoleComponent answer with the object itself, the two
  // client interfaces with their nested objects.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

  unsigned long InstanceID() const { return instanceID; }

  // ---- Client methods --------------------------------------------------
  // The work behind each interface method (same arguments). Raise a text on
  // failure; the interface stores it and returns E_FAIL. Return S_OK (or
  // another HRESULT) otherwise.

  // Set queries (ControlCenterComponentSetQueries.cpp).
  HRESULT ListSets(unsigned short* numfiles, unsigned short** filenameindexes,
                   unsigned short* buffsize, char** filenames);
  HRESULT BackupExists(unsigned char* flag);
  HRESULT IsSetChanging(unsigned char* issetchanging);
  HRESULT GetActiveSetName(unsigned short* namesize, char** setname);
  HRESULT GetBackupSetName(unsigned short* namesize, char** setname);
  HRESULT ActiveSetExists(unsigned char* activesetexists);

  // Set change and restore (ControlCenterComponentSetChange.cpp).
  HRESULT SelectSet(unsigned short namesize, char* setname, IControlCenterNotify* notifyiface);
  HRESULT RestoreBackup(IControlCenterNotify* notifyiface);

  // Board commands (ControlCenterComponentBoardCommands.cpp).
  HRESULT SendBoardCommand(LONG command, unsigned short numboards, unsigned short* boardnums);

  // Installation settings (ControlCenterComponentSettings.cpp).
  HRESULT SetClientTimeout(unsigned short seconds);

  // Client notifications (ControlCenterComponentNotifications.cpp).
  HRESULT RegisterNotification(IControlCenterNotify* notifyiface, unsigned short descsize,
                               char* description, ULONG* cookie);
  HRESULT UnregisterNotification(ULONG cookie);
  HRESULT AllowSetChange(ULONG cookie);
  HRESULT RegisterBootpNotification(IUnknown* notifyiface, ULONG* cookie);
  HRESULT UnregisterBootpNotification(ULONG cookie);

  // ---- Main-window message handlers (main thread) ------------------------

  // End of a set change / restore (ControlCenterComponentSetChange.cpp).
  static LRESULT OnSetChangeDone(WPARAM wParam, LPARAM lParam);
  static LRESULT OnRestoreDone(WPARAM wParam, LPARAM lParam);
  // Client answers, the answer timer and bootp messages
  // (ControlCenterComponentNotifications.cpp).
  static LRESULT OnClientsAllowed(WPARAM wParam, LPARAM lParam);
  static LRESULT OnStartClientTimer(WPARAM wParam, LPARAM lParam);
  static LRESULT OnStopClientTimer(WPARAM wParam, LPARAM lParam);
  static LRESULT OnBootpFatalError(WPARAM wParam, LPARAM lParam);
  static LRESULT OnBootpNonfatalError(WPARAM wParam, LPARAM lParam);
  static LRESULT OnBootpInfo(WPARAM wParam, LPARAM lParam);

  // ---- Class-wide state (ControlCenterComponentState.cpp) ----------------

  // Guards instanceCount, the busy test and the busy claim; taken before any
  // notification list's lock, never after.
  static CriticalSection busyLock;
  // Live instances: 0 -> 1 builds the class-wide state, 1 -> 0 tears it down.
  static unsigned long instanceCount;
  // Post-incremented by every construction, never reset.
  static unsigned long nextInstanceID;
  // A set change or restore has been claimed and not yet ended. Read by
  // IsBusy on any thread without busyLock.
  static std::atomic<bool> changeInProgress;
  // The running worker: the set change thread or the restore thread (at
  // most one exists), and the event that lets it go once the clients have
  // answered. Set and cleared by the set change machinery; null when none.
  static std::atomic<HANDLE> hSetChangeThread;
  static std::atomic<HANDLE> hRestoreThread;
  static std::atomic<HANDLE> hAllowThreadToRun;
  // Set before the worker is resumed, cleared by the worker as its last
  // act. IsBusy reads this rather than the thread handle, which the end of
  // the change closes and the system may hand out again.
  static std::atomic<bool> workerRunning;
  // Numbers the changes started; the worker's end message carries its
  // change's number, so a late message never ends a newer change.
  static std::atomic<unsigned long> changeSerial;
  // Set by the last instance's teardown: a worker that wakes to find it set
  // ends without touching anything.
  static std::atomic<bool> cancelRequested;
  // True when a change has been claimed and its worker thread still runs.
  // Between a worker's exit and the handling of its end message this is
  // already false.
  static bool IsBusy();
  // Raises kSetChangeBusyText, the answer to a request that meets a change.
  [[noreturn]] static void RaiseBusy();
  // The instance whose client started the running change (or null).
  static ControlCenterComponent* currentComponent;
  // The server's main window; every private message goes to it.
  static HWND mainWindow;

  // ---- Installation settings (ControlCenterComponentSettings.cpp) --------
  // Read by the first instance, kept until the last one goes; see
  // InstallationSettings.h for where each comes from.

  // The installation root, at most 259 characters.
  static char rootPath[MAX_PATH];
  // "Base IP Address", host byte order.
  static unsigned long baseIPAddress;
  // Low 16 bits of "Communication Port" and "Reboot Port"; 0xFFFF until the
  // first read, and they keep their last value after the teardown.
  static unsigned short communicationPort;
  static unsigned short rebootPort;
  // Seconds the observers get to answer a change. A client may change it
  // at any time (SetClientTimeout), so it is read without a lock.
  static std::atomic<unsigned long> clientTimeout;

  // ---- Board commands (ControlCenterComponentBoardCommands.cpp) ----------
  // Sends the command messages to the reboot port; made with the settings.
  static std::unique_ptr<KorvaneSocket> boardSocket;

  // ---- Set change and restore workers (ControlCenterComponentSetChange.cpp)

  enum class ConfigurationKind { SetChange, Restore };
  // Creates hAllowThreadToRun ("CONFIG CHANGE EVENT", manual reset, not
  // set) and starts the worker for component's request: the set change of
  // its setPath or the restore. The worker waits for the event, does its
  // work holding the "Configuration Semaphore" and posts WM_SETCHANGE_DONE
  // or WM_RESTORE_DONE with 0 (success) or 1 (failure, the reason in
  // lastSetChangeError). Returns what resuming the thread returns.
  static DWORD StartConfigurationThread(ControlCenterComponent* component,
                                        ConfigurationKind kind);
  // Ends the claimed change: waits for its worker (at most 120 s), forgets
  // the thread, closes hAllowThreadToRun, clears changeInProgress. Returns
  // 1 when there was nothing to end, else 0; raises "A set change is not
  // responding" when the worker did not end in time. Called by the end
  // message handlers (for the change numbered serial; a stale number ends
  // nothing) and by the last instance's teardown (serial 0: whatever runs),
  // which cancels a change not yet allowed and, should the worker not end
  // in time, keeps waiting after raising: no handle is closed under a
  // worker that still writes.
  static int EndConfigurationThread(unsigned long serial);
  // Why the last failed change or restore failed; written by the worker
  // before it posts its end, read by the end's handler.
  static std::string lastSetChangeError;

  // Fills setPath with the set file's path, rootPath\Comp\<setname>.cfg.
  // Raises when the path would not fit setPath.
  void FillSetPath(const char* setname);

 private:
  // SelectSet and RestoreBackup: claims the change (or raises the busy
  // text), runs the request's own checks, makes this instance's client the
  // requester, starts the worker of kind, then asks the observers.
  HRESULT StartChange(ConfigurationKind kind, IControlCenterNotify* notifyiface,
                      const std::function<void()>& checkRequest);
  // Called under busyLock by the first instance / the last one. A text
  // raised by BuildClassState must leave nothing built behind; it fails
  // the creation.
  static void BuildClassState();
  static void TearDownClassState();
  // Reads the installation settings into the class-wide state and makes
  // the board socket (ControlCenterComponentSettings.cpp).
  static void ReadSettings();
  // Completes a set change or restore that an earlier server process did
  // not live to finish (its journal is in the installation), before the
  // first instance reads the configuration; logs what it did. Raises when
  // the work cannot be completed.
  static void RecoverInterruptedWork();
  // The text of a set name marker, cut down to the set's name (shared by
  // GetActiveSetName and GetBackupSetName).
  static void ReadSetNameMarker(const char* marker, unsigned short* namesize, char** setname);
  // Withdraws every notification this instance registered
  // (ControlCenterComponentNotifications.cpp).
  void MarkNotificationsDead();

  // Runs one client method's body: a raised text is stored with
  // SetErrorText and becomes E_FAIL.
  template <class Body>
  HRESULT Guarded(const char* method, Body&& body);

  class ClientInterface : public InnerConsoleInterface<IControlCenterComponent> {
   public:
    explicit ClientInterface(ControlCenterComponent& owner)
        : InnerConsoleInterface<IControlCenterComponent>(owner) {}
    HRESULT STDMETHODCALLTYPE ListSets(unsigned short* numfiles, unsigned short** filenameindexes,
                                       unsigned short* buffsize, char** filenames) override;
    HRESULT STDMETHODCALLTYPE SelectSet(unsigned short namesize, char* setname,
                                        IControlCenterNotify* notifyiface) override;
    HRESULT STDMETHODCALLTYPE RestoreBackup(IControlCenterNotify* notifyiface) override;
    HRESULT STDMETHODCALLTYPE BackupExists(unsigned char* flag) override;
    HRESULT STDMETHODCALLTYPE SendBoardCommand(LONG command, unsigned short numboards,
                                               unsigned short* boardnums) override;
    HRESULT STDMETHODCALLTYPE SetClientTimeout(unsigned short seconds) override;
    HRESULT STDMETHODCALLTYPE IsSetChanging(unsigned char* issetchanging) override;
    HRESULT STDMETHODCALLTYPE RegisterNotification(IControlCenterNotify* notifyiface,
                                                   unsigned short descsize, char* description,
                                                   ULONG* cookie) override;
    HRESULT STDMETHODCALLTYPE UnregisterNotification(ULONG cookie) override;
    HRESULT STDMETHODCALLTYPE AllowSetChange(ULONG cookie) override;
    HRESULT STDMETHODCALLTYPE GetActiveSetName(unsigned short* namesize, char** setname) override;
    HRESULT STDMETHODCALLTYPE GetBackupSetName(unsigned short* namesize, char** setname) override;
    HRESULT STDMETHODCALLTYPE ActiveSetExists(unsigned char* activesetexists) override;

   private:
    ControlCenterComponent& component() { return static_cast<ControlCenterComponent&>(owner_); }
  };

  class BootpSource : public InnerInterface<IBootpNotificationSource> {
   public:
    explicit BootpSource(ControlCenterComponent& owner)
        : InnerInterface<IBootpNotificationSource>(owner) {}
    HRESULT STDMETHODCALLTYPE RegisterBootpNotification(IUnknown* notifyiface,
                                                        ULONG* cookie) override;
    HRESULT STDMETHODCALLTYPE UnregisterBootpNotification(ULONG cookie) override;

   private:
    ControlCenterComponent& component() { return static_cast<ControlCenterComponent&>(owner_); }
  };

  ClientInterface clientInterface{*this};
  BootpSource bootpSource{*this};

  // Marks the notifications this instance creates; never changes.
  unsigned long instanceID = 0;
  // Full path of the ".cfg" file of the set being selected.
  char setPath[MAX_PATH] = {};
};
