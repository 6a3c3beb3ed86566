// What the notification, lock and bootp tests share: the helper process,
// a logger that keeps what it is given, fake clients, and waiting for a
// condition.
#pragma once

#include <ControlCenter.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "testing/ServerTestSupport.h"  // windows.h, Win32/Holders.h
#include "Win32/TranslatingFrame.h"

namespace testsupport {

// The helper program (NotificationTestHelper.cpp) with these arguments.
class ChildProcess : public TestProcess {
 public:
  explicit ChildProcess(const std::string& arguments)
      : TestProcess("NotificationTestHelper.exe", arguments) {}
  explicit operator bool() const { return Started(); }
  // The exit code, or STILL_ACTIVE when it has not ended within ms.
  DWORD Wait(DWORD ms) { return WaitForExit(ms), ExitCode(); }
};

// A manual-reset event with a name unique to this process, which a child
// sets when it is ready.
struct ReadyEvent {
  explicit ReadyEvent(const char* purpose)
      : name(std::string("korvane test ") + purpose + " " + std::to_string(GetCurrentProcessId())),
        event(CreateEventA(nullptr, TRUE, FALSE, name.c_str())) {}
  const std::string& Name() const { return name; }
  bool Wait(DWORD ms) { return WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0; }
  const std::string name;
  const UniqueHandle event;
};

// Installed as the error logger while it lives; keeps every text.
class LogWatcher {
 public:
  LogWatcher() : previous(GetErrorLogger()) {
    texts.clear();
    SetErrorLogger(&Keep);
  }
  ~LogWatcher() { SetErrorLogger(previous); }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> hold(mutex);
    return texts;
  }

 private:
  static int Keep(const char* text) {
    std::lock_guard<std::mutex> hold(mutex);
    texts.push_back(text ? text : "");
    return 1;
  }
  static inline std::vector<std::string> texts;
  static inline std::mutex mutex;
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
    *out = nullptr;
    if (iid == IID_IUnknown || (iid == IID_IControlCenterNotify && answersControlCenter))
      *out = static_cast<IControlCenterNotify*>(this);
    else if (iid == IID_IBootpNotify && answersBootp)
      *out = static_cast<IBootpNotify*>(this);
    if (!*out) return E_NOINTERFACE;
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
  HRESULT STDMETHODCALLTYPE SetSelected(LONG success) override { return Record("SetSelected", success); }
  HRESULT STDMETHODCALLTYPE SetRestored(LONG success) override { return Record("SetRestored", success); }
  HRESULT STDMETHODCALLTYPE ChangeProceeding() override { return Record("ChangeProceeding"); }
  HRESULT STDMETHODCALLTYPE ClientsNotResponding(unsigned short size, char* text) override {
    return Record("ClientsNotResponding", size, text);
  }
  HRESULT STDMETHODCALLTYPE ConfigurationChanging() override { return Record("ConfigurationChanging"); }
  HRESULT STDMETHODCALLTYPE ConfigurationChanged() override { return Record("ConfigurationChanged"); }
  HRESULT STDMETHODCALLTYPE Reserved() override { return Record("Reserved"); }
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
  HRESULT Record(const char* method, LONG size = 0, const char* text = nullptr) {
    {
      std::lock_guard<std::mutex> hold(mutex);
      calls.push_back({method, static_cast<unsigned short>(size), text ? text : "", text});
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
  for (DWORD start = GetTickCount(); !condition(); Sleep(10))
    if (GetTickCount() - start > ms) return false;
  return true;
}

}  // namespace testsupport
