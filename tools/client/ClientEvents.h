// The notifications korvane-client receives, and the queue that carries
// them from COM's threads (where the server's callbacks arrive) to the
// client's main thread, which prints them and acts on them. Callbacks only
// queue: a callback that called back into the server could wait on the
// server's main thread while that thread waits for the callback.
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <string>

#include "Win32/Holders.h"

enum class ClientEventKind {
  SetSelected,
  SetRestored,
  ChangeProceeding,
  ClientsNotResponding,
  ConfigurationChanging,
  ConfigurationChanged,
  BootpError,
  BootpInfo,
};

struct ClientEvent {
  ClientEventKind kind = ClientEventKind::ChangeProceeding;
  long result = 0;   // SetSelected, SetRestored: 1 success, 0 failure
  std::string text;  // ClientsNotResponding, BootpError, BootpInfo
};

// A text as one output line: CR, LF and tabs become blanks, trailing
// blanks go.
std::string OneLine(const std::string& text);

// The event's output line, e.g. "SetSelected: failed", "BootpInfo: TEXT".
std::string FormatEvent(const ClientEvent& event);

// Many producers (COM threads), one consumer (the main thread). The event
// handle is signalled whenever something was pushed.
class EventQueue {
 public:
  EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  void Push(ClientEvent event);
  // Takes the oldest event; false when there is none.
  bool Pop(ClientEvent& event);
  HANDLE Signal() const { return signal_.get(); }

 private:
  std::mutex mutex_;
  std::deque<ClientEvent> events_;
  UniqueHandle signal_;  // auto-reset
};
