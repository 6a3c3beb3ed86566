// Starting a set change or a restore, the configuration worker thread that
// runs it, and its end on the main thread.
//
// One change at a time: SelectSet and RestoreBackup claim the busy state
// under busyLock and start the worker in the same step; the claim lasts
// until the end message has been handled, not only while the worker runs,
// so a request that arrives between the worker's exit and the handling of
// its end cannot start a second worker whose end would be mistaken for the
// first one's.
//
// The worker never calls a client and never takes busyLock (the last
// instance's teardown waits for it under that lock). It works on a copy of
// what it needs (SetChangeWorker / RestoreWorker), so an instance that goes
// away meanwhile costs it nothing, and it posts its result to the main
// window, where the clients are told.
#include "component/CCCmpnt.h"

#include <cstring>
#include <memory>
#include <string>

#include "component/ServerNotifications.h"
#include "notifications/BootpReset.h"
#include "notifications/ServerLock.h"
#include "registry/BoardRecord.h"
#include "setchange/ConfigurationWorker.h"
#include "setchange/RestoreWorker.h"
#include "setchange/SetChangeWorker.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

std::string ControlCenterComponent::lastSetChangeError;

namespace {

constexpr DWORD kEndWaitMs = 120000;

// What one worker thread is given; it owns it.
struct ConfigurationJob {
  ControlCenterComponent::ConfigurationKind kind;
  ConfigurationWorkerSetup setup;
  std::string setPath;
  // The worker's own handle of hAllowThreadToRun, so that closing the
  // class-wide one never pulls the event from under a waiting worker.
  UniqueHandle allowThreadToRun;
  HWND window = nullptr;
  // The change's number, posted back with its end.
  unsigned long serial = 0;
};

ConfigurationWorkerSetup ServerWorkerSetup() {
  ConfigurationWorkerSetup setup;
  setup.rootPath = ControlCenterComponent::rootPath;
  setup.baseIpAddress = ControlCenterComponent::baseIPAddress;
  setup.communicationPort = ControlCenterComponent::communicationPort;
  setup.serverLock = &ConfigurationLock();
  setup.boardList = &boardList;
  setup.bootpReset = [] { BootpReset(); };
  setup.cancelled = &ControlCenterComponent::cancelRequested;
  return setup;
}

void PostResult(const ConfigurationJob& job, UINT message, int result) {
  // Without a main window there is nobody to tell (and a null window would
  // post into this thread's own queue, which nobody reads).
  if (job.window)
    PostMessageA(job.window, message, static_cast<WPARAM>(result),
                 static_cast<LPARAM>(job.serial));
}

// The set change thread: the change, then its result to the main window.
int SetChangeThreadProc(ConfigurationJob& job) {
  SetChangeWorker worker(job.setup);
  const int result = worker.ChangeSet(job.allowThreadToRun.get(), job.setPath);
  if (result != 0) ControlCenterComponent::lastSetChangeError = worker.LastError();
  PostResult(job, WM_SETCHANGE_DONE, result);
  return result;
}

// The restore thread, likewise.
int RestoreSet(ConfigurationJob& job) {
  RestoreWorker worker(job.setup);
  const int result = worker.RestoreSet(job.allowThreadToRun.get());
  if (result != 0) ControlCenterComponent::lastSetChangeError = worker.LastError();
  PostResult(job, WM_RESTORE_DONE, result);
  return result;
}

DWORD WINAPI ConfigurationThread(void* parameter) {
  std::unique_ptr<ConfigurationJob> job(static_cast<ConfigurationJob*>(parameter));
  // The error log and the lock's messages reach the database server
  // through COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const int result = job->kind == ControlCenterComponent::ConfigurationKind::Restore
                         ? RestoreSet(*job)
                         : SetChangeThreadProc(*job);
  job.reset();
  if (SUCCEEDED(com)) CoUninitialize();
  ControlCenterComponent::workerRunning = false;
  return static_cast<DWORD>(result);
}

// A set is a file of the Comp directory; its name must not lead anywhere
// else, nor name something that cannot be a file.
void CheckSetName(const char* setname) {
  const std::string name = setname;
  bool valid = !name.empty() && name.find("..") == std::string::npos &&
               name.find_first_of("\\/:*?\"<>|") == std::string::npos;
  for (unsigned char c : name)
    if (c < 0x20) valid = false;
  if (!valid)
    RaiseFormatted("\"%.200s\" is not the name of a set: a set name names a file in the Comp "
                   "directory, without a drive, folders, \"..\" or any of the characters "
                   "\\ / : * ? \" < > |.",
                   setname);
}

// The busy claim of SelectSet or RestoreBackup, taken under busyLock. Given
// back when the request fails before its worker runs.
class BusyClaim {
 public:
  BusyClaim() {
    if (ControlCenterComponent::IsBusy() || ControlCenterComponent::changeInProgress)
      ControlCenterComponent::RaiseBusy();
    ControlCenterComponent::changeInProgress = true;
  }
  ~BusyClaim() {
    if (kept) return;
    // A requester added for a change that never started would otherwise
    // hear the next change's messages as its own.
    if (requester) WithdrawRequester(*requesterComponent, requester);
    ControlCenterComponent::currentComponent = nullptr;
    ControlCenterComponent::changeInProgress = false;
  }
  BusyClaim(const BusyClaim&) = delete;
  BusyClaim& operator=(const BusyClaim&) = delete;

