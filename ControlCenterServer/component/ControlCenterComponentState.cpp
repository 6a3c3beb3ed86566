// The class-wide state of ControlCenterComponent: built by the first
// instance, torn down by the last, both under busyLock.
#include "KorvaneSocket.h"  // winsock2.h before anything pulls in windows.h

#include "component/CCCmpnt.h"

#include "component/ServerNotifications.h"
#include "notifications/BootpReset.h"
#include "notifications/ServerLock.h"
#include "registry/BoardRecord.h"
#include "setchange/Recovery.h"
#include "Win32/ErrorText.h"
#include "Win32/TranslatingFrame.h"

CriticalSection ControlCenterComponent::busyLock;
unsigned long ControlCenterComponent::instanceCount = 0;
unsigned long ControlCenterComponent::nextInstanceID = 0;
std::atomic<bool> ControlCenterComponent::changeInProgress{false};
std::atomic<HANDLE> ControlCenterComponent::hSetChangeThread{nullptr};
std::atomic<HANDLE> ControlCenterComponent::hRestoreThread{nullptr};
std::atomic<HANDLE> ControlCenterComponent::hAllowThreadToRun{nullptr};
ControlCenterComponent* ControlCenterComponent::currentComponent = nullptr;
HWND ControlCenterComponent::mainWindow = nullptr;
std::unique_ptr<KorvaneSocket> ControlCenterComponent::boardSocket;

std::atomic<bool> ControlCenterComponent::workerRunning{false};
std::atomic<unsigned long> ControlCenterComponent::changeSerial{0};
std::atomic<bool> ControlCenterComponent::cancelRequested{false};

bool ControlCenterComponent::IsBusy() {
  // A claim without a worker (its start failed, or it has ended) is no
  // change in progress.
  return changeInProgress && workerRunning;
}

void ControlCenterComponent::RaiseBusy() { throw const_cast<char*>(kSetChangeBusyText); }

void ControlCenterComponent::BuildClassState() {
  mainWindow = ServerMainWindow();
  currentComponent = nullptr;
  hSetChangeThread = nullptr;
  hRestoreThread = nullptr;
  changeInProgress = false;
  boardSocket.reset();
  try {
    ReadSettings();
    RecoverInterruptedWork();
    LoadBoardList();
    // Last: the bootp client starts the bootp server, which reads what the
    // steps above found. It leaves nothing behind when it raises.
    CreateBootpObjects(mainWindow);
  } catch (...) {
    // Nothing of a failed start may stay: the next creation is the first
    // instance again and builds everything anew.
    boardList.RemoveAll();
    boardSocket.reset();
    throw;
  }
}

void ControlCenterComponent::RecoverInterruptedWork() {
  // A set change or restore that this process did not live to finish (it
  // was killed, the machine lost power) left its journal. Its work is
  // completed before anything reads the configuration, so the board table,
  // the bootp server and every client see a whole one: the configuration
  // that was active before the change, or the restored one. The clients
  // are told nothing: for them nothing changed. When the work cannot be
  // completed, no client is served on a configuration that is not whole;
  // the journal stays, and the next creation tries again.
  ConfigurationWorkerSetup setup;
  setup.rootPath = rootPath;
  setup.serverLock = &ConfigurationLock();
  setup.logError = GetErrorLogger();
  const std::string done = ::RecoverInterruptedWork(setup);
  if (!done.empty()) GetErrorLogger()(done.c_str());
}

void ControlCenterComponent::TearDownClassState() {
  // A change still running ends before the bootp server stops: it may yet
  // ask it to reload. With no instance left nobody can answer for it, so
  // EndConfigurationThread cancels a worker that still waits for the
  // clients rather than wait for it in vain, and waits for one that runs.
  EndConfigurationThread(0);
  lastSetChangeError.clear();
  // The bootp server stops before anything it reads goes; its events are
  // closed last, after any worker that might still signal them.
  DeleteBootpClient();
  StopClientTimer();
  boardSocket.reset();
  currentComponent = nullptr;
  mainWindow = nullptr;
  CloseBootpEvents();
}
