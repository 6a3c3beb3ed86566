// What the notification, lock and bootp tests share: the helper process,
// a logger that keeps what it is given, and waiting for a condition.
#pragma once

#include <windows.h>

#include <ControlCenter.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

namespace testsupport {

// The folder of this test program, where the build puts every program.
inline std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

// A process this test started; ended (by its own handle) when the holder
// goes, so a failing test leaves nothing running.
class ChildProcess {
 public:
  explicit ChildProcess(const std::string& arguments) {
    std::string program = ProgramFolder() + "NotificationTestHelper.exe";
    std::string line = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &info)) {
      process.reset(info.hProcess);
      CloseHandle(info.hThread);
    }
  }
  ~ChildProcess() {
    if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT)
      TerminateProcess(process.get(), 1);
  }
  explicit operator bool() const { return static_cast<bool>(process); }
  // The exit code, or STILL_ACTIVE when it has not ended within ms.
  DWORD Wait(DWORD ms) {
    WaitForSingleObject(process.get(), ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    return code;
  }

 private:
  UniqueHandle process;
};

// A manual-reset event with a name unique to this process, which a child
// sets when it is ready.
class ReadyEvent {
 public:
  explicit ReadyEvent(const char* purpose)
      : name(std::string("korvane test ") + purpose + " " + std::to_string(GetCurrentProcessId())),
        event(CreateEventA(nullptr, TRUE, FALSE, name.c_str())) {}
  const std::string& Name() const { return name; }
  bool Wait(DWORD ms) { return WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0; }

 private:
  std::string name;
  UniqueHandle event;
};

// Installed as the error logger while it lives; keeps every text.
class LogWatcher {
 public:
  LogWatcher() {
    Texts().clear();
    previous = GetErrorLogger();
    SetErrorLogger(&Keep);
  }
  ~LogWatcher() { SetErrorLogger(previous); }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> hold(Mutex());
    return Texts();
  }

 private:
  static int Keep(const char* text) {
    std::lock_guard<std::mutex> hold(Mutex());
    Texts().push_back(text ? text : "");
    return 1;
  }
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  ErrorLogger previous;
};

struct Call {
  std::string method;
  unsigned short size = 0;
  std::string text;
  const char* block = nullptr;
};

// A client implementing both callback interfaces. The test holds the first
// reference; whatever the server side takes shows in References().
class FakeClient : public IControlCenterNotify, public IBootpNotify {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || (iid == IID_IControlCenterNotify && answersControlCenter)) {
      *out = static_cast<IControlCenterNotify*>(this);
    } else if (iid == IID_IBootpNotify && answersBootp) {
      *out = static_cast<IBootpNotify*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    releasingThread = GetCurrentThreadId();
    if (holdReleases) {
      SetEvent(releaseEntered.get());
      WaitForSingleObject(releaseMayEnd.get(), 10000);
    }
    return InterlockedDecrement(&refs);
  }

  HRESULT STDMETHODCALLTYPE SetSelected(LONG success) override {
    return Record("SetSelected", static_cast<unsigned short>(success), nullptr);
  }
  HRESULT STDMETHODCALLTYPE SetRestored(LONG success) override {
    return Record("SetRestored", static_cast<unsigned short>(success), nullptr);
  }
  HRESULT STDMETHODCALLTYPE ChangeProceeding() override {
    return Record("ChangeProceeding", 0, nullptr);
  }
  HRESULT STDMETHODCALLTYPE ClientsNotResponding(unsigned short size, char* text) override {
    return Record("ClientsNotResponding", size, text);
  }
  HRESULT STDMETHODCALLTYPE ConfigurationChanging() override {
    return Record("ConfigurationChanging", 0, nullptr);
  }
  HRESULT STDMETHODCALLTYPE ConfigurationChanged() override {
    return Record("ConfigurationChanged", 0, nullptr);
  }
  HRESULT STDMETHODCALLTYPE Reserved() override { return Record("Reserved", 0, nullptr); }
  HRESULT STDMETHODCALLTYPE BootpError(unsigned short size, char* text) override {
    return Record("BootpError", size, text);
  }
  HRESULT STDMETHODCALLTYPE BootpInfo(unsigned short size, char* text) override {
    return Record("BootpInfo", size, text);
  }

  IUnknown* Unknown() { return static_cast<IControlCenterNotify*>(this); }
  LONG References() const { return refs; }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> hold(mutex);
    return calls;
  }
  // The names of the methods called, in order.
  std::vector<std::string> Methods() {
    std::vector<std::string> names;
    for (const Call& call : Calls()) names.push_back(call.method);
    return names;
  }

  bool answersControlCenter = true;
  bool answersBootp = true;
  // What every callback returns (a client that is gone answers with an
  // RPC failure).
  HRESULT answer = S_OK;
  bool holdReleases = false;
  bool scribble = false;
  // Runs inside every callback, after it was recorded (a client that
  // answers a callback by calling the server).
  std::function<void(const std::string& method)> onCall;
  UniqueHandle releaseEntered{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle releaseMayEnd{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<DWORD> releasingThread{0};

 private:
  HRESULT Record(const char* method, unsigned short size, const char* text) {
    {
      std::lock_guard<std::mutex> hold(mutex);
      calls.push_back({method, size, text ? text : "", text});
    }
    if (onCall) onCall(method);
    // An in-process client may write into what it is given.
    if (scribble && text && *text) const_cast<char*>(text)[0] = 'X';
    return answer;
  }
  volatile LONG refs = 1;
  std::mutex mutex;
  std::vector<Call> calls;
};

// The callback objects of the clients a test plays. A server holds them,
// calls them and releases them until its process has ended, which is after
// the test's body has returned: objects on the body's stack would be called
// (or released) after they are gone, from this process's COM threads, while
// the next test reuses their memory. So the fixture makes them here and lets
// them go only once the server has ended, each disconnected from COM first,
// so that no stub of this process still points at it.
class FakeClients {
 public:
  FakeClients() = default;
  FakeClients(const FakeClients&) = delete;
  FakeClients& operator=(const FakeClients&) = delete;
  ~FakeClients() { Clear(); }

  FakeClient& Make() {
    clients.push_back(std::make_unique<FakeClient>());
    return *clients.back();
  }
  // Only once nothing outside this process can reach the clients.
  void Clear() {
    for (auto& client : clients) CoDisconnectObject(client->Unknown(), 0);
    clients.clear();
  }

 private:
  std::vector<std::unique_ptr<FakeClient>> clients;
};

// Polls condition every 10 ms for at most ms; true when it held.
template <class Condition>
bool WaitFor(Condition condition, DWORD ms) {
  DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(10);
  }
  return true;
}

}  // namespace testsupport
