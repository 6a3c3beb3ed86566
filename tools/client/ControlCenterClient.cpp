#include "ControlCenterClient.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Win32/ErrorText.h"

namespace {

// How often a client that waits for callbacks checks that the server is
// still there, so that a crashed server does not leave it waiting forever.
constexpr ULONGLONG kAlivePollMs = 5000;

// Creation attempts while a server is ending, and the pause between them.
constexpr int kCreateAttempts = 4;
constexpr DWORD kCreateRetryMs = 1000;

bool ServerEnding(HRESULT hr) {
  switch (static_cast<unsigned long>(hr)) {
    case 0x80004006ul:  // CO_E_SERVER_STOPPING
    case 0x80010108ul:  // RPC_E_DISCONNECTED
    case 0x800401FDul:  // CO_E_OBJNOTCONNECTED
    case 0x800706BAul:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEul:  // RPC_S_CALL_FAILED
    case 0x800706BFul:  // RPC_S_CALL_FAILED_DNE
      return true;
    default:
      return false;
  }
}

std::string SystemText(HRESULT hr) {
  return OneLine(SystemErrorText(static_cast<DWORD>(hr)));
}

// A text as the server wants it: NUL-terminated in a writable buffer.
std::vector<char> TextArgument(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

// Milliseconds left until deadline (0 stands for no deadline).
DWORD MillisecondsUntil(ULONGLONG deadline, ULONGLONG now) {
  if (deadline == 0) return INFINITE;
  if (deadline <= now) return 0;
  return static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

// Cuts the server's connections to a callback object when the operation
// ends, whichever way: the server releases its references only later, on its
// own threads, and nothing should call into this process while it ends.
class SinkConnection {
 public:
  explicit SinkConnection(NotifySink* sink) : sink_(sink) {}
  ~SinkConnection() { CoDisconnectObject(static_cast<IControlCenterNotify*>(sink_), 0); }
  SinkConnection(const SinkConnection&) = delete;
  SinkConnection& operator=(const SinkConnection&) = delete;

 private:
  NotifySink* sink_;
};

}  // namespace

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintErrorLine(const std::string& line) {
  std::fflush(stdout);  // keep the order of the two streams where they meet
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

bool ServerUnreachable(HRESULT hr) {
  // The RPC facility's results all describe the connection, not an answer.
  if (HRESULT_FACILITY(hr) == FACILITY_RPC) return true;
  switch (static_cast<unsigned long>(hr)) {
    case 0x800401FDul:  // CO_E_OBJNOTCONNECTED
    case 0x80080005ul:  // CO_E_SERVER_EXEC_FAILURE
    case 0x80004006ul:  // CO_E_SERVER_STOPPING
    case 0x80040154ul:  // REGDB_E_CLASSNOTREG
    case 0x800706BAul:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEul:  // RPC_S_CALL_FAILED
    case 0x800706BFul:  // RPC_S_CALL_FAILED_DNE
    case 0x80070005ul:  // E_ACCESSDENIED (activation refused)
      return true;
    default:
      return false;
  }
}

int ControlCenterClient::Connect() {
  HRESULT hr = E_FAIL;
  for (int attempt = 1;; ++attempt) {
    hr = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                          IID_IControlCenterComponent, component_.put_void());
    if (SUCCEEDED(hr) && component_) return kExitSuccess;
    // A server whose last client just left is ending and refuses the call;
    // once it is gone COM starts a new one. Other refusals are final.
    if (attempt == kCreateAttempts || !ServerEnding(hr)) break;
    Sleep(kCreateRetryMs);
  }
  PrintErrorLine("Could not create the control center component: HRESULT " + HresultText(hr));
  // A creation the server itself refused (its installation settings, say)
  // leaves the reason in the server's error log: there is no object to ask.
  std::string text = hr == E_FAIL ? "The server refused to create the component; its error log "
                                    "has the reason."
                                  : SystemText(hr);
  PrintErrorLine("Error: " + (text.empty() ? std::string("The server could not be created.") : text));
  return kExitUnreachable;
}

int ControlCenterClient::Run(const ClientRequest& request) {
  switch (request.operation) {
    case ClientOperation::List:
      return List();
    case ClientOperation::Active:
      return Active();
    case ClientOperation::Backup:
      return Backup();
    case ClientOperation::Changing:
      return Changing();
    case ClientOperation::Select:
    case ClientOperation::Restore:
      return Change(request);
    case ClientOperation::Command:
      return Command(request);
    case ClientOperation::Timeout:
      return Timeout(request);
    case ClientOperation::Watch:
      return Watch(request);
    case ClientOperation::Status:
      return Status(request);
    case ClientOperation::Errors:  // needs no component: see RunErrorLog
    case ClientOperation::Help:
      break;
  }
  return kExitUsage;
}

std::string ControlCenterClient::TakeErrorText() {
  std::string kept = std::move(keptErrorText_);
  keptErrorText_.clear();
  unsigned short size = 0;
  CoTaskMemHolder<char> text;
  if (FAILED(component_->GetErrorText(&size, text.put())) || !text.get()) return kept;
  // The text travels as size bytes; its NUL is inside them, but a server
  // that forgot it must not make us read past the block.
  return OneLine(std::string(text.get(), strnlen(text.get(), size)));
}

int ControlCenterClient::Failure(const char* method, HRESULT hr) {
  PrintErrorLine(std::string(method) + " failed: HRESULT " + HresultText(hr));
  if (ServerUnreachable(hr)) {
    std::string text = SystemText(hr);
    PrintErrorLine("Error: The server could not be reached" + (text.empty() ? "." : ": " + text));
    return kExitUnreachable;
  }
  std::string text = TakeErrorText();
  if (text.empty()) text = SystemText(hr);
  if (text.empty()) text = "The server gave no error text.";
  PrintErrorLine("Error: " + text);
  return kExitFailed;
}

bool ControlCenterClient::ServerGone(int& status) {
  // GetErrorText runs no work in the server and logs nothing. A text it
  // hands out (the reason of a change that is just ending) is kept for
  // TakeErrorText.
  unsigned short size = 0;
  CoTaskMemHolder<char> text;
  HRESULT hr = component_->GetErrorText(&size, text.put());
  if (SUCCEEDED(hr) && text.get())
    keptErrorText_ = OneLine(std::string(text.get(), strnlen(text.get(), size)));
  if (!ServerUnreachable(hr)) return false;
  status = std::max(status, Failure("GetErrorText", hr));
  return true;
}

bool ControlCenterClient::WaitForEvents(EventQueue& queue, DWORD timeoutMs) {
  HANDLE handles[2] = {queue.Signal(), stop_};
  DWORD count = stop_ ? 2 : 1;
  return WaitForMultipleObjects(count, handles, FALSE, timeoutMs) == WAIT_OBJECT_0 + 1;
}

int ControlCenterClient::List() {
  unsigned short numfiles = 0, buffsize = 0;
  CoTaskMemHolder<unsigned short> indexes;
  CoTaskMemHolder<char> names;
  HRESULT hr = component_->ListSets(&numfiles, indexes.put(), &buffsize, names.put());
  if (FAILED(hr)) return Failure("ListSets", hr);
  if (numfiles == 0) return kExitSuccess;
  if (!indexes.get() || !names.get()) {
    PrintErrorLine("Error: ListSets reported sets but handed out no names.");
    return kExitFailed;
  }
  // Check every name before printing any, so that a bad reply prints nothing
  // half-done.
  std::vector<std::string> sets;
  for (unsigned i = 0; i < numfiles; ++i) {
    unsigned short at = indexes.get()[i];
    const char* start = names.get() + at;
    std::size_t room = at < buffsize ? buffsize - at : 0;
    std::size_t length = room ? strnlen(start, room) : 0;
    if (room == 0 || length == room) {
      PrintErrorLine("Error: ListSets handed out name " + std::to_string(i) + " at offset " +
                     std::to_string(at) + ", outside its " + std::to_string(buffsize) +
                     "-byte block.");
      return kExitFailed;
    }
    sets.emplace_back(start, length);
  }
  for (const std::string& set : sets) PrintLine(set);
  return kExitSuccess;
}

int ControlCenterClient::Active() {
  unsigned char exists = 0;
  HRESULT hr = component_->ActiveSetExists(&exists);
  if (FAILED(hr)) return Failure("ActiveSetExists", hr);
  if (!exists) {
    PrintErrorLine("No set is active.");
    return kExitFailed;
  }
  unsigned short size = 0;
  CoTaskMemHolder<char> name;
  hr = component_->GetActiveSetName(&size, name.put());
  if (FAILED(hr)) return Failure("GetActiveSetName", hr);
  PrintLine(name.get() ? std::string(name.get(), strnlen(name.get(), size)) : std::string());
  return kExitSuccess;
}

int ControlCenterClient::Backup() {
  unsigned char exists = 0;
  HRESULT hr = component_->BackupExists(&exists);
  if (FAILED(hr)) return Failure("BackupExists", hr);
  if (!exists) {
    PrintErrorLine("No complete backup exists.");
    return kExitFailed;
  }
  unsigned short size = 0;
  CoTaskMemHolder<char> name;
  hr = component_->GetBackupSetName(&size, name.put());
  if (FAILED(hr)) return Failure("GetBackupSetName", hr);
  PrintLine(name.get() ? std::string(name.get(), strnlen(name.get(), size)) : std::string());
  return kExitSuccess;
}

int ControlCenterClient::Changing() {
  unsigned char changing = 0;
  HRESULT hr = component_->IsSetChanging(&changing);
  if (FAILED(hr)) return Failure("IsSetChanging", hr);
  PrintLine(changing ? "yes" : "no");
  return kExitSuccess;
}

int ControlCenterClient::Change(const ClientRequest& request) {
  const bool select = request.operation == ClientOperation::Select;
  const char* method = select ? "SelectSet" : "RestoreBackup";
  const ClientEventKind outcome = select ? ClientEventKind::SetSelected : ClientEventKind::SetRestored;

  auto queue = std::make_shared<EventQueue>();
  ComPtr<NotifySink> sink = ComPtr<NotifySink>::Attach(NotifySink::Create(queue));
  SinkConnection connection(sink.get());
  HRESULT hr;
  if (select) {
    std::vector<char> name = TextArgument(request.setName);
    hr = component_->SelectSet(static_cast<unsigned short>(name.size()), name.data(), sink.get());
  } else {
    hr = component_->RestoreBackup(sink.get());
  }
  if (FAILED(hr)) return Failure(method, hr);
  PrintLine(std::string(method) + ": started");

  const ULONGLONG start = GetTickCount64();
  const ULONGLONG deadline = request.waitSeconds ? start + request.waitSeconds * 1000ull : 0;
  ULONGLONG nextPoll = start + kAlivePollMs;
  int status = kExitSuccess;
  for (;;) {
    ClientEvent event;
    while (queue->Pop(event)) {
      PrintLine(FormatEvent(event));
      if (event.kind != outcome) continue;
      if (event.result == 1) return kExitSuccess;
      // The server stored its reason in this component before telling us.
      std::string text = TakeErrorText();
      PrintErrorLine("Error: " + (text.empty() ? std::string("The server gave no reason.") : text));
      return kExitFailed;
    }
    ULONGLONG now = GetTickCount64();
    if (deadline && now >= deadline) {
      PrintErrorLine("Error: No outcome within " + std::to_string(request.waitSeconds) +
                     " seconds; the " + (select ? "set change" : "restore") +
                     " may still be running.");
      return kExitFailed;
    }
    if (now >= nextPoll) {
      if (ServerGone(status)) return status;
      nextPoll = now + kAlivePollMs;
    }
    DWORD wait = std::min(MillisecondsUntil(deadline, now), MillisecondsUntil(nextPoll, now));
    if (WaitForEvents(*queue, wait)) {
      PrintErrorLine("Error: Stopped waiting; the " + std::string(select ? "set change" : "restore") +
                     " goes on in the server.");
      return kExitFailed;
    }
  }
}

int ControlCenterClient::Command(const ClientRequest& request) {
  std::vector<unsigned short> boards = request.boards;
  HRESULT hr = component_->SendBoardCommand(
      request.command, static_cast<unsigned short>(boards.size()), boards.data());
  if (FAILED(hr)) return Failure("SendBoardCommand", hr);
  std::string line = "SendBoardCommand: " + BoardCommandName(request.command) + " sent to board";
  if (boards.size() > 1) line += "s";
  for (unsigned short board : boards) line += " " + std::to_string(board);
  PrintLine(line);
  return kExitSuccess;
}

int ControlCenterClient::Timeout(const ClientRequest& request) {
  HRESULT hr = component_->SetClientTimeout(request.clientTimeout);
  if (FAILED(hr)) return Failure("SetClientTimeout", hr);
  PrintLine("SetClientTimeout: " + std::to_string(request.clientTimeout) + " seconds");
  return kExitSuccess;
}

int ControlCenterClient::Watch(const ClientRequest& request) {
  ComPtr<IBootpNotificationSource> bootp;
  HRESULT hr = component_->QueryInterface(IID_IBootpNotificationSource, bootp.put_void());
  if (FAILED(hr)) return Failure("QueryInterface(IBootpNotificationSource)", hr);

  auto queue = std::make_shared<EventQueue>();
  ComPtr<NotifySink> sink = ComPtr<NotifySink>::Attach(NotifySink::Create(queue));
  SinkConnection connection(sink.get());
  std::vector<char> description = TextArgument(request.description);
  ULONG cookie = 0;
  hr = component_->RegisterNotification(sink.get(), static_cast<unsigned short>(description.size()),
                                        description.data(), &cookie);
  if (FAILED(hr)) return Failure("RegisterNotification", hr);
  ULONG bootpCookie = 0;
  hr = bootp->RegisterBootpNotification(static_cast<IControlCenterNotify*>(sink.get()),
                                        &bootpCookie);
  if (FAILED(hr)) {
    int status = Failure("RegisterBootpNotification", hr);
    if (status != kExitUnreachable) component_->UnregisterNotification(cookie);
    return status;
  }
  PrintLine("Watching: cookie " + std::to_string(cookie) + ", bootp cookie " +
            std::to_string(bootpCookie));

  int status = kExitSuccess;
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG stopAt = request.watchSeconds ? start + request.watchSeconds * 1000ull : 0;
  ULONGLONG allowAt = 0;  // a delayed AllowSetChange is due then; 0: none
  ULONGLONG nextPoll = start + kAlivePollMs;
  unsigned long events = 0;
  bool gone = false;
  auto allow = [&] {
    allowAt = 0;
    HRESULT allowed = component_->AllowSetChange(cookie);
    if (SUCCEEDED(allowed)) {
      PrintLine("AllowSetChange: ok");
      return;
    }
    status = std::max(status, Failure("AllowSetChange", allowed));
    gone = status == kExitUnreachable;
  };

  while (!gone) {
    ClientEvent event;
    bool done = false;
    while (!done && !gone && queue->Pop(event)) {
      PrintLine(FormatEvent(event));
      ++events;
      if (event.kind == ClientEventKind::ConfigurationChanging) {
        if (request.allow == AllowPolicy::Now) allow();
        else if (request.allow == AllowPolicy::Delayed) allowAt = GetTickCount64() + request.allowDelayMs;
      } else if (event.kind == ClientEventKind::ConfigurationChanged) {
        // The change is over; allowing it now would only be refused.
        allowAt = 0;
      }
      done = request.maxEvents && events >= request.maxEvents;
    }
    if (done || gone) break;

    ULONGLONG now = GetTickCount64();
    if (allowAt && now >= allowAt) {
      allow();
      continue;
    }
    if (stopAt && now >= stopAt) break;
    if (now >= nextPoll) {
      if (ServerGone(status)) {
        gone = true;
        break;
      }
      nextPoll = now + kAlivePollMs;
    }
    DWORD wait = std::min({MillisecondsUntil(stopAt, now), MillisecondsUntil(allowAt, now),
                           MillisecondsUntil(nextPoll, now)});
    if (WaitForEvents(*queue, wait)) break;
  }

  if (!gone) {
    // Withdrawing also answers a pending change for this observer, so a
    // watcher that stops never holds up a change.
    hr = component_->UnregisterNotification(cookie);
    if (FAILED(hr)) status = std::max(status, Failure("UnregisterNotification", hr));
  }
  if (status != kExitUnreachable) {
    hr = bootp->UnregisterBootpNotification(bootpCookie);
    if (FAILED(hr)) status = std::max(status, Failure("UnregisterBootpNotification", hr));
  }
  return status;
}
