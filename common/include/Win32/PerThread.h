// One object of type T per thread, made on first use and freed when the
// thread ends. It hangs off a fiber-local slot whose callback frees it: a
// C++ thread_local with a destructor is torn down by the static MinGW
// runtime at thread exit in a way that crashed under Wine now and then.
#pragma once

#include <windows.h>

template <class T>
class PerThread {
 public:
  static T& Get() {
    static const DWORD slot = FlsAlloc(Free);
    auto* value = static_cast<T*>(FlsGetValue(slot));
    if (!value) {
      value = new T();
      FlsSetValue(slot, value);
    }
    return *value;
  }

 private:
  static void WINAPI Free(void* value) { delete static_cast<T*>(value); }
};
