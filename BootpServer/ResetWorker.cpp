#include "ResetWorker.h"

#include <utility>
#include <vector>

#include "ActiveConfiguration.h"
#include "BootResponder.h"
#include "BootpMessages.h"
#include "BootpSettings.h"
#include "Win32/ErrorText.h"

const char kResetEventName[] = "BOOTP RESET EVENT";
const char kResetFinishedName[] = "BOOTP RESET FINISHED";

// Everything the thread uses, shared with the worker object so that either
// may end first (a listener may release the component from inside an
// event, on this very thread).
struct ResetWorker::ThreadState {
  std::shared_ptr<EventSinks> sinks;
  UniqueHandle stop;
  UniqueHandle reset;
  UniqueHandle finished;
  // The thread's own reference to the DLL, so that the DLL stays loaded
  // until the thread has left its code (FreeLibraryAndExitThread).
  HMODULE module = nullptr;
};

namespace {

using Report = std::pair<BootpEvent, std::string>;

// Datagrams answered before the stop and reset events are looked at again.
constexpr size_t kAnsweredAtOnce = 64;

// Reads the active configuration. served holds the boards served now; it
// changes only when a configuration was read whole.
std::vector<Report> LoadConfiguration(bool atStart, std::vector<BootpBoard>& served) {
  std::string root;
  try {
    root = ReadInstallationRoot();
  } catch (char* text) {
    return {{kFatalError, NoInstallationText(text)}};
  }
  std::string path = ActiveConfigurationPath(root);
  if (atStart && GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return {{kInfo, NothingActiveYetText(path)}};
  }
  std::vector<BootpBoard> boards;
  try {
    boards = ReadActiveConfiguration(path);
  } catch (...) {
    const std::string failed = "Could not read the active configuration " + path +
                               ": it ran out of memory.";
    return {{kNonFatalError,
             KeptConfigurationText(CaughtExceptionText(failed.c_str()), served.size())}};
  }
  std::vector<Report> reports{{kInfo, ServingText(path, boards)}};
  std::vector<const BootpBoard*> missing = BoardsWithoutListFile(boards);
  if (!missing.empty()) reports.emplace_back(kNonFatalError, MissingListFilesText(missing));
  served = std::move(boards);
  return reports;
}

// Opens, moves or closes the boot request socket as the settings say now.
std::vector<Report> FollowListenSettings(BootResponder& responder) {
  try {
    return responder.Listen(ReadListenSettings());
  } catch (char* text) {
    std::vector<Report> reports = responder.Listen(ListenSettings{});
    reports.emplace_back(kNonFatalError, NotAnsweringText(text));
    return reports;
  }
}

void Append(std::vector<Report>& to, std::vector<Report> more) {
  for (auto& report : more) to.push_back(std::move(report));
}

void FireAll(EventSinks& sinks, const std::vector<Report>& reports) {
  for (const auto& report : reports) sinks.Fire(report.first, report.second);
}

void ServeResets(ResetWorker::ThreadState& state) {
  std::vector<BootpBoard> served;
  // Closed (socket and all) when the thread ends.
  BootResponder responder;
  std::vector<Report> reports = LoadConfiguration(true, served);
  Append(reports, FollowListenSettings(responder));
  Append(reports, responder.Serve(served));
  FireAll(*state.sinks, reports);
  bool moreWaiting = false;
  while (true) {
    // The stop event comes first, then resets, then boot requests: when
    // several are set, the earlier one wins.
    HANDLE waits[3] = {state.stop.get(), state.reset.get(), responder.ReadyEvent()};
    DWORD count = waits[2] ? 3 : 2;
    DWORD result = WaitForMultipleObjects(count, waits, FALSE, moreWaiting ? 0 : INFINITE);
    if (result == WAIT_OBJECT_0) return;
    if (result == WAIT_OBJECT_0 + 2 || (result == WAIT_TIMEOUT && moreWaiting)) {
      reports.clear();
      moreWaiting = responder.AnswerWaiting(kAnsweredAtOnce, reports);
      FireAll(*state.sinks, reports);
      continue;
    }
    if (result != WAIT_OBJECT_0 + 1) {
      state.sinks->Fire(kFatalError, WaitFailedText(GetLastError()));
      return;
    }
    if (ResetsAreSilent()) {
      state.sinks->Fire(kInfo, SilentResetText());
      continue;
    }
    reports = LoadConfiguration(false, served);
    Append(reports, FollowListenSettings(responder));
    Append(reports, responder.Serve(served));
    // Answer first: the set change waits for this, the listeners do not.
    SetEvent(state.finished.get());
    FireAll(*state.sinks, reports);
  }
}

DWORD WINAPI ThreadProc(void* parameter) {
  HMODULE module = nullptr;
  {
    std::shared_ptr<ResetWorker::ThreadState> state =
        std::move(*static_cast<std::shared_ptr<ResetWorker::ThreadState>*>(parameter));
    delete static_cast<std::shared_ptr<ResetWorker::ThreadState>*>(parameter);
    module = state->module;
    HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // Only a failed allocation can escape; it ends this thread, never the
    // process that hosts the component.
    try {
      ServeResets(*state);
    } catch (...) {
    }
    // The listeners' table entries may go with the state: COM must still
    // be there for that.
    state.reset();
    if (SUCCEEDED(initialized)) CoUninitialize();
  }
  if (module) FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

ResetWorker::ResetWorker(std::shared_ptr<EventSinks> sinks) : sinks_(std::move(sinks)) {}

ResetWorker::~ResetWorker() { Stop(); }

HRESULT ResetWorker::Start() {
  CriticalSectionHolder hold(&lock_);
  if (thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT) return S_OK;
  thread_.reset();
  state_.reset();

  auto state = std::make_shared<ThreadState>();
  state->sinks = sinks_;
  const char* failedName = nullptr;
  state->stop.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!state->stop) failedName = "stop";
  if (!failedName) {
    state->reset.reset(CreateEventA(nullptr, FALSE, FALSE, kResetEventName));
    if (!state->reset) failedName = kResetEventName;
  }
  if (!failedName) {
    state->finished.reset(CreateEventA(nullptr, FALSE, FALSE, kResetFinishedName));
    if (!state->finished) failedName = kResetFinishedName;
  }
  if (failedName) {
    DWORD error = GetLastError();
    sinks_->Fire(kFatalError, CannotCreateEventText(failedName, error));
    return HRESULT_FROM_WIN32(error);
  }

  // Linked into a program rather than the DLL, the code has no library
  // reference to hold.
  HMODULE module = nullptr;
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCSTR>(&ThreadProc), &module) &&
      module == GetModuleHandleA(nullptr)) {
    FreeLibrary(module);
    module = nullptr;
  }
  state->module = module;
  auto* parameter = new std::shared_ptr<ThreadState>(state);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &ThreadProc, parameter, 0, &id);
  if (!thread) {
    DWORD error = GetLastError();
    delete parameter;
    if (module) FreeLibrary(module);
    sinks_->Fire(kFatalError, CannotCreateThreadText(error));
    return HRESULT_FROM_WIN32(error);
  }
  thread_.reset(thread);
  threadId_ = id;
  state_ = std::move(state);
  return S_OK;
}

HRESULT ResetWorker::Stop() {
  UniqueHandle thread;
  {
    CriticalSectionHolder hold(&lock_);
    if (!thread_) return S_OK;
    SetEvent(state_->stop.get());
    state_.reset();
    thread = std::move(thread_);
    if (GetCurrentThreadId() == threadId_) return S_OK;
  }
  // Waited for outside the lock: a listener that calls Start or Stop from
  // inside an event must not wait for us while we wait for it. Pumping
  // while waiting lets a listener in this apartment receive its last event.
  HANDLE handles[1] = {thread.get()};
  DWORD index = 0;
  HRESULT waited = CoWaitForMultipleHandles(0, kStopWait, 1, handles, &index);
  if (waited == RPC_S_CALLPENDING ||
      (FAILED(waited) && WaitForSingleObject(thread.get(), kStopWait) != WAIT_OBJECT_0))
    return HRESULT_FROM_WIN32(WAIT_TIMEOUT);
  return S_OK;
}
