// One mutual-exclusion lock (re-entrant for its owning thread, no time-out)
// and its scoped holder.
#pragma once

#include <windows.h>

class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

// Enters the given section for its own lifetime; given none, does nothing.
class CriticalSectionHolder {
 public:
  explicit CriticalSectionHolder(CriticalSection* section) : section_(section) {
    if (section_) section_->Enter();
  }
  ~CriticalSectionHolder() {
    if (section_) section_->Leave();
  }
  CriticalSectionHolder(const CriticalSectionHolder&) = delete;
  CriticalSectionHolder& operator=(const CriticalSectionHolder&) = delete;

 private:
  CriticalSection* section_;
};
