// The listeners connected to the component's event interface, and the one
// way events reach them.
#pragma once

#include <ocidl.h>
#include <olectl.h>

#include <map>
#include <string>
#include <vector>

#include "Win32/CriticalSection.h"
#include "Win32/Holders.h"

// Dispatch ids of the event interface.
enum BootpEvent : DISPID { kFatalError = 1, kNonFatalError = 2, kInfo = 3 };

// Each listener is kept in the process's global interface table: the
// component fires from a thread of its own, and the table hands that thread
// a pointer it may call, whatever apartment the listener was connected
// from. Safe to use from several threads.
class EventSinks {
 public:
  EventSinks();
  ~EventSinks();
  EventSinks(const EventSinks&) = delete;
  EventSinks& operator=(const EventSinks&) = delete;

  // Connection point semantics: CONNECT_E_CANNOTCONNECT when the sink does
  // not answer the event interface; CONNECT_E_NOCONNECTION for a cookie
  // that is not connected.
  HRESULT Add(IUnknown* sink, DWORD* cookie);
  HRESULT Remove(DWORD cookie);
  // The connected listeners, each with a reference the caller releases.
  std::vector<CONNECTDATA> Connections();

  // Calls the event on every listener with the text as its one BSTR
  // argument. A listener that fails or has gone away is skipped.
  void Fire(BootpEvent event, const std::string& text);

 private:
  ComPtr<IGlobalInterfaceTable> table_;
  CriticalSection lock_;
  std::map<DWORD, DWORD> tableCookies_;  // connection cookie -> table cookie
  DWORD nextCookie_ = 1;
};
