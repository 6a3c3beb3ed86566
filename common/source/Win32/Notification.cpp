#include "Win32/Notification.h"

#include <cstring>
#include <vector>

#include "Win32/ErrorText.h"

namespace {

// One counter for every kind of notification, so a cookie names one
// notification in the whole process whichever list it is in.
volatile LONG cookieCounter = 0;

// The condition is the one the client's failure is reported with; the call
// itself is written differently here (the interface lives in a holder).
constexpr char kQueryCondition[] =
    "SUCCEEDED(rawInterface->QueryInterface(iType,(void **)&notify_iface))";

}  // namespace

// ---- Notification -----------------------------------------------------------

Notification::Notification(IUnknown* rawInterface, REFIID iType, unsigned long instanceID,
                           unsigned long* outCookie)
    : instanceNumber(instanceID) {
  {
    CriticalSectionHolder holder(&section);
    cookie = static_cast<unsigned long>(InterlockedIncrement(&cookieCounter));
  }
  if (rawInterface) {
    HRESULT hr = rawInterface->QueryInterface(iType, notify_iface.put_void());
    if (FAILED(hr)) notify_iface.detach();  // a failed query leaves nothing to release
    KORVANE_ASSERT_AS(SUCCEEDED(hr), kQueryCondition, nullptr);
  }
  if (outCookie) *outCookie = cookie;
}

void Notification::ReleaseInterface() {
  // Cleared before the release, so nobody who looks while the release runs
  // (it may be a slow call into the client's process) takes it as live.
  ComPtr<IUnknown> released = std::move(notify_iface);
  released.reset();
}

void Notification::Unsupported() { KORVANE_ASSERT(false, nullptr); }

Notification::~Notification() { ReleaseInterface(); }

bool Notification::IsDead() const { return dead.load() != 0; }

void Notification::SetDead(unsigned char value) { dead.store(value); }

bool Notification::operator==(const Notification& other) const { return cookie == other.cookie; }

bool Notification::operator==(unsigned long otherCookie) const { return cookie == otherCookie; }

// ---- ControlCenterNotification ----------------------------------------------

ControlCenterNotification::ControlCenterNotification(IUnknown* rawInterface,
                                                     const char* clientDescription,
                                                     unsigned long instanceID,
                                                     unsigned long* outCookie)
    : Notification(rawInterface, IID_IControlCenterNotify, instanceID, outCookie),
      description(clientDescription ? clientDescription : "") {}

ControlCenterNotification::~ControlCenterNotification() = default;

// ---- BootpNotification ------------------------------------------------------

BootpNotification::BootpNotification(IUnknown* rawInterface, unsigned long instanceID,
                                     unsigned long* outCookie)
    : Notification(rawInterface, IID_IBootpNotify, instanceID, outCookie) {}

// ---- NotificationList -------------------------------------------------------

NotificationList::NotificationList() {
  hGarbageEvent.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  KORVANE_ASSERT(hGarbageEvent, nullptr);
  hGarbageThread.reset(CreateThread(nullptr, 0, GarbageThread, this, 0, nullptr));
  KORVANE_ASSERT(hGarbageThread, nullptr);
}

NotificationList::~NotificationList() {
  MarkAllDead();
  running.store(0);
  SetEvent(hGarbageEvent.get());
  WaitForSingleObject(hGarbageThread.get(), INFINITE);
  hGarbageThread.reset();
  hGarbageEvent.reset();
  // The thread's last pass deleted everything marked before it ended; this
  // catches only what was appended while it ended.
  MarkAllDead();
  CollectGarbage();
}

void NotificationList::Unsupported() { KORVANE_ASSERT(false, nullptr); }

void NotificationList::Append(std::unique_ptr<Notification> notification) {
  entries.AddTail(notification.get());
  notification.release();
}

void NotificationList::MarkDead(Notification& notification) {
  notification.SetDead(1);
  SetEvent(hGarbageEvent.get());
}

unsigned NotificationList::MarkCookieDead(unsigned long cookie, unsigned long instanceID) {
  unsigned marked = 0;
  ForEach<Notification>([&](Notification& n) {
    if (n == cookie && n.InstanceID() == instanceID) {
      MarkDead(n);
      ++marked;
    }
  });
  return marked;
}

unsigned NotificationList::MarkInstanceDead(unsigned long instanceID) {
  unsigned marked = 0;
  ForEach<Notification>([&](Notification& n) {
    if (n.InstanceID() == instanceID) {
      MarkDead(n);
      ++marked;
    }
  });
  return marked;
}

unsigned NotificationList::MarkAllDead() {
  unsigned marked = 0;
  ForEach<Notification>([&](Notification& n) {
    MarkDead(n);
    ++marked;
  });
  return marked;
}

unsigned NotificationList::Count() {
  unsigned count = 0;
  ForEach<Notification>([&](Notification&) { ++count; });
  return count;
}

DWORD WINAPI NotificationList::GarbageThread(void* self) {
  auto* list = static_cast<NotificationList*>(self);
  // The clients' interfaces are released here, so this thread must be in
  // the apartment the server's proxies belong to.
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  do {
    WaitForSingleObject(list->hGarbageEvent.get(), INFINITE);
    try {
      list->CollectGarbage();
    } catch (...) {
      // Nothing here may end the thread: the list would never be emptied.
    }
  } while (list->running.load());
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

void NotificationList::CollectGarbage() {
  // Unlinked under the writer side, deleted after it is let go: a release
  // may be a call into a client process that hangs or has died, and while
  // the writer side is held no client call could append or walk.
  std::vector<std::unique_ptr<Notification>> doomed;
  {
    Iterator it(entries, WriterLock);
    while (it.More()) {
      Notification* n = it.Current();
      if (n->IsDead()) {
        doomed.reserve(doomed.size() + 1);
        doomed.emplace_back(n);
        it.RemoveCurrent();
      } else {
        it.Next();
      }
    }
  }
}

// ---- Calls into clients -------------------------------------------------------

bool ClientIsGone(HRESULT hr) {
  switch (static_cast<unsigned long>(hr)) {
    case 0x80010007UL:  // RPC_E_SERVER_DIED
    case 0x80010012UL:  // RPC_E_SERVER_DIED_DNE
    case 0x80010108UL:  // RPC_E_DISCONNECTED
    case 0x800401FDUL:  // CO_E_OBJNOTCONNECTED
    case 0x800706BAUL:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEUL:  // RPC_S_CALL_FAILED
    case 0x800706BFUL:  // RPC_S_CALL_FAILED_DNE
      return true;
    default:
      return false;
  }
}

unsigned DeliverBootpMessage(NotificationList& subscribers, bool error, const char* text) {
  if (!text || !*text) return 0;
  constexpr size_t kLongest = 0xFFFE;
  size_t length = std::strlen(text);
  if (length > kLongest) length = kLongest;
  auto size = static_cast<unsigned short>(length + 1);
  unsigned called = 0;
  subscribers.ForEachLive<BootpNotification>([&](BootpNotification& n) {
    // Each subscriber gets a block of its own: an in-process one could
    // write into it, and the next one must still see the server's text.
    CoTaskMemHolder<char> copy(static_cast<char*>(CoTaskMemAlloc(size)));
    if (!copy.get()) return;
    std::memcpy(copy.get(), text, length);
    copy.get()[length] = '\0';
    HRESULT hr = error ? n.Notify()->BootpError(size, copy.get())
                       : n.Notify()->BootpInfo(size, copy.get());
    ++called;
    if (ClientIsGone(hr)) subscribers.MarkDead(n);
  });
  return called;
}