  // Makes component's client the requester of the claimed change.
  void AddRequesterOf(ControlCenterComponent& component, IControlCenterNotify* notifyiface) {
    AddRequester(component, notifyiface);
    requesterComponent = &component;
    requester = notifyiface;
  }
  void Keep() { kept = true; }

 private:
  bool kept = false;
  ControlCenterComponent* requesterComponent = nullptr;
  IControlCenterNotify* requester = nullptr;
};

}  // namespace

DWORD ControlCenterComponent::StartConfigurationThread(ControlCenterComponent* component,
                                                      ConfigurationKind kind) {
  KORVANE_ASSERT_ARG(component);
  hAllowThreadToRun = CreateEventA(nullptr, TRUE, FALSE, "CONFIG CHANGE EVENT");
  KORVANE_ASSERT(hAllowThreadToRun, nullptr);
  // The name is machine-wide: an event some other process still holds may
  // be set already.
  ResetEvent(hAllowThreadToRun);

  auto job = std::make_unique<ConfigurationJob>();
  job->kind = kind;
  job->setup = ServerWorkerSetup();
  if (kind == ConfigurationKind::SetChange) {
    if (HWND window = ServerMainWindow()) mainWindow = window;
    job->setPath = component->setPath;
  }
  job->window = mainWindow;
  job->serial = ++changeSerial;
  cancelRequested = false;
  HANDLE duplicate = nullptr;
  DuplicateHandle(GetCurrentProcess(), hAllowThreadToRun, GetCurrentProcess(), &duplicate, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  job->allowThreadToRun.reset(duplicate);

  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, ConfigurationThread, job.get(), CREATE_SUSPENDED, &id);
  if (!thread || !duplicate) {
    const DWORD error = GetLastError();
    if (thread) {
      // It never ran: nothing of it needs undoing.
      TerminateThread(thread, 1);
      CloseHandle(thread);
    }
    CloseHandle(hAllowThreadToRun.exchange(nullptr));
    RaiseFormatted("Could not start the configuration worker: %s",
                   SystemErrorText(error).c_str());
  }
  job.release();  // the thread's now
  if (kind == ConfigurationKind::SetChange)
    hSetChangeThread = thread;
  else
    hRestoreThread = thread;
  workerRunning = true;
  return ResumeThread(thread);
}

