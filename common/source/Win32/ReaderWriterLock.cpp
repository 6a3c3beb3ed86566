#include "Win32/ReaderWriterLock.h"

#include "Win32/ErrorText.h"

ReaderWriterLock::ReaderWriterLock() {
  // The critical sections are members: if an event cannot be made they are
  // deleted again as the failure leaves the constructor.
  hReaderEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  KORVANE_ASSERT(hReaderEvent, nullptr);
  hMutex.reset(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  KORVANE_ASSERT(hMutex, nullptr);
}

ReaderWriterLock::~ReaderWriterLock() {
  hReaderEvent.reset();
  hMutex.reset();
}

void ReaderWriterLock::AcquireReader() {
  LONG noted;
  {
    CriticalSectionHolder count(&countSection);
    noted = ++readerCount;
  }
  // Never wait while holding countSection: the last reader needs it to
  // give the token back.
  if (noted == 1) {
    WaitForSingleObject(hMutex.get(), INFINITE);
    SetEvent(hReaderEvent.get());
  } else {
    WaitForSingleObject(hReaderEvent.get(), INFINITE);
  }
}

void ReaderWriterLock::ReleaseReader() {
  CriticalSectionHolder count(&countSection);
  if (--readerCount == 0) {
    // Reset before the token goes back, so that readers arriving behind a
    // writer that takes it now wait for the token again and do not slip
    // through on a stale event.
    ResetEvent(hReaderEvent.get());
    SetEvent(hMutex.get());
  }
}

void ReaderWriterLock::AcquireWriter() {
  DWORD self = GetCurrentThreadId();
  if (writerThreadId.load(std::memory_order_relaxed) == self) {
    ++writerDepth;
    return;
  }
  writerSection.Enter();
  writerThreadId.store(self, std::memory_order_relaxed);
  writerDepth = 1;
  WaitForSingleObject(hMutex.get(), INFINITE);
}

void ReaderWriterLock::ReleaseWriter() {
  if (--writerDepth == 0) {
    writerThreadId.store(kNoWriter, std::memory_order_relaxed);
    SetEvent(hMutex.get());
    writerSection.Leave();
  }
}

bool ReaderWriterLock::ReaderEventSignalled() const {
  return WaitForSingleObject(hReaderEvent.get(), 0) == WAIT_OBJECT_0;
}
