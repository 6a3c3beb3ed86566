// A lock that any number of readers share and one writer holds alone, with
// a writer side that its owning thread may re-enter. Every locked JList
// owns one: appenders and iterations read, removals write.
//
// Built from two events and two critical sections rather than the system's
// slim reader/writer lock because that one is neither re-entrant for
// writers nor releasable by another thread than the one that took it, and
// removal through a writer iterator re-enters the writer side.
#pragma once

#include <windows.h>

#include <atomic>

#include "Win32/CriticalSection.h"
#include "Win32/Holders.h"

class ReaderWriterLock {
 public:
  // Raises an assertion failure ("hReaderEvent" or "hMutex") when an event
  // cannot be created.
  ReaderWriterLock();
  // The lock must be free by now.
  ~ReaderWriterLock();
  ReaderWriterLock(const ReaderWriterLock&) = delete;
  ReaderWriterLock& operator=(const ReaderWriterLock&) = delete;

  // Waits without time-out. A thread that already reads may read again; a
  // thread that reads must not ask for the writer side, nor a writer for
  // the reader side: each would wait for the token it holds itself.
  void AcquireReader();
  void ReleaseReader();
  // Waits without time-out; the owning thread may re-enter. Released only
  // by the thread that acquired it.
  void AcquireWriter();
  void ReleaseWriter();

  // True while the readers as a group own the lock. A read of the moment,
  // for diagnostics and tests; nothing may be decided on it.
  bool ReaderEventSignalled() const;

 private:
  static constexpr DWORD kNoWriter = static_cast<DWORD>(-1);

  // Set while the readers own the lock; later readers pass on it.
  UniqueHandle hReaderEvent;
  // The exclusive token, an auto-reset event created set: the first reader
  // (for all readers) or one writer consumes it. An event and not a mutex
  // because the last reader to leave gives back what the first one took.
  UniqueHandle hMutex;
  // Held by a writer from its outermost acquire to its outermost release,
  // so writers queue here and not on the token.
  CriticalSection writerSection;
  CriticalSection countSection;
  LONG readerCount = 0;
  // Only the owning writer stores its own id here, so another thread may
  // compare against it without a lock: it can never see its own id there
  // unless it is the owner.
  std::atomic<DWORD> writerThreadId{kNoWriter};
  LONG writerDepth = 0;
};

// Holds the reader side for its own lifetime; given no lock, does nothing.
class ReaderHolder {
 public:
  explicit ReaderHolder(ReaderWriterLock* lock) : lock_(lock) {
    if (lock_) lock_->AcquireReader();
  }
  ~ReaderHolder() {
    if (lock_) lock_->ReleaseReader();
  }
  ReaderHolder(const ReaderHolder&) = delete;
  ReaderHolder& operator=(const ReaderHolder&) = delete;

 private:
  ReaderWriterLock* lock_;
};

// Holds the writer side for its own lifetime; given no lock, does nothing.
class WriterHolder {
 public:
  explicit WriterHolder(ReaderWriterLock* lock) : lock_(lock) {
    if (lock_) lock_->AcquireWriter();
  }
  ~WriterHolder() {
    if (lock_) lock_->ReleaseWriter();
  }
  WriterHolder(const WriterHolder&) = delete;
  WriterHolder& operator=(const WriterHolder&) = delete;

 private:
  ReaderWriterLock* lock_;
};
