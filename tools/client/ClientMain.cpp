// korvane-client: the operators' console client of the control center
// server. "korvane-client help" prints the usage, output format and exit
// codes.
#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ClientCommandLine.h"
#include "ClientErrors.h"
#include "ControlCenterClient.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// Set by Ctrl+C (and the like) so that waiting operations end cleanly,
// withdrawing their registrations from the server.
HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (stopEvent) SetEvent(stopEvent);
      return TRUE;
    default:
      return FALSE;
  }
}

// The apartment is not uninitialised: it ends with the process. When an
// operation ends, the server may still be returning from its last call
// into our callback object, and Wine's COM can then wait in CoUninitialize,
// for ever, for that call although it has already returned (a client that
// printed its outcome and never ended). The end of the process ends the
// apartment without that wait; the server sees our callback objects gone,
// as it does for any client that ends.
class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT Result() const { return result_; }

 private:
  HRESULT result_;
};

int RunClient(const ClientRequest& request, HANDLE stop) {
  ComApartment apartment;
  if (FAILED(apartment.Result())) {
    PrintErrorLine("Could not initialise COM: HRESULT " + HresultText(apartment.Result()));
    return kExitUnreachable;
  }
  // The server calls back into this process (notifications); without
  // authentication it may do so whatever account it runs under.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  // The error log is the database server's: the control center server is
  // not asked, nor started.
  if (request.operation == ClientOperation::Errors) return RunErrorLog(request, stop);
  // The client holds COM pointers: they must go before the apartment does.
  ControlCenterClient client(stop);
  int status = client.Connect();
  if (status != kExitSuccess) return status;
  return client.Run(request);
}

}  // namespace

int main(int argc, char** argv) {
  // Lines end in LF alone, so that Linux scripts reading the output under
  // Wine get no stray CR; Windows consoles show LF lines as well.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);

  std::vector<std::string> args(argv + 1, argv + argc);
  ClientRequest request;
  std::string error;
  if (!ParseClientCommandLine(args, request, error)) {
    PrintErrorLine("korvane-client: " + error);
    std::fputs("\n", stderr);
    std::fputs(ClientUsageText(), stderr);
    return kExitUsage;
  }
  if (request.operation == ClientOperation::Help) {
    std::fputs(ClientUsageText(), stdout);
    return kExitSuccess;
  }

  UniqueHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  stopEvent = stop.get();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  int status = kExitFailed;
  try {
    status = RunClient(request, stop.get());
  } catch (...) {
    PrintErrorLine("Error: " + CaughtExceptionText("Caught an unknown exception in korvane-client.",
                                                   "Out of memory."));
  }
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  stopEvent = nullptr;
  return status;
}
