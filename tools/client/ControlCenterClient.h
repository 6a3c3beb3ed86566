// korvane-client's work: one ControlCenterComponent of the server, and the
// operations an operator runs through it. Results and notifications go to
// standard output, failures to standard error, one flushed line each.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <ControlCenter.h>

#include <memory>
#include <string>

#include "ClientCommandLine.h"
#include "ClientEvents.h"
#include "NotifySink.h"
#include "Win32/Holders.h"

// Output lines, flushed at once so that a reader of a pipe or file sees each
// event when it happens.
void PrintLine(const std::string& line);
void PrintErrorLine(const std::string& line);

// "0x80004005"
std::string HresultText(HRESULT hr);
// True for the results that mean the server process is gone or cannot be
// started, as opposed to a server that answered with a refusal.
bool ServerUnreachable(HRESULT hr);

class ControlCenterClient {
 public:
  // stop: an event that ends waiting operations early (Ctrl+C); may be null.
  explicit ControlCenterClient(HANDLE stop) : stop_(stop) {}
  // Works with a component obtained elsewhere (Connect is then not needed).
  ControlCenterClient(HANDLE stop, IControlCenterComponent* component)
      : stop_(stop), component_(component) {}

  // Creates the component (COM starts the server if it is not running).
  // Returns kExitSuccess, or reports and returns kExitUnreachable.
  int Connect();

  // Runs one request on the connected component; returns its exit code.
  int Run(const ClientRequest& request);

 private:
  int List();
  int Active();
  int Backup();
  int Changing();
  int Change(const ClientRequest& request);
  int Command(const ClientRequest& request);
  int Timeout(const ClientRequest& request);
  int Watch(const ClientRequest& request);
  // In ClientStatus.cpp.
  int Status(const ClientRequest& request);

  // Prints "METHOD failed: HRESULT ..." and "Error: TEXT" (the server's
  // stored text, or the system's text when there is none); returns
  // kExitUnreachable when the server is gone, else kExitFailed.
  int Failure(const char* method, HRESULT hr);
  // The component's stored error text, taken once (or the one the server
  // check took meanwhile); empty when there is none.
  std::string TakeErrorText();
  // Notices a server that died while the client waits for callbacks. True
  // when it is gone (and reported).
  bool ServerGone(int& status);
  // Waits for the queue, the stop event or timeoutMs; true when stopped.
  bool WaitForEvents(EventQueue& queue, DWORD timeoutMs);

  HANDLE stop_;
  ComPtr<IControlCenterComponent> component_;
  std::string keptErrorText_;
};
