// The objects through which the server calls its clients back: a client's
// callback interface wrapped with a process-wide cookie and the number of
// the component instance it came through, and the lists that hold them.
//
// A notification is never deleted where it is withdrawn. Withdrawing only
// marks it dead; the list's own garbage thread later removes it, deletes it
// and so releases the client's interface. That keeps a release (which may
// be a call into a client process that hangs or is gone) off the thread of
// the client call that withdrew it, and off every thread that walks a list.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <ControlCenter.h>

#include <atomic>
#include <memory>
#include <string>

#include "Win32/CriticalSection.h"
#include "Win32/Holders.h"
#include "Win32/JContainer.h"

class Notification {
 public:
  // Queries rawInterface (when not null) for iType and keeps the result as
  // the callback interface; takes the next cookie and writes it to *cookie
  // when cookie is not null. A failed query raises an assertion failure.
  Notification(IUnknown* rawInterface, REFIID iType, unsigned long instanceID,
               unsigned long* cookie);
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  // Drops the callback interface (clears it first, then releases it).
  virtual void ReleaseInterface();
  // Notifications are not copied or assigned through the base; anything
  // that asks raises the assertion failure "false".
  virtual void Unsupported();
  virtual ~Notification();

  virtual bool IsDead() const;
  virtual void SetDead(unsigned char dead);
  // Same cookie.
  virtual bool operator==(const Notification& other) const;
  virtual bool operator==(unsigned long otherCookie) const;

  unsigned long Cookie() const { return cookie; }
  unsigned long InstanceID() const { return instanceNumber; }
  // Live: has an interface to call and has not been withdrawn.
  bool IsLive() const { return notify_iface && !IsDead(); }

 protected:
  IUnknown* Interface() const { return notify_iface.get(); }

 private:
  CriticalSection section;
  ComPtr<IUnknown> notify_iface;
  unsigned long cookie = 0;
  unsigned long instanceNumber = 0;
  // Set by any thread that withdraws the notification while others walk
  // the list and read it.
  std::atomic<unsigned char> dead{0};
};

// A client's IControlCenterNotify: a requester's (SelectSet, RestoreBackup)
// or an observer's (RegisterNotification).
class ControlCenterNotification : public Notification {
 public:
  // description may be null (kept as the empty text).
  ControlCenterNotification(IUnknown* rawInterface, const char* description,
                            unsigned long instanceID, unsigned long* cookie);
  ~ControlCenterNotification() override;

  IControlCenterNotify* Notify() const {
    return static_cast<IControlCenterNotify*>(Interface());
  }
  const std::string& Description() const { return description; }

  // Whether this observer has allowed the pending change: 0 when not, else
  // a number the caller chooses to name the change it allowed. Set by
  // AllowSetChange on a client's thread while others count the answers.
  unsigned long Allowed() const { return allowed.load(); }
  void SetAllowed(unsigned long value) { allowed.store(value); }
  // Clears the flag if it still holds value; a value set meanwhile stays.
  void ClearAllowed(unsigned long value) { allowed.compare_exchange_strong(value, 0); }

 private:
  std::string description;
  std::atomic<unsigned long> allowed{0};
};

// A client's IBootpNotify.
class BootpNotification : public Notification {
 public:
  BootpNotification(IUnknown* rawInterface, unsigned long instanceID, unsigned long* cookie);

  IBootpNotify* Notify() const { return static_cast<IBootpNotify*>(Interface()); }
};

// One of the server's notification lists: a locked JList of notifications
// that it owns, and the garbage thread that deletes the dead ones.
//
// Client calls append and walk with the reader side of the list's lock,
// so any number of them run at once; while they walk they may only mark
// entries dead. The garbage thread takes the writer side to unlink the dead
// entries and deletes them after letting go of it.
class NotificationList {
 public:
  using Entries = JList<Notification*>;
  using Iterator = JListIterator<Notification*>;

  // Starts the garbage thread. Raises the assertion failure "hGarbageEvent"
  // or "hGarbageThread" when either cannot be created.
  NotificationList();
  // Marks every entry dead and waits for the garbage thread to delete them
  // all and end.
  virtual ~NotificationList();
  NotificationList(const NotificationList&) = delete;
  NotificationList& operator=(const NotificationList&) = delete;
  // Raises the assertion failure "false".
  virtual void Unsupported();

  // Takes ownership. Not for a thread that walks this list.
  void Append(std::unique_ptr<Notification> notification);

  // Marks one entry of this list dead and wakes the garbage thread. Safe
  // inside a walk of the list.
  void MarkDead(Notification& notification);
  // Marks dead every entry whose cookie is cookie and whose instance is
  // instanceID; returns how many.
  unsigned MarkCookieDead(unsigned long cookie, unsigned long instanceID);
  // Marks dead every entry of one component instance; returns how many.
  unsigned MarkInstanceDead(unsigned long instanceID);
  unsigned MarkAllDead();

  // Calls fn(N&) for every entry, live or not, holding the reader side for
  // the whole walk, so no entry is deleted under it. N is the kind of
  // notification the list holds.
  template <class N, class Fn>
  void ForEach(Fn&& fn) {
    for (Iterator it(entries, ReaderLock); it.More(); it.Next())
      fn(static_cast<N&>(*it.Current()));
  }
  // The same for live entries only.
  template <class N, class Fn>
  void ForEachLive(Fn&& fn) {
    ForEach<N>([&](N& n) {
      if (n.IsLive()) fn(n);
    });
  }

  // The underlying list, for walks of a shape the above do not give.
  Entries& List() { return entries; }

  // Entries not yet deleted by the garbage thread (dead ones included).
  unsigned Count();

 private:
  static DWORD WINAPI GarbageThread(void* self);
  void CollectGarbage();

  Entries entries{true};
  UniqueHandle hGarbageEvent;
  UniqueHandle hGarbageThread;
  std::atomic<unsigned char> running{1};
};

// True for the results of a call into a client whose process has ended or
// cut its connection: such a client can never be called again, so the
// caller withdraws its notification rather than call it on every later
// fan-out.
bool ClientIsGone(HRESULT hr);

// Calls BootpError (error true) or BootpInfo on every live subscriber of
// the list, each with a copy of text of its own that lives only during
// its call (size = length + 1, so texts are cut at 65534 characters). A
// subscriber whose process is gone is withdrawn. An empty or null text
// reaches nobody. Returns the number of subscribers called.
unsigned DeliverBootpMessage(NotificationList& subscribers, bool error, const char* text);
