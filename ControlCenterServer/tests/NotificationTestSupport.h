// What the notification, lock and bootp tests share: the helper process,
// a logger that keeps what it is given, and waiting for a condition.
#pragma once

#include <windows.h>

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
