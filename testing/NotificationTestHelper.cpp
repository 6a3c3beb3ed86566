// A second process for the tests of the configuration lock and the bootp
// handshake, which are about what other processes of the system do:
//
//   NotificationTestHelper hold-semaphore NAME MS READY
//     takes the named semaphore, sets the event READY, holds it MS ms.
//   NotificationTestHelper callback FILE READY
//     a client's callback object: writes a marshalled reference to it into
//     FILE (for the test to hand to the server), sets READY and waits to
//     be killed.
//
// Exit code 0 on success, 2 on bad arguments, 3 when a system call failed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ControlCenter.h>

#include "testing/NotificationTestSupport.h"

namespace {

bool SetReady(const char* name) {
  UniqueHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, name));
  return ready && SetEvent(ready.get());
}

int HoldSemaphore(const char* name, DWORD ms, const char* ready) {
  UniqueHandle semaphore(CreateSemaphoreA(nullptr, 1, 1, name));
  if (!semaphore || WaitForSingleObject(semaphore.get(), INFINITE) != WAIT_OBJECT_0 ||
      !SetReady(ready))
    return 3;
  Sleep(ms);
  ReleaseSemaphore(semaphore.get(), 1, nullptr);
  return 0;
}

int Callback(const char* file, const char* ready) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
  // Lives until the process is killed, as a client's callback object does.
  auto* client = new testsupport::FakeClient;
  ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return 3;
  if (FAILED(CoMarshalInterface(stream.get(), IID_IUnknown, client->Unknown(), MSHCTX_LOCAL,
                                nullptr, MSHLFLAGS_NORMAL)))
    return 4;
  HGLOBAL memory = nullptr;
  if (FAILED(GetHGlobalFromStream(stream.get(), &memory))) return 3;
  STATSTG stat{};
  stream->Stat(&stat, STATFLAG_NONAME);
  UniqueFile out(std::fopen(file, "wb"));
  if (!out) return 3;
  const void* bytes = GlobalLock(memory);
  size_t size = static_cast<size_t>(stat.cbSize.QuadPart);
  bool written = std::fwrite(bytes, 1, size, out.get()) == size;
  GlobalUnlock(memory);
  out.reset();
  if (!written || !SetReady(ready)) return 3;
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "hold-semaphore") == 0)
    return HoldSemaphore(argv[2], std::strtoul(argv[3], nullptr, 10), argv[4]);
  if (argc == 4 && std::strcmp(argv[1], "callback") == 0) return Callback(argv[2], argv[3]);
  std::fprintf(stderr, "usage: NotificationTestHelper hold-semaphore NAME MS READY\n"
                       "       NotificationTestHelper callback FILE READY\n");
  return 2;
}
