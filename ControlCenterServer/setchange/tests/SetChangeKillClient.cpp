// The client of the kill tests, a new process for every request. The test
// process itself makes no COM call: a process that has spoken to an RpcSs
// which the test then stopped keeps a dead connection to it, and its next
// creation would fail.
//
//   setchange_kill_client create
//     creates a client object and lets it go (the first creation after a
//     kill, which completes what the killed server left);
//   setchange_kill_client select SET
//   setchange_kill_client restore
//     starts the work and waits for its end or for the server's death.
//
// Exit code: 0 when the creation or the work succeeded, 1 when it failed,
// 2 for a usage error, or the server's own exit code when it died during
// the work.
#include "testing/NotificationTestSupport.h"  // ServerTestSupport.h, ControlCenter.h

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  const std::string request = argc >= 2 ? argv[1] : "";
  const bool select = request == "select" && argc == 3;
  if (!select && !((request == "create" || request == "restore") && argc == 2)) return 2;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  ComPtr<IControlCenterComponent> component;
  const HRESULT created = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                                           IID_IControlCenterComponent, component.put_void());
  if (FAILED(created)) {
    std::fprintf(stderr, "CoCreateInstance: 0x%08lx\n", static_cast<unsigned long>(created));
    return 1;
  }
  if (request == "create") return 0;

  // Opened while the server serves this client and has no work that could
  // end it: its death and exit code cannot be missed.
  UniqueHandle server = OpenServerProcess(FindServerWindow(0));
  if (!server) {
    std::fprintf(stderr, "the server's process could not be opened\n");
    return 1;
  }
  // The server holds the requester until the end; it lives as long as
  // this process.
  auto* requester = new testsupport::FakeClient;
  std::string set = select ? argv[2] : "";
  // An early step may end the server before its answer to this call is on
  // its way: what counts is the end the requester hears, or the death.
  const HRESULT started = select ? component->SelectSet(static_cast<unsigned short>(set.size() + 1),
                                                        &set[0], requester)
                                 : component->RestoreBackup(requester);
  const char* end = select ? "SetSelected" : "SetRestored";
  for (const DWORD start = GetTickCount(); GetTickCount() - start < 60000;) {
    for (const auto& call : requester->Calls())
      if (call.method == end) return call.size == 1 ? 0 : 1;
    if (WaitForSingleObject(server.get(), 10) == WAIT_OBJECT_0) {
      DWORD code = 1;
      GetExitCodeProcess(server.get(), &code);
      return static_cast<int>(code);
    }
  }
  std::fprintf(stderr, "no end within 60 s (the call answered 0x%08lx)\n",
               static_cast<unsigned long>(started));
  return 1;
}
