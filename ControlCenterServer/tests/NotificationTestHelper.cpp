// A second process for the tests of the configuration lock and the bootp
// handshake, which are about what other processes of the system do:
//
//   NotificationTestHelper hold-semaphore NAME MS READY
//     takes the named semaphore, sets the event READY, holds it MS ms.
//   NotificationTestHelper answer-reset MS READY
//     sets READY, then answers each "BOOTP RESET EVENT" by setting
//     "BOOTP RESET FINISHED", for MS ms.
//   NotificationTestHelper client READY
//     a console client: creates a component of the running server,
//     registers as observer and as bootp subscriber, sets READY and waits
//     to be killed.
//
// Exit code 0 on success, 2 on bad arguments, 3 when a system call failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ControlCenter.h>

#include "NotificationTestSupport.h"
#include "Win32/Holders.h"

namespace {

bool SetReady(const char* name) {
  UniqueHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, name));
  return ready && SetEvent(ready.get());
}

int HoldSemaphore(const char* name, DWORD ms, const char* ready) {
  UniqueHandle semaphore(CreateSemaphoreA(nullptr, 1, 1, name));
  if (!semaphore) return 3;
  if (WaitForSingleObject(semaphore.get(), INFINITE) != WAIT_OBJECT_0) return 3;
  if (!SetReady(ready)) return 3;
  Sleep(ms);
  ReleaseSemaphore(semaphore.get(), 1, nullptr);
  return 0;
}

int AnswerReset(DWORD ms, const char* ready) {
  UniqueHandle reset(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET EVENT"));
  UniqueHandle finished(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET FINISHED"));
  if (!reset || !finished) return 3;
  if (!SetReady(ready)) return 3;
  DWORD until = GetTickCount() + ms;
  for (;;) {
    DWORD now = GetTickCount();
    if (static_cast<LONG>(until - now) <= 0) return 0;
    if (WaitForSingleObject(reset.get(), until - now) == WAIT_OBJECT_0) SetEvent(finished.get());
  }
}

int Client(const char* ready) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
  ComPtr<IControlCenterComponent> component;
  if (FAILED(CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                              IID_IControlCenterComponent, component.put_void())))
    return 4;
  ComPtr<IBootpNotificationSource> source;
  if (FAILED(component->QueryInterface(IID_IBootpNotificationSource, source.put_void())))
    return 5;
  // Lives until the process is killed, as a client's callback object does.
  auto* client = new testsupport::FakeClient;
  unsigned long observer = 0, subscriber = 0;
  char description[] = "helper";
  if (FAILED(component->RegisterNotification(client, sizeof description, description, &observer)))
    return 6;
  if (FAILED(source->RegisterBootpNotification(client->Unknown(), &subscriber))) return 7;
  if (!SetReady(ready)) return 3;
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "hold-semaphore") == 0)
    return HoldSemaphore(argv[2], std::strtoul(argv[3], nullptr, 10), argv[4]);
  if (argc == 4 && std::strcmp(argv[1], "answer-reset") == 0)
    return AnswerReset(std::strtoul(argv[2], nullptr, 10), argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "client") == 0) return Client(argv[2]);
  std::fprintf(stderr, "usage: NotificationTestHelper hold-semaphore NAME MS READY\n"
                       "       NotificationTestHelper answer-reset MS READY\n"
                       "       NotificationTestHelper client READY\n");
  return 2;
}