int ControlCenterComponent::EndConfigurationThread(unsigned long serial) {
  if (!changeInProgress) return 1;
  if (serial != 0 && serial != changeSerial) return 1;
  HANDLE thread = hSetChangeThread ? hSetChangeThread.load() : hRestoreThread.load();
  if (!thread) return 1;
  const bool teardown = serial == 0;
  // Normally the worker has ended already. When the last instance goes
  // while it still waits for the clients, nobody is left to answer, and
  // nobody would hear how a change ended that no client allowed: the
  // worker is let go with the cancel flag set, and ends without touching
  // anything.
  if (teardown) cancelRequested = true;
  if (HANDLE allow = hAllowThreadToRun) SetEvent(allow);
  DWORD waitVal = WaitForSingleObject(thread, kEndWaitMs);
  const bool endedInTime = waitVal == WAIT_OBJECT_0 || waitVal == WAIT_ABANDONED;
  // The process exits after the teardown: a worker still writing the
  // configuration is waited for, or it would be cut off half way.
  if (teardown && !endedInTime) {
    GetErrorLogger()("A set change is not responding");
    WaitForSingleObject(thread, INFINITE);
  }
  if (thread == hSetChangeThread)
    hSetChangeThread = nullptr;
  else
    hRestoreThread = nullptr;
  CloseHandle(thread);
  if (HANDLE allow = hAllowThreadToRun.exchange(nullptr)) CloseHandle(allow);
  changeInProgress = false;
  KORVANE_ASSERT(teardown || endedInTime, "A set change is not responding");
  return 0;
}

HRESULT ControlCenterComponent::StartChange(ConfigurationKind kind,
                                            IControlCenterNotify* notifyiface,
                                            const std::function<void()>& checkRequest) {
  {
    CriticalSectionHolder busy(&busyLock);
    BusyClaim claim;
    checkRequest();
    claim.AddRequesterOf(*this, notifyiface);
    currentComponent = this;
    StartConfigurationThread(this, kind);
    claim.Keep();
  }
  // Outside busyLock: the observers are called back from here.
  AskObservers();
  return S_OK;
}

HRESULT ControlCenterComponent::SelectSet(unsigned short namesize, char* setname,
                                         IControlCenterNotify* notifyiface) {
  return StartChange(ConfigurationKind::SetChange, notifyiface, [&] {
    KORVANE_ASSERT_ARG(namesize);
    KORVANE_ASSERT_ARG(setname);
    KORVANE_ASSERT_ARG(notifyiface);
    // Refused before anything starts: the clients hear nothing of a change
    // that cannot be.
    CheckSetName(setname);
    FillSetPath(setname);
  });
}

HRESULT ControlCenterComponent::RestoreBackup(IControlCenterNotify* notifyiface) {
  // Whether there is a backup is the worker's to find out: the clients hear
  // it as the restore's failure.
  return StartChange(ConfigurationKind::Restore, notifyiface,
                     [&] { KORVANE_ASSERT_ARG(notifyiface); });
}

namespace {

void EndChange(bool restore, WPARAM result, LPARAM serial) {
  {
    // The worker's text goes to the requesting instance before anyone can
    // claim the next change (which needs busyLock and a clear
    // changeInProgress) and so take currentComponent's place.
    CriticalSectionHolder busy(&ControlCenterComponent::busyLock);
    // The end of a change that has already been ended (by the teardown, say)
    // ends nothing.
    if (serial == 0 ||
        ControlCenterComponent::EndConfigurationThread(static_cast<unsigned long>(serial)) != 0)
      return;
    if (result != 0 && ControlCenterComponent::currentComponent)
      ControlCenterComponent::currentComponent->SetErrorText(
          ControlCenterComponent::lastSetChangeError.c_str());
  }
  TellChangeEnded(restore, result);
}

}  // namespace

LRESULT ControlCenterComponent::OnSetChangeDone(WPARAM wParam, LPARAM lParam) {
  EndChange(false, wParam, lParam);
  return 0;
}

LRESULT ControlCenterComponent::OnRestoreDone(WPARAM wParam, LPARAM lParam) {
  EndChange(true, wParam, lParam);
  return 0;
}
